// The simulated unit seen from outside: raw sockets only, never the library's client.
#include <arpa/inet.h>
#include <libxml/parser.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "unitsim/unitsim.h"

namespace {

using kalax::sim::Fault;
using kalax::sim::LogRecord;
using kalax::sim::TrapDest;
using kalax::sim::Unit;
using kalax::sim::UnitConfig;

class Socket {
public:
    explicit Socket(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        error_ = connected_ ? 0 : errno;
    }
    ~Socket() { ::close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    bool connected() const { return connected_; }
    int error() const { return error_; }
    void send(const std::string& bytes) const {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until the peer closes; gives up after `timeout_ms` of silence.
    std::string read_all(int timeout_ms = 15000, bool* closed = nullptr) const {
        std::string out;
        char buf[4096];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeout_ms) <= 0) break;
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                if (closed != nullptr) *closed = true;
                return out;
            }
            out.append(buf, static_cast<size_t>(n));
        }
        if (closed != nullptr) *closed = false;
        return out;
    }

private:
    int fd_;
    bool connected_ = false;
    int error_ = 0;
};

struct Reply {
    std::string raw;
    int status = 0;
    std::string body;
};

Reply exchange(int port, const std::string& request) {
    Socket s(port);
    Reply r;
    if (!s.connected()) return r;
    s.send(request);
    r.raw = s.read_all();
    if (r.raw.size() >= 12 && r.raw.compare(0, 5, "HTTP/") == 0) r.status = std::atoi(r.raw.c_str() + 9);
    size_t end = r.raw.find("\r\n\r\n");
    if (end != std::string::npos) r.body = r.raw.substr(end + 4);
    return r;
}

Reply get(const Unit& u, const std::string& path, const std::string& auth = "") {
    std::string head = "GET " + path + " HTTP/1.0\r\n";
    if (!auth.empty()) head += "Authorization: Basic " + auth + "\r\n";
    return exchange(u.port(), head + "\r\n");
}

std::string post_text(const std::string& doc, const std::string& auth = "") {
    std::string head = "POST /setup.xml HTTP/1.0\r\n";
    if (!auth.empty()) head += "Authorization: Basic " + auth + "\r\n";
    return head + "Content-Type: text/xml\r\nContent-Length: " + std::to_string(doc.size()) + "\r\n\r\n" + doc;
}

Reply post(const Unit& u, const std::string& doc, const std::string& auth = "") {
    return exchange(u.port(), post_text(doc, auth));
}

bool well_formed(const std::string& doc) {
    xmlDocPtr d = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "unit.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (d == nullptr) return false;
    xmlFreeDoc(d);
    return true;
}

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

std::unique_ptr<Unit> started(UnitConfig cfg = {}) {
    auto u = std::make_unique<Unit>(std::move(cfg));
    EXPECT_TRUE(u->start(0));
    return u;
}

// ---------------------------------------------------------------- documents

TEST(UnitSimDocuments, FieldFormsFollowFamilyAndDialect) {
    struct Case {
        const char* model;
        const char* xml_ver;
        std::vector<const char*> present, absent;  // in values.xml
        bool counters;                             // <Counters> in setup.xml
    };
    const Case cases[] = {
        {"21", "2.34", {"<Alarm>", "<State>", "<Mode>"}, {"<AlarmState>", "<Color>"}, false},
        {"21", "2.36", {"<Alarm>", "<State>"}, {"<AlarmState>", "<Color>"}, false},
        {"3", "2.20", {"<AlarmState>", "<Color>"}, {"<Alarm>", "<State>", "<Mode>"}, false},
        {"21", "1.00", {"<AlarmState>", "<Color>"}, {"<Alarm>", "<State>"}, false},
        {"2", "2.0", {"<Alarm>", "<State>", "<ID>65</ID>"}, {"<AlarmState>", "<Color>"}, true},
        {"2", "2.20", {"<Alarm>", "<Color>"}, {"<AlarmState>", "<State>"}, true},
        {"33", "2.35", {"<State>", "<ID>215</ID>"}, {"<Color>", "<AlarmState>"}, false},
        {"99", "2.34", {"<AlarmState>", "<Color>"}, {"<State>", "<Alarm>"}, false},
    };
    for (const Case& c : cases) {
        for (bool ns : {false, true}) {
            SCOPED_TRACE(std::string(c.model) + " " + c.xml_ver + (ns ? " namespaced" : ""));
            UnitConfig cfg;
            cfg.model = c.model;
            cfg.xml_ver = c.xml_ver;
            cfg.namespaced_root = ns;
            Unit u(cfg);
            std::string values = u.values_xml(), setup = u.setup_xml();
            EXPECT_TRUE(well_formed(values));
            EXPECT_TRUE(well_formed(setup));
            EXPECT_EQ(values.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u);
            EXPECT_TRUE(has(values, ns ? "<val:Root xmlns:val=" : "\n<Root>\n"));
            EXPECT_TRUE(has(setup, ns ? "<set:Root xmlns:set=" : "\n<Root>\n"));
            for (const char* p : c.present) EXPECT_TRUE(has(values, p)) << p;
            for (const char* a : c.absent) EXPECT_FALSE(has(values, a)) << a;
            EXPECT_EQ(has(setup, "<Counters>"), c.counters);
        }
    }
}

TEST(UnitSimDocuments, HostileSizesAndMarkupInNamesStayWellFormed) {
    UnitConfig cfg;
    cfg.inputs = 70;
    cfg.outputs = 65;
    cfg.sensors = 43;
    cfg.sensor_names = {"A&B <x>"};
    cfg.traps.assign(6, TrapDest{"public", "192.0.2.9", 162, true});
    Unit u(cfg);
    std::string values = u.values_xml(), setup = u.setup_xml();
    EXPECT_TRUE(well_formed(values));
    EXPECT_TRUE(well_formed(setup));
    EXPECT_TRUE(has(values, "<Name>A&amp;B &lt;x&gt;</Name>"));
    EXPECT_EQ(u.count("BinaryInSet"), 70);
    EXPECT_EQ(u.count("SenSet"), 43);
    EXPECT_EQ(u.count("SnmpTraps"), 6);
    EXPECT_EQ(u.sensor_name(0), "A&B <x>");
    EXPECT_EQ(u.sensor_name(1), "Luftfeuchte 2");
}

TEST(UnitSimDocuments, ReadingsDependOnlyOnSeedAndClock) {
    UnitConfig a;
    a.seed = 7;
    Unit u1(a), u2(a);
    a.seed = 8;
    Unit other(a);
    std::string before = u1.values_xml();
    u1.advance(900);
    u2.advance(900);
    other.advance(900);
    EXPECT_EQ(u1.values_xml(), u2.values_xml());
    EXPECT_NE(u1.values_xml(), before);
    EXPECT_NE(u1.values_xml(), other.values_xml());
    EXPECT_EQ(u1.now(), a.start_time + 900);
}

// ---------------------------------------------------------------- posted setup

TEST(UnitSimSetup, EntryAddressedByIdChangesOutputAndAnswersWholeSetup) {
    auto u = started();
    Reply r = post(*u, "<Root><BinaryOutSet><Entry><ID>152</ID><Value>1</Value></Entry></BinaryOutSet></Root>");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(u->output_value(0), 0);
    EXPECT_EQ(u->output_value(1), 1);
    EXPECT_TRUE(well_formed(r.body));
    EXPECT_TRUE(has(r.body, "<SnmpTraps>"));
    EXPECT_EQ(r.body, u->setup_xml());
    // The switch is logged as an output record.
    auto log = u->log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().group, 4);
    EXPECT_EQ(log.back().pairs, (std::vector<std::pair<uint16_t, int16_t>>{{2, 1}}));
}

TEST(UnitSimSetup, EntryAddressedByIdxWhenItHasNoId) {
    auto u = started();
    // The shape of a reduced document: declaration, Idx first in its entry.
    Reply r = post(*u,
                   "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<SenSet>\n<Entry>\n<Idx>2</Idx>\n"
                   "<Name>Rack S\xC3\xBC" "d</Name>\n<Min>-5.0</Min>\n<Hyst>0.5</Hyst>\n</Entry>\n</SenSet>\n</Root>");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(u->sensor_name(1), "Rack S\xC3\xBC" "d");
    EXPECT_DOUBLE_EQ(u->sensor_min(1), -5.0);
    EXPECT_EQ(u->field("SenSet_Entry_Hyst", 1), "0.5");
    EXPECT_EQ(u->sensor_name(0), "Temp\xC3\xA9rature");
}

TEST(UnitSimSetup, PostedTextsAreDecodedStoredAndServedEscaped) {
    auto u = started();
    Reply r = post(*u,
                   "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<SenSet>\n<Entry>\n<Idx>1</Idx>\n"
                   "<Name>A &amp; B &lt;x&gt;</Name>\n</Entry>\n<Entry>\n<Idx>2</Idx>\n"
                   "<Name>&#65;&#x42;<![CDATA[<&>]]></Name>\n</Entry>\n</SenSet>\n</Root>");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(u->sensor_name(0), "A & B <x>");
    EXPECT_EQ(u->sensor_name(1), "AB<&>");
    EXPECT_TRUE(well_formed(r.body));
    EXPECT_TRUE(has(r.body, "<Name>A &amp; B &lt;x&gt;</Name>"));
    EXPECT_TRUE(has(u->values_xml(), "<Name>AB&lt;&amp;&gt;</Name>"));
}

TEST(UnitSimSetup, IdWinsOverIdxAndUnknownIdsChangeNothing) {
    auto u = started();
    std::string before = u->setup_xml();
    EXPECT_EQ(u->apply_setup("<Root><SenSet><Entry><Idx>1</Idx><ID>216</ID><Name>Zwei</Name></Entry>"
                             "<Entry><ID>999</ID><Name>Nobody</Name></Entry></SenSet></Root>"),
              200);
    EXPECT_EQ(u->sensor_name(1), "Zwei");
    EXPECT_EQ(u->sensor_name(0), "Temp\xC3\xA9rature");
    EXPECT_EQ(u->sensor_name(2), "Temperatur Rack 3");
    // Old-version form of a name change: Idx then ID, for an input.
    EXPECT_EQ(u->apply_setup("<Root><BinaryInSet><Entry><Idx>3</Idx><ID>3</ID><Name>Door</Name></Entry>"
                             "</BinaryInSet></Root>"),
              200);
    EXPECT_EQ(u->field("BinaryInSet_Entry_Name", 2), "Door");
}

TEST(UnitSimSetup, SingleSensorFormAddressesSensorOne) {
    auto u = started();
    double v = u->sensor_value(0);
    EXPECT_EQ(u->apply_setup("<Root><TempRangeSet><Entry><Idx>1</Idx><ID>65</ID><Min>-10.0</Min><Max>35.5</Max>"
                             "</Entry></TempRangeSet></Root>"),
              200);
    EXPECT_EQ(u->apply_setup("<Root><TempRangeSet><Entry><Idx>1</Idx><ID>65</ID><Calib>1.5</Calib>"
                             "</Entry></TempRangeSet></Root>"),
              200);
    EXPECT_DOUBLE_EQ(u->sensor_min(0), -10.0);
    EXPECT_DOUBLE_EQ(u->sensor_max(0), 35.5);
    EXPECT_EQ(u->field("TempRangeSet_Entry_Max", 0), "35.5");
    EXPECT_NEAR(u->sensor_value(0), v + 1.5, 0.051);
}

TEST(UnitSimSetup, TrapDestinationDocumentSetsEntryOne) {
    const std::string doc =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<SnmpTraps>\n<Entry>\n<Idx>1</Idx>\n"
        "<Community>orchid</Community>\n<IPaddr>192.0.2.5</IPaddr>\n<Port>162</Port>\n<E>1</E>\n"
        "</Entry>\n</SnmpTraps>\n</Root>";
    auto u = started();
    EXPECT_EQ(post(*u, doc).status, 200);
    ASSERT_EQ(u->traps().size(), 2u);
    EXPECT_EQ(u->traps()[0], (TrapDest{"orchid", "192.0.2.5", 162, true}));
    EXPECT_EQ(u->traps()[1].ip, "0.0.0.0");

    // A unit without trap destinations gets its first one.
    UnitConfig cfg;
    cfg.traps.clear();
    auto bare = started(cfg);
    EXPECT_EQ(bare->count("SnmpTraps"), 0);
    Reply r = post(*bare, doc);
    EXPECT_EQ(r.status, 200);
    ASSERT_EQ(bare->traps().size(), 1u);
    EXPECT_EQ(bare->traps()[0], (TrapDest{"orchid", "192.0.2.5", 162, true}));
    EXPECT_TRUE(has(r.body, "<IPaddr>192.0.2.5</IPaddr>"));
}

TEST(UnitSimSetup, PrefixedRootWithAttributesIsAccepted) {
    auto u = started();
    EXPECT_EQ(post(*u, "<set:Root xmlns:set=\"urn:x\"><BinaryOutSet kind='a'><Entry><ID>151</ID>"
                       "<Value>1</Value></Entry></BinaryOutSet></set:Root>")
                  .status,
              200);
    EXPECT_EQ(u->output_value(0), 1);
}

TEST(UnitSimSetup, MalformedDocumentIs400AndChangesNothing) {
    auto u = started();
    const char* bad[] = {
        "<Root><BinaryOutSet><Entry><ID>151</ID><Value>1</Value></Entry></Root>",
        "<Root><BinaryOutSet><Entry><ID>151</ID><Value>1&</Value></Entry></BinaryOutSet></Root>",
        "",
        "<Other><BinaryOutSet><Entry><ID>151</ID><Value>1</Value></Entry></BinaryOutSet></Other>",
        "<Root></Root><Root></Root>",
    };
    for (const char* doc : bad) {
        SCOPED_TRACE(doc);
        EXPECT_EQ(post(*u, doc).status, 400);
        EXPECT_EQ(u->output_value(0), 0);
    }
}

TEST(UnitSimSetup, WholeSetupPostedBackKeepsItsEditsAndIgnoresIdentity) {
    auto u = started();
    std::string doc = get(*u, "/setup.xml").body;
    auto replace = [&](const std::string& from, const std::string& to) {
        size_t at = doc.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        doc.replace(at, from.size(), to);
    };
    replace("<Min>10.0</Min>", "<Min>12.5</Min>");  // sensor 1's range; TempRangeSet still says 10.0
    replace("<DeviceName>Serverraum S\xC3\xBC" "d</DeviceName>", "<DeviceName>Other</DeviceName>");
    replace("<Community>public</Community>", "<Community>tulip</Community>");
    EXPECT_EQ(post(*u, doc).status, 200);
    EXPECT_DOUBLE_EQ(u->sensor_min(0), 12.5);
    EXPECT_EQ(u->field("Agent_DeviceName"), "Serverraum S\xC3\xBC" "d");
    EXPECT_EQ(u->traps()[0].community, "tulip");
}

// ---------------------------------------------------------------- data log

class UnitSimLog : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        UnitConfig cfg;
        cfg.auto_log = false;
        unit = started(cfg);
    }
    static LogRecord rec(int32_t t, uint8_t group = 0) { return LogRecord{0, t, group, {{1, 215}}}; }
    std::unique_ptr<Unit> unit;
};

TEST_F(UnitSimLog, ExampleRecordInBothForms) {
    LogRecord r{1, 1205589909, 3, {{3, -125}, {7, 1}}};
    ASSERT_TRUE(unit->append_log(r));
    const unsigned char bin[] = {0x10, 0x01, 0x95, 0xd7, 0xdb, 0x47, 0x03, 0x02,
                                 0x03, 0x00, 0x83, 0xff, 0x07, 0x00, 0x01, 0x00};
    EXPECT_EQ(get(*unit, "/spilog.bin").body, std::string(reinterpret_cast<const char*>(bin), sizeof bin));
    EXPECT_EQ(get(*unit, "/spilog.txt").body, "2008/03/15;14:05:09;1;3;2;3;-125;7;1;\r\n");
    EXPECT_FALSE(unit->append_log(LogRecord{0, 1, 0, std::vector<std::pair<uint16_t, int16_t>>(62, {1, 1})}));
}

TEST_F(UnitSimLog, DelRemovesOnlyWhatTheLastDownloadServed) {
    for (int i = 0; i < 3; ++i) unit->append_log(rec(1000 + i));
    EXPECT_EQ(get(*unit, "/spilog.bin").body.size(), 3u * 12);
    EXPECT_EQ(unit->log_served(), 3u);
    unit->append_log(rec(2000));  // arrives after the download
    EXPECT_EQ(get(*unit, "/spilog.del").status, 200);
    ASSERT_EQ(unit->log().size(), 1u);
    EXPECT_EQ(unit->log()[0].time, 2000);
    // Nothing served since: a second del removes nothing.
    get(*unit, "/spilog.del");
    EXPECT_EQ(unit->log().size(), 1u);
    // The CSV download counts the same way.
    unit->append_log(rec(2001));
    EXPECT_EQ(get(*unit, "/spilog.txt").body, "1970/01/01;00:33:20;0;0;1;1;215;\r\n1970/01/01;00:33:21;0;0;1;1;215;\r\n");
    unit->append_log(rec(2002));
    get(*unit, "/spilog.del");
    ASSERT_EQ(unit->log().size(), 1u);
    EXPECT_EQ(unit->log()[0].time, 2002);
    get(*unit, "/spilog.delall");
    EXPECT_TRUE(unit->log().empty());
    EXPECT_EQ(get(*unit, "/spilog.bin").body, "");
}

TEST_F(UnitSimLog, RawContentIsServedVerbatimUntilDeleted) {
    unit->append_log(rec(5));
    unit->set_log_raw_bin(std::string("\x00\x01\x02", 3));
    unit->set_log_raw_txt("not;a;log\r\n");
    EXPECT_EQ(get(*unit, "/spilog.bin").body, std::string("\x00\x01\x02", 3));
    EXPECT_EQ(get(*unit, "/spilog.txt").body, "not;a;log\r\n");
    get(*unit, "/spilog.del");  // removes the raw text just served, not the record
    EXPECT_EQ(get(*unit, "/spilog.txt").body, "1970/01/01;00:00:05;0;0;1;1;215;\r\n");
    EXPECT_EQ(get(*unit, "/spilog.bin").body, std::string("\x00\x01\x02", 3));
    EXPECT_EQ(unit->log().size(), 1u);
}

TEST(UnitSimLogGrowth, OneRoundPerPeriodInWellFormedRecords) {
    UnitConfig cfg;
    cfg.sensors = 30;
    cfg.inputs = 64;
    cfg.log_period_s = 60;
    cfg.start_time = 1205589900;  // on a period boundary
    Unit u(cfg);
    EXPECT_TRUE(u.log().empty());
    u.advance(600);
    std::vector<LogRecord> log = u.log();
    size_t sensor_records = 0;
    for (const LogRecord& r : log) {
        EXPECT_LE(r.group, 3);
        EXPECT_LE(r.pairs.size(), kalax::sim::kMaxLogPairs);
        if (r.group <= 2) ++sensor_records;
    }
    EXPECT_EQ(sensor_records, 10u * 3);  // 30 sensors: 14 + 14 + 2 per round
    // Every binary record's length byte agrees with its pair count.
    std::string bin = kalax::sim::encode_log_bin(log);
    size_t off = 0, n = 0;
    while (off < bin.size()) {
        ASSERT_GE(bin.size() - off, 8u);
        EXPECT_EQ(static_cast<uint8_t>(bin[off]), 8 + 4 * static_cast<uint8_t>(bin[off + 7]));
        off += static_cast<uint8_t>(bin[off]);
        ++n;
    }
    EXPECT_EQ(n, log.size());
}

TEST(UnitSimLogGrowth, ADayHoldsAlarmsOfSensorsAndInputs) {
    Unit u;
    u.advance(86400);
    bool sensor_alarm = false, sensor_normal = false, input_alarm = false;
    for (const LogRecord& r : u.log()) {
        sensor_alarm |= r.group == 0 && r.type == 1;
        sensor_normal |= r.group == 0 && r.type == 0;
        input_alarm |= r.group == 3 && r.type == 1;
    }
    EXPECT_TRUE(sensor_alarm);
    EXPECT_TRUE(sensor_normal);
    EXPECT_TRUE(input_alarm);
}

// ---------------------------------------------------------------- credentials

TEST(UnitSimAuth, SetupAndLogNeedCredentialsValuesNever) {
    UnitConfig cfg;
    cfg.user = "admin";
    cfg.password = "secret";
    auto u = started(cfg);
    const std::string good = "YWRtaW46c2VjcmV0";  // admin:secret
    const std::string wrong = "YWRtaW46d3Jvbmc=";  // admin:wrong
    EXPECT_EQ(get(*u, "/values.xml").status, 200);
    for (const char* path : {"/setup.xml", "/spilog.txt", "/spilog.bin", "/spilog.del", "/spilog.delall"}) {
        SCOPED_TRACE(path);
        Reply r = get(*u, path);
        EXPECT_EQ(r.status, 401);
        EXPECT_TRUE(has(r.raw, "WWW-Authenticate: Basic"));
        EXPECT_EQ(get(*u, path, wrong).status, 401);
        EXPECT_EQ(get(*u, path, good).status, 200);
    }
    const std::string doc = "<Root><BinaryOutSet><Entry><ID>151</ID><Value>1</Value></Entry></BinaryOutSet></Root>";
    EXPECT_EQ(post(*u, doc).status, 401);
    EXPECT_EQ(u->output_value(0), 0);
    EXPECT_EQ(post(*u, doc, good).status, 200);
    EXPECT_EQ(u->output_value(0), 1);
}

// ---------------------------------------------------------------- faults

TEST(UnitSimFaults, DripDeliversTheSameResponseInPieces) {
    auto u = started();
    std::string whole = get(*u, "/values.xml").raw;
    Fault f;
    f.drip_bytes = 97;
    f.drip_delay_ms = 1;
    u->set_fault("/values.xml", f);
    EXPECT_EQ(get(*u, "/values.xml").raw, whole);
}

TEST(UnitSimFaults, CloseBeforeHeaderEndsWithoutBlankLine) {
    auto u = started();
    Fault f;
    f.close_before_header = true;
    u->set_fault("/setup.xml", f);
    Socket s(u->port());
    s.send("GET /setup.xml HTTP/1.0\r\n\r\n");
    bool closed = false;
    std::string got = s.read_all(15000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_FALSE(has(got, "\r\n\r\n"));
}

TEST(UnitSimFaults, ReplacedAnswersAndOneShotFaults) {
    auto u = started();
    Fault raw;
    raw.raw_response = "HTTP/1.0 302 Found\r\n\r\n<x/>";
    u->set_fault("/values.xml", raw);
    EXPECT_EQ(get(*u, "/values.xml").raw, "HTTP/1.0 302 Found\r\n\r\n<x/>");

    Fault big;
    big.oversize = 20000;
    u->set_fault("/values.xml", big);
    Reply r = get(*u, "/values.xml");
    EXPECT_EQ(r.body.size(), 20000u);
    EXPECT_TRUE(well_formed(r.body));  // the document, padded after its end

    // A failing POST applies nothing; the fault is used up after one request.
    Fault once;
    once.status = 500;
    once.remaining = 1;
    u->set_fault("*", once);
    const std::string doc = "<Root><BinaryOutSet><Entry><ID>151</ID><Value>1</Value></Entry></BinaryOutSet></Root>";
    EXPECT_EQ(post(*u, doc).status, 500);
    EXPECT_EQ(u->output_value(0), 0);
    EXPECT_EQ(post(*u, doc).status, 200);
    EXPECT_EQ(u->output_value(0), 1);
}

TEST(UnitSimFaults, StopEndsSilentConnectionsAtOnce) {
    auto u = started();
    Fault never;
    never.never_answer = true;
    u->set_fault("/values.xml", never);
    Fault slow;
    slow.silence_ms = 600000;
    u->set_fault("/setup.xml", slow);
    Socket a(u->port()), b(u->port());
    a.send("GET /values.xml HTTP/1.0\r\n\r\n");
    b.send("GET /setup.xml HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(u->wait_for_requests(2, 10000));
    u->stop();  // would take ten minutes if a wait were not interruptible
    bool closed_a = false, closed_b = false;
    EXPECT_EQ(a.read_all(15000, &closed_a), "");
    EXPECT_EQ(b.read_all(15000, &closed_b), "");
    EXPECT_TRUE(closed_a);
    EXPECT_TRUE(closed_b);
    EXPECT_FALSE(u->running());
}

TEST(UnitSimFaults, RefusedPortRefuses) {
    int port = kalax::sim::refused_port();
    ASSERT_GT(port, 0);
    EXPECT_EQ(kalax::sim::refused_port(), port);
    Socket s(port);
    EXPECT_FALSE(s.connected());
    EXPECT_EQ(s.error(), ECONNREFUSED);
}

TEST(UnitSimHttp, UnknownPathsAndMethods) {
    auto u = started();
    EXPECT_EQ(get(*u, "/index.html").status, 404);
    EXPECT_EQ(exchange(u->port(), "POST /values.xml HTTP/1.0\r\nContent-Length: 0\r\n\r\n").status, 405);
    EXPECT_EQ(exchange(u->port(), "garbage\r\n\r\n").status, 400);
}

// ---------------------------------------------------------------- recording

TEST(UnitSimRecording, KeepsTheExactBytesOfEveryRequest) {
    auto u = started();
    const std::string req1 = post_text("<Root>\n<SenSet><Entry><ID>215</ID><Name>x</Name></Entry></SenSet>\n</Root>",
                                       "YTpi");
    const std::string req2 = "GET /spilog.bin HTTP/1.0\r\n\r\n";
    exchange(u->port(), req1);
    exchange(u->port(), req2);
    {
        Socket s(u->port());  // a client that gives up halfway through its head
        s.send("GET /values.x");
    }
    ASSERT_TRUE(u->wait_for_requests(3, 10000));
    EXPECT_EQ(u->requests(), (std::vector<std::string>{req1, req2, "GET /values.x"}));
    u->clear_requests();
    EXPECT_EQ(u->request_count(), 0u);
}

TEST(UnitSimRecording, SeveralUnitsServeSideBySide) {
    UnitConfig a, b;
    b.model = "2";
    b.xml_ver = "2.0";
    auto u1 = started(a);
    auto u2 = started(b);
    ASSERT_NE(u1->port(), u2->port());
    std::thread t([&] { EXPECT_TRUE(has(get(*u2, "/values.xml").body, "<Model>2</Model>")); });
    EXPECT_TRUE(has(get(*u1, "/values.xml").body, "<Model>21</Model>"));
    t.join();
    EXPECT_EQ(u1->request_count(), 1u);
    EXPECT_EQ(u2->request_count(), 1u);
}

}  // namespace
