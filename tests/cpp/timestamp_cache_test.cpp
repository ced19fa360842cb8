#include "lib/timestamp_cache.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "lib/level.hpp"
#include "lib/mono_clock.hpp"
#include "lib/tsc_clock.hpp"

namespace tarnwick {
namespace {

// 125/3 is Apple silicon's timebase: there ticks * 125 overflows 64 bits after about 40 days.
static_assert(scale_ticks(300'000'000'000'000'000, 125ull << 32 | 3) == 12'500'000'000'000'000'000u);

TEST(TimestampAnchor, DerivesTimeOrAsksForNewAnchor) {
    using A = ThreadTimestampCache::Anchor;
    EXPECT_EQ(ThreadTimestampCache::since_anchor(A{1'000, 100, 900'000'000}, 1'000 + 200'000'000),
              (WallTime{101, 100'000'000}));
    EXPECT_EQ(ThreadTimestampCache::since_anchor(A{1'000, 100, 0}, 1'000 + 999'999'999), (WallTime{100, 999'999'999}));
    EXPECT_EQ(ThreadTimestampCache::since_anchor(A{1'000, 100, 0}, 1'000 + 1'000'000'000), std::nullopt);
    EXPECT_EQ(ThreadTimestampCache::since_anchor(A{1'000, 100, 0}, 999), std::nullopt) << "counter behind the anchor";
}

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

std::int64_t realtime_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// Over several seconds (so across second boundaries, and past the counter's calibration) on
// several threads: every thread's times never go back, and each lies within 2 us of the wall
// clock read just before and just after it.
TEST(TscClock, TimesAreMonotonicAndWithinTwoMicrosecondsOfTheWallClock) {
    constexpr int THREADS = 3;
    constexpr std::int64_t TOLERANCE_NS = 2'000;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3'500);
    std::vector<std::string> failures(THREADS);
    std::vector<int> seconds_seen(THREADS), tsc_used(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            ThreadTimestampCache clock;
            std::int64_t last = 0, last_second = -1;
            while (std::chrono::steady_clock::now() < end && failures[t].empty()) {
                const std::int64_t before = realtime_ns();
                const WallTime w = clock.now();
                const std::int64_t after = realtime_ns();
                const std::int64_t got = w.seconds * 1'000'000'000 + w.nanos;
                if (got < last) failures[t] = "went back by " + std::to_string(last - got) + " ns";
                if (got < before - TOLERANCE_NS || got > after + TOLERANCE_NS)
                    failures[t] = std::to_string(got - before) + " ns from the wall clock read before, " +
                                  std::to_string(after - got) + " ns before the one after";
                last = got;
                if (w.seconds != last_second) ++seconds_seen[t];
                last_second = w.seconds;
                tsc_used[t] += clock.uses_tsc() ? 1 : 0;
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < THREADS; ++t) {
        EXPECT_EQ(failures[t], "") << "thread " << t;
        EXPECT_GE(seconds_seen[t], 3) << "thread " << t;
        if (tsc::invariant()) {
            EXPECT_GT(tsc_used[t], 0) << "thread " << t << " never used the counter";
        }
    }
}

}  // namespace
}  // namespace tarnwick
