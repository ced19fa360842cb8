#include "lib/record_line.hpp"

#include <array>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "lib/json_escape.hpp"

namespace tarnwick {
namespace {

// The fixed bytes around the variable pieces, per text group.
struct Keys {
    std::string_view unix_level_key;  // after the nanoseconds; the calendar form has it in its offset suffix
    std::string_view level_end;
    std::string_view name_key;
    std::string_view name_end;
    std::string_view msg_key;
    std::string_view line_end;
};

constexpr std::array<Keys, 3> KEYS = {{
    {" level=", "", " name=", "", " msg=\"", "\"\n"},
    {" \x1b[2mlevel=\x1b[0m", "", " \x1b[2mname=\x1b[0m", "", " \x1b[2mmsg=\x1b[0m\"", "\"\n"},
    {R"(,"level":")", "\"", R"(,"name":")", "\"", R"(,"msg":")", "\"}\n"},
}};

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

}  // namespace

void render_line(Bytes& out, TimestampCache& cache, WallTime now, Level level, LineStyle style,
                 std::optional<EscapedName> name, std::string_view message) {
    assert(now.nanos <= 999'999'999u && "nanoseconds out of range");
    const TextGroup group = style.json ? TextGroup::Json : style.color ? TextGroup::Colored : TextGroup::Plain;
    if (cache.second() != now.seconds || !cache.has(group)) cache.refresh(now.seconds, group);

    const Keys& keys = KEYS[static_cast<std::size_t>(group)];
    const TimestampCache::Texts texts = cache.texts(group);
    const std::string_view prefix = style.unix_ts ? texts.unix_prefix : texts.calendar_prefix;
    const std::string_view suffix = style.unix_ts ? keys.unix_level_key : texts.offset_suffix;
    const std::size_t digits = style.unix_ts ? 9 : 6;
    const std::uint32_t fraction = style.unix_ts ? now.nanos : now.nanos / 1'000;
    const std::string_view level_text = level_name(level, group == TextGroup::Colored);

    const std::size_t message_size = json_escaped_size(message);
    std::size_t total = prefix.size() + digits + suffix.size() + level_text.size() + keys.level_end.size() +
                        keys.msg_key.size() + message_size + keys.line_end.size();
    if (name) total += keys.name_key.size() + name->text.size() + keys.name_end.size();

    // One capacity check per line; everything after it only copies.
    char* const start = out.extend(total);
    char* p = put(start, prefix);
    p = put_fraction(p, fraction, digits);
    p = put(p, suffix);
    p = put(p, level_text);
    p = put(p, keys.level_end);
    if (name) {
        p = put(p, keys.name_key);
        p = put(p, name->text);
        p = put(p, keys.name_end);
    }
    p = put(p, keys.msg_key);
    p = json_escape_into(p, message, message_size);
    p = put(p, keys.line_end);
    assert(p == start + total && "line size and line text disagree");
}

}  // namespace tarnwick
