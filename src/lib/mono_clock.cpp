#include "lib/mono_clock.hpp"

#ifdef __APPLE__
#include <mach/mach_time.h>
#else
#include <time.h>
#endif

namespace tarnwick {
namespace {

std::uint64_t query_ratio() noexcept {
#ifdef __APPLE__
    mach_timebase_info_data_t timebase{};
    mach_timebase_info(&timebase);
    return std::uint64_t{timebase.numer} << 32 | timebase.denom;
#else
    return std::uint64_t{1} << 32 | 1;  // CLOCK_MONOTONIC already counts nanoseconds
#endif
}

std::uint64_t raw_ticks() noexcept {
#ifdef __APPLE__
    return mach_absolute_time();
#else
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
#endif
}

}  // namespace

std::uint64_t mono_ns() noexcept {
    const std::uint64_t ticks = raw_ticks();
    std::uint64_t ratio = RATIO.load(std::memory_order_relaxed);
    if (ratio == 0) {
        ratio = query_ratio();
        RATIO.store(ratio, std::memory_order_relaxed);
    }
    return scale_ticks(ticks, ratio);
}

}  // namespace tarnwick
