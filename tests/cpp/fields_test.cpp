#include "lib/fields.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarnwick {
namespace {

constexpr LineStyle PLAIN{false, true, false}, COLOR{false, true, true}, JSON{true, true, false};

TEST(Fields, EachShapeWithTextAndBareValues) {
    struct Case {
        LineStyle style;
        std::string want;
    };
    for (const Case& c : {Case{PLAIN, R"( id="a\"b\n\u001b" n=42)"},
                          Case{COLOR, " \x1b[2mid=\x1b[0m\"a\\\"b\\n\\u001b\" \x1b[2mn=\x1b[0m42"},
                          Case{JSON, R"(,"id":"a\"b\n\u001b","n":42)"}}) {
        Bytes out;
        append_text_field(out, c.style, "id", "a\"b\n\x1b");
        append_bare_field(out, c.style, "n", "42");
        EXPECT_EQ(out.view(), c.want);
    }
}

TEST(Fields, KeysAreClassifiedAndOutsideKeysRenamed) {
    for (const char* k : {"a", "_", "req.id", "user-agent", "A9", "exceptional", "names"}) {
        EXPECT_EQ(classify_field_key(k), FieldKey::Valid) << k;
    }
    for (const char* k : {"", "9a", ".a", "-a", "a b", "a=b", "a\"", "\xc3\xa9t\xc3\xa9", "a\n"}) {
        EXPECT_EQ(classify_field_key(k), FieldKey::Invalid) << k;
    }
    for (const char* k : {"time", "level", "name", "msg", "exception.type", "exception."}) {
        EXPECT_EQ(classify_field_key(k), FieldKey::Reserved) << k;
    }
    EXPECT_EQ(outside_field_key("user_id"), "user_id");
    EXPECT_EQ(outside_field_key("msg"), "extra.msg");
    EXPECT_EQ(outside_field_key("stack"), "extra.stack");
    EXPECT_EQ(outside_field_key("exception.type"), "extra.exception.type");
    EXPECT_EQ(outside_field_key("a b=\"\xc3\xa9\n"), "extra.a_b____");
    EXPECT_EQ(outside_field_key(""), "extra.");
}

TEST(Fields, EachKeyOnceAndKeysGivenAsTheyAreWin) {
    FieldSet set;
    set.add("extra.time", " extra.time=1", true);   // from "time"
    set.add("a", " a=1", false);
    set.add("extra.time", " extra.time=2", false);  // given as it is: replaces, in place
    set.add("extra.time", " extra.time=3", true);   // renamed: loses to it
    set.add("extra.a_b", " extra.a_b=4", true);     // from "a b"
    set.add("a", " a=5", false);                    // as binding again
    set.add("extra.a_b", " extra.a_b=6", true);     // from "a\tb": the later renamed one
    Bytes out;
    set.append_to(out);
    EXPECT_EQ(out.view(), " extra.time=2 a=5 extra.a_b=6");
}

TEST(Fields, LongTextKeepsBothEndsOnCharacterBoundaries) {
    EXPECT_EQ(cap_long_text(std::string(LONG_TEXT_LIMIT, 'x')), std::string(LONG_TEXT_LIMIT, 'x'));
    // Two-byte characters whose boundaries fall one byte off both cuts.
    const std::string text = "a" + [] {
        std::string s;
        for (int i = 0; i < 10'000; ++i) s += "\xc3\xa9";
        return s;
    }() + "z";
    const std::string capped = cap_long_text(text);
    const std::size_t mark = capped.find("\n[... ");
    ASSERT_NE(mark, std::string::npos);
    EXPECT_EQ(capped.substr(0, mark), text.substr(0, LONG_TEXT_HALF - 1));
    const std::size_t tail_at = capped.find("]\n") + 2;
    EXPECT_EQ(capped.substr(tail_at), text.substr(text.size() - LONG_TEXT_HALF + 1));
    const std::size_t left_out = text.size() - (LONG_TEXT_HALF - 1) * 2;
    EXPECT_EQ(capped.substr(mark, tail_at - mark), "\n[... " + std::to_string(left_out) + " bytes left out ...]\n");
}

}  // namespace
}  // namespace tarnwick
