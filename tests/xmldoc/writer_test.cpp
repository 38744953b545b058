#include "sdk/xmldoc/writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "doc_util.h"
#include "sdk/runtime/result_codes.h"
#include "sdk/xmldoc/parser.h"

namespace {

using namespace doc_test;
using kalax::xmldoc::write_setup;

template <size_t W>
void Put(char (&field)[W], const char *text) {
    std::memset(field, 0, W);
    std::strncpy(field, text, W - 1);
}

std::string Write(const SetupRecords &s, size_t capacity = 200000) {
    std::vector<char> buf(capacity, 'z');
    EXPECT_EQ(0, write_setup(*s.rec, *s.cnt, buf.data(), buf.size()));
    return buf.data();
}

// The part of `doc` from "\n<name>" through "</name>".
std::string Section(const std::string &doc, const std::string &name) {
    const size_t from = doc.find("\n<" + name + ">");
    const size_t to = doc.find("</" + name + ">", from);
    if (from == std::string::npos || to == std::string::npos) return "<missing " + name + ">";
    return doc.substr(from, to + name.size() + 3 - from);
}

const char kEmptyDocument[] = R"(<?xml version="1.0" encoding="utf-8"?>
<Root>
<Agent>
<Version></Version>
<XmlVer></XmlVer>
<DeviceName></DeviceName>
<Model></Model>
<VendorID></VendorID>
<MAC></MAC>
<Title></Title>
<Contact></Contact>
</Agent>
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
<IPAddr></IPAddr>
<Submask></Submask>
<Gateway></Gateway>
<HTTPport></HTTPport>
<TelnetPort></TelnetPort>
<SNMPPort></SNMPPort>
<DNSPrimary></DNSPrimary>
<DNSSecondary></DNSSecondary>
<DHCP></DHCP>
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
<TimeShift></TimeShift>
<Date></Date>
<Time></Time>
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
<SysName></SysName>
<SysLocation></SysLocation>
</MIBIISysGroup>
<User>
</User>
<Info></Info>
</Root>)";

TEST(WriteSetup, EmptyRecordWritesEveryContainer) {
    SetupRecords s;
    EXPECT_EQ(kEmptyDocument, Write(s));
}

TEST(WriteSetup, OneOutputEntry) {
    SetupRecords s;
    s.cnt->BinaryOutSet = 1;
    Put(s.rec->BinaryOutSet_Entry_ID[0], "7");
    Put(s.rec->BinaryOutSet_Entry_Name[0], "Fan & <pump>");
    Put(s.rec->BinaryOutSet_Entry_Type[0], "1");
    Put(s.rec->BinaryOutSet_Entry_Idx[0], "3");
    Put(s.rec->BinaryOutSet_Entry_ID[1], "not in use");
    EXPECT_EQ("\n<BinaryOutSet>\n<Entry>\n<ID>7</ID>\n<Name>Fan &amp; &lt;pump&gt;</Name>\n<NameOpen></NameOpen>"
              "\n<NameClose></NameClose>\n<Value></Value>\n<Type>1</Type>\n<Mode></Mode>"
              "\n<CondInputID></CondInputID>\n<Trigger></Trigger>\n<Idx>3</Idx>\n</Entry>\n</BinaryOutSet>",
              Section(Write(s), "BinaryOutSet"));
}

TEST(WriteSetup, NestedContainersInsideEntries) {
    SetupRecords s;
    s.cnt->GroupSet = 1;
    s.cnt->BinaryInSet = 1;
    Put(s.rec->GroupSet_Entry_Alarm_Body[0], "b");
    Put(s.rec->GroupSet_Entry_Dest_E[0], "1");
    Put(s.rec->BinaryInSet_AlarmAction, "act");
    const std::string doc = Write(s);
    EXPECT_EQ("\n<GroupSet>\n<Entry>\n<Name></Name>\n<Out></Out>\n<OutState></OutState>\n<Alarm>\n<Subj></Subj>"
              "\n<Body>b</Body>\n</Alarm>\n<Dest>\n<Snmp1></Snmp1>\n<Snmp2></Snmp2>\n<Snmp3></Snmp3>"
              "\n<Snmp4></Snmp4>\n<Mail1></Mail1>\n<Mail2></Mail2>\n<Delay></Delay>\n<E>1</E>\n</Dest>"
              "\n<Idx></Idx>\n</Entry>\n</GroupSet>",
              Section(doc, "GroupSet"));
    // After the entries of BinaryInSet: the empty line, then AlarmAction.
    const std::string in = Section(doc, "BinaryInSet");
    EXPECT_EQ("\n<EmailSMS></EmailSMS>\n<Idx></Idx>\n</Entry>\n\n<AlarmAction>act</AlarmAction>\n</BinaryInSet>",
              in.substr(in.find("\n<EmailSMS>")));
}

TEST(WriteSetup, CountsAreClampedToTheLists) {
    SetupRecords s;
    s.cnt->User = 1000;
    s.cnt->SnmpAccess = -4;
    s.cnt->SenSet = 43;
    Put(s.rec->User_Entry_Name[1], "second");
    const std::string doc = Write(s);
    const std::string users = Section(doc, "User");
    size_t entries = 0;
    for (size_t at = users.find("<Entry>"); at != std::string::npos; at = users.find("<Entry>", at + 1)) ++entries;
    EXPECT_EQ(2u, entries);
    EXPECT_NE(std::string::npos, users.find("<Name>second</Name>"));
    EXPECT_EQ("\n<SnmpAccess>\n</SnmpAccess>", Section(doc, "SnmpAccess"));
    const std::string sensors = Section(doc, "SenSet");
    entries = 0;
    for (size_t at = sensors.find("<Entry>"); at != std::string::npos; at = sensors.find("<Entry>", at + 1)) ++entries;
    EXPECT_EQ(42u, entries);
}

TEST(WriteSetup, UnterminatedFieldIsWrittenToItsWidth) {
    SetupRecords s;
    std::memset(s.rec->Agent_Title, 't', sizeof s.rec->Agent_Title);
    Put(s.rec->Agent_Contact, "c");
    std::memset(s.rec->Info, 'i', sizeof s.rec->Info);
    const std::string doc = Write(s);
    EXPECT_NE(std::string::npos, doc.find("\n<Title>" + std::string(152, 't') + "</Title>\n<Contact>c</Contact>"));
    EXPECT_NE(std::string::npos, doc.find("\n<Info>iiii</Info>\n</Root>"));
}

TEST(WriteSetup, BufferTooSmallLeavesAnEmptyString) {
    SetupRecords s;
    const size_t len = std::strlen(kEmptyDocument);
    std::vector<char> buf(len + 1, 'z');
    EXPECT_EQ(0, write_setup(*s.rec, *s.cnt, buf.data(), len + 1));
    EXPECT_EQ(kEmptyDocument, std::string(buf.data()));
    std::fill(buf.begin(), buf.end(), 'z');
    EXPECT_EQ(kalax::kBUFFER_FULL, write_setup(*s.rec, *s.cnt, buf.data(), len));
    EXPECT_EQ('\0', buf[0]);
    EXPECT_EQ('z', buf[len]);  // nothing written past the capacity
    std::fill(buf.begin(), buf.end(), 'z');
    EXPECT_EQ(kalax::kBUFFER_FULL, write_setup(*s.rec, *s.cnt, buf.data(), 0));
    EXPECT_EQ('z', buf[0]);
    EXPECT_EQ(kalax::kNULL_POINTER, write_setup(*s.rec, *s.cnt, nullptr, 100));
}

TEST(WriteSetup, ParsedSampleIsWrittenBackByteForByte) {
    const std::string sample = ReadData("setup_full.xml");
    ASSERT_GT(sample.size(), 1000u);
    SetupRecords s;
    std::string copy = sample;
    ASSERT_EQ(0, kalax::xmldoc::parse_setup(copy.data(), static_cast<int>(copy.size()), s.rec.get(), s.cnt.get()));
    EXPECT_EQ(sample, Write(s, sample.size() + 1));
}

}  // namespace
