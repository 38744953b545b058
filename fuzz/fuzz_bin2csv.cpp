// Binary log conversion with random filters, output capacities and clocks.
// The output lives in a heap block of exactly the capacity given, so a write
// past it is caught.
//
// Input: four control bytes, then the binary log.
//   byte 0     type filter 0-3 (3 lies outside the table: keeps everything)
//   byte 1     group filter 0-7 (5-7 lie outside the table)
//   byte 2     bits 0-1: capacity: 0 four times the log's size (what the log
//              objects allocate), 1 next two bytes (0-65535), 2 next byte - 16
//              (small and negative ones), 3 the log's size + 1;
//              bits 2-3: local time: 0 the host's (through bin2csv), 1 UTC,
//              2 a host that cannot render odd hours, 3 a host whose answers
//              are nonsense (fields far out of range)
//   byte 3     when bits 2-3 of byte 2 are 0 and this byte is odd, the call
//              goes through the exported zxpld_bin2csv of module 0 (no filters)
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "kalax/zxpld.h"
#include "sdk/pld/logformat.h"

using namespace kalax;

namespace {

bool utc(int64_t t, std::tm *out) {
    const time_t tt = static_cast<time_t>(t);
    return gmtime_r(&tt, out) != nullptr;
}

bool odd_hours_fail(int64_t t, std::tm *out) {
    if ((t / 3600) % 2 != 0) return false;
    return utc(t + 7 * 3600 + 30 * 60, out);
}

bool nonsense(int64_t t, std::tm *out) {
    *out = std::tm{};
    const auto u = static_cast<uint64_t>(t) * 0x9E3779B97F4A7C15ull;
    // Any int at all, extremes included.
    out->tm_year = static_cast<int>(static_cast<uint32_t>(u >> 32));
    out->tm_mon = static_cast<int>(static_cast<uint32_t>(u)) % 1000;
    out->tm_mday = static_cast<int>(static_cast<uint32_t>(u >> 40) | 0x80000000u);
    out->tm_hour = static_cast<int>(static_cast<uint32_t>(u >> 8));
    out->tm_min = static_cast<int>(static_cast<uint32_t>(u >> 16) - 30000u);
    out->tm_sec = (t & 1) ? 60 : static_cast<int>(static_cast<uint32_t>(u >> 24));
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Bytes in(data, size);
    const int type_filter = in.byte() % 4;
    const int group_filter = in.byte() % 8;
    const uint8_t how = in.byte();
    const uint8_t exported = in.byte();
    int capacity = 0;
    switch (how & 3) {
    case 1: capacity = in.u16(); break;
    case 2: capacity = static_cast<int>(in.byte()) - 16; break;
    default: break;
    }
    const std::string_view log = in.rest();
    const int length = static_cast<int>(log.size());
    if ((how & 3) == 0) capacity = 4 * length;
    if ((how & 3) == 3) capacity = length + 1;

    // The log in a block of its own size too, so reading past it is caught.
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[log.size()]);
    std::memcpy(bytes.get(), log.data(), log.size());
    std::unique_ptr<char[]> text(new char[static_cast<size_t>(std::max(capacity, 0))]);
    int text_length = capacity;

    int rc;
    const int clock = (how >> 2) & 3;
    if (clock == 0 && (exported & 1))
        rc = zxpld_bin2csv(0, bytes.get(), length, text.get(), &text_length);
    else if (clock == 0)
        rc = pld::bin2csv(type_filter, group_filter, bytes.get(), length, text.get(), &text_length);
    else
        rc = pld::bin2csv_with_clock(clock == 1 ? utc : clock == 2 ? odd_hours_fail : nonsense, type_filter,
                                     group_filter, bytes.get(), length, text.get(), &text_length);

    FUZZ_CHECK(rc == 0 || rc == -1);
    if (capacity <= 0) {
        FUZZ_CHECK(text_length == 0);
        return 0;
    }
    FUZZ_CHECK(text_length >= 0 && text_length < capacity);
    FUZZ_CHECK(text[static_cast<size_t>(text_length)] == '\0');
    FUZZ_CHECK(std::memchr(text.get(), '\0', static_cast<size_t>(text_length)) == nullptr);
    return 0;
}
