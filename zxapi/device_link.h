// How the agent XML client's callbacks find a device object.
//
// The client is handed a token, not the object: a close that times out leaves
// a worker that may still call back after the object is gone. Each token names
// a small shared link that the object clears (under the link's lock, so a
// callback in progress is waited for) before it goes; a later callback finds
// the link cleared, or no link at all, and returns. Tokens are never reused.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

namespace zxapi {
class TIoXmlCustom;
}

namespace zxapi::detail {

struct DeviceLink {
    std::mutex mu;
    TIoXmlCustom *object;
};

// A new link to `object`; its token, or null when memory is short.
void *LinkOpen(TIoXmlCustom *object) noexcept;
// Clears and forgets the link: when it returns, no callback runs through the
// token any more and none will. Null is ignored.
void LinkClear(void *token) noexcept;
// The link of `token`, or null when it was cleared.
std::shared_ptr<DeviceLink> LinkFind(void *token) noexcept;

// Calls `fn(object)` with the link's lock held when the link still leads to an
// object.
template <class Fn>
void LinkCall(void *token, Fn &&fn) {
    std::shared_ptr<DeviceLink> link = LinkFind(token);
    if (!link) return;
    std::lock_guard lock(link->mu);
    if (link->object) fn(*link->object);
}

}  // namespace zxapi::detail
