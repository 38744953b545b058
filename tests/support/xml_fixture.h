// A fresh agent XML client per test, and small readers of its error records.
#pragma once

#include <gtest/gtest.h>

#include "kalax/zxxml.h"
#include "support/events.h"

namespace kalax::test {

inline int xml_code(int module) {
    zx_error_struct e{};
    zxxml_error(module, &e);
    return e.code;
}

class XmlClient : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(zxxml_init(), 0); }
    void TearDown() override {
        zxxml_count_ref2zero();
        EXPECT_EQ(zxxml_uninit(), 0);
    }
};

}  // namespace kalax::test
