#include "sdk/xmldoc/reduce.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "doc_util.h"
#include "sdk/runtime/result_codes.h"
#include "sdk/xmldoc/parser.h"
#include "sdk/xmldoc/writer.h"

namespace {

using namespace doc_test;
using kalax::xmldoc::prepare_setup;

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

struct Reduced {
    int code;
    std::string text;       // the buffer up to its first zero byte
    std::vector<char> all;  // the whole buffer
};

// Reduces `doc` in a buffer of doc.size() + `spare` zero-padded bytes.
Reduced Reduce(const std::string &doc, size_t spare = 1024) {
    std::vector<char> buf(doc.size() + spare, '\0');
    std::memcpy(buf.data(), doc.data(), doc.size());
    const int code = prepare_setup(buf.data(), buf.size());
    return {code, std::string(buf.data(), strnlen(buf.data(), buf.size())), buf};
}

template <size_t W>
void Put(char (&field)[W], const char *text) {
    std::memset(field, 0, W);
    std::strncpy(field, text, W - 1);
}

std::string Write(const SetupRecords &s) {
    std::vector<char> buf(200000);
    EXPECT_EQ(0, kalax::xmldoc::write_setup(*s.rec, *s.cnt, buf.data(), buf.size()));
    return buf.data();
}

const char kReducedEmpty[] = R"(<?xml version="1.0" encoding="utf-8"?>
<Root>
<Status>
<NtpState></NtpState>
</Status>
<TemperRange>
<Min></Min>
<Max></Max>
</TemperRange>
<BinaryInSet>
<AlarmAction></AlarmAction>
</BinaryInSet>
<BinaryOutSet>
</BinaryOutSet>
<SenSet>
</SenSet>
<TempRangeSet>
</TempRangeSet>
<AlarmSet>
<Subj></Subj>
<Body></Body>
</AlarmSet>
<GroupSet>
</GroupSet>
<SnmpTraps>
</SnmpTraps>
<MailDest>
</MailDest>
<Counters>
<E></E>
<Int></Int>
</Counters>
<BinSetG>
<AlarmDest></AlarmDest>
</BinSetG>
<Global>
<Units></Units>
<Logo></Logo>
<ZXSec></ZXSec>
<AlarmDelay></AlarmDelay>
</Global>
<Network>
<Name></Name>
<TelnetPort></TelnetPort>
<SNMPPort></SNMPPort>
<DNSPrimary></DNSPrimary>
<DNSSecondary></DNSSecondary>
</Network>
<Email>
<Server></Server>
<Port></Port>
<From></From>
<To></To>
<Subject></Subject>
<Auth></Auth>
<Name></Name>
<Pswd></Pswd>
<State></State>
<Message></Message>
</Email>
<Time>
<SNTPServer></SNTPServer>
<Port></Port>
<Period></Period>
</Time>
<SMS>
<E></E>
<Module></Module>
<CenterNmr></CenterNmr>
<Recp1></Recp1>
<Recp2></Recp2>
<RingOut></RingOut>
<State></State>
<Message></Message>
</SMS>
<DataLogger>
<StorePeriod></StorePeriod>
<LogCapacity></LogCapacity>
<LogBins></LogBins>
<Report>
<E></E>
<To></To>
<Period></Period>
<Erase></Erase>
</Report>
</DataLogger>
<HTTPIPFilter>
<IPAddr></IPAddr>
<Mask></Mask>
</HTTPIPFilter>
<SNMPIPFilter>
<IPAddr></IPAddr>
<Mask></Mask>
</SNMPIPFilter>
<SnmpAccess>
</SnmpAccess>
<MIBIISysGroup>
<SysContact></SysContact>
<SysLocation></SysLocation>
</MIBIISysGroup>
<User>
</User>
<Info></Info>
</Root>)";

// The part of `doc` from "<name>" through "</name>".
std::string Section(const std::string &doc, const std::string &name) {
    const size_t from = doc.find("<" + name + ">");
    const size_t to = doc.find("</" + name + ">", from);
    if (from == std::string::npos || to == std::string::npos) return "<missing " + name + ">";
    return doc.substr(from, to + name.size() + 3 - from);
}

TEST(ReduceWritten, EmptyRecordLosesTheExcludedElementsAndBlankLines) {
    SetupRecords s;
    const std::string doc = Write(s);
    // Exactly the written length: the reduced document is shorter.
    const Reduced r = Reduce(doc, 0);
    ASSERT_EQ(0, r.code);
    EXPECT_EQ(kReducedEmpty, r.text);
    // Every byte after the reduced document is cleared.
    EXPECT_TRUE(std::all_of(r.all.begin() + static_cast<long>(r.text.size()), r.all.end(),
                            [](char c) { return c == '\0'; }));
}

TEST(ReduceWritten, IdxMovesToTheFrontOfEachEntry) {
    SetupRecords s;
    s.cnt->BinaryInSet = 1;
    Put(s.rec->BinaryInSet_Entry_Name[0], "Door");
    Put(s.rec->BinaryInSet_Entry_Value[0], "1");
    Put(s.rec->BinaryInSet_Entry_State[0], "0");
    Put(s.rec->BinaryInSet_Entry_Idx[0], "5");
    s.cnt->BinaryOutSet = 1;
    Put(s.rec->BinaryOutSet_Entry_ID[0], "7");
    Put(s.rec->BinaryOutSet_Entry_Type[0], "1");
    Put(s.rec->BinaryOutSet_Entry_Idx[0], "3");
    s.cnt->SenSet = 1;
    Put(s.rec->SenSet_Entry_Units[0], "C");
    Put(s.rec->SenSet_Entry_Value[0], "21.5");
    Put(s.rec->SenSet_Entry_Idx[0], "6");
    s.cnt->User = 1;
    Put(s.rec->User_Entry_Name[0], "admin");
    Put(s.rec->User_Entry_Pswd[0], "pw");
    Put(s.rec->User_Entry_Idx[0], "1");
    const Reduced r = Reduce(Write(s), 0);
    ASSERT_EQ(0, r.code);
    EXPECT_EQ("<BinaryOutSet>\n<Entry>\n<Idx>3</Idx>\n<ID>7</ID>\n<Name></Name>\n<NameOpen></NameOpen>"
              "\n<NameClose></NameClose>\n<Value></Value>\n<Mode></Mode>\n<CondInputID></CondInputID>"
              "\n<Trigger></Trigger>\n</Entry>\n</BinaryOutSet>",
              Section(r.text, "BinaryOutSet"));
    EXPECT_EQ("<BinaryInSet>\n<Entry>\n<Idx>5</Idx>\n<ID></ID>\n<Name>Door</Name>\n<NameOpen></NameOpen>"
              "\n<NameClose></NameClose>\n<Cnt></Cnt>\n<AlarmState></AlarmState>\n<Alarm></Alarm>"
              "\n<Color></Color>\n<Mask1></Mask1>\n<Mask2></Mask2>\n<Dest>\n<Snmp1></Snmp1>\n<Snmp2></Snmp2>"
              "\n<Snmp3></Snmp3>\n<Snmp4></Snmp4>\n<Mail1></Mail1>\n<Mail2></Mail2>\n<Delay></Delay>\n<E></E>"
              "\n</Dest>\n<SNMPTrap></SNMPTrap>\n<EmailSMS></EmailSMS>\n</Entry>"
              "\n<AlarmAction></AlarmAction>\n</BinaryInSet>",
              Section(r.text, "BinaryInSet"));
    EXPECT_EQ("<SenSet>\n<Entry>\n<Idx>6</Idx>\n<Name></Name>\n<ID></ID>\n<Min></Min>\n<Max></Max>"
              "\n<Hyst></Hyst>\n<E></E>\n<SNMPTrap></SNMPTrap>\n<EmailSMS></EmailSMS>\n<Color></Color>"
              "\n<Calib></Calib>\n<Dest>\n<Snmp1></Snmp1>\n<Snmp2></Snmp2>\n<Snmp3></Snmp3>\n<Snmp4></Snmp4>"
              "\n<Mail1></Mail1>\n<Mail2></Mail2>\n<Delay></Delay>\n<E></E>\n</Dest>\n</Entry>\n</SenSet>",
              Section(r.text, "SenSet"));
    // Users keep only their moved Idx.
    EXPECT_EQ("<User>\n<Entry>\n<Idx>1</Idx>\n</Entry>\n</User>", Section(r.text, "User"));
}

TEST(ReduceText, MarkupInAFieldIsWrittenEscapedAndReadBack) {
    SetupRecords s;
    Put(s.rec->Email_Subject, "A & B <x>");
    Put(s.rec->Email_Message, "later text");
    const Reduced r = Reduce(Write(s));
    ASSERT_EQ(0, r.code);
    EXPECT_EQ("<Subject>A &amp; B &lt;x&gt;</Subject>", Section(r.text, "Subject"));
    EXPECT_NE(std::string::npos, r.text.find("<Message>later text</Message>"));
    SetupRecords back;
    std::string reduced = r.text;
    ASSERT_EQ(0, kalax::xmldoc::parse_setup(reduced.data(), static_cast<int>(reduced.size()), back.rec.get(),
                                            back.cnt.get()));
    EXPECT_STREQ("A & B <x>", back.rec->Email_Subject);
}

TEST(ReduceText, EscapedTextsGoOutAsTheyCameIn) {
    const std::string doc =
        "<Root><SenSet><Entry><Idx>1&amp;2</Idx><Name>A &amp; B &lt;x&gt;</Name></Entry></SenSet></Root>";
    const Reduced r = Reduce(doc);
    ASSERT_EQ(0, r.code);
    EXPECT_EQ(kDecl + "<Root><SenSet><Entry>\n<Idx>1&amp;2</Idx><Name>A &amp; B &lt;x&gt;</Name></Entry>"
                      "</SenSet></Root>",
              r.text);
}

TEST(ReduceText, LongTextsAreNeverCut) {
    // A CDATA section reaches the reduction as one piece, here of 5000 bytes
    // with markup and characters of several bytes all through it.
    std::string raw, escaped;
    while (raw.size() < 5000) {
        raw += "ab & \xC3\xA9\xE2\x82\xAC <x> ";
        escaped += "ab &amp; \xC3\xA9\xE2\x82\xAC &lt;x&gt; ";
    }
    // Written escaped it is longer than it came: room for that.
    const Reduced r = Reduce("<Root><Email><Message><![CDATA[" + raw + "]]></Message></Email></Root>", 4096);
    ASSERT_EQ(0, r.code);
    EXPECT_EQ(kDecl + "<Root><Email><Message>" + escaped + "</Message></Email></Root>", r.text);
}

TEST(ReduceText, NotWellFormedBeforeTheRootEndsFailsAndLeavesTheBuffer) {
    const char *rows[] = {
        "<Root><SenSet><Entry><Name>A & B</Name></Entry></SenSet></Root>",  // raw "&"
        "<Root><SenSet><Entry><Name>A <x></Name></Entry></SenSet></Root>",  // raw "<"
        "<Root><Global><Units>C</Units></Global><Info>1",                   // cut
        "<Root><Global><Units>C</Units></Global>",                          // root never ends
        "<Root><Global><Units>C</Units></Root>",                            // missing end tag
        "<Root><Info>\xC3\x28</Info></Root>",                               // not UTF-8
        "<Root><Info>\xFF</Info></Root>",
        "<Root><Info>a\x01</Info></Root>",  // no XML character
        "",                                 // zero bytes only
        "<!-- only a comment -->",
        // Cut off as a dropped connection or a caller's truncated text leaves
        // a document, also inside an element the unit is never sent.
        "<Root><Global><Units>C</Units></Global><Agent><Version>1</Version>",
        "<Root><Email><Port>25</Port></Email><User><Entry><Name>adm",
        "<Root><Time><Port>123</Port><Date>2024-03-",
        "<Root><Global><Units>C</Units></Global></Ro",
        "<Root><SenSet><Entry><Idx>1</Idx><Name>a &am",
    };
    for (const char *doc : rows) {
        const Reduced r = Reduce(doc);
        EXPECT_EQ(kalax::kXML_NOT_VALID, r.code) << doc;
        EXPECT_EQ(doc, r.text) << doc;
    }
}

TEST(ReduceText, RefusedDocumentLeavesNoStateForTheNext) {
    EXPECT_EQ(kalax::kXML_NOT_VALID, Reduce("<Root><Agent><Version>1</Version>").code);
    const Reduced r = Reduce("<Root><Agent><Version>1</Version></Agent><Global><Units>C</Units></Global></Root>");
    EXPECT_EQ(0, r.code);
    EXPECT_EQ(kDecl + "<Root><Global><Units>C</Units></Global></Root>", r.text);
}

TEST(ReduceText, WhatFollowsTheRootIsNotLookedAt) {
    // The working copy's zero bytes, and anything else after the root's end tag.
    for (const char *tail : {"", "<Extra/>", "junk &", "</Root>"}) {
        const Reduced r = Reduce(std::string("<Root><Info>1</Info></Root>") + tail);
        EXPECT_EQ(0, r.code) << tail;
        EXPECT_EQ(kDecl + "<Root><Info>1</Info></Root>", r.text) << tail;
    }
}

TEST(ReduceText, PrefixedRootKeepsEverythingButAttributes) {
    const Reduced r = Reduce(
        "<?xml version=\"1.0\"?>\n<set:Root xmlns:set=\"urn:kalyx:setup\" ver=\"2\">\n"
        "<Agent a=\"1\"><Model>KX</Model></Agent>\n"
        "<BinaryOutSet><Entry><ID>7</ID><Type>1</Type><Idx>3</Idx></Entry></BinaryOutSet>\n</set:Root>");
    ASSERT_EQ(0, r.code);
    EXPECT_EQ(kDecl +
                  "<set:Root>\n<Agent><Model>KX</Model></Agent>\n<BinaryOutSet><Entry>\n<Idx>3</Idx><ID>7</ID>"
                  "<Type>1</Type></Entry></BinaryOutSet>\n</set:Root>",
              r.text);
}

TEST(ReduceText, TextsAndRunsOfLineFeeds) {
    // Entities arrive resolved and are written back escaped; spaces end a run of LF (CR LF arrives as LF); comments and processing
    // instructions go.
    const Reduced r = Reduce("<Root>\n\n\n<Email><!-- c --><Name>a&amp;b</Name>\n \n\r\n\n<?pi x?>"
                             "<Port>25</Port></Email>\n\n</Root>");
    ASSERT_EQ(0, r.code);
    EXPECT_EQ(kDecl + "<Root>\n<Email><Name>a&amp;b</Name>\n \n<Port>25</Port></Email>\n</Root>", r.text);
}

TEST(ReduceIdx, EmptyIdxInTheMiddleShiftsLaterValues) {
    const Reduced r = Reduce("<Root><SenSet><Entry><Idx></Idx><ID>a</ID></Entry><Entry><Idx>2</Idx><ID>b</ID>"
                             "</Entry><Entry><Idx>3</Idx><ID>c</ID></Entry></SenSet></Root>");
    ASSERT_EQ(0, r.code);
    EXPECT_EQ(kDecl +
                  "<Root><SenSet><Entry>\n<Idx>2</Idx><ID>a</ID></Entry><Entry>\n<Idx>3</Idx><ID>b</ID></Entry>"
                  "<Entry><ID>c</ID></Entry></SenSet></Root>",
              r.text);
}

TEST(ReduceIdx, EmptyIdxAtTheEndFailsAndLeavesTheBuffer) {
    const std::string doc = "<Root><SenSet><Entry><Idx>1</Idx></Entry><Entry><Idx></Idx></Entry></SenSet></Root>";
    const Reduced r = Reduce(doc);
    EXPECT_EQ(kalax::kNULL_POINTER, r.code);
    EXPECT_EQ(doc, r.text);
}

TEST(ReduceIdx, IdxTextInSeveralPiecesStaysOneValue) {
    const Reduced r = Reduce("<Root><A><Entry><Idx>1&amp;2</Idx></Entry><Entry><Idx>3</Idx></Entry></A></Root>");
    ASSERT_EQ(0, r.code);
    EXPECT_EQ(kDecl + "<Root><A><Entry>\n<Idx>1&amp;2</Idx></Entry><Entry>\n<Idx>3</Idx></Entry></A></Root>", r.text);
}

TEST(ReduceIdx, ValuesGoToTheFirstElementsWithTheRecordedPath) {
    // Pass 2 hands each value to the next element whose path is the recorded
    // one, whether or not that element held the <Idx>.
    const Reduced r = Reduce("<Root><Global/><Global><Idx>9</Idx><Units>C</Units></Global></Root>");
    ASSERT_EQ(0, r.code);
    EXPECT_EQ(kDecl + "<Root><Global>\n<Idx>9</Idx></Global><Global><Units>C</Units></Global></Root>", r.text);
}

TEST(ReduceLimits, FailuresLeaveTheBufferUnchanged) {
    const std::string doc = "<Root><Info>1</Info></Root>";
    // Declaration, document and terminator need exactly this many bytes.
    const size_t need = kDecl.size() + doc.size() + 1;
    EXPECT_EQ(0, Reduce(doc, need - doc.size()).code);
    const Reduced small = Reduce(doc, need - doc.size() - 1);
    EXPECT_EQ(kalax::kBUFFER_FULL, small.code);
    EXPECT_EQ(doc, small.text);

    std::vector<char> buf(doc.begin(), doc.end());
    EXPECT_EQ(kalax::kXML_NOT_VALID, prepare_setup(buf.data(), 0));
    EXPECT_EQ(kalax::kXML_NOT_VALID, prepare_setup(nullptr, 100));
    EXPECT_EQ(doc, std::string(buf.begin(), buf.end()));
}

TEST(ReduceLimits, IdxTextUpTo99Characters) {
    const std::string ok = "<Root><A><Entry><Idx>" + std::string(99, '7') + "</Idx></Entry></A></Root>";
    EXPECT_EQ(0, Reduce(ok).code);
    const std::string longer = "<Root><A><Entry><Idx>" + std::string(100, '7') + "</Idx></Entry></A></Root>";
    const Reduced r = Reduce(longer);
    EXPECT_EQ(kalax::kBUFFER_FULL, r.code);
    EXPECT_EQ(longer, r.text);
}

TEST(ReduceLimits, AtMost999IdxValues) {
    auto doc = [](int n) {
        std::string d = "<Root><A>";
        for (int i = 0; i < n; ++i) d += "<Entry><Idx>" + std::to_string(i) + "</Idx></Entry>";
        return d + "</A></Root>";
    };
    const Reduced ok = Reduce(doc(999), 4096);  // each moved Idx brings an LF
    ASSERT_EQ(0, ok.code);
    EXPECT_NE(std::string::npos, ok.text.find("<Entry>\n<Idx>998</Idx></Entry></A>"));
    EXPECT_EQ(kalax::kBUFFER_FULL, Reduce(doc(1000), 4096).code);
}

TEST(ReduceLimits, KeyPathDeeperThanItsBufferFails) {
    const std::string name(990, 'q');
    std::string doc = "<Root>";
    for (int i = 0; i < 12; ++i) doc += "<" + name + ">";
    for (int i = 0; i < 12; ++i) doc += "</" + name + ">";
    doc += "</Root>";
    const Reduced r = Reduce(doc);
    EXPECT_EQ(kalax::kBUFFER_FULL, r.code);
    EXPECT_EQ(doc, r.text);
}

// Parses `doc` into a fresh record pair.
void Parse(std::string doc, SetupRecords &s) {
    ASSERT_EQ(0, kalax::xmldoc::parse_setup(doc.data(), static_cast<int>(doc.size()), s.rec.get(), s.cnt.get()));
}

TEST(ReduceRoundTrip, WriteReduceParseKeepsEverythingNotExcluded) {
    SetupRecords original;
    Parse(ReadData("setup_full.xml"), original);
    const std::string written = Write(original);
    const Reduced r = Reduce(written, 0);
    ASSERT_EQ(0, r.code);
    SetupRecords back;
    Parse(r.text, back);
    EXPECT_EQ(0, std::memcmp(original.cnt.get(), back.cnt.get(), sizeof *back.cnt));

    const std::vector<std::string> excluded = {
        "Root_Agent",           "Root_BinaryInSet_Entry_Value", "Root_BinaryInSet_Entry_State",
        "Root_BinaryOutSet_Entry_Type", "Root_SenSet_Entry_Value",   "Root_SenSet_Entry_Units",
        "Root_SenSet_Entry_State",      "Root_Network_IPAddr",       "Root_Network_Submask",
        "Root_Network_Gateway",         "Root_Network_HTTPport",     "Root_Network_DHCP",
        "Root_Time_TimeShift",          "Root_Time_Date",            "Root_Time_Time",
        "Root_MIBIISysGroup_SysName",   "Root_User_Entry_Name",      "Root_User_Entry_Pswd"};
    auto is_excluded = [&](std::string_view key) {
        for (const auto &e : excluded)
            if (key == e || (key.starts_with(e) && key[e.size()] == '_')) return true;
        return false;
    };
    const auto fields = kalax::xmldoc::setup_fields();
    int compared = 0;
    for (const auto &f : fields)
        for (int slot = 0; slot < f.capacity; ++slot) {
            const auto before = Field(original.rec.get(), fields, f.key, slot);
            const auto after = Field(back.rec.get(), fields, f.key, slot);
            if (is_excluded(f.key)) {
                EXPECT_EQ("", after) << f.key << "[" << slot << "]";
            } else {
                EXPECT_EQ(before, after) << f.key << "[" << slot << "]";
                compared += !before.empty();
            }
        }
    EXPECT_GT(compared, 3000);
}

TEST(ReduceRoundTrip, UnitDocumentWithPrefixedRootLosesNothing) {
    const std::string unit = ReadData("setup_unit.xml");
    SetupRecords original;
    Parse(unit, original);
    const Reduced r = Reduce(unit);
    ASSERT_EQ(0, r.code);
    EXPECT_EQ(0u, r.text.find(kDecl + "<set:Root>\n"));
    EXPECT_EQ(std::string::npos, r.text.find('\r'));
    SetupRecords back;
    Parse(r.text, back);
    EXPECT_EQ(0, std::memcmp(original.rec.get(), back.rec.get(), sizeof *back.rec));
    EXPECT_EQ(0, std::memcmp(original.cnt.get(), back.cnt.get(), sizeof *back.cnt));
}

TEST(ReduceConcurrency, ReductionsOnSeveralThreadsDoNotMix) {
    const std::string a = ReadData("setup_full.xml");
    const std::string b = ReadData("setup_unit.xml");
    const std::string ra = Reduce(a).text;
    const std::string rb = Reduce(b).text;
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const Reduced r = Reduce(t % 2 ? a : b);
                mismatches[t] += r.code != 0 || r.text != (t % 2 ? ra : rb);
            }
        });
    for (auto &t : threads) t.join();
    for (int m : mismatches) EXPECT_EQ(0, m);
}

}  // namespace
