// The system ANSI code page of the automation objects: Windows-1252, by a fixed
// table, the same on every host whatever its locale.
#pragma once

#include <string>
#include <string_view>

namespace kalax::ax {

// Decoding never fails: the five bytes the page leaves unassigned (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) become the control characters of the same number, as
// Windows decodes them.
std::u16string cp1252_decode(std::string_view bytes);
// Fails (false, `out` unspecified) on the first character outside the page,
// and on an unpaired surrogate: never a replacement character.
bool cp1252_encode(std::u16string_view text, std::string &out);

}  // namespace kalax::ax
