// How the kalax tool reports a failure: a result code of the library, what was
// being done, and the system's own word on it when there is one.
#pragma once

#include <stdexcept>
#include <string>

#include "kalax/zx.h"

namespace kalax::cli {

// A request that failed; main() turns it into the one-line message and exit 1.
class Failure : public std::runtime_error {
public:
    Failure(int code, std::string context, std::string system = {});

    int code() const { return code_; }
    // "CONTEXT: error CODE: TEXT [SYSTEM]", the system part only when known.
    std::string line() const;

private:
    int code_;
    std::string context_;
    std::string system_;
};

// The command line could not be understood; main() prints it with a pointer to
// --help and exits 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Message of a result code as the library spells it.
std::string code_text(int code);

[[noreturn]] void fail(int code, const std::string &context, const std::string &system = {});
// Throws the failure an error record describes (its system text only when
// the record carries an errno).
[[noreturn]] void fail(const zx_error_struct &record, const std::string &context);

}  // namespace kalax::cli
