#include "sdk/xmldoc/reduce.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/runtime/result_codes.h"
#include "sdk/xmldoc/sax.h"

namespace kalax::xmldoc {
namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
// Limits of the unit's own tables: a key path of 10000 bytes, an Idx text of
// 100 bytes, 1000 Idx items of which one is always the spare after the last
// value.
constexpr size_t kKeyPathMax = 9999;
constexpr size_t kIdxTextMax = 99;
constexpr size_t kItemsMax = 1000;

// Elements (with everything inside) the unit must not be sent.
constexpr std::array<std::string_view, 19> kExcluded = {
    "Root_Agent",           "Root_BinaryInSet_Entry_Value", "Root_BinaryInSet_Entry_State",
    "Root_BinaryOutSet_Entry_Type", "Root_SenSet_Entry_Value",   "Root_SenSet_Entry_Units",
    "Root_SenSet_Entry_State",      "Root_Network_IPAddr",       "Root_Network_Submask",
    "Root_Network_Gateway",         "Root_Network_HTTPport",     "Root_Network_DHCP",
    "Root_Time_TimeShift",          "Root_Time_Date",            "Root_Time_Time",
    "Root_MIBIISysGroup_SysName",   "Root_User_Entry_Idx",       "Root_User_Entry_Name",
    "Root_User_Entry_Pswd"};

bool excluded(std::string_view path) {
    return std::find(kExcluded.begin(), kExcluded.end(), path) != kExcluded.end();
}

// One Idx value: the key path of the element that held the <Idx> and its text.
struct Item {
    std::string path;
    std::string idx;
};

// Pass 1 collects the Idx items in document order; pass 2 writes the document
// without the excluded elements and the <Idx> elements, handing each item out
// right after the start tag of the next element whose path is the item's path.
struct Reduction : SaxState {
    int pass = 1;
    bool copy = true;
    bool in_idx = false;
    bool idx_has_text = false;  // the open <Idx> already made an item
    std::vector<Item> items;
    size_t item = 0;
    bool alloc_failed = false;
    bool overflow = false;  // pass 2 matched the spare item
    bool full = false;      // a limit above or the output bound was hit
    std::string path;
    int depth = 0;           // open elements
    bool root_done = false;  // the root element ended before any fault

    // Output without the declaration, LF runs collapsed as it is written.
    std::vector<char> out;
    size_t out_max = 0;
    char last = '\0';

    bool halted() const { return stopped || alloc_failed || full; }

    void emit(std::string_view s) {
        try {
            for (const char c : s) {
                if (c == '\n' && last == '\n') continue;
                if (out.size() >= out_max) {
                    full = true;
                    return;
                }
                out.push_back(c);
                last = c;
            }
        } catch (const std::bad_alloc &) {
            alloc_failed = true;  // nothing may unwind through the XML parser
        }
    }
    // Character data as the parser delivered it, entities resolved: written
    // escaped again, so that the unit reads the text the document held.
    void emit_text(std::string_view s) {
        put_escaped(s, [this](std::string_view piece) { emit(piece); });
    }
    void emit_tag(std::string_view open, std::string_view name) {
        emit(open);
        emit(name);
        emit(">");
    }
};

std::string_view as_view(const xmlChar *s) { return reinterpret_cast<const char *>(s); }

void on_start(void *user, const xmlChar *element, const xmlChar **) {
    Reduction &r = sax_state<Reduction>(user);
    if (r.halted()) return;
    ++r.depth;
    const std::string_view name = as_view(element);
    const bool idx = name == "Idx";
    try {
        if (idx) {
            if (r.pass == 1) r.items[r.item].path = r.path;
            r.in_idx = true;
            r.idx_has_text = false;
        }
        if ((r.path.empty() ? 0 : r.path.size() + 1) + name.size() > kKeyPathMax) {
            r.full = true;
            return;
        }
        if (!r.path.empty()) r.path += '_';
        r.path += name;
    } catch (const std::bad_alloc &) {
        r.alloc_failed = true;
        return;
    }
    if (excluded(r.path))
        r.copy = false;
    else if (idx && r.pass == 2)
        r.copy = false;
    if (r.pass != 2) return;
    if (r.copy && !idx) r.emit_tag("<", name);
    const Item &it = r.items[r.item];
    if (r.path == it.path) {
        r.emit("\n<Idx>");
        r.emit_text(it.idx);
        r.emit("</Idx>");
        if (++r.item == r.items.size()) {
            r.overflow = true;
            --r.item;
        }
    }
}

void on_characters(void *user, const xmlChar *chars, int len) {
    Reduction &r = sax_state<Reduction>(user);
    if (r.halted() || len <= 0) return;
    // Whole pieces: a text is never cut (the output bound refuses what does
    // not fit).
    const std::string_view piece(reinterpret_cast<const char *>(chars), static_cast<size_t>(len));
    if (r.pass == 1 && r.in_idx) {
        try {
            if (r.idx_has_text) {
                // A text in several pieces ("1&amp;2", a CR) is one value:
                // an item per piece would hand the rest of the pieces to no
                // element and stall every later Idx value behind them.
                std::string &text = r.items[r.item - 1].idx;
                if (text.size() + piece.size() > kIdxTextMax) {
                    r.full = true;
                    return;
                }
                text += piece;
                return;
            }
            if (piece.size() > kIdxTextMax || r.item + 1 >= kItemsMax) {
                r.full = true;
                return;
            }
            r.items[r.item].idx.assign(piece);
            r.items.emplace_back();
            ++r.item;
            r.idx_has_text = true;
        } catch (const std::bad_alloc &) {
            r.alloc_failed = true;
        }
    } else if (r.pass == 2 && r.copy && !r.in_idx) {
        r.emit_text(piece);
    }
}

void on_end(void *user, const xmlChar *element) {
    Reduction &r = sax_state<Reduction>(user);
    if (r.halted()) return;
    if (--r.depth == 0) r.root_done = true;
    const std::string_view name = as_view(element);
    const bool idx = name == "Idx";
    if (idx) r.in_idx = false;
    if (r.pass == 2 && r.copy && !idx) r.emit_tag("</", name);
    if (excluded(r.path))
        r.copy = true;
    else if (idx && r.pass == 2)
        r.copy = true;
    // The name and the "_" before it.
    const size_t drop = std::min(r.path.size(), name.size() + (r.path.size() > name.size() ? 1 : 0));
    r.path.resize(r.path.size() - drop);
}

}  // namespace

int prepare_setup(char *text, size_t size) {
    // The XML parser takes an int length.
    if (text == nullptr || size == 0 || size > static_cast<size_t>(INT_MAX)) return kXML_NOT_VALID;

    Reduction r;
    try {
        r.items.emplace_back();
        r.path.reserve(256);
        r.out_max = size > kDeclaration.size() ? size - kDeclaration.size() - 1 : 0;
        r.out.reserve(std::min<size_t>(r.out_max, 1 << 16));
    } catch (const std::bad_alloc &) {
        return kMEMORY;
    }
    for (const int pass : {1, 2}) {
        r.pass = pass;
        // A document cut inside an excluded element ends pass 1 with copying
        // off; pass 2 must still copy what comes before that element.
        r.copy = true;
        r.in_idx = false;
        r.item = 0;
        r.path.clear();
        r.depth = 0;
        r.root_done = false;
        r.stopped = false;
        const int rc = sax_parse(r, on_start, on_end, on_characters, text, static_cast<int>(size));
        // A pass cut short for want of memory would send a cut document.
        if (r.out_of_memory || r.alloc_failed) return kMEMORY;
        if (rc < 0) return kXML_NOT_VALID;
        if (r.overflow) return kNULL_POINTER;
        if (r.full) return kBUFFER_FULL;
        // A fault before the root element ended (a raw "&", a cut or a missing
        // end tag) would send the unit part of what the caller meant; what the
        // parser says about bytes after the root (the zero bytes that pad
        // the working copy) does not matter.
        if (!r.root_done) return kXML_NOT_VALID;
    }
    if (kDeclaration.size() + r.out.size() + 1 > size) return kBUFFER_FULL;

    std::memset(text, 0, size);
    std::memcpy(text, kDeclaration.data(), kDeclaration.size());
    if (!r.out.empty()) std::memcpy(text + kDeclaration.size(), r.out.data(), r.out.size());
    return 0;
}

}  // namespace kalax::xmldoc
