// A log call's message kept in a compact binary form on the calling thread and turned into the text of
// Python's `message % args` later, on any thread. The form is written by the binding's capture
// (python/arg_capture.hpp), which has already checked it against Python's rules; rendering needs no
// interpreter.
//
// Form: a kind byte, a length and that many bytes of UTF-8 text. Literal: the text is the message.
// Format: the text is the format, followed by one tagged value per argument it consumes, in order
// ("*" widths and precisions included). A Text value is the finished output of its whole conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "lib/bytes.hpp"

namespace tarnwick {

enum class CaptureTag : std::uint8_t { Literal, Format, Int, Float, True, False, None, Str, Text };

// Lengths as LEB128: one byte for anything under 128.
inline void put_length(Bytes& out, std::size_t n) {
    while (n >= 0x80) {
        out.push_back(static_cast<char>(0x80 | (n & 0x7F)));
        n >>= 7;
    }
    out.push_back(static_cast<char>(n));
}

inline void put_tag(Bytes& out, CaptureTag tag) { out.push_back(static_cast<char>(tag)); }

// Literal, Format, Str or Text with its bytes. Inlined: it is most of a capture's work.
[[gnu::always_inline]] inline void put_text(Bytes& out, CaptureTag tag, std::string_view text) {
    const std::size_t n = text.size();
    if (n < 0x80) {  // the common short text: one reservation
        char* p = out.extend(2 + n);
        p[0] = static_cast<char>(tag);
        p[1] = static_cast<char>(n);
        if (n != 0) std::memcpy(p + 2, text.data(), n);
        return;
    }
    put_tag(out, tag);
    put_length(out, n);
    out.append(text);
}

inline void put_int(Bytes& out, std::int64_t value) {
    put_tag(out, CaptureTag::Int);
    std::memcpy(out.extend(sizeof value), &value, sizeof value);
}

inline void put_float(Bytes& out, double value) {
    put_tag(out, CaptureTag::Float);
    std::memcpy(out.extend(sizeof value), &value, sizeof value);
}

// One conversion after a "%", as Python's % operator reads it.
struct FormatSpec {
    enum Flag : unsigned { LeftAlign = 1, Sign = 2, Blank = 4, Alternate = 8, Zero = 16 };
    unsigned flags = 0;
    std::int64_t width = -1;      // -1: none
    std::int64_t precision = -1;  // -1: none
    bool star_width = false;      // "*": the next argument gives it
    bool star_precision = false;
    char conversion = 0;
};

enum class SpecParse { Ok, Incomplete, MappingKey, TooBig };

// Width and precision above this are left to the interpreter at the call, where an absurd one fails
// as MemoryError instead of on the thread that renders.
inline constexpr std::int64_t SPEC_NUMBER_LIMIT = 1 << 20;

// Reads the conversion that starts at `p`, just after a "%" that is not "%%". On Ok, `p` is past the
// conversion letter, which may still be one Python rejects. Non-ASCII bytes are never a valid letter.
SpecParse parse_spec(const char*& p, const char* end, FormatSpec& spec);

// True for a conversion letter that the renderer knows: "s r a d i u o x X e E f F g G c".
constexpr bool is_conversion(char letter) {
    switch (letter) {
        case 's': case 'r': case 'a': case 'c':
        case 'd': case 'i': case 'u': case 'o': case 'x': case 'X':
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G':
            return true;
        default:
            return false;
    }
}

// Reads the conversion after a "%" that is not "%%", as parse_spec does, taking the common bare letter
// ("%s", "%d") without the general parse.
inline SpecParse read_spec(const char*& p, const char* end, FormatSpec& spec) {
    if (p < end && is_conversion(*p)) {
        spec.conversion = *p++;
        return SpecParse::Ok;
    }
    return parse_spec(p, end, spec);
}

// Appends the text of the captured message at the start of `captured`; returns the bytes of it that
// the message used. A form that breaks its invariants (one the capture never writes) throws
// std::logic_error.
std::size_t render_captured(Bytes& out, std::string_view captured);

}  // namespace tarnwick
