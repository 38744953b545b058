// The four setting changes of a device object, and the second step of the
// indexed (old-version) form.
#include <cctype>
#include <cstring>
#include <limits>
#include <new>

#include "kalax/zxapi_device.h"
#include "kalax/zxxml.h"
#include "sdk/runtime/result_codes.h"
#include "zxapi/device_detail.h"
#include "zxapi/device_text.h"

namespace zxapi {

using detail::AppendDecimal;
using detail::AppendEscaped;
using detail::AppendTenths;
using detail::EntryRequest;
using detail::IndexPrefix;

namespace {

constexpr std::uint32_t kSingleSensorId = 65;
constexpr char kSingleSensorIndex[] = "<Idx>1</Idx>";

// The fields of a range, name or calibration change; false when a number is
// not finite. The name is known to be sendable.
bool change_fields(IoXmlStatusT change, float min, float max, float calib, std::string_view name,
                   std::string &out) {
    switch (change) {
    case IOXML_STATUS_SET_RANGE:
        out += "<Min>";
        if (!AppendTenths(out, min)) return false;
        out += "</Min><Max>";
        if (!AppendTenths(out, max)) return false;
        out += "</Max>";
        return true;
    case IOXML_STATUS_SET_NAME:
        out += "<Name>";
        AppendEscaped(out, name);
        out += "</Name>";
        return true;
    default:
        out += "<Calib>";
        if (!AppendTenths(out, calib)) return false;
        out += "</Calib>";
        return true;
    }
}

// The number at the start of a record field, read as C's atol reads it (white
// space, a sign, digits up to the first other character; none gives 0), never
// past the field and without overflow.
template <std::size_t N>
long long field_number(const char (&field)[N]) {
    const std::size_t n = strnlen(field, N);
    std::size_t i = 0;
    while (i < n && std::isspace(static_cast<unsigned char>(field[i]))) ++i;
    bool negative = false;
    if (i < n && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    long long v = 0;
    for (; i < n && field[i] >= '0' && field[i] <= '9'; ++i) {
        if (v > (std::numeric_limits<long long>::max() - 9) / 10) break;
        v = v * 10 + (field[i] - '0');
    }
    return negative ? -v : v;
}

}  // namespace

namespace detail {

// 1-based position of the sensor `id` among the record's sensor entries, in
// document order; 0 when none has it.
std::uint32_t FindSensorIndex(const zxxml_values_struct &values, const zxxml_values_count_struct &counts,
                              std::uint32_t id) {
    constexpr int kCapacity = sizeof values.SenSet_Entry_ID / sizeof values.SenSet_Entry_ID[0];
    const int n = counts.SenSet < 0 ? 0 : (counts.SenSet > kCapacity ? kCapacity : counts.SenSet);
    for (int k = 0; k < n; ++k)
        if (field_number(values.SenSet_Entry_ID[k]) == static_cast<long long>(id)) return static_cast<std::uint32_t>(k + 1);
    return 0;
}

}  // namespace detail

int TIoXmlCustom::Refuse(int code) noexcept {
    LastError = detail::MakeRecord(code);
    Status = IOXML_STATUS_OPENED;
    return -3;
}

int TIoXmlCustom::SendChange(const std::string &text) {
    if (zxxml_send_setup_xml(Handle, text.c_str(), static_cast<int>(text.size())) == -1) {
        Status = IOXML_STATUS_OPENED;
        return -1;
    }
    return 0;
}

// Chooses the form of a sensor change by ID and dialect; the pending fields
// are already stored.
int TIoXmlCustom::SensorChange(std::uint32_t id, const std::string &fields) {
    if (id == kSingleSensorId) return SendChange(EntryRequest("TempRangeSet", kSingleSensorIndex, id, fields));
    if (OldVerSupport != 0) {
        PendingId = id;
        if (StartOldVerRequest() != 0) {
            Status = IOXML_STATUS_OPENED;
            return -2;
        }
        return 0;
    }
    return SendChange(EntryRequest("SenSet", "", id, fields));
}

int TIoXmlCustom::SetOutput(std::uint32_t id, std::uint32_t value) {
    if (Status != IOXML_STATUS_OPENED) return -2;
    started_ = IOXML_STATUS_SET_OUTPUT;
    Status = IOXML_STATUS_SET_OUTPUT;
    const bool indexed = OldVerSupport != 0;
    // Outputs are numbered from 151: a lower ID has no index.
    if (indexed && id < 151) return Refuse(kalax::kINDEX_NOT_VALID);
    try {
        std::string fields = "<Value>";
        AppendDecimal(fields, value);
        fields += "</Value>";
        return SendChange(EntryRequest("BinaryOutSet", IndexPrefix(indexed, id - 150), id, fields));
    } catch (const std::bad_alloc &) {
        return Refuse(kalax::kMEMORY);
    }
}

int TIoXmlCustom::SetRange(std::uint32_t id, float min, float max) {
    if (Status != IOXML_STATUS_OPENED) return -2;
    started_ = IOXML_STATUS_SET_RANGE;
    Status = IOXML_STATUS_SET_RANGE;
    try {
        std::string fields;
        if (!change_fields(IOXML_STATUS_SET_RANGE, min, max, 0.0f, {}, fields)) return Refuse(kalax::kNUMBER_RANGE);
        PendingMin = min;
        PendingMax = max;
        return SensorChange(id, fields);
    } catch (const std::bad_alloc &) {
        return Refuse(kalax::kMEMORY);
    }
}

int TIoXmlCustom::SetCalib(std::uint32_t id, float calib) {
    if (Status != IOXML_STATUS_OPENED) return -2;
    started_ = IOXML_STATUS_SET_CALIB;
    Status = IOXML_STATUS_SET_CALIB;
    try {
        std::string fields;
        if (!change_fields(IOXML_STATUS_SET_CALIB, 0.0f, 0.0f, calib, {}, fields)) return Refuse(kalax::kNUMBER_RANGE);
        PendingCalib = calib;
        return SensorChange(id, fields);
    } catch (const std::bad_alloc &) {
        return Refuse(kalax::kMEMORY);
    }
}

int TIoXmlCustom::SetSensName(std::uint32_t id, const char *name) {
    if (Status != IOXML_STATUS_OPENED) return -2;
    started_ = IOXML_STATUS_SET_NAME;
    Status = IOXML_STATUS_SET_NAME;
    if (!name) return Refuse(kalax::kNULL_POINTER);
    const std::string_view text(name);
    // Bytes the unit's XML parser would refuse, or that would reach its pages
    // as control characters: the document is not valid.
    if (!detail::IsSendableName(text)) return Refuse(kalax::kXML_NOT_VALID);
    try {
        std::string fields;
        change_fields(IOXML_STATUS_SET_NAME, 0.0f, 0.0f, 0.0f, text, fields);
        const bool indexed = OldVerSupport != 0;
        if (id >= 1 && id <= 64) return SendChange(EntryRequest("BinaryInSet", IndexPrefix(indexed, id), id, fields));
        if (id >= 151 && id <= 214)
            return SendChange(EntryRequest("BinaryOutSet", IndexPrefix(indexed, id - 150), id, fields));
        PendingName.assign(text);
        return SensorChange(id, fields);
    } catch (const std::bad_alloc &) {
        return Refuse(kalax::kMEMORY);
    }
}

int TIoXmlCustom::FinishOldVerRequest(int temp_module, zx_error_struct &error) {
    const IoXmlStatusT change = Status.load();
    zxxml_values_struct *values = nullptr;
    zxxml_values_count_struct *counts = nullptr;
    // A failed fetch knows no index: report why it failed rather than send one.
    if (zxxml_get_values_cache(temp_module, &values, &counts) == -1 || !values || !counts) {
        error = detail::ModuleRecord(temp_module);
        Status = IOXML_STATUS_OPENED;
        return -3;
    }
    const std::uint32_t index = detail::FindSensorIndex(*values, *counts, PendingId);
    if (index == 0) {
        error = detail::MakeRecord(kalax::kID_NOT_FOUND, kInvalidSensorId);
        Status = IOXML_STATUS_OPENED;
        return -2;
    }
    try {
        // The dialect is the one the change started in: only the indexed form
        // takes two steps.
        std::string fields;
        change_fields(change, PendingMin, PendingMax, PendingCalib, PendingName, fields);
        const std::string text = EntryRequest("SenSet", IndexPrefix(true, index), PendingId, fields);
        if (zxxml_send_setup_xml(pending_handle_, text.c_str(), static_cast<int>(text.size())) == -1) {
            error = detail::ModuleRecord(pending_handle_);
            Status = IOXML_STATUS_OPENED;
            return -1;
        }
    } catch (const std::bad_alloc &) {
        error = detail::MakeRecord(kalax::kMEMORY);
        Status = IOXML_STATUS_OPENED;
        return -1;
    }
    return 0;
}

}  // namespace zxapi
