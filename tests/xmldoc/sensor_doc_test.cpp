// Items decoded from documents a simulated unit serves, through the real parser.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <tuple>

#include "sdk/xmldoc/parser.h"
#include "sdk/xmldoc/sensor.h"
#include "unitsim/unitsim.h"

using namespace zxapi;
namespace sim = kalax::sim;

namespace {

struct Parsed {
    std::unique_ptr<zxxml_values_struct> values = std::make_unique<zxxml_values_struct>();
    std::unique_ptr<zxxml_values_count_struct> values_count = std::make_unique<zxxml_values_count_struct>();
    std::unique_ptr<zxxml_setup_struct> setup = std::make_unique<zxxml_setup_struct>();
    std::unique_ptr<zxxml_setup_count_struct> setup_count = std::make_unique<zxxml_setup_count_struct>();

    explicit Parsed(sim::Unit &unit) {
        std::string v = unit.values_xml();
        std::string s = unit.setup_xml();
        EXPECT_EQ(kalax::xmldoc::parse_values(v.data(), static_cast<int>(v.size()), values.get(), values_count.get()), 0);
        EXPECT_EQ(kalax::xmldoc::parse_setup(s.data(), static_cast<int>(s.size()), setup.get(), setup_count.get()), 0);
    }
    TValuesXml<TValuesXmlBuffer> Values() const {
        return TValuesXml<TValuesXmlBuffer>(MakeValuesBuffer(values.get(), values_count.get(), "127.0.0.1", 8080));
    }
    TSetupXml<TSetupXmlBuffer> Setup() const {
        return TSetupXml<TSetupXmlBuffer>(MakeSetupBuffer(setup.get(), setup_count.get(), "127.0.0.1", 8080));
    }
};

uint8_t FamilyCode(sim::Family f) {
    switch (f) {
    case sim::Family::kalyx: return FAMILY_KALYX;
    case sim::Family::varno: return FAMILY_VARNO;
    case sim::Family::ostra: return kFamilyOstra;
    case sim::Family::unknown: break;
    }
    return FAMILY_UNKNOWN;
}

const char *FamilyName(sim::Family f) {
    switch (f) {
    case sim::Family::kalyx: return "Kalyx";
    case sim::Family::varno: return "Varno";
    case sim::Family::ostra: return "Ostra";
    case sim::Family::unknown: break;
    }
    return "Unknown";
}

struct Dialect {
    const char *text;
    const char *label;
    uint8_t code;
};
const Dialect kDialects[] = {{"2.0", "v2_0", XMLVER_20},     {"2.20", "v2_20", XMLVER_220}, {"2.34", "v2_34", XMLVER_234},
                             {"2.35", "v2_35", kXmlVer235},  {"2.36", "v2_36", kXmlVer236}, {"1.00", "v1_00", kXmlVer100},
                             {"3.0", "v3_0", XMLVER_UNKNOWN}};

using Preset = std::tuple<sim::Family, Dialect>;

class SensorDocPreset : public ::testing::TestWithParam<Preset> {
protected:
    sim::Family family() const { return std::get<0>(GetParam()); }
    const Dialect &dialect() const { return std::get<1>(GetParam()); }
    sim::UnitConfig Config() const {
        sim::UnitConfig cfg;
        cfg.model = sim::model_of_family(family());
        cfg.xml_ver = dialect().text;
        cfg.inputs = 3;
        cfg.outputs = 2;
        cfg.sensors = 4;
        cfg.counters_enabled = true;
        return cfg;
    }
};

TEST_P(SensorDocPreset, ItemsFollowTheUnitsModel) {
    sim::Unit unit(Config());
    const Parsed p(unit);
    const auto xml = p.Values();
    ASSERT_EQ(xml.GetCount(), 3 + 4 + 2);
    const uint8_t fam = FamilyCode(family());
    const bool kalyx_like = fam == FAMILY_KALYX || fam == kFamilyOstra;

    for (int i = 0; i < xml.GetCount(); ++i) {
        TXmlSensorEnum item;
        ASSERT_EQ(xml.GetItem(i, item), 0) << i;
        SCOPED_TRACE("position " + std::to_string(i));
        EXPECT_EQ(item.Family, fam);
        EXPECT_EQ(item.XmlVer, dialect().code);
        EXPECT_EQ(item.DevName, "Serverraum S\xC3\xBC" "d");
        EXPECT_EQ(item.MAC, "00:0A:59:00:00:01");
        if (i < 3) {
            EXPECT_EQ(item.Name, unit.field("BinaryInSet_Entry_Name", i));
            EXPECT_EQ(item.Id, i + 1);
            EXPECT_EQ(item.Value, static_cast<float>(unit.input_value(i)));
            EXPECT_EQ(item.SensType, TYPE_BINARY_INPUT);
            // The unit's first input alarms when it closes; the others only report.
            // Both families say so, each in its own numbering.
            uint8_t alarm = ALARM_UNKNOWN;
            if (fam == FAMILY_KALYX || fam == FAMILY_VARNO) alarm = i == 0 ? ALARM_ACTIVE_IF_ON : ALARM_INACTIVE;
            EXPECT_EQ(item.Alarm, alarm);
        } else if (i < 7) {
            const int j = i - 3;
            EXPECT_EQ(item.Name, unit.sensor_name(j));
            EXPECT_NEAR(item.Value, unit.sensor_value(j), 0.051);
            EXPECT_EQ(item.Units, decode::UnitsOfText(unit.field("SenSet_Entry_Units", j)));
            const int32_t id = kalyx_like ? decode::Integer(unit.field("SenSet_Entry_ID", j))
                               : fam == FAMILY_VARNO ? 65 + j
                                                     : 0;
            EXPECT_EQ(item.Id, id);
            if (kalyx_like && item.SensType == TYPE_ANALOG_SENSOR_INPUT) {
                EXPECT_NEAR(item.Min, unit.sensor_min(j), 0.051);
                EXPECT_NEAR(item.Max, unit.sensor_max(j), 0.051);
            } else if (!kalyx_like) {
                EXPECT_EQ(item.Min, kNoValue);
                EXPECT_EQ(item.Alarm, ALARM_UNKNOWN);
            }
        } else {
            const int k = i - 7;
            EXPECT_EQ(item.Name, unit.field("BinaryOutSet_Entry_Name", k));
            EXPECT_EQ(item.Id, 151 + k);
            EXPECT_EQ(item.Value, static_cast<float>(unit.output_value(k)));
            EXPECT_EQ(item.SensType, fam == FAMILY_KALYX ? TYPE_BINARY_OUTPUT : TYPE_RELAY_OUTPUT);
        }
    }
    TXmlSensorEnum past;
    EXPECT_EQ(xml.GetItem(9, past), -2);
    EXPECT_EQ(past.DevName, "Serverraum S\xC3\xBC" "d");
}

// The simulated unit tells the dialects apart on its own; pinning the two state
// forms to different texts shows which one the items read.
TEST_P(SensorDocPreset, StateFormAgreesWithTheUnitsDialect) {
    sim::Unit unit(Config());
    unit.set_field("BinaryInSet_Entry_State", 0, "1");
    unit.set_field("BinaryInSet_Entry_Color", 0, "2");
    unit.set_field("SenSet_Entry_State", 0, "1");
    unit.set_field("SenSet_Entry_Color", 0, "2");
    const Parsed p(unit);
    const bool new_form = sim::new_dialect(family(), dialect().text);
    const uint8_t fam = FamilyCode(family());

    for (const bool setup : {false, true}) {
        TXmlSensorEnum input, sensor;
        if (setup) {
            ASSERT_EQ(p.Setup().GetItem(0, input), 0);
            ASSERT_EQ(p.Setup().GetItem(3, sensor), 0);
        } else {
            ASSERT_EQ(p.Values().GetItem(0, input), 0);
            ASSERT_EQ(p.Values().GetItem(3, sensor), 0);
        }
        SCOPED_TRACE(setup ? "setup" : "values");
        EXPECT_EQ(input.State, new_form ? STATE_OUT_OF_RANGE : STATE_ALARM_ACTIVE);
        uint8_t sensor_state = STATE_UNKNOWN_;
        if (fam == FAMILY_KALYX || fam == FAMILY_VARNO) sensor_state = new_form ? STATE_OUT_OF_RANGE : STATE_ALARM_ACTIVE;
        if (fam == kFamilyOstra) sensor_state = STATE_NORMAL;  // "1" on the Ostra scale
        EXPECT_EQ(sensor.State, sensor_state);
    }
}

// Apart from the two setup-only type rules, both documents give the same items.
TEST_P(SensorDocPreset, ValuesAndSetupGiveTheSameItems) {
    sim::Unit unit(Config());
    const Parsed p(unit);
    const auto values = p.Values();
    const auto setup = p.Setup();
    ASSERT_EQ(values.GetCount(), setup.GetCount());
    const uint8_t fam = FamilyCode(family());
    for (int i = 0; i < values.GetCount(); ++i) {
        TXmlSensorEnum a, b;
        ASSERT_EQ(values.GetItem(i, a), 0);
        ASSERT_EQ(setup.GetItem(i, b), 0);
        SCOPED_TRACE("position " + std::to_string(i));
        EXPECT_EQ(a.Name, b.Name);
        EXPECT_EQ(a.Id, b.Id);
        EXPECT_EQ(a.Value, b.Value);
        EXPECT_EQ(a.Units, b.Units);
        EXPECT_EQ(a.Min, b.Min);
        EXPECT_EQ(a.Max, b.Max);
        EXPECT_EQ(a.Hyst, b.Hyst);
        EXPECT_EQ(a.Calib, b.Calib);
        EXPECT_EQ(a.Mode, b.Mode);
        EXPECT_EQ(a.Alarm, b.Alarm);
        EXPECT_EQ(a.State, b.State);
        EXPECT_EQ(a.Family, b.Family);
        EXPECT_EQ(a.XmlVer, b.XmlVer);
        if (i < 3) {
            const bool counter = fam == FAMILY_VARNO && unit.field("Counters_E") == "1";
            EXPECT_EQ(b.SensType, counter ? TYPE_BINARY_INPUT_COUNTER : TYPE_BINARY_INPUT);
        } else if (i < 7) {
            EXPECT_EQ(a.SensType, b.SensType);
        } else if (fam == FAMILY_KALYX) {
            const std::string type = unit.field("BinaryOutSet_Entry_Type", i - 7);
            EXPECT_EQ(b.SensType, type == "0"   ? TYPE_RELAY_OUTPUT
                                  : type == "1" ? TYPE_DTR_OUTPUT
                                  : type == "2" ? TYPE_RTS_OUTPUT
                                                : TYPE_UNKNOWN);
        } else {
            EXPECT_EQ(b.SensType, fam == FAMILY_VARNO ? TYPE_RELAY_OUTPUT : TYPE_BINARY_OUTPUT);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    FamiliesAndDialects, SensorDocPreset,
    ::testing::Combine(::testing::Values(sim::Family::kalyx, sim::Family::varno, sim::Family::ostra,
                                         sim::Family::unknown),
                       ::testing::ValuesIn(kDialects)),
    [](const ::testing::TestParamInfo<Preset> &info) {
        return std::string(FamilyName(std::get<0>(info.param))) + "_" + std::get<1>(info.param).label;
    });

TEST(SensorDoc, NamespacedRootGivesTheSameItems) {
    sim::UnitConfig cfg;
    cfg.namespaced_root = true;
    sim::Unit plain_unit(sim::UnitConfig{});
    sim::Unit ns_unit(cfg);
    const Parsed plain(plain_unit);
    const Parsed ns(ns_unit);
    ASSERT_EQ(ns.Values().GetCount(), plain.Values().GetCount());
    ASSERT_GT(ns.Values().GetCount(), 0);
    for (int i = 0; i < ns.Values().GetCount(); ++i) {
        TXmlSensorEnum a, b;
        ASSERT_EQ(plain.Values().GetItem(i, a), 0);
        ASSERT_EQ(ns.Values().GetItem(i, b), 0);
        EXPECT_EQ(a.Name, b.Name);
        EXPECT_EQ(a.Value, b.Value);
        EXPECT_EQ(a.State, b.State);
    }
}

TEST(SensorDoc, ListsLongerThanTheirCapacityStayInBounds) {
    sim::UnitConfig cfg;
    cfg.inputs = 70;
    cfg.outputs = 66;
    cfg.sensors = 45;
    sim::Unit unit(cfg);
    const Parsed p(unit);
    for (const bool setup : {false, true}) {
        const int count = setup ? p.Setup().GetCount() : p.Values().GetCount();
        EXPECT_LE(count, 64 + 64 + 42);
        for (int i = 0; i <= count; ++i) {
            TXmlSensorEnum item;
            const int rc = setup ? p.Setup().GetItem(i, item) : p.Values().GetItem(i, item);
            EXPECT_EQ(rc, i < count ? 0 : -2) << i;
        }
    }
}

TEST(SensorDoc, VarnoCountersOnlyInSetupItems) {
    sim::UnitConfig cfg;
    cfg.model = "2";
    cfg.xml_ver = "2.0";
    cfg.counters_enabled = true;
    sim::Unit unit(cfg);
    const Parsed p(unit);
    TXmlSensorEnum from_values, from_setup;
    ASSERT_EQ(p.Values().GetItem(0, from_values), 0);
    ASSERT_EQ(p.Setup().GetItem(0, from_setup), 0);
    EXPECT_EQ(from_values.SensType, TYPE_BINARY_INPUT);
    EXPECT_EQ(from_setup.SensType, TYPE_BINARY_INPUT_COUNTER);
}

}  // namespace
