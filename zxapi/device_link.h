// The callback link (callback_link.h) with the device object's type.
#pragma once

#include "zxapi/callback_link.h"

namespace zxapi {
class TIoXmlCustom;
}

namespace zxapi::detail {

using DeviceLink = CallbackLink;

inline void *LinkOpen(TIoXmlCustom *object) noexcept { return CallbackLinkOpen(object); }
inline void LinkClear(void *token) noexcept { CallbackLinkClear(token); }
inline std::shared_ptr<DeviceLink> LinkFind(void *token) noexcept { return CallbackLinkFind(token); }

template <class Fn>
void LinkCall(void *token, Fn &&fn) {
    CallbackLinkCall<TIoXmlCustom>(token, std::forward<Fn>(fn));
}

}  // namespace zxapi::detail
