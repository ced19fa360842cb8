#include "lib/clock_reader.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "lib/core_hooks.hpp"
#include "lib/mono_clock.hpp"
#include "lib/tsc_clock.hpp"

namespace tarnwick {
namespace {

// 125/3 is Apple silicon's timebase: there ticks * 125 overflows 64 bits after about 40 days.
static_assert(scale_ticks(300'000'000'000'000'000, 125ull << 32 | 3) == 12'500'000'000'000'000'000u);

TEST(TimestampAnchor, DerivesTimeOrAsksForNewAnchor) {
    using A = ClockReader::Anchor;
    EXPECT_EQ(ClockReader::since_anchor(A{1'000, 100, 900'000'000}, 1'000 + 200'000'000),
              (WallTime{101, 100'000'000}));
    EXPECT_EQ(ClockReader::since_anchor(A{1'000, 100, 0}, 1'000 + 999'999'999), (WallTime{100, 999'999'999}));
    EXPECT_EQ(ClockReader::since_anchor(A{1'000, 100, 0}, 1'000 + 1'000'000'000), std::nullopt);
    EXPECT_EQ(ClockReader::since_anchor(A{1'000, 100, 0}, 999), std::nullopt) << "counter behind the anchor";
}

// A counter that gives scripted readings, two for each try.
struct ScriptedCounter {
    std::vector<std::uint64_t> readings;
    std::size_t next = 0;
    std::uint64_t operator()() { return readings.at(next++); }
};

TEST(TightestWallReading, KeepsTheTightestPairAndStopsAtATightOne) {
    struct Case {
        std::vector<std::uint64_t> readings;
        std::uint64_t counter, spread;
        std::size_t reads;
    };
    const std::array<Case, 4> cases = {{
        {{1'000, 1'500, 2'000, 2'100, 3'000, 3'300}, 2'050, 100, 6},  // the middle try, not the last
        {{1'000, 1'040, 2'000, 2'010, 3'000, 3'001}, 1'020, 40, 2},   // the first is tight: no more tries
        {{1'000, 1'400, 2'000, 2'100, 3'000, 3'060}, 3'030, 60, 6},   // none tight: the tightest of three
        {{1'000, 1'300, 2'000, 2'050, 3'000, 3'100}, 2'025, 50, 4},   // tight on the second
    }};
    for (const Case& c : cases) {
        ScriptedCounter counter{c.readings};
        const WallReading r = tightest_wall_reading(counter, 50);
        EXPECT_EQ(r.counter, c.counter);
        EXPECT_EQ(r.spread, c.spread);
        EXPECT_EQ(counter.next, c.reads);
    }
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
            ClockReader clock;
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

// A counter of 3 ticks a nanosecond, offered with the wall clock a second apart unless the case moves
// the wall clock; `rates` is the rate in force after each offer (0: none).
struct CalibrationCase {
    const char* what;
    std::vector<double> wall_s;  // the wall clock at each offer, the counter having run one second more
    std::vector<double> rates;
};

TEST(RateCalibration, TakesARateOnlyWhenTwoConsecutiveSpansAgree) {
    constexpr double RATE = 1.0 / 3;
    const CalibrationCase cases[] = {
        {"steady", {0, 1, 2, 3}, {0, 0, RATE, RATE}},
        {"stepped 1 s forward in the first span", {0, 2, 3, 4, 5}, {0, 0, 0, RATE, RATE}},
        {"stepped 0.5 s forward later", {0, 1, 2, 3.5, 4.5, 5.5}, {0, 0, RATE, RATE, RATE, RATE}},
        {"stepped 1.5 s back", {0, 1, -0.5, 0.5, 1.5}, {0, 0, 0, RATE, RATE}},
    };
    for (const CalibrationCase& c : cases) {
        tsc::RateCalibration calibration;
        for (std::size_t i = 0; i < c.wall_s.size(); ++i) {
            const auto ticks = static_cast<std::uint64_t>(1'000'000 + 3'000'000'000.0 * static_cast<double>(i));
            const auto wall_ns = static_cast<std::int64_t>(1e18 + c.wall_s[i] * 1e9);
            EXPECT_NEAR(calibration.offer(ticks, wall_ns), c.rates[i], 1e-12) << c.what << ", offer " << i;
        }
    }
}

// A pair offered sooner than a span's length after the span's start neither ends it nor starts one.
TEST(RateCalibration, IgnoresPairsTooCloseToTheSpansStart) {
    tsc::RateCalibration calibration;
    const std::int64_t start = 1'000'000'000'000'000'000;
    EXPECT_EQ(calibration.offer(0, start), 0);
    EXPECT_EQ(calibration.offer(900'000'000, start + 300'000'000), 0);
    EXPECT_EQ(calibration.offer(3'000'000'000, start + 1'000'000'000), 0);
    EXPECT_NEAR(calibration.offer(6'000'000'000, start + 2'000'000'000), 1.0 / 3, 1e-12);
}

// Off the counter (TARNWICK_CLOCK=clock_gettime), times come from the monotonic clock alone.
TEST(ClockReader, UsesNoCounterWhenTheHooksSaySo) {
    static CoreHooks hooks = default_core_hooks();
    hooks.use_tsc = false;
    set_core_hooks(&hooks);
    ClockReader clock;
    const WallTime w = clock.now();
    set_core_hooks(nullptr);
    EXPECT_FALSE(clock.uses_tsc());
    EXPECT_LT(std::abs(w.seconds * 1'000'000'000 + w.nanos - realtime_ns()), 1'000'000'000);
}

}  // namespace
}  // namespace tarnwick
