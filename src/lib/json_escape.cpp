#include "lib/json_escape.hpp"

#include <array>
#include <cassert>
#include <cstdint>
#include <cstring>

namespace tarnwick {
namespace {

// Per byte: the letter after the backslash ('u' for the \u00XX form), or 0 when the byte is copied.
constexpr std::array<char, 256> ESCAPE_LETTER = [] {
    std::array<char, 256> table{};
    for (std::size_t b = 0; b < 0x20; ++b) table[b] = 'u';
    table['"'] = '"';
    table['\\'] = '\\';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    return table;
}();

// Per byte: how many bytes the escaped form adds.
constexpr std::array<std::uint8_t, 256> EXTRA_SIZE = [] {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t b = 0; b < 256; ++b) {
        if (ESCAPE_LETTER[b] == 'u') table[b] = 5;
        else if (ESCAPE_LETTER[b] != 0) table[b] = 1;
    }
    return table;
}();
static_assert(EXTRA_SIZE[0x1b] == 5 && EXTRA_SIZE['\n'] == 1 && EXTRA_SIZE[0x7f] == 0 && EXTRA_SIZE[0x20] == 0);

constexpr char HEX_DIGITS[] = "0123456789abcdef";

}  // namespace

std::size_t json_escaped_size(std::string_view text) noexcept {
    std::size_t size = text.size();
    for (const char c : text) size += EXTRA_SIZE[static_cast<unsigned char>(c)];
    return size;
}

char* json_escape_into(char* out, std::string_view text, std::size_t escaped_size) noexcept {
    if (escaped_size == text.size()) {  // the common clean text: one copy
        if (!text.empty()) std::memcpy(out, text.data(), text.size());
        return out + text.size();
    }
    const char* run = text.data();
    const char* const end = text.data() + text.size();
    for (const char* p = run; p != end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        const char letter = ESCAPE_LETTER[byte];
        if (letter == 0) continue;
        const auto run_size = static_cast<std::size_t>(p - run);
        if (run_size != 0) std::memcpy(out, run, run_size);
        out += run_size;
        *out++ = '\\';
        *out++ = letter;
        if (letter == 'u') {
            *out++ = '0';
            *out++ = '0';
            *out++ = HEX_DIGITS[byte >> 4];
            *out++ = HEX_DIGITS[byte & 0xf];
        }
        run = p + 1;
    }
    const auto tail = static_cast<std::size_t>(end - run);
    if (tail != 0) std::memcpy(out, run, tail);
    return out + tail;
}

void json_escape(Bytes& out, std::string_view text) {
    const std::size_t escaped_size = json_escaped_size(text);
    if (escaped_size == 0) return;
    char* const start = out.extend(escaped_size);
    [[maybe_unused]] char* const end = json_escape_into(start, text, escaped_size);
    assert(end == start + escaped_size && "escaped size and escaped text disagree");
}

}  // namespace tarnwick
