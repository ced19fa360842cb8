// Any 64-bit patterns, and any text read as a number: the integer appenders print what printf prints
// of the same magnitude; the float repr is the shortest decimal that reads back to the same double,
// laid out as Python's repr does, and declined exactly where repr needs an exponent; "%f" is printf's.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "lib/number_append.hpp"

namespace {

using tarnwick::Bytes;
using tarnwick::fuzz::check;
using tarnwick::fuzz::check_equal;

// What an appender adds to a buffer that already holds something, which it must keep.
template <class Push>
std::string appended(Push push) {
    Bytes out;
    out.append("x=");
    push(out);
    check(out.view().starts_with("x="), "an appender keeps what the buffer held");
    return std::string(out.view().substr(2));
}

void check_integer(std::int64_t value) {
    char want[32];
    std::snprintf(want, sizeof want, "%lld", static_cast<long long>(value));
    check_equal(appended([&](Bytes& b) { push_i64(b, value); }), want, "push_i64 prints %lld");

    // printf has no signed octal or hex: the sign, then the magnitude.
    const auto bits = static_cast<unsigned long long>(value);
    const unsigned long long magnitude = value < 0 ? 0 - bits : bits;
    const char* sign = value < 0 ? "-" : "";
    std::snprintf(want, sizeof want, "%s%llo", sign, magnitude);
    check_equal(appended([&](Bytes& b) { push_radix(b, value, 8); }), want, "push_radix 8 prints %o");
    std::snprintf(want, sizeof want, "%s%llx", sign, magnitude);
    check_equal(appended([&](Bytes& b) { push_radix(b, value, 16); }), want, "push_radix 16 prints %x");
}

// The shortest round-trip digits of a finite nonzero magnitude, without leading or trailing zeros,
// and where the decimal point goes: 1.5 is ("15", 1), 0.001 is ("1", -2), 1e16 is ("1", 17).
struct Decimal {
    std::string digits;
    int point;
};

Decimal shortest_decimal(double magnitude) {
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, magnitude);  // fixed or scientific, whichever is shorter
    std::string_view text(buf, static_cast<std::size_t>(result.ptr - buf));
    int exponent = 0;
    if (const std::size_t e = text.find('e'); e != std::string_view::npos) {
        const std::size_t digits_at = e + (text[e + 1] == '+' ? 2 : 1);
        std::from_chars(text.data() + digits_at, text.data() + text.size(), exponent);
        text = text.substr(0, e);
    }
    const std::size_t dot = text.find('.');
    Decimal out{std::string(text.substr(0, dot)), 0};
    out.point = static_cast<int>(out.digits.size()) + exponent;
    if (dot != std::string_view::npos) out.digits += text.substr(dot + 1);
    const std::size_t leading = out.digits.find_first_not_of('0');
    out.digits.erase(0, leading);
    out.point -= static_cast<int>(leading);
    out.digits.erase(out.digits.find_last_not_of('0') + 1);
    return out;
}

void check_float(double value) {
    bool done = false;
    const std::string repr = appended([&](Bytes& b) { done = push_f64_repr(b, value); });
    check(done || repr.empty(), "push_f64_repr appends nothing when it declines");

    if (!std::isfinite(value)) {
        check(!done, "push_f64_repr declines inf and nan");
        return;
    }
    char fixed[400];
    std::snprintf(fixed, sizeof fixed, "%f", value);
    check_equal(appended([&](Bytes& b) { push_f64_fixed6(b, value); }), fixed, "push_f64_fixed6 prints %f");

    if (value == 0.0) {
        check(done, "push_f64_repr prints zero");
        check_equal(repr, std::signbit(value) ? "-0.0" : "0.0", "repr of a zero keeps its sign");
        return;
    }
    // Python's repr switches to an exponent outside these decimal point positions.
    const auto [digits, point] = shortest_decimal(std::fabs(value));
    if (point <= -4 || point > 16) {
        check(!done, "push_f64_repr declines values whose repr has an exponent");
        return;
    }
    check(done, "push_f64_repr prints values whose repr has no exponent");
    std::string want = value < 0 ? "-" : "";
    if (point <= 0) {
        want += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        want += digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0') + ".0";
    } else {
        want +=
            digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
    }
    check_equal(repr, want, "push_f64_repr is the shortest decimal, laid out as repr");

    const double back = std::strtod(repr.c_str(), nullptr);
    check(std::memcmp(&back, &value, sizeof value) == 0, "push_f64_repr reads back to the same double");
}

}  // namespace

// The first byte chooses: even, the rest is 64-bit patterns, each checked as an integer and as a
// double; odd, the rest is number text, so the fuzzer can steer towards decimal boundaries.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if ((data[0] & 1) == 0) {
        for (std::size_t at = 1; at + 8 <= size; at += 8) {
            std::uint64_t bits;
            std::memcpy(&bits, data + at, sizeof bits);
            check_integer(static_cast<std::int64_t>(bits));
            double value;
            std::memcpy(&value, &bits, sizeof value);
            check_float(value);
        }
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    check_integer(std::strtoll(text.c_str(), nullptr, 0));
    const double value = std::strtod(text.c_str(), nullptr);
    check_float(value);
    check_float(std::nextafter(value, -std::numeric_limits<double>::infinity()));
    check_float(std::nextafter(value, std::numeric_limits<double>::infinity()));
    return 0;
}
