#include "tools/cli/commands.h"

#include <arpa/inet.h>
#include <libxml/parser.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "kalax/zxxml.h"
#include "tools/cli/failure.h"
#include "tools/cli/files.h"
#include "tools/cli/render.h"
#include "unitsim/unitsim.h"

namespace kalax::cli {

namespace {

// Setup documents larger than this cannot be sent in one request anyway.
constexpr size_t kSetupFileLimit = 1u << 20;
// Binary logs: a unit's log is a few megabytes at most.
constexpr size_t kBinaryLogLimit = 256u << 20;

int show_unit(const Options &o, bool setup) {
    UnitSession unit(resolve_target(o.args[0]), o);
    unit.fetch(setup);
    show_document(stdout, unit, setup, o.format);
    return 0;
}

// A record's text field, also when a unit filled it to the last byte.
template <size_t N>
std::string field_text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

void print_manager(const char *prefix, const SnmpManager &m) {
    std::printf("%s%s:%d\n", prefix, clean_utf8(m.address).c_str(), m.port);
}

// The community the library's trap-destination request always sets.
constexpr const char *kLibraryCommunity = "orchid";

std::string xml_escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c; break;
        }
    }
    return out;
}

// The library's trap-destination document with a community of the caller's:
// trap destination 1, enabled.
std::string trap_document(const std::string &address, int port, const std::string &community) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<SnmpTraps>\n<Entry>\n<Idx>1</Idx>\n"
           "<Community>" + xml_escaped(community) + "</Community>\n<IPaddr>" + xml_escaped(address) +
           "</IPaddr>\n<Port>" + std::to_string(port) + "</Port>\n<E>1</E>\n</Entry>\n</SnmpTraps>\n</Root>";
}

// The line of a document's first well-formedness error, or 0 for a
// well-formed one.
int first_error_line(const std::string &document) {
    if (document.size() > static_cast<size_t>(INT_MAX)) return 0;
    const std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)> context(xmlNewParserCtxt(), &xmlFreeParserCtxt);
    if (!context) return 0;
    // No network, no entity expansion, no messages of the parser's own.
    xmlDocPtr parsed = xmlCtxtReadMemory(context.get(), document.data(), static_cast<int>(document.size()), nullptr,
                                         nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    const bool well_formed = parsed != nullptr && context->wellFormed;
    if (parsed != nullptr) xmlFreeDoc(parsed);
    return well_formed ? 0 : std::max(context->lastError.line, 1);
}

// The client keeps a document that is malformed past its root's start as far
// as it was read; the person reading the list must know it is not all.
void warn_if_cut(const UnitSession &unit, bool setup) {
    std::string document;
    try {
        document = unit.document(setup);
    } catch (const Failure &) {
        return;  // no document at all: the listing says so with the file's name
    }
    const int line = first_error_line(document);
    if (line == 0) return;
    const int items = std::max(zxapi::CountXmlItems(unit.module(), setup), 0);
    std::fprintf(stderr, "kalax: warning: the unit's %s is cut at line %d: %d items shown\n",
                 setup ? "setup.xml" : "values.xml", line, items);
}

}  // namespace

void show_document(FILE *out, const UnitSession &unit, bool setup, Format format) {
    warn_if_cut(unit, setup);
    if (format == Format::xml) {
        const std::string doc = unit.document(setup);
        std::fwrite(doc.data(), 1, doc.size(), out);
        if (!doc.empty() && doc.back() != '\n') std::fputc('\n', out);
        return;
    }
    // A web server that is not a unit may well serve a page under the same name.
    const ItemList list = collect_items(unit.module(), setup,
                                        unit.label() + (setup ? ": reading setup.xml" : ": reading values.xml") +
                                            ": the document holds no unit's items");
    if (format == Format::json) print_json(out, list);
    else print_table(out, list);
}

int cmd_values(const Options &o) { return show_unit(o, false); }
int cmd_setup(const Options &o) { return show_unit(o, true); }

int cmd_send_setup(const Options &o) {
    const std::string document = read_file(o.args[1], kSetupFileLimit);
    UnitSession unit(resolve_target(o.args[0]), o);
    unit.send_setup_text(document);
    if (o.quiet) return 0;
    if (o.format == Format::table) std::printf("The unit took the setup and answered:\n");
    show_document(stdout, unit, true, o.format);
    return 0;
}

int cmd_snmp_manager(const Options &o) {
    if (o.args.size() == 2) throw UsageError("give both ADDRESS and PORT, or neither");
    if (o.args.size() == 1 && o.community) throw UsageError("--community goes with ADDRESS and PORT");
    UnitSession unit(resolve_target(o.args[0]), o);
    if (o.args.size() == 1) {
        print_manager("", unit.snmp_manager());
        return 0;
    }
    in_addr parsed{};
    if (::inet_pton(AF_INET, o.args[1].c_str(), &parsed) != 1)
        throw UsageError("ADDRESS must be a dotted IPv4 address, not '" + o.args[1] + "'");
    int port = 0;
    const std::string &p = o.args[2];
    const auto r = std::from_chars(p.data(), p.data() + p.size(), port);
    if (r.ec != std::errc() || r.ptr != p.data() + p.size() || port < 1 || port > 65535)
        throw UsageError("bad PORT '" + p + "' (1-65535)");
    const std::string community = o.community.value_or(kLibraryCommunity);
    // The library's own request always sets its community and never carries
    // credentials; a setup upload does both.
    if (o.community || o.user) unit.send_setup_text(trap_document(o.args[1], port, community));
    else unit.set_snmp_manager(o.args[1], port);
    // The answer is the unit's setup; only a first trap destination that reads
    // back as sent shows the unit took it (a login page answers 200 as well).
    zxxml_setup_struct *setup = nullptr;
    zxxml_setup_count_struct *counts = nullptr;
    if (zxxml_get_setup_cache(unit.module(), &setup, &counts) != 0 || counts == nullptr || counts->SnmpTraps <= 0)
        fail(74, unit.label() + ": the unit's answer holds no trap destination, so it is not known to have taken it");
    SnmpManager now;
    now.address = field_text(setup->SnmpTraps_Entry_IPaddr[0]);
    now.port = std::atoi(field_text(setup->SnmpTraps_Entry_Port[0]).c_str());
    const std::string now_community = field_text(setup->SnmpTraps_Entry_Community[0]);
    if (now.address != o.args[1] || now.port != port || now_community != community)
        fail(73, unit.label() + ": the unit answered with trap destination " + clean_utf8(now.address) + ":" +
                     std::to_string(now.port) + " (community \"" + clean_utf8(now_community) +
                     "\"), not the one sent");
    if (!o.quiet)
        std::printf("the unit now sends its traps to %s:%d (community \"%s\")\n", clean_utf8(now.address).c_str(),
                    now.port, clean_utf8(now_community).c_str());
    return 0;
}

LogLines download_log(LogSession &log, bool binary) {
    const std::string raw = log.download(binary);
    if (!binary) return split_csv_log(raw, log.type_filter(), log.group_filter(), log.label() + ": spilog.txt");
    const std::string context = log.label() + ": spilog.bin";
    const size_t whole = whole_binary_records(raw, context);
    // The conversion applies the module's filters.
    LogLines lines = split_csv_log(log.to_csv(raw.substr(0, whole)), 0, 0, context);
    lines.cut_bytes = raw.size() - whole;
    return lines;
}

void judge_leftovers(const LogLines &log, bool binary, const std::string &label) {
    std::string problem;
    if (log.cut_bytes != 0)
        problem = "the download was cut off: " + std::to_string(log.cut_bytes) + " bytes of an incomplete " +
                  (binary ? "record" : "line") + " left out";
    if (log.nul_lines != 0)
        problem += (problem.empty() ? "" : "; ") + std::to_string(log.nul_lines) +
                   " lines holding a NUL byte left out";
    if (!problem.empty())
        fail(11, label + ": " + problem + " (" + std::to_string(log.count) + " whole lines kept)");
}

namespace {

// `out` may be null: nothing reported.
void append_downloaded(AppendTarget &target, const LogLines &log, const std::string &path, FILE *out) {
    const AppendResult r = target.append(log);
    if (out != nullptr)
        std::fprintf(out, "%zu of %zu downloaded lines were new and appended to %s\n", r.added, r.downloaded,
                     path.c_str());
}

}  // namespace

void download_and_append(LogSession &log, bool binary, const std::string &path, FILE *out) {
    AppendTarget target(path, log.type_filter(), log.group_filter());
    const LogLines lines = download_log(log, binary);
    append_downloaded(target, lines, path, out);
    judge_leftovers(lines, binary, log.label());
}

int cmd_log(const Options &o) {
    // The unit filters nothing itself: the client filters CSV text and conversions.
    if (o.binary && o.append.empty() && (o.type_filter != 0 || o.group_filter != 0))
        throw UsageError("--type and --group filter CSV lines: use them without --bin, or with --append");
    if (o.delete_after && o.append.empty()) throw UsageError("--delete-after needs --append FILE");
    // The unit deletes every record it served, the filters' rejects as well.
    if (o.delete_after && (o.type_filter != 0 || o.group_filter != 0))
        throw UsageError("--delete-after takes no --type or --group: FILE would not hold every record deleted");
    LogSession log(resolve_target(o.args[0]), o, o.quiet ? nullptr : stderr);
    if (!o.append.empty()) {
        // FILE is judged before the unit is asked for anything.
        AppendTarget target(o.append, o.type_filter, o.group_filter);
        const LogLines lines = download_log(log, o.binary);
        append_downloaded(target, lines, o.append, o.quiet ? nullptr : stdout);
        judge_leftovers(lines, o.binary, log.label());
        // Only now is every served record a line of FILE, on disk. An empty
        // download asks for no deletion at all.
        if (o.delete_after && lines.count > 0) {
            log.remove(false);
            if (!o.quiet)
                std::printf("%s deleted the %zu records the download served\n", log.label().c_str(), lines.count);
        }
        return 0;
    }
    std::string raw;
    LogLines lines;
    std::string_view body;
    if (o.binary) {
        raw = log.download(true);
        const size_t whole = whole_binary_records(raw, log.label() + ": spilog.bin");
        lines.cut_bytes = raw.size() - whole;
        body = std::string_view(raw).substr(0, whole);
    } else {
        lines = download_log(log, false);
        body = lines.text;
    }
    if (std::fwrite(body.data(), 1, body.size(), stdout) != body.size() || std::fflush(stdout) != 0)
        fail(7, "standard output", std::strerror(errno));
    judge_leftovers(lines, o.binary, log.label());
    return 0;
}

int cmd_log_convert(const Options &o) {
    const std::string &in = o.args[0];
    const std::string out = o.args.size() < 2 ? "-" : o.args[1];
    const std::string binary = read_file(in, kBinaryLogLimit);
    // The whole records before a cut or malformed one are converted all the same.
    const BinaryRecords whole = scan_binary_records(binary);
    const std::string name = in == "-" ? std::string("standard input") : in;
    if (whole.count == 0 && !binary.empty())
        fail(11, name + ": not a binary data log (" + (whole.malformed ? "malformed" : "cut") +
                     " record at byte 0); nothing written");
    const std::string csv = binary_log_to_csv(0, binary.substr(0, whole.bytes), in);
    // Standard output is judged once, at the end, like every command's.
    if (out == "-") std::fwrite(csv.data(), 1, csv.size(), stdout);
    else write_file(out, csv);
    if (whole.bytes < binary.size())
        fail(11, name + ": " +
                     (whole.malformed ? "malformed record" : "record cut off") + " at byte " +
                     std::to_string(whole.bytes) + "; the " + std::to_string(whole.count) +
                     " whole records before it were converted");
    if (out != "-" && !o.quiet) std::printf("%zu lines written to %s\n", count_lines(csv), out.c_str());
    return 0;
}

int cmd_log_delete(const Options &o) {
    const Target target = resolve_target(o.args[0]);
    LogSession log(target, o, nullptr);
    log.remove(o.all);
    if (!o.quiet)
        std::printf(o.all ? "%s deleted its whole log\n" : "%s deleted the records its last download served\n",
                    target.label().c_str());
    return 0;
}

int cmd_sim(const Options &o) {
    // The unit's threads inherit the blocked stop signals; they are taken here.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    // Several units sit on consecutive ports, each with readings and a MAC of
    // its own; with --port 0 the first port is picked free and the rest follow it.
    std::vector<std::unique_ptr<sim::Unit>> units;
    int port = o.port;
    for (int i = 0; i < o.units; ++i) {
        sim::UnitConfig config;
        config.wall_clock = true;
        config.log_period_s = o.log_period_s;
        config.history_periods = 30;
        config.seed = static_cast<uint32_t>(i + 1);
        if (o.units > 1) {
            char mac[32];
            std::snprintf(mac, sizeof mac, "00:0A:59:00:%02X:%02X", (i + 1) >> 8, (i + 1) & 0xFF);
            config.mac = mac;
            config.device_name += " " + std::to_string(i + 1);
        }
        if (o.user) {
            config.user = *o.user;
            config.password = *o.password;
        }
        auto unit = std::make_unique<sim::Unit>(config);
        if (port > 65535 || !unit->start(port))
            fail(86, "127.0.0.1:" + std::to_string(port), port > 65535 ? "no port left" : std::strerror(errno));
        port = unit->port() + 1;
        units.push_back(std::move(unit));
    }
    if (units.size() == 1) {
        const sim::Unit &unit = *units.front();
        std::printf("kalax sim: a simulated unit listens on 127.0.0.1:%d (%s/values.xml)\n", unit.port(),
                    unit.url().c_str());
        std::printf("try: kalax values 127.0.0.1:%d   (Ctrl-C stops the unit)\n", unit.port());
    } else {
        std::string exporter = "kalax exporter";
        for (size_t i = 0; i < units.size(); ++i)
            exporter += " --unit sim" + std::to_string(i + 1) + "=127.0.0.1:" + std::to_string(units[i]->port());
        std::printf("kalax sim: %zu simulated units listen on 127.0.0.1:%d-%d\n", units.size(), units.front()->port(),
                    units.back()->port());
        std::printf("try: %s\n     (then http://127.0.0.1:9869/metrics; Ctrl-C stops the units)\n",
                    exporter.c_str());
    }
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    for (auto &unit : units) unit->stop();
    std::printf("kalax sim: stopped\n");
    return 0;
}

}  // namespace kalax::cli
