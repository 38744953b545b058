// The two C clients as the tool uses them: one unit, one request at a time,
// each request waited for and its failure thrown as a Failure.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "kalax/zxpld.h"
#include "kalax/zxxml.h"
#include "tools/cli/options.h"

namespace kalax::cli {

// Both clients initialised for the life of the object.
class ClientLibraries {
public:
    ClientLibraries();
    ~ClientLibraries();
    ClientLibraries(const ClientLibraries &) = delete;
    ClientLibraries &operator=(const ClientLibraries &) = delete;

private:
    bool xml_ = false, pld_ = false;
};

struct SnmpManager {
    std::string address;
    int port = 0;
};

// One unit opened with the agent XML client.
class UnitSession {
public:
    UnitSession(const Target &target, const Options &options);
    ~UnitSession();
    UnitSession(const UnitSession &) = delete;
    UnitSession &operator=(const UnitSession &) = delete;

    int module() const { return module_; }
    const std::string &label() const { return label_; }

    // values.xml (setup false) or setup.xml into the client's cache.
    void fetch(bool setup);
    // The document of the last fetch (or, for setup, the unit's answer to an upload).
    std::string document(bool setup) const;
    // A setup document, reduced and posted; the answer lands in the setup cache.
    void send_setup_text(const std::string &document);
    // A setup record pair written out, reduced and posted.
    void send_setup(const zxxml_setup_struct &setup, const zxxml_setup_count_struct &counts);
    SnmpManager snmp_manager();
    // Points trap destination 1 at the manager; the unit's answer is in the setup cache.
    void set_snmp_manager(const std::string &address, int port);

private:
    // Waits for finish kind `kind` and throws what the module's record holds.
    void await(int kind, const char *what);
    // Throws the failure of a request call that returned -1.
    [[noreturn]] void refused(const char *what) const;

    int module_ = -1;
    int timeout_s_;
    std::string label_;
};

// Draws "bytes so far, rate" as chunks arrive, redrawn in place, only when
// `out` is a terminal: a log or a pipe gets no progress at all.
class ProgressMeter {
public:
    ProgressMeter(FILE *out, std::string what);
    void add(size_t bytes);
    // The closing line; returns the total.
    size_t finish();
    // Ends a line left open by a download that failed.
    void abandon();

private:
    void draw(bool final);

    FILE *out_;  // null: nothing drawn
    std::string what_;
    size_t bytes_ = 0;
    std::chrono::steady_clock::time_point start_, last_draw_;
};

// One unit opened with the data-log client (filters and credentials from the options).
class LogSession {
public:
    // `progress` may be null: no progress line (nor is there one when it is no terminal).
    LogSession(const Target &target, const Options &options, FILE *progress);
    ~LogSession();
    LogSession(const LogSession &) = delete;
    LogSession &operator=(const LogSession &) = delete;

    // The log's body exactly as the unit sent it (CSV text unfiltered, or binary
    // records); the caller judges and filters it.
    std::string download(bool binary);
    // Binary records as CSV lines, filtered with this module's filters.
    std::string to_csv(const std::string &binary) const;
    // What the last download served, or everything.
    void remove(bool all);
    const std::string &label() const { return label_; }
    int type_filter() const { return type_filter_; }
    int group_filter() const { return group_filter_; }

    struct State;

private:
    std::string run(int (*request)(int), const char *what);

    std::unique_ptr<State> state_;
    int module_ = -1;
    int timeout_s_;
    std::string label_;
    FILE *progress_;
    int type_filter_, group_filter_;
};

// Binary log records as CSV lines with the filters of log module `module` (0: none).
// Throws Failure 11 for malformed input.
std::string binary_log_to_csv(int module, const std::string &binary, const std::string &context);

}  // namespace kalax::cli
