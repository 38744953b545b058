// The setup reduction applied to what an upload can carry: a document text a
// caller hands in, and the writer's output for a record a caller filled.
//
// Input: one control byte, then the rest.
//   bits 0-1  0, 1: the rest is a document, reduced as zxxml_send_setup_xml
//                   does (a working copy of its string length + 1024 bytes,
//                   zero after the document);
//             2:    the rest is a document, reduced in a heap block of exactly
//                   its length;
//             3:    the rest fills a setup record (below), which is written
//                   into a 20000-byte text and reduced with its string length
//                   as size, as zxxml_send_setup does.
//   bit 2     (record mode) raw texts: any bytes, up to the whole field
//             width with no terminator. Otherwise texts are printable ASCII
//             (markup included), at most width - 2 characters, and the
//             written document must read back as the record it came from, and
//             its reduction as the record without the fields the unit is
//             never sent.
//
// Record filling: 9 bytes of counts (signed, so below 0 and above a list's
// capacity happen), then per field: 1 byte field index, 1 byte slot, 1 byte
// text length, the text.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "sdk/runtime/result_codes.h"
#include "sdk/xmldoc/parser.h"
#include "sdk/xmldoc/records.h"
#include "sdk/xmldoc/reduce.h"
#include "sdk/xmldoc/writer.h"

using namespace kalax;
using xmldoc::FieldDesc;

namespace {

constexpr size_t kUploadText = 20000;

bool reduction_result(int r) {
    return r == 0 || r == kXML_NOT_VALID || r == kMEMORY || r == kNULL_POINTER || r == kBUFFER_FULL;
}

void reduce_text(std::string_view doc, bool exact) {
    if (exact) {
        std::unique_ptr<char[]> block(new char[doc.size()]);
        std::memcpy(block.get(), doc.data(), doc.size());
        const int r = xmldoc::prepare_setup(block.get(), doc.size());
        FUZZ_CHECK(reduction_result(r));
        if (r == 0) FUZZ_CHECK(std::memchr(block.get(), '\0', doc.size()) != nullptr);
        return;
    }
    const size_t length = strnlen(doc.data(), doc.size());
    const size_t capacity = length + 1024;
    std::unique_ptr<char[]> copy(new char[capacity + 1]());
    std::memcpy(copy.get(), doc.data(), length);
    const int r = xmldoc::prepare_setup(copy.get(), capacity);
    FUZZ_CHECK(reduction_result(r));
    if (r == 0) FUZZ_CHECK(strnlen(copy.get(), capacity) < capacity);
}

// Characters a written field may hold and still read back unchanged: printable
// ASCII, markup included (the writer escapes it); no CR (the XML parser turns
// it into LF).
char plain(uint8_t b) { return static_cast<char>(0x20 + b % 0x5f); }

// Fields the reduction drops: whole elements under these key paths.
bool dropped_by_reduction(const char *key) {
    static constexpr std::string_view kDropped[] = {
        "Root_Agent_",           "Root_BinaryInSet_Entry_Value", "Root_BinaryInSet_Entry_State",
        "Root_BinaryOutSet_Entry_Type", "Root_SenSet_Entry_Value", "Root_SenSet_Entry_Units",
        "Root_SenSet_Entry_State",      "Root_Network_IPAddr",     "Root_Network_Submask",
        "Root_Network_Gateway",         "Root_Network_HTTPport",   "Root_Network_DHCP",
        "Root_Time_TimeShift",          "Root_Time_Date",          "Root_Time_Time",
        "Root_MIBIISysGroup_SysName",   "Root_User_Entry_Name",    "Root_User_Entry_Pswd"};
    const std::string_view k(key);
    for (std::string_view d : kDropped)
        if (d.back() == '_' ? k.starts_with(d) : k == d) return true;
    return false;
}

// Does `got` hold what `want` says for every field the written document
// carries (list entries below the clamped count)? Fields `skip` names are
// expected empty.
bool same_record(const zxxml_setup_struct &want, const zxxml_setup_count_struct &want_counts,
                 const zxxml_setup_struct &got, const zxxml_setup_count_struct &got_counts,
                 bool (*skip)(const char *)) {
    const auto lists = xmldoc::setup_lists();
    for (size_t l = 0; l < lists.size(); ++l) {
        const int32_t n = std::clamp(xmldoc::count_at(&want_counts, static_cast<int>(l)), 0, lists[l].capacity);
        if (xmldoc::count_at(&got_counts, static_cast<int>(l)) != n) return false;
    }
    for (const FieldDesc &f : xmldoc::setup_fields()) {
        const int used =
            f.list < 0 ? 1 : std::clamp(xmldoc::count_at(&want_counts, f.list), 0, f.capacity);
        for (int slot = 0; slot < f.capacity; ++slot) {
            const char *a = xmldoc::field_slot(&want, f, slot);
            const char *b = xmldoc::field_slot(&got, f, slot);
            const bool present = slot < used && (skip == nullptr || !skip(f.key));
            if (std::strncmp(present ? a : "", b, static_cast<size_t>(f.width)) != 0) return false;
        }
    }
    return true;
}

void write_record(fuzz::Bytes &in, bool raw) {
    auto record = std::make_unique<zxxml_setup_struct>();
    zxxml_setup_count_struct counts{};
    for (size_t l = 0; l < xmldoc::kSetupListCount; ++l)
        xmldoc::set_count_at(&counts, static_cast<int>(l), static_cast<int8_t>(in.byte()));
    const auto fields = xmldoc::setup_fields();
    while (in.left() > 0) {
        const FieldDesc &f = fields[in.byte() % fields.size()];
        char *field = xmldoc::field_slot(record.get(), f, in.byte() % f.capacity);
        const std::string_view t = in.take(in.byte());
        std::memset(field, 0, static_cast<size_t>(f.width));
        if (raw) {
            std::memcpy(field, t.data(), std::min(t.size(), static_cast<size_t>(f.width)));
        } else {
            const size_t n = std::min(t.size(), static_cast<size_t>(f.width) - 2);
            for (size_t i = 0; i < n; ++i) field[i] = plain(static_cast<uint8_t>(t[i]));
        }
    }

    // The writer's text lives in a block of exactly its capacity.
    std::unique_ptr<char[]> text(new char[kUploadText]);
    const int w = xmldoc::write_setup(*record, counts, text.get(), kUploadText);
    FUZZ_CHECK(w == 0 || w == kBUFFER_FULL);
    if (w != 0) {
        FUZZ_CHECK(text[0] == '\0');
        return;
    }
    const size_t length = strnlen(text.get(), kUploadText);
    FUZZ_CHECK(length < kUploadText);

    // Whether every Idx the document carries has a text: an empty one hands
    // the Idx values out one entry early, or (the last one) fails the reduction.
    bool idx_all_set = true;
    for (const FieldDesc &f : fields) {
        const std::string_view key(f.key);
        if (f.list < 0 || !key.ends_with("_Idx")) continue;
        const int used = std::clamp(xmldoc::count_at(&counts, f.list), 0, f.capacity);
        for (int slot = 0; slot < used; ++slot)
            if (xmldoc::field_slot(record.get(), f, slot)[0] == '\0') idx_all_set = false;
    }

    auto back = std::make_unique<zxxml_setup_struct>();
    zxxml_setup_count_struct back_counts{};
    if (!raw) {
        std::vector<char> copy(text.get(), text.get() + length);
        FUZZ_CHECK(xmldoc::parse_setup(copy.data(), static_cast<int>(copy.size()), back.get(), &back_counts) == 0);
        FUZZ_CHECK(same_record(*record, counts, *back, back_counts, nullptr));
    }

    const int r = xmldoc::prepare_setup(text.get(), length);
    FUZZ_CHECK(reduction_result(r));
    if (raw) return;
    if (!idx_all_set) {
        FUZZ_CHECK(r == 0 || r == kNULL_POINTER);
        return;
    }
    FUZZ_CHECK(r == 0);
    const size_t reduced = strnlen(text.get(), length);
    FUZZ_CHECK(reduced < length);
    FUZZ_CHECK(xmldoc::parse_setup(text.get(), static_cast<int>(reduced), back.get(), &back_counts) == 0);
    FUZZ_CHECK(same_record(*record, counts, *back, back_counts, dropped_by_reduction));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Bytes in(data, size);
    const uint8_t control = in.byte();
    switch (control & 3) {
    case 0:
    case 1:
        reduce_text(in.rest(), false);
        break;
    case 2:
        if (in.left() > 0) reduce_text(in.rest(), true);
        break;
    default:
        write_record(in, (control & 4) != 0);
        break;
    }
    return 0;
}
