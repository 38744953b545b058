// kalax exporter: the units' values for Prometheus, read on every scrape.
#include <CivetServer.h>
#include <civetweb.h>
#include <prometheus/exposer.h>

#include <csignal>
#include <cstring>
#include <memory>

#include "tools/cli/exporter_config.h"
#include "tools/cli/failure.h"
#include "tools/cli/monitoring.h"
#include "tools/cli/scrape.h"
#include "tools/cli/session.h"

namespace kalax::cli {

namespace {

constexpr const char *kDefaultListen = "127.0.0.1:9869";
constexpr std::chrono::milliseconds kDefaultScrapeTimeout{10000};

constexpr char kFrontPage[] =
    "<!DOCTYPE html>\n"
    "<html><head><meta charset=\"utf-8\"><title>kalax exporter</title></head>\n"
    "<body><h1>kalax exporter</h1>\n"
    "<p>Kalyx monitoring units for Prometheus: <a href=\"/metrics\">/metrics</a>.</p>\n"
    "</body></html>\n";

// Runs on a server thread for every request before the exposer's handlers:
// "/" gets the page, everything else goes on.
int serve_front_page(mg_connection *connection) {
    const mg_request_info *request = mg_get_request_info(connection);
    if (request == nullptr || request->local_uri == nullptr || std::strcmp(request->local_uri, "/") != 0) return 0;
    mg_printf(connection,
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: %zu\r\n"
              "Connection: close\r\n\r\n",
              sizeof kFrontPage - 1);
    if (std::strcmp(request->request_method, "HEAD") != 0) mg_write(connection, kFrontPage, sizeof kFrontPage - 1);
    return 200;
}

// HOST[:PORT] taken apart but not resolved: the client resolves the name for
// every request, so a name that does not resolve now makes its unit down (code
// 89), not the exporter fail, and a changed address is followed.
UnitEntry entry_of(const std::string &name, const std::string &host, const std::string &user,
                 const std::string &password, std::vector<std::pair<std::string, std::string>> labels) {
    UnitEntry s;
    s.name = name;
    s.address = host;
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
        const std::string port = host.substr(colon + 1);
        s.address = host.substr(0, colon);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(port) < 1 || std::stoi(port) > 65535)
            throw UsageError("bad port in '" + host + "' (1-65535)");
        s.port = std::stoi(port);
    }
    if (s.address.empty()) throw UsageError("no host in '" + host + "'");
    s.host = s.address + ":" + std::to_string(s.port);
    s.user = user;
    s.password = password;
    s.labels = std::move(labels);
    return s;
}

// "ADDRESS:PORT" with a numeric port; the server takes the rest as it is.
void check_listen(const std::string &listen) {
    const size_t colon = listen.rfind(':');
    const std::string port = colon == std::string::npos ? "" : listen.substr(colon + 1);
    if (colon == std::string::npos || colon == 0 || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
        throw UsageError("bad --listen '" + listen + "' (ADDRESS:PORT, e.g. 127.0.0.1:9869)");
}

}  // namespace

int cmd_exporter(const std::vector<std::string> &args) {
    const ParsedArgs a = parse_monitoring_args(args, {{"config", 0, true},
                                                      {"unit", 0, true},
                                                      {"user", 0, true},
                                                      {"password", 0, true},
                                                      {"listen", 0, true},
                                                      {"scrape-timeout", 0, true}});
    if (!a.positional.empty()) throw UsageError("unexpected argument '" + a.positional.front() + "'");
    if (!a.has("config") && !a.has("unit")) throw UsageError("no units: give --config FILE or --unit NAME=HOST");
    if (a.has("config") && a.values.at("config").size() > 1) throw UsageError("one --config only");

    ExporterConfig config;
    if (const std::string *file = a.last("config")) config = read_exporter_config(*file);
    std::vector<UnitEntry> entries;
    for (const ConfiguredUnit &u : config.units) entries.push_back(entry_of(u.name, u.host, u.user, u.password, u.labels));
    if (a.has("unit")) {
        const std::string user = a.last("user") ? *a.last("user") : "";
        const std::string password = a.last("password") ? *a.last("password") : "";
        for (const std::string &text : a.values.at("unit")) {
            const size_t eq = text.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == text.size())
                throw UsageError("bad --unit '" + text + "' (NAME=HOST[:PORT])");
            const std::string name = text.substr(0, eq);
            for (const UnitEntry &s : entries)
                if (s.name == name) throw UsageError("a second unit named '" + name + "'");
            entries.push_back(entry_of(name, text.substr(eq + 1), user, password, {}));
        }
    } else if (a.has("user") || a.has("password")) {
        throw UsageError("--user and --password are for --unit units; the configuration file names its own");
    }
    const std::string listen = a.last("listen") ? *a.last("listen") : config.listen.value_or(kDefaultListen);
    check_listen(listen);
    const std::chrono::milliseconds timeout = a.last("scrape-timeout")
                                                  ? parse_seconds(*a.last("scrape-timeout"), "--scrape-timeout")
                                                  : config.scrape_timeout.value_or(kDefaultScrapeTimeout);

    // Every thread started from here on inherits the blocked stop signals;
    // they are taken below.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    ClientLibraries clients;
    const size_t unit_count = entries.size();
    Fleet fleet(std::move(entries), timeout);
    auto collectable = std::make_shared<FleetCollectable>(fleet);
    CivetCallbacks callbacks;
    callbacks.begin_request = serve_front_page;
    std::unique_ptr<prometheus::Exposer> exposer;
    try {
        exposer = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", listen, "num_threads", "4"}, &callbacks);
    } catch (const std::exception &e) {
        fail(86, "listening on " + listen, e.what());
    }
    exposer->RegisterCollectable(collectable);
    const std::vector<int> ports = exposer->GetListeningPorts();
    const std::string address = listen.substr(0, listen.rfind(':'));
    const std::string where = address + ":" + std::to_string(ports.empty() ? 0 : ports.front());
    std::printf("kalax exporter: %zu unit%s, scrape timeout %.2f s, serving http://%s/metrics\n", unit_count,
                unit_count == 1 ? "" : "s", static_cast<double>(timeout.count()) / 1000.0, where.c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stop, &signal);
    // The server goes first: no scrape may reach the fleet while it closes.
    exposer.reset();
    std::printf("kalax exporter: stopped\n");
    return 0;
}

}  // namespace kalax::cli
