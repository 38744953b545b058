// How a C client's callbacks find the object that opened the module.
//
// The client is handed a token, not the object: a close that times out leaves
// a worker that may still call back after the object is gone. Each token names
// a small shared link that the object clears (under the link's lock, so a
// callback in progress is waited for) before it goes; a later callback finds
// the link cleared, or no link at all, and returns. Tokens are never reused.
// Device and log objects share this; device_link.h and log_link.h give it
// their types.
#pragma once

#include <memory>
#include <mutex>

namespace zxapi::detail {

struct CallbackLink {
    std::mutex mu;
    void *object = nullptr;
};

// A new link to `object`; its token, or null when memory is short.
void *CallbackLinkOpen(void *object) noexcept;
// Clears and forgets the link: when it returns, no callback runs through the
// token any more and none will. Null is ignored.
void CallbackLinkClear(void *token) noexcept;
// The link of `token`, or null when it was cleared.
std::shared_ptr<CallbackLink> CallbackLinkFind(void *token) noexcept;

// Calls `fn(object)` with the link's lock held when the link still leads to an
// object of type T.
template <class T, class Fn>
void CallbackLinkCall(void *token, Fn &&fn) {
    std::shared_ptr<CallbackLink> link = CallbackLinkFind(token);
    if (!link) return;
    std::lock_guard lock(link->mu);
    if (link->object) fn(*static_cast<T *>(link->object));
}

}  // namespace zxapi::detail
