// The CPU's time-stamp counter as a cheap wall clock for record times. clock_gettime on a
// virtual machine runs an ordered rdtsc that waits for earlier work to retire; an unordered read
// costs a few cycles. It is used only where the CPU promises an invariant counter (constant rate,
// running in every sleep state) and only once its rate against CLOCK_REALTIME has been measured;
// each thread re-anchors counter and wall clock once a second (ThreadTimestampCache). Any thread.
#pragma once

#include <cstdint>

namespace tarnwick::tsc {

// The counter, read without ordering (no fence: the read may pass earlier work, which costs far
// less than the ordered read's wait and errs by nanoseconds); 0 where there is none (not x86-64).
inline std::uint64_t read() noexcept {
#if defined(__x86_64__)
    return __builtin_ia32_rdtsc();
#else
    return 0;
#endif
}

// Whether the CPU reports an invariant counter (CPUID 0x80000007, EDX bit 8).
bool invariant() noexcept;

// A counter value and CLOCK_REALTIME read together.
struct Anchor {
    std::uint64_t ticks;
    std::int64_t seconds;
    std::uint32_t nanos;
};

// Reads a pair and offers it to the process-wide calibration. Returns the pair and the current
// nanoseconds per tick, or 0 when the counter is not to be used (not invariant, turned off by
// CoreHooks::use_tsc, not calibrated yet).
struct Reading {
    Anchor anchor;
    double ns_per_tick;
};
Reading anchor_and_calibrate() noexcept;

// The calibration from pairs at least this far apart; consecutive such pairs refine it.
inline constexpr std::int64_t CALIBRATION_SPAN_NS = 500'000'000;

// The counter's rate (nanoseconds per tick), judged from pairs of counter and wall-clock readings
// offered over time. A wall-clock step inside a span shows as a rate unlike its neighbours', so a
// span's rate is taken only when the span before agrees with it, and then replaces any earlier
// one: a step inside the first span is outvoted by the next two instead of kept for good. One
// instance per process (behind a lock); not thread-safe itself.
class RateCalibration {
public:
    // Offers a pair read together; returns the rate in force afterwards, 0 while there is none.
    double offer(std::uint64_t ticks, std::int64_t wall_ns) noexcept;

private:
    bool has_start_ = false;
    std::uint64_t start_ticks_ = 0;
    std::int64_t start_ns_ = 0;
    double last_span_rate_ = 0;  // the latest span's rate; 0: none yet, or an impossible one
    double rate_ = 0;
};

}  // namespace tarnwick::tsc
