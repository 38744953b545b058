#include "tools/cli/failure.h"

#include <cstring>

namespace kalax::cli {

std::string code_text(int code) {
    char text[ZX_ERROR_TEXT_MIN + 64] = {};
    zx_error_i2s(code, text);
    return text;
}

Failure::Failure(int code, std::string context, std::string system)
    : std::runtime_error(code_text(code)), code_(code), context_(std::move(context)), system_(std::move(system)) {}

std::string Failure::line() const {
    std::string out = context_.empty() ? "" : context_ + ": ";
    out += "error " + std::to_string(code_) + ": " + what();
    if (!system_.empty()) out += " [" + system_ + "]";
    return out;
}

void fail(int code, const std::string &context, const std::string &system) { throw Failure(code, context, system); }

namespace {

// Codes whose record carries the errno of the failed system call; with the
// others (HTTP status, parser, state) the errno is whatever was left over.
bool system_failure(int code) {
    return (code >= 6 && code <= 9) || (code >= 26 && code <= 35) || (code >= 82 && code <= 84) || code == 88;
}

}  // namespace

void fail(const zx_error_struct &record, const std::string &context) {
    std::string system;
    if (record.sys_code != 0 && system_failure(record.code)) system.assign(record.sys_text, strnlen(record.sys_text, sizeof record.sys_text));
    throw Failure(record.code, context, system);
}

}  // namespace kalax::cli
