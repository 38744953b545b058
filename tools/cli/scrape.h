// The exporter's reading of many units at once: one module of the agent XML
// client per unit, kept open for the exporter's life; a scrape asks every unit
// for its values at the same moment and waits for all of them together, up to
// one deadline. What came back becomes Prometheus metric families.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include "kalax/zxapi.h"

namespace kalax::cli {

// One unit as the exporter's configuration names it.
struct UnitEntry {
    std::string name;     // the value of the `unit` label
    std::string host;     // "host:port", for messages
    std::string address;  // host name or dotted IPv4 address, resolved by the client per request
    int port = 80;
    std::string user, password;  // both empty: the unit asks for none
    // Further labels of every sample of this unit, in configured order.
    std::vector<std::pair<std::string, std::string>> labels;
};

// What one unit's part of a scrape gave.
struct UnitReading {
    bool up = false;
    int error_code = 0;  // the library's result code when not up
    double seconds = 0;  // from the request to its answer, or to the deadline
    zxapi::TXmlSensorEnum common;  // unit-wide fields (device name, MAC, family)
    int inputs = 0, sensors = 0;   // items[0, inputs) are inputs, then sensors, then outputs
    std::vector<zxapi::TXmlSensorEnum> items;
};

class Fleet {
public:
    // Opens one module per unit (the agent XML client must be initialised and
    // stay so while the fleet lives). Throws Failure when a module cannot be
    // opened; at most 99 units fit the client's table.
    Fleet(std::vector<UnitEntry> units, std::chrono::milliseconds scrape_timeout);
    ~Fleet();
    Fleet(const Fleet &) = delete;
    Fleet &operator=(const Fleet &) = delete;

    // Reads every unit once, all requests in flight together; returns within
    // the scrape timeout (plus the time to queue the requests) whatever the
    // units do. A unit whose previous answer is still outstanding is not asked
    // again and counts as down with code 19. Scrapes run one at a time.
    std::vector<UnitReading> read_all();
    // read_all() as metric families.
    std::vector<prometheus::MetricFamily> scrape();

    const std::vector<UnitEntry> &units() const { return entries_; }

    struct Shared;
    struct Slot;

private:
    void open_all();
    void close_all();

    std::vector<UnitEntry> entries_;
    std::chrono::milliseconds timeout_;
    std::mutex scrape_mu_;  // one scrape at a time
    std::shared_ptr<Shared> shared_;
    std::vector<std::unique_ptr<Slot>> slots_;
};

// The families of one scrape, named and labelled as the exporter serves them.
std::vector<prometheus::MetricFamily> to_metric_families(const std::vector<UnitEntry> &units,
                                                         const std::vector<UnitReading> &readings);

// The fleet as a collectable of the exposer: every scrape of /metrics reads the units.
class FleetCollectable : public prometheus::Collectable {
public:
    explicit FleetCollectable(Fleet &fleet) : fleet_(fleet) {}
    std::vector<prometheus::MetricFamily> Collect() const override { return fleet_.scrape(); }

private:
    Fleet &fleet_;
};

}  // namespace kalax::cli
