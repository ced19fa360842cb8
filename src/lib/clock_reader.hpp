// Record time for one thread: the wall clock anchored to a cheap counter and re-read about once a
// second. Each ClockReader belongs to the one thread that made it; tightest_wall_reading is for any.
#pragma once

#include <time.h>

#include <cstdint>
#include <optional>

#include "lib/mono_clock.hpp"
#include "lib/tsc_clock.hpp"

namespace tarnwick {

struct WallTime {
    std::int64_t seconds;  // Unix seconds
    std::uint32_t nanos;   // 0 to 999,999,999
    friend bool operator==(const WallTime&, const WallTime&) = default;
};

// Reads the wall clock about once a second; in between, record times come from the monotonic
// counter alone (CLOCK_MONOTONIC, or the calibrated time-stamp counter where there is one), so a
// wall-clock step shows only at the next anchor. With the time-stamp counter the anchor is renewed
// when the second changes, together with the second's texts.
class ClockReader {
public:
    struct Anchor {
        std::uint64_t mono;    // mono_ns() when the wall clock was read (between two readings)
        std::int64_t seconds;  // the wall clock then
        std::uint32_t nanos;
    };

    ClockReader() { refresh(); }

    WallTime refresh();
    WallTime now() {
        if (ns_per_tick_ != 0) [[likely]] {
            const std::uint64_t ticks = tsc::read() - tsc_.ticks;
            const double elapsed = static_cast<double>(ticks) * ns_per_tick_;
            // Also a counter behind the anchor: the difference wraps to a huge value.
            if (elapsed < tsc_rest_) [[likely]] {
                const auto nanos = tsc_.nanos + static_cast<std::uint32_t>(elapsed);
                if (nanos > last_.nanos) last_.nanos = nanos;  // within the anchor's second
                return last_;
            }
            return refresh();
        }
        if (const auto time = since_anchor(anchor_, mono_ns())) {
            last_ = *time;  // so the first anchor on the counter does not go back behind it
            return last_;
        }
        return refresh();
    }

    // Whether times come from the time-stamp counter (until the next anchor).
    bool uses_tsc() const noexcept { return ns_per_tick_ != 0; }

    // The time at counter value `mono`, or nullopt when a new anchor is due: a full second or more
    // has passed, or the counter reads behind the anchor (the difference wraps to a huge value).
    static std::optional<WallTime> since_anchor(const Anchor& anchor, std::uint64_t mono) noexcept;

private:
    // How far the counter's estimate may have run ahead of the wall clock and be waited for.
    static constexpr std::int64_t MAX_HELD_NS = 10'000'000;

    WallTime anchor_tsc(const tsc::Anchor& anchor) noexcept;

    Anchor anchor_{};
    tsc::Anchor tsc_{};
    double ns_per_tick_ = 0;  // 0: the monotonic clock's anchor_ is in use
    double tsc_rest_ = 0;     // nanoseconds from tsc_ to the end of its second
    WallTime last_{};         // the latest time given; with the counter none is given below it
};

// CLOCK_REALTIME read between two readings of a counter, placed at their midpoint.
struct WallReading {
    std::uint64_t counter;  // the midpoint of the two counter readings
    std::uint64_t spread;   // how far apart they were
    timespec wall;
};

// The reading whose counter pair brackets the wall clock most tightly, of up to three, stopping at
// the first within `tight`: a pair split by preemption would misplace every time placed from it.
template <class Counter>
WallReading tightest_wall_reading(Counter&& counter, std::uint64_t tight) noexcept {
    WallReading best{0, ~std::uint64_t{0}, {}};
    for (int attempt = 0; attempt < 3 && best.spread > tight; ++attempt) {
        timespec wall{};
        const std::uint64_t before = counter();
        clock_gettime(CLOCK_REALTIME, &wall);
        const std::uint64_t after = counter();
        if (after - before < best.spread) best = WallReading{before + (after - before) / 2, after - before, wall};
    }
    return best;
}

}  // namespace tarnwick
