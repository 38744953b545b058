// Taking results out of a slot: which code refuses what, and exact copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/temp_dir.h"
#include "support/xml_unit.h"

using namespace kalax;
using namespace kalax::test;

namespace {

std::string read_whole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

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
    EXPECT_EQ(read_whole(path), body);
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

// A file is changed whole or not at all: a write that cannot finish leaves the
// old content and no partial file beside it; permissions and links are kept.
TEST_F(XmlRetrieve, FilesAreReplacedWholeOrNotAtAll) {
    const int m = fetched_values();
    char *text = nullptr;
    int length = 0;
    ASSERT_EQ(zxxml_get_values_xml(m, &text, &length), 0);
    ASSERT_GT(length, 200);
    const std::string body(text, static_cast<size_t>(length));

    // A folder of its own, so a stray partial file would show.
    TempDir dir("files");
    const std::string file = dir.file("values.xml");
    const std::string old_content = "the user's old file\n";
    std::ofstream(file, std::ios::binary) << old_content;
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);

    // Written: the new content whole, the file's permissions as they were.
    ASSERT_EQ(zxxml_get_values_to_file(m, file.c_str()), 0);
    EXPECT_EQ(read_whole(file), body);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"values.xml"});

    // Through a link: the file it names changes, the link stays a link.
    const std::string link = dir.file("latest.xml");
    std::ofstream(file, std::ios::binary) << old_content;
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    ASSERT_EQ(zxxml_get_values_to_file(m, link.c_str()), 0);
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_whole(file), body);

    // Not a plain file: written in place, never replaced by one.
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(zxxml_get_values_to_file(m, fifo.c_str()), 0);
    std::string got(static_cast<size_t>(length) + 1, '\0');
    EXPECT_EQ(read(reader, got.data(), got.size()), length);
    close(reader);
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // A name at the length limit leaves no room for a name beside it: written in place.
    const std::string longest(NAME_MAX, 'v');
    ASSERT_EQ(zxxml_get_values_to_file(m, dir.file(longest).c_str()), 0);
    EXPECT_EQ(read_whole(dir.file(longest)), body);

    // Too large to write: the process may make no file longer than 100 bytes
    // (last, since a failed write also refuses the slot's later retrievals).
    std::ofstream(file, std::ios::binary) << old_content;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit small = old_limit;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int failed = zxxml_get_values_to_file(m, file.c_str());
    const int code = xml_code(m);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(failed, -1);
    EXPECT_EQ(code, 7);
    EXPECT_EQ(read_whole(file), old_content);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"latest.xml", "pipe", "values.xml", longest}));
}
