#include "sdk/xmldoc/records.h"

#include <cstddef>
#include <iterator>
#include <string_view>

namespace kalax::xmldoc {
namespace {

// Count-record positions of the lists, named after the lists themselves.
#define KALAX_LIST_INDEX_(list, capacity) list,
namespace values_list {
enum : int { ZXXML_VALUES_LISTS(KALAX_LIST_INDEX_) };
}
namespace setup_list {
enum : int { ZXXML_SETUP_LISTS(KALAX_LIST_INDEX_) };
}
#undef KALAX_LIST_INDEX_

#define KALAX_LIST_DESC_(list, capacity) ListDesc{#list, "Root_" #list "_Entry", capacity},
constexpr ListDesc kValuesLists[] = {ZXXML_VALUES_LISTS(KALAX_LIST_DESC_)};
constexpr ListDesc kSetupLists[] = {ZXXML_SETUP_LISTS(KALAX_LIST_DESC_)};
#undef KALAX_LIST_DESC_

#define KALAX_VALUES_FIELD_(name, width) FieldDesc{"Root_" #name, offsetof(zxxml_values_struct, name), width, 1, -1},
#define KALAX_VALUES_LIST_FIELD_(list, capacity, name, width) \
    FieldDesc{"Root_" #name, offsetof(zxxml_values_struct, name), width, capacity, values_list::list},
constexpr FieldDesc kValuesFields[] = {ZXXML_VALUES_FIELDS(KALAX_VALUES_FIELD_, KALAX_VALUES_LIST_FIELD_)};
#undef KALAX_VALUES_FIELD_
#undef KALAX_VALUES_LIST_FIELD_

#define KALAX_SETUP_FIELD_(name, width) FieldDesc{"Root_" #name, offsetof(zxxml_setup_struct, name), width, 1, -1},
#define KALAX_SETUP_LIST_FIELD_(list, capacity, name, width) \
    FieldDesc{"Root_" #name, offsetof(zxxml_setup_struct, name), width, capacity, setup_list::list},
constexpr FieldDesc kSetupFields[] = {ZXXML_SETUP_FIELDS(KALAX_SETUP_FIELD_, KALAX_SETUP_LIST_FIELD_)};
#undef KALAX_SETUP_FIELD_
#undef KALAX_SETUP_LIST_FIELD_

// The tables must describe the packed structs exactly: fields back to back after
// `time`, list fields with their list's capacity and under its "<list>_Entry_"
// element, nothing left over at the end. (Key paths are unique because they
// are member names of one struct.)
template <size_t N, size_t M>
constexpr bool describes(const FieldDesc (&fields)[N], const ListDesc (&lists)[M], size_t record_size) {
    size_t at = sizeof(int32_t);
    for (const FieldDesc &f : fields) {
        if (f.offset != at || f.width < 2 || f.capacity < 1) return false;
        const std::string_view key(f.key);
        if (!key.starts_with("Root_")) return false;
        if (f.list >= 0) {
            if (static_cast<size_t>(f.list) >= M || lists[f.list].capacity != f.capacity) return false;
            const std::string_view entry(lists[f.list].entry_path);
            if (!key.starts_with(entry) || key.size() <= entry.size() + 1 || key[entry.size()] != '_') return false;
        } else if (f.capacity != 1) {
            return false;
        }
        at += static_cast<size_t>(f.width) * static_cast<size_t>(f.capacity);
    }
    return at == record_size;
}

static_assert(std::size(kValuesFields) == kValuesKeyCount, "values key table");
static_assert(std::size(kSetupFields) == kSetupKeyCount, "setup key table");
static_assert(std::size(kValuesLists) == kValuesListCount, "values lists");
static_assert(std::size(kSetupLists) == kSetupListCount, "setup lists");
static_assert(describes(kValuesFields, kValuesLists, sizeof(zxxml_values_struct)), "values record layout");
static_assert(describes(kSetupFields, kSetupLists, sizeof(zxxml_setup_struct)), "setup record layout");
static_assert(sizeof(zxxml_values_count_struct) == kValuesListCount * sizeof(int32_t), "values counts");
static_assert(sizeof(zxxml_setup_count_struct) == kSetupListCount * sizeof(int32_t), "setup counts");

#define KALAX_COUNT_AT_(list, capacity) \
    &&offsetof(zxxml_values_count_struct, list) == static_cast<size_t>(values_list::list) * sizeof(int32_t)
static_assert(true ZXXML_VALUES_LISTS(KALAX_COUNT_AT_), "values count order");
#undef KALAX_COUNT_AT_
#define KALAX_COUNT_AT_(list, capacity) \
    &&offsetof(zxxml_setup_count_struct, list) == static_cast<size_t>(setup_list::list) * sizeof(int32_t)
static_assert(true ZXXML_SETUP_LISTS(KALAX_COUNT_AT_), "setup count order");
#undef KALAX_COUNT_AT_

}  // namespace

std::span<const FieldDesc> values_fields() { return kValuesFields; }
std::span<const FieldDesc> setup_fields() { return kSetupFields; }
std::span<const ListDesc> values_lists() { return kValuesLists; }
std::span<const ListDesc> setup_lists() { return kSetupLists; }

}  // namespace kalax::xmldoc
