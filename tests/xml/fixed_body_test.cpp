// The XML client's receive buffer: a body must leave room for its terminator.
#include <gtest/gtest.h>

#include <cstring>
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

TEST(FixedBody, ARoomReadKeepsTheTextTerminatedAndTheBodyExact) {
    // What a read leaves in the room is scratch until it is handed over: the
    // text stays terminated at its length meanwhile, and a head read there
    // before its body leaves only the body.
    std::string buffer(64, '\x7f');
    xml::FixedBody body(buffer.data(), 32);
    size_t size = 0;
    char *room = body.room(&size);
    ASSERT_NE(room, nullptr);
    EXPECT_EQ(size, 30u) << "the terminator's byte and one before it stay out";
    const std::string reply = "HTTP/1.0 200\r\n\r\nabc";
    std::memcpy(room, reply.data(), reply.size());
    EXPECT_EQ(buffer[0], '\x7f') << "nothing is terminated before any body";
    ASSERT_EQ(body.body(room + reply.size() - 3, 3), 0);
    EXPECT_STREQ(buffer.c_str(), "abc");
    room = body.room(&size);
    EXPECT_EQ(room, buffer.data() + 4);
    EXPECT_EQ(size, 27u);
    std::memset(room, 'z', size);
    EXPECT_STREQ(buffer.c_str(), "abc") << "scratch in the room leaves the text as it was";
    ASSERT_EQ(body.body(room, size), 0);
    EXPECT_EQ(body.length(), 30);
    EXPECT_EQ(buffer[30], '\0');
    EXPECT_EQ(body.room(&size), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(body.body("y", 1), 0) << "the last byte before the terminator still fits";
    EXPECT_EQ(body.body("y", 1), 12);
    EXPECT_EQ(buffer[32], '\x7f') << "nothing written beyond the capacity";
}
