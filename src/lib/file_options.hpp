// What a writer does with its dated files besides appending: split a day's file into parts,
// delete old days, compress closed files. Plain values, decided when the writer is created.
#pragma once

#include <cstdint>
#include <optional>

namespace tarnwick {

struct FileOptions {
    std::uint64_t max_bytes = 0;            // a day's file is split into parts of at most this; 0: never
    std::optional<std::int64_t> keep_days;  // days kept before today; absent: every day is kept
    bool compress = false;                  // gzip closed files in the background
    friend bool operator==(const FileOptions&, const FileOptions&) = default;
};

}  // namespace tarnwick
