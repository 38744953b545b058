// The short setup documents of the device objects' setting changes.
//
// Numbers are written the same whatever the process's locale: an application
// that switched LC_NUMERIC to a decimal comma must still send "35.5".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zxapi::detail {

// Appends `value` widened to double in fixed notation with one decimal, rounded
// as printf's "%.1f" rounds; false (nothing appended) for NaN and infinities.
bool AppendTenths(std::string &out, float value);
void AppendDecimal(std::string &out, std::uint32_t value);
// "" when `present` is false, else "<Idx>index</Idx>".
std::string IndexPrefix(bool present, std::uint32_t index);
// Whether `name` is UTF-8 (shortest forms, no surrogates, at most U+10FFFF)
// without control characters (C0, DEL, C1).
bool IsSendableName(std::string_view name);
// Appends `text` with "&", "<" and ">" written as entities.
void AppendEscaped(std::string &out, std::string_view text);
// "<Root><element><Entry>prefix<ID>id</ID>fields</Entry></element></Root>"
std::string EntryRequest(std::string_view element, std::string_view prefix, std::uint32_t id,
                         std::string_view fields);

}  // namespace zxapi::detail
