// Rendering of item fields as display texts.
#include "sdk/xmldoc/sensor_text.h"

#include <charconv>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "sdk/runtime/platform.h"

namespace zxapi {

namespace {

// A field that does not apply to the item.
const char *const kNone = "-";

// Readings at or below this are the unit's no-reading marker (-999.9).
constexpr float kNoReadingAbove = -989.0f;
// Thresholds at or below this do not apply.
constexpr float kNoThresholdAbove = -999.0f;

bool IsAnalog(uint8_t type) { return type == TYPE_ANALOG_SENSOR_INPUT || type == TYPE_ANALOG_SENSOR_OUTPUT; }
bool IsBinaryInput(uint8_t type) { return type == TYPE_BINARY_INPUT || type == TYPE_BINARY_INPUT_COUNTER; }

// "%.1f" of the value widened to double, with printf's rounding, but always
// with "." as the decimal point.
std::string OneDecimal(float value) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                                 std::chars_format::fixed, 1);
    if (r.ec != std::errc()) return kNone;  // cannot happen: 64 bytes hold any float
    return std::string(buffer, r.ptr);
}

std::string FamilyText(uint8_t family) {
    switch (family) {
    case FAMILY_KALYX: return "Kalyx family";
    case FAMILY_VARNO: return "Varno family";
    case kFamilyOstra: return "Ostra family";
    default: return kNone;
    }
}

std::string IdText(int32_t id, uint8_t type) {
    return type <= TYPE_BINARY_OUTPUT ? std::to_string(id) : kNone;
}

std::string ValueText(float value, uint8_t type) {
    if (IsAnalog(type)) return value > kNoReadingAbove ? OneDecimal(value) : kNone;
    if (type <= TYPE_BINARY_OUTPUT) {
        if (value == 0.0f) return "Off";
        if (value == 1.0f) return "On";
        if (value == 2.0f) return "Off any alarm";
        if (value == 3.0f) return "On any alarm";
    }
    return kNone;
}

std::string LimitText(float value, uint8_t type) {
    if (IsAnalog(type)) return OneDecimal(value);
    if (IsBinaryInput(type)) {
        if (value <= kNoThresholdAbove) return kNone;
        return value == 0.0f ? "Off" : "On";
    }
    return kNone;
}

std::string AnalogOnlyText(float value, uint8_t type) {
    return IsAnalog(type) ? OneDecimal(value) : kNone;
}

std::string CounterText(int32_t counter, uint8_t family, uint8_t type) {
    return family == FAMILY_VARNO && IsBinaryInput(type) ? std::to_string(counter) : kNone;
}

std::string UnitsText(uint8_t units) {
    switch (units) {
    case UNITS_CELSIUS: return "\xB0" "C";
    case UNITS_FAHRENHEIT: return "\xB0" "F";
    case UNITS_KELVIN: return "K";
    case UNITS_HUMIDITY: return "%RH";
    case UNITS_VOLTAGE: return "V";
    case UNITS_CURRENT: return "mA";
    case UNITS_SWITCH: return "Switch";
    case UNITS_PULSES: return "Pulses";
    case UNITS_DEWPOINT: return "DP C";
    case UNITS_KPASCAL: return "kPa";
    default: return kNone;
    }
}

std::string SensTypeText(uint8_t type) {
    switch (type) {
    case TYPE_ANALOG_SENSOR_INPUT: return "Analog sensor input";
    case TYPE_ANALOG_SENSOR_OUTPUT: return "Analog sensor output";
    case TYPE_BINARY_INPUT: return "Binary input";
    case TYPE_BINARY_INPUT_COUNTER: return "Binary input with counter";
    case TYPE_RELAY_OUTPUT: return "Realy output";
    case TYPE_RTS_OUTPUT: return "RTS output";
    case TYPE_DTR_OUTPUT: return "DTR output";
    case TYPE_BINARY_OUTPUT: return "Binary output";
    default: return kNone;
    }
}

std::string AlarmText(uint8_t alarm, uint8_t family) {
    switch (alarm) {
    case ALARM_INACTIVE: return "Inactive";
    case ALARM_ACTIVE_IF_ON: return "Active if On";
    case ALARM_ACTIVE_IF_OFF: return "Active if Off";
    case ALARM_SNMP_TRAP_ONLY: return "SNMP trap";
    // Ostra units have no SMS modem.
    case ALARM_EMAIL_AND_SMS: return family == kFamilyOstra ? "Email" : "Email and SMS";
    case ALARM_ALL: return "SNMP trap, e-mail and SMS";
    default: return kNone;
    }
}

std::string StateText(uint8_t state) {
    switch (state) {
    case STATE_NORMAL: return "Normal";
    case STATE_OUT_OF_RANGE: return "Out of range";
    case STATE_ALARM_ACTIVE: return "Alarm active";
    case STATE_SENSOR_INVALID: return "Sensor invalid";
    case STATE_DEVICE_INVALID: return "Device invalid";
    default: return kNone;
    }
}

std::string ModeText(uint8_t mode) {
    switch (mode) {
    case MODE_MANUAL_CONTROL: return "Manual output control";
    case MODE_ANY_ALARM: return "On if any alarm";
    case MODE_EQUAL_TRIGGER: return "On if value equal to Trigger";
    case MODE_HIGHER_TRIGGER: return "On if value higher to Triggerl";
    case MODE_LOWER_TRIGGER: return "On if value lower to Trigger";
    default: return kNone;
    }
}

std::string TimeText(int32_t time) {
    std::tm local{};
    if (!kalax::platform::local_time(time, &local)) return kNone;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%02i:%02i:%02i", local.tm_hour, local.tm_min, local.tm_sec);
    return buffer;
}

}  // namespace

TXmlSensorRecord ToSensorRecord(const TXmlSensorEnum &item) {
    TXmlSensorRecord r;
    r.Family = item.Family;
    r.Port = item.Port;
    r.Id = item.Id;
    r.Value = item.Value;
    r.Units = item.Units;
    r.Min = item.Min;
    r.Max = item.Max;
    r.Hyst = item.Hyst;
    r.Counter = item.Counter;
    r.SensType = item.SensType;
    r.Alarm = item.Alarm;
    r.State = item.State;
    r.Time = item.Time;
    r.XmlVer = item.XmlVer;
    r.Mode = item.Mode;
    r.Calib = item.Calib;
    return r;
}

TXmlSensorEnum FromSensorRecord(const TXmlSensorRecord &record) {
    const auto low8 = [](int32_t code) { return static_cast<uint8_t>(static_cast<uint32_t>(code) & 0xFFu); };
    TXmlSensorEnum e;
    e.Family = low8(record.Family);
    e.Port = record.Port;
    e.Id = record.Id;
    e.Value = record.Value;
    e.Units = low8(record.Units);
    e.Min = record.Min;
    e.Max = record.Max;
    e.Hyst = record.Hyst;
    e.Calib = record.Calib;
    e.Mode = low8(record.Mode);
    e.Counter = record.Counter;
    e.SensType = low8(record.SensType);
    e.Alarm = low8(record.Alarm);
    e.State = low8(record.State);
    e.XmlVer = low8(record.XmlVer);
    e.Time = record.Time;
    return e;
}

void TXmlSensorStr::FromEnum(const TXmlSensorEnum &item) {
    const uint8_t type = item.SensType;
    DevName = item.DevName;
    Family = FamilyText(item.Family);
    MAC = item.MAC;
    IP = item.IP;
    Port = item.Port;
    Id = IdText(item.Id, type);
    Name = item.Name;
    Value = ValueText(item.Value, type);
    Units = UnitsText(item.Units);
    Min = LimitText(item.Min, type);
    Max = LimitText(item.Max, type);
    Hyst = AnalogOnlyText(item.Hyst, type);
    Calib = AnalogOnlyText(item.Calib, type);
    Mode = ModeText(item.Mode);
    Counter = CounterText(item.Counter, item.Family, type);
    SensType = SensTypeText(type);
    Alarm = AlarmText(item.Alarm, item.Family);
    State = StateText(item.State);
    Time = TimeText(item.Time);
}

std::string TXmlSensorStr::Field(int field) const {
    switch (field) {
    case XMLE2S_FAMILY: return Family;
    case XMLE2S_ID: return Id;
    case XMLE2S_VALUE: return Value;
    case XMLE2S_MIN: return Min;
    case XMLE2S_MAX: return Max;
    case XMLE2S_HYST: return Hyst;
    case XMLE2S_SENSTYPE: return SensType;
    case XMLE2S_ALARM: return Alarm;
    case XMLE2S_STATE: return State;
    case XMLE2S_MODE: return Mode;
    case XMLE2S_TIME: return Time;
    case XMLE2S_UNITS: return Units;
    case XMLE2S_COUNTER: return Counter;
    case XMLE2S_CALIB: return Calib;
    default: return std::string();
    }
}

std::string XmlSensorEnumToStr(const TXmlSensorEnum &sensor, int field) {
    TXmlSensorStr texts;
    texts.FromEnum(sensor);
    return texts.Field(field);
}

std::string XmlSensorEnumToStr(const TXmlSensorRecord &sensor, int field) {
    return XmlSensorEnumToStr(FromSensorRecord(sensor), field);
}

}  // namespace zxapi
