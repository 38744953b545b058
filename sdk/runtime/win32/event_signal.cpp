// EventSignal on Windows: a message-only window of the owner thread. Raising
// posts it a message from any thread; the thread's message loop (the host's
// own, or pump's) hands each one to the owner's deliver function.
#include <windows.h>

#include <cerrno>
#include <atomic>
#include <cstdint>

#include "sdk/runtime/event_signal.h"

namespace kalax::platform {

namespace {

constexpr UINT kRaised = WM_APP + 0x4b58;  // within WM_APP..0xBFFF; only our windows get it
const wchar_t kClassName[] = L"KalAxOwnerQueueWindow";
std::atomic<long> open_windows{0};

HINSTANCE this_module() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&this_module), &module);
    return module;
}

}  // namespace

struct SignalWindow {
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
        if (message != kRaised) return DefWindowProcW(window, message, wparam, lparam);
        auto *signal = reinterpret_cast<EventSignal *>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (signal && signal->deliver_) {
            ++signal->delivered_;
            signal->deliver_(signal->context_);
        }
        return 0;
    }

    // Registered once per load of this module. A class of the same name left
    // registered by an earlier load of the library (Windows keeps a DLL's
    // classes after it unloads) points at code that is gone: it is replaced.
    static bool registered(HINSTANCE module) {
        static const bool ok = [module] {
            WNDCLASSEXW found{};
            found.cbSize = sizeof found;
            if (GetClassInfoExW(module, kClassName, &found)) {
                if (found.lpfnWndProc == &SignalWindow::proc) return true;
                UnregisterClassW(kClassName, module);
            }
            WNDCLASSEXW wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = &SignalWindow::proc;
            wc.hInstance = module;
            wc.lpszClassName = kClassName;
            return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
        }();
        return ok;
    }
};

EventSignal::~EventSignal() { close(); }

bool EventSignal::open() { return window_ != nullptr; }

bool EventSignal::open(void (*deliver)(void *), void *context) {
    if (window_) return true;
    const HINSTANCE module = this_module();
    if (!SignalWindow::registered(module)) {
        errno = ENOMEM;
        return false;
    }
    HWND window = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr);
    if (!window) {
        errno = ENOMEM;
        return false;
    }
    deliver_ = deliver;
    context_ = context;
    thread_ = GetCurrentThreadId();
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    window_.store(window);
    open_windows.fetch_add(1);
    return true;
}

long EventSignal::windows_open() noexcept { return open_windows.load(); }

void EventSignal::close() noexcept {
    void *const window = window_.exchange(nullptr);
    if (!window) return;
    // Only its own thread can destroy it; after that thread's end the system
    // has already done so.
    if (GetCurrentThreadId() == thread_) DestroyWindow(static_cast<HWND>(window));
    open_windows.fetch_sub(1);
}

// Callers raise only a clear flag (the queue tracks that under its lock): one
// message stands for any number of events posted before it is handled.
void EventSignal::raise() noexcept {
    if (void *const window = window_.load()) PostMessageW(static_cast<HWND>(window), kRaised, 0, 0);
}

// A message already posted stays; delivering finds nothing then.
void EventSignal::clear() noexcept {}

bool EventSignal::wait(int ms) noexcept { return pump(ms); }

bool EventSignal::pump(int ms) noexcept {
    if (!window_ || GetCurrentThreadId() != thread_) return false;
    const unsigned long before = delivered_;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(ms < 0 ? 0 : ms);
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                // The host's own loop is to see it: put back, stop pumping.
                PostQuitMessage(static_cast<int>(message.wParam));
                return delivered_ != before;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (delivered_ != before) return true;
        DWORD wait = INFINITE;
        if (ms >= 0) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) return false;
            wait = static_cast<DWORD>(deadline - now);
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

}  // namespace kalax::platform
