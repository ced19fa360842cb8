#include "lib/timestamp_cache.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick {
namespace {

// No test depends on the zone it starts in, so none puts it back.
void use_zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

TEST(TimestampCache, PlainTextsFollowOffsetsAndDst) {
    struct stat st {};
    const char* new_york =
        stat("/usr/share/zoneinfo/America/New_York", &st) == 0 ? "America/New_York" : "EST5EDT,M3.2.0,M11.1.0";
    // clang-format off
    struct { const char* tz; std::int64_t seconds; const char *local, *offset; } const table[] = {
        {"UTC0", 1'773'476'813, "2026-03-14T08:26:53.", "+00:00"},
        {"<-0530>5:30", 1'773'476'813, "2026-03-14T02:56:53.", "-05:30"},
        {"<+0530>-5:30:45", 1'773'476'813, "2026-03-14T13:57:38.", "+05:30"},  // seconds of offset not shown
        {new_york, 1'772'953'199, "2026-03-08T01:59:59.", "-05:00"},
        {new_york, 1'772'953'200, "2026-03-08T03:00:00.", "-04:00"},
        {"UTC0", -1, "1969-12-31T23:59:59.", "+00:00"}};
    // clang-format on
    for (const auto& c : table) {
        use_zone(c.tz);
        TimestampCache cache;
        cache.refresh(c.seconds, TextGroup::Plain);
        const auto texts = cache.texts(TextGroup::Plain);
        EXPECT_EQ(texts.calendar_prefix, "time=" + std::string(c.local));
        EXPECT_EQ(texts.offset_suffix, std::string(c.offset) + " level=");
        EXPECT_EQ(texts.unix_prefix, "time=" + std::to_string(c.seconds) + ".");
    }
}

// A group appears on request only, and is then kept current with the second.
TEST(TimestampCache, ColoredAndJsonGroupsRenderedOnDemand) {
    use_zone("CET-1");
    TimestampCache cache;
    cache.refresh(1'773'476'812, TextGroup::Plain);
    EXPECT_FALSE(cache.has(TextGroup::Colored) || cache.has(TextGroup::Json));
    cache.refresh(1'773'476'812, TextGroup::Colored);
    cache.refresh(1'773'476'812, TextGroup::Json);
    cache.refresh(1'773'476'813, TextGroup::Plain);
    const auto colored = cache.texts(TextGroup::Colored), json = cache.texts(TextGroup::Json);
    EXPECT_EQ(colored.calendar_prefix, "\x1b[2mtime=\x1b[0m2026-03-14T09:26:53.");
    EXPECT_EQ(colored.offset_suffix, "+01:00 \x1b[2mlevel=\x1b[0m");
    EXPECT_EQ(colored.unix_prefix, "\x1b[2mtime=\x1b[0m1773476813.");
    EXPECT_EQ(json.calendar_prefix, R"({"time":"2026-03-14T09:26:53.)");
    EXPECT_EQ(json.offset_suffix, R"(+01:00","level":")");
    EXPECT_EQ(json.unix_prefix, R"({"time":1773476813.)");
}

}  // namespace
}  // namespace tarnwick
