// The exporter's configuration file: plain "key = value" lines in sections,
//
//     # comment lines start with '#'
//     listen = 127.0.0.1:9869        (optional; --listen wins)
//     scrape_timeout = 10            (seconds, optional; --scrape-timeout wins)
//
//     [unit rack3]                   (one section per unit; the name is its `unit` label)
//     host = 10.0.0.5:80
//     user = monitor                 (or user_env = NAME of an environment variable)
//     password_env = RACK3_PASSWORD  (or password = TEXT)
//     label.site = berlin            (any number of further labels)
//
// A value runs to the end of its line, surrounding blanks removed; nothing in it
// is quoted or escaped, so a password may hold any character but a line end.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kalax::cli {

struct ConfiguredUnit {
    std::string name;
    std::string host;  // HOST[:PORT] as written
    std::string user, password;
    std::vector<std::pair<std::string, std::string>> labels;
    int line = 0;  // of the section head, for messages
};

struct ExporterConfig {
    std::optional<std::string> listen;
    std::optional<std::chrono::milliseconds> scrape_timeout;
    std::vector<ConfiguredUnit> units;
};

// Looks up an environment variable; null when it is not set.
using EnvLookup = std::function<const char *(const std::string &)>;

// Parses the text of a configuration; `origin` names it in messages. Throws
// UsageError "ORIGIN:LINE: what is wrong".
ExporterConfig parse_exporter_config(const std::string &text, const std::string &origin, const EnvLookup &env);
// Reads and parses FILE (with the process environment).
ExporterConfig read_exporter_config(const std::string &path);

// "10", "0.5", "2.5s": a scrape timeout between 0.05 and 3600 seconds. Throws UsageError.
std::chrono::milliseconds parse_seconds(const std::string &text, const std::string &what);
// Whether `name` may be a label the configuration adds: a Prometheus label
// name, not reserved ("__" prefix) and not one the exporter sets itself.
bool allowed_label_name(const std::string &name);

}  // namespace kalax::cli
