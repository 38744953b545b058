// Records filled field by field for the sensor-item tests.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "kalax/zxxml_records.h"
#include "sdk/xmldoc/sensor.h"

namespace sensor_test {

// Stores `text` the way the parser would (cut to width - 1 so it stays terminated).
template <std::size_t W>
void Put(char (&field)[W], std::string_view text) {
    std::memset(field, 0, W);
    std::memcpy(field, text.data(), std::min(text.size(), W - 1));
}

// Fills a field to its full width with no terminator, as a hostile copy might.
template <std::size_t W>
void Fill(char (&field)[W], char c) {
    std::memset(field, c, W);
}

// One document: a zeroed record and its counts on the heap (the setup record is 126 KB).
template <class Record, class Counts>
struct Doc {
    std::unique_ptr<Record> rec = std::make_unique<Record>();
    std::unique_ptr<Counts> cnt = std::make_unique<Counts>();

    Doc &Unit(std::string_view model, std::string_view xmlver) {
        Put(rec->Agent_Model, model);
        Put(rec->Agent_XmlVer, xmlver);
        Put(rec->Agent_DeviceName, "Cellar");
        Put(rec->Agent_MAC, "00:0A:59:01:02:03");
        rec->time = 1700000000;
        return *this;
    }
    // Appends entries; the caller fills their fields.
    int AddInput() { return cnt->BinaryInSet++; }
    int AddOutput() { return cnt->BinaryOutSet++; }
    int AddSensor() { return cnt->SenSet++; }
};

using ValuesDoc = Doc<zxxml_values_struct, zxxml_values_count_struct>;
using SetupDoc = Doc<zxxml_setup_struct, zxxml_setup_count_struct>;

inline zxapi::TValuesXml<zxapi::TValuesXmlBuffer> Buffer(const ValuesDoc &d, const char *ip = "192.168.1.20",
                                                         int port = 80) {
    return zxapi::TValuesXml<zxapi::TValuesXmlBuffer>(zxapi::MakeValuesBuffer(d.rec.get(), d.cnt.get(), ip, port));
}

inline zxapi::TSetupXml<zxapi::TSetupXmlBuffer> Buffer(const SetupDoc &d, const char *ip = "192.168.1.20",
                                                       int port = 80) {
    return zxapi::TSetupXml<zxapi::TSetupXmlBuffer>(zxapi::MakeSetupBuffer(d.rec.get(), d.cnt.get(), ip, port));
}

}  // namespace sensor_test
