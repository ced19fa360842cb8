#include "lib/deferred_format.hpp"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

#include "lib/number_append.hpp"

namespace tarnwick {

namespace {

[[noreturn]] void broken(const char* what) { throw std::logic_error(std::string("captured message: ") + what); }

class Reader {
public:
    explicit Reader(std::string_view in) noexcept : p_(in.data()), end_(in.data() + in.size()), start_(in.data()) {}

    CaptureTag tag() {
        need(1);
        return static_cast<CaptureTag>(static_cast<unsigned char>(*p_++));
    }
    std::string_view text() {
        std::size_t n = 0;
        for (unsigned shift = 0;; shift += 7) {
            need(1);
            if (shift > 56) broken("length too long");
            const auto byte = static_cast<unsigned char>(*p_++);
            n |= static_cast<std::size_t>(byte & 0x7F) << shift;
            if (byte < 0x80) break;
        }
        need(n);
        const std::string_view out(p_, n);
        p_ += n;
        return out;
    }
    template <class T>
    T scalar() {
        need(sizeof(T));
        T value;
        std::memcpy(&value, p_, sizeof value);
        p_ += sizeof value;
        return value;
    }
    std::int64_t star() {
        if (tag() != CaptureTag::Int) broken("a * takes an int");
        return scalar<std::int64_t>();
    }
    std::size_t used() const noexcept { return static_cast<std::size_t>(p_ - start_); }

private:
    void need(std::size_t n) const {
        if (static_cast<std::size_t>(end_ - p_) < n) broken("truncated");
    }
    const char* p_;
    const char* end_;
    const char* start_;
};

struct Value {
    CaptureTag tag = CaptureTag::None;
    std::int64_t i = 0;
    double f = 0.0;
    std::string_view s;
};

Value read_value(Reader& in) {
    Value v;
    v.tag = in.tag();
    switch (v.tag) {
        case CaptureTag::Int:
            v.i = in.scalar<std::int64_t>();
            break;
        case CaptureTag::Float:
            v.f = in.scalar<double>();
            break;
        case CaptureTag::Str:
        case CaptureTag::Text:
            v.s = in.text();
            break;
        case CaptureTag::True:
        case CaptureTag::False:
        case CaptureTag::None:
            break;
        default:
            broken("unknown value tag");
    }
    return v;
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::int64_t count_chars(std::string_view utf8) {
    return static_cast<std::int64_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) { return !is_continuation(c); }));
}

// Byte length of the first `chars` code points.
std::size_t prefix_bytes(std::string_view utf8, std::int64_t chars) {
    std::size_t i = 0;
    for (; i < utf8.size(); ++i) {
        if (!is_continuation(utf8[i]) && chars-- == 0) break;
    }
    return i;
}

void push_repeat(Bytes& out, char c, std::int64_t n) {
    if (n > 0) std::memset(out.extend(static_cast<std::size_t>(n)), c, static_cast<std::size_t>(n));
}

void push_code_point(Bytes& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void push_exponent(Bytes& out, int exponent) {
    out.push_back(exponent < 0 ? '-' : '+');
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out.push_back('0');
    char buf[8];
    const auto r = std::to_chars(buf, buf + sizeof buf, magnitude);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

// The significant digits of |value| in scientific form with `fraction` digits after the first
// (correctly rounded), and the decimal exponent of the first digit. A double's exact value has at most
// 767 significant digits, so digits past that are zeros and need no conversion.
int scientific_digits(double value, std::int64_t fraction, Bytes& digits) {
    constexpr std::int64_t exact = 800;
    const int asked = static_cast<int>(std::min(fraction, exact));
    char buf[exact + 16];
    const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific, asked);
    assert(r.ec == std::errc{});
    const std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
    const std::size_t e_at = text.find('e');
    digits.push_back(text[0]);
    if (e_at > 1) digits.append(text.substr(2, e_at - 2));
    push_repeat(digits, '0', fraction - asked);
    int exponent = 0;
    std::from_chars(text.data() + e_at + (text[e_at + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
    return exponent;
}

// Digits d0 d1 ... with the decimal exponent of d0, as d0.d1...e±XX or positional; `point` writes
// the decimal point even where no digit follows it ("#").
void place_digits(Bytes& out, std::string_view digits, int exponent, bool exponential, bool point) {
    if (exponential) {
        out.push_back(digits[0]);
        if (digits.size() > 1 || point) out.push_back('.');
        out.append(digits.substr(1));
        out.push_back('e');
        push_exponent(out, exponent);
        return;
    }
    if (exponent < 0) {
        out.append("0.");
        push_repeat(out, '0', -exponent - 1);
        out.append(digits);
        return;
    }
    const auto integer = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integer) {
        out.append(digits);
        push_repeat(out, '0', static_cast<std::int64_t>(integer - digits.size()));
        if (point) out.push_back('.');
        return;
    }
    out.append(digits.substr(0, integer));
    out.push_back('.');
    out.append(digits.substr(integer));
}

void push_nonfinite(Bytes& out, double value) {
    if (std::isnan(value)) {
        out.append("nan");  // Python prints no sign for any NaN
    } else {
        out.append(value < 0 ? std::string_view("-inf") : std::string_view("inf"));
    }
}

// repr() of a float: shortest round-trip digits, an exponent from 1e16 on and below 1e-4.
void push_float_repr(Bytes& out, double value) {
    if (!std::isfinite(value)) return push_nonfinite(out, value);
    if (push_f64_repr(out, value)) return;
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
    assert(r.ec == std::errc{});
    const std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
    const std::size_t e_at = text.find('e');
    int exponent = 0;
    std::from_chars(text.data() + e_at + (text[e_at + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
    if (std::signbit(value)) out.push_back('-');
    out.push_back(text[0]);
    if (e_at > 1) out.append(text.substr(1, e_at - 1));  // ".ddd"
    out.push_back('e');
    push_exponent(out, exponent);
}

// "%e %f %g" and their capitals, as PyOS_double_to_string writes them ("#" keeps the point and,
// for "g", the trailing zeros).
void push_float_spec(Bytes& out, double value, char conversion, unsigned flags, std::int64_t precision) {
    const bool upper = conversion == 'E' || conversion == 'F' || conversion == 'G';
    const bool alternate = (flags & FormatSpec::Alternate) != 0;
    const std::size_t start = out.size();
    std::int64_t p = precision < 0 ? 6 : precision;
    if (!std::isfinite(value)) {
        push_nonfinite(out, value);
    } else if (conversion == 'f' || conversion == 'F') {
        // A double's exact value has at most 1074 decimals; past that only zeros follow.
        constexpr std::int64_t exact = 1100;
        const int asked = static_cast<int>(std::min(p, exact));
        char* at = out.extend(exact + 320);
        const auto r = std::to_chars(at, at + exact + 320, value, std::chars_format::fixed, asked);
        assert(r.ec == std::errc{});
        out.truncate(static_cast<std::size_t>(r.ptr - out.data()));
        push_repeat(out, '0', p - asked);
        if (alternate && p == 0) out.push_back('.');
    } else {
        const bool general = conversion == 'g' || conversion == 'G';
        if (general && p == 0) p = 1;
        if (std::signbit(value)) out.push_back('-');
        Bytes digits;
        const int exponent = scientific_digits(value, general ? p - 1 : p, digits);
        std::string_view d = digits.view();
        // "g" is positional for exponents in [-4, precision) and drops trailing zeros unless "#".
        const bool exponential = !general || exponent < -4 || exponent >= p;
        if (general && !alternate) {
            const std::size_t kept = d.find_last_not_of('0');
            d = d.substr(0, kept == std::string_view::npos ? 1 : kept + 1);
        }
        place_digits(out, d, exponent, exponential, alternate);
    }
    if (upper) {
        for (std::size_t i = start; i < out.size(); ++i) {
            char& c = out.data()[i];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
    }
}

// "%d %o %x %X" of an integer: sign, "#" prefix, zeros up to the precision, digits.
void push_int_spec(Bytes& out, std::int64_t value, char conversion, unsigned flags, std::int64_t precision) {
    const int base = conversion == 'o' ? 8 : (conversion == 'x' || conversion == 'X') ? 16 : 10;
    const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, magnitude, base);
    const auto count = static_cast<std::int64_t>(r.ptr - buf);
    if (value < 0) out.push_back('-');
    if (base != 10 && (flags & FormatSpec::Alternate)) {
        out.push_back('0');
        out.push_back(conversion);
    }
    push_repeat(out, '0', precision - count);
    if (conversion == 'X') std::transform(buf, r.ptr, buf, [](char c) { return c >= 'a' ? static_cast<char>(c - 32) : c; });
    out.append(buf, static_cast<std::size_t>(count));
}

// repr() of an ASCII str (the capture keeps others as finished text).
void push_ascii_repr(Bytes& out, std::string_view s) {
    const char quote = s.find('\'') != std::string_view::npos && s.find('"') == std::string_view::npos ? '"' : '\'';
    out.push_back(quote);
    for (const char c : s) {
        if (c == quote || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '\t') {
            out.append("\\t");
        } else if (c == '\n') {
            out.append("\\n");
        } else if (c == '\r') {
            out.append("\\r");
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            constexpr char hex[] = "0123456789abcdef";
            const auto u = static_cast<unsigned char>(c);
            const char escape[] = {'\\', 'x', hex[u >> 4], hex[u & 0xF]};
            out.append(escape, sizeof escape);
        } else if (static_cast<unsigned char>(c) >= 0x80) {
            broken("repr of a non-ASCII str");
        } else {
            out.push_back(c);
        }
    }
    out.push_back(quote);
}

bool is_numeric(char conversion) { return conversion != 's' && conversion != 'r' && conversion != 'a' && conversion != 'c'; }

// The text of one conversion before width, sign and precision-truncation are applied.
void push_body(Bytes& out, const FormatSpec& spec, const Value& v) {
    const char conv = spec.conversion;
    const bool flag = v.tag == CaptureTag::True || v.tag == CaptureTag::False;
    const std::int64_t as_int = flag ? (v.tag == CaptureTag::True ? 1 : 0) : v.i;
    switch (conv) {
        case 's':
        case 'r':
        case 'a':
            switch (v.tag) {
                case CaptureTag::Int:
                    return push_i64(out, v.i);
                case CaptureTag::Float:
                    return push_float_repr(out, v.f);
                case CaptureTag::True:
                    return out.append("True");
                case CaptureTag::False:
                    return out.append("False");
                case CaptureTag::None:
                    return out.append("None");
                case CaptureTag::Str:
                    if (conv == 's') return out.append(v.s);
                    return push_ascii_repr(out, v.s);
                default:
                    break;
            }
            break;
        case 'c':
            if (v.tag == CaptureTag::Str) return out.append(v.s);
            if (v.tag == CaptureTag::Int || flag) {
                if (as_int < 0 || as_int > 0x10FFFF || (as_int >= 0xD800 && as_int <= 0xDFFF)) broken("%c out of range");
                return push_code_point(out, static_cast<std::uint32_t>(as_int));
            }
            break;
        case 'd':
        case 'i':
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            if (v.tag == CaptureTag::Int || flag) return push_int_spec(out, as_int, conv, spec.flags, spec.precision);
            break;
        default:  // e E f F g G
            if (v.tag == CaptureTag::Float) return push_float_spec(out, v.f, conv, spec.flags, spec.precision);
            // Python converts an int with correct rounding; so does the conversion to double.
            if (v.tag == CaptureTag::Int || flag) {
                return push_float_spec(out, static_cast<double>(as_int), conv, spec.flags, spec.precision);
            }
            break;
    }
    broken("value does not fit its conversion");
}

// Width, sign and "#" prefix placement and the precision cut of "%s %r %a", in CPython's order.
void push_padded(Bytes& out, std::string_view body, const FormatSpec& spec) {
    const char conv = spec.conversion;
    const unsigned flags = spec.flags;
    const bool numeric = is_numeric(conv);
    const char fill = numeric && (flags & FormatSpec::Zero) ? '0' : ' ';
    std::int64_t len = numeric ? static_cast<std::int64_t>(body.size()) : count_chars(body);
    if ((conv == 's' || conv == 'r' || conv == 'a') && spec.precision >= 0 && len > spec.precision) {
        len = spec.precision;
        body = body.substr(0, prefix_bytes(body, len));
    }
    std::size_t at = 0;
    bool sign = numeric;
    char sign_char = 0;
    if (sign) {
        if (body[0] == '-' || body[0] == '+') {
            sign_char = body[0];
            at = 1;
            --len;
        } else if (flags & FormatSpec::Sign) {
            sign_char = '+';
        } else if (flags & FormatSpec::Blank) {
            sign_char = ' ';
        } else {
            sign = false;
        }
    }
    std::int64_t width = std::max(spec.width, len);
    if (sign) {
        if (fill != ' ') out.push_back(sign_char);
        if (width > len) --width;
    }
    const bool prefix = (flags & FormatSpec::Alternate) && (conv == 'x' || conv == 'X' || conv == 'o');
    if (prefix) {
        if (fill != ' ') {
            out.append(body.substr(at, 2));
            at += 2;
        }
        width = std::max<std::int64_t>(width - 2, 0);
        len -= 2;
    }
    if (width > len && !(flags & FormatSpec::LeftAlign)) {
        push_repeat(out, fill, width - len);
        width = len;
    }
    if (fill == ' ') {
        if (sign) out.push_back(sign_char);
        if (prefix) {
            out.append(body.substr(at, 2));
            at += 2;
        }
    }
    out.append(body.substr(at));
    push_repeat(out, ' ', width - len);
}

void render_conversion(Bytes& out, Bytes& scratch, FormatSpec& spec, Reader& in) {
    if (spec.star_width) {
        const std::int64_t w = in.star();
        if (w < 0) spec.flags |= FormatSpec::LeftAlign;
        spec.width = w < 0 ? -w : w;
    }
    if (spec.star_precision) spec.precision = std::max<std::int64_t>(in.star(), 0);
    const Value v = read_value(in);
    if (v.tag == CaptureTag::Text) return out.append(v.s);
    if (spec.width < 0 && spec.precision < 0 && !(spec.flags & (FormatSpec::Sign | FormatSpec::Blank))) {
        return push_body(out, spec, v);  // nothing to pad, cut or sign: the body is the text
    }
    scratch.clear();
    push_body(scratch, spec, v);
    push_padded(out, scratch.view(), spec);
}

}  // namespace

SpecParse parse_spec(const char*& p, const char* end, FormatSpec& spec) {
    char c = 0;
    const auto next = [&] {
        if (p == end) return false;
        c = *p++;
        return true;
    };
    // Digits saturate just above the limit: the caller only needs to know the number is too big.
    const auto number = [&](std::int64_t& n) {
        n = c - '0';
        while (true) {
            if (!next()) return false;
            if (!is_digit(c)) return true;
            n = std::min(n * 10 + (c - '0'), SPEC_NUMBER_LIMIT + 1);
        }
    };
    if (!next()) return SpecParse::Incomplete;
    if (c == '(') return SpecParse::MappingKey;
    for (;;) {
        unsigned flag = 0;
        switch (c) {
            case '-': flag = FormatSpec::LeftAlign; break;
            case '+': flag = FormatSpec::Sign; break;
            case ' ': flag = FormatSpec::Blank; break;
            case '#': flag = FormatSpec::Alternate; break;
            case '0': flag = FormatSpec::Zero; break;
            default: break;
        }
        if (flag == 0) break;
        spec.flags |= flag;
        if (!next()) return SpecParse::Incomplete;
    }
    if (c == '*') {
        spec.star_width = true;
        if (!next()) return SpecParse::Incomplete;
    } else if (is_digit(c)) {
        if (!number(spec.width)) return SpecParse::Incomplete;
    }
    if (c == '.') {
        spec.precision = 0;
        if (!next()) return SpecParse::Incomplete;
        if (c == '*') {
            spec.star_precision = true;
            if (!next()) return SpecParse::Incomplete;
        } else if (is_digit(c)) {
            if (!number(spec.precision)) return SpecParse::Incomplete;
        }
    }
    if ((c == 'h' || c == 'l' || c == 'L') && !next()) return SpecParse::Incomplete;
    spec.conversion = c;
    if (spec.width > SPEC_NUMBER_LIMIT || spec.precision > SPEC_NUMBER_LIMIT) return SpecParse::TooBig;
    return SpecParse::Ok;
}

std::size_t render_captured(Bytes& out, std::string_view captured) {
    Reader in(captured);
    const CaptureTag kind = in.tag();
    const std::string_view text = in.text();
    if (kind == CaptureTag::Literal) {
        out.append(text);
        return in.used();
    }
    if (kind != CaptureTag::Format) broken("unknown message kind");
    Bytes scratch;  // allocates only for a conversion with width, precision or a sign flag
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const void* hit = std::memchr(p, '%', static_cast<std::size_t>(end - p));
        const char* pct = hit != nullptr ? static_cast<const char*>(hit) : end;
        out.append(p, static_cast<std::size_t>(pct - p));
        if (pct == end) break;
        p = pct + 1;
        if (p < end && *p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        FormatSpec spec;
        if (read_spec(p, end, spec) != SpecParse::Ok || !is_conversion(spec.conversion)) broken("invalid format");
        render_conversion(out, scratch, spec, in);
    }
    return in.used();
}

}  // namespace tarnwick
