// The monitoring commands' table, help and dispatch.
#include "tools/cli/monitoring.h"

#include <cstring>
#include <exception>
#include <new>

#include "tools/cli/failure.h"

namespace kalax::cli {

namespace {

const MonitoringCommand kMonitoringCommands[] = {
    {"exporter", "--config FILE | --unit ...",
     "Serve the units' values to Prometheus (a /metrics page read on every scrape).",
     "usage: kalax exporter (--config FILE | --unit NAME=HOST[:PORT] ...) [options]\n"
     "\n"
     "Serve the units' values to Prometheus: /metrics in the Prometheus text format, / a page\n"
     "linking to it. Every scrape asks all units for their values at once and waits at most\n"
     "--scrape-timeout for them; a unit that fails or stays silent gives kalax_unit_up 0 and its\n"
     "result code as kalax_unit_last_error_code, and the scrape itself succeeds all the same.\n"
     "A reading the unit does not have is an absent sample. Ctrl-C (or SIGTERM) stops it.\n"
     "\n"
     "FILE holds 'key = value' lines; one [unit NAME] section per unit:\n"
     "    listen = 127.0.0.1:9869          # optional, before the first section\n"
     "    scrape_timeout = 10              # seconds, optional\n"
     "    [unit rack3]\n"
     "    host = 10.0.0.5:80\n"
     "    user = monitor                   # or user_env = VARIABLE\n"
     "    password_env = RACK3_PASSWORD    # or password = TEXT\n"
     "    label.site = berlin              # further labels of every sample of the unit\n"
     "Lines starting with '#' are comments; a value runs to the end of its line.\n"
     "\n"
     "options:\n"
     "  --config FILE             the units of FILE\n"
     "  --unit NAME=HOST[:PORT]   a unit (repeatable; with or instead of --config)\n"
     "  --user NAME               user name of the --unit units, for units that ask for one\n"
     "  --password TEXT           their password\n"
     "  --listen ADDRESS:PORT     where to serve (default 127.0.0.1:9869; 0.0.0.0:PORT serves\n"
     "                            every interface; port 0 picks a free one)\n"
     "  --scrape-timeout SECONDS  give up on a unit after this long in a scrape (default 10;\n"
     "                            keep it below Prometheus's scrape_timeout)\n",
     cmd_exporter},
    {"check", "HOST[:PORT] [-w RANGE] [-c RANGE]",
     "Check a unit as a Monitoring Plugin does (exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN).",
     "usage: kalax check HOST[:PORT] [--item ID ...] [-w RANGE] [-c RANGE] [options]\n"
     "\n"
     "Check a unit's items in the manner of the Monitoring Plugins: one status line with\n"
     "performance data on standard output; exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n"
     "\n"
     "Without -w and -c each item is judged by the unit itself: an active alarm is CRITICAL,\n"
     "out of range (also a reading outside the unit's own limits) WARNING, an invalid sensor or\n"
     "device or a missing reading UNKNOWN. With -w or -c the readings of the analog sensors are\n"
     "judged by the ranges instead; binary inputs keep the unit's own alarm state. The worst item\n"
     "decides, in the order CRITICAL, UNKNOWN, WARNING, OK. A unit that cannot be read is UNKNOWN\n"
     "(CRITICAL with --unreachable critical), never OK.\n"
     "\n"
     "RANGE alerts when a reading lies outside START:END (ends included): '10:35'; '35' is 0:35;\n"
     "'10:' has no upper end, '~:30' no lower end; '@10:20' alerts inside the range instead.\n"
     "\n"
     "options:\n"
     "  --item ID                check only the items with this ID (repeatable; the IDs\n"
     "                           'kalax values' shows)\n"
     "  -w, --warning RANGE      WARNING when a reading is outside RANGE\n"
     "  -c, --critical RANGE     CRITICAL when a reading is outside RANGE\n"
     "  --unreachable unknown|critical\n"
     "                           what a unit that cannot be read is (default unknown)\n"
     "  -t, --timeout SECONDS    give up waiting for the unit after this long (default 10)\n"
     "  --user NAME              user name for units that ask for credentials\n"
     "  --password TEXT          their password\n",
     cmd_check},
};

}  // namespace

const MonitoringCommand *find_monitoring_command(const std::string &name) {
    for (const MonitoringCommand &c : kMonitoringCommands)
        if (name == c.name) return &c;
    return nullptr;
}

void print_monitoring_overview(FILE *out, size_t width) {
    for (const MonitoringCommand &c : kMonitoringCommands) {
        const std::string left = std::string(c.name) + " " + c.synopsis;
        if (left.size() > width) std::fprintf(out, "  %s\n  %-*s  %s\n", left.c_str(), static_cast<int>(width), "", c.summary);
        else std::fprintf(out, "  %-*s  %s\n", static_cast<int>(width), left.c_str(), c.summary);
    }
}

void print_monitoring_help_all(FILE *out) {
    for (const MonitoringCommand &c : kMonitoringCommands) {
        std::fputs("\n", out);
        std::fputs(c.help, out);
    }
}

bool run_monitoring_command(int argc, char **argv, int &status) {
    const MonitoringCommand *command = argc >= 2 ? find_monitoring_command(argv[1]) : nullptr;
    if (command == nullptr) return false;
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const std::string &a : args) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            std::fputs(command->help, stdout);
            status = 0;
            return true;
        }
    }
    try {
        status = command->run(args);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "kalax %s: %s (see kalax %s --help)\n", command->name, e.what(), command->name);
        status = 2;
    } catch (const Failure &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "kalax %s: %s\n", command->name, e.line().c_str());
        status = 1;
    } catch (const std::bad_alloc &) {
        std::fflush(stdout);
        std::fprintf(stderr, "kalax %s: %s\n", command->name, Failure(5, "").line().c_str());
        status = 1;
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "kalax %s: %s\n", command->name, e.what());
        status = 1;
    }
    return true;
}

}  // namespace kalax::cli

namespace kalax::cli {

const std::string *ParsedArgs::last(const std::string &name) const {
    const auto it = values.find(name);
    return it == values.end() || it->second.empty() ? nullptr : &it->second.back();
}

ParsedArgs parse_monitoring_args(const std::vector<std::string> &args, std::initializer_list<OptionRule> entries) {
    ParsedArgs out;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (options_done || a.size() < 2 || a[0] != '-') {
            out.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
            continue;
        }
        const OptionRule *entry = nullptr;
        std::string value;
        bool inline_value = false;
        if (a[1] == '-') {
            const size_t eq = a.find('=');
            const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            for (const OptionRule &s : entries)
                if (name == s.name) entry = &s;
            if (entry == nullptr) throw UsageError("unknown option --" + name);
            if (eq != std::string::npos) {
                if (!entry->value) throw UsageError("--" + name + " takes no value");
                value = a.substr(eq + 1);
                inline_value = true;
            }
        } else {
            for (const OptionRule &s : entries)
                if (s.short_name != 0 && a[1] == s.short_name) entry = &s;
            if (entry == nullptr) throw UsageError("unknown option " + a);
            if (a.size() > 2) {
                if (!entry->value) throw UsageError("unknown option " + a);
                value = a.substr(2);
                inline_value = true;
            }
        }
        if (entry->value && !inline_value) {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            value = args[++i];
        }
        out.values[entry->name].push_back(value);
    }
    return out;
}

}  // namespace kalax::cli
