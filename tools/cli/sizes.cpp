#include "tools/cli/sizes.h"

#include <cmath>
#include <cstdio>

namespace kalax::cli {

namespace {

std::string scaled(double value, const char *suffix) {
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    // 1023.96 KiB would print as "1024.0 KiB": move up before rounding shows it.
    while (unit + 1 < std::size(kUnits) && value >= 1023.95) {
        value /= 1024.0;
        ++unit;
    }
    char text[48];
    if (unit == 0) std::snprintf(text, sizeof text, "%.0f B%s", std::floor(value), suffix);
    else std::snprintf(text, sizeof text, "%.1f %s%s", value, kUnits[unit], suffix);
    return text;
}

}  // namespace

std::string human_size(size_t bytes) { return scaled(static_cast<double>(bytes), ""); }

std::string human_rate(size_t bytes, double seconds) {
    if (!(seconds > 0.0)) return "-";
    return scaled(static_cast<double>(bytes) / seconds, "/s");
}

}  // namespace kalax::cli
