// Many threads opening, requesting, waiting on and closing modules of both
// clients at once against several simulated units. Afterwards every slot must
// be free and every thread the libraries started must be gone.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "kalax/zxpld.h"
#include "kalax/zxxml.h"
#include "unitsim/unitsim.h"

using namespace kalax;

namespace {

int thread_count() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

std::atomic<int> xml_callbacks{0};
std::atomic<int> requeued{0};
std::atomic<int> pld_completions{0};

// Values callbacks queue a setup fetch on their own module now and then.
void on_values(int module, void *, int, zxxml_values_struct *, zxxml_values_count_struct *) {
    ++xml_callbacks;
    if (requeued.fetch_add(1) % 3 == 0) zxxml_get_setup(module);
}
void on_setup(int, void *, int, zxxml_setup_struct *, zxxml_setup_count_struct *) { ++xml_callbacks; }
void on_done(int, void *) { ++pld_completions; }
void on_text(int, void *, const char *, int) { ++pld_completions; }
void on_fail(int, void *, zx_error_struct *) { ++pld_completions; }

void xml_worker(const std::vector<int> &ports, unsigned seed, int rounds) {
    std::mt19937 rng(seed);
    zxxml_settings_struct s{};
    s.callbacks.on_values = on_values;
    s.callbacks.on_setup = on_setup;
    for (int i = 0; i < rounds; ++i) {
        const int port = ports[rng() % ports.size()];
        const int m = zxxml_open("127.0.0.1", port, &s, nullptr);
        if (m < 0) continue;  // the table may be full for a moment
        zxxml_wait_finish(m, 0, 5);
        switch (rng() % 4) {
        case 0:  // close while the request may be on the wire
            zxxml_get_values(m);
            break;
        case 1:
            zxxml_get_values(m);
            zxxml_wait_finish(m, 2, 15);
            break;
        case 2:
            zxxml_get_setup(m);
            zxxml_wait_finish(m, 4, 15);
            break;
        default: {
            const char doc[] = "<?xml version=\"1.0\"?><Root><SenSet><Entry><Idx>1</Idx><Hyst>1.0</Hyst></Entry></SenSet></Root>";
            zxxml_send_setup_xml(m, doc, static_cast<int>(sizeof doc - 1));
            zxxml_wait_finish(m, 7, 15);
        }
        }
        EXPECT_EQ(zxxml_close(m), 0);
    }
}

void group_worker(const std::vector<int> &ports, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        const int g = zxxml_open_many(nullptr);
        if (g < 0) continue;
        zxxml_wait_finish(g, 0, 5);
        for (int p : ports) zxxml_add_module(g, "127.0.0.1", p, nullptr);
        zxxml_get_values(g);
        if (i % 2) zxxml_wait_finish(g, 2, 20);
        EXPECT_EQ(zxxml_close(g), 0);
    }
}

void pld_worker(const std::vector<int> &ports, unsigned seed, int rounds) {
    std::mt19937 rng(seed);
    for (int i = 0; i < rounds; ++i) {
        zxpld_settings_struct s;
        zxpld_clr_settings_struct(&s);
        s.address = "127.0.0.1";
        s.port = ports[rng() % ports.size()];
        s.on_csv = on_text;
        s.on_bin = on_text;
        s.on_del = on_done;
        s.on_csv_error = s.on_bin_error = on_fail;
        const int m = zxpld_open(&s);
        if (m < 0) continue;
        const int kind = static_cast<int>(rng() % 3);
        if (kind == 0) zxpld_get_spilog_csv(m);
        if (kind == 1) zxpld_get_spilog_bin(m);
        if (kind == 2) zxpld_get_spilog_del(m);
        if (rng() % 2) std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 50));
        EXPECT_EQ(zxpld_close(m), 0);
    }
}

}  // namespace

TEST(Stress, BothClientsManyThreadsEndClean) {
    std::thread([] {}).join();  // runtimes that add a helper thread on first use have done so now
    const int baseline = thread_count();
    std::vector<std::unique_ptr<sim::Unit>> units;
    std::vector<int> ports;
    for (int i = 0; i < 3; ++i) {
        sim::UnitConfig config;
        config.history_periods = 200;  // a log of some size
        config.seed = static_cast<uint32_t>(i + 1);
        units.push_back(std::make_unique<sim::Unit>(config));
        ASSERT_TRUE(units.back()->start(0));
        ports.push_back(units.back()->port());
    }
    // One unit answers slowly, so closes land in the middle of transfers.
    sim::Fault drip;
    drip.drip_bytes = 256;
    drip.drip_delay_ms = 20;
    units[1]->set_fault("*", drip);

    ASSERT_EQ(zxxml_init(), 0);
    ASSERT_EQ(zxpld_init(), 0);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 6; ++t) threads.emplace_back(xml_worker, std::cref(ports), 100 + t, 12);
    for (unsigned t = 0; t < 2; ++t) threads.emplace_back(group_worker, std::cref(ports), 4);
    for (unsigned t = 0; t < 4; ++t) threads.emplace_back(pld_worker, std::cref(ports), 200 + t, 12);
    for (auto &t : threads) t.join();

    // Every slot is free again.
    for (int m = 1; m < 100; ++m) {
        EXPECT_EQ(zxxml_type_of(m), -1) << m;
    }
    EXPECT_EQ(zxxml_uninit(), 0);
    EXPECT_EQ(zxpld_uninit(), 0);
    for (auto &u : units) u->stop();
    EXPECT_EQ(thread_count(), baseline) << "no thread of either client is left";
    EXPECT_GT(xml_callbacks.load() + pld_completions.load(), 0);
}
