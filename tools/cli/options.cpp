// Option parsing, per-command help and host resolution.
#include "tools/cli/options.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "kalax/zxpld.h"
#include "tools/cli/failure.h"
#include "tools/cli/files.h"

namespace kalax::cli {

namespace {

struct OptionInfo {
    OptionBit bit;
    char letter;  // short form "-x", or 0
    const char *name;
    const char *value;  // name of the value, or null for a flag
    const char *help;
    void (*apply)(Options &, std::string_view value);
};

int to_int(std::string_view text, int lo, int hi, const char *what) {
    int v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v < lo || v > hi)
        throw UsageError(std::string("bad ") + what + " '" + std::string(text) + "' (" + std::to_string(lo) + "-" +
                         std::to_string(hi) + ")");
    return v;
}

// "1000", "64K", "256M", "1G": bytes, at least 1.
size_t to_size(std::string_view text) {
    size_t scale = 1;
    std::string_view number = text;
    if (!number.empty()) {
        switch (number.back()) {
        case 'K': case 'k': scale = size_t{1} << 10; break;
        case 'M': case 'm': scale = size_t{1} << 20; break;
        case 'G': case 'g': scale = size_t{1} << 30; break;
        default: break;
        }
        if (scale != 1) number.remove_suffix(1);
    }
    unsigned long long v = 0;
    const auto r = std::from_chars(number.data(), number.data() + number.size(), v);
    if (r.ec != std::errc() || r.ptr != number.data() + number.size() || v == 0 || v > (size_t{1} << 40) / scale)
        throw UsageError("bad size '" + std::string(text) + "' (bytes, or a number with K, M or G)");
    return static_cast<size_t>(v) * scale;
}

// A password file holds a line, not a document.
constexpr size_t kPasswordFileLimit = 4096;
// A community text of a trap destination holds at most this many bytes.
constexpr size_t kCommunityMax = 50;

// The first line of a text, without its line end.
std::string first_line(const std::string &text) {
    const size_t end = text.find_first_of("\r\n");
    return text.substr(0, end);
}

template <size_t N>
int pick(std::string_view text, const std::pair<const char *, int> (&choices)[N], const char *what) {
    for (const auto &[name, value] : choices)
        if (text == name) return value;
    std::string list;
    for (const auto &[name, value] : choices) list += (list.empty() ? "" : "|") + std::string(name);
    throw UsageError(std::string("bad ") + what + " '" + std::string(text) + "' (" + list + ")");
}

constexpr std::pair<const char *, int> kTypes[] = {{"all", KALLOG_TYPE_ALL},
                                                   {"normal", KALLOG_TYPE_NORMAL},
                                                   {"alarm", KALLOG_TYPE_ALARM}};
constexpr std::pair<const char *, int> kGroups[] = {{"all", KALLOG_GROUP_ALL},
                                                    {"sensors", KALLOG_GROUP_SENSORS},
                                                    {"binaries", KALLOG_GROUP_BINARIES},
                                                    {"inputs", KALLOG_GROUP_INPUTS},
                                                    {"outputs", KALLOG_GROUP_OUTPUTS}};

const OptionInfo kOptions[] = {
    {kOptUser, 0, "user", "NAME", "user name for units that ask for credentials",
     [](Options &o, std::string_view v) { o.user = std::string(v); }},
    {kOptPassword, 0, "password", "TEXT", "password for units that ask for credentials",
     [](Options &o, std::string_view v) {
         if (o.password) throw UsageError("give --password or --password-file, not both");
         o.password = std::string(v);
     }},
    {kOptPasswordFile, 0, "password-file", "FILE",
     "read the password from FILE's first line ('-': standard input), out of sight of ps and the shell's "
     "history; without --user or a password, KALAX_USER and KALAX_PASSWORD are read",
     [](Options &o, std::string_view v) {
         if (o.password) throw UsageError("give --password or --password-file, not both");
         o.password = first_line(read_file(std::string(v), kPasswordFileLimit));
     }},
    {kOptTimeout, 0, "timeout", "SECONDS", "give up waiting for the unit after this long (default 30)",
     [](Options &o, std::string_view v) { o.timeout_s = to_int(v, 1, 3600, "timeout"); }},
    {kOptXml, 0, "xml", nullptr, "print the unit's document as it came",
     [](Options &o, std::string_view) { o.format = Format::xml; }},
    {kOptJson, 0, "json", nullptr,
     "print {\"device\": {...}, \"items\": [one object per item]} in UTF-8; an item's \"kind\" is input, "
     "sensor or output (\"kind_text\" the library's text), a limit the unit does not have is null",
     [](Options &o, std::string_view) { o.format = Format::json; }},
    {kOptCsv, 0, "csv", nullptr, "download the log as CSV text (the default)",
     [](Options &o, std::string_view) { o.binary = false; }},
    {kOptBin, 0, "bin", nullptr, "download the log as binary records",
     [](Options &o, std::string_view) { o.binary = true; }},
    {kOptAppend, 0, "append", "FILE", "append only the lines FILE does not hold yet (as CSV)",
     [](Options &o, std::string_view v) {
         if (v.empty()) throw UsageError("--append needs a file name");
         if (v == "-") throw UsageError("--append needs a file: without --append the log goes to standard output");
         o.append = std::string(v);
     }},
    {kOptType, 0, "type", "all|normal|alarm", "keep only records of this type",
     [](Options &o, std::string_view v) { o.type_filter = pick(v, kTypes, "type"); }},
    {kOptGroup, 0, "group", "all|sensors|binaries|inputs|outputs", "keep only records of this group",
     [](Options &o, std::string_view v) { o.group_filter = pick(v, kGroups, "group"); }},
    {kOptAll, 0, "all", nullptr, "delete the whole log, not only what the last download served",
     [](Options &o, std::string_view) { o.all = true; }},
    {kOptPort, 0, "port", "N", "TCP port on 127.0.0.1 (default 8080, 0 picks a free one)",
     [](Options &o, std::string_view v) { o.port = to_int(v, 0, 65535, "port"); }},
    {kOptLogPeriod, 0, "log-period", "SECONDS", "seconds between data-log rounds (default 10)",
     [](Options &o, std::string_view v) { o.log_period_s = to_int(v, 1, 86400, "log period"); }},
    {kOptMaxSize, 0, "max-size", "BYTES",
     "stop a download larger than this (K, M, G suffixes; default 256M; the library itself stops any reply "
     "at 32M)",
     [](Options &o, std::string_view v) { o.max_size = to_size(v); }},
    {kOptQuiet, 'q', "quiet", nullptr,
     "no progress line and no report of what was done; failures and warnings still go to standard error",
     [](Options &o, std::string_view) { o.quiet = true; }},
    {kOptCommunity, 0, "community", "TEXT",
     "the trap destination's SNMP community (1-50 characters; default \"orchid\")",
     [](Options &o, std::string_view v) {
         if (v.empty() || v.size() > kCommunityMax) throw UsageError("--community takes 1-50 characters");
         for (const char c : v)
             if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                 throw UsageError("--community holds a control character");
         o.community = std::string(v);
     }},
    {kOptDeleteAfter, 0, "delete-after", nullptr,
     "once FILE holds the whole download, flushed to disk, ask the unit to delete what the download served",
     [](Options &o, std::string_view) { o.delete_after = true; }},
    {kOptUnits, 0, "units", "N", "run N simulated units on consecutive ports from --port (default 1, at most 99)",
     [](Options &o, std::string_view v) { o.units = to_int(v, 1, 99, "number of units"); }},
    {kOptRegistry, 0, "registry", "FILE", "the registry file to change instead of $KALAX_REGISTRY or the user's own",
     [](Options &o, std::string_view v) {
         if (v.empty()) throw UsageError("--registry needs a file");
         o.registry = std::string(v);
     }},
    {kOptKeep, 0, "keep", nullptr, "keep the temporary folder with the downloaded log",
     [](Options &o, std::string_view) { o.keep = true; }},
    {kOptOldVersion, 0, "old-version", nullptr, "address entries by position too (units that need <Idx>)",
     [](Options &o, std::string_view) { o.old_version = true; }},
};

const OptionInfo *find_option(std::string_view name, uint32_t accepted) {
    for (const OptionInfo &option : kOptions)
        if ((accepted & option.bit) && name == option.name) return &option;
    return nullptr;
}

const OptionInfo *find_letter(char letter, uint32_t accepted) {
    for (const OptionInfo &option : kOptions)
        if ((accepted & option.bit) && option.letter != 0 && letter == option.letter) return &option;
    return nullptr;
}

// Credentials not on the command line come from the environment; one length
// rule holds for every command, checked before anything is sent.
void settle_credentials(Options &o, bool from_environment) {
    if (from_environment) {
        const char *user = std::getenv("KALAX_USER");
        const char *password = std::getenv("KALAX_PASSWORD");
        if (!o.user && user != nullptr) o.user = std::string(user);
        if (!o.password && password != nullptr) o.password = std::string(password);
    }
    if (o.password && !o.user) o.user = std::string();
    if (o.user && !o.password) o.password = std::string();
    if (o.user && o.user->size() > kCredentialMax)
        fail(43, "the user name", std::to_string(o.user->size()) + " bytes, at most " + std::to_string(kCredentialMax));
    if (o.password && o.password->size() > kCredentialMax)
        fail(42, "the password",
             std::to_string(o.password->size()) + " bytes, at most " + std::to_string(kCredentialMax));
}

}  // namespace

bool wants_help(int argc, char **argv, int first) {
    for (int i = first; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--") return false;
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

Options parse_options(const Command &command, int argc, char **argv, int first) {
    Options o;
    bool options_done = false;
    for (int i = first; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (options_done || a.size() < 2 || a.substr(0, 2) != "--") {
            // "-12.5" is a number (a limit, a calibration), not a flag.
            const bool number = a.size() > 1 && a[0] == '-' && ((a[1] >= '0' && a[1] <= '9') || a[1] == '.');
            if (!options_done && !number && a.size() > 1 && a[0] == '-') {
                // Short flags, also run together ("-q").
                for (const char letter : a.substr(1)) {
                    const OptionInfo *option = find_letter(letter, command.options);
                    if (option == nullptr || option->value != nullptr)
                        throw UsageError("unknown option " + std::string(a));
                    option->apply(o, {});
                }
                continue;
            }
            o.args.emplace_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
            continue;
        }
        const size_t eq = a.find('=');
        const std::string_view name = a.substr(2, eq == std::string_view::npos ? std::string_view::npos : eq - 2);
        const OptionInfo *option = find_option(name, command.options);
        if (option == nullptr) throw UsageError("unknown option --" + std::string(name));
        std::string_view value;
        if (option->value == nullptr) {
            if (eq != std::string_view::npos) throw UsageError("--" + std::string(name) + " takes no value");
        } else if (eq != std::string_view::npos) {
            value = a.substr(eq + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            throw UsageError("--" + std::string(name) + " needs a value");
        }
        option->apply(o, value);
    }
    if (static_cast<int>(o.args.size()) < command.min_args) throw UsageError("missing arguments");
    if (static_cast<int>(o.args.size()) > command.max_args)
        throw UsageError("unexpected argument '" + o.args[static_cast<size_t>(command.max_args)] + "'");
    // Only a command that talks to units reads the environment: `kalax sim`
    // takes credentials to ask for, not to give.
    if (command.options & kOptUser) settle_credentials(o, command.clients);
    return o;
}

void print_command_help(const Command &command, FILE *out) {
    std::fprintf(out, "usage: kalax %s%s%s%s\n\n%s\n", command.name, *command.synopsis ? " " : "",
                 command.synopsis, command.options ? " [options]" : "", command.summary);
    if (command.details) std::fprintf(out, "\n%s", command.details);
    if (command.options == 0) return;
    std::fputs("\noptions:\n", out);
    for (const OptionInfo &option : kOptions) {
        if (!(command.options & option.bit)) continue;
        std::string left = option.letter ? std::string("-") + option.letter + ", " : std::string();
        left += std::string("--") + option.name;
        if (option.value) left += std::string(" ") + option.value;
        if (left.size() > 22) std::fprintf(out, "  %s\n  %-22s  ", left.c_str(), "");
        else std::fprintf(out, "  %-22s  ", left.c_str());
        // Wrapped at word ends to 80 columns, continued under the first line.
        std::string_view help = option.help;
        constexpr size_t kWidth = 80 - 26;
        while (help.size() > kWidth) {
            size_t cut = help.rfind(' ', kWidth);
            if (cut == std::string_view::npos || cut == 0) cut = help.find(' ');
            if (cut == std::string_view::npos) break;
            std::fprintf(out, "%.*s\n%26s", static_cast<int>(cut), help.data(), "");
            help.remove_prefix(cut + 1);
        }
        std::fprintf(out, "%.*s\n", static_cast<int>(help.size()), help.data());
    }
}

std::string Target::label() const { return host + ":" + std::to_string(port); }

Target resolve_target(const std::string &text) {
    Target t;
    t.host = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        t.host = text.substr(0, colon);
        t.port = to_int(std::string_view(text).substr(colon + 1), 1, 65535, "port");
    }
    if (t.host.empty()) throw UsageError("no host in '" + text + "'");

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(t.host.c_str(), nullptr, &hints, &found);
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
    if (rc != 0 || found == nullptr) fail(89, t.host, ::gai_strerror(rc));
    char dotted[INET_ADDRSTRLEN] = {};
    const auto *in = reinterpret_cast<const sockaddr_in *>(found->ai_addr);
    if (::inet_ntop(AF_INET, &in->sin_addr, dotted, sizeof dotted) == nullptr) fail(89, t.host);
    t.address = dotted;
    return t;
}

}  // namespace kalax::cli
