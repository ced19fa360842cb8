#include "lib/json_escape.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace tarnwick {
namespace {

std::string escaped(std::string_view text) {
    Bytes out;
    out.append("<");
    json_escape(out, text);
    EXPECT_EQ(json_escaped_size(text) + 1, out.size());
    return std::string(out.view().substr(1));
}

// Each byte, alone and inside clean text (so the word-at-a-time scan meets it in every lane),
// against the rule written out independently of the tables.
TEST(JsonEscape, EveryByteFollowsRule) {
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        std::string want(1, c);
        if (c == '"' || c == '\\') want.insert(0, 1, '\\');
        else if (c == '\n') want = R"(\n)";
        else if (c == '\r') want = R"(\r)";
        else if (c == '\t') want = R"(\t)";
        else if (b < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(b));
            want = buf;
        }
        EXPECT_EQ(escaped(std::string_view(&c, 1)), want) << "byte " << b;
        std::string padded = "0123456789abcdefg";
        const std::size_t at = static_cast<std::size_t>(b) % padded.size();
        padded[at] = c;
        EXPECT_EQ(escaped(padded), padded.substr(0, at) + want + padded.substr(at + 1)) << "byte " << b;
    }
}

TEST(JsonEscape, KeepsRunsAroundEscapes) {
    EXPECT_EQ(escaped(""), "");
    EXPECT_EQ(escaped("caf\xc3\xa9 100% \xff"), "caf\xc3\xa9 100% \xff");
    EXPECT_EQ(escaped("a\"b\\c\nd\x01\x01"), R"(a\"b\\c\nd\u0001\u0001)");
    EXPECT_EQ(escaped("\n\nrun\x1b[31m\n"), R"(\n\nrun\u001b[31m\n)");
}

}  // namespace
}  // namespace tarnwick
