// Per-sensor items of a unit's values or setup document, and their display texts.
//
// The object layer shows one flat list of items per document: the unit's binary
// inputs first, then its analog sensors, then its binary outputs, each decoded
// into a TXmlSensorEnum of numbers and codes. TXmlSensorStr renders an item's
// fields as the texts a person reads. Included by zxapi.h.
#ifndef KALAX_ZXAPI_SENSOR_H
#define KALAX_ZXAPI_SENSOR_H

#include <cstdint>
#include <string>

#ifndef ZXAPI_CLASS
#if defined(KALAX_BUILDING) && !defined(_WIN32)
#define ZXAPI_CLASS __attribute__((visibility("default")))
#else
#define ZXAPI_CLASS
#endif
#endif

namespace zxapi {

// ---- codes --------------------------------------------------------------------
enum XmlFamilyT : std::int32_t {
    FAMILY_KALYX = 0,
    FAMILY_VARNO = 1,
    FAMILY_UNKNOWN = 2,
};
// The Ostra family has no enumerator; items carry the bare code.
inline constexpr std::uint8_t kFamilyOstra = 3;

// Dialect of the unit's documents (from Agent_XmlVer).
enum XmlVersionT : std::int32_t {
    XMLVER_20 = 0,
    XMLVER_220 = 1,
    XMLVER_234 = 2,
    XMLVER_UNKNOWN = 3,
};
// Dialects without an enumerator; items carry the bare codes.
inline constexpr std::uint8_t kXmlVer100 = 4;
inline constexpr std::uint8_t kXmlVer235 = 5;
inline constexpr std::uint8_t kXmlVer236 = 6;

enum XmlSensorUnitsT : std::int32_t {
    UNITS_CELSIUS = 0,
    UNITS_FAHRENHEIT = 1,
    UNITS_KELVIN = 2,
    UNITS_HUMIDITY = 3,
    UNITS_VOLTAGE = 4,
    UNITS_CURRENT = 5,
    UNITS_SWITCH = 6,
    UNITS_PULSES = 7,
    UNITS_UNKNOWN = 8,
    UNITS_DEWPOINT = 9,
    UNITS_KPASCAL = 10,
};

enum XmlSensorTypeT : std::int32_t {
    TYPE_ANALOG_SENSOR_INPUT = 0,
    TYPE_ANALOG_SENSOR_OUTPUT = 1,
    TYPE_BINARY_INPUT = 2,
    TYPE_BINARY_INPUT_COUNTER = 3,
    TYPE_RELAY_OUTPUT = 4,
    TYPE_RTS_OUTPUT = 5,
    TYPE_DTR_OUTPUT = 6,
    TYPE_BINARY_OUTPUT = 7,
    TYPE_UNKNOWN = 8,
};

enum XmlSensorAlarmT : std::int32_t {
    ALARM_INACTIVE = 0,
    ALARM_ACTIVE_IF_ON = 1,
    ALARM_ACTIVE_IF_OFF = 2,
    ALARM_SNMP_TRAP_ONLY = 3,
    ALARM_EMAIL_AND_SMS = 4,
    ALARM_ALL = 5,
    ALARM_UNKNOWN = 6,
};

enum XmlSensorStateT : std::int32_t {
    STATE_NORMAL = 0,
    STATE_OUT_OF_RANGE = 1,
    STATE_ALARM_ACTIVE = 2,
    STATE_SENSOR_INVALID = 3,
    STATE_DEVICE_INVALID = 4,
    STATE_UNKNOWN_ = 5,
};

enum XmlSensorModeT : std::int32_t {
    MODE_MANUAL_CONTROL = 0,
    MODE_ANY_ALARM = 1,
    MODE_EQUAL_TRIGGER = 2,
    MODE_HIGHER_TRIGGER = 3,
    MODE_LOWER_TRIGGER = 4,
    MODE_UNKNOWN = 5,
};

// Field selectors of XmlSensorEnumToStr.
enum XmlSensorEnumToStrT : std::int32_t {
    XMLE2S_FAMILY = 0,
    XMLE2S_ID = 1,
    XMLE2S_VALUE = 2,
    XMLE2S_MIN = 3,
    XMLE2S_MAX = 4,
    XMLE2S_HYST = 5,
    XMLE2S_SENSTYPE = 6,
    XMLE2S_ALARM = 7,
    XMLE2S_STATE = 8,
    XMLE2S_MODE = 9,
    XMLE2S_TIME = 10,
    XMLE2S_UNITS = 11,
    XMLE2S_COUNTER = 12,
    XMLE2S_CALIB = 13,
};

// A limit or threshold that does not apply (and a binary input without alarm).
inline constexpr float kNoValue = -999.9f;

// ---- one item -------------------------------------------------------------------
// Codes are the enumerations above, held in 8 bits.
struct TXmlSensorEnum {
    std::string DevName;  // the unit's Agent_DeviceName
    std::uint8_t Family = FAMILY_UNKNOWN;
    std::string MAC;
    std::string IP;  // the unit's dotted address as the client module holds it
    std::int32_t Port = 0;
    std::int32_t Id = 0;
    std::string Name;  // UTF-8 as the unit sends it
    float Value = 0.0f;
    std::uint8_t Units = UNITS_UNKNOWN;
    float Min = 0.0f;
    float Max = 0.0f;
    float Hyst = 0.0f;
    float Calib = 0.0f;
    std::uint8_t Mode = MODE_UNKNOWN;
    std::int32_t Counter = 0;
    std::uint8_t SensType = TYPE_UNKNOWN;
    std::uint8_t Alarm = ALARM_UNKNOWN;
    std::uint8_t State = STATE_UNKNOWN_;
    std::uint8_t XmlVer = XMLVER_UNKNOWN;
    std::int32_t Time = 0;  // seconds since 1970 when the record was read
};

// The display texts of one item. Texts are single-byte: the degree sign of
// "°C" and "°F" is byte 0xB0 (Windows-1252). Numbers use "." as the decimal
// point whatever the locale; "-" marks a field that does not apply.
struct ZXAPI_CLASS TXmlSensorStr {
    std::string DevName;
    std::string Family;
    std::string MAC;
    std::string IP;
    std::int32_t Port = 0;
    std::string Id;
    std::string Name;
    std::string Value;
    std::string Units;
    std::string Min;
    std::string Max;
    std::string Hyst;
    std::string Calib;
    std::string Mode;
    std::string Counter;
    std::string SensType;
    std::string Alarm;
    std::string State;
    std::string Time;  // local time of day, "hh:mm:ss"

    // Fills every field from `item`.
    void FromEnum(const TXmlSensorEnum &item);
    // The text an XmlSensorEnumToStrT selector names; empty for any other.
    std::string Field(int field) const;
};

// Text of one field of `sensor`, chosen by an XmlSensorEnumToStrT selector;
// empty for any other selector.
ZXAPI_CLASS std::string XmlSensorEnumToStr(const TXmlSensorEnum &sensor, int field);

// ---- the items of an open module of the XML client (zxxml.h) -----------------------
// They read the client's cached record, which the module's next request of the
// same kind rewrites: call them while no such request runs.

// Number of items of the module's cached values record (setup false) or setup
// record (setup true); -1 when the client has no such record for the module
// (its code is then in the module's error record).
ZXAPI_CLASS int CountXmlItems(int module, bool setup);
// Fills `item` for list position `i` of the same record: 0; -1 when the client
// has no such record; -3 when `i` is not a position (the unit-wide fields of
// `item` are filled all the same).
ZXAPI_CLASS int GetXmlItem(int module, bool setup, int i, TXmlSensorEnum &item);

}  // namespace zxapi

#endif
