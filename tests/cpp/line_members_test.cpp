#include "lib/line_members.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace tarnwick {
namespace {

std::string merged(std::initializer_list<std::span<const Member>> runs) {
    Bytes out;
    const std::vector<std::span<const Member>> all(runs);
    append_merged(out, all);
    return std::string(out.view());
}

TEST(LineMembers, EachKeyOnceAtItsFirstPlaceWithTheLastValue) {
    const std::array<Member, 2> context{{{"request", " request=1"}, {"user", " user=ctx"}}};
    const std::array<Member, 2> bound{{{"user", " user=bound"}, {"attempt", " attempt=2"}}};
    const std::array<Member, 2> call{{{"attempt", " attempt=3"}, {"n", " n=4"}}};
    EXPECT_EQ(merged({context, bound, call}), " request=1 user=bound attempt=3 n=4");
    EXPECT_EQ(merged({call, context}), " attempt=3 n=4 request=1 user=ctx");
    EXPECT_EQ(merged({{}, bound, {}}), " user=bound attempt=2");
    const std::array<Member, 2> repeated{{{"a", " a=1"}, {"a", " a=2"}}};
    EXPECT_EQ(merged({repeated}), " a=2");
}

TEST(LineMembers, DottedNames) {
    for (auto [text, want] : {std::pair{"user", "user"}, {" req.id", "req.id"}, {"_a.b_2.c ", "_a.b_2.c"}}) {
        std::string_view name;
        EXPECT_TRUE(dotted_name(text, name)) << text;
        EXPECT_EQ(name, want);
    }
    for (const char* text : {"", "a + b", "f(x)", "d['k']", "a.", ".a", "a..b", "2x", "a.2", "None", "True",
                             "caf\xc3\xa9", "a b"}) {
        std::string_view name;
        EXPECT_FALSE(dotted_name(text, name)) << text;
    }
}

TEST(LineMembers, TemplateStaticTextDoublesBraces) {
    Bytes out;
    append_template_static(out, "a {b} }{");
    EXPECT_EQ(out.view(), "a {{b}} }}{{");
}

}  // namespace
}  // namespace tarnwick
