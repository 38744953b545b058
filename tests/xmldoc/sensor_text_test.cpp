// Display texts of items: every table row that depends on a condition.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

#include "sdk/xmldoc/sensor_text.h"

using namespace zxapi;

namespace {

TXmlSensorEnum Item(uint8_t type, uint8_t family = FAMILY_KALYX) {
    TXmlSensorEnum e;
    e.SensType = type;
    e.Family = family;
    return e;
}

TXmlSensorStr Texts(const TXmlSensorEnum &e) {
    TXmlSensorStr s;
    s.FromEnum(e);
    return s;
}

std::string PrintfOneDecimal(float v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(v));
    return buffer;
}

TEST(SensorText, Family) {
    const std::pair<int, const char *> rows[] = {
        {0, "Kalyx family"}, {1, "Varno family"}, {2, "-"}, {3, "Ostra family"}, {4, "-"}, {255, "-"}};
    for (const auto &[code, text] : rows) {
        TXmlSensorEnum e;
        e.Family = static_cast<uint8_t>(code);
        EXPECT_EQ(Texts(e).Family, text) << code;
    }
}

TEST(SensorText, IdOnlyForKnownTypes) {
    for (int type = 0; type < 256; ++type) {
        TXmlSensorEnum e = Item(static_cast<uint8_t>(type));
        e.Id = -151;
        EXPECT_EQ(Texts(e).Id, type <= 7 ? "-151" : "-") << type;
    }
}

TEST(SensorText, AnalogValueHidesNoReading) {
    struct Row {
        float value;
        const char *text;
    };
    const Row rows[] = {{21.26f, "21.3"},  {0.0f, "0.0"},      {-0.04f, "-0.0"},  {-988.9f, "-988.9"},
                        {-989.0f, "-"},    {-999.9f, "-"},     {-1000.0f, "-"},   {123456.0f, "123456.0"},
                        {-988.95f, "-989.0"}};  // just above the threshold, rounded to it
    for (uint8_t type : {TYPE_ANALOG_SENSOR_INPUT, TYPE_ANALOG_SENSOR_OUTPUT}) {
        for (const Row &r : rows) {
            TXmlSensorEnum e = Item(type);
            e.Value = r.value;
            EXPECT_EQ(Texts(e).Value, r.text) << r.value;
        }
    }
}

TEST(SensorText, OneDecimalRoundsLikePrintf) {
    // Ties in the binary value included: the text must be printf's, not a
    // hand-rolled rounding.
    const float values[] = {21.25f, 0.25f, 0.35f, -0.05f, 2.5f, 1e10f, 3.4e38f, -21.25f, 0.15f, 999.95f};
    for (float v : values) {
        TXmlSensorEnum e = Item(TYPE_ANALOG_SENSOR_INPUT);
        e.Value = v;
        e.Min = v;
        e.Hyst = v;
        const TXmlSensorStr s = Texts(e);
        EXPECT_EQ(s.Value, PrintfOneDecimal(v)) << v;
        EXPECT_EQ(s.Min, PrintfOneDecimal(v)) << v;
        EXPECT_EQ(s.Hyst, PrintfOneDecimal(v)) << v;
    }
}

TEST(SensorText, SwitchValues) {
    struct Row {
        float value;
        const char *text;
    };
    const Row rows[] = {{0.0f, "Off"}, {-0.0f, "Off"}, {1.0f, "On"},   {2.0f, "Off any alarm"}, {3.0f, "On any alarm"},
                        {4.0f, "-"},   {0.5f, "-"},    {-1.0f, "-"},   {-999.9f, "-"}};
    for (int type = 2; type <= 7; ++type) {
        for (const Row &r : rows) {
            TXmlSensorEnum e = Item(static_cast<uint8_t>(type));
            e.Value = r.value;
            EXPECT_EQ(Texts(e).Value, r.text) << "type " << type << " value " << r.value;
        }
    }
    for (int type : {8, 9, 255}) {
        TXmlSensorEnum e = Item(static_cast<uint8_t>(type));
        e.Value = 1.0f;
        EXPECT_EQ(Texts(e).Value, "-") << type;
    }
}

TEST(SensorText, LimitsPerType) {
    struct Row {
        uint8_t type;
        float value;
        const char *text;
    };
    const Row rows[] = {
        {TYPE_ANALOG_SENSOR_INPUT, -999.9f, "-999.9"},  // thresholds are shown as they are
        {TYPE_ANALOG_SENSOR_OUTPUT, 35.5f, "35.5"},
        {TYPE_BINARY_INPUT, 0.0f, "Off"},
        {TYPE_BINARY_INPUT, 1.0f, "On"},
        {TYPE_BINARY_INPUT, 0.5f, "On"},
        {TYPE_BINARY_INPUT, -999.9f, "-"},
        {TYPE_BINARY_INPUT, -999.0f, "-"},
        {TYPE_BINARY_INPUT, -998.9f, "On"},
        {TYPE_BINARY_INPUT_COUNTER, -999.0f, "-"},
        {TYPE_BINARY_INPUT_COUNTER, 0.0f, "Off"},
        {TYPE_RELAY_OUTPUT, 0.0f, "-"},
        {TYPE_BINARY_OUTPUT, 1.0f, "-"},
        {TYPE_UNKNOWN, 1.0f, "-"},
    };
    for (const Row &r : rows) {
        TXmlSensorEnum e = Item(r.type);
        e.Min = r.value;
        e.Max = r.value;
        const TXmlSensorStr s = Texts(e);
        EXPECT_EQ(s.Min, r.text) << int{r.type} << " " << r.value;
        EXPECT_EQ(s.Max, r.text) << int{r.type} << " " << r.value;
    }
    // Each limit is rendered from its own value.
    TXmlSensorEnum e = Item(TYPE_BINARY_INPUT);
    e.Min = 0.0f;
    e.Max = -999.9f;
    EXPECT_EQ(Texts(e).Min, "Off");
    EXPECT_EQ(Texts(e).Max, "-");
}

TEST(SensorText, HystAndCalibOnlyForAnalog) {
    for (int type = 0; type <= 9; ++type) {
        TXmlSensorEnum e = Item(static_cast<uint8_t>(type));
        e.Hyst = 1.5f;
        e.Calib = -0.25f;
        const TXmlSensorStr s = Texts(e);
        EXPECT_EQ(s.Hyst, type <= 1 ? "1.5" : "-") << type;
        EXPECT_EQ(s.Calib, type <= 1 ? PrintfOneDecimal(-0.25f) : "-") << type;
    }
}

TEST(SensorText, CounterOnlyForVarnoInputs) {
    struct Row {
        uint8_t family, type;
        const char *text;
    };
    const Row rows[] = {{FAMILY_VARNO, TYPE_BINARY_INPUT, "17"},       {FAMILY_VARNO, TYPE_BINARY_INPUT_COUNTER, "17"},
                        {FAMILY_KALYX, TYPE_BINARY_INPUT, "-"},        {kFamilyOstra, TYPE_BINARY_INPUT_COUNTER, "-"},
                        {FAMILY_UNKNOWN, TYPE_BINARY_INPUT, "-"},      {FAMILY_VARNO, TYPE_ANALOG_SENSOR_INPUT, "-"},
                        {FAMILY_VARNO, TYPE_RELAY_OUTPUT, "-"}};
    for (const Row &r : rows) {
        TXmlSensorEnum e = Item(r.type, r.family);
        e.Counter = 17;
        EXPECT_EQ(Texts(e).Counter, r.text) << int{r.family} << " " << int{r.type};
    }
}

TEST(SensorText, CodeTables) {
    struct Row {
        int code;
        const char *units, *type, *state, *mode;
    };
    const Row rows[] = {
        {0, "\xB0" "C", "Analog sensor input", "Normal", "Manual output control"},
        {1, "\xB0" "F", "Analog sensor output", "Out of range", "On if any alarm"},
        {2, "K", "Binary input", "Alarm active", "On if value equal to Trigger"},
        {3, "%RH", "Binary input with counter", "Sensor invalid", "On if value higher to Triggerl"},
        {4, "V", "Realy output", "Device invalid", "On if value lower to Trigger"},
        {5, "mA", "RTS output", "-", "-"},
        {6, "Switch", "DTR output", "-", "-"},
        {7, "Pulses", "Binary output", "-", "-"},
        {8, "-", "-", "-", "-"},
        {9, "DP C", "-", "-", "-"},
        {10, "kPa", "-", "-", "-"},
        {11, "-", "-", "-", "-"},
        {255, "-", "-", "-", "-"},
    };
    for (const Row &r : rows) {
        TXmlSensorEnum e;
        const auto code = static_cast<uint8_t>(r.code);
        e.Units = code;
        e.SensType = code;
        e.State = code;
        e.Mode = code;
        const TXmlSensorStr s = Texts(e);
        EXPECT_EQ(s.Units, r.units) << r.code;
        EXPECT_EQ(s.SensType, r.type) << r.code;
        EXPECT_EQ(s.State, r.state) << r.code;
        EXPECT_EQ(s.Mode, r.mode) << r.code;
    }
    EXPECT_EQ(Texts(TXmlSensorEnum{}).Units.size(), 1u);  // Units 8 by default: "-"
    TXmlSensorEnum e;
    e.Units = UNITS_CELSIUS;
    EXPECT_EQ(Texts(e).Units, std::string({'\xB0', 'C'}));  // one byte for the degree sign
}

TEST(SensorText, AlarmDependsOnFamilyForMail) {
    struct Row {
        int alarm, family;
        const char *text;
    };
    const Row rows[] = {{0, 0, "Inactive"},      {1, 0, "Active if On"},   {2, 1, "Active if Off"},
                        {3, 3, "SNMP trap"},     {4, 3, "Email"},          {4, 0, "Email and SMS"},
                        {4, 1, "Email and SMS"}, {4, 2, "Email and SMS"},  {4, 255, "Email and SMS"},
                        {5, 3, "SNMP trap, e-mail and SMS"},               {6, 0, "-"},
                        {200, 3, "-"}};
    for (const Row &r : rows) {
        TXmlSensorEnum e;
        e.Alarm = static_cast<uint8_t>(r.alarm);
        e.Family = static_cast<uint8_t>(r.family);
        EXPECT_EQ(Texts(e).Alarm, r.text) << r.alarm << " family " << r.family;
    }
}

class SensorTimeText : public ::testing::Test {
protected:
    // Each test runs in a process of its own, so changing the zone is harmless.
    static void Zone(const char *tz) {
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    static std::string TimeOf(int32_t t) {
        TXmlSensorEnum e;
        e.Time = t;
        return Texts(e).Time;
    }
};

TEST_F(SensorTimeText, LocalClockWithoutDate) {
    Zone("UTC0");
    EXPECT_EQ(TimeOf(0), "00:00:00");
    EXPECT_EQ(TimeOf(86399), "23:59:59");
    EXPECT_EQ(TimeOf(1700000000), "22:13:20");
    EXPECT_EQ(TimeOf(-1), "23:59:59");
    Zone("XXX-1");  // one hour east of UTC
    EXPECT_EQ(TimeOf(0), "01:00:00");
    Zone("XXX+5:30");
    EXPECT_EQ(TimeOf(0), "18:30:00");
}

// ---- XmlSensorEnumToStr -----------------------------------------------------------

TEST(SensorEnumToStr, SelectorsPickTheirField) {
    TXmlSensorEnum e = Item(TYPE_ANALOG_SENSOR_INPUT, kFamilyOstra);
    e.Id = 12;
    e.Value = 21.5f;
    e.Min = -5.0f;
    e.Max = 40.0f;
    e.Hyst = 0.5f;
    e.Alarm = ALARM_EMAIL_AND_SMS;
    e.State = STATE_OUT_OF_RANGE;
    e.Mode = MODE_UNKNOWN;
    e.Units = UNITS_KPASCAL;
    e.Counter = 3;
    e.Calib = 1.5f;
    e.Time = 3600;
    setenv("TZ", "UTC0", 1);
    tzset();
    const std::pair<int, const char *> rows[] = {
        {XMLE2S_FAMILY, "Ostra family"}, {XMLE2S_ID, "12"},    {XMLE2S_VALUE, "21.5"},   {XMLE2S_MIN, "-5.0"},
        {XMLE2S_MAX, "40.0"},            {XMLE2S_HYST, "0.5"}, {XMLE2S_SENSTYPE, "Analog sensor input"},
        {XMLE2S_ALARM, "Email"},         {XMLE2S_STATE, "Out of range"}, {XMLE2S_MODE, "-"},
        {XMLE2S_TIME, "01:00:00"},       {XMLE2S_UNITS, "kPa"}, {XMLE2S_COUNTER, "-"},  {XMLE2S_CALIB, "1.5"},
        {14, ""},                        {-1, ""},             {1000, ""}};
    const TXmlSensorRecord record = ToSensorRecord(e);
    for (const auto &[field, text] : rows) {
        EXPECT_EQ(XmlSensorEnumToStr(e, field), text) << field;
        EXPECT_EQ(XmlSensorEnumToStr(record, field), text) << field;
    }
}

TEST(SensorEnumToStr, RecordCodesAreReadFromTheirLow8Bits) {
    TXmlSensorRecord r;
    r.SensType = 258;  // 2: binary input
    r.Family = 0x101;  // 1: Varno
    r.Units = -256;    // 0: Celsius
    r.Alarm = 0x7FFFFF04;
    r.State = 0x303;
    r.Mode = 0x1001;
    r.Counter = 17;
    r.Value = 1.0f;
    EXPECT_EQ(XmlSensorEnumToStr(r, XMLE2S_SENSTYPE), "Binary input");
    EXPECT_EQ(XmlSensorEnumToStr(r, XMLE2S_FAMILY), "Varno family");
    EXPECT_EQ(XmlSensorEnumToStr(r, XMLE2S_UNITS), "\xB0" "C");
    EXPECT_EQ(XmlSensorEnumToStr(r, XMLE2S_ALARM), "Email and SMS");
    EXPECT_EQ(XmlSensorEnumToStr(r, XMLE2S_STATE), "Sensor invalid");
    EXPECT_EQ(XmlSensorEnumToStr(r, XMLE2S_MODE), "On if any alarm");
    EXPECT_EQ(XmlSensorEnumToStr(r, XMLE2S_COUNTER), "17");  // family and type both narrowed first
    EXPECT_EQ(XmlSensorEnumToStr(r, XMLE2S_VALUE), "On");

    const TXmlSensorEnum e = FromSensorRecord(r);
    EXPECT_EQ(e.SensType, 2);
    EXPECT_EQ(e.Family, 1);
    EXPECT_TRUE(e.Name.empty());
    EXPECT_TRUE(e.DevName.empty());
}

}  // namespace
