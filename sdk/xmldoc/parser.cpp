#include "sdk/xmldoc/parser.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/runtime/result_codes.h"
#include "sdk/xmldoc/records.h"
#include "sdk/xmldoc/root.h"
#include "sdk/xmldoc/sax.h"

namespace kalax::xmldoc {
namespace {

// The key path is "Root" and the names of the open elements joined by "_"; it
// was a 10000-byte text, so it holds at most this many characters. An element
// whose name would make it longer is ignored together with everything inside it.
constexpr size_t kKeyPathMax = 9999;

// Element names are looked up one "_"-separated component at a time in a tree
// built from the key table: node 0 is the empty path, every other node one key
// path prefix ending at a component boundary. Since every element appends "_"
// and its name, tracking the node of the current path answers "which key is
// this" with one table probe per component instead of comparing the whole path
// against every key for every piece of text.
class KeyTree {
public:
    static constexpr int kNone = -1;

    KeyTree(std::span<const FieldDesc> fields, std::span<const ListDesc> lists) {
        nodes_.push_back({});
        for (const FieldDesc &f : fields) nodes_[static_cast<size_t>(insert(f.key))].field = &f;
        for (size_t l = 0; l < lists.size(); ++l)
            nodes_[static_cast<size_t>(insert(lists[l].entry_path))].list = static_cast<int>(l);
        for (const Node &n : nodes_) {
            Hot h{};
            if (n.field != nullptr) {
                h.field = true;
                h.offset = static_cast<uint32_t>(n.field->offset);
                h.width = static_cast<uint8_t>(n.field->width);
                h.capacity = static_cast<uint8_t>(n.field->capacity);
                h.list = static_cast<int8_t>(n.field->list);
            }
            h.counted = static_cast<int8_t>(n.list);
            h.entry = n.entry;
            h.c0 = n.name.empty() ? '\0' : n.name[0];
            h.c1 = n.name.size() < 2 ? '\0' : n.name[1];
            hot_.push_back(h);
        }
        size_t size = 16;
        while (size < edges_.size() * 4) size *= 2;
        slots_.assign(size, Edge{});
        mask_ = static_cast<uint32_t>(size - 1);
        for (const Edge &e : edges_) {
            uint32_t i = probe_start(e.parent, e.hash);
            while (slots_[i].child != kNone) i = (i + 1) & mask_;
            slots_[i] = e;
        }
    }

    // Node reached from `node` by the element name `name` (one or more
    // components), kNone when that path is no prefix of a key. Sets `len` to
    // the name's length and `single` when the name has no "_".
    int walk(int node, const unsigned char *name, size_t &len, bool &single) const {
        const unsigned char *start = name;
        const unsigned char *p = name;
        uint32_t h = kHashSeed;
        single = true;
        for (;; ++p) {
            const unsigned char c = *p;
            if (c != '_' && c != '\0') {
                h = hash_step(h, c);
                continue;
            }
            if (node != kNone) node = child(node, start, static_cast<size_t>(p - start), h);
            if (c == '\0') break;
            single = false;
            start = p + 1;
            h = kHashSeed;
        }
        len = static_cast<size_t>(p - name);
        return node;
    }
    // What the callbacks need of a node, packed so that a document's worth of
    // nodes stays in a few cache lines.
    struct Hot {
        uint32_t offset;  // of the node's field in the record
        uint8_t width;    // of the field; the widest is 152
        uint8_t capacity;
        int8_t list;      // count index of the field's list, -1 for a plain field
        int8_t counted;   // count index of the list whose <Entry> path this is, or -1
        bool field;       // the node's path is a key
        bool entry;       // last component is "Entry"
        char c0, c1;      // first two characters of the last component
    };
    const Hot *hot() const { return hot_.data(); }
    // The node's last component, terminated.

    // Length of the key path the node stands for.
    size_t path_len(int node) const { return nodes_[static_cast<size_t>(node)].path_len; }

private:
    struct Node {
        const FieldDesc *field = nullptr;  // the field whose key path this is
        int list = kNone;                  // counted list whose <Entry> path this is
        std::string name;
        size_t path_len = 0;
        bool entry = false;  // last component is "Entry"
    };
    struct Edge {
        int parent = kNone;
        int child = kNone;
        uint32_t hash = 0;
        size_t len = 0;
        const char *name = nullptr;  // in the static key texts
    };

    static uint32_t hash_step(uint32_t h, unsigned char c) { return (h ^ c) * 16777619u; }
    static constexpr uint32_t kHashSeed = 2166136261u;

    uint32_t probe_start(int parent, uint32_t hash) const {
        return (hash ^ (static_cast<uint32_t>(parent) * 0x9E3779B1u)) & mask_;
    }

    // Child of `node` named by the component [name, name + len) with hash `hash`.
    int child(int node, const unsigned char *name, size_t len, uint32_t hash) const {
        for (uint32_t i = probe_start(node, hash);; i = (i + 1) & mask_) {
            const Edge &e = slots_[i];
            if (e.child == kNone) return kNone;
            if (e.hash == hash && e.parent == node && e.len == len && std::memcmp(e.name, name, len) == 0)
                return e.child;
        }
    }

    // Walks `path` component by component, adding missing nodes; its node.
    int insert(const char *path) {
        int node = 0;
        const char *start = path;
        for (const char *p = path;; ++p) {
            if (*p != '_' && *p != '\0') continue;
            const size_t len = static_cast<size_t>(p - start);
            uint32_t h = kHashSeed;
            for (size_t i = 0; i < len; ++i) h = hash_step(h, static_cast<unsigned char>(start[i]));
            int found = kNone;
            for (const Edge &e : edges_)
                if (e.parent == node && e.len == len && std::memcmp(e.name, start, len) == 0) found = e.child;
            if (found == kNone) {
                found = static_cast<int>(nodes_.size());
                Node n;
                n.name.assign(start, len);
                n.path_len = static_cast<size_t>(p - path);
                n.entry = n.name == "Entry";
                nodes_.push_back(std::move(n));
                edges_.push_back(Edge{node, found, h, len, start});
            }
            node = found;
            if (*p == '\0') return node;
            start = p + 1;
        }
    }

    std::vector<Node> nodes_;
    std::vector<Hot> hot_;
    std::vector<Edge> edges_;
    std::vector<Edge> slots_;
    uint32_t mask_ = 0;
};

const KeyTree &values_tree() {
    static const KeyTree tree(values_fields(), values_lists());
    return tree;
}
const KeyTree &setup_tree() {
    static const KeyTree tree(setup_fields(), setup_lists());
    return tree;
}

// Everything one parse needs; lives on the caller's stack for the call.
//
// While every open element's path is a prefix of some key ("on the tree"),
// the path is fully described by its tree node. Once an element leaves the
// tree, nothing below it can name a field; then only the path's length (for
// the 9999 limit) and the number of open elements are followed.
struct ParseState : SaxState {
    const KeyTree *tree = nullptr;
    const KeyTree::Hot *hot = nullptr;
    std::span<const ListDesc> lists;
    char *record = nullptr;
    void *counts = nullptr;

    int node = 0;         // tree node of the path while on the tree
    int off_tree = 0;     // open elements since the path left the tree
    size_t off_len = 0;   // path length while off the tree
    int ignored = 0;      // open elements too deep for the key path

    // One frame per open element on the tree: the node to return to, shifted
    // left, with bit 0 set when the element is an <Entry>. Tree paths have a
    // handful of components, so on the tree the stack never fills.
    std::array<int, 32> stack{};
    size_t depth = 0;

    int entry = 0;  // slot for list fields
    // Tree node of the most recently started <Entry>, kNone when its path is
    // not on the tree. Paths off the tree can stand for one another: the entry
    // index is 0 whenever the last Entry path is one of them.
    int last_entry = KeyTree::kNone;

    // The field slot text goes to at this point, null when none: worked out
    // whenever the path or the entry index changes, not for every piece.
    char *target = nullptr;
    size_t width = 0;

    // The XML parser hands the callbacks element names from its dictionary,
    // one copy per distinct name that lives until the parse ends, so within
    // one parse an address always spells the same name. Remembering
    // (address, parent) -> child for names met before skips hashing and
    // probing. The table lives and dies with the parse; a hit also has to
    // agree on the first two characters, as a guard against a parser that
    // would one day reuse name memory.
    struct Seen {
        const xmlChar *name;
        int parent;
        int child;
    };
    static constexpr unsigned kSeenBits = 9;
    std::array<Seen, 1u << kSeenBits> seen{};

    Seen &seen_slot(const xmlChar *name, int parent) {
        const uint64_t h = (reinterpret_cast<uintptr_t>(name) + static_cast<uint64_t>(parent)) * 0x9E3779B97F4A7C15ull;
        return seen[h >> (64 - kSeenBits)];
    }

    // Sets the target for the current node; only called on the tree.
    void aim() {
        const KeyTree::Hot &h = hot[node];
        target = nullptr;
        if (!h.field) return;
        int slot = 0;
        if (h.list >= 0) {
            // Entries past the capacity have no slot; their text is dropped.
            if (entry >= h.capacity) return;
            slot = entry;
        }
        target = record + h.offset + static_cast<size_t>(slot) * h.width;
        width = h.width;
    }

    // Whether `name` starts like `node`'s last component; the second byte is
    // read only after the first, which a name always has, matched.
    bool begins(int node, const xmlChar *name) const {
        const KeyTree::Hot &h = hot[node];
        return name[0] == static_cast<unsigned char>(h.c0) && name[1] == static_cast<unsigned char>(h.c1);
    }

    // An element that keeps the path on the tree, at `child`.
    void enter(int child, bool is_entry) {
        stack[depth++] = node << 1 | static_cast<int>(is_entry);
        node = child;
        if (is_entry) {
            if (child != last_entry) entry = 0;
            last_entry = child;
        }
        aim();
    }
};

bool is_entry(const unsigned char *name, size_t len) { return len == 5 && std::memcmp(name, "Entry", 5) == 0; }

// End of an <Entry> while the last started <Entry> is on the tree.
[[gnu::noinline]] void count_entry(ParseState &s) {
    const int list = s.hot[s.last_entry].counted;
    if (list < 0) return;
    // Past the capacity the count stays at the capacity and so does the entry
    // index, which keeps later entries out of the arrays.
    int32_t count = count_at(s.counts, list);
    if (count < s.lists[static_cast<size_t>(list)].capacity) set_count_at(s.counts, list, ++count);
    s.entry = count;
}

// An element that takes the path off the tree (`len`: its name's length).
[[gnu::noinline]] void leave_tree(ParseState &s, size_t len, bool entry) {
    s.target = nullptr;
    const size_t base = s.tree->path_len(s.node);
    const size_t path_len = base ? base + 1 + len : len;
    if (path_len > kKeyPathMax) {
        s.ignored = 1;
        return;
    }
    s.off_len = path_len;
    s.off_tree = 1;
    if (entry) {
        s.entry = 0;
        s.last_entry = KeyTree::kNone;
    }
}

[[gnu::noinline]] void start_off_tree(ParseState &s, const xmlChar *name) {
    if (s.ignored) {
        ++s.ignored;
        return;
    }
    const size_t len = std::strlen(reinterpret_cast<const char *>(name));
    if (s.off_len + 1 + len > kKeyPathMax) {
        s.ignored = 1;
        return;
    }
    s.off_len += 1 + len;
    ++s.off_tree;
    if (is_entry(name, len)) {
        s.entry = 0;
        s.last_entry = KeyTree::kNone;
    }
}

[[gnu::noinline]] void end_off_tree(ParseState &s, const xmlChar *name) {
    if (s.ignored) {
        if (--s.ignored == 0 && s.off_tree == 0) s.aim();
        return;
    }
    const size_t len = std::strlen(reinterpret_cast<const char *>(name));
    if (is_entry(name, len) && s.last_entry != KeyTree::kNone) count_entry(s);
    s.off_len -= std::min(s.off_len, len + 1);
    if (--s.off_tree == 0) s.aim();
}

// Looks the name up in the tree: the way in for names not seen before.
[[gnu::noinline]] void start_lookup(ParseState &s, const xmlChar *name) {
    size_t len;
    bool single;
    const int node = s.tree->walk(s.node, name, len, single);
    const bool entry = is_entry(name, len);
    if (node == KeyTree::kNone || s.depth == s.stack.size()) {
        leave_tree(s, len, entry);
        return;
    }
    if (single) s.seen_slot(name, s.node) = {name, s.node, node};
    s.enter(node, entry);
}

// The three callbacks keep their common case free of calls: a name already
// seen under the same parent, a piece of text for no field.

void on_start(void *user, const xmlChar *name, const xmlChar **) {
    ParseState &s = sax_state<ParseState>(user);
    if (s.off_tree | s.ignored) {
        start_off_tree(s, name);
        return;
    }
    const ParseState::Seen &seen = s.seen_slot(name, s.node);
    if (seen.name == name && seen.parent == s.node && s.depth < s.stack.size() && s.begins(seen.child, name)) {
        s.enter(seen.child, s.hot[seen.child].entry);
        return;
    }
    start_lookup(s, name);
}

void on_end(void *user, const xmlChar *name) {
    ParseState &s = sax_state<ParseState>(user);
    if (s.off_tree | s.ignored) {
        end_off_tree(s, name);
        return;
    }
    if (s.depth == 0) return;  // the parser reports no end it did not start
    const int frame = s.stack[--s.depth];
    if ((frame & 1) && s.last_entry != KeyTree::kNone) count_entry(s);
    s.node = frame >> 1;
    s.aim();
}

void on_characters(void *user, const xmlChar *chars, int len) {
    ParseState &s = sax_state<ParseState>(user);
    char *field = s.target;
    if (field == nullptr || len <= 0 || s.stopped) return;
    size_t have = 0;
    while (have < s.width && field[have] != '\0') ++have;
    const size_t add = static_cast<size_t>(len);
    // Whole pieces only: a piece that would leave no room for the terminator
    // (and one spare byte) is dropped, never cut.
    if (have + add + 1 >= s.width) return;
    for (size_t i = 0; i < add; ++i) field[have + i] = static_cast<char>(chars[i]);
    field[have + add] = '\0';
}

int parse(const KeyTree &(*tree)(), std::span<const ListDesc> lists,
          std::string_view root_pattern, char *text, int length, void *record, size_t record_size, void *counts,
          size_t counts_size) {
    if (record == nullptr || counts == nullptr) return kNULL_POINTER;
    std::memset(record, 0, record_size);
    std::memset(counts, 0, counts_size);
    const KeyTree *index;
    try {
        index = &tree();
    } catch (const std::bad_alloc &) {
        return kMEMORY;
    }
    rewrite_root(text, length, root_pattern);

    ParseState state;
    state.tree = index;
    state.hot = index->hot();
    state.lists = lists;
    state.record = static_cast<char *>(record);
    state.counts = counts;
    const int rc = sax_parse(state, on_start, on_end, on_characters, text, length);
    // A parse cut short for want of memory is neither the document nor one
    // that is not valid. A document the parser gave up on is taken with what
    // came before the fault, so a stray "&" in one name does not cost the
    // whole document; but one that never got to its root's end tag was cut on
    // the way (the unit fell silent or the connection ended), and nothing
    // tells what was lost.
    const bool cut = state.stopped && !has_root_end_tag(std::string_view(text, static_cast<size_t>(length)));
    if (rc < 0 || state.out_of_memory || cut) {
        std::memset(record, 0, record_size);
        std::memset(counts, 0, counts_size);
        return state.out_of_memory ? kMEMORY : kXML_NOT_VALID;
    }
    return 0;
}

}  // namespace

int parse_values(char *text, int length, zxxml_values_struct *values, zxxml_values_count_struct *counts) {
    return parse(values_tree, values_lists(), "<val:Root", text, length, values, sizeof *values,
                 counts, sizeof *counts);
}

int parse_setup(char *text, int length, zxxml_setup_struct *setup, zxxml_setup_count_struct *counts) {
    return parse(setup_tree, setup_lists(), "<set:Root", text, length, setup, sizeof *setup, counts,
                 sizeof *counts);
}

}  // namespace kalax::xmldoc
