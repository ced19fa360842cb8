// Internal severity and the level-name tables that record rendering prints. Read-only; any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarnwick {

// Counts the other way from the Python-visible PyLevel: Level = 5 - PyLevel value.
enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// A record of level `record` is produced by a logger whose threshold is `threshold` when this holds.
constexpr bool level_enabled(Level threshold, Level record) noexcept {
    return static_cast<std::uint8_t>(threshold) >= static_cast<std::uint8_t>(record);
}

// Colour markers of the text format: dim keys, coloured level names. Macros, so that they join
// the adjacent string literals of the fixed line pieces at compile time.
#define TARNWICK_DIM "\x1b[2m"
#define TARNWICK_RESET "\x1b[0m"

// Indexed by Level - 1: error, warn, info, debug, trace.
inline constexpr std::string_view PLAIN_LEVEL_NAMES[5] = {"error", "warn", "info", "debug", "trace"};
inline constexpr std::string_view COLORED_LEVEL_NAMES[5] = {
    "\x1b[31merror" TARNWICK_RESET, "\x1b[33mwarn" TARNWICK_RESET,       "\x1b[32minfo" TARNWICK_RESET,
    "\x1b[36mdebug" TARNWICK_RESET, TARNWICK_DIM "trace" TARNWICK_RESET,
};
static_assert(COLORED_LEVEL_NAMES[0].size() == 14 && COLORED_LEVEL_NAMES[1].size() == 13 &&
                  COLORED_LEVEL_NAMES[2].size() == 13 && COLORED_LEVEL_NAMES[3].size() == 14 &&
                  COLORED_LEVEL_NAMES[4].size() == 13,
              "coloured names are colour sequence + plain name + reset");

}  // namespace tarnwick
