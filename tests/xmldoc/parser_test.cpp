#include "sdk/xmldoc/parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "doc_util.h"
#include "sdk/runtime/result_codes.h"
#include "sdk/xmldoc/records.h"

namespace {

using namespace doc_test;
using kalax::xmldoc::parse_setup;
using kalax::xmldoc::parse_values;
using kalax::xmldoc::setup_fields;
using kalax::xmldoc::setup_lists;
using kalax::xmldoc::values_fields;
using kalax::xmldoc::values_lists;

int ParseValues(std::string doc, ValuesRecords &v) {
    return parse_values(doc.data(), static_cast<int>(doc.size()), v.rec.get(), v.cnt.get());
}
int ParseSetup(std::string doc, SetupRecords &s) {
    return parse_setup(doc.data(), static_cast<int>(doc.size()), s.rec.get(), s.cnt.get());
}
std::string ValuesDoc(const std::string &body) { return "<?xml version=\"1.0\"?>\n<Root>" + body + "</Root>"; }

std::vector<int> Capacities(std::span<const ListDesc> lists) {
    std::vector<int> c;
    for (const auto &l : lists) c.push_back(l.capacity);
    return c;
}

// Every field of both records, every slot of every list, filled to its limit of
// width - 2 characters with a text of its own, checked member by member through
// the struct's own names (so the tables' offsets are checked against the
// compiler's).
TEST(ParseAllFields, EverySetupFieldLandsInItsMember) {
    const auto fields = setup_fields();
    auto text = [&](size_t k, int slot) { return Distinct(k, slot, static_cast<size_t>(fields[k].width) - 2); };
    SetupRecords d;
    ASSERT_EQ(0, ParseSetup(BuildDocument(fields, setup_lists(), Capacities(setup_lists()), text), d));
    size_t k = 0;
#define CHECK_FIELD(name, width)                          \
    EXPECT_EQ(text(k, 0), std::string(d.rec->name)) << #name; \
    ++k;
#define CHECK_LIST_FIELD(list, capacity, name, width)                                       \
    for (int slot = 0; slot < (capacity); ++slot)                                           \
        EXPECT_EQ(text(k, slot), std::string(d.rec->name[slot])) << #name << "[" << slot << "]"; \
    ++k;
    ZXXML_SETUP_FIELDS(CHECK_FIELD, CHECK_LIST_FIELD)
    EXPECT_EQ(k, fields.size());
#define CHECK_COUNT(list, capacity) EXPECT_EQ((capacity), d.cnt->list) << #list;
    ZXXML_SETUP_LISTS(CHECK_COUNT)
    EXPECT_EQ(0, d.rec->time);
}

TEST(ParseAllFields, EveryValuesFieldLandsInItsMember) {
    const auto fields = values_fields();
    auto text = [&](size_t k, int slot) { return Distinct(k, slot, static_cast<size_t>(fields[k].width) - 2); };
    ValuesRecords d;
    ASSERT_EQ(0, ParseValues(BuildDocument(fields, values_lists(), Capacities(values_lists()), text), d));
    size_t k = 0;
    ZXXML_VALUES_FIELDS(CHECK_FIELD, CHECK_LIST_FIELD)
    EXPECT_EQ(k, fields.size());
    ZXXML_VALUES_LISTS(CHECK_COUNT)
}
#undef CHECK_FIELD
#undef CHECK_LIST_FIELD
#undef CHECK_COUNT

// One character more than a field allows drops the text of every field.
TEST(ParseAllFields, WidthMinusOneIsDroppedEverywhere) {
    const auto fields = setup_fields();
    auto text = [&](size_t k, int slot) { return Distinct(k, slot, static_cast<size_t>(fields[k].width) - 1); };
    SetupRecords s;
    ASSERT_EQ(0, ParseSetup(BuildDocument(fields, setup_lists(), Capacities(setup_lists()), text), s));
    for (const auto &f : fields)
        for (int slot = 0; slot < f.capacity; ++slot) EXPECT_EQ("", Field(s.rec.get(), fields, f.key, slot)) << f.key;
}

TEST(ParseRoot, NamespacedValuesRootIsRewrittenAndParsed) {
    const std::string body = "<Agent><DeviceName>Cellar</DeviceName></Agent>";
    std::string doc = "<?xml version=\"1.0\"?>\n<val:Root xmlns:val=\"urn:kalyx:values\">" + body + "</val:Root>";
    ValuesRecords v;
    ASSERT_EQ(0, parse_values(doc.data(), static_cast<int>(doc.size()), v.rec.get(), v.cnt.get()));
    EXPECT_STREQ("Cellar", v.rec->Agent_DeviceName);
    // The start tag and its attributes become "<Root>" and spaces; the end tag stays.
    const std::string tag = "<val:Root xmlns:val=\"urn:kalyx:values\">";
    EXPECT_EQ("<Root>" + std::string(tag.size() - 6, ' '), doc.substr(22, tag.size()));
    EXPECT_NE(std::string::npos, doc.find("</val:Root>"));
}

TEST(ParseRoot, SetupRewritesOnlyItsOwnPrefix) {
    const std::string body = "<Agent><Model>KX64</Model></Agent>";
    SetupRecords s;
    ASSERT_EQ(0, ParseSetup("<set:Root xmlns:set=\"urn:kalyx:setup\">" + body + "</set:Root>", s));
    EXPECT_STREQ("KX64", s.rec->Agent_Model);
    // A values prefix on a setup document is left alone: its paths start
    // "val:Root" and name nothing.
    ASSERT_EQ(0, ParseSetup("<val:Root xmlns:val=\"urn:kalyx:values\">" + body + "</val:Root>", s));
    EXPECT_STREQ("", s.rec->Agent_Model);
}

TEST(ParseRoot, PatternMustStartBeforeTheLastNineBytes) {
    // "<val:Root" ending exactly at the end of the text is not searched for, and
    // a pattern with no ">" after it inside the length is left alone; neither
    // reads past `length` (the buffers here have no terminator in reach).
    // Neither text is a whole document.
    ValuesRecords v;
    std::vector<char> tail(std::begin("xx<val:Root"), std::end("xx<val:Root") - 1);
    EXPECT_EQ(kalax::kXML_NOT_VALID, parse_values(tail.data(), static_cast<int>(tail.size()), v.rec.get(), v.cnt.get()));
    EXPECT_EQ(std::string("xx<val:Root"), std::string(tail.begin(), tail.end()));
    std::string doc = "<val:Root a=\"1\"";
    std::vector<char> open(doc.begin(), doc.end());
    EXPECT_EQ(kalax::kXML_NOT_VALID, parse_values(open.data(), static_cast<int>(open.size()), v.rec.get(), v.cnt.get()));
    EXPECT_EQ(doc, std::string(open.begin(), open.end()));
}

TEST(ParseRoot, OnlyTheRootElementsOwnStartTagIsRewritten) {
    const std::string body = "<Agent><DeviceName>Cellar</DeviceName></Agent>";
    // The pattern in a comment (or a processing instruction) before a plain
    // root is left alone, and so is the document.
    for (const std::string prolog : {"<!-- <val:Root -->", "<!-- was <val:Root xmlns:val=\"x\"> -->", "<?pi <val:Root?>"}) {
        const std::string doc = "<?xml version=\"1.0\"?>\n" + prolog + "\n<Root>" + body + "</Root>";
        std::string text = doc;
        ValuesRecords v;
        ASSERT_EQ(0, parse_values(text.data(), static_cast<int>(text.size()), v.rec.get(), v.cnt.get()));
        EXPECT_EQ(doc, text);
        EXPECT_STREQ("Cellar", v.rec->Agent_DeviceName) << prolog;
    }
    // Inside a plain root it is an element like any other.
    std::string inner = "<Root><val:Root>x</val:Root>" + body + "</Root>";
    const std::string before = inner;
    ValuesRecords v;
    ASSERT_EQ(0, parse_values(inner.data(), static_cast<int>(inner.size()), v.rec.get(), v.cnt.get()));
    EXPECT_EQ(before, inner);
    EXPECT_STREQ("Cellar", v.rec->Agent_DeviceName);
    // A longer name that merely starts with the pattern is another element.
    std::string other = "<val:RootX>" + body + "</val:RootX>";
    ASSERT_EQ(0, parse_values(other.data(), static_cast<int>(other.size()), v.rec.get(), v.cnt.get()));
    EXPECT_STREQ("", v.rec->Agent_DeviceName);
}

TEST(ParseRoot, NamespacedRootAfterAProlog) {
    const std::string body = "<Agent><DeviceName>Cellar</DeviceName></Agent>";
    // Byte order mark, declaration, comments, a doctype whose internal subset
    // holds ">" and a comment, and an attribute value holding ">".
    std::string doc = "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<!-- <Root> -->\n"
                      "<!DOCTYPE val:Root [ <!-- ]> --> <!ENTITY e \"a>b\"> ]>\n"
                      "<val:Root xmlns:val=\"urn:a>b\" note='x>y'>" + body + "</val:Root>";
    ValuesRecords v;
    ASSERT_EQ(0, parse_values(doc.data(), static_cast<int>(doc.size()), v.rec.get(), v.cnt.get()));
    EXPECT_STREQ("Cellar", v.rec->Agent_DeviceName);
    EXPECT_NE(std::string::npos, doc.find("<!-- <Root> -->"));
    // An empty namespaced root stays an empty element.
    std::string empty = "<val:Root xmlns:val=\"u\"/>";
    EXPECT_EQ(0, parse_values(empty.data(), static_cast<int>(empty.size()), v.rec.get(), v.cnt.get()));
    EXPECT_EQ(0u, empty.find("<Root/> "));
}

TEST(ParseText, EntityPiecesAreAppended) {
    ValuesRecords v;
    ASSERT_EQ(0, ParseValues(ValuesDoc("<BinaryInSet><Entry><Name>a&amp;b</Name></Entry></BinaryInSet>"), v));
    EXPECT_STREQ("a&b", v.rec->BinaryInSet_Entry_Name[0]);
}

TEST(ParseText, FieldHoldsWidthMinusTwoAndPiecesAreNeverCut) {
    ValuesRecords v;
    ASSERT_EQ(0, ParseValues(ValuesDoc("<Agent><DeviceName>" + std::string(50, 'd') + "</DeviceName></Agent>"), v));
    EXPECT_EQ(std::string(50, 'd'), v.rec->Agent_DeviceName);
    ASSERT_EQ(0, ParseValues(ValuesDoc("<Agent><DeviceName>" + std::string(51, 'd') + "</DeviceName></Agent>"), v));
    EXPECT_STREQ("", v.rec->Agent_DeviceName);
    // 40 characters, "&", 15 characters: the last piece would not fit and is dropped whole.
    ASSERT_EQ(0, ParseValues(ValuesDoc("<Agent><DeviceName>" + std::string(40, 'a') + "&amp;" + std::string(15, 'b') +
                                       "</DeviceName></Agent>"),
                             v));
    EXPECT_EQ(std::string(40, 'a') + "&", v.rec->Agent_DeviceName);
    ASSERT_EQ(0, ParseValues(ValuesDoc("<Agent><Version>0123456789</Version></Agent>"), v));
    EXPECT_STREQ("0123456789", v.rec->Agent_Version);
    ASSERT_EQ(0, ParseValues(ValuesDoc("<BinaryInSet><Entry><State>123</State></Entry></BinaryInSet>"), v));
    EXPECT_STREQ("", v.rec->BinaryInSet_Entry_State[0]);
}

TEST(ParseText, RepeatedElementAppendsWhileItFits) {
    ValuesRecords v;
    ASSERT_EQ(0, ParseValues(ValuesDoc("<Agent><Version>1.2</Version><Version>.3</Version></Agent>"), v));
    EXPECT_STREQ("1.2.3", v.rec->Agent_Version);
    ASSERT_EQ(0, ParseValues(ValuesDoc("<Agent><Version>12345</Version><Version>67890</Version></Agent>"), v));
    EXPECT_STREQ("1234567890", v.rec->Agent_Version);
    ASSERT_EQ(0, ParseValues(ValuesDoc("<Agent><Version>123456</Version><Version>7890x</Version></Agent>"), v));
    EXPECT_STREQ("123456", v.rec->Agent_Version);
}

TEST(ParseText, WhitespaceInsideLeavesIsKeptBetweenElementsIgnored) {
    ValuesRecords v;
    ASSERT_EQ(0, ParseValues("<Root>\r\n  <Agent>\n    <Model> K\r\n6 </Model>\n  </Agent>\n</Root>", v));
    EXPECT_STREQ(" K\n6 ", v.rec->Agent_Model);
    EXPECT_STREQ("", v.rec->Agent_Version);
}

TEST(ParseText, UnknownElementsAndCommentsStoreNothing) {
    ValuesRecords v;
    ASSERT_EQ(0, ParseValues(ValuesDoc("<Agent><Uptime>99</Uptime><!-- x --><Model>M<?pi x?>1</Model></Agent>"
                                       "<Model>top</Model>"),
                             v));
    EXPECT_STREQ("M1", v.rec->Agent_Model);
    const auto *bytes = reinterpret_cast<const unsigned char *>(v.rec.get());
    size_t used = 0;
    for (size_t i = 0; i < sizeof *v.rec; ++i) used += bytes[i] != 0;
    EXPECT_EQ(2u, used);
}

TEST(ParseText, ElementNamesWithUnderscoresAreKeyPathsToo) {
    // The key path is text: <Agent_Version> under <Root> is "Root_Agent_Version".
    ValuesRecords v;
    ASSERT_EQ(0, ParseValues(ValuesDoc("<Agent_Version>7</Agent_Version><Agent_><Version>x</Version></Agent_>"), v));
    EXPECT_STREQ("7", v.rec->Agent_Version);
}

TEST(ParseLists, EntriesFillSlotsInOrderPerList) {
    ValuesRecords v;
    ASSERT_EQ(0, ParseValues(ValuesDoc("<BinaryInSet><Entry><ID>a</ID></Entry><Entry><ID>b</ID></Entry>"
                                       "<Entry><ID>c</ID><Idx>9</Idx></Entry><AlarmAction>x</AlarmAction>"
                                       "</BinaryInSet><SenSet><Entry><ID>s0</ID></Entry><Entry><ID>s1</ID>"
                                       "</Entry></SenSet>"),
                             v));
    EXPECT_EQ(3, v.cnt->BinaryInSet);
    EXPECT_EQ(0, v.cnt->BinaryOutSet);
    EXPECT_EQ(2, v.cnt->SenSet);
    EXPECT_STREQ("a", v.rec->BinaryInSet_Entry_ID[0]);
    EXPECT_STREQ("b", v.rec->BinaryInSet_Entry_ID[1]);
    EXPECT_STREQ("c", v.rec->BinaryInSet_Entry_ID[2]);
    EXPECT_STREQ("9", v.rec->BinaryInSet_Entry_Idx[2]);  // Idx is a field, not a slot number
    EXPECT_STREQ("x", v.rec->BinaryInSet_AlarmAction);
    EXPECT_STREQ("s0", v.rec->SenSet_Entry_ID[0]);
    EXPECT_STREQ("s1", v.rec->SenSet_Entry_ID[1]);
}

TEST(ParseLists, EntriesBeyondCapacityAreDroppedAndCountsStop) {
    const auto fields = setup_fields();
    std::vector<int> entries = Capacities(setup_lists());
    for (int &n : entries) n += 3;
    SetupRecords s;
    auto text = [](size_t k, int slot) { return std::string{char('0' + k % 10), char('0' + slot % 10)}; };
    ASSERT_EQ(0, ParseSetup(BuildDocument(fields, setup_lists(), entries, text), s));
#define CHECK_COUNT(list, capacity) EXPECT_EQ((capacity), s.cnt->list) << #list;
    ZXXML_SETUP_LISTS(CHECK_COUNT)
#undef CHECK_COUNT
    // The last slot holds the last entry that fit, not a later one, and the
    // fields after each list are untouched by the extra entries.
    EXPECT_EQ(text(KeyIndex(fields, "Root_User_Entry_Name"), 1), s.rec->User_Entry_Name[1]);
    EXPECT_EQ(text(KeyIndex(fields, "Root_SnmpTraps_Entry_Community"), 3), s.rec->SnmpTraps_Entry_Community[3]);
    EXPECT_EQ(text(KeyIndex(fields, "Root_MailDest_Entry_To"), 0), s.rec->MailDest_Entry_To[0]);
    EXPECT_EQ(text(KeyIndex(fields, "Root_Info"), 0), s.rec->Info);
}

TEST(ParseLists, ListFieldOutsideAnyEntryCannotOverrun) {
    // After two users the entry index is 2; a User field reached through an
    // underscore name (no <Entry> of its own) must not land in a third slot.
    SetupRecords s;
    ASSERT_EQ(0, ParseSetup("<Root><User><Entry><Name>a</Name></Entry><Entry><Name>b</Name></Entry></User>"
                            "<User_Entry_Name>c</User_Entry_Name><SnmpAccess_Entry_Community>z"
                            "</SnmpAccess_Entry_Community></Root>",
                            s));
    EXPECT_EQ(2, s.cnt->User);
    EXPECT_STREQ("a", s.rec->User_Entry_Name[0]);
    EXPECT_STREQ("b", s.rec->User_Entry_Name[1]);
    EXPECT_STREQ("", s.rec->User_Entry_Pswd[0]);
    EXPECT_STREQ("", s.rec->SnmpAccess_Entry_Community[0]);
    EXPECT_STREQ("", s.rec->SnmpAccess_Entry_Community[1]);
}

TEST(ParseLists, EntryElsewhereRestartsTheSlot) {
    // An <Entry> of another path resets the slot, so the next entry of the list
    // fills slot 0 again, while the count still rises at its end.
    ValuesRecords v;
    ASSERT_EQ(0, ParseValues(ValuesDoc("<BinaryInSet><Entry><ID>a</ID></Entry><Foo><Entry/></Foo>"
                                       "<Entry><Name>n</Name></Entry></BinaryInSet>"),
                             v));
    EXPECT_EQ(2, v.cnt->BinaryInSet);
    EXPECT_STREQ("a", v.rec->BinaryInSet_Entry_ID[0]);
    EXPECT_STREQ("n", v.rec->BinaryInSet_Entry_Name[0]);
    EXPECT_STREQ("", v.rec->BinaryInSet_Entry_Name[1]);
    // The count follows the most recently started <Entry>: an entry holding
    // another <Entry> is not counted when it ends.
    ASSERT_EQ(0, ParseValues(ValuesDoc("<SenSet><Entry><ID>s</ID><Entry/></Entry></SenSet>"), v));
    EXPECT_EQ(0, v.cnt->SenSet);
    EXPECT_STREQ("s", v.rec->SenSet_Entry_ID[0]);
}

TEST(ParseFailure, LengthZeroIsNotValidAndClears) {
    ValuesRecords v;
    std::memset(v.rec.get(), 'x', sizeof *v.rec);
    v.cnt->SenSet = 7;
    std::string doc = ValuesDoc("<Agent><Model>M</Model></Agent>");
    EXPECT_EQ(kalax::kXML_NOT_VALID, parse_values(doc.data(), 0, v.rec.get(), v.cnt.get()));
    const auto *bytes = reinterpret_cast<const unsigned char *>(v.rec.get());
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof *v.rec, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(0, v.cnt->SenSet);
    EXPECT_EQ(kalax::kXML_NOT_VALID, parse_values(nullptr, 10, v.rec.get(), v.cnt.get()));
    EXPECT_EQ(kalax::kNULL_POINTER, parse_values(doc.data(), 5, nullptr, v.cnt.get()));
}

TEST(ParseFailure, NotWellFormedKeepsWhatCameBefore) {
    ValuesRecords v;
    // The XML parser goes on delivering text after such a fault while it
    // reports no more elements; none of that text may land in the field
    // that happened to be open.
    ASSERT_EQ(0, ParseValues("<Root><Agent><Model>M</Model><Title>1 & 2</Title><MAC>m</MAC></Agent>"
                             "<Time><Date>d</Date></Time></Root>",
                             v));
    EXPECT_STREQ("M", v.rec->Agent_Model);
    EXPECT_STREQ("1 ", v.rec->Agent_Title);
    EXPECT_STREQ("", v.rec->Agent_MAC);
    EXPECT_STREQ("", v.rec->Time_Date);
}

TEST(ParseFailure, DocumentCutBeforeTheRootEndsIsNotValidAndClears) {
    // A unit that falls silent mid-body leaves a document without its end:
    // what came is no description of the unit.
    const std::string whole = "<?xml version=\"1.0\"?><val:Root xmlns:val=\"urn:x\"><Agent><Model>M</Model>"
                              "<Title>T</Title></Agent><Time><Date>d</Date></Time></val:Root>";
    for (size_t cut : {size_t{30}, whole.find("<Title>"), whole.find("</val:Root>") + 5}) {
        ValuesRecords v;
        std::string doc = whole.substr(0, cut);
        EXPECT_EQ(kalax::kXML_NOT_VALID, parse_values(doc.data(), static_cast<int>(doc.size()), v.rec.get(), v.cnt.get()))
            << "cut at " << cut;
        EXPECT_STREQ("", v.rec->Agent_Model);
    }
    // The whole document, also followed by the zero bytes of a receive buffer
    // and with spaces in its end tag, is the document.
    for (std::string doc : {whole, whole + std::string(64, '\0'), whole.substr(0, whole.size() - 1) + "  >"}) {
        ValuesRecords v;
        EXPECT_EQ(0, parse_values(doc.data(), static_cast<int>(doc.size()), v.rec.get(), v.cnt.get()));
        EXPECT_STREQ("d", v.rec->Time_Date);
    }
}

TEST(ParseFailure, SecondParseHoldsOnlySecondDocument) {
    SetupRecords s;
    ASSERT_EQ(0, ParseSetup("<Root><Agent><Model>A</Model></Agent><User><Entry><Name>u</Name></Entry></User></Root>", s));
    ASSERT_EQ(0, ParseSetup("<Root><Agent><MAC>B</MAC></Agent></Root>", s));
    EXPECT_STREQ("", s.rec->Agent_Model);
    EXPECT_STREQ("B", s.rec->Agent_MAC);
    EXPECT_EQ(0, s.cnt->User);
    EXPECT_STREQ("", s.rec->User_Entry_Name[0]);
}

TEST(ParseLimits, DeepNestingStopsTheParserWithoutHarm) {
    std::string doc = "<Root><Agent><Model>M</Model></Agent>";
    for (int i = 0; i < 10000; ++i) doc += "<a>";
    for (int i = 0; i < 10000; ++i) doc += "</a>";
    doc += "<Agent><MAC>after</MAC></Agent></Root>";
    ValuesRecords v;
    EXPECT_EQ(0, ParseValues(doc, v));
    EXPECT_STREQ("M", v.rec->Agent_Model);
}

TEST(ParseLimits, ElementsBeyondTheKeyPathAreIgnoredWithTheirContent) {
    // A name that would take the key path past 9999 characters: the element
    // and everything inside it are ignored (its child is not taken as a child
    // of <Root>), and the parse goes on after it.
    const std::string huge(9995, 'n');
    ValuesRecords v;
    ASSERT_EQ(0, ParseValues(ValuesDoc("<" + huge + "><Agent_Model>in</Agent_Model>in</" + huge +
                                       "><Agent><Model>out</Model></Agent>"),
                             v));
    EXPECT_STREQ("out", v.rec->Agent_Model);
    // Many long names: the path fills up level by level.
    std::string doc = "<Root>";
    const std::string name(990, 'q');
    for (int i = 0; i < 12; ++i) doc += "<" + name + ">";
    doc += "<Agent_Version>x</Agent_Version>";
    for (int i = 0; i < 12; ++i) doc += "</" + name + ">";
    doc += "<Agent><Version>ok</Version></Agent></Root>";
    ASSERT_EQ(0, ParseValues(doc, v));
    EXPECT_STREQ("ok", v.rec->Agent_Version);
}

TEST(ParseLimits, MegabyteTextNodeIsBoundedToTheField) {
    SetupRecords s;
    const std::string big(1 << 20, 't');
    ASSERT_EQ(0, ParseSetup("<Root><Email><Message>" + big + "</Message><Port>25</Port></Email></Root>", s));
    EXPECT_LE(std::strlen(s.rec->Email_Message), sizeof s.rec->Email_Message - 2);
    EXPECT_STREQ("25", s.rec->Email_Port);
}

TEST(ParseLimits, UnterminatedTwentyThousandByteBody) {
    // Exactly 20000 bytes with no terminator after them (as the receive buffer
    // hands it over); a sanitizer build catches any read past the end.
    std::string doc = "<set:Root xmlns:set=\"urn:kalyx:setup\"><Info>1</Info><Global><Logo>";
    const std::string tail = "</Logo></Global></set:Root>";
    doc += std::string(20000 - doc.size() - tail.size(), 'L') + tail;
    ASSERT_EQ(20000u, doc.size());
    std::unique_ptr<char[]> exact(new char[doc.size()]);
    std::memcpy(exact.get(), doc.data(), doc.size());
    SetupRecords s;
    ASSERT_EQ(0, parse_setup(exact.get(), static_cast<int>(doc.size()), s.rec.get(), s.cnt.get()));
    EXPECT_STREQ("1", s.rec->Info);
}

TEST(ParseSamples, UnitDocumentsParse) {
    ValuesRecords v;
    ASSERT_EQ(0, ParseValues(ReadData("values_unit.xml"), v));
    EXPECT_EQ(3, v.cnt->BinaryInSet);
    EXPECT_EQ(2, v.cnt->BinaryOutSet);
    EXPECT_EQ(4, v.cnt->SenSet);
    EXPECT_STREQ("Kalyx Rack 7", v.rec->Agent_DeviceName);
    EXPECT_STREQ("Temp 4", v.rec->SenSet_Entry_Name[3]);
    EXPECT_STREQ("08:15:02", v.rec->Time_Time);
    ASSERT_EQ(0, ParseValues(ReadData("values_full.xml"), v));
    EXPECT_EQ(64, v.cnt->BinaryOutSet);
    EXPECT_EQ(42, v.cnt->SenSet);
    EXPECT_STREQ("Relay 64", v.rec->BinaryOutSet_Entry_Name[63]);

    SetupRecords s;
    ASSERT_EQ(0, ParseSetup(ReadData("setup_unit.xml"), s));
    EXPECT_EQ(2, s.cnt->SnmpTraps);
    EXPECT_STREQ("192.0.2.11", s.rec->SnmpTraps_Entry_IPaddr[1]);
    EXPECT_STREQ("Group 1 alarm", s.rec->GroupSet_Entry_Alarm_Subj[0]);
    EXPECT_STREQ("86400", s.rec->DataLogger_Report_Period);
}

TEST(ParseConcurrency, ParsesOnSeveralThreadsKeepTheirOwnState) {
    const std::string values = ReadData("values_full.xml");
    const std::string setup = ReadData("setup_full.xml");
    ValuesRecords v0;
    SetupRecords s0;
    ASSERT_EQ(0, ParseValues(values, v0));
    ASSERT_EQ(0, ParseSetup(setup, s0));
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            ValuesRecords v;
            SetupRecords s;
            for (int i = 0; i < 30; ++i) {
                if (t % 2) {
                    ParseValues(values, v);
                    mismatches[t] += std::memcmp(v.rec.get(), v0.rec.get(), sizeof *v.rec) != 0;
                } else {
                    ParseSetup(setup, s);
                    mismatches[t] += std::memcmp(s.rec.get(), s0.rec.get(), sizeof *s.rec) != 0 ||
                                     std::memcmp(s.cnt.get(), s0.cnt.get(), sizeof *s.cnt) != 0;
                }
            }
        });
    for (auto &t : threads) t.join();
    for (int m : mismatches) EXPECT_EQ(0, m);
}

}  // namespace
