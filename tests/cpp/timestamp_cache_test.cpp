#include "lib/timestamp_cache.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "lib/mono_clock.hpp"
#include "lib/settings.hpp"

namespace tarnwick {
namespace {

// 125/3 is Apple silicon's timebase: there ticks * 125 overflows 64 bits after about 40 days.
static_assert(scale_ticks(300'000'000'000'000'000, 125ull << 32 | 3) == 12'500'000'000'000'000'000u);
static_assert(scale_ticks(7, 1ull << 32 | 3) == 2);
static_assert(scale_ticks(UINT64_MAX, 1ull << 32 | 1) == UINT64_MAX);

struct AnchorCase {
    ThreadTimestampCache::Anchor anchor;
    std::uint64_t mono;
    std::optional<WallTime> time;  // nullopt: a new anchor is due
};
class AnchorArithmetic : public testing::TestWithParam<AnchorCase> {};

TEST_P(AnchorArithmetic, DerivesTimeOrAsksForNewAnchor) {
    EXPECT_EQ(ThreadTimestampCache::since_anchor(GetParam().anchor, GetParam().mono), GetParam().time);
}

INSTANTIATE_TEST_SUITE_P(Windows, AnchorArithmetic, testing::Values(
    AnchorCase{{1'000, 100, 900'000'000}, 1'000 + 200'000'000, WallTime{101, 100'000'000}},
    AnchorCase{{1'000, 100, 999'999'999}, 1'000 + 999'999'999, WallTime{101, 999'999'998}},
    AnchorCase{{1'000, 100, 0}, 1'000 + 999'999'999, WallTime{100, 999'999'999}},
    AnchorCase{{1'000, 100, 0}, 1'000 + 1'000'000'000, std::nullopt},
    AnchorCase{{1'000, 100, 0}, 999, std::nullopt}));  // counter behind the anchor

TEST(ThreadTimestampCache, FollowsWallClock) {
    ThreadTimestampCache clock;
    const WallTime t = clock.now();
    EXPECT_NEAR(static_cast<double>(t.seconds), static_cast<double>(std::time(nullptr)), 2.0);
    EXPECT_LT(t.nanos, 1'000'000'000u);
    EXPECT_NE(RATIO.load(), 0u);
}

// Sets TZ per test and puts back the zone and the never-reset flags, which other tests share.
class ZoneTest : public testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) saved_tz_ = tz;
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
    static void use_zone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    std::optional<std::string> saved_tz_;
    bool saved_color_ = false, saved_json_ = false;
};

const char* new_york() {
    struct stat st{};
    return stat("/usr/share/zoneinfo/America/New_York", &st) == 0 ? "America/New_York" : "EST5EDT,M3.2.0,M11.1.0";
}

struct ZoneCase {
    const char* tz;
    std::int64_t seconds;
    const char *local, *offset;
};
class LocalTexts : public ZoneTest, public testing::WithParamInterface<ZoneCase> {};

TEST_P(LocalTexts, RenderPlainGroup) {
    const ZoneCase& c = GetParam();
    use_zone(c.tz);
    TimestampCache cache;
    cache.refresh(c.seconds, TextGroup::Plain);
    const auto texts = cache.texts(TextGroup::Plain);
    EXPECT_EQ(texts.calendar_prefix, "time=" + std::string(c.local));
    EXPECT_EQ(texts.offset_suffix, std::string(c.offset) + " level=");
    EXPECT_EQ(texts.unix_prefix, "time=" + std::to_string(c.seconds) + ".");
}

// An offset with seconds (+05:30:45) shows hours and minutes; the local time still uses all of it.
INSTANTIATE_TEST_SUITE_P(Zones, LocalTexts, testing::Values(
    ZoneCase{"UTC0", 1'773'476'813, "2026-03-14T08:26:53.", "+00:00"},
    ZoneCase{"<-0530>5:30", 1'773'476'813, "2026-03-14T02:56:53.", "-05:30"},
    ZoneCase{"<+0530>-5:30:45", 1'773'476'813, "2026-03-14T13:57:38.", "+05:30"},
    ZoneCase{"<-0530>5:30:45", 1'773'476'813, "2026-03-14T02:56:08.", "-05:30"},
    ZoneCase{new_york(), 1'772'953'199, "2026-03-08T01:59:59.", "-05:00"},
    ZoneCase{new_york(), 1'772'953'200, "2026-03-08T03:00:00.", "-04:00"},
    ZoneCase{"UTC0", 951'782'400, "2000-02-29T00:00:00.", "+00:00"},
    ZoneCase{"UTC0", -1, "1969-12-31T23:59:59.", "+00:00"},
    ZoneCase{"UTC0", -62'135'596'800, "0001-01-01T00:00:00.", "+00:00"}));

using TimeGroups = ZoneTest;

TEST_F(TimeGroups, ColoredAndJsonTexts) {
    use_zone("CET-1");
    ANY_COLOR.store(true);
    ANY_JSON.store(true);
    TimestampCache cache;
    cache.refresh(1'773'476'813, TextGroup::Plain);
    const auto colored = cache.texts(TextGroup::Colored);
    EXPECT_EQ(colored.calendar_prefix, "\x1b[2mtime=\x1b[0m2026-03-14T09:26:53.");
    EXPECT_EQ(colored.offset_suffix, "+01:00 \x1b[2mlevel=\x1b[0m");
    EXPECT_EQ(colored.unix_prefix, "\x1b[2mtime=\x1b[0m1773476813.");
    const auto json = cache.texts(TextGroup::Json);
    EXPECT_EQ(json.calendar_prefix, R"({"time":"2026-03-14T09:26:53.)");
    EXPECT_EQ(json.offset_suffix, R"(+01:00","level":")");
    EXPECT_EQ(json.unix_prefix, R"({"time":1773476813.)");
}

// Without the flags a group appears on request only, and is then kept current.
TEST_F(TimeGroups, RenderedOnRequestThenKeptCurrent) {
    use_zone("UTC0");
    TimestampCache cache;
    cache.refresh(100, TextGroup::Plain);
    EXPECT_FALSE(cache.has(TextGroup::Colored) || cache.has(TextGroup::Json));
    for (const TextGroup group : {TextGroup::Colored, TextGroup::Json}) {
        cache.refresh(100, group);
        cache.refresh(101, TextGroup::Plain);
        EXPECT_TRUE(cache.texts(group).unix_prefix.ends_with("101."));
    }
}

}  // namespace
}  // namespace tarnwick
