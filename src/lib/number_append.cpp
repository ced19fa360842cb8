#include "lib/number_append.hpp"

#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <system_error>

namespace tarnwick {

void push_i64(Bytes& out, std::int64_t value) {
    char buf[20];  // "-9223372036854775808"
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, static_cast<std::size_t>(result.ptr - buf));
}

void push_radix(Bytes& out, std::int64_t value, unsigned base) {
    assert((base == 8 || base == 16) && "only %o and %x come here");
    char buf[23];  // "-" and 22 octal digits of 2**63
    const auto result = std::to_chars(buf, buf + sizeof buf, value, static_cast<int>(base));
    out.append(buf, static_cast<std::size_t>(result.ptr - buf));
}

bool push_f64_repr(Bytes& out, double value) {
    if (value == 0.0) {
        out.append(std::signbit(value) ? std::string_view("-0.0") : std::string_view("0.0"));
        return true;
    }
    if (!std::isfinite(value)) return false;

    // Shortest round-trip digits as "d.ddde±XX"; repr places the point itself when the decimal
    // exponent is in [-4, 16), which is Python's own switch to exponent notation.
    char sci[32];
    const auto result = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    assert(result.ec == std::errc{});
    const std::string_view text(sci, static_cast<std::size_t>(result.ptr - sci));
    const std::size_t e_at = text.find('e');
    int exponent = 0;
    std::from_chars(text.data() + e_at + (text[e_at + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
    if (exponent < -4 || exponent >= 16) return false;

    const bool negative = text[0] == '-';
    char digits[17];  // a double never needs more than 17 significant digits
    std::size_t count = 0;
    for (std::size_t i = negative ? 1 : 0; i < e_at; ++i) {
        if (text[i] != '.') digits[count++] = text[i];
    }

    // Longest case: "-" and 16 integer digits and ".0", or "-0.000" and 17 digits.
    char buf[32];
    char* p = buf;
    if (negative) *p++ = '-';
    if (exponent < 0) {
        *p++ = '0';
        *p++ = '.';
        for (int i = -1; i > exponent; --i) *p++ = '0';
        std::memcpy(p, digits, count);
        p += count;
    } else {
        const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
        if (count <= integer_digits) {
            std::memcpy(p, digits, count);
            p += count;
            for (std::size_t i = count; i < integer_digits; ++i) *p++ = '0';
            *p++ = '.';
            *p++ = '0';
        } else {
            std::memcpy(p, digits, integer_digits);
            p += integer_digits;
            *p++ = '.';
            std::memcpy(p, digits + integer_digits, count - integer_digits);
            p += count - integer_digits;
        }
    }
    out.append(buf, static_cast<std::size_t>(p - buf));
    return true;
}

namespace {

constexpr std::uint64_t MICRO = 1'000'000;
__extension__ typedef unsigned __int128 U128;  // GCC and Clang on 64-bit targets

// "%f" of a value below 2**64 millionths in magnitude, in integers: the value is m * 2**e, so its
// millionths are (m * 10**6) * 2**e, exact in 128 bits; the bits shifted out decide the rounding,
// half to even, as a correctly rounded conversion does. The general conversion costs several
// hundred instructions more, and values this small are the common case.
bool put_small_fixed6(Bytes& out, double value) {
    const double magnitude = std::fabs(value);
    if (!(magnitude < 18'000'000'000'000.0)) return false;  // 1.8e13 millionths < 2**64
    std::uint64_t bits = 0;
    std::memcpy(&bits, &magnitude, sizeof bits);
    const int biased = static_cast<int>(bits >> 52);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    const std::uint64_t m = biased == 0 ? fraction : fraction | std::uint64_t{1} << 52;
    const int e = (biased == 0 ? 1 : biased) - 1075;
    const U128 scaled = static_cast<U128>(m) * MICRO;
    std::uint64_t millionths = 0;
    if (e >= 0) {
        millionths = static_cast<std::uint64_t>(scaled << e);
    } else if (-e < 128) {
        const int k = -e;
        const U128 kept = scaled >> k;
        const U128 rest = scaled & ((U128{1} << k) - 1);
        const U128 half = U128{1} << (k - 1);
        millionths = static_cast<std::uint64_t>(kept);
        if (rest > half || (rest == half && (millionths & 1) != 0)) ++millionths;
    }  // else below half a millionth by far: 0

    char buf[32];  // "-", 14 integer digits, "." and 6 decimals
    char* p = buf;
    if (std::signbit(value)) *p++ = '-';
    p = std::to_chars(p, buf + sizeof buf, millionths / MICRO).ptr;
    *p++ = '.';
    std::uint64_t decimals = millionths % MICRO;
    for (int i = 5; i >= 0; --i) {
        p[i] = static_cast<char>('0' + decimals % 10);
        decimals /= 10;
    }
    out.append(buf, static_cast<std::size_t>(p + 6 - buf));
    return true;
}

}  // namespace

void push_f64_fixed6(Bytes& out, double value) {
    assert(std::isfinite(value) && "%f of inf and nan is left to the interpreter");
    if (put_small_fixed6(out, value)) return;
    char buf[330];  // "-", 309 integer digits of DBL_MAX, "." and 6 decimals
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 6);
    assert(result.ec == std::errc{});
    out.append(buf, static_cast<std::size_t>(result.ptr - buf));
}

}  // namespace tarnwick
