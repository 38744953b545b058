// Display texts of a per-sensor item, for scripting hosts that show them to people.
//
// Texts are single-byte: the degree sign of "°C" and "°F" is byte 0xB0 of the
// Windows-1252 code page, which the automation surface passes through its
// system code page. Numbers use "." as the decimal point whatever the locale.
#pragma once

#include <cstdint>
#include <string>

#include "sdk/xmldoc/sensor.h"

namespace zxapi {

// Field selectors of XmlSensorEnumToStr.
enum XmlSensorEnumToStrT : int32_t {
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

// The automation record's numeric fields (64 bytes, every code widened to 32
// bits), in the order the automation layer copies them. Scripts may hand in any
// values: codes are read from their low 8 bits.
struct TXmlSensorRecord {
    int32_t Family = 0;
    int32_t Port = 0;
    int32_t Id = 0;
    float Value = 0.0f;
    int32_t Units = 0;
    float Min = 0.0f;
    float Max = 0.0f;
    float Hyst = 0.0f;
    int32_t Counter = 0;
    int32_t SensType = 0;
    int32_t Alarm = 0;
    int32_t State = 0;
    int32_t Time = 0;
    int32_t XmlVer = 0;
    int32_t Mode = 0;
    float Calib = 0.0f;
};
static_assert(sizeof(TXmlSensorRecord) == 64, "automation sensor record is 64 bytes");

// Item -> automation record (codes widened) and back (texts empty, codes narrowed
// to their low 8 bits).
TXmlSensorRecord ToSensorRecord(const TXmlSensorEnum &item);
TXmlSensorEnum FromSensorRecord(const TXmlSensorRecord &record);

struct TXmlSensorStr {
    std::string DevName;
    std::string Family;
    std::string MAC;
    std::string IP;
    int32_t Port = 0;
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
    std::string Time;

    // Fills every field from `item`.
    void FromEnum(const TXmlSensorEnum &item);
    // The text a selector names; empty for a selector outside 0-13.
    std::string Field(int field) const;
};

// Text of one field of an item, chosen by an XmlSensorEnumToStrT selector; empty
// for any other selector.
std::string XmlSensorEnumToStr(const TXmlSensorEnum &sensor, int field);
std::string XmlSensorEnumToStr(const TXmlSensorRecord &sensor, int field);

}  // namespace zxapi
