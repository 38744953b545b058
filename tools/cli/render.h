// The items of a unit's values or setup as a table or as JSON, in UTF-8.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "kalax/zxapi.h"

namespace kalax::cli {

struct Item {
    zxapi::TXmlSensorEnum number;
    zxapi::TXmlSensorStr text;  // display texts, single-byte as the library renders them
};

struct ItemList {
    zxapi::TXmlSensorEnum unit;  // the unit-wide fields
    std::vector<Item> items;
};

// Items of the module's cached values (setup false) or setup record. Throws
// the module's failure when the client holds no such record.
ItemList collect_items(int module, bool setup, const std::string &context);

void print_table(FILE *out, const ItemList &list);
void print_json(FILE *out, const ItemList &list);

// Display texts are Windows-1252 (the degree sign is byte 0xB0): as UTF-8.
std::string display_to_utf8(std::string_view text);
// Text from a unit, meant to be UTF-8: invalid sequences become U+FFFD and
// control characters are dropped, so nothing a unit sends can garble a terminal.
std::string clean_utf8(std::string_view text);
// Terminal columns a UTF-8 text takes: East Asian wide characters and emoji
// take two, combining marks none.
size_t display_width(std::string_view utf8);
// A JSON string literal of a UTF-8 text.
std::string json_string(std::string_view utf8);

}  // namespace kalax::cli
