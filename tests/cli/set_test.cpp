// kalax set changes each kind of item on a simulated unit and shows it as the
// unit answered; bad arguments are refused before the unit is asked anything.
#include <gtest/gtest.h>

#include "cli/cli_support.h"
#include "unitsim/unitsim.h"

namespace kalax::test {
namespace {

class Set : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(unit.start(0)); }
    std::string host() const { return "127.0.0.1:" + std::to_string(unit.port()); }
    sim::Unit unit;
};

TEST_F(Set, ChangesEachKindAndShowsTheItemReadBack) {
    kalax::test::Run r = run_kalax({"set", host(), "output", "152", "on"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(unit.output_value(1), 1);
    EXPECT_NE(r.out.find(" 152 "), std::string::npos) << r.out;

    r = run_kalax({"set", host(), "name", "216", "A&B<C"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(unit.sensor_name(1), "A&B<C");
    EXPECT_NE(r.out.find("A&B<C"), std::string::npos) << r.out;

    r = run_kalax({"set", host(), "range", "216", "--", "-10", "35.5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_DOUBLE_EQ(unit.sensor_min(1), -10.0);
    EXPECT_DOUBLE_EQ(unit.sensor_max(1), 35.5);
    EXPECT_NE(r.out.find("-10.0"), std::string::npos) << r.out;

    r = run_kalax({"set", host(), "--old-version", "calib", "215", "1.5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(unit.field("SenSet_Entry_Calib", 0), "1.5");
    const auto requests = unit.requests();
    EXPECT_NE(requests.back().find("<Idx>1</Idx><ID>215</ID><Calib>1.5</Calib>"), std::string::npos)
        << requests.back();
}

TEST_F(Set, FailuresExitNonzeroAndSendNothing) {
    kalax::test::Run r = run_kalax({"set", host(), "output", "x", "on"});
    EXPECT_EQ(r.status, 2);
    r = run_kalax({"set", host(), "range", "216", "1,5", "3"});
    EXPECT_EQ(r.status, 2);
    r = run_kalax({"set", host(), "colour", "216", "red"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(unit.request_count(), 0u);
    // Refused by the library before sending: a control character in a name.
    r = run_kalax({"set", host(), "name", "216", "a\tb"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 45"), std::string::npos) << r.err;
    // An indexed change of a sensor the unit does not list.
    r = run_kalax({"set", host(), "--old-version", "range", "300", "1", "2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no sensor with this ID"), std::string::npos) << r.err;
    for (const auto &request : unit.requests()) EXPECT_EQ(request.rfind("POST", 0), std::string::npos);
}

}  // namespace
}  // namespace kalax::test
