// Internal severity. Read-only; any thread.
#pragma once

#include <cstdint>

namespace tarnwick {

// Counts the other way from the Python-visible PyLevel: Level = 5 - PyLevel value.
enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// A record of level `record` is produced by a logger whose threshold is `threshold` when this holds.
constexpr bool level_enabled(Level threshold, Level record) noexcept {
    return static_cast<std::uint8_t>(threshold) >= static_cast<std::uint8_t>(record);
}

}  // namespace tarnwick
