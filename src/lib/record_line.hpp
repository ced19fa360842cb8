// Rendering of one record line in the six shapes a writer can ask for (text plain or coloured, JSON;
// calendar or Unix time), from the bytes of line_shape.hpp. Called on the logging thread with that
// thread's TimestampCache.
#pragma once

#include <optional>
#include <string_view>

#include "lib/bytes.hpp"
#include "lib/level.hpp"
#include "lib/line_shape.hpp"
#include "lib/timestamp_cache.hpp"

namespace tarnwick {

// A logger name already passed through json_escape. Its escaped form is the same in every format,
// so it is made once, with the logger, instead of on every record. The text format writes it in
// quotes, as it writes the message, when it is empty or holds a space, '=', '"' or a control
// character: bare, such a name could end its value early and forge further members.
struct EscapedName {
    std::string_view text;
    bool quoted = false;  // in the text format
};

// The name whose escaped form is `escaped`, with `quoted` decided from it.
EscapedName escaped_name(std::string_view escaped) noexcept;

// Appends one complete record line ending in '\n'. The message is escaped in every format (the
// name comes escaped), so a record is always exactly one line. Refreshes `cache` first when its second is not
// now.seconds or it lacks the texts this line needs. Either the whole line is appended or, if the
// buffer cannot grow (std::bad_alloc), nothing is.
void render_line(Bytes& out, TimestampCache& cache, WallTime now, Level level, LineStyle style,
                 std::optional<EscapedName> name, std::string_view message);

// The same with `tail`, further members already rendered in this line's shape (see fields.hpp),
// right after the message and before the line's end. An empty tail gives the line above.
void render_line(Bytes& out, TimestampCache& cache, WallTime now, Level level, LineStyle style,
                 std::optional<EscapedName> name, std::string_view message, std::string_view tail);

// The same line in two steps, for a message formatted straight into `out`: open_line appends
// everything before the message (reserving `message_room` more bytes) and returns where the message
// starts; the caller appends the message's raw text; close_line escapes it in place and appends the
// tail and the line's end. A caller that gives up, or meets an exception, in between truncates
// `out` back to its size before open_line.
std::size_t open_line(Bytes& out, TimestampCache& cache, WallTime now, Level level, LineStyle style,
                      std::optional<EscapedName> name, std::size_t message_room);
void close_line(Bytes& out, std::size_t message_start, LineStyle style, std::string_view tail);

}  // namespace tarnwick
