// Setup documents cut off in the middle, as a dropped connection or a caller's
// truncated text leaves them: the reduction refuses them whole (the unit would
// otherwise be sent part of what the caller meant), also when the cut falls
// inside an element the unit is never sent.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sdk/runtime/result_codes.h"
#include "sdk/xmldoc/reduce.h"

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

struct Result {
    int code;
    std::string text;
};

Result reduce(const std::string &doc) {
    std::vector<char> buf(doc.size() + 1024, '\0');
    std::memcpy(buf.data(), doc.data(), doc.size());
    const int code = kalax::xmldoc::prepare_setup(buf.data(), buf.size());
    return {code, std::string(buf.data(), strnlen(buf.data(), buf.size()))};
}

TEST(ReduceCut, AnywhereFailsAndLeavesTheBuffer) {
    const char *rows[] = {
        "<Root><Global><Units>C</Units></Global><Agent><Version>1</Version>",
        "<Root><Email><Port>25</Port></Email><User><Entry><Name>adm",
        "<Root><Time><Port>123</Port><Date>2024-03-",
        "<Root><Global><Units>C</Units></Global><Info>1",
        "<Root><Global><Units>C</Units></Global></Ro",
        "<Root><SenSet><Entry><Idx>1</Idx><Name>a &am",
    };
    for (const char *doc : rows) {
        const Result r = reduce(doc);
        EXPECT_EQ(kalax::kXML_NOT_VALID, r.code) << doc;
        EXPECT_EQ(doc, r.text) << doc;
    }
}

TEST(ReduceCut, NextDocumentIsNotAffected) {
    // The reduction keeps no state between calls.
    EXPECT_EQ(kalax::kXML_NOT_VALID, reduce("<Root><Agent><Version>1</Version>").code);
    const Result r = reduce("<Root><Agent><Version>1</Version></Agent><Global><Units>C</Units></Global></Root>");
    EXPECT_EQ(0, r.code);
    EXPECT_EQ(kDecl + "<Root><Global><Units>C</Units></Global></Root>", r.text);
}

}  // namespace
