#include "lib/record_line.hpp"

#include <gtest/gtest.h>
#include <time.h>

#include <optional>
#include <string>

#include "lib/json_escape.hpp"

namespace tarnwick {
namespace {

// 2026-03-14 09:26:53.589793238 at +01:00.
constexpr WallTime EXAMPLE{1'773'476'813, 589'793'238};
constexpr LineStyle PLAIN{false, false, false}, PLAIN_UNIX{false, true, false}, COLOR{false, false, true},
    COLOR_UNIX{false, true, true}, JSON{true, false, false}, JSON_UNIX{true, true, false};
const std::string D(TARNWICK_DIM), R(TARNWICK_RESET), MSG = "user 42 logged in";

// Text lines escape exactly like JSON: a line feed or ESC in a field can neither forge a record
// nor reach a terminal raw.
const std::string HOSTILE = "say \"hi\"\\\ntime=0 level=error msg=\"forged\"\x1b[2J\x01";
const std::string HOSTILE_ESCAPED = R"(say \"hi\"\\\ntime=0 level=error msg=\"forged\"\u001b[2J\u0001)";

struct LineCase {
    LineStyle style;
    WallTime now;
    Level level;
    std::optional<std::string> name;
    std::string message, line;
};

class RecordLines : public testing::TestWithParam<LineCase> {};

TEST_P(RecordLines, MatchByteForByte) {
    const LineCase& c = GetParam();
    setenv("TZ", "CET-1", 1);  // no test depends on the zone it starts in
    tzset();
    Bytes out;
    out.append("previous line\n");
    TimestampCache cache;
    const std::string escaped = c.name ? json_escaped(*c.name) : std::string();
    std::optional<EscapedName> name;
    if (c.name) name = escaped_name(escaped);
    render_line(out, cache, c.now, c.level, c.style, name, c.message);
    EXPECT_EQ(out.view(), "previous line\n" + c.line);
    // The same line in two steps, as a message formatted straight into the batch is.
    Bytes parts;
    const std::size_t start = open_line(parts, cache, c.now, c.level, c.style, name, 0);
    parts.append(c.message);
    close_line(parts, start, c.style, {});
    EXPECT_EQ(parts.view(), c.line);
}

std::string case_name(const testing::TestParamInfo<LineCase>& p) {
    const LineStyle& s = p.param.style;
    const char* shape = s.json ? "json" : s.color ? "color" : "plain";
    return shape + std::string(s.unix_ts ? "_unix_" : "_calendar_") + std::to_string(p.index);
}

// The six shapes; short fractions keep their leading zeros; -1 is also the cache's "no second yet";
// an unnamed logger has no name member, an empty name an empty one; escaping of names and messages;
// in text, names that could end their value or forge a member are quoted like the message.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Lines, RecordLines, testing::Values(
    LineCase{PLAIN, EXAMPLE, Level::Info, "app", MSG, "time=2026-03-14T09:26:53.589793+01:00 level=info name=app msg=\"user 42 logged in\"\n"},
    LineCase{PLAIN_UNIX, EXAMPLE, Level::Info, "app", MSG, "time=1773476813.589793238 level=info name=app msg=\"user 42 logged in\"\n"},
    LineCase{COLOR, EXAMPLE, Level::Info, "app", MSG, D + "time=" + R + "2026-03-14T09:26:53.589793+01:00 " + D + "level=" + R +
             "\x1b[32minfo" + R + " " + D + "name=" + R + "app " + D + "msg=" + R + "\"user 42 logged in\"\n"},
    LineCase{COLOR_UNIX, EXAMPLE, Level::Info, "app", MSG, D + "time=" + R + "1773476813.589793238 " + D + "level=" + R +
             "\x1b[32minfo" + R + " " + D + "name=" + R + "app " + D + "msg=" + R + "\"user 42 logged in\"\n"},
    LineCase{JSON, EXAMPLE, Level::Info, "app", MSG, R"({"time":"2026-03-14T09:26:53.589793+01:00","level":"info","name":"app","msg":"user 42 logged in"})" "\n"},
    LineCase{JSON_UNIX, EXAMPLE, Level::Info, "app", MSG, R"({"time":1773476813.589793238,"level":"info","name":"app","msg":"user 42 logged in"})" "\n"},
    LineCase{PLAIN, {EXAMPLE.seconds, 5'000}, Level::Warn, "a", "m", "time=2026-03-14T09:26:53.000005+01:00 level=warn name=a msg=\"m\"\n"},
    LineCase{PLAIN, {-1, 0}, Level::Error, "a", "m", "time=1970-01-01T00:59:59.000000+01:00 level=error name=a msg=\"m\"\n"},
    LineCase{JSON_UNIX, {EXAMPLE.seconds, 0}, Level::Trace, "a", "m", R"({"time":1773476813.000000000,"level":"trace","name":"a","msg":"m"})" "\n"},
    LineCase{PLAIN, EXAMPLE, Level::Debug, std::nullopt, "m", "time=2026-03-14T09:26:53.589793+01:00 level=debug msg=\"m\"\n"},
    LineCase{PLAIN, EXAMPLE, Level::Info, "", "m", "time=2026-03-14T09:26:53.589793+01:00 level=info name=\"\" msg=\"m\"\n"},
    LineCase{JSON_UNIX, EXAMPLE, Level::Info, std::nullopt, "m", R"({"time":1773476813.589793238,"level":"info","msg":"m"})" "\n"},
    LineCase{JSON_UNIX, EXAMPLE, Level::Info, "", "m", R"({"time":1773476813.589793238,"level":"info","name":"","msg":"m"})" "\n"},
    LineCase{PLAIN_UNIX, EXAMPLE, Level::Info, "a\nb c", HOSTILE, "time=1773476813.589793238 level=info name=\"a\\nb c\" msg=\"" + HOSTILE_ESCAPED + "\"\n"},
    LineCase{COLOR_UNIX, EXAMPLE, Level::Error, "\x1b]0;x\a", "", D + "time=" + R + "1773476813.589793238 " + D + "level=" + R +
             "\x1b[31merror" + R + " " + D + "name=" + R + "\"\\u001b]0;x\\u0007\" " + D + "msg=" + R + "\"\"\n"},
    LineCase{PLAIN_UNIX, EXAMPLE, Level::Info, "svc level=error msg=\"forged\"", "real",
             R"(time=1773476813.589793238 level=info name="svc level=error msg=\"forged\"" msg="real")" "\n"},
    LineCase{PLAIN_UNIX, EXAMPLE, Level::Info, "a=b", "m", R"(time=1773476813.589793238 level=info name="a=b" msg="m")" "\n"},
    LineCase{PLAIN_UNIX, EXAMPLE, Level::Info, "a\x7f", "m", "time=1773476813.589793238 level=info name=\"a\x7f\" msg=\"m\"\n"},
    LineCase{PLAIN_UNIX, EXAMPLE, Level::Info, "C:\\x/y.z-\xc3\xa9", "m", R"(time=1773476813.589793238 level=info name=C:\\x/y.z-é msg="m")" "\n"},
    LineCase{JSON_UNIX, EXAMPLE, Level::Info, "a b=c", "m", R"({"time":1773476813.589793238,"level":"info","name":"a b=c","msg":"m"})" "\n"},
    LineCase{JSON_UNIX, EXAMPLE, Level::Info, "a\"b", HOSTILE, R"({"time":1773476813.589793238,"level":"info","name":"a\"b","msg":")" + HOSTILE_ESCAPED + "\"}\n"}),
    case_name);
// clang-format on

}  // namespace
}  // namespace tarnwick
