// The callback link (callback_link.h) with the log object's type.
#pragma once

#include "zxapi/callback_link.h"

namespace zxapi {
class TKalLogCustom;
}

namespace zxapi::detail {

inline void *LogLinkOpen(TKalLogCustom *object) noexcept { return CallbackLinkOpen(object); }
inline void LogLinkClear(void *token) noexcept { CallbackLinkClear(token); }

template <class Fn>
void LogLinkCall(void *token, Fn &&fn) noexcept {
    CallbackLinkCall<TKalLogCustom>(token, std::forward<Fn>(fn));
}

}  // namespace zxapi::detail
