// Helpers the device object's files share.
#pragma once

#include "kalax/zxapi_device.h"

namespace zxapi::detail {

// A copy of the client's record of `module`; slot 0's for -1 or no module.
zx_error_struct ModuleRecord(int module) noexcept;
// A record of `code` with its table text (or `text`) and no system error.
zx_error_struct MakeRecord(int code, const char *text = nullptr) noexcept;

// The changes that may run in two steps.
constexpr bool IsTwoStepStatus(IoXmlStatusT s) noexcept {
    return s == IOXML_STATUS_SET_RANGE || s == IOXML_STATUS_SET_NAME || s == IOXML_STATUS_SET_CALIB;
}

// The error code of a failed request that was started in status `s`.
constexpr IoXmlErrorT ErrorOfStatus(IoXmlStatusT s) noexcept {
    switch (s) {
    case IOXML_STATUS_GET_VALUES_XML: return IOXML_ERROR_GET_VALUES_XML;
    case IOXML_STATUS_GET_SETUP_XML: return IOXML_ERROR_GET_SETUP_XML;
    case IOXML_STATUS_SET_OUTPUT: return IOXML_ERROR_SET_OUTPUT;
    case IOXML_STATUS_SET_RANGE: return IOXML_ERROR_SET_RANGE;
    case IOXML_STATUS_SET_NAME: return IOXML_ERROR_SET_NAME;
    case IOXML_STATUS_SET_CALIB: return IOXML_ERROR_SET_CALIB;
    default: return IOXML_ERROR_SET_SETUP_XML;
    }
}

}  // namespace zxapi::detail
