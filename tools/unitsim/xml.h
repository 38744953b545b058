// Minimal XML support for the simulated unit: a writer that escapes texts and a
// tolerant reader for posted setup documents. Deliberately independent of the
// library's own document code so that one bug cannot hide on both sides.
#ifndef KALAX_UNITSIM_XML_H
#define KALAX_UNITSIM_XML_H

#include <string>
#include <string_view>
#include <vector>

namespace kalax::sim::xml {

// Escapes &, < and > (the only characters that break element text).
std::string escape(std::string_view text);

// Appends `<name>escaped text</name>` and a LF.
void leaf(std::string& out, std::string_view name, std::string_view text);

struct Node {
    std::string name;   // as written, prefix included
    std::string local;  // name without its prefix
    std::string text;   // character data directly inside, entities resolved
    std::vector<Node> children;

    // First child with this local name, or null.
    const Node* child(std::string_view local_name) const;
};

// Parses a whole document. Accepts a BOM, an XML declaration, comments,
// processing instructions, a DOCTYPE, CDATA sections, attributes and
// prefixed names; rejects anything that is not well-formed (mismatched or
// unclosed tags, stray markup, unknown entities, text outside the root,
// nesting deeper than `max_depth`). Returns false with a short reason.
bool parse(std::string_view doc, Node& root, std::string& error, int max_depth = 64);

}  // namespace kalax::sim::xml

#endif
