#include "lib/clock_reader.hpp"

#include "lib/core_hooks.hpp"

namespace tarnwick {
namespace {

// A monotonic reading pair closer than this places the wall clock well enough.
constexpr std::uint64_t TIGHT_NS = 200;

}  // namespace

WallTime ClockReader::refresh() {
    if (tsc::invariant() && core_hooks().use_tsc) {
        const tsc::Reading reading = tsc::anchor_and_calibrate();
        ns_per_tick_ = reading.ns_per_tick;
        if (ns_per_tick_ != 0) return anchor_tsc(reading.anchor);
    }
    ns_per_tick_ = 0;
    const WallReading reading = tightest_wall_reading(mono_ns, TIGHT_NS);
    anchor_ = Anchor{
        .mono = reading.counter,
        .seconds = static_cast<std::int64_t>(reading.wall.tv_sec),
        .nanos = static_cast<std::uint32_t>(reading.wall.tv_nsec),
    };
    last_ = WallTime{anchor_.seconds, anchor_.nanos};
    return last_;
}

WallTime ClockReader::anchor_tsc(const tsc::Anchor& anchor) noexcept {
    const WallTime wall{anchor.seconds, anchor.nanos};
    tsc_ = anchor;
    tsc_rest_ = static_cast<double>(1'000'000'000u - tsc_.nanos);
    // The counter's estimate may have run a little ahead of the wall clock: the thread's times wait
    // for it rather than go back. A larger difference is the wall clock being set, which shows as it
    // does without the counter.
    const std::int64_t behind =
        (last_.seconds - wall.seconds) * 1'000'000'000 + (static_cast<std::int64_t>(last_.nanos) - wall.nanos);
    if (behind <= 0 || behind >= MAX_HELD_NS) {
        last_ = wall;
        return wall;
    }
    if (last_.seconds != wall.seconds) {
        // last_ lies in the next second: anchor at its start, which the counter has yet to reach.
        tsc_.seconds = last_.seconds;
        tsc_.nanos = 0;
        tsc_.ticks += static_cast<std::uint64_t>(static_cast<double>(1'000'000'000u - wall.nanos) / ns_per_tick_);
        tsc_rest_ = 1e9;
    }
    return last_;  // now() holds it until the counter passes it
}

std::optional<WallTime> ClockReader::since_anchor(const Anchor& anchor, std::uint64_t mono) noexcept {
    const std::uint64_t elapsed = mono - anchor.mono;
    if (elapsed > 999'999'999u) return std::nullopt;
    const std::uint64_t nanos = elapsed + anchor.nanos;
    if (nanos > 999'999'999u) return WallTime{anchor.seconds + 1, static_cast<std::uint32_t>(nanos - 1'000'000'000u)};
    return WallTime{anchor.seconds, static_cast<std::uint32_t>(nanos)};
}

}  // namespace tarnwick
