// values.xml and setup.xml as a unit might serve them, parsed the way the
// request cycle does: under the library lock, by xml_parse into the records of
// a module slot of the running agent XML client. What a later reader does with
// those records (the per-sensor items and their texts; for a setup, writing it
// back and reducing it for an upload) runs on the result.
//
// Input: one control byte, then the document.
//   bit 0    kind: 0 values.xml, 1 setup.xml
//   bit 1    wrap the document in the unit's namespaced root ("<val:Root ...>"
//            or "<set:Root ...>" with an XML declaration), as units serve it
//   bits 2-7 module slot 1-64
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "kalax/zxxml.h"
#include "sdk/runtime/result_codes.h"
#include "sdk/xml/client.h"
#include "sdk/xmldoc/records.h"
#include "sdk/xmldoc/sensor.h"
#include "sdk/xmldoc/sensor_text.h"

using namespace kalax;

namespace {

bool started() {
    static const bool ok = [] {
        if (zxxml_init() != 0) return false;
        std::atexit([] { zxxml_uninit(); });
        return true;
    }();
    return ok;
}

// Every parsed field keeps its terminator and one spare byte; every count lies
// within its list.
void check_record(const void *record, std::span<const xmldoc::FieldDesc> fields, const void *counts,
                  std::span<const xmldoc::ListDesc> lists) {
    for (const xmldoc::FieldDesc &f : fields)
        for (int slot = 0; slot < f.capacity; ++slot)
            FUZZ_CHECK(strnlen(xmldoc::field_slot(record, f, slot), static_cast<size_t>(f.width)) + 2 <=
                       static_cast<size_t>(f.width));
    for (size_t l = 0; l < lists.size(); ++l) {
        const int32_t n = xmldoc::count_at(counts, static_cast<int>(l));
        FUZZ_CHECK(n >= 0 && n <= lists[l].capacity);
    }
}

template <class Xml>
void read_items(const Xml &xml) {
    zxapi::TXmlDeviceInfo info;
    xml.GetDeviceInfo(info);
    const int count = xml.GetCount();
    FUZZ_CHECK(count >= 0);
    for (int i = 0; i <= count; ++i) {
        zxapi::TXmlSensorEnum item;
        const int rc = xml.GetItem(i, item);
        FUZZ_CHECK(i < count ? rc == 0 : rc == -2);
        if (rc != 0) continue;
        const zxapi::TXmlSensorRecord record = zxapi::ToSensorRecord(item);
        for (int field = 0; field < 15; ++field) {
            volatile size_t n = zxapi::XmlSensorEnumToStr(item, field).size() + zxapi::XmlSensorEnumToStr(record, field).size();
            (void)n;
        }
    }
}

const char kValuesHead[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<val:Root xmlns:val=\"urn:kalyx:values\" version=\"2\">\r\n";
const char kValuesTail[] = "\r\n</val:Root>\r\n";
const char kSetupHead[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<set:Root xmlns:set=\"urn:kalyx:setup\" version=\"2\">\r\n";
const char kSetupTail[] = "\r\n</set:Root>\r\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!started()) std::abort();
    fuzz::Bytes in(data, size);
    const uint8_t control = in.byte();
    const int kind = control & 1;
    const bool wrap = (control & 2) != 0;
    const int module = 1 + (control >> 2);
    const std::string_view doc = in.rest();

    std::string text;
    if (wrap) text += kind ? kSetupHead : kValuesHead;
    text += doc;
    if (wrap) text += kind ? kSetupTail : kValuesTail;
    // The unit's body arrives in a 20000-byte buffer that keeps a terminator.
    if (text.size() >= static_cast<size_t>(xml::kBufferSize)) return 0;
    // Exactly the document's bytes, no terminator: the parser is given a length
    // and must not look past it.
    const size_t length = text.size();
    std::unique_ptr<char[]> buffer(new char[length == 0 ? 0 : length]);
    std::memcpy(buffer.get(), text.data(), length);

    xml::Client &c = xml::client();
    int rc;
    {
        rt::SlotLock library(c.rt, 0);
        rc = xml::xml_parse(module, buffer.get(), static_cast<int>(length), kind);
    }
    FUZZ_CHECK(rc == 0 || rc == -1);
    xml::Module &m = c.modules[module];
    if (rc != 0) {
        zx_error_struct e{};
        c.rt.read_error(module, &e);
        FUZZ_CHECK(e.code == kXML_NOT_VALID || e.code == kMEMORY);
        return 0;
    }

    if (kind == xml::kValues) {
        check_record(m.values_record.get(), xmldoc::values_fields(), m.values_counts.get(), xmldoc::values_lists());
        const zxapi::TValuesXml<zxapi::TValuesXmlBuffer> xml(
            zxapi::MakeValuesBuffer(m.values_record.get(), m.values_counts.get(), "192.0.2.7", 80));
        read_items(xml);
        return 0;
    }

    check_record(m.setup_record.get(), xmldoc::setup_fields(), m.setup_counts.get(), xmldoc::setup_lists());
    const zxapi::TSetupXml<zxapi::TSetupXmlBuffer> xml(
        zxapi::MakeSetupBuffer(m.setup_record.get(), m.setup_counts.get(), "192.0.2.7", 80));
    read_items(static_cast<const zxapi::TValuesXml<zxapi::TSetupXmlBuffer> &>(xml));

    // An upload of the setup as received: written into the client's 20000-byte
    // text and reduced with its string length as size.
    std::vector<char> out(xml::kBufferSize, '\0');
    const int w = xmldoc::write_setup(*m.setup_record, *m.setup_counts, out.data(), out.size());
    FUZZ_CHECK(w == 0 || w == kBUFFER_FULL);
    if (w != 0) {
        FUZZ_CHECK(out[0] == '\0');
        return 0;
    }
    const size_t written = strnlen(out.data(), out.size());
    FUZZ_CHECK(written < out.size());
    const int r = xmldoc::prepare_setup(out.data(), written);
    FUZZ_CHECK(r == 0 || r == kXML_NOT_VALID || r == kMEMORY || r == kNULL_POINTER || r == kBUFFER_FULL);
    if (r == 0) FUZZ_CHECK(strnlen(out.data(), written) < written);
    return 0;
}
