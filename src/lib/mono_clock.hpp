// The monotonic clock in nanoseconds that record times and the writer's intervals are measured on.
// Any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarnwick {

// The counter's timebase as numerator << 32 | denominator; zero until the first mono_ns() reads it.
// Racing first readers store the same value, so a plain word without a lock is enough.
inline std::atomic<std::uint64_t> RATIO{0};

// ticks * numerator / denominator, exact wherever the result fits 64 bits (no 128-bit product:
// the remainder times a 32-bit numerator cannot overflow).
constexpr std::uint64_t scale_ticks(std::uint64_t ticks, std::uint64_t ratio) noexcept {
    const std::uint64_t numer = ratio >> 32;
    const std::uint64_t denom = ratio & 0xFFFF'FFFFu;
    if (numer == denom) return ticks;
    return ticks / denom * numer + ticks % denom * numer / denom;
}

// Nanoseconds of an arbitrary origin; never goes backwards within the process.
std::uint64_t mono_ns() noexcept;

}  // namespace tarnwick
