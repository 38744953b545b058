// The simulated unit's state: its documents, what a posted setup changes, its clock
// and its data log. Transport-free, so the server and the tests share one truth.
#ifndef KALAX_UNITSIM_MODEL_H
#define KALAX_UNITSIM_MODEL_H

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "unitsim/unitsim.h"
#include "unitsim/xml.h"

namespace kalax::sim::detail {

class Model {
public:
    explicit Model(UnitConfig config);

    Family family() const { return family_; }
    const UnitConfig& config() const { return cfg_; }
    void set_http_port(int port);

    int64_t now() const;
    void advance(int64_t seconds);

    std::string values_xml();
    std::string setup_xml();
    // 200 after applying a well-formed document, 400 otherwise (nothing applied).
    int apply_setup(std::string_view document);

    std::string field(const std::string& path, int entry);
    bool set_field(const std::string& path, int entry, const std::string& text);
    int count(const std::string& list);
    std::vector<TrapDest> traps();

    std::vector<LogRecord> log();
    bool append_log(const LogRecord& record);
    void clear_log();
    void set_raw_bin(std::string bytes);
    void set_raw_txt(std::string text);
    void clear_raw();
    size_t served() const;
    // What a download sends; remembers what it served for a later del.
    std::string serve_bin();
    std::string serve_txt();
    size_t del();     // removes what the last download served; returns the records removed
    size_t delall();  // removes everything

private:
    struct Entry {
        std::map<std::string, std::string> f;
        std::set<std::string> pinned;
    };
    enum class Served { nothing, records, raw_bin, raw_txt };

    void init_defaults();
    int64_t now_locked() const;
    void sync();                      // catches the model up with the clock
    void log_round(int64_t t);        // the records of one log period at time t
    void refresh(int64_t t);          // rewrites the moving fields for time t
    void push_log(LogRecord r);
    double raw_sensor(size_t j, int64_t t) const;
    double sensor_at(size_t j, int64_t t) const;
    int input_at(size_t i, int64_t t) const;
    bool input_alarm(size_t i, int value) const;
    bool sensor_out_of_range(size_t j, double v) const;
    std::string write_doc(bool setup);
    void apply_list(const std::string& list, const xml::Node& group);
    void apply_scalars(const std::string& group, const xml::Node& node);
    void set_output(size_t k, const std::string& text);
    bool is_dynamic(const std::string& list, const std::string& key) const;

    mutable std::mutex mu_;
    UnitConfig cfg_;
    Family family_;
    bool new_dialect_;
    int64_t offset_ = 0;
    int64_t last_log_t_ = 0;
    int http_port_ = 80;

    std::map<std::string, std::string> scalars_;
    std::set<std::string> pinned_scalars_;
    std::map<std::string, std::vector<Entry>> lists_;
    std::vector<int> prev_inputs_;
    std::vector<uint32_t> counters_;
    std::set<std::pair<size_t, std::string>> touched_sensors_;  // set by the SenSet part of a post

    std::deque<LogRecord> log_;
    size_t served_ = 0;
    Served served_kind_ = Served::nothing;
    std::optional<std::string> raw_bin_, raw_txt_;
};

}  // namespace kalax::sim::detail

#endif
