// Parsing of values.xml and setup.xml into the fixed-width records.
#pragma once

#include "kalax/zxxml_records.h"

namespace kalax::xmldoc {

// Parse a document into records the caller owns. Both records are cleared
// first. A root start tag "<val:Root ...>" (values) or "<set:Root ...>" (setup)
// is rewritten in `text` to "<Root>" padded with spaces, because the unit's
// namespaced documents would otherwise give key paths nobody looks up. Only
// the root element's own start tag is rewritten, never the same text in a
// comment before it or in an element inside it.
//
// Returns 0, also for a document the XML parser stops on as not well-formed
// that still holds its root's end tag (the records then hold what came before
// the fault); kXML_NOT_VALID, with the records all zero, when the XML parser
// could not start (for example length 0) or the document was cut before its
// root's end tag; kMEMORY when the key index could not be built or the parser
// ran out of memory; kNULL_POINTER for a null record.
//
// The state of a parse lives in the call: any number of threads may parse into
// different records at the same time.
int parse_values(char *text, int length, zxxml_values_struct *values, zxxml_values_count_struct *counts);
int parse_setup(char *text, int length, zxxml_setup_struct *setup, zxxml_setup_count_struct *counts);

}  // namespace kalax::xmldoc
