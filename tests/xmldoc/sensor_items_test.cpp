// Items decoded from values and setup records filled field by field.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "sdk/xmldoc/sensor.h"
#include "sensor_fixture.h"

using namespace zxapi;
using sensor_test::Fill;
using sensor_test::Put;
using sensor_test::SetupDoc;
using sensor_test::ValuesDoc;

namespace {

// Most rules read the same fields from both records: run them over both.
template <class D>
class SensorItems : public ::testing::Test {};
using DocKinds = ::testing::Types<ValuesDoc, SetupDoc>;
TYPED_TEST_SUITE(SensorItems, DocKinds);

template <class D>
TXmlSensorEnum ItemAt(const D &d, int i, int expected_rc = 0) {
    TXmlSensorEnum item;
    EXPECT_EQ(sensor_test::Buffer(d).GetItem(i, item), expected_rc) << "position " << i;
    return item;
}

// 2 inputs, 3 sensors, 1 output, each named after its list and slot.
template <class D>
void FillSmallUnit(D &d) {
    d.Unit("21", "2.34");
    for (int n = 0; n < 2; ++n) Put(d.rec->BinaryInSet_Entry_Name[d.AddInput()], "in" + std::to_string(n));
    for (int n = 0; n < 3; ++n) {
        const int j = d.AddSensor();
        Put(d.rec->SenSet_Entry_Name[j], "sen" + std::to_string(n));
        Put(d.rec->SenSet_Entry_ID[j], std::to_string(101 + n));
        Put(d.rec->SenSet_Entry_Units[j], "C");
    }
    Put(d.rec->BinaryOutSet_Entry_Name[d.AddOutput()], "out0");
}

TYPED_TEST(SensorItems, PositionsRunInputsThenSensorsThenOutputs) {
    TypeParam d;
    FillSmallUnit(d);
    const auto xml = sensor_test::Buffer(d, "10.0.0.7", 8080);
    EXPECT_EQ(xml.GetCount(), 6);

    const std::vector<std::pair<std::string, int32_t>> expected = {
        {"in0", 1}, {"in1", 2}, {"sen0", 101}, {"sen1", 102}, {"sen2", 103}, {"out0", 151}};
    for (int i = 0; i < 6; ++i) {
        TXmlSensorEnum item;
        ASSERT_EQ(xml.GetItem(i, item), 0) << i;
        EXPECT_EQ(item.Name, expected[static_cast<size_t>(i)].first);
        EXPECT_EQ(item.Id, expected[static_cast<size_t>(i)].second);
    }
}

TYPED_TEST(SensorItems, PositionOutsideListStillFillsUnitWideFields) {
    TypeParam d;
    FillSmallUnit(d);
    const auto xml = sensor_test::Buffer(d, "10.0.0.7", 8080);
    // Negative positions are taken as unsigned, so they are simply far out.
    for (int i : {6, 7, 170, -1, INT_MIN, INT_MAX}) {
        TXmlSensorEnum item;
        item.Name = "untouched";
        ASSERT_EQ(xml.GetItem(i, item), -2) << i;
        EXPECT_EQ(item.Name, "untouched");
        EXPECT_EQ(item.DevName, "Cellar");
        EXPECT_EQ(item.MAC, "00:0A:59:01:02:03");
        EXPECT_EQ(item.IP, "10.0.0.7");
        EXPECT_EQ(item.Port, 8080);
        EXPECT_EQ(item.Family, FAMILY_KALYX);
        EXPECT_EQ(item.XmlVer, XMLVER_234);
        EXPECT_EQ(item.Time, 1700000000);
    }
}

TYPED_TEST(SensorItems, EmptyListsAreSkippedAtTheirEdges) {
    TypeParam d;
    d.Unit("21", "2.34");
    Put(d.rec->BinaryOutSet_Entry_Name[d.AddOutput()], "only output");
    EXPECT_EQ(sensor_test::Buffer(d).GetCount(), 1);
    EXPECT_EQ(ItemAt(d, 0).Id, 151);
    ItemAt(d, 1, -2);
}

TYPED_TEST(SensorItems, HostileCountsAreClampedToCapacity) {
    TypeParam d;
    d.Unit("21", "2.34");
    d.cnt->BinaryInSet = 1000;
    d.cnt->SenSet = -5;
    d.cnt->BinaryOutSet = INT_MAX;
    Put(d.rec->BinaryOutSet_Entry_Name[63], "last output");
    const auto xml = sensor_test::Buffer(d);
    EXPECT_EQ(xml.GetCount(), 64 + 0 + 64);
    EXPECT_EQ(ItemAt(d, 63).Id, 64);
    const TXmlSensorEnum last = ItemAt(d, 127);
    EXPECT_EQ(last.Id, 63 + 151);
    EXPECT_EQ(last.Name, "last output");
    ItemAt(d, 128, -2);

    d.cnt->BinaryInSet = INT_MIN;
    d.cnt->SenSet = 43;
    d.cnt->BinaryOutSet = 0;
    EXPECT_EQ(sensor_test::Buffer(d).GetCount(), 42);
    ItemAt(d, 41);
    ItemAt(d, 42, -2);
}

TYPED_TEST(SensorItems, UnterminatedTextsAreReadToTheirWidthOnly) {
    TypeParam d;
    d.Unit("21", "2.34");
    Fill(d.rec->Agent_DeviceName, 'D');
    Fill(d.rec->Agent_MAC, 'M');
    Fill(d.rec->BinaryInSet_Entry_Name[d.AddInput()], 'N');
    Fill(d.rec->BinaryInSet_Entry_Value[0], '7');
    const TXmlSensorEnum item = ItemAt(d, 0);
    EXPECT_EQ(item.DevName, std::string(52, 'D'));
    EXPECT_EQ(item.MAC, std::string(20, 'M'));
    EXPECT_EQ(item.Name, std::string(52, 'N'));
    EXPECT_EQ(item.Value, 77777777.0f);
}

TYPED_TEST(SensorItems, SlotsRejectPositionsOutsideTheirOwnList) {
    TypeParam d;
    FillSmallUnit(d);
    const auto xml = sensor_test::Buffer(d);
    TXmlSensorEnum item;
    EXPECT_EQ(xml.GetBinaryInput(2, item), -2);
    EXPECT_EQ(xml.GetBinaryInput(-1, item), -2);
    EXPECT_EQ(xml.GetAnalogSensor(3, item), -2);
    EXPECT_EQ(xml.GetBinaryOutput(1, item), -2);
    EXPECT_EQ(xml.GetBinaryOutput(0, item), 0);
}

TEST(SensorItemsNull, MissingRecordReadsAsEmptyDocument) {
    const TValuesXml<TValuesXmlBuffer> xml(MakeValuesBuffer(nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(xml.GetCount(), 0);
    TXmlSensorEnum item;
    EXPECT_EQ(xml.GetItem(0, item), -2);
    EXPECT_EQ(item.Family, FAMILY_UNKNOWN);
    EXPECT_EQ(item.XmlVer, XMLVER_UNKNOWN);
    EXPECT_EQ(item.IP, "");

    ValuesDoc d;
    d.Unit("21", "2.34");
    d.AddInput();
    const TValuesXml<TValuesXmlBuffer> no_counts(MakeValuesBuffer(d.rec.get(), nullptr, "1.2.3.4", 80));
    EXPECT_EQ(no_counts.GetCount(), 0);
}

TEST(SensorItemsNull, AddressIsCutToFifteenCharacters) {
    ValuesDoc d;
    d.Unit("21", "2.34");
    const TValuesXml<TValuesXmlBuffer> xml(MakeValuesBuffer(d.rec.get(), d.cnt.get(), "255.255.255.255.255", 80));
    TXmlSensorEnum item;
    xml.GetCommon(item);
    EXPECT_EQ(item.IP, "255.255.255.255");
}

// ---- unit-wide codes ---------------------------------------------------------------

TEST(SensorDecode, FamilyOfEveryModelNumber) {
    const std::vector<int> kalyx = {3, 4, 6, 10, 11, 12, 13, 14, 21, 22, 23, 24, 25, 26, 34, 36};
    const std::vector<int> varno = {2, 15, 16, 17, 40};
    for (int model = -5; model <= 100; ++model) {
        uint8_t expected = FAMILY_UNKNOWN;
        if (std::find(kalyx.begin(), kalyx.end(), model) != kalyx.end()) expected = FAMILY_KALYX;
        if (std::find(varno.begin(), varno.end(), model) != varno.end()) expected = FAMILY_VARNO;
        if (model == 33) expected = kFamilyOstra;
        EXPECT_EQ(decode::FamilyOfModel(model), expected) << model;
    }
}

TEST(SensorDecode, ModelTextIsReadAsLeadingInteger) {
    struct Row {
        const char *model;
        uint8_t family;
    };
    const Row rows[] = {
        {"21", FAMILY_KALYX},       {" \t21", FAMILY_KALYX},   {"+21", FAMILY_KALYX},
        {"21b", FAMILY_KALYX},      {"033", kFamilyOstra},     {"2.9", FAMILY_VARNO},
        {"-2", FAMILY_UNKNOWN},     {"x21", FAMILY_UNKNOWN},   {"", FAMILY_UNKNOWN},
        {"0000033", kFamilyOstra},  {"1e1", FAMILY_UNKNOWN},
    };
    for (const Row &r : rows) {
        ValuesDoc d;
        d.Unit(r.model, "2.34");
        EXPECT_EQ(sensor_test::Buffer(d).GetFamily(), r.family) << '"' << r.model << '"';
    }
}

TEST(SensorDecode, DialectCodeComparesTheTextExactly) {
    struct Row {
        const char *text;
        uint8_t code;
    };
    const Row rows[] = {{"2.0", XMLVER_20},   {"2.20", XMLVER_220},  {"2.34", XMLVER_234}, {"2.35", kXmlVer235},
                        {"2.36", kXmlVer236}, {"1.00", kXmlVer100},  {"3.0", XMLVER_UNKNOWN},
                        {"2.00", XMLVER_UNKNOWN}, {" 2.0", XMLVER_UNKNOWN}, {"2.34 ", XMLVER_UNKNOWN},
                        {"", XMLVER_UNKNOWN}};
    for (const Row &r : rows) {
        SetupDoc d;
        d.Unit("21", r.text);
        EXPECT_EQ(sensor_test::Buffer(d).GetXmlVer(), r.code) << '"' << r.text << '"';
    }
}

TEST(SensorDecode, IntegerReadsLikeAtolWithoutOverflow) {
    struct Row {
        const char *text;
        int32_t value;
    };
    const Row rows[] = {{"0", 0},           {"17", 17},          {"  \t\n\v\f\r42", 42},    {"+5", 5},
                        {"-5", -5},         {"12abc", 12},       {"3.9", 3},                {"", 0},
                        {"abc", 0},         {"- 5", 0},          {"+-5", 0},                {"--5", 0},
                        {"2147483647", INT_MAX},                  {"-2147483648", INT_MIN},
                        {"2147483648", INT_MAX},                  {"-2147483649", INT_MIN},
                        {"99999999999999999999999", INT_MAX},      {"-99999999999999999999999", INT_MIN}};
    for (const Row &r : rows) EXPECT_EQ(decode::Integer(r.text), r.value) << '"' << r.text << '"';
}

TEST(SensorDecode, DecimalReadsLeadingNumberWithPointAsDecimalSeparator) {
    struct Row {
        const char *text;
        float value;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Row rows[] = {{"21.25", 21.25f}, {" -5.5", -5.5f},  {"+3", 3.0f},      {".5", 0.5f},    {"5.", 5.0f},
                        {"1e3", 1000.0f},  {"2.5E-1", 0.25f}, {"1,5", 1.0f},     {"12.3C", 12.3f}, {"", 0.0f},
                        {"abc", 0.0f},     {"-", 0.0f},       {"+-1", 0.0f},     {"- 1", 0.0f},   {"-999.9", -999.9f},
                        {"1e999", inf},    {"-1e999", -inf},  {"1e-999", 0.0f},  {"1e39", inf},   {"inf", inf}};
    for (const Row &r : rows) EXPECT_EQ(decode::Decimal(r.text), r.value) << '"' << r.text << '"';
    EXPECT_TRUE(std::isnan(decode::Decimal("nan")));
}

TEST(SensorDecode, UnitsTexts) {
    struct Row {
        const char *text;
        uint8_t code;
    };
    const Row rows[] = {{"C", UNITS_CELSIUS},  {"%RH", UNITS_HUMIDITY},  {"V", UNITS_VOLTAGE},
                        {"mA", UNITS_CURRENT}, {"s", UNITS_SWITCH},      {"DP C", UNITS_DEWPOINT},
                        {"kPa", UNITS_KPASCAL}, {"F", UNITS_UNKNOWN},    {"K", UNITS_UNKNOWN},
                        {"c", UNITS_UNKNOWN},  {" C", UNITS_UNKNOWN},    {"", UNITS_UNKNOWN}};
    for (const Row &r : rows) EXPECT_EQ(decode::UnitsOfText(r.text), r.code) << '"' << r.text << '"';
}

// ---- binary inputs --------------------------------------------------------------------

// Which of the two state fields an input reads shows whether the document
// counts as the new dialect.
TYPED_TEST(SensorItems, NewDialectDependsOnFamilyAndVersion) {
    struct Row {
        const char *model, *xmlver;
        bool new_dialect;
    };
    const Row rows[] = {{"21", "2.34", true},  {"21", "2.35", true},  {"21", "2.36", true}, {"21", "2.0", false},
                        {"21", "2.20", false}, {"21", "1.00", false}, {"2", "2.0", true},   {"2", "2.34", false},
                        {"2", "2.20", false},  {"33", "", true},      {"33", "2.0", true},  {"99", "2.34", false},
                        {"99", "2.0", false}};
    for (const Row &r : rows) {
        TypeParam d;
        d.Unit(r.model, r.xmlver);
        const int i = d.AddInput();
        Put(d.rec->BinaryInSet_Entry_State[i], "1");
        Put(d.rec->BinaryInSet_Entry_Color[i], "2");
        EXPECT_EQ(ItemAt(d, 0).State, r.new_dialect ? STATE_OUT_OF_RANGE : STATE_ALARM_ACTIVE)
            << r.model << " " << r.xmlver;
    }
}

TYPED_TEST(SensorItems, InputFixedFields) {
    TypeParam d;
    d.Unit("21", "2.34");
    const int i = d.AddInput();
    Put(d.rec->BinaryInSet_Entry_Name[i], "Door \xC3\xBC");
    Put(d.rec->BinaryInSet_Entry_Value[i], "1");
    Put(d.rec->BinaryInSet_Entry_Cnt[i], "12345");
    Put(d.rec->BinaryInSet_Entry_ID[i], "999");  // the unit's own ID is not used
    const TXmlSensorEnum item = ItemAt(d, 0);
    EXPECT_EQ(item.Name, "Door \xC3\xBC");
    EXPECT_EQ(item.Id, 1);
    EXPECT_EQ(item.Value, 1.0f);
    EXPECT_EQ(item.Units, UNITS_SWITCH);
    EXPECT_EQ(item.Hyst, 0.0f);
    EXPECT_EQ(item.Calib, 0.0f);
    EXPECT_EQ(item.Counter, 12345);
    EXPECT_EQ(item.Mode, MODE_UNKNOWN);
    EXPECT_EQ(item.SensType, TYPE_BINARY_INPUT);
}

TYPED_TEST(SensorItems, InputAlarmTable) {
    struct Row {
        const char *model, *xmlver, *alarm, *alarm_state;
        uint8_t code;
        float threshold;
    };
    const Row rows[] = {
        // Kalyx, new dialect: Entry_Alarm.
        {"21", "2.34", "0", "9", ALARM_ACTIVE_IF_ON, 0.0f},
        {"21", "2.34", "1", "9", ALARM_ACTIVE_IF_OFF, 1.0f},
        {"21", "2.34", "2", "9", ALARM_INACTIVE, kNoValue},
        {"21", "2.34", "3", "0", ALARM_UNKNOWN, kNoValue},
        {"21", "2.34", "", "0", ALARM_UNKNOWN, kNoValue},
        // Kalyx, old dialect: Entry_AlarmState.
        {"21", "2.20", "9", "0", ALARM_ACTIVE_IF_ON, 0.0f},
        {"21", "2.20", "9", "1", ALARM_ACTIVE_IF_OFF, 1.0f},
        {"21", "2.20", "9", "2", ALARM_INACTIVE, kNoValue},
        {"21", "2.20", "0", "00", ALARM_UNKNOWN, kNoValue},
        // Varno: Entry_Alarm in both dialects, numbered the other way round.
        {"2", "2.0", "0", "9", ALARM_INACTIVE, kNoValue},
        {"2", "2.0", "1", "9", ALARM_ACTIVE_IF_OFF, 1.0f},
        {"2", "2.20", "2", "9", ALARM_ACTIVE_IF_ON, 0.0f},
        {"2", "2.20", "9", "0", ALARM_UNKNOWN, kNoValue},
        // Unknown and Ostra families have no input alarm.
        {"99", "2.34", "0", "0", ALARM_UNKNOWN, kNoValue},
        {"33", "2.34", "1", "1", ALARM_UNKNOWN, kNoValue},
    };
    for (const Row &r : rows) {
        TypeParam d;
        d.Unit(r.model, r.xmlver);
        const int i = d.AddInput();
        Put(d.rec->BinaryInSet_Entry_Alarm[i], r.alarm);
        Put(d.rec->BinaryInSet_Entry_AlarmState[i], r.alarm_state);
        const TXmlSensorEnum item = ItemAt(d, 0);
        SCOPED_TRACE(std::string(r.model) + " " + r.xmlver + " alarm=" + r.alarm + " state=" + r.alarm_state);
        EXPECT_EQ(item.Alarm, r.code);
        EXPECT_EQ(item.Min, r.threshold);
        EXPECT_EQ(item.Max, r.threshold);
    }
}

TYPED_TEST(SensorItems, InputStateTexts) {
    const std::pair<const char *, uint8_t> rows[] = {{"0", STATE_NORMAL},  {"1", STATE_OUT_OF_RANGE},
                                                     {"2", STATE_ALARM_ACTIVE}, {"3", STATE_UNKNOWN_},
                                                     {"4", STATE_UNKNOWN_}, {"", STATE_UNKNOWN_}};
    for (const auto &[text, code] : rows) {
        TypeParam d;
        d.Unit("21", "2.34");
        Put(d.rec->BinaryInSet_Entry_State[d.AddInput()], text);
        EXPECT_EQ(ItemAt(d, 0).State, code) << '"' << text << '"';
    }
}

TEST(SensorItemsSetup, CounterInputsOnlyForVarnoWithCountersEnabled) {
    struct Row {
        const char *model, *counters_e;
        uint8_t setup_type;
    };
    const Row rows[] = {{"2", "1", TYPE_BINARY_INPUT_COUNTER},
                        {"2", "0", TYPE_BINARY_INPUT},
                        {"2", "", TYPE_BINARY_INPUT},
                        {"21", "1", TYPE_BINARY_INPUT},
                        {"33", "1", TYPE_BINARY_INPUT},
                        {"99", "1", TYPE_BINARY_INPUT}};
    for (const Row &r : rows) {
        SetupDoc s;
        ValuesDoc v;
        s.Unit(r.model, "2.0");
        v.Unit(r.model, "2.0");
        Put(s.rec->Counters_E, r.counters_e);
        s.AddInput();
        s.AddInput();
        v.AddInput();
        v.AddInput();
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(ItemAt(s, i).SensType, r.setup_type) << r.model << " E=" << r.counters_e;
            EXPECT_EQ(ItemAt(v, i).SensType, TYPE_BINARY_INPUT) << r.model;
        }
    }
}

// ---- binary outputs ----------------------------------------------------------------------

TYPED_TEST(SensorItems, OutputFixedFields) {
    TypeParam d;
    d.Unit("21", "2.34");
    d.AddOutput();
    const int k = d.AddOutput();
    Put(d.rec->BinaryOutSet_Entry_Name[k], "Siren");
    Put(d.rec->BinaryOutSet_Entry_Value[k], "3");
    const TXmlSensorEnum item = ItemAt(d, 1);
    EXPECT_EQ(item.Name, "Siren");
    EXPECT_EQ(item.Id, 152);
    EXPECT_EQ(item.Value, 3.0f);
    EXPECT_EQ(item.Units, UNITS_SWITCH);
    EXPECT_EQ(item.Min, 0.0f);
    EXPECT_EQ(item.Max, 0.0f);
    EXPECT_EQ(item.Counter, 0);
    EXPECT_EQ(item.Alarm, ALARM_UNKNOWN);
    EXPECT_EQ(item.State, STATE_UNKNOWN_);
}

TYPED_TEST(SensorItems, OutputModeOnlyInNewDialect) {
    struct Row {
        const char *model, *xmlver, *mode;
        uint8_t code;
    };
    const Row rows[] = {{"21", "2.34", "0", MODE_MANUAL_CONTROL}, {"21", "2.34", "1", MODE_ANY_ALARM},
                        {"21", "2.35", "2", MODE_EQUAL_TRIGGER},  {"21", "2.36", "3", MODE_HIGHER_TRIGGER},
                        {"2", "2.0", "4", MODE_LOWER_TRIGGER},    {"33", "", "4", MODE_LOWER_TRIGGER},
                        {"21", "2.34", "5", MODE_UNKNOWN},        {"21", "2.34", "01", MODE_UNKNOWN},
                        {"21", "2.20", "1", MODE_UNKNOWN},        {"2", "2.34", "1", MODE_UNKNOWN},
                        {"99", "2.34", "1", MODE_UNKNOWN}};
    for (const Row &r : rows) {
        TypeParam d;
        d.Unit(r.model, r.xmlver);
        Put(d.rec->BinaryOutSet_Entry_Mode[d.AddOutput()], r.mode);
        EXPECT_EQ(ItemAt(d, 0).Mode, r.code) << r.model << " " << r.xmlver << " mode " << r.mode;
    }
}

TEST(SensorItemsOutputs, TypeFromFamilyAndSetupEntryType) {
    struct Row {
        const char *model, *entry_type;
        uint8_t values_type, setup_type;
    };
    const Row rows[] = {{"21", "0", TYPE_BINARY_OUTPUT, TYPE_RELAY_OUTPUT}, {"21", "1", TYPE_BINARY_OUTPUT, TYPE_DTR_OUTPUT},
                        {"21", "2", TYPE_BINARY_OUTPUT, TYPE_RTS_OUTPUT},   {"21", "3", TYPE_BINARY_OUTPUT, TYPE_UNKNOWN},
                        {"21", "", TYPE_BINARY_OUTPUT, TYPE_UNKNOWN},       {"2", "1", TYPE_RELAY_OUTPUT, TYPE_RELAY_OUTPUT},
                        {"99", "0", TYPE_RELAY_OUTPUT, TYPE_BINARY_OUTPUT}, {"33", "0", TYPE_RELAY_OUTPUT, TYPE_BINARY_OUTPUT}};
    for (const Row &r : rows) {
        ValuesDoc v;
        SetupDoc s;
        v.Unit(r.model, "2.34");
        s.Unit(r.model, "2.34");
        Put(v.rec->BinaryOutSet_Entry_Type[v.AddOutput()], r.entry_type);
        Put(s.rec->BinaryOutSet_Entry_Type[s.AddOutput()], r.entry_type);
        EXPECT_EQ(ItemAt(v, 0).SensType, r.values_type) << r.model << " type " << r.entry_type;
        EXPECT_EQ(ItemAt(s, 0).SensType, r.setup_type) << r.model << " type " << r.entry_type;
    }
}

// ---- analog sensors --------------------------------------------------------------------

template <class D>
int AddSensor(D &d, const char *units, const char *min = "", const char *max = "") {
    const int j = d.AddSensor();
    Put(d.rec->SenSet_Entry_Units[j], units);
    Put(d.rec->SenSet_Entry_Min[j], min);
    Put(d.rec->SenSet_Entry_Max[j], max);
    return j;
}

TYPED_TEST(SensorItems, SensorIdPerFamily) {
    const std::pair<const char *, int32_t> rows[] = {{"21", 7}, {"33", 7}, {"2", 65 + 1}, {"99", 0}};
    for (const auto &[model, id] : rows) {
        TypeParam d;
        d.Unit(model, "2.34");
        AddSensor(d, "C");
        const int j = AddSensor(d, "C");
        Put(d.rec->SenSet_Entry_ID[j], "7");
        EXPECT_EQ(ItemAt(d, 1).Id, id) << model;
    }
}

TYPED_TEST(SensorItems, SensorNumbersAndUnits) {
    TypeParam d;
    d.Unit("21", "2.34");
    const int j = AddSensor(d, "%RH", "-10.5", "80");
    Put(d.rec->SenSet_Entry_Name[j], "Humidity");
    Put(d.rec->SenSet_Entry_Value[j], "45.75");
    Put(d.rec->SenSet_Entry_Hyst[j], "1.5");
    Put(d.rec->SenSet_Entry_Calib[j], "-0.25");
    const TXmlSensorEnum item = ItemAt(d, 0);
    EXPECT_EQ(item.Name, "Humidity");
    EXPECT_EQ(item.Value, 45.75f);
    EXPECT_EQ(item.Hyst, 1.5f);
    EXPECT_EQ(item.Calib, -0.25f);
    EXPECT_EQ(item.Min, -10.5f);
    EXPECT_EQ(item.Max, 80.0f);
    EXPECT_EQ(item.Counter, 0);
    EXPECT_EQ(item.Mode, MODE_UNKNOWN);
    EXPECT_EQ(item.Units, UNITS_HUMIDITY);
    EXPECT_EQ(item.SensType, TYPE_ANALOG_SENSOR_INPUT);
}

TYPED_TEST(SensorItems, SensorLimitsPerFamilyAndSwitchPairs) {
    struct Row {
        const char *model, *units, *min, *max;
        uint8_t type;
        float lo, hi;
    };
    const Row rows[] = {
        {"21", "C", "-20.0", "35.5", TYPE_ANALOG_SENSOR_INPUT, -20.0f, 35.5f},
        {"33", "V", "1", "2", TYPE_ANALOG_SENSOR_INPUT, 1.0f, 2.0f},
        {"21", "s", "0.0", "0.5", TYPE_BINARY_INPUT, 0.0f, 0.0f},
        {"21", "s", "0.5", "1.0", TYPE_BINARY_INPUT, 1.0f, 1.0f},
        {"33", "s", "0.5", "1.0", TYPE_BINARY_INPUT, 1.0f, 1.0f},
        {"21", "s", "0", "0.5", TYPE_BINARY_INPUT, kNoValue, kNoValue},
        {"21", "s", "0.5", "0.0", TYPE_BINARY_INPUT, kNoValue, kNoValue},
        {"2", "C", "-20.0", "35.5", TYPE_ANALOG_SENSOR_INPUT, kNoValue, kNoValue},
        {"99", "C", "-20.0", "35.5", TYPE_ANALOG_SENSOR_INPUT, kNoValue, kNoValue},
        {"2", "s", "0.5", "1.0", TYPE_BINARY_INPUT, kNoValue, kNoValue},
    };
    for (const Row &r : rows) {
        TypeParam d;
        d.Unit(r.model, "2.34");
        AddSensor(d, r.units, r.min, r.max);
        const TXmlSensorEnum item = ItemAt(d, 0);
        SCOPED_TRACE(std::string(r.model) + " " + r.units + " " + r.min + "/" + r.max);
        EXPECT_EQ(item.SensType, r.type);
        EXPECT_EQ(item.Min, r.lo);
        EXPECT_EQ(item.Max, r.hi);
    }
}

TYPED_TEST(SensorItems, SensorAlarmFromTrapAndMailFlags) {
    struct Row {
        const char *model, *trap, *mail;
        uint8_t alarm;
    };
    const Row rows[] = {{"21", "0", "0", ALARM_INACTIVE}, {"21", "1", "0", ALARM_SNMP_TRAP_ONLY},
                        {"21", "0", "1", ALARM_EMAIL_AND_SMS}, {"21", "1", "1", ALARM_ALL},
                        {"33", "1", "1", ALARM_ALL},      {"33", "", "", ALARM_INACTIVE},
                        {"21", "11", "1 ", ALARM_INACTIVE}, {"2", "1", "1", ALARM_UNKNOWN},
                        {"99", "1", "0", ALARM_UNKNOWN}};
    for (const Row &r : rows) {
        TypeParam d;
        d.Unit(r.model, "2.34");
        const int j = AddSensor(d, "C");
        Put(d.rec->SenSet_Entry_SNMPTrap[j], r.trap);
        Put(d.rec->SenSet_Entry_EmailSMS[j], r.mail);
        EXPECT_EQ(ItemAt(d, 0).Alarm, r.alarm) << r.model << " trap=" << r.trap << " mail=" << r.mail;
    }
}

TYPED_TEST(SensorItems, SensorStatePerFamilyAndDialect) {
    struct Row {
        const char *model, *xmlver, *state, *color;
        uint8_t code;
    };
    const Row rows[] = {
        // Kalyx and Varno: Entry_State in the new dialect, Entry_Color otherwise.
        {"21", "2.34", "0", "9", STATE_NORMAL},        {"21", "2.34", "1", "9", STATE_OUT_OF_RANGE},
        {"21", "2.34", "2", "9", STATE_ALARM_ACTIVE},  {"21", "2.34", "4", "9", STATE_SENSOR_INVALID},
        {"21", "2.34", "3", "0", STATE_UNKNOWN_},      {"21", "2.20", "9", "4", STATE_SENSOR_INVALID},
        {"21", "2.20", "0", "2", STATE_ALARM_ACTIVE},  {"2", "2.0", "1", "9", STATE_OUT_OF_RANGE},
        {"2", "2.20", "9", "0", STATE_NORMAL},
        // Ostra: its own scale, always Entry_State.
        {"33", "2.20", "1", "9", STATE_NORMAL},        {"33", "2.20", "2", "9", STATE_OUT_OF_RANGE},
        {"33", "2.20", "3", "9", STATE_OUT_OF_RANGE},  {"33", "2.20", "4", "9", STATE_ALARM_ACTIVE},
        {"33", "2.20", "5", "9", STATE_ALARM_ACTIVE},  {"33", "2.20", "0", "9", STATE_SENSOR_INVALID},
        {"33", "2.20", "6", "0", STATE_UNKNOWN_},
        // Unknown family: no state.
        {"99", "2.34", "0", "0", STATE_UNKNOWN_},
    };
    for (const Row &r : rows) {
        TypeParam d;
        d.Unit(r.model, r.xmlver);
        const int j = AddSensor(d, "C");
        Put(d.rec->SenSet_Entry_State[j], r.state);
        Put(d.rec->SenSet_Entry_Color[j], r.color);
        EXPECT_EQ(ItemAt(d, 0).State, r.code) << r.model << " " << r.xmlver << " state=" << r.state
                                              << " color=" << r.color;
    }
}

// ---- device information -----------------------------------------------------------------

TEST(SensorDeviceInfo, FromValuesRecordUsesModuleAddress) {
    ValuesDoc d;
    d.Unit("21", "2.34");
    Put(d.rec->Agent_Title, "Server room");
    Put(d.rec->Agent_Version, "4.1");
    Put(d.rec->BinaryInSet_AlarmAction, "3");
    d.AddInput();
    d.AddSensor();
    d.AddSensor();
    TXmlDeviceInfo info;
    sensor_test::Buffer(d, "10.1.2.3", 81).GetDeviceInfo(info);
    EXPECT_EQ(info.DeviceName, "Cellar");
    EXPECT_EQ(info.Title, "Server room");
    EXPECT_EQ(info.Family, FAMILY_KALYX);
    EXPECT_EQ(info.IP, "10.1.2.3");
    EXPECT_EQ(info.HTTPPort, 81);
    EXPECT_EQ(info.TelnetPort, -1);
    EXPECT_EQ(info.SNMPPort, -1);
    EXPECT_EQ(info.SnmpTrapsCount, -1);
    EXPECT_EQ(info.Model, 21);
    EXPECT_EQ(info.Version, "4.1");
    EXPECT_EQ(info.XmlVer, "2.34");
    EXPECT_EQ(info.BinaryInSetCount, 1);
    EXPECT_EQ(info.SenSetCount, 2);
    EXPECT_EQ(info.BinaryOutSetCount, 0);
    EXPECT_EQ(info.Units, UNITS_UNKNOWN);
    EXPECT_EQ(info.AlarmAction, 3);
    EXPECT_EQ(info.DNSPrimary, "");

    d.Unit("2", "2.0");
    sensor_test::Buffer(d).GetDeviceInfo(info);
    EXPECT_EQ(info.AlarmAction, 4);  // only the Kalyx family has alarm actions
}

TEST(SensorDeviceInfo, FromSetupRecordReadsNetworkAndSnmp) {
    SetupDoc d;
    d.Unit("21", "2.34");
    Put(d.rec->Network_IPAddr, "10.9.8.7");
    Put(d.rec->Network_DNSPrimary, "10.0.0.1");
    Put(d.rec->Network_HTTPport, "8080");
    Put(d.rec->Network_TelnetPort, "23");
    Put(d.rec->Network_SNMPPort, "161");
    Put(d.rec->Global_Units, "C");
    Put(d.rec->Time_SNTPServer, "pool.example");
    d.cnt->SnmpTraps = 9;  // hostile: only 4 slots exist
    Put(d.rec->SnmpTraps_Entry_Community[3], "public");
    Put(d.rec->SnmpTraps_Entry_Port[3], "162");
    Put(d.rec->SnmpTraps_Entry_E[3], "1");
    d.cnt->SnmpAccess = 1;
    Put(d.rec->SnmpAccess_Entry_R[0], "1");
    Put(d.rec->SnmpAccess_Entry_W[0], "0");
    TXmlDeviceInfo info;
    sensor_test::Buffer(d, "10.1.2.3", 81).GetDeviceInfo(info);
    EXPECT_EQ(info.IP, "10.9.8.7");
    EXPECT_EQ(info.DNSPrimary, "10.0.0.1");
    EXPECT_EQ(info.HTTPPort, 8080);
    EXPECT_EQ(info.TelnetPort, 23);
    EXPECT_EQ(info.SNMPPort, 161);
    EXPECT_EQ(info.Units, UNITS_CELSIUS);
    EXPECT_EQ(info.SNTPServer, "pool.example");
    EXPECT_EQ(info.SnmpTrapsCount, 4);
    EXPECT_EQ(info.SnmpTraps[3].Community, "public");
    EXPECT_EQ(info.SnmpTraps[3].Port, 162);
    EXPECT_EQ(info.SnmpTraps[3].Enable, 1);
    EXPECT_EQ(info.SnmpAccessCount, 1);
    EXPECT_EQ(info.SnmpAccess[0].Read, 1);
    EXPECT_EQ(info.SnmpAccess[0].Write, 0);
}

}  // namespace
