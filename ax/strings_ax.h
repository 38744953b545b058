// The string rules the automation objects share: texts of the system code
// page (Windows-1252) and of UTF-8 in and out of BSTRs, with a failed
// conversion reported as error info and DISP_E_EXCEPTION.
#pragma once

#include <string>
#include <string_view>

#include "ax/apartment.h"
#include "ax/codepage.h"
#include "ax/com.h"

namespace kalax::ax::lib {

inline HRESULT bstr_out(std::u16string_view text, BSTR *out) {
    *out = bstr_from(text);
    return *out ? S_OK : E_OUTOFMEMORY;
}

// A text of the system code page as a BSTR.
inline HRESULT ansi_out(std::string_view bytes, BSTR *out) { return bstr_out(cp1252_decode(bytes), out); }

inline std::u16string_view view_of(BSTR b) { return {b ? u16_of(b) : u"", zxax_SysStringLen(b)}; }

// A BSTR in the system code page; a character the page lacks is a failure.
inline HRESULT ansi_in(BSTR in, std::string &out, const IID &iid, const char *source) {
    if (!cp1252_encode(view_of(in), out))
        return report_error(DISP_E_EXCEPTION, iid, source,
                            "The text holds a character that the system code page (Windows-1252) cannot represent");
    return S_OK;
}

// A BSTR as UTF-8; an unpaired surrogate is a failure.
inline HRESULT utf8_in(BSTR in, std::string &out, const IID &iid, const char *source) {
    if (!utf16_to_utf8(view_of(in), out))
        return report_error(DISP_E_EXCEPTION, iid, source, "The text is not valid UTF-16 and cannot become UTF-8");
    return S_OK;
}

}  // namespace kalax::ax::lib
