// kalax set: one setting of a unit changed through the library's device
// object, and the changed item shown as the unit answered.
#include <charconv>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

#include "kalax/zxapi.h"
#include "kalax/zxevents.h"
#include "tools/cli/commands.h"
#include "tools/cli/failure.h"
#include "tools/cli/render.h"

namespace kalax::cli {

namespace {

// Units of this XmlVer address entries by their position ("<Idx>").
constexpr std::string_view kIndexedXmlVer = "1.00";

std::uint32_t parse_id(const std::string &text) {
    std::uint32_t id = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), id);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || id == 0)
        throw UsageError("ID must be a number from 1 to 4294967295, not '" + text + "'");
    return id;
}

// Decimal point whatever the locale; the unit is sent one decimal.
float parse_number(const std::string &text, const char *what) {
    float v = 0.0f;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size())
        throw UsageError(std::string(what) + " must be a number like -10 or 35.5, not '" + text + "'");
    return v;
}

std::uint32_t parse_switch(const std::string &text) {
    if (text == "on" || text == "1") return 1;
    if (text == "off" || text == "0") return 0;
    throw UsageError("an output is switched 'on' or 'off', not '" + text + "'");
}

zx_error_struct record_of(const zxapi::TSdkErrorEventArgs &a) {
    zx_error_struct e{};
    e.code = a.SdkCode;
    e.sys_code = a.SysCode;
    std::strncpy(e.text, a.SdkDesc.c_str(), sizeof e.text - 1);
    std::strncpy(e.sys_text, a.SysDesc.c_str(), sizeof e.sys_text - 1);
    return e;
}

// The device object driven one request at a time from this thread, which
// receives its events.
class Device {
public:
    Device(const Target &target, const Options &o) : label_(target.label()), timeout_s_(o.timeout_s) {
        d_.IP = target.address;
        d_.Port = static_cast<std::uint32_t>(target.port);
        d_.Username = o.user.value_or("");
        d_.Password = o.password.value_or("");
        d_.OnError.Set([this](zxapi::TSdkErrorEventArgs &a) {
            error_ = record_of(a);
            failed_ = done_ = true;
        });
        d_.OnValuesXml.Set([this](zxapi::TIoXmlValuesEventArgs &a) {
            xml_ver_.assign(a.Cache->Agent_XmlVer, strnlen(a.Cache->Agent_XmlVer, sizeof a.Cache->Agent_XmlVer));
            done_ = true;
        });
        d_.OnSetupXmlSent.Set([this](zxapi::TIoXmlSetupEventArgs &) { done_ = true; });
        if (d_.Open() != 0) {
            zxapi::TSdkError e;
            d_.GetLastError(e, 1);
            fail(e.SdkCode, label_ + ": opening");
        }
    }

    zxapi::TIoXml &object() { return d_; }
    const std::string &xml_ver() const { return xml_ver_; }

    // Starts a request and waits for its end; throws its failure.
    template <class Start>
    void Run(Start &&start, const std::string &what) {
        failed_ = done_ = false;
        if (start() != 0) {
            // The synchronous error event has been raised already.
            if (failed_) Throw(what);
            fail(2, label_ + ": " + what + ": the device object is busy");
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s_);
        while (!done_) {
            if (std::chrono::steady_clock::now() > end) fail(19, label_ + ": " + what + ": no answer");
            zx_events_wait(100);
        }
        if (failed_) Throw(what);
    }

private:
    [[noreturn]] void Throw(const std::string &what) const {
        if (std::string_view(error_.text) == zxapi::kInvalidSensorId)
            fail(error_.code, label_ + ": " + what + ": the unit lists no sensor with this ID");
        fail(error_, label_ + ": " + what);
    }

    zxapi::TIoXml d_{nullptr};
    std::string label_;
    int timeout_s_;
    bool done_ = false, failed_ = false;
    zx_error_struct error_{};
    std::string xml_ver_;
};

}  // namespace

int cmd_set(const Options &o) {
    const std::string &kind = o.args[1];
    const auto want = [&](std::size_t n, const char *synopsis) {
        if (o.args.size() != n) throw UsageError(std::string("usage: kalax set HOST ") + synopsis);
    };
    // Everything is checked before the unit is asked anything.
    std::uint32_t id = 0, value = 0;
    float a = 0.0f, b = 0.0f;
    if (kind == "output") {
        want(4, "output ID on|off");
        id = parse_id(o.args[2]);
        value = parse_switch(o.args[3]);
    } else if (kind == "name") {
        want(4, "name ID TEXT");
        id = parse_id(o.args[2]);
    } else if (kind == "range") {
        want(5, "range ID MIN MAX");
        id = parse_id(o.args[2]);
        a = parse_number(o.args[3], "MIN");
        b = parse_number(o.args[4], "MAX");
    } else if (kind == "calib") {
        want(4, "calib ID VALUE");
        id = parse_id(o.args[2]);
        a = parse_number(o.args[3], "VALUE");
    } else {
        throw UsageError("what to set is one of output, name, range, calib, not '" + kind + "'");
    }

    Device device(resolve_target(o.args[0]), o);
    zxapi::TIoXml &d = device.object();
    // The values tell the unit's dialect (and that it answers at all).
    device.Run([&] { return d.GetValuesXml(); }, "reading values.xml");
    d.OldVerSupport = o.old_version || device.xml_ver() == kIndexedXmlVer ? 1 : 0;

    const std::string what = "setting " + kind + " of ID " + std::to_string(id);
    if (kind == "output") device.Run([&] { return d.SetOutput(id, value); }, what);
    else if (kind == "name") device.Run([&] { return d.SetSensName(id, o.args[3].c_str()); }, what);
    else if (kind == "range") device.Run([&] { return d.SetRange(id, a, b); }, what);
    else device.Run([&] { return d.SetCalib(id, a); }, what);

    // The unit answered with its setup: the item as it holds it now.
    ItemList list = collect_items(d.Handle, true, "reading the unit's answer");
    ItemList changed{list.unit, {}};
    for (const Item &item : list.items)
        if (item.number.Id == static_cast<std::int32_t>(id)) changed.items.push_back(item);
    if (o.format == Format::json) {
        print_json(stdout, changed);
    } else if (changed.items.empty()) {
        std::printf("The unit took the change; its answer lists no item with ID %u.\n", id);
    } else {
        print_table(stdout, changed);
    }
    return 0;
}

}  // namespace kalax::cli
