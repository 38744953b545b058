// Helpers for the document tests: records on the heap, sample files, and
// documents generated from the field tables.
#pragma once

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "kalax/zxxml_records.h"
#include "sdk/xmldoc/records.h"

namespace doc_test {

using kalax::xmldoc::FieldDesc;
using kalax::xmldoc::ListDesc;

inline std::string ReadData(const std::string &name) {
    std::ifstream in(std::string(KALAX_TEST_DATA) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A record and its counts, zeroed, on the heap (the setup record is 126 KB).
template <class Record, class Counts>
struct Records {
    std::unique_ptr<Record> rec = std::make_unique<Record>();
    std::unique_ptr<Counts> cnt = std::make_unique<Counts>();
};
using ValuesRecords = Records<zxxml_values_struct, zxxml_values_count_struct>;
using SetupRecords = Records<zxxml_setup_struct, zxxml_setup_count_struct>;

// Text of slot `slot` of the field named `key` ("Root_..."), through the table.
inline std::string_view Field(const void *record, std::span<const FieldDesc> fields, std::string_view key,
                              int slot = 0) {
    for (const FieldDesc &f : fields)
        if (key == f.key) {
            const char *p = kalax::xmldoc::field_slot(record, f, slot);
            return {p, strnlen(p, static_cast<size_t>(f.width))};
        }
    return "<no such key>";
}

inline size_t KeyIndex(std::span<const FieldDesc> fields, std::string_view key) {
    for (size_t k = 0; k < fields.size(); ++k)
        if (key == fields[k].key) return k;
    return fields.size();
}

// A document holding every field of a table: plain fields each in their own
// nest of elements ("<Agent><Version>..</Version></Agent>"), and `entries[l]`
// entries for list l. `text(k, slot)` gives the text of field k in that slot.
inline std::string BuildDocument(std::span<const FieldDesc> fields, std::span<const ListDesc> lists,
                                 const std::vector<int> &entries,
                                 const std::function<std::string(size_t, int)> &text,
                                 std::string_view root = "Root") {
    auto nest = [](std::string_view path, const std::string &inner) {
        std::vector<std::string_view> parts;
        size_t start = 0;
        for (size_t i = 0; i <= path.size(); ++i)
            if (i == path.size() || path[i] == '_') {
                parts.push_back(path.substr(start, i - start));
                start = i + 1;
            }
        std::string out;
        for (auto p : parts) out.append("<").append(p).append(">");
        out += inner;
        for (size_t i = parts.size(); i-- > 0;) out.append("</").append(parts[i]).append(">");
        return out;
    };
    std::string doc = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    doc.append("<").append(root).append(">\n");
    for (size_t l = 0; l < lists.size(); ++l) {
        const std::string prefix = std::string(lists[l].entry_path).append("_");
        doc.append("<").append(lists[l].name).append(">\n");
        for (int k = 0; k < entries[l]; ++k) {
            doc += "<Entry>";
            for (size_t f = 0; f < fields.size(); ++f)
                if (fields[f].list == static_cast<int>(l))
                    doc += nest(std::string_view(fields[f].key).substr(prefix.size()), text(f, k));
            doc += "</Entry>\n";
        }
        doc.append("</").append(lists[l].name).append(">\n");
    }
    for (size_t f = 0; f < fields.size(); ++f)
        if (fields[f].list < 0) doc += nest(std::string_view(fields[f].key).substr(5), text(f, 0)) + "\n";
    doc.append("</").append(root).append(">\n");
    return doc;
}

// A text of exactly `len` characters that differs between fields and slots.
inline std::string Distinct(size_t key, int slot, size_t len) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    uint32_t x = static_cast<uint32_t>(key * 1000 + static_cast<size_t>(slot)) * 2654435761u + 12345u;
    std::string s;
    for (size_t i = 0; i < len; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s += kAlphabet[x % 62];
    }
    return s;
}

}  // namespace doc_test
