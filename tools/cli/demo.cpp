// kalax demo: the library against a simulated unit in this process, step by step.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "tools/cli/commands.h"
#include "tools/cli/failure.h"
#include "tools/cli/files.h"
#include "tools/cli/render.h"
#include "unitsim/unitsim.h"

namespace kalax::cli {

namespace {

// A fresh folder under $TMPDIR (or /tmp), removed again unless kept.
class TempFolder {
public:
    explicit TempFolder(bool keep) : keep_(keep) {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/kalax-demo-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) fail(6, pattern, std::strerror(errno));
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!keep_) std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    const std::string &path() const { return path_; }

private:
    bool keep_;
    std::string path_;
};

class Narrator {
public:
    void step(const std::string &what) { std::printf("\n[%d] %s\n", ++n_, what.c_str()), std::fflush(stdout); }
    void note(const std::string &what) { std::printf("    %s\n", what.c_str()), std::fflush(stdout); }

private:
    int n_ = 0;
};

void set_field(char *field, size_t width, const char *text) {
    std::memset(field, 0, width);
    std::strncpy(field, text, width - 2);
}

std::string last_lines(const std::string &text, size_t n) {
    size_t pos = text.size();
    if (pos > 0 && text[pos - 1] == '\n') --pos;
    for (size_t seen = 0; pos > 0; --pos)
        if (text[pos - 1] == '\n' && ++seen == n) break;
    std::string out;
    for (const char ch : text.substr(pos))
        if (ch != '\r') out += ch;
    return out;
}

}  // namespace

int cmd_demo(const Options &o) {
    const auto started = std::chrono::steady_clock::now();
    Narrator say;

    sim::UnitConfig config;
    config.log_period_s = 60;
    config.history_periods = 12 * 60;  // half a day of log on its manual clock
    sim::Unit unit(config);
    if (!unit.start(0)) fail(86, "127.0.0.1", std::strerror(errno));
    say.step("Started a simulated unit in this process on 127.0.0.1:" + std::to_string(unit.port()) + " (model " +
             config.model + ", " + std::to_string(config.inputs) + " inputs, " + std::to_string(config.sensors) +
             " sensors, " + std::to_string(config.outputs) + " outputs).");

    Options options = o;
    options.timeout_s = 10;
    const Target target{"127.0.0.1", "127.0.0.1", unit.port()};
    UnitSession session(target, options);

    say.step("kalax values 127.0.0.1:" + std::to_string(unit.port()) + "  -- GET /values.xml, shown as items:");
    session.fetch(false);
    show_document(stdout, session, false, Format::table);

    say.step("kalax setup 127.0.0.1:" + std::to_string(unit.port()) +
             "  -- GET /setup.xml, with limits and alarm settings:");
    session.fetch(true);
    show_document(stdout, session, true, Format::table);

    const bool was_on = unit.output_value(0) != 0;
    const char *new_name = "Zuluft Rack 3";
    say.step(std::string("Switching output 1 ") + (was_on ? "off" : "on") + " and renaming sensor 1 from \"" +
             clean_utf8(unit.sensor_name(0)) + "\" to \"" + new_name + "\" with a setup upload (POST /setup.xml).");
    auto setup = std::make_unique<zxxml_setup_struct>();
    auto counts = std::make_unique<zxxml_setup_count_struct>();
    if (zxxml_get_setup_cache_copy(session.module(), setup.get(), counts.get()) < 0) {
        zx_error_struct e{};
        zxxml_error(session.module(), &e);
        fail(e, target.label() + ": setup record");
    }
    set_field(setup->BinaryOutSet_Entry_Value[0], sizeof setup->BinaryOutSet_Entry_Value[0], was_on ? "0" : "1");
    set_field(setup->SenSet_Entry_Name[0], sizeof setup->SenSet_Entry_Name[0], new_name);
    session.send_setup(*setup, *counts);
    say.note("The unit answered with its new setup:");
    show_document(stdout, session, true, Format::table);
    say.note("The unit now has output 1 " + std::string(unit.output_value(0) ? "on" : "off") + " and sensor 1 named \"" +
             clean_utf8(unit.sensor_name(0)) + "\".");

    TempFolder folder(o.keep);
    const std::string csv_path = folder.path() + "/log.csv";
    LogSession log(target, options, stdout);
    say.step("kalax log 127.0.0.1:" + std::to_string(unit.port()) + " --append " + csv_path +
             "  -- GET /spilog.txt into a CSV file:");
    download_and_append(log, false, csv_path, stdout);
    const size_t first = count_lines(read_file(csv_path, SIZE_MAX));

    say.step("Letting ten minutes pass on the unit's clock (it logs once a minute), then downloading the whole "
             "log again:");
    unit.advance(10 * 60);
    download_and_append(log, false, csv_path, stdout);
    const std::string file = read_file(csv_path, SIZE_MAX);
    const size_t total = count_lines(file);
    say.note(csv_path + " now holds " + std::to_string(total) + " lines = " + std::to_string(first) +
             " from the first download + " + std::to_string(total - first) + " new ones; the last two:");
    std::printf("%s", last_lines(file, 2).c_str());

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char took[32];
    std::snprintf(took, sizeof took, "%.1f s", seconds);
    say.step(std::string("Done in ") + took + "." +
             (o.keep ? " The log stays in " + folder.path() + "." : " The temporary folder is removed again.") +
             " Next: 'kalax sim' runs a unit for your own tries, 'kalax --help' lists the commands.");
    return 0;
}

}  // namespace kalax::cli
