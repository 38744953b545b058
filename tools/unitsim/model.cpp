#include "unitsim/model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <tuple>

namespace kalax::sim {

Family family_of_model(const std::string& model) {
    long n = std::strtol(model.c_str(), nullptr, 10);
    switch (n) {
        case 3: case 4: case 6: case 10: case 11: case 12: case 13: case 14:
        case 21: case 22: case 23: case 24: case 25: case 26: case 34: case 36:
            return Family::kalyx;
        case 2: case 15: case 16: case 17: case 40:
            return Family::varno;
        case 33:
            return Family::ostra;
        default:
            return Family::unknown;
    }
}

const char* model_of_family(Family family) {
    switch (family) {
        case Family::kalyx: return "21";
        case Family::varno: return "2";
        case Family::ostra: return "33";
        case Family::unknown: break;
    }
    return "99";
}

bool new_dialect(Family family, const std::string& xml_ver) {
    switch (family) {
        case Family::kalyx: return xml_ver == "2.34" || xml_ver == "2.35" || xml_ver == "2.36";
        case Family::varno: return xml_ver == "2.0";
        case Family::ostra: return true;
        case Family::unknown: break;
    }
    return false;
}

std::string encode_log_bin(const std::vector<LogRecord>& records) {
    std::string out;
    for (const LogRecord& r : records) {
        size_t n = std::min(r.pairs.size(), kMaxLogPairs);
        auto u32 = static_cast<uint32_t>(r.time);
        out += static_cast<char>(8 + 4 * n);
        out += static_cast<char>(r.type);
        for (int b = 0; b < 4; ++b) out += static_cast<char>((u32 >> (8 * b)) & 0xFF);
        out += static_cast<char>(r.group);
        out += static_cast<char>(n);
        for (size_t i = 0; i < n; ++i) {
            auto w = r.pairs[i].first;
            auto s = static_cast<uint16_t>(r.pairs[i].second);
            out += static_cast<char>(w & 0xFF);
            out += static_cast<char>(w >> 8);
            out += static_cast<char>(s & 0xFF);
            out += static_cast<char>(s >> 8);
        }
    }
    return out;
}

std::string format_log_csv(const std::vector<LogRecord>& records) {
    std::string out;
    for (const LogRecord& r : records) {
        time_t t = r.time;
        struct tm lt {};
        char stamp[64] = "1970/01/01;00:00:00";
        if (localtime_r(&t, &lt) != nullptr) std::strftime(stamp, sizeof stamp, "%Y/%m/%d;%H:%M:%S", &lt);
        size_t n = std::min(r.pairs.size(), kMaxLogPairs);
        out += stamp;
        out += ';' + std::to_string(r.type) + ';' + std::to_string(r.group) + ';' + std::to_string(n) + ';';
        for (size_t i = 0; i < n; ++i) {
            out += std::to_string(r.pairs[i].first) + ';' + std::to_string(r.pairs[i].second) + ';';
        }
        out += "\r\n";
    }
    return out;
}

namespace detail {
namespace {

// ---- document schema: the element tree of both documents, in document order.

struct GroupSpec {
    std::string name;
    bool list = false;
    std::vector<std::string> fields;  // "Dest_Snmp1": field Snmp1 in container Dest
    std::string tail;                 // field after a list's entries
    size_t growable = 0;              // a post may add entries up to this many
};

const std::vector<std::string>& dest_fields() {
    static const std::vector<std::string> d = {"Dest_Snmp1", "Dest_Snmp2", "Dest_Snmp3", "Dest_Snmp4",
                                               "Dest_Mail1", "Dest_Mail2", "Dest_Delay", "Dest_E"};
    return d;
}

std::vector<std::string> cat(std::vector<std::string> a, const std::vector<std::string>& b,
                             const std::vector<std::string>& c = {}) {
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), c.begin(), c.end());
    return a;
}

const std::vector<GroupSpec>& setup_schema() {
    static const std::vector<GroupSpec> s = {
        {"Agent", false, {"Version", "XmlVer", "DeviceName", "Model", "VendorID", "MAC", "Title", "Contact"}, "", 0},
        {"Status", false, {"NtpState"}, "", 0},
        {"TemperRange", false, {"Min", "Max"}, "", 0},
        {"BinaryInSet", true,
         cat({"ID", "Name", "NameOpen", "NameClose", "Cnt", "Value", "AlarmState", "Alarm", "Color", "State",
              "Mask1", "Mask2"},
             dest_fields(), {"SNMPTrap", "EmailSMS", "Idx"}),
         "AlarmAction", 0},
        {"BinaryOutSet", true,
         {"ID", "Name", "NameOpen", "NameClose", "Value", "Type", "Mode", "CondInputID", "Trigger", "Idx"}, "", 0},
        {"SenSet", true,
         cat({"Name", "ID", "Units", "Min", "Max", "Hyst", "E", "Value", "SNMPTrap", "EmailSMS", "Color", "State",
              "Calib"},
             dest_fields(), {"Idx"}),
         "", 0},
        {"TempRangeSet", true, {"Min", "Max", "Alarm", "Idx"}, "", 0},
        {"AlarmSet", false, {"Subj", "Body"}, "", 0},
        {"GroupSet", true, cat({"Name", "Out", "OutState", "Alarm_Subj", "Alarm_Body"}, dest_fields(), {"Idx"}), "",
         42},
        {"SnmpTraps", true, {"Community", "IPaddr", "Port", "E", "Idx"}, "", 4},
        {"MailDest", true, {"To", "Cc", "E", "Idx"}, "", 4},
        {"Counters", false, {"E", "Int"}, "", 0},
        {"BinSetG", false, {"AlarmDest"}, "", 0},
        {"Global", false, {"Units", "Logo", "ZXSec", "AlarmDelay"}, "", 0},
        {"Network", false,
         {"Name", "IPAddr", "Submask", "Gateway", "HTTPport", "TelnetPort", "SNMPPort", "DNSPrimary", "DNSSecondary",
          "DHCP"},
         "", 0},
        {"Email", false, {"Server", "Port", "From", "To", "Subject", "Auth", "Name", "Pswd", "State", "Message"}, "",
         0},
        {"Time", false, {"SNTPServer", "TimeShift", "Date", "Time", "Port", "Period"}, "", 0},
        {"SMS", false, {"E", "Module", "CenterNmr", "Recp1", "Recp2", "RingOut", "State", "Message"}, "", 0},
        {"DataLogger", false,
         {"StorePeriod", "LogCapacity", "LogBins", "Report_E", "Report_To", "Report_Period", "Report_Erase"}, "", 0},
        {"HTTPIPFilter", false, {"IPAddr", "Mask"}, "", 0},
        {"SNMPIPFilter", false, {"IPAddr", "Mask"}, "", 0},
        {"SnmpAccess", true, {"Community", "R", "W", "E", "Idx"}, "", 2},
        {"MIBIISysGroup", false, {"SysContact", "SysName", "SysLocation"}, "", 0},
        {"User", true, {"Name", "Pswd", "Idx"}, "", 0},
        {"Info", false, {}, "", 0},
    };
    return s;
}

const std::vector<GroupSpec>& values_schema() {
    static const std::vector<GroupSpec> s = {
        {"Agent", false, {"Version", "XmlVer", "DeviceName", "Model", "VendorID", "MAC", "Title", "Contact"}, "", 0},
        {"TemperRange", false, {"Min", "Max"}, "", 0},
        {"BinaryInSet", true,
         {"ID", "Name", "Value", "AlarmState", "Alarm", "State", "Cnt", "Color", "SNMPTrap", "EmailSMS", "Idx"},
         "AlarmAction", 0},
        {"BinaryOutSet", true, {"ID", "Name", "Type", "Value", "Mode", "CondInputID", "Trigger", "Idx"}, "", 0},
        {"SenSet", true,
         {"Name", "ID", "Units", "Value", "Min", "Max", "Hyst", "SNMPTrap", "EmailSMS", "Color", "State", "Calib",
          "Idx"},
         "", 0},
        {"Time", false, {"Date", "Time"}, "", 0},
    };
    return s;
}

const GroupSpec* find_group(const std::string& name) {
    for (const GroupSpec& g : setup_schema()) {
        if (g.name == name) return &g;
    }
    for (const GroupSpec& g : values_schema()) {
        if (g.name == name) return &g;
    }
    return nullptr;
}

bool has_field(const std::string& group, const std::string& key) {
    for (const auto* schema : {&setup_schema(), &values_schema()}) {
        for (const GroupSpec& g : *schema) {
            if (g.name != group) continue;
            if (g.tail == key) return true;
            if (std::find(g.fields.begin(), g.fields.end(), key) != g.fields.end()) return true;
        }
    }
    return false;
}

// Fields a posted setup never changes: identity, live readings, the unit's own numbering.
bool read_only(const std::string& group, const std::string& key, bool in_list) {
    if (group == "Agent" || group == "Status" || group == "Info") return true;
    if (group == "Time") return key == "Date" || key == "Time";
    if (!in_list) return false;
    if (key == "Idx" || key == "ID") return true;
    if (group == "BinaryInSet") return key == "Value" || key == "State" || key == "Color" || key == "Cnt";
    if (group == "BinaryOutSet") return key == "Type";
    if (group == "SenSet") return key == "Value" || key == "Units" || key == "State" || key == "Color";
    if (group == "User") return true;
    return false;
}

// ---- sensor kinds, cycled by position

struct SensorKind {
    const char* units;
    const char* name;
    double base, amp, min, max;
};

const SensorKind kKinds[] = {
    {"C", "Temp\xC3\xA9rature", 26.0, 10.0, 10.0, 35.0},
    {"%RH", "Luftfeuchte", 50.0, 32.0, 20.0, 80.0},
    {"C", "Temperatur Rack", 21.0, 3.0, 15.0, 30.0},
    {"V", "Spannung", 12.0, 0.5, 11.0, 13.0},
    {"mA", "Strom", 12.0, 4.0, 4.0, 20.0},
    {"kPa", "Luftdruck", 101.0, 1.5, 95.0, 105.0},
    {"DP C", "Taupunkt", 8.0, 4.0, -5.0, 20.0},
};
constexpr size_t kKindCount = sizeof kKinds / sizeof kKinds[0];

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t hash3(uint64_t a, uint64_t b, uint64_t c) { return mix(mix(mix(a) ^ b) ^ c); }

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::string fmt1(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

double num(const std::string& s) { return std::strtod(s.c_str(), nullptr); }
long inum(const std::string& s) { return std::strtol(s.c_str(), nullptr, 10); }

std::string name_or(const std::vector<std::string>& names, size_t i, std::string fallback) {
    return i < names.size() ? names[i] : fallback;
}

int16_t tenths(double v) {
    double t = std::round(v * 10.0);
    return static_cast<int16_t>(std::clamp(t, -32768.0, 32767.0));
}

// Leaves below an element, keyed by their path relative to it ("Dest_Snmp1").
void leaves(const xml::Node& n, const std::string& prefix, std::vector<std::pair<std::string, std::string>>& out) {
    for (const xml::Node& c : n.children) {
        if (c.children.empty()) out.emplace_back(prefix + c.local, c.text);
        else leaves(c, prefix + c.local + "_", out);
    }
}

void write_fields(std::string& out, const std::vector<std::string>& fields,
                  const std::function<bool(const std::string&)>& shown,
                  const std::function<std::string(const std::string&)>& text) {
    std::string open;
    for (const std::string& f : fields) {
        if (!shown(f)) continue;
        size_t us = f.find('_');
        std::string container = us == std::string::npos ? "" : f.substr(0, us);
        std::string name = us == std::string::npos ? f : f.substr(us + 1);
        if (container != open) {
            if (!open.empty()) out += "</" + open + ">\n";
            if (!container.empty()) out += "<" + container + ">\n";
            open = container;
        }
        xml::leaf(out, name, text(f));
    }
    if (!open.empty()) out += "</" + open + ">\n";
}

}  // namespace

// ---- construction

Model::Model(UnitConfig config)
    : cfg_(std::move(config)),
      family_(family_of_model(cfg_.model)),
      new_dialect_(new_dialect(family_, cfg_.xml_ver)) {
    if (cfg_.log_period_s <= 0) cfg_.log_period_s = 60;
    if (cfg_.log_capacity == 0) cfg_.log_capacity = 1;
    cfg_.inputs = std::max(cfg_.inputs, 0);
    cfg_.outputs = std::max(cfg_.outputs, 0);
    cfg_.sensors = std::max(cfg_.sensors, 0);
    cfg_.history_periods = std::max(cfg_.history_periods, 0);
    init_defaults();
    int64_t t0 = now_locked() - static_cast<int64_t>(cfg_.history_periods) * cfg_.log_period_s;
    last_log_t_ = t0;
    prev_inputs_.resize(static_cast<size_t>(cfg_.inputs));
    for (size_t i = 0; i < prev_inputs_.size(); ++i) prev_inputs_[i] = input_at(i, t0);
    std::lock_guard lock(mu_);
    sync();
}

void Model::init_defaults() {
    const bool varno = family_ == Family::varno;
    auto& s = scalars_;
    s["Agent_Version"] = "4.12";
    s["Agent_XmlVer"] = cfg_.xml_ver;
    s["Agent_DeviceName"] = cfg_.device_name;
    s["Agent_Model"] = cfg_.model;
    s["Agent_VendorID"] = "41872";
    s["Agent_MAC"] = cfg_.mac;
    s["Agent_Title"] = "Kalyx Monitoring Unit";
    s["Agent_Contact"] = "facility@example.org";
    s["Status_NtpState"] = "synchronised";
    s["TemperRange_Min"] = "-20";
    s["TemperRange_Max"] = "80";
    s["BinaryInSet_AlarmAction"] = "0";
    s["AlarmSet_Subj"] = "Alarm";
    s["AlarmSet_Body"] = "Sensor out of range";
    s["Counters_E"] = cfg_.counters_enabled ? "1" : "0";
    s["Counters_Int"] = "60";
    s["BinSetG_AlarmDest"] = "0";
    s["Global_Units"] = "C";
    s["Global_Logo"] = "";
    s["Global_ZXSec"] = "0";
    s["Global_AlarmDelay"] = "5";
    s["Network_Name"] = "kalyx-unit";
    s["Network_IPAddr"] = "127.0.0.1";
    s["Network_Submask"] = "255.0.0.0";
    s["Network_Gateway"] = "127.0.0.1";
    s["Network_TelnetPort"] = "23";
    s["Network_SNMPPort"] = "161";
    s["Network_DNSPrimary"] = "192.0.2.53";
    s["Network_DNSSecondary"] = "";
    s["Network_DHCP"] = "0";
    s["Email_Server"] = "mail.example.org";
    s["Email_Port"] = "25";
    s["Email_From"] = "unit@example.org";
    s["Email_To"] = "facility@example.org";
    s["Email_Subject"] = "Alarm";
    s["Email_Auth"] = "0";
    s["Email_Name"] = "";
    s["Email_Pswd"] = "";
    s["Email_State"] = "0";
    s["Email_Message"] = "";
    s["Time_SNTPServer"] = "ntp.example.org";
    s["Time_TimeShift"] = "0";
    s["Time_Port"] = "123";
    s["Time_Period"] = "60";
    s["SMS_E"] = "0";
    s["SMS_Module"] = "";
    s["SMS_CenterNmr"] = "";
    s["SMS_Recp1"] = "";
    s["SMS_Recp2"] = "";
    s["SMS_RingOut"] = "0";
    s["SMS_State"] = "0";
    s["SMS_Message"] = "";
    s["DataLogger_StorePeriod"] = std::to_string(cfg_.log_period_s);
    s["DataLogger_LogCapacity"] = std::to_string(cfg_.log_capacity);
    s["DataLogger_LogBins"] = "1";
    s["DataLogger_Report_E"] = "0";
    s["DataLogger_Report_To"] = "";
    s["DataLogger_Report_Period"] = "24";
    s["DataLogger_Report_Erase"] = "0";
    s["HTTPIPFilter_IPAddr"] = "0.0.0.0";
    s["HTTPIPFilter_Mask"] = "0.0.0.0";
    s["SNMPIPFilter_IPAddr"] = "0.0.0.0";
    s["SNMPIPFilter_Mask"] = "0.0.0.0";
    s["MIBIISysGroup_SysContact"] = "facility@example.org";
    s["MIBIISysGroup_SysName"] = cfg_.device_name;
    s["MIBIISysGroup_SysLocation"] = "Serverraum";
    s["Info"] = "1";

    auto dest = [](Entry& e) {
        for (const std::string& d : dest_fields()) e.f[d] = "0";
    };

    auto& in = lists_["BinaryInSet"];
    for (int i = 0; i < cfg_.inputs; ++i) {
        Entry e;
        e.f["ID"] = std::to_string(i + 1);
        e.f["Name"] = name_or(cfg_.input_names, static_cast<size_t>(i),
                              i == 0 ? "T\xC3\xBCr Serverraum" : "Eingang " + std::to_string(i + 1));
        e.f["NameOpen"] = "offen";
        e.f["NameClose"] = "geschlossen";
        // Input 1 raises an alarm when it closes; the others only report.
        bool alarm_on = i == 0;
        e.f["Alarm"] = varno ? (alarm_on ? "2" : "0") : (alarm_on ? "0" : "2");
        e.f["AlarmState"] = alarm_on ? "0" : "2";
        e.f["Mask1"] = "0";
        e.f["Mask2"] = "0";
        dest(e);
        e.f["SNMPTrap"] = alarm_on ? "1" : "0";
        e.f["EmailSMS"] = "0";
        in.push_back(std::move(e));
    }
    counters_.assign(static_cast<size_t>(cfg_.inputs), 0);

    auto& out = lists_["BinaryOutSet"];
    for (int k = 0; k < cfg_.outputs; ++k) {
        Entry e;
        e.f["ID"] = std::to_string(151 + k);
        e.f["Name"] = name_or(cfg_.output_names, static_cast<size_t>(k), "Relais " + std::to_string(k + 1));
        e.f["NameOpen"] = "aus";
        e.f["NameClose"] = "ein";
        e.f["Value"] = "0";
        e.f["Type"] = "0";
        e.f["Mode"] = "0";
        e.f["CondInputID"] = "0";
        e.f["Trigger"] = "0";
        out.push_back(std::move(e));
    }

    int id_base = cfg_.sensor_id_base != 0 ? cfg_.sensor_id_base : (varno ? 65 : 215);
    auto& sen = lists_["SenSet"];
    auto& ranges = lists_["TempRangeSet"];
    for (int j = 0; j < cfg_.sensors; ++j) {
        const SensorKind& k = kKinds[static_cast<size_t>(j) % kKindCount];
        Entry e;
        e.f["Name"] = name_or(cfg_.sensor_names, static_cast<size_t>(j),
                              j == 0 ? std::string(k.name) : std::string(k.name) + " " + std::to_string(j + 1));
        e.f["ID"] = std::to_string(id_base + j);
        e.f["Units"] = k.units;
        e.f["Min"] = fmt1(k.min);
        e.f["Max"] = fmt1(k.max);
        e.f["Hyst"] = "1.0";
        e.f["E"] = "1";
        e.f["SNMPTrap"] = j == 0 ? "1" : "0";
        e.f["EmailSMS"] = "0";
        e.f["Calib"] = "0.0";
        dest(e);
        sen.push_back(std::move(e));
        Entry r;
        r.f["Alarm"] = "0";
        ranges.push_back(std::move(r));
    }

    auto& groups = lists_["GroupSet"];
    {
        Entry e;
        e.f["Name"] = "Gruppe 1";
        e.f["Out"] = "0";
        e.f["OutState"] = "0";
        e.f["Alarm_Subj"] = "Gruppenalarm";
        e.f["Alarm_Body"] = "Gruppe 1";
        dest(e);
        groups.push_back(std::move(e));
    }
    auto& traps = lists_["SnmpTraps"];
    for (const TrapDest& t : cfg_.traps) {
        Entry e;
        e.f["Community"] = t.community;
        e.f["IPaddr"] = t.ip;
        e.f["Port"] = std::to_string(t.port);
        e.f["E"] = t.enabled ? "1" : "0";
        traps.push_back(std::move(e));
    }
    auto& mail = lists_["MailDest"];
    {
        Entry e;
        e.f["To"] = "facility@example.org";
        e.f["Cc"] = "";
        e.f["E"] = "1";
        mail.push_back(std::move(e));
    }
    auto& access = lists_["SnmpAccess"];
    for (auto [community, r, w, en] : {std::tuple{"public", "1", "0", "1"}, std::tuple{"private", "1", "1", "0"}}) {
        Entry e;
        e.f["Community"] = community;
        e.f["R"] = r;
        e.f["W"] = w;
        e.f["E"] = en;
        access.push_back(std::move(e));
    }
    auto& users = lists_["User"];
    for (const char* name : {"admin", "guest"}) {
        Entry e;
        e.f["Name"] = (std::string(name) == "admin" && !cfg_.user.empty()) ? cfg_.user : name;
        e.f["Pswd"] = "";
        users.push_back(std::move(e));
    }
}

void Model::set_http_port(int port) {
    std::lock_guard lock(mu_);
    http_port_ = port;
}

// ---- clock and movement

int64_t Model::now() const {
    std::lock_guard lock(mu_);
    return now_locked();
}

int64_t Model::now_locked() const {
    int64_t base = cfg_.wall_clock ? static_cast<int64_t>(std::time(nullptr)) : cfg_.start_time;
    return base + offset_;
}

void Model::advance(int64_t seconds) {
    std::lock_guard lock(mu_);
    offset_ += seconds;
    sync();
}

double Model::raw_sensor(size_t j, int64_t t) const {
    const SensorKind& k = kKinds[j % kKindCount];
    constexpr double kTwoPi = 6.283185307179586;
    double period = 3600.0 * static_cast<double>(1 + j % 4);
    double phase = static_cast<double>(hash3(cfg_.seed, j, 0x5E) % 1000) / 1000.0 * kTwoPi;
    double jitter = static_cast<double>(hash3(cfg_.seed, j, static_cast<uint64_t>(floor_div(t, 60))) % 21) / 50.0 - 0.2;
    double v = k.base + k.amp * std::sin(kTwoPi * static_cast<double>(t % 86400) / period + phase) + jitter;
    return std::round(v * 10.0) / 10.0;
}

double Model::sensor_at(size_t j, int64_t t) const {
    const Entry& e = lists_.at("SenSet")[j];
    if (e.pinned.count("Value")) return num(e.f.at("Value"));
    auto c = e.f.find("Calib");
    return std::round((raw_sensor(j, t) + (c == e.f.end() ? 0.0 : num(c->second))) * 10.0) / 10.0;
}

int Model::input_at(size_t i, int64_t t) const {
    const auto& in = lists_.at("BinaryInSet");
    if (i < in.size() && in[i].pinned.count("Value")) return inum(in[i].f.at("Value")) != 0 ? 1 : 0;
    int64_t epoch = floor_div(t, 3 * static_cast<int64_t>(cfg_.log_period_s));
    return hash3(cfg_.seed, i + 1000, static_cast<uint64_t>(epoch)) % 4 == 0 ? 1 : 0;
}

bool Model::input_alarm(size_t i, int value) const {
    const Entry& e = lists_.at("BinaryInSet")[i];
    bool alarm_field = new_dialect_ || family_ == Family::varno;
    auto it = e.f.find(alarm_field ? "Alarm" : "AlarmState");
    std::string code = it == e.f.end() ? "" : it->second;
    // 1: alarm when closed, 0: alarm when open, -1: no alarm; the codes differ by family.
    int when = -1;
    if (family_ == Family::varno) when = code == "2" ? 1 : code == "1" ? 0 : -1;
    else when = code == "0" ? 1 : code == "1" ? 0 : -1;
    return when >= 0 && value == when;
}

bool Model::sensor_out_of_range(size_t j, double v) const {
    const Entry& e = lists_.at("SenSet")[j];
    return v < num(e.f.at("Min")) || v > num(e.f.at("Max"));
}

void Model::push_log(LogRecord r) {
    log_.push_back(std::move(r));
    while (log_.size() > cfg_.log_capacity) {
        log_.pop_front();
        if (served_ > 0) --served_;
    }
}

void Model::log_round(int64_t t) {
    auto time32 = static_cast<int32_t>(t);
    // Sensors: up to 14 per record, groups 0-2.
    size_t ns = lists_["SenSet"].size();
    std::vector<LogRecord> sensor_recs;
    for (size_t j = 0; j < ns; ++j) {
        uint8_t group = static_cast<uint8_t>(std::min<size_t>(j / 14, 2));
        if (sensor_recs.empty() || sensor_recs.back().group != group ||
            sensor_recs.back().pairs.size() >= kMaxLogPairs) {
            sensor_recs.push_back(LogRecord{0, time32, group, {}});
        }
        double v = sensor_at(j, t);
        if (sensor_out_of_range(j, v)) sensor_recs.back().type = 1;
        sensor_recs.back().pairs.emplace_back(static_cast<uint16_t>(j + 1), tenths(v));
    }
    for (LogRecord& r : sensor_recs) push_log(std::move(r));

    // Inputs: only those that changed since the last round.
    LogRecord rec{0, time32, 3, {}};
    for (size_t i = 0; i < prev_inputs_.size(); ++i) {
        int v = input_at(i, t);
        if (v == prev_inputs_[i]) continue;
        if (v == 1 && i < counters_.size()) ++counters_[i];
        prev_inputs_[i] = v;
        if (rec.pairs.size() >= kMaxLogPairs) {
            push_log(std::move(rec));
            rec = LogRecord{0, time32, 3, {}};
        }
        if (input_alarm(i, v)) rec.type = 1;
        rec.pairs.emplace_back(static_cast<uint16_t>(i + 1), static_cast<int16_t>(v));
    }
    if (!rec.pairs.empty()) push_log(std::move(rec));
}

void Model::sync() {
    int64_t t = now_locked();
    if (cfg_.auto_log) {
        const int64_t p = cfg_.log_period_s;
        int64_t next = (floor_div(last_log_t_, p) + 1) * p;
        // A long jump only keeps as many rounds as the log could hold anyway.
        int64_t max_rounds = static_cast<int64_t>(cfg_.log_capacity);
        if (next <= t && (t - next) / p > max_rounds) next += ((t - next) / p - max_rounds) * p;
        for (; next <= t; next += p) log_round(next);
    }
    last_log_t_ = std::max(last_log_t_, t);
    refresh(t);
}

void Model::refresh(int64_t t) {
    auto set = [](Entry& e, const char* key, std::string v) {
        if (!e.pinned.count(key)) e.f[key] = std::move(v);
    };
    auto& in = lists_["BinaryInSet"];
    for (size_t i = 0; i < in.size(); ++i) {
        int v = input_at(i, t);
        set(in[i], "Value", std::to_string(v));
        std::string state = input_alarm(i, v) ? "2" : "0";
        set(in[i], "State", state);
        set(in[i], "Color", state);
        set(in[i], "Cnt", std::to_string(i < counters_.size() ? counters_[i] : 0));
    }
    auto& sen = lists_["SenSet"];
    auto& ranges = lists_["TempRangeSet"];
    for (size_t j = 0; j < sen.size(); ++j) {
        double v = sensor_at(j, t);
        set(sen[j], "Value", fmt1(v));
        bool out = sensor_out_of_range(j, v);
        bool alarm = out && (sen[j].f["SNMPTrap"] == "1" || sen[j].f["EmailSMS"] == "1");
        std::string state;
        if (family_ == Family::ostra) state = alarm ? "4" : out ? "2" : "1";
        else state = alarm ? "2" : out ? "1" : "0";
        set(sen[j], "State", state);
        set(sen[j], "Color", state);
        if (j < ranges.size()) {
            ranges[j].f["Min"] = sen[j].f["Min"];
            ranges[j].f["Max"] = sen[j].f["Max"];
        }
    }
    time_t tt = static_cast<time_t>(t);
    struct tm g {};
    char date[32] = "", clock[32] = "";
    if (gmtime_r(&tt, &g) != nullptr) {
        std::strftime(date, sizeof date, "%Y/%m/%d", &g);
        std::strftime(clock, sizeof clock, "%H:%M:%S", &g);
    }
    if (!pinned_scalars_.count("Time_Date")) scalars_["Time_Date"] = date;
    if (!pinned_scalars_.count("Time_Time")) scalars_["Time_Time"] = clock;
    if (!pinned_scalars_.count("Network_HTTPport")) scalars_["Network_HTTPport"] = std::to_string(http_port_);
}

// ---- documents

std::string Model::write_doc(bool setup) {
    const std::vector<GroupSpec>& schema = setup ? setup_schema() : values_schema();
    auto shown = [this](const std::string& group, const std::string& f) {
        const bool nd = new_dialect_;
        if (group == "BinaryInSet") {
            if (f == "AlarmState") return !nd && family_ != Family::varno;
            if (f == "Alarm") return nd || family_ == Family::varno;
            if (f == "Color") return !nd;
            if (f == "State") return nd;
        } else if (group == "SenSet") {
            if (f == "Color") return !nd;
            if (f == "State") return nd;
            if (f == "SNMPTrap" || f == "EmailSMS") return family_ == Family::kalyx || family_ == Family::ostra;
        } else if (group == "BinaryOutSet") {
            if (f == "Mode" || f == "CondInputID" || f == "Trigger") return nd;
        }
        return true;
    };

    std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    const char* prefix = setup ? "set" : "val";
    std::string root = cfg_.namespaced_root ? std::string(prefix) + ":Root" : "Root";
    if (cfg_.namespaced_root) {
        out += "<" + root + " xmlns:" + prefix + "=\"urn:kalyx:" + (setup ? "setup" : "values") + "\">\n";
    } else {
        out += "<Root>\n";
    }
    for (const GroupSpec& g : schema) {
        if (g.name == "Info") {
            xml::leaf(out, "Info", scalars_["Info"]);
            continue;
        }
        if (g.name == "Counters" && family_ != Family::varno) continue;
        out += "<" + g.name + ">\n";
        auto group_shown = [&](const std::string& f) { return shown(g.name, f); };
        if (g.list) {
            const auto& entries = lists_[g.name];
            for (size_t k = 0; k < entries.size(); ++k) {
                const Entry& e = entries[k];
                out += "<Entry>\n";
                write_fields(out, g.fields, group_shown, [&](const std::string& f) -> std::string {
                    if (f == "Idx") return std::to_string(k + 1);
                    auto it = e.f.find(f);
                    return it == e.f.end() ? std::string() : it->second;
                });
                out += "</Entry>\n";
            }
            if (!g.tail.empty()) xml::leaf(out, g.tail, scalars_[g.name + "_" + g.tail]);
        } else {
            write_fields(out, g.fields, group_shown,
                         [&](const std::string& f) { return scalars_[g.name + "_" + f]; });
        }
        out += "</" + g.name + ">\n";
    }
    out += "</" + root + ">\n";
    return out;
}

std::string Model::values_xml() {
    std::lock_guard lock(mu_);
    sync();
    return write_doc(false);
}

std::string Model::setup_xml() {
    std::lock_guard lock(mu_);
    sync();
    return write_doc(true);
}

void Model::set_output(size_t k, const std::string& text) {
    Entry& e = lists_["BinaryOutSet"][k];
    bool changed = inum(e.f["Value"]) != inum(text);
    e.f["Value"] = text;
    if (changed) {
        push_log(LogRecord{0, static_cast<int32_t>(now_locked()), 4,
                           {{static_cast<uint16_t>(k + 1), static_cast<int16_t>(inum(text) != 0 ? 1 : 0)}}});
    }
}

void Model::apply_list(const std::string& list, const xml::Node& group) {
    const GroupSpec* shape = find_group(list);
    auto& entries = lists_[list];
    const bool by_id = std::find(shape->fields.begin(), shape->fields.end(), "ID") != shape->fields.end();
    size_t order = 0;
    for (const xml::Node& en : group.children) {
        if (en.local != "Entry") continue;
        size_t position = order++;
        std::vector<std::pair<std::string, std::string>> fields;
        leaves(en, "", fields);
        auto get = [&](const char* key) -> const std::string* {
            for (const auto& [k, v] : fields) {
                if (k == key) return &v;
            }
            return nullptr;
        };
        // An entry names its target by ID where the list has IDs, else by Idx (1-based),
        // else by its place in the posted list.
        std::optional<size_t> target;
        if (const std::string* id = by_id ? get("ID") : nullptr) {
            long want = inum(*id);
            for (size_t k = 0; k < entries.size(); ++k) {
                if (inum(entries[k].f["ID"]) == want) {
                    target = k;
                    break;
                }
            }
        } else if (const std::string* idx = get("Idx")) {
            long n = inum(*idx);
            if (n >= 1) target = static_cast<size_t>(n - 1);
        } else {
            target = position;
        }
        if (!target) continue;
        size_t k = *target;
        if (list == "TempRangeSet") {
            // A range entry stands for the sensor at the same place; single-sensor units
            // are addressed this way for their range, name and calibration.
            auto& sen = lists_["SenSet"];
            if (k >= sen.size() || k >= entries.size()) continue;
            for (const auto& [key, text] : fields) {
                if (key == "Min" || key == "Max" || key == "Name" || key == "Calib" || key == "Hyst") {
                    // A whole posted setup carries both lists; its SenSet entry says what
                    // the sensor is to be, the range entry only echoes the old state.
                    if (!touched_sensors_.count({k, key})) sen[k].f[key] = text;
                } else if (key == "Alarm") {
                    entries[k].f[key] = text;
                }
            }
            continue;
        }
        if (k >= entries.size()) {
            if (k >= shape->growable) continue;
            entries.resize(k + 1);
        }
        for (const auto& [key, text] : fields) {
            if (!has_field(list, key) || read_only(list, key, true)) continue;
            if (list == "BinaryOutSet" && key == "Value") set_output(k, text);
            else entries[k].f[key] = text;
            if (list == "SenSet") touched_sensors_.insert({k, key});
        }
    }
}

void Model::apply_scalars(const std::string& group, const xml::Node& node) {
    std::vector<std::pair<std::string, std::string>> fields;
    leaves(node, "", fields);
    for (const auto& [key, text] : fields) {
        if (!has_field(group, key) || read_only(group, key, false)) continue;
        scalars_[group + "_" + key] = text;
        pinned_scalars_.insert(group + "_" + key);
    }
}

int Model::apply_setup(std::string_view document) {
    xml::Node root;
    std::string error;
    if (!xml::parse(document, root, error) || root.local != "Root") return 400;
    std::lock_guard lock(mu_);
    sync();
    touched_sensors_.clear();
    for (const xml::Node& g : root.children) {
        const GroupSpec* shape = find_group(g.local);
        if (shape == nullptr || g.local == "Info" || g.local == "Agent") continue;
        if (shape->list) apply_list(g.local, g);
        else apply_scalars(g.local, g);
    }
    refresh(now_locked());
    return 200;
}

// ---- model access

bool Model::is_dynamic(const std::string& list, const std::string& key) const {
    if (list == "BinaryInSet") return key == "Value" || key == "State" || key == "Color" || key == "Cnt";
    if (list == "SenSet") return key == "Value" || key == "State" || key == "Color";
    return false;
}

std::string Model::field(const std::string& path, int entry) {
    std::lock_guard lock(mu_);
    sync();
    size_t at = path.find("_Entry_");
    if (at == std::string::npos) {
        auto it = scalars_.find(path);
        return it == scalars_.end() ? std::string() : it->second;
    }
    std::string list = path.substr(0, at), key = path.substr(at + 7);
    auto it = lists_.find(list);
    if (it == lists_.end() || entry < 0 || static_cast<size_t>(entry) >= it->second.size()) return {};
    if (key == "Idx") return std::to_string(entry + 1);
    auto f = it->second[static_cast<size_t>(entry)].f.find(key);
    return f == it->second[static_cast<size_t>(entry)].f.end() ? std::string() : f->second;
}

bool Model::set_field(const std::string& path, int entry, const std::string& text) {
    std::lock_guard lock(mu_);
    size_t at = path.find("_Entry_");
    if (at == std::string::npos) {
        size_t us = path.find('_');
        std::string group = us == std::string::npos ? path : path.substr(0, us);
        std::string key = us == std::string::npos ? "" : path.substr(us + 1);
        if (!(path == "Info" || has_field(group, key))) return false;
        scalars_[path] = text;
        pinned_scalars_.insert(path);
        sync();
        return true;
    }
    std::string list = path.substr(0, at), key = path.substr(at + 7);
    auto it = lists_.find(list);
    if (it == lists_.end() || !has_field(list, key) || key == "Idx" || entry < 0 ||
        static_cast<size_t>(entry) >= it->second.size()) {
        return false;
    }
    Entry& e = it->second[static_cast<size_t>(entry)];
    e.f[key] = text;
    if (is_dynamic(list, key)) e.pinned.insert(key);
    sync();
    return true;
}

int Model::count(const std::string& list) {
    std::lock_guard lock(mu_);
    auto it = lists_.find(list);
    return it == lists_.end() ? 0 : static_cast<int>(it->second.size());
}

std::vector<TrapDest> Model::traps() {
    std::lock_guard lock(mu_);
    std::vector<TrapDest> out;
    for (Entry& e : lists_["SnmpTraps"]) {
        out.push_back(TrapDest{e.f["Community"], e.f["IPaddr"], static_cast<int>(inum(e.f["Port"])), e.f["E"] == "1"});
    }
    return out;
}

// ---- data log

std::vector<LogRecord> Model::log() {
    std::lock_guard lock(mu_);
    sync();
    return {log_.begin(), log_.end()};
}

bool Model::append_log(const LogRecord& record) {
    if (record.pairs.size() > kMaxLogPairs) return false;
    std::lock_guard lock(mu_);
    sync();
    push_log(record);
    return true;
}

void Model::clear_log() {
    std::lock_guard lock(mu_);
    log_.clear();
    served_ = 0;
    served_kind_ = Served::nothing;
}

void Model::set_raw_bin(std::string bytes) {
    std::lock_guard lock(mu_);
    raw_bin_ = std::move(bytes);
}

void Model::set_raw_txt(std::string text) {
    std::lock_guard lock(mu_);
    raw_txt_ = std::move(text);
}

void Model::clear_raw() {
    std::lock_guard lock(mu_);
    raw_bin_.reset();
    raw_txt_.reset();
}

size_t Model::served() const {
    std::lock_guard lock(mu_);
    return served_kind_ == Served::records ? served_ : 0;
}

std::string Model::serve_bin() {
    std::lock_guard lock(mu_);
    sync();
    if (raw_bin_) {
        served_kind_ = Served::raw_bin;
        served_ = 0;
        return *raw_bin_;
    }
    served_kind_ = Served::records;
    served_ = log_.size();
    return encode_log_bin({log_.begin(), log_.end()});
}

std::string Model::serve_txt() {
    std::lock_guard lock(mu_);
    sync();
    if (raw_txt_) {
        served_kind_ = Served::raw_txt;
        served_ = 0;
        return *raw_txt_;
    }
    served_kind_ = Served::records;
    served_ = log_.size();
    return format_log_csv({log_.begin(), log_.end()});
}

size_t Model::del() {
    std::lock_guard lock(mu_);
    size_t removed = 0;
    switch (served_kind_) {
        case Served::records:
            removed = std::min(served_, log_.size());
            log_.erase(log_.begin(), log_.begin() + static_cast<std::ptrdiff_t>(removed));
            break;
        case Served::raw_bin: raw_bin_.reset(); break;
        case Served::raw_txt: raw_txt_.reset(); break;
        case Served::nothing: break;
    }
    served_ = 0;
    served_kind_ = Served::nothing;
    return removed;
}

size_t Model::delall() {
    std::lock_guard lock(mu_);
    size_t removed = log_.size();
    log_.clear();
    raw_bin_.reset();
    raw_txt_.reset();
    served_ = 0;
    served_kind_ = Served::nothing;
    return removed;
}

}  // namespace detail
}  // namespace kalax::sim
