// The root element's tags, found in a document's text without parsing it.
#pragma once

#include <string_view>

namespace kalax::xmldoc {

// Rewrites the root element's start tag to "<Root>" (or "<Root/>") and
// spaces, in place, when it is `pattern` ("<set:Root") with its attributes.
// Only the root's own tag: the same text in a comment before it or deeper in
// the document is left alone. Never reads beyond `length`.
void rewrite_root(char *text, int length, std::string_view pattern);

// Does the text hold an end tag of a root element ("</Root>", also with a
// prefix and with spaces before the ">")?
bool has_root_end_tag(std::string_view doc);

}  // namespace kalax::xmldoc
