// The fixed text of every line shape a writer can ask for: keys, separators, colour codes and the
// time layout. The record line, the timestamp cache and the fields all take their bytes from here,
// so a new key or shape is a change to this file alone. Constant tables; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "lib/level.hpp"

namespace tarnwick {

// What a writer's configuration asks its lines to look like.
struct LineStyle {
    bool json;     // JSON object; `color` is then ignored
    bool unix_ts;  // Unix seconds with 9 decimals instead of local calendar time with 6
    bool color;    // dim keys and coloured level names in the text format
};

// The shapes: each has its own table below and its own cached time texts.
enum class TextGroup : std::uint8_t { Plain = 0, Colored = 1, Json = 2 };
inline constexpr std::size_t TEXT_GROUPS = 3;

constexpr TextGroup group_of(LineStyle style) noexcept {
    return style.json ? TextGroup::Json : style.color ? TextGroup::Colored : TextGroup::Plain;
}

// Decimals of the seconds in each time layout: microseconds after a calendar time, nanoseconds after
// Unix seconds.
inline constexpr std::size_t CALENDAR_DIGITS = 6;
inline constexpr std::size_t UNIX_DIGITS = 9;

// A short fixed text stored padded to a whole block, so a renderer copies it as one (a vector move,
// no call) into a buffer that has the block's room.
struct Piece {
    static constexpr std::size_t BLOCK = 16;
    std::array<char, BLOCK> bytes{};
    std::uint8_t size = 0;
    constexpr std::string_view view() const noexcept { return {bytes.data(), size}; }
};

consteval Piece piece(std::initializer_list<std::string_view> parts) {
    Piece p;
    for (std::string_view part : parts) {
        if (p.size + part.size() > Piece::BLOCK) throw "a fixed piece must fit one block";
        for (char c : part) p.bytes[p.size++] = c;
    }
    return p;
}
consteval Piece piece(std::string_view s) { return piece({s}); }

struct LineShape {
    // The time, up to its value: before a calendar time, before Unix seconds.
    Piece time_key;
    Piece unix_time_key;
    // After the time: the level's key, following a calendar time's UTC offset or Unix nanoseconds.
    Piece offset_level_key;
    Piece unix_level_key;
    std::array<Piece, 5> level_names;  // indexed by Level - 1
    Piece level_end;
    Piece name_key;
    Piece name_end;
    bool quotes_names;  // a name that could end its value early is written in quotes (JSON always quotes)
    Piece msg_key;
    Piece msg_line_end;  // the message's closing quote and the line's end, for a line without a tail
    Piece msg_end;
    Piece line_end;
    // A member after the message: field_key_open, its key, field_key_close, its value.
    Piece field_key_open;
    Piece field_key_close;
    bool nonfinite_as_text;  // inf and nan written as text values, for a format without such numbers
};

// Colour markers: dim keys, coloured level names.
#define TARNWICK_DIM "\x1b[2m"
#define TARNWICK_RESET "\x1b[0m"

// The pieces of a text line, its keys between `dim` and `reset`, its level names in `colours`.
consteval LineShape logfmt_shape(std::string_view dim, std::string_view reset,
                                 const std::array<std::string_view, 5>& colours) {
    constexpr std::array<std::string_view, 5> NAMES = {"error", "warn", "info", "debug", "trace"};
    std::array<Piece, 5> levels{};
    for (std::size_t i = 0; i < levels.size(); ++i) {
        levels[i] = piece({colours[i], NAMES[i], colours[i].empty() ? "" : reset});
    }
    return LineShape{
        .time_key = piece({dim, "time=", reset}),
        .unix_time_key = piece({dim, "time=", reset}),
        .offset_level_key = piece({" ", dim, "level=", reset}),
        .unix_level_key = piece({" ", dim, "level=", reset}),
        .level_names = levels,
        .level_end = piece(""),
        .name_key = piece({" ", dim, "name=", reset}),
        .name_end = piece(""),
        .quotes_names = true,
        .msg_key = piece({" ", dim, "msg=", reset, "\""}),
        .msg_line_end = piece("\"\n"),
        .msg_end = piece("\""),
        .line_end = piece("\n"),
        .field_key_open = piece({" ", dim}),
        .field_key_close = piece({"=", reset}),
        .nonfinite_as_text = false,
    };
}

inline constexpr std::array<LineShape, TEXT_GROUPS> LINE_SHAPES = {{
    logfmt_shape("", "", {"", "", "", "", ""}),
    logfmt_shape(TARNWICK_DIM, TARNWICK_RESET, {"\x1b[31m", "\x1b[33m", "\x1b[32m", "\x1b[36m", TARNWICK_DIM}),
    {
        .time_key = piece(R"({"time":")"),
        .unix_time_key = piece(R"({"time":)"),
        .offset_level_key = piece(R"(","level":")"),
        .unix_level_key = piece(R"(,"level":")"),
        .level_names = {piece("error"), piece("warn"), piece("info"), piece("debug"), piece("trace")},
        .level_end = piece("\""),
        .name_key = piece(R"(,"name":")"),
        .name_end = piece("\""),
        .quotes_names = false,
        .msg_key = piece(R"(,"msg":")"),
        .msg_line_end = piece("\"}\n"),
        .msg_end = piece("\""),
        .line_end = piece("}\n"),
        .field_key_open = piece(",\""),
        .field_key_close = piece("\":"),
        .nonfinite_as_text = true,
    },
}};

constexpr const LineShape& line_shape(TextGroup group) noexcept { return LINE_SHAPES[static_cast<std::size_t>(group)]; }
constexpr const LineShape& line_shape(LineStyle style) noexcept { return line_shape(group_of(style)); }

}  // namespace tarnwick
