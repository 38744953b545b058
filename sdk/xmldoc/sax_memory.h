// Telling a parse that ran out of memory from a document that is not valid.
#pragma once

#include <libxml/globals.h>
#include <libxml/xmlerror.h>

namespace kalax::xmldoc {

// While it lives, notes whether the XML parser ran out of memory on this
// thread. The parser reports a failed allocation only as an error, may carry
// on after it, and a later error of the document (the rewritten root's end
// tag always gives one) then hides it: the result of the parse cannot tell.
// Meanwhile the thread's errors go to this watch alone; the thread's own
// structured error handler is put back at the end.
class MemoryWatch {
public:
    MemoryWatch() : saved_(xmlStructuredError), saved_context_(xmlStructuredErrorContext) {
        xmlSetStructuredErrorFunc(this, on_error);
    }
    ~MemoryWatch() { xmlSetStructuredErrorFunc(saved_context_, saved_); }
    MemoryWatch(const MemoryWatch &) = delete;
    MemoryWatch &operator=(const MemoryWatch &) = delete;

    bool ran_out() const { return ran_out_; }

private:
    static void on_error(void *self, xmlErrorPtr error) {
        if (error != nullptr && error->code == XML_ERR_NO_MEMORY) static_cast<MemoryWatch *>(self)->ran_out_ = true;
    }

    xmlStructuredErrorFunc saved_;
    void *saved_context_;
    bool ran_out_ = false;
};

}  // namespace kalax::xmldoc
