#include "tools/cli/scrape.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "kalax/zxxml.h"
#include "tools/cli/failure.h"
#include "tools/cli/render.h"
#include "kalax/zxapi.h"

#ifndef KALAX_MONITORING_VERSION
#define KALAX_MONITORING_VERSION "unknown"
#endif

namespace kalax::cli {

// What the callbacks and the scrape share: one lock and one wake-up for all
// units, so a scrape waits once for all of them.
struct Fleet::Shared {
    std::mutex mu;
    std::condition_variable answered;
};

// One unit's module and its outstanding request. Everything below `module` is
// guarded by Shared::mu.
struct Fleet::Slot {
    std::shared_ptr<Shared> shared;
    int module = -1;
    bool busy = false;  // a request is in flight (possibly one a past scrape gave up on)
    bool done = false;  // the request this scrape made has answered
    std::chrono::steady_clock::time_point asked, answered_at;
    int error_code = 0;  // of the request that answered; 0: it succeeded
};

namespace {

using Clock = std::chrono::steady_clock;
using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// The library's code for a wait that ran out.
constexpr int kTimeoutCode = 19;
// A reply that held no unit's document.
constexpr int kNotValidCode = 45;
// zxxml_wait_finish's kind for "the module's worker runs", and how long a
// worker may take to start.
constexpr int kFinishWorker = 0;
constexpr int kWorkerStart_s = 5;
// Readings at or below this are the unit's "no value", not a measurement.
constexpr float kNoReadingBelow = -989.0f;
// Limits at or below this do not apply.
constexpr float kNoLimitBelow = -999.0f;

// Runs on the module's worker thread: notes the outcome only. The items are
// read from the client's cache on the scrape's thread afterwards.
void on_values(int module, void *owner, int, zxxml_values_struct *values, zxxml_values_count_struct *counts) {
    auto &slot = *static_cast<Fleet::Slot *>(owner);
    int code = 0;
    if (values == nullptr || counts == nullptr) {
        zx_error_struct e{};
        zxxml_error(module, &e);
        code = e.code != 0 ? e.code : kNotValidCode;
    }
    {
        std::lock_guard lock(slot.shared->mu);
        slot.error_code = code;
        slot.answered_at = Clock::now();
        slot.busy = false;
        slot.done = true;
    }
    slot.shared->answered.notify_all();
}

zx_error_struct record_of(int module) {
    zx_error_struct e{};
    zxxml_error(module, &e);
    return e;
}

// The items of the module's cached values. Called once its request has ended:
// no request of the module is in flight before the next scrape, so the cache
// holds still while it is read.
UnitReading decode(int module) {
    UnitReading r;
    zxxml_values_struct *values = nullptr;
    zxxml_values_count_struct *counts = nullptr;
    const int count = zxapi::CountXmlItems(module, false);
    if (count < 0 || zxxml_get_values_cache(module, &values, &counts) < 0 || values == nullptr || counts == nullptr) {
        const int code = record_of(module).code;
        r.error_code = code != 0 ? code : kNotValidCode;
        return r;
    }
    // The lists as the items are laid out: inputs, sensors, outputs (each
    // count within its list's capacity, as the items are).
    r.inputs = std::clamp(counts->BinaryInSet, 0, static_cast<int>(std::size(values->BinaryInSet_Entry_ID)));
    r.sensors = std::clamp(counts->SenSet, 0, static_cast<int>(std::size(values->SenSet_Entry_ID)));
    r.items.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) zxapi::GetXmlItem(module, false, i, r.items[static_cast<size_t>(i)]);
    // A position past the list fills the unit-wide fields only.
    zxapi::GetXmlItem(module, false, count, r.common);
    // A web server that is not a unit may answer 200 with a page of its own.
    r.up = count > 0 || values->Agent_DeviceName[0] != '\0';
    if (!r.up) r.error_code = kNotValidCode;
    return r;
}

}  // namespace

Fleet::Fleet(std::vector<UnitEntry> units, std::chrono::milliseconds scrape_timeout)
    : entries_(std::move(units)), timeout_(scrape_timeout), shared_(std::make_shared<Shared>()) {
    if (entries_.size() >= ZXXML_ID_COUNT_MAX)
        fail(5, "the agent XML client holds at most " + std::to_string(ZXXML_ID_COUNT_MAX - 1) + " units, not " +
                    std::to_string(entries_.size()));
    try {
        open_all();
    } catch (...) {
        close_all();
        throw;
    }
}

void Fleet::open_all() {
    for (const UnitEntry &entry : entries_) {
        auto slot = std::make_unique<Slot>();
        slot->shared = shared_;
        zxxml_settings_struct settings{};
        settings.callbacks.on_values = on_values;
        slot->module = zxxml_open(entry.address.c_str(), entry.port, &settings, slot.get());
        if (slot->module < 0) fail(record_of(0), entry.name + " (" + entry.host + ")");
        slots_.push_back(std::move(slot));
    }
    // The workers start together; a module takes requests once its worker runs.
    for (size_t u = 0; u < slots_.size(); ++u) {
        const UnitEntry &entry = entries_[u];
        const int module = slots_[u]->module;
        if (zxxml_wait_finish(module, kFinishWorker, kWorkerStart_s) < 0) {
            zx_error_struct e = record_of(0);
            if (e.code == 0) e = record_of(module);
            fail(e, entry.name + " (" + entry.host + "): starting its worker");
        }
        if ((!entry.user.empty() || !entry.password.empty()) &&
            zxxml_authenticate_get(module, entry.user.c_str(), entry.password.c_str()) < 0)
            fail(record_of(module), entry.name + " (" + entry.host + "): credentials");
    }
}

Fleet::~Fleet() { close_all(); }

void Fleet::close_all() {
    for (auto &slot : slots_) {
        // A worker that would not stop may still call back into its slot: leave it be.
        if (zxxml_close(slot->module) < 0) (void)slot.release();
    }
    slots_.clear();
}

std::vector<UnitReading> Fleet::read_all() {
    // Exposer threads may scrape at once; a unit serves one request at a time.
    std::lock_guard serial(scrape_mu_);

    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + timeout_;
    std::vector<UnitReading> out(slots_.size());
    std::vector<bool> asked(slots_.size(), false);
    for (size_t u = 0; u < slots_.size(); ++u) {
        Slot &slot = *slots_[u];
        {
            std::lock_guard lock(shared_->mu);
            // The last request this unit got has not ended: asking again would
            // only queue behind it.
            if (slot.busy) {
                out[u].error_code = kTimeoutCode;
                continue;
            }
            slot.busy = true;
            slot.done = false;
            slot.asked = Clock::now();
        }
        if (zxxml_get_values(slot.module) < 0) {
            std::lock_guard lock(shared_->mu);
            slot.busy = false;
            const zx_error_struct e = record_of(slot.module);
            out[u].error_code = e.code != 0 ? e.code : record_of(0).code;
            continue;
        }
        asked[u] = true;
    }

    std::vector<bool> answered(slots_.size(), false);
    {
        std::unique_lock lock(shared_->mu);
        shared_->answered.wait_until(lock, deadline, [&] {
            for (size_t u = 0; u < slots_.size(); ++u)
                if (asked[u] && !slots_[u]->done) return false;
            return true;
        });
        const Clock::time_point now = Clock::now();
        for (size_t u = 0; u < slots_.size(); ++u) {
            const Slot &slot = *slots_[u];
            if (!asked[u]) continue;
            answered[u] = slot.done && slot.error_code == 0;
            out[u].error_code = !slot.done ? kTimeoutCode : slot.error_code;
            out[u].seconds = std::chrono::duration<double>((slot.done ? slot.answered_at : now) - slot.asked).count();
        }
    }
    // Read without the lock: the client's calls take locks of their own.
    for (size_t u = 0; u < slots_.size(); ++u) {
        if (!answered[u]) continue;
        const double seconds = out[u].seconds;
        out[u] = decode(slots_[u]->module);
        out[u].seconds = seconds;
    }
    return out;
}

std::vector<MetricFamily> Fleet::scrape() { return to_metric_families(entries_, read_all()); }

// ---- metric families ------------------------------------------------------------

namespace {

// A float from a unit's text as the decimal number it was written as
// (24.1, not 24.100000381469727).
double decimal(float value) {
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text - 1, value);
    *r.ptr = '\0';
    return std::strtod(text, nullptr);
}

// Where an analog sensor's reading goes, and how it becomes the base unit.
struct Quantity {
    const char *metric;
    const char *help;
    double scale, offset;  // base = reading * scale + offset
};

Quantity quantity_of(uint8_t units) {
    switch (units) {
    case zxapi::UNITS_CELSIUS: return {"kalax_temperature_celsius", "Temperature in degrees Celsius.", 1, 0};
    case zxapi::UNITS_FAHRENHEIT:
        return {"kalax_temperature_celsius", "Temperature in degrees Celsius.", 5.0 / 9.0, -160.0 / 9.0};
    case zxapi::UNITS_KELVIN: return {"kalax_temperature_celsius", "Temperature in degrees Celsius.", 1, -273.15};
    case zxapi::UNITS_HUMIDITY: return {"kalax_humidity_percent", "Relative humidity in percent.", 1, 0};
    case zxapi::UNITS_VOLTAGE: return {"kalax_voltage_volts", "Voltage in volts.", 1, 0};
    case zxapi::UNITS_CURRENT: return {"kalax_current_amperes", "Current in amperes.", 0.001, 0};
    case zxapi::UNITS_DEWPOINT: return {"kalax_dew_point_celsius", "Dew point in degrees Celsius.", 1, 0};
    case zxapi::UNITS_KPASCAL: return {"kalax_pressure_pascals", "Pressure in pascals.", 1000, 0};
    default:
        return {"kalax_sensor_value", "Reading of a sensor without a known unit, as the unit reports it.", 1, 0};
    }
}

double to_base(const Quantity &q, float reading) { return decimal(reading) * q.scale + q.offset; }

// Families in the order they were first used, each sample label set once.
class Families {
public:
    void add(const char *name, const char *help, MetricType type, std::vector<ClientMetric::Label> labels,
             double value) {
        auto it = index_.find(name);
        if (it == index_.end()) {
            MetricFamily f;
            f.name = name;
            f.help = help;
            f.type = type;
            families_.push_back(std::move(f));
            it = index_.emplace(name, families_.size() - 1).first;
        }
        // Two items of a unit may share id and name (a unit of unknown family
        // numbers its sensors 0); a second sample with the same labels would
        // make the whole scrape invalid, so only the first is kept.
        std::string key = name;
        for (const auto &l : labels) key += '\0' + l.name + '\0' + l.value;
        if (!seen_.insert(std::move(key)).second) return;
        ClientMetric m;
        m.label = std::move(labels);
        if (type == MetricType::Counter) m.counter.value = value;
        else m.gauge.value = value;
        families_[it->second].metric.push_back(std::move(m));
    }
    // A family with no samples this time still tells its type and help.
    void declare(const char *name, const char *help) {
        if (index_.count(name)) return;
        MetricFamily f;
        f.name = name;
        f.help = help;
        f.type = MetricType::Gauge;
        families_.push_back(std::move(f));
        index_.emplace(name, families_.size() - 1);
    }
    std::vector<MetricFamily> take() { return std::move(families_); }

private:
    std::vector<MetricFamily> families_;
    std::map<std::string, size_t> index_;
    std::set<std::string> seen_;
};

const char *family_name(uint8_t family) {
    switch (family) {
    case zxapi::FAMILY_KALYX: return "kalyx";
    case zxapi::FAMILY_VARNO: return "varno";
    case zxapi::kFamilyOstra: return "ostra";
    default: return "unknown";
    }
}

}  // namespace

std::vector<MetricFamily> to_metric_families(const std::vector<UnitEntry> &units,
                                             const std::vector<UnitReading> &readings) {
    Families out;
    const MetricType gauge = MetricType::Gauge;
    out.add("kalax_build_info", "The exporter's version; always 1.", gauge, {{"version", KALAX_MONITORING_VERSION}},
            1);
    for (size_t u = 0; u < units.size() && u < readings.size(); ++u) {
        const UnitEntry &entry = units[u];
        const UnitReading &r = readings[u];
        // Names and labels come from a file or a command line: kept valid UTF-8.
        std::vector<ClientMetric::Label> base{{"unit", clean_utf8(entry.name)}};
        for (const auto &[name, value] : entry.labels) base.push_back({name, clean_utf8(value)});
        auto with = [&](std::initializer_list<ClientMetric::Label> more) {
            std::vector<ClientMetric::Label> labels = base;
            labels.insert(labels.end(), more);
            return labels;
        };
        out.add("kalax_unit_up", "1 when the unit answered this scrape with its values, else 0.", gauge, base,
                r.up ? 1 : 0);
        out.add("kalax_unit_last_error_code",
                "The library's result code of this scrape's request to the unit; 0 when it answered.", gauge, base,
                r.up ? 0 : r.error_code);
        out.add("kalax_scrape_duration_seconds", "Time the unit took to answer this scrape, or until it was given up.",
                gauge, base, r.seconds);
        if (!r.up) continue;
        out.add("kalax_unit_info", "The unit's identity; always 1.", gauge,
                with({{"device_name", clean_utf8(r.common.DevName)},
                      {"mac", clean_utf8(r.common.MAC)},
                      {"family", family_name(r.common.Family)}}),
                1);
        for (size_t i = 0; i < r.items.size(); ++i) {
            const zxapi::TXmlSensorEnum &item = r.items[i];
            const auto labels = with({{"id", std::to_string(item.Id)}, {"name", clean_utf8(item.Name)}});
            const bool input = i < static_cast<size_t>(r.inputs);
            const bool sensor = !input && i < static_cast<size_t>(r.inputs + r.sensors);
            if (input) {
                out.add("kalax_binary_input_value", "State of a binary input: 0 off, 1 on.", gauge, labels,
                        item.Value);
            } else if (!sensor) {
                out.add("kalax_binary_output_value", "State of a binary output: 0 off, 1 on.", gauge, labels,
                        item.Value);
            } else {
                const Quantity q = quantity_of(item.Units);
                if (item.Value > kNoReadingBelow && std::isfinite(item.Value))
                    out.add(q.metric, q.help, gauge, labels, to_base(q, item.Value));
                else out.declare(q.metric, q.help);
                const bool analog = item.SensType == zxapi::TYPE_ANALOG_SENSOR_INPUT ||
                                    item.SensType == zxapi::TYPE_ANALOG_SENSOR_OUTPUT;
                if (analog && item.Min > kNoLimitBelow && std::isfinite(item.Min))
                    out.add("kalax_sensor_low_limit",
                            "The unit's lower limit of a sensor, in the unit of the sensor's reading metric.", gauge,
                            labels, to_base(q, item.Min));
                if (analog && item.Max > kNoLimitBelow && std::isfinite(item.Max))
                    out.add("kalax_sensor_high_limit",
                            "The unit's upper limit of a sensor, in the unit of the sensor's reading metric.", gauge,
                            labels, to_base(q, item.Max));
            }
            if (item.State != zxapi::STATE_UNKNOWN_) {
                out.add("kalax_item_state",
                        "The unit's state of an item: 0 normal, 1 out of range, 2 alarm active, 3 sensor invalid, "
                        "4 device invalid.",
                        gauge, labels, item.State);
                out.add("kalax_item_alarm_active", "1 while the unit reports an active alarm for the item, else 0.",
                        gauge, labels, item.State == zxapi::STATE_ALARM_ACTIVE ? 1 : 0);
            }
        }
    }
    return out.take();
}

}  // namespace kalax::cli
