#include "lib/record_line.hpp"

#include <array>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <string>

#include "lib/json_escape.hpp"

namespace tarnwick {
namespace {

// Fixed pieces are copied a whole block at a time; the line is written with SLACK spare bytes after
// its end, so the over-copy stays in the buffer.
constexpr std::size_t SLACK = TimestampCache::TEXT_CAPACITY;
static_assert(SLACK >= Piece::BLOCK, "the slack must take the widest block copy");

char* put(char* p, const Piece& piece) noexcept {
    std::memcpy(p, piece.bytes.data(), Piece::BLOCK);
    return p + piece.size;
}

// A cached time text: its storage holds TEXT_CAPACITY readable bytes.
char* put_cached(char* p, std::string_view text) noexcept {
    std::memcpy(p, text.data(), TimestampCache::TEXT_CAPACITY);
    return p + text.size();
}

char* put(char* p, std::string_view s) noexcept {
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    return p + s.size();
}

constexpr std::array<char, 200> DIGIT_PAIRS = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
        pairs[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// Exactly `width` (6 or 9) decimal digits of `value`, zero-padded; two digits per division.
char* put_fraction(char* p, std::uint32_t value, std::size_t width) noexcept {
    char* q = p + width;
    if (width % 2 != 0) {
        *--q = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    while (q != p) {
        q -= 2;
        std::memcpy(q, &DIGIT_PAIRS[2 * (value % 100)], 2);
        value /= 100;
    }
    return p + width;
}

// Everything of a line up to its message: the time, the level, the name and the message's key.
struct Head {
    const LineShape& shape;
    std::string_view prefix;
    std::string_view offset_suffix;
    std::size_t digits;
    std::uint32_t fraction;
    const Piece& level_text;
    std::optional<EscapedName> name;
    bool quote_name;  // JSON has the quotes in its keys
    bool unix_ts;
    std::size_t size;
};

[[gnu::always_inline]] inline Head head_of(TimestampCache& cache, WallTime now, Level level, LineStyle style,
                                           std::optional<EscapedName> name) {
    assert(now.nanos <= 999'999'999u && "nanoseconds out of range");
    const TextGroup group = group_of(style);
    if (cache.second() != now.seconds || !cache.has(group)) cache.refresh(now.seconds, group);

    const LineShape& shape = line_shape(group);
    const TimestampCache::Texts texts = cache.texts(group);
    Head h{
        .shape = shape,
        .prefix = style.unix_ts ? texts.unix_prefix : texts.calendar_prefix,
        .offset_suffix = texts.offset_suffix,
        .digits = style.unix_ts ? UNIX_DIGITS : CALENDAR_DIGITS,
        .fraction = style.unix_ts ? now.nanos : now.nanos / 1'000,
        .level_text = shape.level_names[static_cast<std::size_t>(level) - 1],
        .name = name,
        .quote_name = name && name->quoted && shape.quotes_names,
        .unix_ts = style.unix_ts,
        .size = 0,
    };
    const std::size_t suffix_size = style.unix_ts ? shape.unix_level_key.size : texts.offset_suffix.size();
    h.size = h.prefix.size() + h.digits + suffix_size + h.level_text.size + shape.level_end.size + shape.msg_key.size;
    if (name) h.size += shape.name_key.size + name->text.size() + shape.name_end.size + (h.quote_name ? 2 : 0);
    return h;
}

// Writes the head; the buffer holds SLACK spare bytes after it.
[[gnu::always_inline]] inline char* put_head(char* p, const Head& h) noexcept {
    p = put_cached(p, h.prefix);
    p = put_fraction(p, h.fraction, h.digits);
    p = h.unix_ts ? put(p, h.shape.unix_level_key) : put_cached(p, h.offset_suffix);
    p = put(p, h.level_text);
    p = put(p, h.shape.level_end);
    if (h.name) {
        p = put(p, h.shape.name_key);
        if (h.quote_name) *p++ = '"';
        p = put(p, h.name->text);
        if (h.quote_name) *p++ = '"';
        p = put(p, h.shape.name_end);
    }
    return put(p, h.shape.msg_key);
}

// One body for both entries; the line without a tail keeps its own copy, free of the tail's work.
template <bool WithTail>
[[gnu::always_inline]] inline void render(Bytes& out, TimestampCache& cache, WallTime now, Level level, LineStyle style,
                                          std::optional<EscapedName> name, std::string_view message,
                                          std::string_view tail) {
    const Head h = head_of(cache, now, level, style, name);
    const std::size_t message_size = json_escaped_size(message);
    std::size_t total = h.size + message_size + h.shape.msg_line_end.size;
    if constexpr (WithTail) total += tail.size();

    // One capacity check per line; everything after it only copies. The slack is given back below.
    const std::size_t before = out.size();
    char* const start = out.extend(total + SLACK);
    char* p = put_head(start, h);
    p = json_escape_into(p, message, message_size);
    if constexpr (WithTail) {
        p = put(p, h.shape.msg_end);
        p = put(p, tail);
        p = put(p, h.shape.line_end);
    } else {
        p = put(p, h.shape.msg_line_end);
    }
    assert(p == start + total && "line size and line text disagree");
    out.truncate(before + total);
}

}  // namespace

EscapedName escaped_name(std::string_view escaped) noexcept {
    if (escaped.empty()) return {escaped, true};
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        if (c == ' ' || c == '=' || c == '\x7f') return {escaped, true};
        // Every escape but that of a backslash stands for a '"' or a control character.
        if (c == '\\' && ++i < escaped.size() && escaped[i] != '\\') return {escaped, true};
    }
    return {escaped, false};
}

void render_line(Bytes& out, TimestampCache& cache, WallTime now, Level level, LineStyle style,
                 std::optional<EscapedName> name, std::string_view message) {
    render<false>(out, cache, now, level, style, name, message, {});
}

void render_line(Bytes& out, TimestampCache& cache, WallTime now, Level level, LineStyle style,
                 std::optional<EscapedName> name, std::string_view message, std::string_view tail) {
    if (tail.empty()) {
        render<false>(out, cache, now, level, style, name, message, tail);
    } else {
        render<true>(out, cache, now, level, style, name, message, tail);
    }
}

std::size_t open_line(Bytes& out, TimestampCache& cache, WallTime now, Level level, LineStyle style,
                      std::optional<EscapedName> name, std::size_t message_room) {
    const Head h = head_of(cache, now, level, style, name);
    const std::size_t before = out.size();
    // Room for the head, the message as the caller expects it and the line's end in one go.
    out.make_room(h.size + message_room + SLACK);
    char* const start = out.extend(h.size + SLACK);
    [[maybe_unused]] char* const p = put_head(start, h);
    assert(p == start + h.size && "head size and head text disagree");
    out.truncate(before + h.size);
    return before + h.size;
}

void close_line(Bytes& out, std::size_t message_start, LineStyle style, std::string_view tail) {
    const LineShape& shape = line_shape(style);
    const std::string_view message(out.data() + message_start, out.size() - message_start);
    const std::size_t escaped_size = json_escaped_size(message);
    std::size_t end_size =
        tail.empty() ? shape.msg_line_end.size : shape.msg_end.size + tail.size() + shape.line_end.size;
    if (escaped_size != message.size()) {
        // Rare: the message needs escapes, which lengthen it; escape a copy back into place.
        const std::string raw(message);
        out.truncate(message_start);
        char* const p = out.extend(escaped_size + end_size + SLACK);
        json_escape_into(p, raw, escaped_size);
        out.truncate(message_start + escaped_size);
    }
    const std::size_t before = out.size();
    char* p = out.extend(end_size + SLACK);
    if (tail.empty()) {
        p = put(p, shape.msg_line_end);
    } else {
        p = put(p, shape.msg_end);
        p = put(p, tail);
        p = put(p, shape.line_end);
    }
    out.truncate(before + end_size);
}

}  // namespace tarnwick
