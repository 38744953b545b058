// The one way the document code runs the XML parser (over a text in memory,
// with the call's own state handed to the callbacks as their user data), and
// the one way it writes text back as element content.
#pragma once

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <string_view>

namespace kalax::xmldoc {

// The part of a parse's state the XML parser itself sets. Callback state
// derives from it; the callbacks get it back through their `void *` argument.
struct SaxState {
    // Set at the parser's first fatal error. The parser then reports no more
    // elements but, on some paths, still hands out character data, which
    // belongs to no element we know the path of: callbacks drop everything
    // once this is set. (A thread that installed its own structured error
    // handler keeps the errors from us; what rests on well-formedness is
    // therefore decided from the element events, which stop in any case.)
    bool stopped = false;
};

namespace sax_detail {
// The XML parser reports errors to the handler's `error` with our user data,
// its record of the error already in place; warnings go elsewhere. Should the
// record be missing, an error is taken as fatal.
inline void on_error(void *user, const char *, ...) {
    const xmlError *last = xmlGetLastError();
    if (user != nullptr && (last == nullptr || last->level == XML_ERR_FATAL))
        static_cast<SaxState *>(user)->stopped = true;
}
}  // namespace sax_detail

template <class State>
State &sax_state(void *user) {
    return static_cast<State &>(*static_cast<SaxState *>(user));
}

// Parses `size` bytes of `text`, handing `state` to the three element and
// text callbacks; the XML parser's own result.
template <class State>
int sax_parse(State &state, startElementSAXFunc start, endElementSAXFunc end, charactersSAXFunc characters,
              const char *text, int size) {
    SaxState &base = state;
    xmlSAXHandler sax{};
    sax.startElement = start;
    sax.endElement = end;
    sax.characters = characters;
    sax.error = sax_detail::on_error;
    xmlCheckVersion(20627);
    return xmlSAXUserParseMemory(&sax, &base, text, size);
}

// Hands `text` to `put` as element content: "&", "<" and ">" as entities,
// everything else as it is, in as few pieces as the text allows.
template <class Put>
void put_escaped(std::string_view text, Put put) {
    size_t from = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char *entity = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : nullptr;
        if (entity == nullptr) continue;
        put(text.substr(from, i - from));
        put(std::string_view(entity));
        from = i + 1;
    }
    put(text.substr(from));
}

}  // namespace kalax::xmldoc
