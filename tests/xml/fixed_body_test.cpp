// The XML client's receive buffer: a body must leave room for its terminator.
#include <gtest/gtest.h>

#include <string>

#include "sdk/xml/fixed_body.h"

using namespace kalax;

TEST(FixedBody, BodyMustLeaveRoomForItsTerminator) {
    for (int size : {19998, 19999, 20000}) {
        std::string buffer(20000 + 8, '\x7f');
        xml::FixedBody body(buffer.data(), 20000);
        const std::string part(1000, 'b');
        int rc = 0;
        int fed = 0;
        while (rc == 0 && fed < size) {
            const int n = std::min(1000, size - fed);
            rc = body.body(part.data(), static_cast<size_t>(n));
            if (rc == 0) fed += n;
        }
        if (size < 20000) {
            EXPECT_EQ(rc, 0) << size;
            EXPECT_EQ(body.length(), size);
            EXPECT_EQ(buffer[static_cast<size_t>(size)], '\0');
        } else {
            EXPECT_EQ(rc, 12);
            EXPECT_EQ(body.length(), 19000) << "the chunk that does not fit is not taken";
        }
        EXPECT_EQ(buffer[20000], '\x7f') << "nothing written beyond the capacity";
    }
}

TEST(FixedBody, ReadsWithoutBodyBytesChangeNothing) {
    char buffer[4] = {'x', 'x', 'x', 'x'};
    xml::FixedBody body(buffer, sizeof buffer);
    EXPECT_EQ(body.body(nullptr, 0), 0);
    EXPECT_EQ(body.length(), 0);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(body.body("abcd", 4), 12);
    EXPECT_EQ(body.body("abc", 3), 0);
    EXPECT_STREQ(buffer, "abc");
}
