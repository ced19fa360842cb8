#include <gtest/gtest.h>
#include <time.h>

#include <string>
#include <vector>

#include "lib/record_line.hpp"

namespace tarnwick {
namespace {

constexpr WallTime NOW{1'773'476'813, 589'793'238};
constexpr LineStyle PLAIN_UNIX{false, true, false}, COLOR{false, false, true}, JSON_UNIX{true, true, false};
const std::string D(TARNWICK_DIM), R(TARNWICK_RESET);

struct Steps {
    Bytes out;
    TimestampCache cache;
    std::size_t start = 0;

    // The record as log calls with arguments build it: the message is formatted raw into the batch.
    std::string_view line(LineStyle style, std::string_view message, std::string_view tail, std::size_t room) {
        const std::size_t before = out.size();
        start = open_line(out, cache, NOW, Level::Info, style, escaped_name("app"), room);
        EXPECT_EQ(start, out.size());
        out.append(message);
        close_line(out, start, style, tail);
        return out.view().substr(before);
    }
};

// The tail follows the message's closing quote in the line's own shape; a message that needs escapes
// is escaped in place, however far it grew past the room asked for.
TEST(LineSteps, TailFollowsTheEscapedMessage) {
    setenv("TZ", "CET-1", 1);
    tzset();
    const std::string hostile = "a\"b\\c\nd\x1b[31m" + std::string(5000, '\t');
    std::string escaped = R"(a\"b\\c\nd\u001b[31m)";
    for (int i = 0; i < 5000; ++i) escaped += "\\t";
    struct Case {
        LineStyle style;
        std::string tail, head, end;
    } cases[] = {
        {PLAIN_UNIX, " k=1", "time=1773476813.589793238 level=info name=app msg=\"", "\" k=1\n"},
        {COLOR, " " + D + "k=" + R + "1", D + "time=" + R + "2026-03-14T09:26:53.589793+01:00 " + D + "level=" + R +
             "\x1b[32minfo" + R + " " + D + "name=" + R + "app " + D + "msg=" + R + "\"",
         "\" " + D + "k=" + R + "1\n"},
        {JSON_UNIX, R"(,"k":1)", R"({"time":1773476813.589793238,"level":"info","name":"app","msg":")", "\",\"k\":1}\n"},
    };
    for (const Case& c : cases) {
        for (const std::size_t room : {std::size_t{0}, std::size_t{1} << 16}) {
            Steps steps;
            steps.out.append("earlier line\n");
            EXPECT_EQ(steps.line(c.style, hostile, c.tail, room), c.head + escaped + c.end);
            EXPECT_EQ(steps.out.view().substr(0, 13), "earlier line\n");
            EXPECT_EQ(steps.line(c.style, "", c.tail, room), c.head + c.end) << "an empty message after it";
        }
    }
}

// Bytes that are not UTF-8 pass through as they are (the binding hands over valid text); control
// bytes and DEL are escaped or kept exactly as the one-step line does, with and without a tail.
TEST(LineSteps, MatchTheOneStepLineForAnyBytes) {
    const std::vector<std::string> messages = {"\xff\xfe\xc3", std::string("nul\0byte", 8), "\x7f\x01\x1f\r",
                                               std::string(1 << 20, 'x') + "\n"};
    for (const LineStyle style : {PLAIN_UNIX, COLOR, JSON_UNIX}) {
        for (const std::string_view tail : {"", style.json ? R"(,"k":1)" : " k=1"}) {
            for (const std::string& message : messages) {
                Steps steps;
                Bytes one;
                render_line(one, steps.cache, NOW, Level::Info, style, escaped_name("app"), message, tail);
                EXPECT_EQ(steps.line(style, message, tail, 8), one.view());
            }
        }
    }
}

}  // namespace
}  // namespace tarnwick
