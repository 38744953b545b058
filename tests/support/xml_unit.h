// An agent XML client talking to one simulated unit, with every callback
// recorded as an event: "connect", "error:<code>", "values", "values:null",
// "setup", "setup:null", "send", "send:null", "values_many", "setup_many".
#pragma once

#include <memory>
#include <string>

#include "support/xml_fixture.h"
#include "unitsim/unitsim.h"

namespace kalax::test {

struct Seen {
    Events events;
    std::string device_name;      // from the last values or setup callback
    int inputs = -1, outputs = -1, sensors = -1;
    int last_index = -2;
};

inline void cb_values(int, void *owner, int index, zxxml_values_struct *v, zxxml_values_count_struct *c) {
    auto *seen = static_cast<Seen *>(owner);
    if (v) {
        seen->device_name = v->Agent_DeviceName;
        seen->inputs = c->BinaryInSet;
        seen->outputs = c->BinaryOutSet;
        seen->sensors = c->SenSet;
    }
    seen->last_index = index;
    seen->events.push(v && c ? "values" : "values:null");
}
inline void cb_setup(int, void *owner, int index, zxxml_setup_struct *s, zxxml_setup_count_struct *c) {
    auto *seen = static_cast<Seen *>(owner);
    if (s) {
        seen->device_name = s->Agent_DeviceName;
        seen->inputs = c->BinaryInSet;
        seen->outputs = c->BinaryOutSet;
        seen->sensors = c->SenSet;
    }
    seen->last_index = index;
    seen->events.push(s && c ? "setup" : "setup:null");
}
inline void cb_send(int, void *owner, int, zxxml_setup_struct *s, zxxml_setup_count_struct *c) {
    static_cast<Seen *>(owner)->events.push(s && c ? "send" : "send:null");
}
inline void cb_values_many(int, void *owner) { static_cast<Seen *>(owner)->events.push("values_many"); }
inline void cb_setup_many(int, void *owner) { static_cast<Seen *>(owner)->events.push("setup_many"); }
inline void cb_connect(int, void *owner, int) { static_cast<Seen *>(owner)->events.push("connect"); }
inline void cb_error(int, void *owner, int, zx_error_struct *e) {
    static_cast<Seen *>(owner)->events.push("error:" + std::to_string(e->code));
}

inline zxxml_callback_struct recording_callbacks() {
    return {cb_values, cb_setup, cb_values_many, cb_setup_many, cb_send, cb_connect, cb_error};
}

inline zxxml_settings_struct recording_settings() {
    zxxml_settings_struct s{};
    s.callbacks = recording_callbacks();
    return s;
}

class XmlUnit : public XmlClient {
protected:
    void start_unit(sim::UnitConfig config = {}) {
        unit = std::make_unique<sim::Unit>(std::move(config));
        ASSERT_TRUE(unit->start(0));
    }
    // Opens the unit with recording callbacks and waits until its worker runs.
    int open_unit(zxxml_settings_struct settings = recording_settings(), const char *host = "127.0.0.1",
                  int port = -1) {
        const int m = zxxml_open(host, port < 0 ? unit->port() : port, &settings, &seen);
        EXPECT_GT(m, 0);
        EXPECT_EQ(zxxml_wait_finish(m, 0, 5), 0);
        return m;
    }
    void TearDown() override {
        XmlClient::TearDown();
        if (unit) unit->stop();
    }

    std::unique_ptr<sim::Unit> unit;
    Seen seen;
};

}  // namespace kalax::test
