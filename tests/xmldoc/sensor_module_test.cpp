// Counting and fetching items of a module's cached records through the real client.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "kalax/zxxml.h"
#include "zxapi/sensor_module.h"
#include "unitsim/unitsim.h"

using namespace zxapi;
namespace sim = kalax::sim;

namespace {

// Counts the module's notifications. The record's time is stamped after the
// request is marked done, just before the notification, so tests wait for the
// notification rather than for the finish flag.
struct Notifications {
    std::mutex mu;
    std::condition_variable cv;
    int values = 0;
    int setup = 0;

    static void OnValues(int, void *owner, int, zxxml_values_struct *, zxxml_values_count_struct *) {
        static_cast<Notifications *>(owner)->Bump(&Notifications::values);
    }
    static void OnSetup(int, void *owner, int, zxxml_setup_struct *, zxxml_setup_count_struct *) {
        static_cast<Notifications *>(owner)->Bump(&Notifications::setup);
    }
    void Bump(int Notifications::*which) {
        {
            std::lock_guard lock(mu);
            ++(this->*which);
        }
        cv.notify_all();
    }
};

class SensorModule : public ::testing::Test {
protected:
    void SetUp() override {
        sim::UnitConfig cfg;
        cfg.model = "2";  // Varno: setup items differ from values items
        cfg.xml_ver = "2.0";
        cfg.inputs = 2;
        cfg.sensors = 3;
        cfg.outputs = 1;
        cfg.counters_enabled = true;
        unit_ = std::make_unique<sim::Unit>(cfg);
        ASSERT_TRUE(unit_->start(0));
        ASSERT_EQ(zxxml_init(), 0);
        zxxml_settings_struct settings;
        zxxml_clr_settings_struct(&settings);
        settings.callbacks.on_values = &Notifications::OnValues;
        settings.callbacks.on_setup = &Notifications::OnSetup;
        module_ = zxxml_open("127.0.0.1", unit_->port(), &settings, &seen_);
        ASSERT_GT(module_, 0);
        ASSERT_EQ(zxxml_wait_finish(module_, 0, 5), 0);
    }
    void TearDown() override {
        if (module_ > 0) zxxml_close(module_);
        zxxml_uninit();
        unit_.reset();
    }
    void Fetch(bool setup) {
        int Notifications::*which = setup ? &Notifications::setup : &Notifications::values;
        std::unique_lock lock(seen_.mu);
        const int before = seen_.*which;
        lock.unlock();
        ASSERT_EQ(setup ? zxxml_get_setup(module_) : zxxml_get_values(module_), 0);
        lock.lock();
        ASSERT_TRUE(seen_.cv.wait_for(lock, std::chrono::seconds(30), [&] { return seen_.*which > before; }));
    }

    Notifications seen_;
    std::unique_ptr<sim::Unit> unit_;
    int module_ = -1;
};

TEST_F(SensorModule, NoRecordBeforeTheFirstRequest) {
    TXmlSensorEnum item;
    for (const bool setup : {false, true}) {
        EXPECT_EQ(CountXmlItems(module_, setup), -1);
        EXPECT_EQ(GetXmlItem(module_, setup, 0, item), -1);
    }
}

TEST_F(SensorModule, ModuleNumbersWithoutAUnitGiveNoRecord) {
    TXmlSensorEnum item;
    for (const int m : {0, -1, 99, 100, 1000}) {
        if (m == module_) continue;
        EXPECT_EQ(CountXmlItems(m, false), -1) << m;
        EXPECT_EQ(GetXmlItem(m, true, 0, item), -1) << m;
    }
}

TEST_F(SensorModule, ValuesItemsCarryTheModulesAddress) {
    Fetch(false);
    ASSERT_EQ(CountXmlItems(module_, false), 2 + 3 + 1);
    EXPECT_EQ(CountXmlItems(module_, true), -1);  // setup never fetched

    TXmlSensorEnum item;
    ASSERT_EQ(GetXmlItem(module_, false, 0, item), 0);
    EXPECT_EQ(item.IP, "127.0.0.1");
    EXPECT_EQ(item.Port, unit_->port());
    EXPECT_NE(item.Time, 0);  // stamped when the request ended
    EXPECT_EQ(item.Family, FAMILY_VARNO);
    EXPECT_EQ(item.SensType, TYPE_BINARY_INPUT);
    EXPECT_EQ(item.Name, unit_->field("BinaryInSet_Entry_Name", 0));

    ASSERT_EQ(GetXmlItem(module_, false, 2, item), 0);
    EXPECT_EQ(item.Id, 65);
    ASSERT_EQ(GetXmlItem(module_, false, 5, item), 0);
    EXPECT_EQ(item.Id, 151);
}

TEST_F(SensorModule, PositionPastTheListGivesMinusThreeWithUnitFields) {
    Fetch(false);
    for (const int i : {6, 7, -1}) {
        TXmlSensorEnum item;
        EXPECT_EQ(GetXmlItem(module_, false, i, item), -3) << i;
        EXPECT_EQ(item.IP, "127.0.0.1");
        EXPECT_EQ(item.Port, unit_->port());
        EXPECT_EQ(item.DevName, unit_->field("Agent_DeviceName"));
        EXPECT_EQ(item.MAC, unit_->field("Agent_MAC"));
        EXPECT_EQ(item.XmlVer, XMLVER_20);
        EXPECT_EQ(item.Family, FAMILY_VARNO);
        EXPECT_NE(item.Time, 0);
    }
}

TEST_F(SensorModule, SetupItemsUseTheSetupRules) {
    Fetch(true);
    ASSERT_EQ(CountXmlItems(module_, true), 2 + 3 + 1);
    TXmlSensorEnum item;
    ASSERT_EQ(GetXmlItem(module_, true, 1, item), 0);
    EXPECT_EQ(item.SensType, TYPE_BINARY_INPUT_COUNTER);
    EXPECT_EQ(item.Port, unit_->port());
    EXPECT_EQ(GetXmlItem(module_, true, 6, item), -3);
}

}  // namespace
