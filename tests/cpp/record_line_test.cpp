#include "lib/record_line.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <time.h>

#include "lib/json_escape.hpp"
#include "lib/settings.hpp"

namespace tarnwick {
namespace {

// The worked example: 2026-03-14 09:26:53.589793238 at +01:00.
constexpr WallTime EXAMPLE{1'773'476'813, 589'793'238};
const std::string D(DIM);
const std::string R(RESET);

constexpr LineStyle PLAIN{false, false, false};
constexpr LineStyle PLAIN_UNIX{false, true, false};
constexpr LineStyle COLOR{false, false, true};
constexpr LineStyle COLOR_UNIX{false, true, true};
constexpr LineStyle JSON{true, false, false};
constexpr LineStyle JSON_UNIX{true, true, false};

struct LineCase {
    LineStyle style;
    WallTime now;
    Level level;
    std::optional<std::string> name;
    std::string message;
    std::string line;
};

// Runs in a fixed zone with the never-reset flags cleared, so every group is rendered on demand.
class RecordLineTest : public testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) saved_tz_ = tz;
        setenv("TZ", "CET-1", 1);
        tzset();
        saved_color_ = ANY_COLOR.exchange(false);
        saved_json_ = ANY_JSON.exchange(false);
    }
    void TearDown() override {
        if (saved_tz_) setenv("TZ", saved_tz_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
        ANY_COLOR.store(saved_color_);
        ANY_JSON.store(saved_json_);
    }
private:
    std::optional<std::string> saved_tz_;
    bool saved_color_ = false, saved_json_ = false;
};

class RecordLines : public RecordLineTest, public testing::WithParamInterface<LineCase> {};

TEST_P(RecordLines, MatchByteForByte) {
    Bytes out;
    out.append("previous line\n");
    TimestampCache cache;
    const LineCase& c = GetParam();
    std::optional<EscapedName> name;
    const std::string escaped = c.name ? json_escaped(*c.name) : std::string();
    if (c.name) name = EscapedName{escaped};
    render_line(out, cache, c.now, c.level, c.style, name, c.message);
    EXPECT_EQ(out.view(), "previous line\n" + GetParam().line);
}

const std::string MSG = "user 42 logged in";
const std::string COLORED_INFO = "\x1b[32minfo\x1b[0m";

INSTANTIATE_TEST_SUITE_P(WorkedExample, RecordLines, testing::Values(
    LineCase{PLAIN, EXAMPLE, Level::Info, "app", MSG,
             "time=2026-03-14T09:26:53.589793+01:00 level=info name=app msg=\"user 42 logged in\"\n"},
    LineCase{PLAIN_UNIX, EXAMPLE, Level::Info, "app", MSG,
             "time=1773476813.589793238 level=info name=app msg=\"user 42 logged in\"\n"},
    LineCase{COLOR, EXAMPLE, Level::Info, "app", MSG,
             D + "time=" + R + "2026-03-14T09:26:53.589793+01:00 " + D + "level=" + R + COLORED_INFO + " " + D +
                 "name=" + R + "app " + D + "msg=" + R + "\"user 42 logged in\"\n"},
    LineCase{COLOR_UNIX, EXAMPLE, Level::Info, "app", MSG,
             D + "time=" + R + "1773476813.589793238 " + D + "level=" + R + COLORED_INFO + " " + D + "name=" + R +
                 "app " + D + "msg=" + R + "\"user 42 logged in\"\n"},
    LineCase{JSON, EXAMPLE, Level::Info, "app", MSG,
             R"({"time":"2026-03-14T09:26:53.589793+01:00","level":"info","name":"app","msg":"user 42 logged in"})" "\n"},
    LineCase{JSON_UNIX, EXAMPLE, Level::Info, "app", MSG,
             R"({"time":1773476813.589793238,"level":"info","name":"app","msg":"user 42 logged in"})" "\n"}));

INSTANTIATE_TEST_SUITE_P(Fractions, RecordLines, testing::Values(
    LineCase{PLAIN, {EXAMPLE.seconds, 5'000}, Level::Warn, "a", "m", "time=2026-03-14T09:26:53.000005+01:00 level=warn name=a msg=\"m\"\n"},
    LineCase{PLAIN_UNIX, {EXAMPLE.seconds, 5'000}, Level::Warn, "a", "m", "time=1773476813.000005000 level=warn name=a msg=\"m\"\n"},
    LineCase{JSON, {EXAMPLE.seconds, 999}, Level::Debug, "a", "m", R"({"time":"2026-03-14T09:26:53.000000+01:00","level":"debug","name":"a","msg":"m"})" "\n"},
    LineCase{JSON_UNIX, {EXAMPLE.seconds, 0}, Level::Trace, "a", "m", R"({"time":1773476813.000000000,"level":"trace","name":"a","msg":"m"})" "\n"},
    // -1 is also the cache's "no second yet" value
    LineCase{PLAIN, {-1, 0}, Level::Error, "a", "m", "time=1970-01-01T00:59:59.000000+01:00 level=error name=a msg=\"m\"\n"}));

INSTANTIATE_TEST_SUITE_P(Names, RecordLines, testing::Values(
    LineCase{PLAIN, EXAMPLE, Level::Info, std::nullopt, "m", "time=2026-03-14T09:26:53.589793+01:00 level=info msg=\"m\"\n"},
    LineCase{PLAIN, EXAMPLE, Level::Info, "", "m", "time=2026-03-14T09:26:53.589793+01:00 level=info name= msg=\"m\"\n"},
    LineCase{COLOR_UNIX, EXAMPLE, Level::Error, std::nullopt, "",
             D + "time=" + R + "1773476813.589793238 " + D + "level=" + R + "\x1b[31merror\x1b[0m " + D + "msg=" + R + "\"\"\n"},
    LineCase{JSON_UNIX, EXAMPLE, Level::Info, std::nullopt, "m", R"({"time":1773476813.589793238,"level":"info","msg":"m"})" "\n"},
    LineCase{JSON_UNIX, EXAMPLE, Level::Info, "", "m", R"({"time":1773476813.589793238,"level":"info","name":"","msg":"m"})" "\n"}));

// Text lines escape exactly like JSON: a line feed or ESC in a field can neither start a forged
// record nor reach a terminal raw.
const std::string HOSTILE = "say \"hi\"\\\ntime=0 level=error msg=\"forged\"\x1b[2J\x01";
const std::string HOSTILE_ESCAPED = R"(say \"hi\"\\\ntime=0 level=error msg=\"forged\"\u001b[2J\u0001)";

INSTANTIATE_TEST_SUITE_P(Escaping, RecordLines, testing::Values(
    LineCase{PLAIN_UNIX, EXAMPLE, Level::Info, "a\nb c", HOSTILE,
             "time=1773476813.589793238 level=info name=a\\nb c msg=\"" + HOSTILE_ESCAPED + "\"\n"},
    LineCase{COLOR_UNIX, EXAMPLE, Level::Info, "\x1b]0;x\a", HOSTILE,
             D + "time=" + R + "1773476813.589793238 " + D + "level=" + R + COLORED_INFO + " " + D + "name=" + R +
                 "\\u001b]0;x\\u0007 " + D + "msg=" + R + "\"" + HOSTILE_ESCAPED + "\"\n"},
    LineCase{JSON_UNIX, EXAMPLE, Level::Info, "a\"b", HOSTILE,
             R"({"time":1773476813.589793238,"level":"info","name":"a\"b","msg":")" + HOSTILE_ESCAPED + "\"}\n"},
    LineCase{{true, true, true}, EXAMPLE, Level::Info, "caf\xc3\xa9", "\x7f",
             "{\"time\":1773476813.589793238,\"level\":\"info\",\"name\":\"caf\xc3\xa9\",\"msg\":\"\x7f\"}\n"}));

// One cache serving all six shapes in one second must fill each group on first use, and a new
// second must replace the time texts.
TEST_F(RecordLineTest, SharedCacheServesEveryShape) {
    TimestampCache cache;
    for (const LineStyle style : {PLAIN, COLOR, JSON, PLAIN_UNIX, COLOR_UNIX, JSON_UNIX}) {
        Bytes alone;
        TimestampCache fresh;
        render_line(alone, fresh, EXAMPLE, Level::Info, style, EscapedName{"app"}, MSG);
        Bytes shared;
        render_line(shared, cache, EXAMPLE, Level::Info, style, EscapedName{"app"}, MSG);
        EXPECT_EQ(shared.view(), alone.view());
    }
    Bytes next;
    render_line(next, cache, {EXAMPLE.seconds + 1, 0}, Level::Info, COLOR, EscapedName{"app"}, MSG);
    EXPECT_NE(next.view().find("2026-03-14T09:26:54.000000+01:00 "), std::string_view::npos);
    next.clear();
    render_line(next, cache, {EXAMPLE.seconds + 1, 0}, Level::Info, JSON_UNIX, EscapedName{"app"}, MSG);
    EXPECT_EQ(next.view().substr(0, 20), R"({"time":1773476814.0)");
}

TEST_F(RecordLineTest, GrownBufferIsNotReallocated) {
    Bytes out(4'096);
    const char* const data = out.data();
    TimestampCache cache;
    for (std::uint32_t i = 0; i < 20; ++i) {
        render_line(out, cache, {EXAMPLE.seconds + i / 4, i}, Level::Info, JSON, EscapedName{"app"}, HOSTILE);
    }
    EXPECT_EQ(out.data(), data);
    EXPECT_EQ(std::count(out.view().begin(), out.view().end(), '\n'), 20);
}

}  // namespace
}  // namespace tarnwick
