// Setup documents cut off in the middle, as a dropped connection or a caller's
// truncated text leaves them: the reduction keeps everything the XML parser
// delivered before the cut, also when the cut falls inside an element the unit
// is never sent.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sdk/xmldoc/reduce.h"

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

std::string reduce(const std::string &doc) {
    std::vector<char> buf(doc.size() + 1024, '\0');
    std::memcpy(buf.data(), doc.data(), doc.size());
    EXPECT_EQ(0, kalax::xmldoc::prepare_setup(buf.data(), buf.size()));
    return std::string(buf.data(), strnlen(buf.data(), buf.size()));
}

TEST(ReduceCut, InsideAnExcludedElementKeepsWhatCameBefore) {
    const struct {
        const char *doc;
        const char *kept;
    } rows[] = {
        {"<Root><Global><Units>C</Units></Global><Agent><Version>1</Version>",
         "<Root><Global><Units>C</Units></Global>"},
        {"<Root><Email><Port>25</Port></Email><User><Entry><Name>adm",
         "<Root><Email><Port>25</Port></Email><User><Entry>"},
        {"<Root><Time><Port>123</Port><Date>2024-03-", "<Root><Time><Port>123</Port>"},
        // A cut outside any excluded element was always kept.
        {"<Root><Global><Units>C</Units></Global><Info>1", "<Root><Global><Units>C</Units></Global><Info>1"},
    };
    for (const auto &row : rows) EXPECT_EQ(kDecl + row.kept, reduce(row.doc)) << row.doc;
}

TEST(ReduceCut, NextDocumentIsNotAffected) {
    // The reduction keeps no state between calls.
    reduce("<Root><Agent><Version>1</Version>");
    EXPECT_EQ(kDecl + "<Root><Global><Units>C</Units></Global></Root>",
              reduce("<Root><Agent><Version>1</Version></Agent><Global><Units>C</Units></Global></Root>"));
}

}  // namespace
