// What a destination's writer is made with: where it writes, the line shape its records take, and
// how often it writes out. Decided once, when the writer is created; immutable and shared after.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "lib/file_options.hpp"
#include "lib/record_line.hpp"

namespace tarnwick {

inline constexpr std::chrono::milliseconds DEFAULT_CHECK_INTERVAL{1000};

struct WriterConfig {
    std::optional<std::string> path;  // absent = standard output
    LineStyle style;
    // How often the writer writes its buffer out and compares the date; shorter only in tests.
    std::chrono::milliseconds check_interval = DEFAULT_CHECK_INTERVAL;
    FileOptions files = {};  // for a path
};

using WriterConfigRef = std::shared_ptr<const WriterConfig>;

}  // namespace tarnwick
