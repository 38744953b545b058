// Reduction of a setup document to what a unit is to be sent.
#pragma once

#include <cstddef>

namespace kalax::xmldoc {

// Reduces the setup document in the first `size` bytes of `text` in place:
// drops the elements a unit must not be told to change (identity, live values,
// network addressing, clock, system name, user accounts) and every element's
// attributes, moves each <Idx> to the front of its entry, collapses runs of
// LF, and puts the XML declaration and one LF in front. Texts are written
// escaped as the input had them ("&amp;", "&lt;", "&gt;"). All `size` bytes
// are given to the XML parser (zero bytes after the document are fine) and
// are cleared before the reduced document is written.
//
// Returns 0, or on failure (buffer unchanged):
//   kXML_NOT_VALID  the XML parser could not start (for example size 0), or
//                   the document is not well-formed before its root element
//                   ends (a raw "&", text that is not UTF-8, a cut, a
//                   missing end tag); what follows the root is not looked at;
//   kMEMORY         working memory could not be had;
//   kNULL_POINTER   the document ends with an <Idx> that has no text;
//   kBUFFER_FULL    the reduced document and its terminator do not fit in
//                   `size` bytes, an Idx text is longer than 99 characters,
//                   there are more than 999 Idx values, or the elements nest
//                   deeper than a 9999-character key path.
// The working state lives in the call; reductions may run on several threads.
int prepare_setup(char *text, size_t size);

}  // namespace kalax::xmldoc
