#include "lib/json_escape.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace tarnwick {
namespace {

std::string escaped(std::string_view text) {
    Bytes out;
    out.append("<");
    json_escape(out, text);
    EXPECT_EQ(json_escaped_size(text) + 1, out.size());
    return std::string(out.view().substr(1));
}

// One byte of each class, alone and at every position of clean text, so the block-at-a-time scan
// meets it in every lane, in every block and in the overlapping tail.
TEST(JsonEscape, EscapeTableClasses) {
    // clang-format off
    const std::pair<std::string, std::string> table[] = {
        {"\"", R"(\")"}, {"\\", R"(\\)"}, {"\n", R"(\n)"}, {"\r", R"(\r)"}, {"\t", R"(\t)"},
        {std::string(1, '\0'), R"(\u0000)"}, {"\x01", R"(\u0001)"}, {"\x1b", R"(\u001b)"}, {"\x1f", R"(\u001f)"},
        {" ", " "}, {"/", "/"}, {"\x7f", "\x7f"}, {"\x80", "\x80"}, {"\xff", "\xff"}, {"\xc3\xa9", "\xc3\xa9"}};
    // clang-format on
    for (const auto& [raw, want] : table) {
        EXPECT_EQ(escaped(raw), want);
        const std::string clean = "0123456789abcdefghijklmnopqrstuvwxyzABCD";  // several 16-byte blocks
        for (std::size_t at = 0; at <= clean.size(); ++at) {
            EXPECT_EQ(escaped(clean.substr(0, at) + raw + clean.substr(at)),
                      clean.substr(0, at) + want + clean.substr(at))
                << "at " << at;
        }
    }
    EXPECT_EQ(escaped(""), "");
    EXPECT_EQ(escaped("\n\nrun\x1b[31m\n\x01\x01"), R"(\n\nrun\u001b[31m\n\u0001\u0001)");
}

}  // namespace
}  // namespace tarnwick
