// Taking results out of a slot or a group member: raw text, copies, files,
// cached records and record copies.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "sdk/runtime/files.h"
#include "sdk/xml/client.h"

using namespace kalax;
using namespace kalax::xml;

namespace {

// Codes that parameter checks and retrievals store; any other code in a record
// was left by a failed action, whose result must not be handed out.
bool accepted(int code) {
    switch (code) {
    case kOK: case kACTION_NOT_FINISH: case kINDEX_NOT_VALID: case kFILE_NOT_FOUND:
    case kFILE_NOT_VALID: case kID_NOT_FOUND: case kPASSWORD_TOO_LONG: case kUSER_TOO_LONG:
        return true;
    default:
        return false;
    }
}

constexpr char kXmlMarker[] = "<?xml ";

bool has_marker(const char *buffer, int length) {
    if (length <= 0) return false;
    const size_t n = strnlen(buffer, static_cast<size_t>(length));
    return std::string_view(buffer, n).find(kXmlMarker) != std::string_view::npos;
}

// What one retrieval works on: a body and the records of one kind.
template <typename Record, typename Counts>
struct Source {
    char *buffer;
    int32_t length;
    Record *record;
    Counts *counts;
};

Source<zxxml_values_struct, zxxml_values_count_struct> values_of(Module &m) {
    return {m.values, m.values_length, m.values_record.get(), m.values_counts.get()};
}
Source<zxxml_setup_struct, zxxml_setup_count_struct> setup_of(Module &m) {
    return {m.setup, m.setup_length, m.setup_record.get(), m.setup_counts.get()};
}
Source<zxxml_values_struct, zxxml_values_count_struct> values_of(Member &m) {
    return {m.values, m.values_length, &m.values_record, &m.values_counts};
}
Source<zxxml_setup_struct, zxxml_setup_count_struct> setup_of(Member &m) {
    return {m.setup, m.setup_length, &m.setup_record, &m.setup_counts};
}

int write_file(int module, const char *path, const char *buffer, int length) {
    Client &c = client();
    if (!path) return c.rt.fail(module, kFILE_OPEN);
    // Byte for byte (no CR LF in text mode), and whole or not at all: a write
    // that fails halfway leaves the file as it was.
    switch (platform::replace_file(path, buffer, static_cast<size_t>(length))) {
    case platform::FileResult::Ok: return 0;
    case platform::FileResult::OpenFailed: return c.rt.fail(module, kFILE_OPEN);
    case platform::FileResult::CloseFailed: return c.rt.fail(module, kFILE_CLOSE);
    case platform::FileResult::IoFailed:
    case platform::FileResult::TooLarge:
    case platform::FileResult::NoMemory: break;
    }
    return c.rt.fail(module, kFILE_WRITE);
}

// Steps shared by every form once the source is known to be usable: the body
// must be present and hold an XML document.
template <typename S>
int check_body(int module, const S &source) {
    Client &c = client();
    if (source.length <= 0) return c.rt.fail(module, kFILE_NOT_FOUND);
    if (!has_marker(source.buffer, source.length)) return c.rt.fail(module, kFILE_NOT_VALID);
    return 0;
}

// Runs `deliver` on the slot's own result of one kind.
template <typename Pick, typename Deliver>
int single(int module, bool setup_kind, Pick pick, Deliver deliver) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    zx_error_struct e{};
    c.rt.read_error(module, &e);
    if (!accepted(e.code)) return -1;
    int32_t flag;
    {
        rt::SlotLock lock(c.rt, module);
        flag = setup_kind ? m.setup_flag : m.values_flag;
    }
    if (flag != kDone) return c.rt.fail(module, kACTION_NOT_FINISH);
    const auto source = pick(m);
    if (check_body(module, source) != 0) return -1;
    return deliver(source);
}

// Runs `deliver` on member `index`'s result of one kind.
template <typename Pick, typename Deliver>
int many(int module, int index, Pick pick, Deliver deliver) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    Member *member;
    {
        rt::SlotLock lock(c.rt, module);
        if (index < 0 || index >= m.member_count) return c.rt.fail(module, kINDEX_NOT_VALID);
        member = m.members[index].get();
    }
    zx_error_struct e{};
    c.rt.copy_error(module, &e, &member->error);
    if (!accepted(e.code)) {
        c.rt.copy_error(module, &c.rt.error(module), &member->error);
        return -1;
    }
    const auto source = pick(*member);
    if (check_body(module, source) != 0) return -1;
    return deliver(source);
}

template <typename Pick>
int many_status(int module, int index, int32_t *time, Pick pick) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    Member *member;
    {
        rt::SlotLock lock(c.rt, module);
        if (index < 0 || index >= m.member_count) return c.rt.fail(module, kINDEX_NOT_VALID);
        member = m.members[index].get();
    }
    const auto source = pick(*member);
    if (time) *time = source.record->time;
    return check_body(module, source);
}

// The five deliveries, the same for both kinds and for slots and members.
auto as_xml(char **text, int *length) {
    return [=](const auto &s) {
        if (text) *text = s.buffer;
        if (length) *length = s.length;
        return 0;
    };
}
auto as_copy(char *buffer, int *length) {
    return [=](const auto &s) {
        if (buffer) {
            const size_t n = strnlen(s.buffer, static_cast<size_t>(kBufferSize) - 1);
            std::memcpy(buffer, s.buffer, n);
            buffer[n] = '\0';
        }
        if (length) *length = s.length;
        return 0;
    };
}
auto as_file(int module, const char *path) {
    return [=](const auto &s) { return write_file(module, path, s.buffer, s.length); };
}
template <typename Record, typename Counts>
auto as_cache(int module, Record **record, Counts **counts) {
    return [=](const auto &s) {
        if (!s.record || !s.counts) return client().rt.fail(module, kFILE_NOT_FOUND);
        if (record) *record = s.record;
        if (counts) *counts = s.counts;
        return 0;
    };
}
template <typename Record, typename Counts>
auto as_cache_copy(int module, Record *record, Counts *counts) {
    return [=](const auto &s) {
        if (!s.record || !s.counts) return client().rt.fail(module, kFILE_NOT_FOUND);
        if (record) std::memcpy(record, s.record, sizeof *record);
        if (counts) std::memcpy(counts, s.counts, sizeof *counts);
        return 0;
    };
}

auto pick_values = [](auto &x) { return values_of(x); };
auto pick_setup = [](auto &x) { return setup_of(x); };

}  // namespace

extern "C" {

int zxxml_get_values_xml(int module, char **text, int *length) {
    return single(module, false, pick_values, as_xml(text, length));
}
int zxxml_get_values_xml_copy(int module, char *buffer, int *length) {
    return single(module, false, pick_values, as_copy(buffer, length));
}
int zxxml_get_values_to_file(int module, const char *path) {
    return single(module, false, pick_values, as_file(module, path));
}
int zxxml_get_values_cache(int module, zxxml_values_struct **values, zxxml_values_count_struct **counts) {
    return single(module, false, pick_values, as_cache(module, values, counts));
}
int zxxml_get_values_cache_copy(int module, zxxml_values_struct *values, zxxml_values_count_struct *counts) {
    return single(module, false, pick_values, as_cache_copy(module, values, counts));
}
int zxxml_get_setup_xml(int module, char **text, int *length) {
    return single(module, true, pick_setup, as_xml(text, length));
}
int zxxml_get_setup_xml_copy(int module, char *buffer, int *length) {
    return single(module, true, pick_setup, as_copy(buffer, length));
}
int zxxml_get_setup_to_file(int module, const char *path) {
    return single(module, true, pick_setup, as_file(module, path));
}
int zxxml_get_setup_cache(int module, zxxml_setup_struct **setup, zxxml_setup_count_struct **counts) {
    return single(module, true, pick_setup, as_cache(module, setup, counts));
}
int zxxml_get_setup_cache_copy(int module, zxxml_setup_struct *setup, zxxml_setup_count_struct *counts) {
    return single(module, true, pick_setup, as_cache_copy(module, setup, counts));
}

int zxxml_get_values_xml_many(int module, int index, char **text, int *length) {
    return many(module, index, pick_values, as_xml(text, length));
}
int zxxml_get_values_xml_many_copy(int module, int index, char *buffer, int *length) {
    return many(module, index, pick_values, as_copy(buffer, length));
}
int zxxml_get_values_to_file_many(int module, int index, const char *path) {
    return many(module, index, pick_values, as_file(module, path));
}
int zxxml_get_values_cache_many(int module, int index, zxxml_values_struct **values,
                                zxxml_values_count_struct **counts) {
    return many(module, index, pick_values, as_cache(module, values, counts));
}
int zxxml_get_values_cache_many_copy(int module, int index, zxxml_values_struct *values,
                                     zxxml_values_count_struct *counts) {
    return many(module, index, pick_values, as_cache_copy(module, values, counts));
}
int zxxml_get_setup_xml_many(int module, int index, char **text, int *length) {
    return many(module, index, pick_setup, as_xml(text, length));
}
int zxxml_get_setup_xml_many_copy(int module, int index, char *buffer, int *length) {
    return many(module, index, pick_setup, as_copy(buffer, length));
}
int zxxml_get_setup_to_file_many(int module, int index, const char *path) {
    return many(module, index, pick_setup, as_file(module, path));
}
int zxxml_get_setup_cache_many(int module, int index, zxxml_setup_struct **setup,
                               zxxml_setup_count_struct **counts) {
    return many(module, index, pick_setup, as_cache(module, setup, counts));
}
int zxxml_get_setup_cache_many_copy(int module, int index, zxxml_setup_struct *setup,
                                    zxxml_setup_count_struct *counts) {
    return many(module, index, pick_setup, as_cache_copy(module, setup, counts));
}

int zxxml_get_values_many_status(int module, int index, int32_t *time) {
    return many_status(module, index, time, pick_values);
}
int zxxml_get_setup_many_status(int module, int index, int32_t *time) {
    return many_status(module, index, time, pick_setup);
}

}  // extern "C"
