// Taking results out of a slot: which code refuses what, and exact copies.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/xml_unit.h"

using namespace kalax;
using namespace kalax::test;

class XmlRetrieve : public XmlUnit {
protected:
    int fetched_values() {
        start_unit();
        const int m = open_unit();
        EXPECT_EQ(zxxml_get_values(m), 0);
        EXPECT_EQ(zxxml_wait_finish(m, 2, 10), 0);
        return m;
    }
};

TEST_F(XmlRetrieve, NothingBeforeTheFirstRequest) {
    start_unit();
    const int m = open_unit();
    char *text;
    int length;
    EXPECT_EQ(zxxml_get_values_xml(m, &text, &length), -1);
    EXPECT_EQ(xml_code(m), 1);
    EXPECT_EQ(zxxml_get_setup_xml(m, &text, &length), -1);
    EXPECT_EQ(xml_code(m), 1);
}

TEST_F(XmlRetrieve, BodyWithoutXmlMarkerIsNotValidEveryTime) {
    start_unit();
    sim::Fault plain;
    plain.body = "<Root><Agent><Version>1</Version></Agent></Root>";
    unit->set_fault("/values.xml", plain);
    const int m = open_unit();
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
    char *text;
    int length;
    EXPECT_EQ(zxxml_get_values_xml(m, &text, &length), -1);
    EXPECT_EQ(xml_code(m), 11);
    EXPECT_EQ(zxxml_get_values_xml(m, &text, &length), -1);
    EXPECT_EQ(xml_code(m), 11);
}

// An empty document fails its parse; taking it out reports that failure.
TEST_F(XmlRetrieve, EmptyBodyIsNotValidXml) {
    start_unit();
    sim::Fault empty;
    empty.body = "";
    unit->set_fault("/values.xml", empty);
    const int m = open_unit();
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
    char *text;
    int length;
    EXPECT_EQ(zxxml_get_values_xml(m, &text, &length), -1);
    EXPECT_EQ(xml_code(m), 45);
}

TEST_F(XmlRetrieve, EveryFormGivesTheSameDocument) {
    const int m = fetched_values();
    char *text = nullptr;
    int length = 0;
    ASSERT_EQ(zxxml_get_values_xml(m, &text, &length), 0);
    const std::string body(text, static_cast<size_t>(length));
    EXPECT_EQ(body, unit->requests().empty() ? "" : body);
    EXPECT_NE(body.find("<?xml "), std::string::npos);

    std::vector<char> copy(20000, '\x7f');
    int copy_length = 0;
    ASSERT_EQ(zxxml_get_values_xml_copy(m, copy.data(), &copy_length), 0);
    EXPECT_EQ(copy_length, length);
    EXPECT_EQ(std::string(copy.data()), body);

    char path[] = "/tmp/kalax-values-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(zxxml_get_values_to_file(m, path), 0);
    std::ifstream in(path, std::ios::binary);
    std::stringstream file;
    file << in.rdbuf();
    EXPECT_EQ(file.str(), body);
    std::remove(path);
}

TEST_F(XmlRetrieve, CacheCopiesAreWholeRecords) {
    const int m = fetched_values();
    // Surround the destination with guards: exactly the record's bytes are written.
    std::vector<unsigned char> area(sizeof(zxxml_values_struct) + 64, 0xEE);
    zxxml_values_count_struct counts;
    ASSERT_EQ(zxxml_get_values_cache_copy(m, reinterpret_cast<zxxml_values_struct *>(area.data() + 32), &counts), 0);
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(area[i], 0xEE);
        EXPECT_EQ(area[area.size() - 1 - i], 0xEE);
    }
    zxxml_values_struct *live;
    zxxml_values_count_struct *live_counts;
    ASSERT_EQ(zxxml_get_values_cache(m, &live, &live_counts), 0);
    EXPECT_EQ(std::memcmp(area.data() + 32, live, sizeof *live), 0);
    EXPECT_EQ(std::memcmp(&counts, live_counts, sizeof counts), 0);
}

TEST_F(XmlRetrieve, FileInAMissingFolderFailsWithCode6AndCreatesNothing) {
    const int m = fetched_values();
    EXPECT_EQ(zxxml_get_values_to_file(m, "/tmp/kalax-no-such-dir/x/values.xml"), -1);
    EXPECT_EQ(xml_code(m), 6);
    EXPECT_NE(access("/tmp/kalax-no-such-dir", F_OK), 0);
}
