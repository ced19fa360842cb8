#include "lib/tsc_clock.hpp"

#include <atomic>
#include <bit>
#include <mutex>

#include "lib/clock_reader.hpp"
#include "lib/core_hooks.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace tarnwick::tsc {
namespace {

constexpr std::int64_t NS_PER_S = 1'000'000'000;
// A pair whose two counter reads lie further apart than this was interrupted: its wall time may
// belong anywhere between them, so it does not calibrate (about 3 us at 3 GHz).
constexpr std::uint64_t TIGHT_TICKS = 10'000;
// Rates outside 100 MHz to 20 GHz, or two consecutive spans more than 100 ppm apart, mean a wall-clock
// step inside a span rather than the counter's rate: the rate stays, a new span starts.
constexpr double MIN_NS_PER_TICK = 0.05, MAX_NS_PER_TICK = 10.0, MAX_RATE_CHANGE = 1e-4;

struct Calibration {
    std::mutex lock;
    RateCalibration rates;
    std::atomic<std::uint64_t> ns_per_tick_bits{0};  // a double's bits; 0 until calibrated
};

Calibration& calibration() noexcept {
    static Calibration c;
    return c;
}

double current_ns_per_tick() noexcept {
    return std::bit_cast<double>(calibration().ns_per_tick_bits.load(std::memory_order_relaxed));
}

void calibrate(std::uint64_t ticks, std::int64_t wall_ns) noexcept {
    Calibration& c = calibration();
    // Never waits: a pair is only an offer, and a lock held across fork() stays held in the child.
    std::unique_lock guard(c.lock, std::try_to_lock);
    if (!guard.owns_lock()) return;
    const double rate = c.rates.offer(ticks, wall_ns);
    if (rate != 0) c.ns_per_tick_bits.store(std::bit_cast<std::uint64_t>(rate), std::memory_order_relaxed);
}

}  // namespace

double RateCalibration::offer(std::uint64_t ticks, std::int64_t wall_ns) noexcept {
    if (has_start_ && ticks > start_ticks_ && wall_ns > start_ns_) {
        if (wall_ns - start_ns_ < CALIBRATION_SPAN_NS) return rate_;  // too short a span yet
        const double span_rate = static_cast<double>(wall_ns - start_ns_) / static_cast<double>(ticks - start_ticks_);
        const bool possible = span_rate >= MIN_NS_PER_TICK && span_rate <= MAX_NS_PER_TICK;
        // Never true while the span before gave no rate (last_span_rate_ is 0).
        if (possible && span_rate > last_span_rate_ * (1 - MAX_RATE_CHANGE) &&
            span_rate < last_span_rate_ * (1 + MAX_RATE_CHANGE)) {
            rate_ = span_rate;
        }
        last_span_rate_ = possible ? span_rate : 0;
    }
    // Otherwise the wall clock stepped back (or the counter did): a new span starts here.
    has_start_ = true;
    start_ticks_ = ticks;
    start_ns_ = wall_ns;
    return rate_;
}

#if defined(__x86_64__)
bool invariant() noexcept {
    static const bool result = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        return __get_cpuid(0x80000007u, &a, &b, &c, &d) != 0 && (d & (1u << 8)) != 0;
    }();
    return result;
}
#else
bool invariant() noexcept { return false; }
#endif

Reading anchor_and_calibrate() noexcept {
    const bool use = invariant() && core_hooks().use_tsc;
    const WallReading reading = tightest_wall_reading([use] { return use ? read() : 0; }, TIGHT_TICKS);
    const Anchor anchor{reading.counter, static_cast<std::int64_t>(reading.wall.tv_sec),
                        static_cast<std::uint32_t>(reading.wall.tv_nsec)};
    if (!use) return Reading{anchor, 0};
    if (reading.spread <= TIGHT_TICKS) calibrate(anchor.ticks, anchor.seconds * NS_PER_S + anchor.nanos);
    return Reading{anchor, current_ns_per_tick()};
}

}  // namespace tarnwick::tsc
