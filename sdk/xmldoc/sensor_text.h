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

// TXmlSensorStr and XmlSensorEnumToStr of an item are public (kalax/zxapi_sensor.h).

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

// Text of one field of an automation record (its codes read from their low 8
// bits), chosen by an XmlSensorEnumToStrT selector; empty for any other selector.
std::string XmlSensorEnumToStr(const TXmlSensorRecord &sensor, int field);

}  // namespace zxapi
