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
// Rates outside 100 MHz to 20 GHz, or a new rate more than 100 ppm from the last, mean a wall-clock
// step between the pairs rather than the counter's rate: the rate stays, a new span starts.
constexpr double MIN_NS_PER_TICK = 0.05, MAX_NS_PER_TICK = 10.0, MAX_RATE_CHANGE = 1e-4;

struct Calibration {
    std::mutex lock;
    bool has_start = false;
    std::uint64_t start_ticks = 0;
    std::int64_t start_ns = 0;
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
    if (c.has_start && ticks > c.start_ticks && wall_ns > c.start_ns) {
        if (wall_ns - c.start_ns < CALIBRATION_SPAN_NS) return;  // too short a span yet
        const double rate = static_cast<double>(wall_ns - c.start_ns) / static_cast<double>(ticks - c.start_ticks);
        const double old = std::bit_cast<double>(c.ns_per_tick_bits.load(std::memory_order_relaxed));
        const bool sane = rate >= MIN_NS_PER_TICK && rate <= MAX_NS_PER_TICK &&
                          (old == 0 || (rate > old * (1 - MAX_RATE_CHANGE) && rate < old * (1 + MAX_RATE_CHANGE)));
        if (sane) c.ns_per_tick_bits.store(std::bit_cast<std::uint64_t>(rate), std::memory_order_relaxed);
    }
    // Otherwise the wall clock stepped back (or the counter did): a new span starts here.
    c.has_start = true;
    c.start_ticks = ticks;
    c.start_ns = wall_ns;
}

}  // namespace

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
