// kalax: read, change and log Kalyx monitoring units from a shell.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string_view>

#include "kalax/zx.h"
#include "tools/cli/commands.h"
#include "tools/cli/failure.h"
#include "tools/cli/monitoring.h"
#include "tools/cli/options.h"
#include "tools/cli/session.h"

namespace {

using namespace kalax::cli;

constexpr uint32_t kUnitOptions = kOptCredentials | kOptTimeout;
constexpr uint32_t kLogOptions =
    kUnitOptions | kOptCsv | kOptBin | kOptAppend | kOptType | kOptGroup | kOptMaxSize | kOptQuiet | kOptDeleteAfter;

const Command kCommands[] = {
    {"values", "HOST[:PORT]", "Read values.xml and list the unit's inputs, sensors and outputs.",
     "Columns: kind, id, name, value, units, min, max, alarm, state (the library's display texts).\n"
     "PORT defaults to 80.\n",
     kUnitOptions | kOptFormat, 1, 1, true, cmd_values},
    {"setup", "HOST[:PORT]", "Read setup.xml and list its items with their limits and alarm settings.", nullptr,
     kUnitOptions | kOptFormat, 1, 1, true, cmd_setup},
    {"send-setup", "HOST[:PORT] FILE", "Send a setup document to the unit and show its answer.",
     "The document is reduced to what a unit may be told to change (identity, live values,\n"
     "network addressing, clock and user accounts are left out) and posted to /setup.xml.\n"
     "FILE '-' reads the document from standard input. With --quiet the answer is not shown.\n",
     kUnitOptions | kOptFormat | kOptQuiet, 2, 2, true, cmd_send_setup},
    {"snmp-manager", "HOST[:PORT] [ADDRESS PORT]", "Show or set where the unit sends its SNMP traps.",
     "Without ADDRESS and PORT the first trap destination is shown; with them it is set,\n"
     "enabled, with the community of --community, or \"orchid\" without it. ADDRESS is a\n"
     "dotted IPv4 address. Without --community and without credentials the library's own\n"
     "request sets it (community \"orchid\", no credentials sent); with either, the tool posts\n"
     "the trap destination as a setup document, which carries the credentials. It counts as\n"
     "set only when the unit's answer shows that trap destination (and community).\n",
     kUnitOptions | kOptCommunity | kOptQuiet, 1, 3, true, cmd_snmp_manager},
    {"log", "HOST[:PORT]", "Download the unit's data log.",
     "Without --append the log goes to standard output; a progress line goes to standard error.\n"
     "With --append FILE only the lines after FILE's last line are appended (binary downloads\n"
     "are converted to CSV first), in FILE's own line ends (CR LF or LF), with one write that\n"
     "is flushed to disk before the number of new lines is reported.\n"
     "Only whole records are ever written. A body that is not a log is refused; a download cut\n"
     "off inside a line or record, or lines holding a NUL byte, keep the whole lines and exit 1.\n"
     "FILE is checked before the download: it must be writable, and its last line a record that\n"
     "the --type/--group filters keep (a file written with other filters is refused, not mixed).\n"
     "--delete-after asks the unit to delete what the download served, only once the download\n"
     "was whole and FILE is on disk; it needs --append and takes no --type/--group (FILE would\n"
     "lack what they drop). The unit deletes what its last download served: another client\n"
     "downloading in between widens that, so let one client download a unit's log.\n",
     kLogOptions, 1, 1, true, cmd_log},
    {"log-convert", "IN.bin [OUT.csv]", "Convert a binary log to CSV lines (to OUT.csv or standard output).",
     "IN.bin '-' is standard input, OUT.csv '-' standard output; OUT.csv is replaced whole.\n"
     "A file cut inside a record, or holding a malformed one, has its whole records before that\n"
     "converted; the byte offset of the first bad record is named and the exit status is 1.\n",
     kOptQuiet, 1, 2, false, cmd_log_convert},
    {"log-delete", "HOST[:PORT]", "Ask the unit to delete what the last log download served.", nullptr,
     kUnitOptions | kOptAll | kOptQuiet, 1, 1, true, cmd_log_delete},
    {"set", "HOST[:PORT] output ID on|off | name ID TEXT | range ID MIN MAX | calib ID VALUE",
     "Change an output, a name, a sensor's range or calibration; show the item as the unit answers.",
     "IDs: inputs 1-64, outputs 151-214, sensors the rest (65 on single-sensor units). Numbers take a\n"
     "decimal point and go with one decimal; negative ones follow \"--\" (set HOST range 216 -- -10 35.5).\n"
     "Units with XmlVer 1.00 get the indexed form by themselves.\n",
     kUnitOptions | kOptJson | kOptOldVersion, 3, 5, true, cmd_set},
    {"demo", "", "Show the library at work against a simulated unit in this process.",
     "Reads values and setup, changes an output and a sensor name, downloads the log into a\n"
     "temporary CSV file and downloads again appending only the new lines.\n",
     kOptKeep, 0, 0, true, cmd_demo},
    {"sim", "", "Run a simulated unit on 127.0.0.1 until Ctrl-C, for trying the other commands.",
     "With --user/--password the unit asks for credentials on setup and log requests.\n"
     "With --units N, N units (each with readings of its own) listen on --port and the ports after\n"
     "it, and the line to try them with 'kalax exporter' is shown.\n",
     kOptPort | kOptCredentials | kOptLogPeriod | kOptUnits, 0, 0, false, cmd_sim},
    {"register", "", "Make the library's automation objects KalAx.IoXml and KalAx.KalLog known to hosts.",
     "Writes the objects, the library's path and the type library KalAx 1.0 into the registry file\n"
     "(--registry FILE, else $KALAX_REGISTRY, else ~/.local/share/kalax/registry.reg). Registering\n"
     "again leaves the same file.\n",
     kOptRegistry | kOptQuiet, 0, 0, false, cmd_register},
    {"unregister", "", "Remove the automation objects from the registry file; the type library stays.", nullptr,
     kOptRegistry | kOptQuiet, 0, 0, false, cmd_unregister},
};

void print_overview(FILE *out) {
    std::fputs("usage: kalax COMMAND [arguments] [options]\n"
               "       kalax help [COMMAND] | --help-all | --version\n\n"
               "Reads, changes and logs Kalyx monitoring units from a shell.\n\ncommands:\n",
               out);
    auto left = [](const Command &c) { return std::string(c.name) + (*c.synopsis ? " " : "") + c.synopsis; };
    size_t width = 0;
    for (const Command &c : kCommands) width = std::max(width, left(c).size());
    for (const Command &c : kCommands)
        std::fprintf(out, "  %-*s  %s\n", static_cast<int>(width), left(c).c_str(), c.summary);
    print_monitoring_overview(out, width);
    std::fputs("\n'kalax demo' shows them at work; 'kalax COMMAND --help' describes a command and its options,\n"
               "'kalax --help-all' every command.\n"
               "Credentials: --user, --password or --password-file FILE, else the environment variables\n"
               "KALAX_USER and KALAX_PASSWORD; each at most 99 bytes.\n"
               "Failures exit with 1 and one line naming the library's result code; usage errors exit with 2.\n",
               out);
}

void print_version(FILE *out) {
    std::fprintf(out, "kalax %s\n", KALAX_VERSION);
    // A library of another build than the headers the tool was made with.
    if (std::strcmp(zx_version(), KALAX_VERSION) != 0) std::fprintf(out, "library %s\n", zx_version());
}

const Command *find_command(std::string_view name) {
    for (const Command &c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

// Writing help or the version into a closed pipe or a full disk is a failure too.
int flushed(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "kalax: writing standard output: %s\n", std::strerror(errno));
        return 1;
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        print_overview(stderr);
        return 2;
    }
    const std::string_view first = argv[1];
    if (first == "--version") {
        print_version(stdout);
        return flushed(0);
    }
    if (first == "--help-all") {
        print_overview(stdout);
        for (const Command &c : kCommands) {
            std::fputs("\n", stdout);
            print_command_help(c, stdout);
        }
        print_monitoring_help_all(stdout);
        return flushed(0);
    }
    if (first == "--help" || first == "-h" || first == "help") {
        if (argc > 3) {
            std::fprintf(stderr, "kalax help: one COMMAND at most (see kalax --help)\n");
            return 2;
        }
        if (argc == 3) {
            const Command *about = find_command(argv[2]);
            if (const MonitoringCommand *monitoring = find_monitoring_command(argv[2]); about == nullptr && monitoring) {
                std::fputs(monitoring->help, stdout);
                return flushed(0);
            }
            if (about == nullptr) {
                std::fprintf(stderr, "kalax help: unknown command '%s' (see kalax --help)\n", argv[2]);
                return 2;
            }
            print_command_help(*about, stdout);
        } else {
            print_overview(stdout);
        }
        return flushed(0);
    }
    const Command *command = find_command(argv[1]);
    if (int status = 0; command == nullptr && run_monitoring_command(argc, argv, status)) return status;
    if (command == nullptr) {
        std::fprintf(stderr, "kalax: unknown command '%s' (see kalax --help)\n", argv[1]);
        return 2;
    }
    if (wants_help(argc, argv, 2)) {
        print_command_help(*command, stdout);
        return flushed(0);
    }
    try {
        const Options options = parse_options(*command, argc, argv, 2);
        std::optional<ClientLibraries> clients;
        if (command->clients) clients.emplace();
        const int status = command->run(options);
        // Output that never reached its file (a full disk, a closed pipe) is
        // no success, whatever the command itself saw.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "kalax %s: writing standard output: %s\n", command->name, std::strerror(errno));
            return 1;
        }
        return status;
    } catch (const UsageError &e) {
        std::fprintf(stderr, "kalax %s: %s (see kalax %s --help)\n", command->name, e.what(), command->name);
        return 2;
    } catch (const Failure &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "kalax %s: %s\n", command->name, e.line().c_str());
        return 1;
    } catch (const std::bad_alloc &) {
        std::fflush(stdout);
        std::fprintf(stderr, "kalax %s: %s\n", command->name, Failure(5, "").line().c_str());
        return 1;
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "kalax %s: %s\n", command->name, e.what());
        return 1;
    }
}
