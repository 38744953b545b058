// The commands a monitoring system runs: `kalax exporter` (a Prometheus
// exporter) and `kalax check` (a check in the Monitoring Plugins manner). They
// read their own command lines, because a check's options and exit codes follow
// the plugin guidelines (-w/-c, usage errors exit 3), not the tool's.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace kalax::cli {

struct MonitoringCommand {
    const char *name;
    const char *synopsis;  // for the command overview
    const char *summary;   // one line
    const char *help;      // the whole --help text
    // Runs with the arguments after the command's name; returns the exit status.
    int (*run)(const std::vector<std::string> &args);
};

const MonitoringCommand *find_monitoring_command(const std::string &name);
// The overview lines of these commands, left column `width` wide.
void print_monitoring_overview(FILE *out, size_t width);
// The whole help of each of these commands, each after an empty line.
void print_monitoring_help_all(FILE *out);
// Runs `kalax NAME ARGS...` when NAME is one of these commands: true, with the
// exit status in `status`; false when it is not.
bool run_monitoring_command(int argc, char **argv, int &status);

// One option a monitoring command accepts: "--name VALUE", "--name=VALUE" and,
// with a short name, "-x VALUE"; flags take no value.
struct OptionRule {
    const char *name;
    char short_name;  // 0: none
    bool value;
};

struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> values;  // by long name, in order given

    bool has(const std::string &name) const { return values.count(name) != 0; }
    // The last value given for `name`, or null.
    const std::string *last(const std::string &name) const;
};

// Throws UsageError for an unknown option or a missing value; "--" ends the options.
ParsedArgs parse_monitoring_args(const std::vector<std::string> &args, std::initializer_list<OptionRule> entries);

int cmd_exporter(const std::vector<std::string> &args);
int cmd_check(const std::vector<std::string> &args);

}  // namespace kalax::cli
