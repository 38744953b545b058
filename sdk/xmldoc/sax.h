// The one way the document code runs the XML parser (over a text in memory,
// with the call's own state handed to the callbacks as their user data), and
// the one way it writes text back as element content.
#pragma once

#include <libxml/globals.h>
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
    // once this is set.
    bool stopped = false;
    // The parser ran out of memory. It reports that only as an error and may
    // carry on; a later error of the document (the rewritten root's end tag
    // always gives one) would hide it, so the result of the parse cannot tell
    // a parse cut short for want of memory from a document that is not valid.
    bool out_of_memory = false;
};

namespace sax_detail {
// While it lives, the thread's parser errors come to `state` alone: the XML
// parser hands errors to a structured handler, when the thread has one, in
// place of the handler table's, so a caller's own handler would otherwise
// keep them from us. The caller's handler is put back at the end.
class ErrorWatch {
public:
    explicit ErrorWatch(SaxState &state) : saved_(xmlStructuredError), saved_context_(xmlStructuredErrorContext) {
        xmlSetStructuredErrorFunc(&state, on_error);
    }
    ~ErrorWatch() { xmlSetStructuredErrorFunc(saved_context_, saved_); }
    ErrorWatch(const ErrorWatch &) = delete;
    ErrorWatch &operator=(const ErrorWatch &) = delete;

private:
    static void on_error(void *user, xmlErrorPtr error) {
        auto &state = *static_cast<SaxState *>(user);
        if (error == nullptr || error->level == XML_ERR_FATAL) state.stopped = true;
        if (error != nullptr && error->code == XML_ERR_NO_MEMORY) state.out_of_memory = true;
    }

    xmlStructuredErrorFunc saved_;
    void *saved_context_;
};
}  // namespace sax_detail

template <class State>
State &sax_state(void *user) {
    return static_cast<State &>(*static_cast<SaxState *>(user));
}

// Parses `size` bytes of `text`, handing `state` to the three element and
// text callbacks; the XML parser's own result. Afterwards `state` tells
// whether the parser stopped at a fatal error or ran out of memory.
template <class State>
int sax_parse(State &state, startElementSAXFunc start, endElementSAXFunc end, charactersSAXFunc characters,
              const char *text, int size) {
    SaxState &base = state;
    xmlSAXHandler sax{};
    sax.startElement = start;
    sax.endElement = end;
    sax.characters = characters;
    xmlCheckVersion(20627);
    sax_detail::ErrorWatch watch(base);
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
