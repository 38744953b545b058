#include <gtest/gtest.h>
#include "dummy.h"
TEST(AxSmoke, Builds) { EXPECT_EQ(dummy::dummy_type().members.size(), 15u); }
