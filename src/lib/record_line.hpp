// Rendering of one record line in the six shapes a writer can ask for (text plain or coloured, JSON;
// calendar or Unix time). Called on the logging thread with that thread's TimestampCache.
#pragma once

#include <optional>
#include <string_view>

#include "lib/bytes.hpp"
#include "lib/level.hpp"
#include "lib/timestamp_cache.hpp"

namespace tarnwick {

struct LineStyle {
    bool json;     // JSON object; `color` is then ignored
    bool unix_ts;  // Unix seconds with 9 decimals instead of local calendar time with 6
    bool color;    // dim keys and coloured level names in the text format
};

// A logger name already passed through json_escape. Its escaped form is the same in every format,
// so it is made once, with the logger, instead of on every record.
struct EscapedName {
    std::string_view text;
};

// Appends one complete record line ending in '\n'. The message is escaped in every format (the
// name comes escaped), so a record is always exactly one line. Refreshes `cache` first when its second is not
// now.seconds or it lacks the texts this line needs. Either the whole line is appended or, if the
// buffer cannot grow (std::bad_alloc), nothing is. `tail` holds further members already rendered in
// this line's shape (see fields.hpp); it goes right after the message, before the line's end.
void render_line(Bytes& out, TimestampCache& cache, WallTime now, Level level, LineStyle style,
                 std::optional<EscapedName> name, std::string_view message, std::string_view tail = {});

}  // namespace tarnwick
