// The worker thread of a log module: its start-up, the request cycle (connect,
// send, receive into the growing download buffer, filter, callbacks) and the
// body sink that grows that buffer.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "sdk/pld/client.h"

namespace kalax::pld {

namespace {

// What the worker reads from its slot, under the slot lock, for one request.
struct Request {
    int state = kFree;
    uint8_t kind = kNone;
    char text[kRequestSize] = {};
    char address[kAddressSize] = {};
    int32_t port = 0;
    int32_t type_filter = 0;
    int32_t group_filter = 0;
    void *user_data = nullptr;
    Callbacks cb;
};

enum class Outcome { Served, Stopped };

void read_request(Client &c, int slot, Request &r) {
    Module &m = c.modules[slot];
    rt::SlotLock lock(c.rt, slot);
    r.state = m.state.load();
    r.kind = m.kind;
    std::memcpy(r.text, m.request_text, sizeof r.text);
    r.text[sizeof r.text - 1] = '\0';
    std::memcpy(r.address, m.address, sizeof r.address);
    r.address[sizeof r.address - 1] = '\0';
    r.port = m.port;
    r.type_filter = m.type_filter;
    r.group_filter = m.group_filter;
    r.user_data = m.user_data;
    r.cb = m.callbacks;
}

// The slot's record as it stands, for a callback; the record itself may be
// rewritten by another thread while the callback reads.
zx_error_struct error_copy(Client &c, int slot) {
    zx_error_struct e{};
    c.rt.read_error(slot, &e);
    return e;
}

void report_failure(Client &c, int slot, const Request &r) {
    void (*on_error)(int, void *, zx_error_struct *) = nullptr;
    switch (r.kind) {
    case kCsv: on_error = r.cb.on_csv_error; break;
    case kBin: on_error = r.cb.on_bin_error; break;
    case kDel: on_error = r.cb.on_del_error; break;
    case kDelAll: on_error = r.cb.on_delall_error; break;
    default: break;
    }
    if (!on_error) return;
    zx_error_struct e = error_copy(c, slot);
    on_error(slot, r.user_data, &e);
}

void report_success(Client &c, int slot, const Request &r, std::vector<char> &buffer, int length) {
    switch (r.kind) {
    case kCsv: {
        int filtered = length;
        // Without memory for the pass the text is delivered as it came.
        if (c.filter_pass(r.type_filter, r.group_filter, buffer, &filtered) != 0) {
            c.rt.set_error(slot, kMEMORY);
            filtered = length;
        }
        if (r.cb.on_csv) r.cb.on_csv(slot, r.user_data, buffer.data(), filtered);
        break;
    }
    case kBin:
        if (r.cb.on_bin) r.cb.on_bin(slot, r.user_data, buffer.data(), length);
        break;
    case kDel:
        if (r.cb.on_del) r.cb.on_del(slot, r.user_data);
        break;
    case kDelAll:
        if (r.cb.on_delall) r.cb.on_delall(slot, r.user_data);
        break;
    default:
        break;
    }
}

// One request from connection to its callback. Stopped: the module is being
// closed; the request is abandoned without a callback.
Outcome serve(Client &c, int slot, const Request &r, std::vector<char> &buffer) {
    Module &m = c.modules[slot];
    const rt::Link link = m.link(c.rt, slot);
    int rc = rt::connect_dotted(link, r.address, r.port);
    if (rc == rt::kIoStopped) return Outcome::Stopped;
    if (rc != rt::kIoOk) {
        if (r.cb.on_connect_error) {
            zx_error_struct e = error_copy(c, slot);
            r.cb.on_connect_error(slot, r.user_data, &e);
        }
        return Outcome::Served;
    }
    if (r.cb.on_connect) r.cb.on_connect(slot, r.user_data);

    int length = 0;
    rc = link.stopping() ? rt::kIoStopped : rt::send_all(link, r.text, std::strlen(r.text));
    if (rc == rt::kIoOk) {
        std::memset(buffer.data(), 0, std::min(buffer.size(), kDownloadInitial));
        GrowingBody body(buffer, slot, r.user_data, r.cb.on_data);
        rc = rt::receive_response(link, body);
        length = body.length();
    }
    rt::close_socket(link);
    // A close that came during the last callback of the transfer still wins.
    if (rc == rt::kIoStopped || link.stopping()) return Outcome::Stopped;
    if (rc != rt::kIoOk)
        report_failure(c, slot, r);
    else
        report_success(c, slot, r, buffer, length);
    return Outcome::Served;
}

void run_worker(Client &c, int slot) {
    Module &m = c.modules[slot];
    // With no slot left the cursor stays, and code 18 tells that the next open
    // will fail; this worker still serves its own slot.
    if (!c.move_cursor(slot)) c.rt.set_error(0, kID_LIMIT);
    c.open_gate();

    std::vector<char> buffer;
    try {
        buffer.resize(kDownloadInitial);
    } catch (const std::bad_alloc &) {
        c.rt.set_error(0, kMEMORY);
        return;
    }
    {
        rt::SlotLock lock(c.rt, slot);
        int opening = kOpening;
        m.state.compare_exchange_strong(opening, kRunning);  // a close that came first wins
    }

    Request r;
    for (;;) {
        if (c.wait_request(slot) != 0) {
            // Never serve without a request: a broken wait only checks for close.
            if (m.state.load() == kFree) break;
            platform::sleep_ms(rt::kSliceMs);
            continue;
        }
        read_request(c, slot, r);
        if (r.state == kFree) break;
        if (r.kind == kNone) continue;
        if (serve(c, slot, r, buffer) == Outcome::Stopped) break;
    }
    rt::close_socket(m.link(c.rt, slot));
}

}  // namespace

void worker_entry(void *arg) {
    const int slot = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    run_worker(client(), slot);
}

int GrowingBody::body(const char *data, size_t count) {
    if (length_ + count + 1 > buffer_.size()) {
        const size_t total = length_ + count;
        if (total + 1 > limit_) return kMEMORY;
        const size_t grown = std::min(buffer_.size() + std::max(total, kDownloadStep), limit_);
        try {
            buffer_.resize(grown);
        } catch (const std::bad_alloc &) {
            return kMEMORY;
        } catch (const std::length_error &) {
            return kMEMORY;
        }
    }
    char *at = buffer_.data() + length_;
    if (count) std::memcpy(at, data, count);
    length_ += count;
    buffer_[length_] = '\0';
    if (on_data_) on_data_(module_, user_data_, at, static_cast<int>(count));
    return 0;
}

}  // namespace kalax::pld
