// Field tables of the values and setup records, derived from the one field
// description in kalax/zxxml_records.h. The parser, the setup writer and the
// tests all walk these tables instead of naming fields one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "kalax/zxxml_records.h"

namespace kalax::xmldoc {

struct FieldDesc {
    const char *key;  // key path, "Root_" + the field's name
    size_t offset;    // of the field (slot 0 of a list field) in the record
    int width;        // bytes per slot, terminator included
    int capacity;     // slots; 1 for a plain field
    int list;         // index into the count record, -1 for a plain field
};

// A counted list: its count sits at index `list` of the count record.
struct ListDesc {
    const char *name;        // "BinaryInSet"
    const char *entry_path;  // "Root_BinaryInSet_Entry", the path of its <Entry> elements
    int capacity;
};

inline constexpr size_t kValuesKeyCount = 45;
inline constexpr size_t kSetupKeyCount = 160;
inline constexpr size_t kValuesListCount = 3;
inline constexpr size_t kSetupListCount = 9;

// Tables in record order (which is also key-number order).
std::span<const FieldDesc> values_fields();
std::span<const FieldDesc> setup_fields();
// Tables in count-record order.
std::span<const ListDesc> values_lists();
std::span<const ListDesc> setup_lists();

// Slot `slot` of a field inside a record; the caller keeps `slot` below the capacity.
inline char *field_slot(void *record, const FieldDesc &f, int slot) {
    return static_cast<char *>(record) + f.offset + static_cast<size_t>(slot) * static_cast<size_t>(f.width);
}
inline const char *field_slot(const void *record, const FieldDesc &f, int slot) {
    return static_cast<const char *>(record) + f.offset + static_cast<size_t>(slot) * static_cast<size_t>(f.width);
}

// Count records are packed C structs of int32 counts; read and write them
// without assuming the caller's block is aligned.
inline int32_t count_at(const void *counts, int list) {
    int32_t v;
    std::memcpy(&v, static_cast<const char *>(counts) + static_cast<size_t>(list) * sizeof v, sizeof v);
    return v;
}
inline void set_count_at(void *counts, int list, int32_t v) {
    std::memcpy(static_cast<char *>(counts) + static_cast<size_t>(list) * sizeof v, &v, sizeof v);
}

}  // namespace kalax::xmldoc
