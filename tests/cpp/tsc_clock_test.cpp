#include "lib/tsc_clock.hpp"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "lib/timestamp_cache.hpp"

namespace tarnwick {
namespace {

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
