// The command table's vocabulary and the option parsing every sub-command shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kalax::cli {

// Options a sub-command may accept; a command lists its set as a bit mask.
enum OptionBit : uint32_t {
    kOptUser = 1u << 0,
    kOptPassword = 1u << 1,
    kOptTimeout = 1u << 2,
    kOptXml = 1u << 3,
    kOptJson = 1u << 4,
    kOptCsv = 1u << 5,
    kOptBin = 1u << 6,
    kOptAppend = 1u << 7,
    kOptType = 1u << 8,
    kOptGroup = 1u << 9,
    kOptAll = 1u << 10,
    kOptPort = 1u << 11,
    kOptLogPeriod = 1u << 12,
    kOptKeep = 1u << 13,
    kOptMaxSize = 1u << 14,
    kOptPasswordFile = 1u << 15,
    kOptQuiet = 1u << 16,
    kOptCommunity = 1u << 17,
    kOptDeleteAfter = 1u << 18,
    kOptUnits = 1u << 19,
    kOptRegistry = 1u << 20,  // kalax register / unregister
    kOptOldVersion = 1u << 31,  // kalax set
};
inline constexpr uint32_t kOptCredentials = kOptUser | kOptPassword | kOptPasswordFile;
inline constexpr uint32_t kOptFormat = kOptXml | kOptJson;

enum class Format { table, xml, json };

struct Options {
    std::vector<std::string> args;  // positional arguments, in order
    std::optional<std::string> user, password;
    int timeout_s = 30;
    Format format = Format::table;
    bool binary = false;
    std::string append;  // empty: the log goes to standard output
    int type_filter = 0;
    int group_filter = 0;
    bool all = false;
    int port = 8080;
    int log_period_s = 10;
    bool keep = false;
    size_t max_size = 256u << 20;  // bytes of a log body the tool takes
    bool quiet = false;            // no progress, no report of what was done
    std::optional<std::string> community;  // snmp-manager: the tool's own trap document
    bool delete_after = false;     // log --append: delete on the unit once FILE is written
    bool old_version = false;      // kalax set: the indexed form
    int units = 1;  // simulated units of `kalax sim`, on consecutive ports
    std::string registry;  // register/unregister: the registry file instead of the usual one
};

// Longest user name or password in bytes, for every command: the agent XML
// client's limit (the data-log client would cut longer ones silently).
inline constexpr size_t kCredentialMax = 99;

struct Command {
    const char *name;
    const char *synopsis;  // positional arguments, e.g. "HOST[:PORT] FILE"
    const char *summary;   // one line
    const char *details;   // further lines for --help, or null
    uint32_t options;      // OptionBit mask
    int min_args, max_args;
    bool clients;          // talks to units: both C clients are started around it
    int (*run)(const Options &);
};

// Parses argv[first..argc) for `command`: options anywhere ("--name value" or
// "--name=value", "-q"), "--" ends them. Credentials not given on the command
// line come from KALAX_USER and KALAX_PASSWORD for commands that talk to units.
// Throws UsageError, and Failure 42/43 for a password or user name too long.
Options parse_options(const Command &command, int argc, char **argv, int first);
// Whether argv[first..argc) asks for help (before any "--").
bool wants_help(int argc, char **argv, int first);
void print_command_help(const Command &command, FILE *out);

// A unit to talk to: HOST[:PORT] resolved to a dotted IPv4 address.
struct Target {
    std::string host;     // as given
    std::string address;  // dotted IPv4
    int port = 80;
    // "host:port" as given, for messages.
    std::string label() const;
};
// Throws UsageError for a malformed port, Failure (code 89) when the name does
// not resolve to an IPv4 address.
Target resolve_target(const std::string &text);

}  // namespace kalax::cli
