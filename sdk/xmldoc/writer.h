// Writing a setup record back into setup.xml text.
#pragma once

#include <cstddef>

#include "kalax/zxxml_records.h"

namespace kalax::xmldoc {

// Writes the complete document of `setup`: the XML declaration, then every
// element on its own line (LF before each line, no indentation, no LF at the
// end), the entries of each list up to its count. Field texts are taken up to
// their terminator or their width, with "&", "<" and ">" written as entities;
// other bytes are copied as they are (a text that is not UTF-8 is refused
// later, by the reduction). Counts are taken as 0 when negative and as the
// capacity when above it.
//
// Returns 0, kBUFFER_FULL when the document and its terminator do not fit in
// `capacity` bytes (then `text` holds an empty string when capacity > 0), or
// kNULL_POINTER for a null `text`.
int write_setup(const zxxml_setup_struct &setup, const zxxml_setup_count_struct &counts, char *text,
                size_t capacity);

}  // namespace kalax::xmldoc
