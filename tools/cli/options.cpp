// Option parsing, per-command help and host resolution.
#include "tools/cli/options.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>

#include "kalax/zxpld.h"
#include "tools/cli/failure.h"

namespace kalax::cli {

namespace {

struct OptionInfo {
    OptionBit bit;
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
    {kOptUser, "user", "NAME", "user name for units that ask for credentials",
     [](Options &o, std::string_view v) { o.user = std::string(v); }},
    {kOptPassword, "password", "TEXT", "password for units that ask for credentials",
     [](Options &o, std::string_view v) { o.password = std::string(v); }},
    {kOptTimeout, "timeout", "SECONDS", "give up waiting for the unit after this long (default 30)",
     [](Options &o, std::string_view v) { o.timeout_s = to_int(v, 1, 3600, "timeout"); }},
    {kOptXml, "xml", nullptr, "print the unit's document as it came",
     [](Options &o, std::string_view) { o.format = Format::xml; }},
    {kOptJson, "json", nullptr, "print {\"device\": {...}, \"items\": [one object per item]} in UTF-8",
     [](Options &o, std::string_view) { o.format = Format::json; }},
    {kOptCsv, "csv", nullptr, "download the log as CSV text (the default)",
     [](Options &o, std::string_view) { o.binary = false; }},
    {kOptBin, "bin", nullptr, "download the log as binary records",
     [](Options &o, std::string_view) { o.binary = true; }},
    {kOptAppend, "append", "FILE", "append only the lines FILE does not hold yet (as CSV)",
     [](Options &o, std::string_view v) {
         if (v.empty()) throw UsageError("--append needs a file name");
         o.append = std::string(v);
     }},
    {kOptType, "type", "all|normal|alarm", "keep only records of this type",
     [](Options &o, std::string_view v) { o.type_filter = pick(v, kTypes, "type"); }},
    {kOptGroup, "group", "all|sensors|binaries|inputs|outputs", "keep only records of this group",
     [](Options &o, std::string_view v) { o.group_filter = pick(v, kGroups, "group"); }},
    {kOptAll, "all", nullptr, "delete the whole log, not only what the last download served",
     [](Options &o, std::string_view) { o.all = true; }},
    {kOptPort, "port", "N", "TCP port on 127.0.0.1 (default 8080, 0 picks a free one)",
     [](Options &o, std::string_view v) { o.port = to_int(v, 0, 65535, "port"); }},
    {kOptLogPeriod, "log-period", "SECONDS", "seconds between data-log rounds (default 10)",
     [](Options &o, std::string_view v) { o.log_period_s = to_int(v, 1, 86400, "log period"); }},
    {kOptMaxSize, "max-size", "BYTES",
     "stop a download larger than this (K, M, G suffixes; default 256M; the library itself stops any reply "
     "at 32M)",
     [](Options &o, std::string_view v) { o.max_size = to_size(v); }},
    {kOptUnits, "units", "N", "run N simulated units on consecutive ports from --port (default 1, at most 99)",
     [](Options &o, std::string_view v) { o.units = to_int(v, 1, 99, "number of units"); }},
    {kOptKeep, "keep", nullptr, "keep the temporary folder with the downloaded log",
     [](Options &o, std::string_view) { o.keep = true; }},
};

const OptionInfo *find_option(std::string_view name, uint32_t accepted) {
    for (const OptionInfo &option : kOptions)
        if ((accepted & option.bit) && name == option.name) return &option;
    return nullptr;
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
            if (!options_done && a.size() > 1 && a[0] == '-')
                throw UsageError("unknown option " + std::string(a));
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
    if (o.password && !o.user) o.user = std::string();
    if (o.user && !o.password) o.password = std::string();
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
        std::string left = std::string("--") + option.name;
        if (option.value) left += std::string(" ") + option.value;
        if (left.size() > 22) std::fprintf(out, "  %s\n  %-22s  %s\n", left.c_str(), "", option.help);
        else std::fprintf(out, "  %-22s  %s\n", left.c_str(), option.help);
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
