// A C++ host of the object layer that knows only the public headers and
// libkalax.so: an object of its own, derived from TEventTarget, receives what
// worker threads post, through a C-style poll loop on zx_events_fd(). Every
// event arrives, in order per worker, on the thread that made the object, and
// the public classes and functions link from the shared library.
#include <kalax/zxapi.h>
#include <poll.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

int failures = 0;

#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond);    \
            ++failures;                                                                \
        }                                                                              \
    } while (0)

struct Note {
    int worker;
    int seq;
};

class Probe : public zxapi::TEventTarget {
public:
    explicit Probe(int workers) : last_(workers, -1) {}
    ~Probe() override { StopEvents(); }
    void Send(int worker, int seq) const { Post(zxapi::detail::MakePosted<Note>(0x400, worker, seq)); }
    void DeliverEvent(zxapi::detail::Posted &event) override {
        CHECK(std::this_thread::get_id() == owner_);
        CHECK(event.Message == 0x400);
        const Note &note = zxapi::detail::PayloadOf<Note>(event);
        CHECK(note.seq == last_[note.worker] + 1);
        last_[note.worker] = note.seq;
        ++delivered;
    }
    int delivered = 0;

private:
    const std::thread::id owner_ = std::this_thread::get_id();
    std::vector<int> last_;
};

void events_through_a_poll_loop() {
    constexpr int kWorkers = 4, kEach = 2500;
    const int fd = zx_events_fd();
    CHECK(fd >= 0);
    Probe probe(kWorkers);
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&probe, w] {
            for (int i = 0; i < kEach; ++i) probe.Send(w, i);
        });
    int polls = 0;
    while (probe.delivered < kWorkers * kEach) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 5000);
        if (ready <= 0) {
            std::fprintf(stderr, "the descriptor stayed quiet with %d of %d delivered\n", probe.delivered,
                         kWorkers * kEach);
            ++failures;
            break;
        }
        ++polls;
        zx_events_dispatch(0);
    }
    for (auto &t : workers) t.join();
    CHECK(probe.delivered == kWorkers * kEach);
    pollfd p{fd, POLLIN, 0};
    CHECK(::poll(&p, 1, 0) == 0);  // all delivered: quiet again
    std::printf("%d events in %d polls\n", probe.delivered, polls);
}

void public_classes_link() {
    zx_error_struct record{};
    record.code = 28;
    record.sys_code = 111;
    std::strcpy(record.text, "Socket connect failure");
    std::strcpy(record.sys_text, "Connection refused");
    int raised = 0;
    zxapi::THandlerSlot<zxapi::TSdkErrorEventArgs> slot;
    slot.Set([&](zxapi::TSdkErrorEventArgs &args) {
        raised = args.SdkCode;
        CHECK(args.SysDesc == "Connection refused");
    });
    zxapi::TSdkErrorEventArgs args(nullptr, zxapi::IOXML_ERROR_OPEN, record);
    slot.Raise(args);
    CHECK(raised == 28);
    CHECK(zxapi::TSdkError(record).SdkDesc == "Socket connect failure");

    std::string ip;
    CHECK(zxapi::ResolveHostIP("localhost", ip) == 0 && ip == "127.0.0.1");

    zxapi::TXmlSensorEnum item;
    item.SensType = zxapi::TYPE_BINARY_INPUT;
    item.Value = 1.0f;
    CHECK(zxapi::XmlSensorEnumToStr(item, zxapi::XMLE2S_VALUE) == "On");
    zxapi::TXmlSensorStr text;
    text.FromEnum(item);
    CHECK(text.Field(zxapi::XMLE2S_SENSTYPE) == "Binary input");
    CHECK(zxapi::CountXmlItems(1, false) == -1);  // no module open

    // Alarm records only (type filter 2): a normal record (type 0) is dropped.
    CHECK(zxapi::KeepLogRecord(2, 0, 1, 3));
    CHECK(!zxapi::KeepLogRecord(2, 0, 0, 3));
}

}  // namespace

int main() {
    events_through_a_poll_loop();
    public_classes_link();
    if (failures == 0) std::printf("all checks held\n");
    return failures == 0 ? 0 : 1;
}
