// What a member's failure tells Invoke's caller, on either platform's error info.
#include <cstring>

#include "ax/apartment.h"
#include "ax/com.h"

namespace kalax::ax {

void fill_excepinfo(EXCEPINFO *info, HRESULT hr) {
    if (!info) return;  // the error info stays for the caller's GetErrorInfo
    ComPtr<IErrorInfo> error;
    if (zxax_GetErrorInfo(0, error.put()) != S_OK) error.reset();
    std::memset(info, 0, sizeof *info);
    info->scode = hr;
    if (error) {
        error->GetSource(&info->bstrSource);
        error->GetDescription(&info->bstrDescription);
        error->GetHelpFile(&info->bstrHelpFile);
        error->GetHelpContext(&info->dwHelpContext);
    }
}

}  // namespace kalax::ax
