// The Windows platform layer under Wine: threads and their bounded ends,
// the semaphore and recursive mutex, clocks, error texts, whole-file reads and
// appends, a connect that times out, and the owner-thread queue delivering a device object's events
// through a plain GetMessage loop and through zx_events_wait, its window
// there while the thread's objects live and gone with its thread.
//   kalax_platform_test.exe PORT CLOSED_PORT   (a simulated unit on 127.0.0.1:PORT)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kalax/zxapi_device.h"
#include "kalax/zxevents.h"
#include "kalax/zxxml.h"
#include "sdk/runtime/event_signal.h"
#include "sdk/runtime/files.h"
#include "sdk/runtime/platform.h"
#include "sdk/runtime/platform_files.h"

namespace {

int failures = 0;

#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                          \
        }                                                                        \
    } while (0)

namespace platform = kalax::platform;

// ---- threads -----------------------------------------------------------------------
struct Sleeper {
    std::atomic<bool> current{false};
    std::atomic<bool> after_exit{false};
    std::atomic<bool> unwound{false};
    platform::Thread *handle = nullptr;
    int ms = 0;
    bool end_early = false;
};

struct SetOnUnwind {
    std::atomic<bool> &flag;
    ~SetOnUnwind() { flag = true; }
};

void sleeper(void *p) {
    auto &s = *static_cast<Sleeper *>(p);
    SetOnUnwind guard{s.unwound};
    s.current = s.handle->is_current();
    platform::sleep_ms(s.ms);
    if (s.end_early) platform::thread_exit();
    s.after_exit = true;
}

void threads() {
    Sleeper slow;
    platform::Thread t;
    slow.handle = &t;
    slow.ms = 300;
    CHECK(t.start(sleeper, &slow));
    CHECK(!t.is_current());
    CHECK(!t.join_for(50));  // still sleeping: the wait is bounded
    CHECK(t.attached());
    CHECK(t.join_for(5000));
    CHECK(!t.attached());
    CHECK(slow.current);
    CHECK(slow.after_exit);

    // thread_exit unwinds to the thread's start: nothing after it runs, and
    // the frames' locals are destroyed on the way.
    Sleeper ended;
    platform::Thread e;
    ended.handle = &e;
    ended.end_early = true;
    CHECK(e.start(sleeper, &ended));
    CHECK(e.join_for(5000));
    CHECK(!ended.after_exit);
    CHECK(ended.unwound);

    // A detached thread runs on to its end.
    auto *loose = new Sleeper;
    platform::Thread d;
    loose->handle = &d;
    loose->ms = 10;
    CHECK(d.start(sleeper, loose));
    d.detach();
    platform::sleep_ms(200);
    CHECK(loose->after_exit);
    delete loose;
}

struct SemWaiter {
    zx_sem_t *sem;
    std::atomic<bool> woke{false};
};

void sem_waiter(void *p) {
    auto &w = *static_cast<SemWaiter *>(p);
    if (zx_sem_wait(w.sem) == 0) w.woke = true;
}

void semaphore_and_mutex() {
    zx_sem_t sem = nullptr;
    CHECK(zx_sem_init(&sem) == 0);
    CHECK(zx_sem_post(&sem) == 0);
    CHECK(zx_sem_post(&sem) == -1);  // the count is at its maximum 1
    CHECK(zx_sem_wait(&sem) == 0);
    SemWaiter w{&sem};
    platform::Thread t;
    CHECK(t.start(sem_waiter, &w));
    platform::sleep_ms(50);
    CHECK(!w.woke);
    CHECK(zx_sem_post(&sem) == 0);
    CHECK(t.join_for(5000));
    CHECK(w.woke);
    CHECK(zx_sem_destroy(&sem) == 1);
    CHECK(zx_sem_destroy(&sem) == 0);

    zx_thread_mutex_t m;
    CHECK(zx_thread_mutex_init(&m) == 0);
    CHECK(zx_thread_mutex_lock(&m) == 0);
    CHECK(zx_thread_mutex_lock(&m) == 0);  // recursive
    CHECK(zx_thread_mutex_unlock(&m) == 0);
    CHECK(zx_thread_mutex_unlock(&m) == 0);
    zx_thread_mutex_destroy(&m);
}

void clocks_and_texts() {
    const int64_t start = platform::monotonic_ms();
    platform::sleep_ms(100);
    const int64_t took = platform::monotonic_ms() - start;
    CHECK(took >= 90 && took < 5000);
    CHECK(platform::now_seconds() > 1600000000);
    std::tm tm{};
    CHECK(platform::local_time(86400 * 365, &tm));
    CHECK(tm.tm_year == 70 || tm.tm_year == 71);

    char text[104];
    platform::error_text(ENOENT, text, sizeof text);
    CHECK(std::strcmp(text, "No such file or directory") == 0);
    platform::error_text(WSAECONNREFUSED, text, sizeof text);
    CHECK(text[0] != '\0' && text[std::strlen(text) - 1] != '\n');
    std::printf("error texts: ENOENT and WSAECONNREFUSED \"%s\"\n", text);
}

void files() {
    char folder[MAX_PATH];
    CHECK(GetTempPathA(sizeof folder, folder) > 0);
    const std::string dir = std::string(folder) + "kalax-platform-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string file = dir + "\\log.csv";
    DeleteFileA(file.c_str());

    CHECK(platform::path_kind(file.c_str()) == platform::PathKind::Missing);
    CHECK(platform::path_kind(dir.c_str()) == platform::PathKind::Other);
    std::vector<char> got;
    CHECK(platform::read_file(file.c_str(), 100, got) == platform::FileResult::OpenFailed);
    CHECK(platform::read_file(dir.c_str(), 100, got) == platform::FileResult::OpenFailed);
    CHECK(platform::read_file("NUL", 100, got) == platform::FileResult::OpenFailed);  // a device

    CHECK(platform::append_file(file.c_str(), "a;1\r\n", 5) == platform::FileResult::Ok);
    CHECK(platform::append_file(file.c_str(), "b;2\r\n", 5) == platform::FileResult::Ok);
    CHECK(platform::path_kind(file.c_str()) == platform::PathKind::Regular);
    CHECK(platform::read_file(file.c_str(), 100, got) == platform::FileResult::Ok);
    CHECK(std::string(got.begin(), got.end()) == "a;1\r\nb;2\r\n");
    CHECK(got.capacity() > got.size());  // room for a terminator
    CHECK(platform::read_file(file.c_str(), 9, got) == platform::FileResult::TooLarge);
    CHECK(platform::append_file(dir.c_str(), "x", 1) == platform::FileResult::OpenFailed);

    DeleteFileA(file.c_str());
    RemoveDirectoryA(dir.c_str());
}

// The component runtime's files and libraries.
void platform_files() {
    char folder[MAX_PATH];
    CHECK(GetTempPathA(sizeof folder, folder) > 0);
    const std::string dir = std::string(folder) + "kalax-pf-" + std::to_string(GetCurrentProcessId());
    int err = 0;
    CHECK(platform::folder_make(dir + "\\a\\b", err));
    CHECK(platform::folder_make(dir + "/a/b", err));  // already there: fine
    const std::string file = dir + "\\a\\b\\registry.reg";
    std::string got;
    CHECK(!platform::file_read(file, got, err) && err == ENOENT);
    CHECK(platform::file_replace(file, "REGEDIT4\r\n", err));
    CHECK(platform::file_replace(file, "REGEDIT4\r\n[x]\r\n", err));  // over an existing one
    CHECK(platform::file_read(file, got, err) && got == "REGEDIT4\r\n[x]\r\n");
    {
        platform::FileLock lock;
        CHECK(lock.lock(file + ".lock", err));
    }
    DeleteFileA((file + ".lock").c_str());
    DeleteFileA(file.c_str());
    RemoveDirectoryA((dir + "\\a\\b").c_str());
    RemoveDirectoryA((dir + "\\a").c_str());
    RemoveDirectoryA(dir.c_str());

    const std::string self = platform::loaded_file_of(reinterpret_cast<const void *>(&platform_files));
    const std::string name = "\\kalax_platform_test.exe";
    CHECK(self.size() > name.size() && self.compare(self.size() - name.size(), name.size(), name) == 0);
    std::printf("loaded from %s\n", self.c_str());
    platform::Library kernel;
    std::string error;
    CHECK(kernel.open("kernel32.dll", error));
    CHECK(kernel.symbol("GetTickCount64") != nullptr);
    CHECK(kernel.symbol("NoSuchFunction") == nullptr);
    platform::Library none;
    CHECK(!none.open("kalax-no-such-library.dll", error) && !error.empty());
}

// A listener that answers no more connects: its backlog is full, so a
// connect's handshake never completes. The library gives up after its five
// seconds with code 28 and Winsock's time-out.
void connect_that_never_completes() {
    CHECK(platform::socket_layer_init());
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
    int len = sizeof at;
    CHECK(bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 && listen(listener, 0) == 0 &&
          getsockname(listener, reinterpret_cast<sockaddr *>(&at), &len) == 0);
    const SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    CHECK(connect(filler, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0);

    CHECK(zxxml_init() == 0);
    zxxml_settings_struct settings{};
    const int unit = zxxml_open("127.0.0.1", ntohs(at.sin_port), &settings, nullptr);
    CHECK(unit > 0);
    const int64_t start = platform::monotonic_ms();
    CHECK(zxxml_wait_finish(unit, 0, 5) == 0 && zxxml_get_values(unit) == 0);
    CHECK(zxxml_wait_finish(unit, 2, 30) == 0);
    const int64_t took = platform::monotonic_ms() - start;
    zx_error_struct e{};
    CHECK(zxxml_error(unit, &e) == 0);
    std::printf("pending connect: %s (%d): %s (%d) after %lld ms\n", e.text, e.code, e.sys_text, e.sys_code,
                static_cast<long long>(took));
    CHECK(e.code == 28 && e.sys_code == WSAETIMEDOUT && e.sys_text[0] != '\0');
    CHECK(took >= 4500 && took < 15000);
    CHECK(zxxml_close(unit) == 0);
    CHECK(zxxml_uninit() == 0);
    closesocket(filler);
    closesocket(listener);
}

// ---- the owner-thread queue ---------------------------------------------------------------
int queue_windows() {
    int n = 0;
    HWND at = nullptr;
    while ((at = FindWindowExW(HWND_MESSAGE, at, L"KalAxOwnerQueueWindow", nullptr)) != nullptr) ++n;
    return n;
}

struct Device {
    explicit Device(int port) : d(nullptr) {
        d.Port = static_cast<std::uint32_t>(port);
        d.OnStart.Set([this](zxapi::TSdkSimpleEventArgs &) { seen("start"); });
        d.OnConnect.Set([this](zxapi::TIoXmlStatusEventArgs &a) { seen("connect:" + std::to_string(a.Status)); });
        d.OnValuesXml.Set([this](zxapi::TIoXmlValuesEventArgs &a) {
            seen(std::string("values:") + std::to_string(a.Counts->SenSet));
            done = true;
        });
        d.OnError.Set([this](zxapi::TSdkErrorEventArgs &a) {
            seen("error:" + std::to_string(a.SdkCode) + ":" + std::to_string(a.SysCode));
            done = true;
        });
    }
    void seen(const std::string &what) {
        lines.push_back(what);
        if (GetCurrentThreadId() != owner) off_thread = true;
    }
    std::string joined() const {
        std::string all;
        for (const auto &l : lines) all += (all.empty() ? "" : " ") + l;
        return all;
    }
    zxapi::TIoXml d;
    DWORD owner = GetCurrentThreadId();
    std::vector<std::string> lines;
    bool done = false;
    bool off_thread = false;
};

// The host's own message loop, bounded by a timer of the thread.
bool message_loop_until(const bool &done, UINT ms) {
    const UINT_PTR timer = SetTimer(nullptr, 0, ms, nullptr);
    MSG msg;
    bool timed_out = false;
    while (!done && !timed_out && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.wParam == timer) timed_out = true;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    KillTimer(nullptr, timer);
    return done;
}

void events_through_the_message_loop(int port, int closed) {
    Device dev(port);
    CHECK(queue_windows() >= 1);
    CHECK(dev.d.Open() == 0);
    CHECK(dev.d.GetValuesXml() == 0);
    CHECK(message_loop_until(dev.done, 10000));
    std::printf("message loop: %s\n", dev.joined().c_str());
    CHECK(dev.joined() == "start connect:2 values:3");
    CHECK(!dev.off_thread);

    // The same through zx_events_wait; a refused port brings Winsock's code.
    Device refused(closed);
    CHECK(refused.d.Open() == 0);
    CHECK(refused.d.GetValuesXml() == 0);
    for (int i = 0; i < 100 && !refused.done; ++i) zx_events_wait(100);
    std::printf("zx_events_wait: %s\n", refused.joined().c_str());
    CHECK(refused.joined() == "start error:28:10061");
    CHECK(!refused.off_thread);
    CHECK(zx_events_wait(50) == 0);  // nothing more: the wait times out
    CHECK(queue_windows() == 1);
}

// The window goes with the thread's last object and comes back with the next.
void a_window_while_objects_live(int port) {
    CHECK(queue_windows() == 0);
    CHECK(platform::EventSignal::windows_open() == 0);
    {
        Device dev(port);
        CHECK(queue_windows() == 1);
        CHECK(platform::EventSignal::windows_open() == 1);
        CHECK(dev.d.Open() == 0);
        CHECK(dev.d.GetValuesXml() == 0);
        CHECK(message_loop_until(dev.done, 10000));
    }
    CHECK(queue_windows() == 0);
    CHECK(platform::EventSignal::windows_open() == 0);
    CHECK(zx_events_wait(50) == 0);  // bounded without a window too
}

// Events a handler posts while a message is being handled, beyond what that
// message stood for, still reach a plain message loop.
struct Relay : zxapi::TEventTarget {
    ~Relay() override { StopEvents(); }
    void post(unsigned n) { Post(zxapi::detail::MakePosted<int>(n, 0)); }
    void DeliverEvent(zxapi::detail::Posted &event) override {
        order += std::to_string(event.Message);
        if (event.Message == 1) post(3);  // after 2, outside the running delivery
        done = event.Message == 3;
    }
    std::string order;
    bool done = false;
};

void events_posted_while_delivering() {
    Relay relay;
    relay.post(1);
    relay.post(2);
    CHECK(message_loop_until(relay.done, 3000));
    CHECK(relay.order == "123");
}

struct OtherOwner {
    int port = 0;
    int windows_inside = 0;
    bool done = false;
    std::string lines;
};

void other_owner(void *p) {
    auto &o = *static_cast<OtherOwner *>(p);
    Device dev(o.port);
    o.windows_inside = queue_windows();
    if (dev.d.Open() == 0 && dev.d.GetValuesXml() == 0)
        for (int i = 0; i < 100 && !dev.done; ++i) zx_events_wait(100);
    o.done = dev.done && !dev.off_thread;
    o.lines = dev.joined();
}

void a_window_per_owner_thread(int port) {
    const int before = queue_windows();
    OtherOwner o;
    o.port = port;
    platform::Thread t;
    CHECK(t.start(other_owner, &o));
    CHECK(t.join_for(15000));
    CHECK(o.done);
    CHECK(o.lines == "start connect:2 values:3");
    CHECK(o.windows_inside == before + 1);
    CHECK(queue_windows() == before);  // gone with its thread
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kalax_platform_test PORT CLOSED_PORT\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int closed = std::atoi(argv[2]);
    threads();
    semaphore_and_mutex();
    clocks_and_texts();
    files();
    platform_files();
    connect_that_never_completes();
    events_through_the_message_loop(port, closed);
    events_posted_while_delivering();
    a_window_while_objects_live(port);
    a_window_per_owner_thread(port);
    if (failures == 0) std::printf("platform: all checks held\n");
    return failures == 0 ? 0 : 1;
}
