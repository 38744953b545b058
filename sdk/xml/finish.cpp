// Completion: zxxml_finish, zxxml_wait_finish and the wake of a waiter.
#include "sdk/runtime/platform.h"
#include "sdk/xml/client.h"

namespace kalax::xml {

void wake_waiter(int module) {
    Client &c = client();
    Module &m = c.modules[module];
    platform::DeferredWake wake;  // after the lock: the waiter's first step takes it
    rt::SlotLock lock(c.rt, module);
    if (m.waiting == 1) platform::sem_post_deferred(m.finish.get(), wake);
}

}  // namespace kalax::xml

using namespace kalax;
using namespace kalax::xml;

namespace {

int finish_flag(const Module &m, int kind) {
    switch (kind) {
    case kFinishWorker: case kFinishWorkerToo: return m.state.load();
    case kFinishValues: case kFinishValuesToo: return m.values_flag;
    case kFinishSetup: case kFinishSetupToo: return m.setup_flag;
    case kFinishSnmp: return m.snmp_flag;
    case kFinishSend: case kFinishSendToo: return m.send_flag;
    case kFinishLoadValues: return m.load_values_flag;
    default: return m.load_setup_flag;
    }
}


}  // namespace

extern "C" {

int zxxml_finish(int module, int kind) {
    if (!check_module(module)) return -1;
    Client &c = client();
    // Slot 0's record is never written while a module's lock is held.
    if (kind < 0 || kind > kFinishKindMax) return c.rt.fail(0, kACTION_NOT_VALID);
    int flag;
    {
        rt::SlotLock lock(c.rt, module);
        flag = finish_flag(c.modules[module], kind);
    }
    if (flag == kDone) return 0;
    c.rt.set_error(0, kACTION_NOT_FINISH);
    return -1;
}

int zxxml_wait_finish(int module, int kind, int timeout_seconds) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    if (kind < 0 || kind > kFinishKindMax) return c.rt.fail(0, kACTION_NOT_VALID);
    {
        rt::SlotLock lock(c.rt, module);
        if (kind > kFinishWorkerToo && m.state.load() != kRunning) return c.rt.fail(module, kTHREAD_NOT_RUN);
        if (m.waiting == 1) {  // one waiter per slot: a second would steal the first one's wakes
            c.rt.set_error(module, kACTION_NOT_FINISH);
            return -1;
        }
        if (m.finish.create()) {
            // The first look at the action under the same lock: what is done
            // already needs no wait and no second lock.
            if (finish_flag(m, kind) == kDone) {
                m.finish.reset();
                return 0;
            }
            m.waiting = 1;
            m.deadline = static_cast<int32_t>(platform::now_seconds() + (timeout_seconds < 0 ? 0 : timeout_seconds));
        }
    }
    if (m.waiting != 1) return c.rt.fail(0, kSEM_INIT);
    auto end_wait = [&]() {
        rt::SlotLock lock(c.rt, module);
        m.waiting = 0;
        const int32_t deadline = m.deadline;
        m.finish.reset();
        return deadline;
    };
    // Not done at that look: the code zxxml_finish leaves in slot 0 while a
    // wait is under way, stored now that the slot's lock is released.
    c.rt.set_error(0, kACTION_NOT_FINISH);
    bool finished = false, closed = false;
    for (;;) {
        zx_sem_wait(m.finish.get());
        if (zxxml_finish(module, kind) == 0) {
            finished = true;
            break;
        }
        rt::SlotLock lock(c.rt, module);
        if (m.deadline == 0) break;
        // A close wakes its waiter; nothing will ever finish on a closed slot.
        if (m.state.load() == kFree) {
            closed = true;
            break;
        }
    }
    const int32_t deadline = end_wait();
    if (finished || (deadline != 0 && !closed)) return 0;
    c.rt.set_error(0, closed ? kTHREAD_NOT_RUN : kTIMEOUT);
    return -1;
}

}  // extern "C"

