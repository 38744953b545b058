#include "zxapi/callback_link.h"

#include <cstdint>
#include <new>
#include <unordered_map>

#include "sdk/runtime/no_destroy.h"

namespace zxapi::detail {

namespace {

struct Links {
    std::mutex mu;
    std::unordered_map<std::uintptr_t, std::shared_ptr<CallbackLink>> map;
    std::uintptr_t next = 1;
};

// Never destroyed: workers that outlived a close may look here at exit.
Links &links() noexcept {
    static kalax::rt::NoDestroy<Links> all;
    return all.get();
}

}  // namespace

void *CallbackLinkOpen(void *object) noexcept {
    try {
        auto link = std::make_shared<CallbackLink>();
        link->object = object;
        Links &l = links();
        std::lock_guard lock(l.mu);
        const std::uintptr_t id = l.next++;
        l.map.emplace(id, std::move(link));
        return reinterpret_cast<void *>(id);
    } catch (...) {
        return nullptr;
    }
}

void CallbackLinkClear(void *token) noexcept {
    if (!token) return;
    std::shared_ptr<CallbackLink> link;
    {
        Links &l = links();
        std::lock_guard lock(l.mu);
        auto it = l.map.find(reinterpret_cast<std::uintptr_t>(token));
        if (it == l.map.end()) return;
        link = std::move(it->second);
        l.map.erase(it);
    }
    std::lock_guard lock(link->mu);
    link->object = nullptr;
}

std::shared_ptr<CallbackLink> CallbackLinkFind(void *token) noexcept {
    Links &l = links();
    std::lock_guard lock(l.mu);
    auto it = l.map.find(reinterpret_cast<std::uintptr_t>(token));
    return it == l.map.end() ? nullptr : it->second;
}

}  // namespace zxapi::detail
