// kalax check: a unit's items judged as a Monitoring Plugin judges, with one
// status line and performance data.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <set>

#include "tools/cli/failure.h"
#include "tools/cli/monitoring.h"
#include "tools/cli/options.h"
#include "tools/cli/render.h"
#include "tools/cli/session.h"

namespace kalax::cli {

namespace {

// Exit statuses of the plugin guidelines.
enum Status { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };

const char *status_word(Status s) {
    switch (s) {
    case kOk: return "OK";
    case kWarning: return "WARNING";
    case kCritical: return "CRITICAL";
    default: return "UNKNOWN";
    }
}

// The worst of two: a lost reading is worse than a warning, an alarm worst.
Status worse(Status a, Status b) {
    auto rank = [](Status s) { return s == kOk ? 0 : s == kWarning ? 1 : s == kUnknown ? 2 : 3; };
    return rank(a) >= rank(b) ? a : b;
}

constexpr int kDefaultTimeout_s = 10;
constexpr float kNoReadingBelow = -989.0f;
constexpr float kNoLimitBelow = -999.0f;

// A threshold range as the guidelines write it.
struct Range {
    std::string text;
    bool inside = false;  // '@': alert inside
    double lo = 0, hi = std::numeric_limits<double>::infinity();

    bool alerts(double v) const { return inside ? (v >= lo && v <= hi) : (v < lo || v > hi); }
};

double to_number(const std::string &text, const std::string &range) {
    double v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(v))
        throw UsageError("bad range '" + range + "' ([@]START:END, END, START:, ~:END)");
    return v;
}

Range parse_range(const std::string &text) {
    Range r;
    r.text = text;
    std::string body = text;
    if (!body.empty() && body[0] == '@') {
        r.inside = true;
        body.erase(0, 1);
    }
    const size_t colon = body.find(':');
    if (colon == std::string::npos) {
        r.hi = to_number(body, text);
    } else {
        const std::string start = body.substr(0, colon), end = body.substr(colon + 1);
        r.lo = start == "~" ? -std::numeric_limits<double>::infinity() : start.empty() ? 0 : to_number(start, text);
        if (!end.empty()) r.hi = to_number(end, text);
    }
    if (r.lo > r.hi) throw UsageError("bad range '" + text + "' (START is above END)");
    return r;
}

// A float from the unit's text as the decimal number it was written as.
double decimal(float value) {
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text - 1, value);
    *r.ptr = '\0';
    return std::strtod(text, nullptr);
}

std::string shortest(double v) {
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, v);
    return std::string(text, r.ptr);
}

bool analog(const zxapi::TXmlSensorEnum &item) {
    return item.SensType == zxapi::TYPE_ANALOG_SENSOR_INPUT || item.SensType == zxapi::TYPE_ANALOG_SENSOR_OUTPUT;
}

bool has_reading(const zxapi::TXmlSensorEnum &item) {
    return item.Value > kNoReadingBelow && std::isfinite(item.Value);
}

// Performance data units of a reading: the guidelines' % and plain numbers,
// and the temperature, voltage and current units monitoring cores know.
struct PerfValue {
    double value;
    const char *uom;
};

PerfValue perf_value(const zxapi::TXmlSensorEnum &item) {
    const double v = decimal(item.Value);
    switch (item.Units) {
    case zxapi::UNITS_CELSIUS:
    case zxapi::UNITS_DEWPOINT: return {v, "C"};
    case zxapi::UNITS_FAHRENHEIT: return {v, "F"};
    case zxapi::UNITS_KELVIN: return {v, "K"};
    case zxapi::UNITS_HUMIDITY: return {v, "%"};
    case zxapi::UNITS_VOLTAGE: return {v, "V"};
    case zxapi::UNITS_CURRENT: return {v / 1000.0, "A"};
    default: return {v, ""};
    }
}

// A label in single quotes: a quote doubled, '=' (which ends a label) replaced.
std::string perf_label(const std::string &name) {
    std::string out = "'";
    for (const char ch : name) {
        if (ch == '\'') out += "''";
        else if (ch == '=') out += '_';
        else out += ch;
    }
    return out + "'";
}

struct Judged {
    Status status = kOk;
    std::string problem;  // what is wrong, for the status line
};

Judged judge(const zxapi::TXmlSensorEnum &item, const Item &shown, const std::optional<Range> &warning,
             const std::optional<Range> &critical) {
    const std::string reading = display_to_utf8(shown.text.Value) +
                                (analog(item) ? " " + display_to_utf8(shown.text.Units) : std::string());
    if (analog(item) && !has_reading(item)) return {kUnknown, "no reading"};
    if (analog(item) && (warning || critical)) {
        const double v = perf_value(item).value;
        if (critical && critical->alerts(v)) return {kCritical, reading + " (critical " + critical->text + ")"};
        if (warning && warning->alerts(v)) return {kWarning, reading + " (warning " + warning->text + ")"};
        return {};
    }
    switch (item.State) {
    case zxapi::STATE_ALARM_ACTIVE: return {kCritical, "alarm active" + (analog(item) ? " (" + reading + ")" : "")};
    case zxapi::STATE_OUT_OF_RANGE: return {kWarning, "out of range (" + reading + ")"};
    case zxapi::STATE_SENSOR_INVALID: return {kUnknown, "sensor invalid"};
    case zxapi::STATE_DEVICE_INVALID: return {kUnknown, "device invalid"};
    default: break;
    }
    // Units that report no state of their own are judged by their limits.
    if (item.State == zxapi::STATE_UNKNOWN_ && analog(item)) {
        const bool below = item.Min > kNoLimitBelow && item.Value < item.Min;
        const bool above = item.Max > kNoLimitBelow && item.Value > item.Max;
        if (below || above) return {kWarning, "out of range (" + reading + ")"};
    }
    return {};
}

int report(Status status, const std::string &text, const std::string &perfdata = {}) {
    std::printf("KALAX %s - %s%s%s\n", status_word(status), text.c_str(), perfdata.empty() ? "" : " | ",
                perfdata.c_str());
    return status;
}

int check(const std::vector<std::string> &args) {
    const ParsedArgs a = parse_monitoring_args(args, {{"item", 0, true},
                                                      {"warning", 'w', true},
                                                      {"critical", 'c', true},
                                                      {"unreachable", 0, true},
                                                      {"timeout", 't', true},
                                                      {"user", 0, true},
                                                      {"password", 0, true}});
    if (a.positional.size() != 1)
        throw UsageError(a.positional.empty() ? "no HOST" : "unexpected argument '" + a.positional[1] + "'");
    std::optional<Range> warning, critical;
    if (const std::string *w = a.last("warning")) warning = parse_range(*w);
    if (const std::string *c = a.last("critical")) critical = parse_range(*c);
    Status unreachable = kUnknown;
    if (const std::string *u = a.last("unreachable")) {
        if (*u == "critical") unreachable = kCritical;
        else if (*u != "unknown") throw UsageError("bad --unreachable '" + *u + "' (unknown|critical)");
    }
    Options options;
    options.timeout_s = kDefaultTimeout_s;
    if (const std::string *t = a.last("timeout")) {
        int v = 0;
        const auto r = std::from_chars(t->data(), t->data() + t->size(), v);
        if (r.ec != std::errc() || r.ptr != t->data() + t->size() || v < 1 || v > 3600)
            throw UsageError("bad timeout '" + *t + "' (1-3600)");
        options.timeout_s = v;
    }
    if (a.has("user") || a.has("password")) {
        options.user = a.last("user") ? *a.last("user") : "";
        options.password = a.last("password") ? *a.last("password") : "";
    }
    std::set<int32_t> wanted;
    if (a.has("item"))
        for (const std::string &id : a.values.at("item")) {
            int32_t v = 0;
            const auto r = std::from_chars(id.data(), id.data() + id.size(), v);
            if (r.ec != std::errc() || r.ptr != id.data() + id.size()) throw UsageError("bad item ID '" + id + "'");
            wanted.insert(v);
        }

    ItemList list;
    try {
        const Target target = resolve_target(a.positional[0]);
        ClientLibraries clients;
        UnitSession unit(target, options);
        unit.fetch(false);
        list = collect_items(unit.module(), false,
                             unit.label() + ": reading values.xml: the document holds no unit's items");
    } catch (const Failure &e) {
        return report(unreachable, e.line());
    }

    std::vector<const Item *> chosen;
    for (const Item &item : list.items)
        if (wanted.empty() || wanted.count(item.number.Id)) chosen.push_back(&item);
    for (const int32_t id : wanted) {
        bool found = false;
        for (const Item *item : chosen) found = found || item->number.Id == id;
        if (!found) return report(kUnknown, "the unit has no item with ID " + std::to_string(id));
    }

    std::map<std::string, int> name_uses;
    for (const Item *item : chosen) ++name_uses[clean_utf8(item->number.Name)];
    Status overall = kOk;
    std::string problems, perfdata;
    size_t normal = 0;
    for (const Item *item : chosen) {
        const zxapi::TXmlSensorEnum &n = item->number;
        const std::string name = clean_utf8(n.Name);
        const Judged j = judge(n, *item, warning, critical);
        overall = worse(overall, j.status);
        if (j.status == kOk) ++normal;
        else problems += (problems.empty() ? "" : ", ") + ("'" + name + "' " + j.problem);

        // Two items of one name keep their own series: the ID tells them apart.
        const std::string label = name_uses[name] > 1 ? name + " " + std::to_string(n.Id) : name;
        std::string entry = perf_label(label) + "=";
        std::vector<std::string> fields;
        if (!analog(n)) {
            entry += std::to_string(static_cast<long>(n.Value));
        } else {
            const PerfValue p = perf_value(n);
            entry += (has_reading(n) ? shortest(p.value) : "U") + p.uom;
            if (warning || critical) {
                fields = {warning ? warning->text : "", critical ? critical->text : ""};
            } else if (n.Min > kNoLimitBelow && n.Max > kNoLimitBelow && n.Min <= n.Max) {
                const double scale = n.Units == zxapi::UNITS_CURRENT ? 0.001 : 1.0;
                fields = {shortest(decimal(n.Min) * scale) + ":" + shortest(decimal(n.Max) * scale)};
            }
        }
        while (!fields.empty() && fields.back().empty()) fields.pop_back();
        for (const std::string &f : fields) entry += ";" + f;
        perfdata += (perfdata.empty() ? "" : " ") + entry;
    }
    const size_t total = chosen.size();
    const std::string count = std::to_string(total) + (total == 1 ? " item" : " items");
    if (overall == kOk) return report(kOk, count + " normal", perfdata);
    return report(overall, problems + "; " + std::to_string(normal) + " of " + count + " normal", perfdata);
}

}  // namespace

int cmd_check(const std::vector<std::string> &args) {
    // A plugin answers every trouble with UNKNOWN and one line on standard output.
    try {
        return check(args);
    } catch (const UsageError &e) {
        return report(kUnknown, std::string("usage: ") + e.what() + " (see kalax check --help)");
    } catch (const Failure &e) {
        return report(kUnknown, e.line());
    } catch (const std::exception &e) {
        return report(kUnknown, e.what());
    }
}

}  // namespace kalax::cli
