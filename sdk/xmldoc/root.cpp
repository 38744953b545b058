// The root element's tags, found in a document's text without parsing it.
#include "sdk/xmldoc/root.h"

#include <algorithm>
#include <cstring>

namespace kalax::xmldoc {
namespace {

constexpr size_t kNoPos = std::string_view::npos;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// One past the ">" of the doctype that starts at `at`: quoted texts and a
// bracketed internal subset (with its comments) may hold ">".
size_t doctype_end(std::string_view doc, size_t at) {
    char quote = '\0';
    int subset = 0;
    for (size_t i = at + 2; i < doc.size(); ++i) {
        const char c = doc[i];
        if (quote != '\0') {
            if (c == quote) quote = '\0';
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (subset > 0 && doc.substr(i, 4) == "<!--") {
            const size_t close = doc.find("-->", i + 4);
            if (close == kNoPos) return kNoPos;
            i = close + 2;
        } else if (c == '[') {
            ++subset;
        } else if (c == ']') {
            --subset;
        } else if (c == '>' && subset <= 0) {
            return i + 1;
        }
    }
    return kNoPos;
}

// Where the first element's start tag begins, past a byte order mark, the XML
// declaration, comments, processing instructions, a doctype and white space;
// kNoPos when the prolog ends otherwise.
size_t first_element(std::string_view doc) {
    size_t at = doc.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    for (;;) {
        while (at < doc.size() && is_space(doc[at])) ++at;
        const std::string_view rest = doc.substr(std::min(at, doc.size()));
        if (!rest.starts_with('<')) return kNoPos;
        size_t next;
        if (rest.starts_with("<?")) {
            next = doc.find("?>", at + 2);
            if (next != kNoPos) next += 2;
        } else if (rest.starts_with("<!--")) {
            next = doc.find("-->", at + 4);
            if (next != kNoPos) next += 3;
        } else if (rest.starts_with("<!DOCTYPE")) {
            next = doctype_end(doc, at);
        } else if (rest.starts_with("<!") || rest.starts_with("</")) {
            return kNoPos;
        } else {
            return at;
        }
        if (next == kNoPos) return kNoPos;
        at = next;
    }
}

}  // namespace

void rewrite_root(char *text, int length, std::string_view pattern) {
    if (text == nullptr || length <= 0) return;
    const std::string_view doc(text, static_cast<size_t>(length));
    const size_t at = first_element(doc);
    if (at == kNoPos || doc.substr(at, pattern.size()) != pattern) return;
    size_t i = at + pattern.size();
    if (i >= doc.size() || !(is_space(doc[i]) || doc[i] == '>' || doc[i] == '/')) return;
    // The tag ends at the first ">" outside an attribute value.
    char quote = '\0';
    for (; i < doc.size(); ++i) {
        if (quote != '\0') {
            if (doc[i] == quote) quote = '\0';
        } else if (doc[i] == '"' || doc[i] == '\'') {
            quote = doc[i];
        } else if (doc[i] == '>') {
            break;
        }
    }
    if (i >= doc.size()) return;
    const bool empty = doc[i - 1] == '/';
    std::memset(text + at, ' ', i - at + 1);
    if (empty)
        std::memcpy(text + at, "<Root/>", 7);
    else
        std::memcpy(text + at, "<Root>", 6);
}

bool has_root_end_tag(std::string_view doc) {
    for (size_t at = doc.rfind("Root"); at != kNoPos && at >= 2; at = at == 0 ? kNoPos : doc.rfind("Root", at - 1)) {
        size_t i = at + 4;
        while (i < doc.size() && is_space(doc[i])) ++i;
        if (i >= doc.size() || doc[i] != '>') continue;
        size_t name = at;  // back over an optional "prefix:"
        if (doc[name - 1] == ':') {
            --name;
            while (name > 0 && doc[name - 1] != '<' && doc[name - 1] != '/' && !is_space(doc[name - 1])) --name;
        }
        if (name >= 2 && doc[name - 1] == '/' && doc[name - 2] == '<') return true;
    }
    return false;
}

}  // namespace kalax::xmldoc
