#include "sdk/xmldoc/parser.h"

#include <libxml/parser.h>
#include <libxml/xmlversion.h>

#include <array>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "sdk/runtime/result_codes.h"
#include "sdk/xmldoc/records.h"

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
        for (size_t k = 0; k < fields.size(); ++k) nodes_[static_cast<size_t>(insert(fields[k].key))].key = static_cast<int>(k);
        for (size_t l = 0; l < lists.size(); ++l)
            nodes_[static_cast<size_t>(insert(lists[l].entry_path))].list = static_cast<int>(l);
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

    static uint32_t hash_step(uint32_t h, unsigned char c) { return (h ^ c) * 16777619u; }
    static constexpr uint32_t kHashSeed = 2166136261u;

    // Child of `node` named by the component [name, name + len) with hash `hash`.
    int child(int node, const unsigned char *name, size_t len, uint32_t hash) const {
        for (uint32_t i = probe_start(node, hash);; i = (i + 1) & mask_) {
            const Edge &e = slots_[i];
            if (e.child == kNone) return kNone;
            if (e.hash == hash && e.parent == node && e.len == len && std::memcmp(e.name, name, len) == 0)
                return e.child;
        }
    }
    int key(int node) const { return nodes_[static_cast<size_t>(node)].key; }
    int list(int node) const { return nodes_[static_cast<size_t>(node)].list; }

private:
    struct Node {
        int key = kNone;   // key number whose path this is
        int list = kNone;  // counted list whose <Entry> path this is
    };
    struct Edge {
        int parent = kNone;
        int child = kNone;
        uint32_t hash = 0;
        size_t len = 0;
        const char *name = nullptr;  // points into the static key texts
    };

    uint32_t probe_start(int parent, uint32_t hash) const {
        return (hash ^ (static_cast<uint32_t>(parent) * 0x9E3779B1u)) & mask_;
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
                nodes_.push_back({});
                edges_.push_back(Edge{node, found, h, len, start});
            }
            node = found;
            if (*p == '\0') return node;
            start = p + 1;
        }
    }

    std::vector<Node> nodes_;
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
struct ParseState {
    const KeyTree *tree;
    std::span<const FieldDesc> fields;
    std::span<const ListDesc> lists;
    char *record;
    void *counts;

    size_t path_len = 0;  // characters the key path would have
    int node = 0;         // tree node of the key path while it is on the tree
    int off_tree = 0;     // open elements since the key path left the tree
    int ignored = 0;      // open elements too deep for the key path
    // Tree nodes of the enclosing elements while on the tree; no key path has
    // this many components, so a deeper element is off the tree anyway.
    std::array<int, 32> stack{};
    size_t depth = 0;

    int entry = 0;  // slot for list fields
    // Tree node of the most recently started <Entry>, kNone when its path is
    // not on the tree. Paths off the tree can stand for one another: the entry
    // index is 0 whenever the last Entry path is one of them.
    int last_entry = KeyTree::kNone;
};

// The callbacks get the parser context as their user data (none is passed), so
// the parse in progress is found through the calling thread.
thread_local ParseState *t_parse = nullptr;

class ParseScope {
public:
    explicit ParseScope(ParseState *s) : saved_(t_parse) { t_parse = s; }
    ~ParseScope() { t_parse = saved_; }
    ParseScope(const ParseScope &) = delete;
    ParseScope &operator=(const ParseScope &) = delete;

private:
    ParseState *saved_;
};

// With no user data of our own, the callbacks' user data is the XML parser's
// context. After a fatal error the parser stops reporting elements but, on
// some paths, still hands out character data; such text belongs to no element
// we know the path of, so it is dropped like everything after the fault.
bool sax_stopped(void *ctx) { return static_cast<xmlParserCtxtPtr>(ctx)->disableSAX != 0; }

bool is_entry(const unsigned char *name, size_t len) { return len == 5 && std::memcmp(name, "Entry", 5) == 0; }

void on_start(void *, const xmlChar *name, const xmlChar **) {
    ParseState &s = *t_parse;
    if (s.ignored) {
        ++s.ignored;
        return;
    }
    // One pass over the name: its length, and the tree walk over its components.
    int node = s.off_tree ? KeyTree::kNone : s.node;
    const unsigned char *start = name;
    const unsigned char *p = name;
    uint32_t h = KeyTree::kHashSeed;
    for (;; ++p) {
        const unsigned char c = *p;
        if (c != '_' && c != '\0') {
            h = KeyTree::hash_step(h, c);
            continue;
        }
        if (node != KeyTree::kNone) node = s.tree->child(node, start, static_cast<size_t>(p - start), h);
        if (c == '\0') break;
        start = p + 1;
        h = KeyTree::kHashSeed;
    }
    const size_t len = static_cast<size_t>(p - name);
    const size_t path_len = s.path_len ? s.path_len + 1 + len : len;
    if (path_len > kKeyPathMax) {
        s.ignored = 1;
        return;
    }
    s.path_len = path_len;
    if (node != KeyTree::kNone && s.depth < s.stack.size()) {
        s.stack[s.depth++] = s.node;
        s.node = node;
    } else {
        node = KeyTree::kNone;
        ++s.off_tree;
    }
    if (is_entry(name, len)) {
        if (node == KeyTree::kNone || node != s.last_entry) s.entry = 0;
        s.last_entry = node;
    }
}

void on_end(void *, const xmlChar *name) {
    ParseState &s = *t_parse;
    if (s.ignored) {
        --s.ignored;
        return;
    }
    const size_t len = std::strlen(reinterpret_cast<const char *>(name));
    if (is_entry(name, len) && s.last_entry != KeyTree::kNone) {
        const int list = s.tree->list(s.last_entry);
        if (list != KeyTree::kNone) {
            // Entries past the capacity have no slots: the count stays at the
            // capacity and so does the entry index, which makes their fields
            // fall outside every list array and be dropped.
            int32_t count = count_at(s.counts, list);
            if (count < s.lists[static_cast<size_t>(list)].capacity) set_count_at(s.counts, list, ++count);
            s.entry = count;
        }
    }
    s.path_len = s.path_len > len ? s.path_len - len - 1 : 0;
    if (s.off_tree)
        --s.off_tree;
    else if (s.depth)
        s.node = s.stack[--s.depth];
}

void on_characters(void *ctx, const xmlChar *chars, int len) {
    ParseState &s = *t_parse;
    if (s.ignored || s.off_tree || len <= 0 || sax_stopped(ctx)) return;
    const int key = s.tree->key(s.node);
    if (key == KeyTree::kNone) return;
    const FieldDesc &f = s.fields[static_cast<size_t>(key)];
    int slot = 0;
    if (f.list >= 0) {
        if (s.entry >= f.capacity) return;
        slot = s.entry;
    }
    char *field = field_slot(s.record, f, slot);
    const size_t width = static_cast<size_t>(f.width);
    const size_t have = strnlen(field, width);
    const size_t add = static_cast<size_t>(len);
    // Whole pieces only: a piece that would leave no room for the terminator
    // (and one spare byte) is dropped, never cut.
    if (have + add + 1 < width) {
        std::memcpy(field + have, chars, add);
        field[have + add] = '\0';
    }
}

// Rewrites a namespaced root start tag to "<Root>" and spaces, in place.
void rewrite_root(char *text, int length, std::string_view pattern) {
    if (text == nullptr || length <= 0) return;
    const std::string_view doc(text, static_cast<size_t>(length));
    const size_t at = doc.find(pattern);
    if (at == std::string_view::npos || at + pattern.size() >= doc.size()) return;
    const size_t close = doc.find('>', at);
    if (close == std::string_view::npos) return;
    std::memset(text + at, ' ', close - at + 1);
    std::memcpy(text + at, "<Root>", 6);
}

int parse(const KeyTree &(*tree)(), std::span<const FieldDesc> fields, std::span<const ListDesc> lists,
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

    ParseState state{index, fields, lists, static_cast<char *>(record), counts};
    ParseScope scope(&state);
    xmlSAXHandler sax{};
    sax.startElement = on_start;
    sax.endElement = on_end;
    sax.characters = on_characters;
    xmlCheckVersion(20627);
    if (xmlSAXUserParseMemory(&sax, nullptr, text, length) < 0) {
        std::memset(record, 0, record_size);
        std::memset(counts, 0, counts_size);
        return kXML_NOT_VALID;
    }
    return 0;
}

}  // namespace

int parse_values(char *text, int length, zxxml_values_struct *values, zxxml_values_count_struct *counts) {
    return parse(values_tree, values_fields(), values_lists(), "<val:Root", text, length, values, sizeof *values,
                 counts, sizeof *counts);
}

int parse_setup(char *text, int length, zxxml_setup_struct *setup, zxxml_setup_count_struct *counts) {
    return parse(setup_tree, setup_fields(), setup_lists(), "<set:Root", text, length, setup, sizeof *setup, counts,
                 sizeof *counts);
}

}  // namespace kalax::xmldoc
