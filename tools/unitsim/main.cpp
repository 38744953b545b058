// kalax-unitsim: serves one simulated monitoring unit until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "unitsim/unitsim.h"

namespace {

void usage(FILE* out) {
    std::fputs(
        "usage: kalax-unitsim [options]\n"
        "  --port N            TCP port on 127.0.0.1 (default 8080, 0 picks a free one)\n"
        "  --family F          kalyx | varno | ostra | unknown (sets the model number)\n"
        "  --model N           Agent_Model number (21, 3: kalyx; 2: varno; 33: ostra; 99: unknown)\n"
        "  --xmlver V          Agent_XmlVer: 2.0, 2.20, 2.34, 2.35, 2.36, 1.00 (default 2.34)\n"
        "  --inputs N          binary inputs (default 4)\n"
        "  --outputs N         binary outputs (default 2)\n"
        "  --sensors N         sensors (default 3)\n"
        "  --user U            require HTTP Basic credentials for setup and log requests\n"
        "  --password P\n"
        "  --namespaced        write <val:Root ...> / <set:Root ...> roots\n"
        "  --seed N            seed of the simulated readings (default 1)\n"
        "  --log-period S      seconds between data-log rounds (default 10)\n"
        "faults, to try a client's error handling (every path, or only --fault-path):\n"
        "  --delay-ms N        wait N ms before answering\n"
        "  --silent-after B    send B bytes of the body, then say nothing until the client closes\n"
        "  --close-after B     send B bytes of the body, then close the connection\n"
        "  --status CODE       answer with this HTTP status (400 and above: no document)\n"
        "  --drip B:MS         send the answer in pieces of B bytes, MS ms apart\n"
        "  --fault-path PATH   apply the faults only to this path, e.g. /spilog.txt\n"
        "  --help              this text\n",
        out);
}

bool to_int(const char* s, int lo, int hi, int& out) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    kalax::sim::UnitConfig cfg;
    cfg.wall_clock = true;
    cfg.log_period_s = 10;
    cfg.history_periods = 30;
    int port = 8080;
    kalax::sim::Fault fault;
    bool faulty = false;
    std::string fault_path = "*";
    int bytes = 0;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (a == "--namespaced") {
            cfg.namespaced_root = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "kalax-unitsim: %s needs a value\n", a.c_str());
            usage(stderr);
            return 2;
        }
        const char* v = argv[++i];
        bool ok = true;
        if (a == "--port") ok = to_int(v, 0, 65535, port);
        else if (a == "--model") cfg.model = v;
        else if (a == "--xmlver") cfg.xml_ver = v;
        else if (a == "--inputs") ok = to_int(v, 0, 1000, cfg.inputs);
        else if (a == "--outputs") ok = to_int(v, 0, 1000, cfg.outputs);
        else if (a == "--sensors") ok = to_int(v, 0, 1000, cfg.sensors);
        else if (a == "--user") cfg.user = v;
        else if (a == "--password") cfg.password = v;
        else if (a == "--log-period") ok = to_int(v, 1, 86400, cfg.log_period_s);
        else if (a == "--delay-ms") ok = faulty = to_int(v, 0, 3600000, fault.silence_ms);
        else if (a == "--status") ok = faulty = to_int(v, 100, 599, fault.status);
        else if (a == "--silent-after" || a == "--close-after") {
            ok = faulty = to_int(v, 0, 2147483647, bytes);
            (a == "--silent-after" ? fault.stall_after_body : fault.close_after_body) = static_cast<size_t>(bytes);
        }
        else if (a == "--drip") {
            const std::string d = v;
            const size_t colon = d.find(':');
            ok = faulty = colon != std::string::npos &&
                          to_int(d.substr(0, colon).c_str(), 1, 1 << 20, fault.drip_bytes) &&
                          to_int(d.substr(colon + 1).c_str(), 0, 3600000, fault.drip_delay_ms);
        } else if (a == "--fault-path") {
            fault_path = v;
            ok = !fault_path.empty() && fault_path[0] == '/';
        }
        else if (a == "--seed") {
            int seed = 0;
            ok = to_int(v, 0, 2147483647, seed);
            cfg.seed = static_cast<uint32_t>(seed);
        } else if (a == "--family") {
            std::string f = v;
            if (f == "kalyx") cfg.model = kalax::sim::model_of_family(kalax::sim::Family::kalyx);
            else if (f == "varno") cfg.model = kalax::sim::model_of_family(kalax::sim::Family::varno);
            else if (f == "ostra") cfg.model = kalax::sim::model_of_family(kalax::sim::Family::ostra);
            else if (f == "unknown") cfg.model = kalax::sim::model_of_family(kalax::sim::Family::unknown);
            else ok = false;
        } else {
            std::fprintf(stderr, "kalax-unitsim: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "kalax-unitsim: bad value for %s: %s\n", a.c_str(), v);
            return 2;
        }
    }

    // Block the stop signals in every thread (the unit's threads inherit the mask)
    // and take them synchronously here.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    kalax::sim::Unit unit(cfg);
    if (faulty) unit.set_fault(fault_path, fault);
    if (!unit.start(port)) {
        std::fprintf(stderr, "kalax-unitsim: cannot listen on 127.0.0.1:%d: %s\n", port, std::strerror(errno));
        return 1;
    }
    std::printf("kalax-unitsim: model %s, XmlVer %s, %d inputs, %d outputs, %d sensors\n", cfg.model.c_str(),
                cfg.xml_ver.c_str(), cfg.inputs, cfg.outputs, cfg.sensors);
    std::printf("%s/values.xml\n", unit.url().c_str());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stop_signals, &sig);
    unit.stop();
    std::printf("kalax-unitsim: stopped (%s)\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    return 0;
}
