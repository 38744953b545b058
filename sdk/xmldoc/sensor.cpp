// Decoding of record texts into per-sensor items.
#include "sdk/xmldoc/sensor.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>

namespace zxapi {

namespace {

// A record field as text: up to its first NUL, never past its width, so an
// unterminated field from a hostile copy is read as its full width.
template <std::size_t W>
std::string_view Text(const char (&field)[W]) {
    return {field, strnlen(field, W)};
}

template <std::size_t W>
std::string Str(const char (&field)[W]) {
    return std::string(Text(field));
}

// Number of slots of a list, taken from one of its entry arrays.
template <class Array>
constexpr int Capacity() {
    return static_cast<int>(std::extent_v<Array, 0>);
}

// A count read from a record that may have been edited by anyone.
int ClampCount(int32_t n, int capacity) {
    if (n < 0) return 0;
    return n > capacity ? capacity : static_cast<int>(n);
}

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Alarm code and threshold of a binary input, from the text the family reads.
struct InputAlarm {
    uint8_t alarm;
    float threshold;
};

InputAlarm KalyxInputAlarm(std::string_view s) {
    if (s == "0") return {ALARM_ACTIVE_IF_ON, 0.0f};
    if (s == "1") return {ALARM_ACTIVE_IF_OFF, 1.0f};
    if (s == "2") return {ALARM_INACTIVE, kNoValue};
    return {ALARM_UNKNOWN, kNoValue};
}

// The Varno family numbers its alarm texts the other way round.
InputAlarm VarnoInputAlarm(std::string_view s) {
    if (s == "0") return {ALARM_INACTIVE, kNoValue};
    if (s == "1") return {ALARM_ACTIVE_IF_OFF, 1.0f};
    if (s == "2") return {ALARM_ACTIVE_IF_ON, 0.0f};
    return {ALARM_UNKNOWN, kNoValue};
}

uint8_t InputState(std::string_view s) {
    if (s == "0") return STATE_NORMAL;
    if (s == "1") return STATE_OUT_OF_RANGE;
    if (s == "2") return STATE_ALARM_ACTIVE;
    return STATE_UNKNOWN_;
}

uint8_t SensorState(std::string_view s) {
    if (s == "0") return STATE_NORMAL;
    if (s == "1") return STATE_OUT_OF_RANGE;
    if (s == "2") return STATE_ALARM_ACTIVE;
    if (s == "4") return STATE_SENSOR_INVALID;
    return STATE_UNKNOWN_;
}

// Ostra units report their sensor states on a scale of their own.
uint8_t OstraSensorState(std::string_view s) {
    if (s == "1") return STATE_NORMAL;
    if (s == "2" || s == "3") return STATE_OUT_OF_RANGE;
    if (s == "4" || s == "5") return STATE_ALARM_ACTIVE;
    if (s == "0") return STATE_SENSOR_INVALID;
    return STATE_UNKNOWN_;
}

uint8_t OutputMode(std::string_view s) {
    if (s.size() == 1 && s[0] >= '0' && s[0] <= '4') return static_cast<uint8_t>(s[0] - '0');
    return MODE_UNKNOWN;
}

uint8_t AlarmActionCode(std::string_view s) {
    if (s.size() == 1 && s[0] >= '0' && s[0] <= '3') return static_cast<uint8_t>(s[0] - '0');
    return 4;
}

int32_t Flag(std::string_view s) { return s == "1" ? 1 : 0; }

std::string IpText(const char (&ip)[16]) { return std::string(Text(ip)); }

void CopyIp(char (&dst)[16], const char *ip) {
    std::memset(dst, 0, sizeof dst);
    if (ip != nullptr) std::memcpy(dst, ip, strnlen(ip, sizeof dst - 1));
}

}  // namespace

// ---- decoding rules -------------------------------------------------------------
namespace decode {

int32_t Integer(std::string_view text) {
    std::size_t p = 0;
    while (p < text.size() && IsCSpace(text[p])) ++p;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    // Accumulate past the 32-bit range only as far as needed to know it saturates.
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
        magnitude = magnitude * 10 + (text[p] - '0');
        if (magnitude > kLimit) magnitude = kLimit;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);  // -kLimit is exactly INT32_MIN
}

float Decimal(std::string_view text) {
    std::size_t p = 0;
    while (p < text.size() && IsCSpace(text[p])) ++p;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    // from_chars takes a minus of its own; a second sign is no number at all.
    if (p >= text.size() || text[p] == '+' || text[p] == '-') return 0.0f;
    const char *first = text.data() + p;
    const char *last = text.data() + text.size();
    double d = 0.0;
    const auto [end, ec] = std::from_chars(first, last, d, std::chars_format::general);
    if (ec == std::errc::invalid_argument) return 0.0f;
    if (ec == std::errc::result_out_of_range) {
        // Texts this short only leave the range through their exponent: a
        // negative one underflows to zero, a positive one overflows.
        const std::string_view number(first, static_cast<std::size_t>(end - first));
        const std::size_t e = number.find_first_of("eE");
        const bool underflow = e != std::string_view::npos && e + 1 < number.size() && number[e + 1] == '-';
        d = underflow ? 0.0 : HUGE_VAL;
    }
    if (negative) d = -d;
    if (d > FLT_MAX) return std::numeric_limits<float>::infinity();
    if (d < -FLT_MAX) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

uint8_t FamilyOfModel(int32_t model) {
    switch (model) {
    case 3: case 4: case 6: case 10: case 11: case 12: case 13: case 14:
    case 21: case 22: case 23: case 24: case 25: case 26: case 34: case 36:
        return FAMILY_KALYX;
    case 2: case 15: case 16: case 17: case 40:
        return FAMILY_VARNO;
    case 33:
        return kFamilyOstra;
    default:
        return FAMILY_UNKNOWN;
    }
}

uint8_t UnitsOfText(std::string_view text) {
    if (text == "C") return UNITS_CELSIUS;
    if (text == "%RH") return UNITS_HUMIDITY;
    if (text == "V") return UNITS_VOLTAGE;
    if (text == "mA") return UNITS_CURRENT;
    if (text == "s") return UNITS_SWITCH;
    if (text == "DP C") return UNITS_DEWPOINT;
    if (text == "kPa") return UNITS_KPASCAL;
    return UNITS_UNKNOWN;
}

}  // namespace decode

// ---- policy blocks ----------------------------------------------------------------
TValuesXmlBuffer MakeValuesBuffer(const zxxml_values_struct *xml, const zxxml_values_count_struct *count,
                                  const char *ip, int32_t port) {
    TValuesXmlBuffer b;
    b.Xml = xml;
    b.Count = count;
    CopyIp(b.IP, ip);
    b.Port = port;
    return b;
}

TSetupXmlBuffer MakeSetupBuffer(const zxxml_setup_struct *xml, const zxxml_setup_count_struct *count,
                                const char *ip, int32_t port) {
    TSetupXmlBuffer b;
    b.Xml = xml;
    b.Count = count;
    CopyIp(b.IP, ip);
    b.Port = port;
    return b;
}

// ---- TValuesXml -----------------------------------------------------------------------
template <class Buffer>
int TValuesXml<Buffer>::InputCount() const {
    using R = typename Buffer::Record;
    if (buffer_.Xml == nullptr || buffer_.Count == nullptr) return 0;
    return ClampCount(buffer_.Count->BinaryInSet, Capacity<decltype(R::BinaryInSet_Entry_Name)>());
}

template <class Buffer>
int TValuesXml<Buffer>::OutputCount() const {
    using R = typename Buffer::Record;
    if (buffer_.Xml == nullptr || buffer_.Count == nullptr) return 0;
    return ClampCount(buffer_.Count->BinaryOutSet, Capacity<decltype(R::BinaryOutSet_Entry_Name)>());
}

template <class Buffer>
int TValuesXml<Buffer>::SensorCount() const {
    using R = typename Buffer::Record;
    if (buffer_.Xml == nullptr || buffer_.Count == nullptr) return 0;
    return ClampCount(buffer_.Count->SenSet, Capacity<decltype(R::SenSet_Entry_Name)>());
}

template <class Buffer>
int TValuesXml<Buffer>::GetCount() const {
    return InputCount() + SensorCount() + OutputCount();
}

template <class Buffer>
uint8_t TValuesXml<Buffer>::GetXmlVer() const {
    if (buffer_.Xml == nullptr) return XMLVER_UNKNOWN;
    const std::string_view v = Text(buffer_.Xml->Agent_XmlVer);
    if (v == "2.0") return XMLVER_20;
    if (v == "2.20") return XMLVER_220;
    if (v == "2.34") return XMLVER_234;
    if (v == "2.35") return kXmlVer235;
    if (v == "2.36") return kXmlVer236;
    if (v == "1.00") return kXmlVer100;
    return XMLVER_UNKNOWN;
}

template <class Buffer>
uint8_t TValuesXml<Buffer>::GetFamily() const {
    if (buffer_.Xml == nullptr) return FAMILY_UNKNOWN;
    return decode::FamilyOfModel(decode::Integer(Text(buffer_.Xml->Agent_Model)));
}

template <class Buffer>
bool TValuesXml<Buffer>::NewDialect() const {
    if (buffer_.Xml == nullptr) return false;
    const std::string_view v = Text(buffer_.Xml->Agent_XmlVer);
    switch (GetFamily()) {
    case FAMILY_KALYX: return v == "2.34" || v == "2.35" || v == "2.36";
    case FAMILY_VARNO: return v == "2.0";
    case kFamilyOstra: return true;
    default: return false;
    }
}

template <class Buffer>
void TValuesXml<Buffer>::GetCommon(TXmlSensorEnum &item) const {
    item.XmlVer = GetXmlVer();
    item.Family = GetFamily();
    const auto *r = buffer_.Xml;
    item.DevName = r != nullptr ? Str(r->Agent_DeviceName) : std::string();
    item.MAC = r != nullptr ? Str(r->Agent_MAC) : std::string();
    item.IP = IpText(buffer_.IP);
    item.Port = buffer_.Port;
    item.Time = r != nullptr ? r->time : 0;
}

template <class Buffer>
int TValuesXml<Buffer>::GetItem(int i, TXmlSensorEnum &item) const {
    GetCommon(item);
    // Unsigned, so a negative position is simply far beyond the list.
    const auto u = static_cast<unsigned>(i);
    const auto n_in = static_cast<unsigned>(InputCount());
    const auto n_sen = static_cast<unsigned>(SensorCount());
    const auto n_out = static_cast<unsigned>(OutputCount());
    if (u < n_in) return GetBinaryInput(static_cast<int>(u), item);
    if (u < n_in + n_sen) return GetAnalogSensor(static_cast<int>(u - n_in), item);
    if (u < n_in + n_sen + n_out) return GetBinaryOutput(static_cast<int>(u - n_in - n_sen), item);
    return -2;
}

template <class Buffer>
int TValuesXml<Buffer>::GetBinaryInput(int i, TXmlSensorEnum &item) const {
    if (i < 0 || i >= InputCount()) return -2;
    const auto &r = *buffer_.Xml;
    const uint8_t family = GetFamily();
    const bool new_dialect = NewDialect();

    item.Name = Str(r.BinaryInSet_Entry_Name[i]);
    item.Id = i + 1;
    item.Value = static_cast<float>(decode::Integer(Text(r.BinaryInSet_Entry_Value[i])));
    item.Units = UNITS_SWITCH;
    item.Hyst = 0.0f;
    item.Calib = 0.0f;
    item.Counter = decode::Integer(Text(r.BinaryInSet_Entry_Cnt[i]));
    item.Mode = MODE_UNKNOWN;
    item.SensType = TYPE_BINARY_INPUT;

    InputAlarm a{ALARM_UNKNOWN, kNoValue};
    if (family == FAMILY_KALYX) {
        a = KalyxInputAlarm(new_dialect ? Text(r.BinaryInSet_Entry_Alarm[i]) : Text(r.BinaryInSet_Entry_AlarmState[i]));
    } else if (family == FAMILY_VARNO) {
        a = VarnoInputAlarm(Text(r.BinaryInSet_Entry_Alarm[i]));
    }
    item.Alarm = a.alarm;
    item.Min = a.threshold;
    item.Max = a.threshold;

    item.State = InputState(new_dialect ? Text(r.BinaryInSet_Entry_State[i]) : Text(r.BinaryInSet_Entry_Color[i]));
    return 0;
}

template <class Buffer>
int TValuesXml<Buffer>::GetBinaryOutput(int k, TXmlSensorEnum &item) const {
    if (k < 0 || k >= OutputCount()) return -2;
    const auto &r = *buffer_.Xml;

    item.Name = Str(r.BinaryOutSet_Entry_Name[k]);
    item.Id = k + kOutputIdBase;
    item.Value = static_cast<float>(decode::Integer(Text(r.BinaryOutSet_Entry_Value[k])));
    item.Units = UNITS_SWITCH;
    item.Min = 0.0f;
    item.Max = 0.0f;
    item.Hyst = 0.0f;
    item.Calib = 0.0f;
    item.Counter = 0;
    item.Alarm = ALARM_UNKNOWN;
    item.State = STATE_UNKNOWN_;
    item.SensType = GetFamily() == FAMILY_KALYX ? TYPE_BINARY_OUTPUT : TYPE_RELAY_OUTPUT;
    item.Mode = NewDialect() ? OutputMode(Text(r.BinaryOutSet_Entry_Mode[k])) : uint8_t{MODE_UNKNOWN};
    return 0;
}

template <class Buffer>
int TValuesXml<Buffer>::GetAnalogSensor(int j, TXmlSensorEnum &item) const {
    if (j < 0 || j >= SensorCount()) return -2;
    const auto &r = *buffer_.Xml;
    const uint8_t family = GetFamily();
    const bool kalyx_like = family == FAMILY_KALYX || family == kFamilyOstra;

    item.Name = Str(r.SenSet_Entry_Name[j]);
    if (kalyx_like) {
        item.Id = decode::Integer(Text(r.SenSet_Entry_ID[j]));
    } else {
        item.Id = family == FAMILY_VARNO ? j + kVarnoSensorIdBase : 0;
    }
    item.Value = decode::Decimal(Text(r.SenSet_Entry_Value[j]));
    item.Hyst = decode::Decimal(Text(r.SenSet_Entry_Hyst[j]));
    item.Calib = decode::Decimal(Text(r.SenSet_Entry_Calib[j]));
    item.Counter = 0;
    item.Mode = MODE_UNKNOWN;
    item.Units = decode::UnitsOfText(Text(r.SenSet_Entry_Units[j]));
    item.SensType = item.Units == UNITS_SWITCH ? TYPE_BINARY_INPUT : TYPE_ANALOG_SENSOR_INPUT;

    item.Min = kNoValue;
    item.Max = kNoValue;
    if (kalyx_like) {
        const std::string_view min = Text(r.SenSet_Entry_Min[j]);
        const std::string_view max = Text(r.SenSet_Entry_Max[j]);
        if (item.SensType != TYPE_BINARY_INPUT) {
            item.Min = decode::Decimal(min);
            item.Max = decode::Decimal(max);
        } else if (min == "0.0" && max == "0.5") {
            item.Min = item.Max = 0.0f;
        } else if (min == "0.5" && max == "1.0") {
            item.Min = item.Max = 1.0f;
        }
    }

    if (kalyx_like) {
        const bool trap = Text(r.SenSet_Entry_SNMPTrap[j]) == "1";
        const bool mail = Text(r.SenSet_Entry_EmailSMS[j]) == "1";
        item.Alarm = trap ? (mail ? ALARM_ALL : ALARM_SNMP_TRAP_ONLY) : (mail ? ALARM_EMAIL_AND_SMS : ALARM_INACTIVE);
    } else {
        item.Alarm = ALARM_UNKNOWN;
    }

    if (family == FAMILY_KALYX || family == FAMILY_VARNO) {
        item.State = SensorState(NewDialect() ? Text(r.SenSet_Entry_State[j]) : Text(r.SenSet_Entry_Color[j]));
    } else if (family == kFamilyOstra) {
        item.State = OstraSensorState(Text(r.SenSet_Entry_State[j]));
    } else {
        item.State = STATE_UNKNOWN_;
    }
    return 0;
}

template <class Buffer>
void TValuesXml<Buffer>::GetDeviceInfo(TXmlDeviceInfo &info) const {
    TXmlDeviceInfo fresh;
    info = std::move(fresh);
    info.IP = IpText(buffer_.IP);
    info.HTTPPort = buffer_.Port;
    info.Family = GetFamily();
    info.SenSetCount = SensorCount();
    info.BinaryInSetCount = InputCount();
    info.BinaryOutSetCount = OutputCount();
    const auto *r = buffer_.Xml;
    if (r == nullptr) return;
    info.DeviceName = Str(r->Agent_DeviceName);
    info.Title = Str(r->Agent_Title);
    info.MAC = Str(r->Agent_MAC);
    info.Model = decode::Integer(Text(r->Agent_Model));
    info.Version = Str(r->Agent_Version);
    info.XmlVer = Str(r->Agent_XmlVer);
    info.AlarmAction = info.Family == FAMILY_KALYX ? AlarmActionCode(Text(r->BinaryInSet_AlarmAction)) : 4;
}

// ---- TSetupXml: setup-only fields ------------------------------------------------------
template <class Buffer>
int TSetupXml<Buffer>::GetBinaryInput(int i, TXmlSensorEnum &item) const {
    const int rc = TValuesXml<Buffer>::GetBinaryInput(i, item);
    if (rc != 0) return rc;
    const bool counters = Text(this->buffer_.Xml->Counters_E) == "1";
    item.SensType = this->GetFamily() == FAMILY_VARNO && counters ? TYPE_BINARY_INPUT_COUNTER : TYPE_BINARY_INPUT;
    return 0;
}

template <class Buffer>
int TSetupXml<Buffer>::GetBinaryOutput(int k, TXmlSensorEnum &item) const {
    const int rc = TValuesXml<Buffer>::GetBinaryOutput(k, item);
    if (rc != 0) return rc;
    switch (this->GetFamily()) {
    case FAMILY_KALYX: {
        const std::string_view type = Text(this->buffer_.Xml->BinaryOutSet_Entry_Type[k]);
        item.SensType = type == "0"   ? TYPE_RELAY_OUTPUT
                        : type == "1" ? TYPE_DTR_OUTPUT
                        : type == "2" ? TYPE_RTS_OUTPUT
                                      : TYPE_UNKNOWN;
        break;
    }
    case FAMILY_VARNO: item.SensType = TYPE_RELAY_OUTPUT; break;
    default: item.SensType = TYPE_BINARY_OUTPUT; break;
    }
    return 0;
}

template <class Buffer>
void TSetupXml<Buffer>::GetDeviceInfo(TXmlDeviceInfo &info) const {
    TValuesXml<Buffer>::GetDeviceInfo(info);
    const auto *r = this->buffer_.Xml;
    if (r == nullptr) return;
    using R = typename Buffer::Record;
    info.IP = Str(r->Network_IPAddr);
    info.DNSPrimary = Str(r->Network_DNSPrimary);
    info.DNSSecondary = Str(r->Network_DNSSecondary);
    info.HTTPPort = decode::Integer(Text(r->Network_HTTPport));
    info.TelnetPort = decode::Integer(Text(r->Network_TelnetPort));
    info.SNMPPort = decode::Integer(Text(r->Network_SNMPPort));
    info.Units = decode::UnitsOfText(Text(r->Global_Units));

    const auto *c = this->buffer_.Count;
    const int traps = c != nullptr ? ClampCount(c->SnmpTraps, Capacity<decltype(R::SnmpTraps_Entry_Community)>()) : 0;
    const int access = c != nullptr ? ClampCount(c->SnmpAccess, Capacity<decltype(R::SnmpAccess_Entry_Community)>()) : 0;
    static_assert(Capacity<decltype(R::SnmpTraps_Entry_Community)>() <= std::tuple_size_v<decltype(info.SnmpTraps)>);
    static_assert(Capacity<decltype(R::SnmpAccess_Entry_Community)>() <= std::tuple_size_v<decltype(info.SnmpAccess)>);
    info.SnmpTrapsCount = traps;
    for (int t = 0; t < traps; ++t) {
        auto &trap = info.SnmpTraps[static_cast<std::size_t>(t)];
        trap.Community = Str(r->SnmpTraps_Entry_Community[t]);
        trap.IPAddr = Str(r->SnmpTraps_Entry_IPaddr[t]);
        trap.Port = decode::Integer(Text(r->SnmpTraps_Entry_Port[t]));
        trap.Enable = Flag(Text(r->SnmpTraps_Entry_E[t]));
    }
    info.SnmpAccessCount = access;
    for (int a = 0; a < access; ++a) {
        auto &entry = info.SnmpAccess[static_cast<std::size_t>(a)];
        entry.Community = Str(r->SnmpAccess_Entry_Community[a]);
        entry.Read = Flag(Text(r->SnmpAccess_Entry_R[a]));
        entry.Write = Flag(Text(r->SnmpAccess_Entry_W[a]));
        entry.Enable = Flag(Text(r->SnmpAccess_Entry_E[a]));
    }
    info.HTTPFilterIPAddr = Str(r->HTTPIPFilter_IPAddr);
    info.HTTPFilterMask = Str(r->HTTPIPFilter_Mask);
    info.SNMPFilterIPAddr = Str(r->SNMPIPFilter_IPAddr);
    info.SNMPFilterMask = Str(r->SNMPIPFilter_Mask);
    info.SNTPServer = Str(r->Time_SNTPServer);
}

template class TValuesXml<TValuesXmlBuffer>;
template class TValuesXml<TSetupXmlBuffer>;
template class TSetupXml<TSetupXmlBuffer>;

}  // namespace zxapi
