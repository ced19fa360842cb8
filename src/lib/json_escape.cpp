#include "lib/json_escape.hpp"

#include <array>
#include <cassert>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
        if (ESCAPE_LETTER[b] == 'u')
            table[b] = 5;
        else if (ESCAPE_LETTER[b] != 0)
            table[b] = 1;
    }
    return table;
}();
static_assert(EXTRA_SIZE[0x1b] == 5 && EXTRA_SIZE['\n'] == 1 && EXTRA_SIZE[0x7f] == 0 && EXTRA_SIZE[0x20] == 0);

constexpr char HEX_DIGITS[] = "0123456789abcdef";

constexpr std::uint64_t ONES = 0x0101'0101'0101'0101u;
constexpr std::uint64_t HIGHS = 0x8080'8080'8080'8080u;

// Whether any of the eight bytes of `word` needs an escape: below 0x20, '"' or '\\'. Exact, since a
// borrow can only start in a byte that already matches.
constexpr bool word_needs_escape(std::uint64_t word) noexcept {
    const auto has_zero = [](std::uint64_t v) { return (v - ONES) & ~v & HIGHS; };
    const std::uint64_t below_space = (word - ONES * 0x20) & ~word & HIGHS;
    return (below_space | has_zero(word ^ (ONES * '"')) | has_zero(word ^ (ONES * '\\'))) != 0;
}
static_assert(!word_needs_escape(0x6162'6364'2021'7f80u) && word_needs_escape(0x6162'6364'2021'7f1fu) &&
              word_needs_escape(0x5c00'0000'0000'0000u | 0x0041'4141'4141'4141u));

#if defined(__SSE2__)
// Whether the 16 bytes at `p` are all copied unchanged: none below 0x20, no '"', no '\\'.
bool block_is_clean(const char* p) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x1f)), _mm_set1_epi8(0x1f));
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    return _mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))) == 0;
}
#endif

}  // namespace

std::size_t json_escaped_size(std::string_view text) noexcept {
    std::size_t size = text.size();
    const char* p = text.data();
    const char* const end = p + text.size();
#if defined(__SSE2__)
    // Clean text, the usual case, is checked sixteen bytes at a time; a last block overlapping the
    // one before covers the tail. Only text that needs escaping goes on to be counted byte by byte.
    if (text.size() >= 16) {
        const char* q = p;
        while (q + 16 < end && block_is_clean(q)) q += 16;
        if (q + 16 >= end && block_is_clean(end - 16)) return size;
    }
#endif
    // Eight bytes at a time otherwise.
    for (; end - p >= 8; p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (!word_needs_escape(word)) continue;
        for (int i = 0; i < 8; ++i) size += EXTRA_SIZE[static_cast<unsigned char>(p[i])];
    }
    for (; p != end; ++p) size += EXTRA_SIZE[static_cast<unsigned char>(*p)];
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

std::string json_escaped(std::string_view text) {
    std::string out(json_escaped_size(text), '\0');
    json_escape_into(out.data(), text, out.size());
    return out;
}

}  // namespace tarnwick
