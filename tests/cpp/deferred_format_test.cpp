#include "lib/deferred_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace tarnwick {
namespace {

struct Str {
    std::string_view text;
};
struct Text {
    std::string_view text;
};
using Arg = std::variant<std::int64_t, double, bool, std::nullptr_t, Str, Text>;

Bytes capture(std::string_view format, const std::vector<Arg>& args) {
    Bytes form;
    put_text(form, CaptureTag::Format, format);
    for (const Arg& arg : args) {
        if (auto* i = std::get_if<std::int64_t>(&arg)) put_int(form, *i);
        if (auto* d = std::get_if<double>(&arg)) put_float(form, *d);
        if (auto* b = std::get_if<bool>(&arg)) put_tag(form, *b ? CaptureTag::True : CaptureTag::False);
        if (std::holds_alternative<std::nullptr_t>(arg)) put_tag(form, CaptureTag::None);
        if (auto* s = std::get_if<Str>(&arg)) put_text(form, CaptureTag::Str, s->text);
        if (auto* t = std::get_if<Text>(&arg)) put_text(form, CaptureTag::Text, t->text);
    }
    return form;
}

std::string render(std::string_view format, const std::vector<Arg>& args) {
    const Bytes form = capture(format, args);
    Bytes out;
    EXPECT_EQ(render_captured(out, form.view()), form.size()) << format;
    return std::string(out.view());
}

using I = std::int64_t;
constexpr I I64_MIN = std::numeric_limits<I>::min();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Expected texts are what CPython's % gives for the same format and values.
TEST(DeferredFormat, FloatsRoundCorrectlyInEveryStyle) {
    EXPECT_EQ(render("%.0f %.0f %.0f %.1f %.2e %.3g", {0.5, 1.5, 2.5, 0.25, 1.125, 2.675}), "0 2 2 0.2 1.12e+00 2.67");
    EXPECT_EQ(render("%10.4g|%-10.2e|%+.3f|%010.2f", {1234567.0, -0.000123, 2.0, -3.14159}),
              " 1.235e+06|-1.23e-04 |+2.000|-000003.14");
    EXPECT_EQ(render("%.0e %#.0e %#.0f %#g %#.3g %#.1g %.0g %g", {1.5, 1.5, 2.5, 0.0, 100.0, 2.0, 0.0001, 1e-5}),
              "2e+00 2.e+00 2. 0.00000 100. 2. 0.0001 1e-05");
    EXPECT_EQ(render("%F %E %G %f %+f %e", {INF, -INF, NaN, -NaN, NaN, -0.0}),
              "INF -INF NAN nan +nan -0.000000e+00");
}

TEST(DeferredFormat, FloatReprSwitchesToExponentLikePython) {
    EXPECT_EQ(render("%s %s %s %s %s %s %r", {1e16, 9999999999999998.0, 1e-4, 0.00009999, 5e-324, 1.7976931348623157e308, 1.0 / 3}),
              "1e+16 9999999999999998.0 0.0001 9.999e-05 5e-324 1.7976931348623157e+308 0.3333333333333333");
    EXPECT_EQ(render("%s %s %a %s", {-0.0, -1e-7, INF, NaN}), "-0.0 -1e-07 inf nan");
}

TEST(DeferredFormat, PrecisionBeyondTheExactDigitsPadsWithZeros) {
    const std::string fixed = render("%.1200f", {5e-324});
    EXPECT_EQ(fixed.size(), 1202u);
    EXPECT_EQ(fixed.substr(325, 8), "49406564");  // the exact value's digits come from the conversion
    EXPECT_EQ(fixed.substr(1070, 6), "265625");   // its last digit: 2**-1074 has 1074 decimals
    EXPECT_EQ(fixed.substr(1076), std::string(126, '0'));
    const std::string sci = render("%.1000e", {0.1});
    EXPECT_EQ(sci.substr(0, 20), "1.000000000000000055");
    EXPECT_EQ(sci.substr(sci.size() - 8), "0000e-01");
    EXPECT_EQ(render("%.900g", {0.5}), "0.5");
}

TEST(DeferredFormat, IntegersTakeFlagsWidthAndPrecisionLikePython) {
    EXPECT_EQ(render("%x|%#X|%+05d|%-6o|%#.4x|% 5d|%#x", {I64_MIN, I64_MIN, I64_MIN, I(8), I(255), I(42), I(0)}),
              "-8000000000000000|-0X8000000000000000|-9223372036854775808|10    |0x00ff|   42|0x0");
    EXPECT_EQ(render("%-05d|%-#08o|%0#8x|%.0d|%+.3i|%05u", {I(3), I(8), I(-255), I(0), I(-7), I(-12)}),
              "3    |0o10    |-0x000ff|0|-007|-0012");
    EXPECT_EQ(render("%d %s %x %e %c %r", {true, true, false, true, true, false}), "1 True 0 1.000000e+00 \x01 False");
}

TEST(DeferredFormat, StringsCountCodePointsNotBytes) {
    EXPECT_EQ(render("%5.2s|%-4s|%.1r|%c%c%c", {Str{"日本語"}, Str{"é"}, Str{"ab"}, I(0x1F600), I(0x7F), Str{"é"}}),
              "   日本|é   |'|😀\x7fé");
    EXPECT_EQ(render("%r %r %a %s", {Str{"'"}, Str{"'\""}, Str{std::string_view("\0\t\\", 3)}, nullptr}),
              "\"'\" '\\'\"' '\\x00\\t\\\\' None");
}

TEST(DeferredFormat, StarsTakeWidthAndPrecisionFromTheArguments) {
    EXPECT_EQ(render("%*d|%*d|%.*f|%*.*s", {I(5), I(1), I(-5), I(2), I(-2), 3.14159, I(8), I(2), Str{"abc"}}),
              "    1|2    |3|      ab");
}

TEST(DeferredFormat, FinishedTextIsCopiedAsItIs) {
    EXPECT_EQ(render("[%-*s] %5d %%", {I(9), Text{"<obj é>"}, Text{"x"}}), "[<obj é>] x %");
}

TEST(DeferredFormat, FormsFollowOneAnother) {
    Bytes forms;
    put_text(forms, CaptureTag::Literal, "100% literal");
    const Bytes second = capture("%s=%d", {Str{"n"}, I(1)});
    forms.append(second.view());
    Bytes out;
    const std::size_t first = render_captured(out, forms.view());
    EXPECT_EQ(render_captured(out, forms.view().substr(first)), second.size());
    EXPECT_EQ(out.view(), "100% literaln=1");
}

TEST(DeferredFormat, LongLengthsUseMoreLengthBytes) {
    const std::string big(300000, 'x');
    EXPECT_EQ(render("<%s>", {Str{big}}), "<" + big + ">");
}

TEST(DeferredFormat, BrokenFormsThrowInsteadOfReadingPastTheEnd) {
    const Bytes whole = capture("%s and %d", {Str{"a"}, I(1)});
    Bytes out;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        EXPECT_THROW(render_captured(out, whole.view().substr(0, cut)), std::logic_error) << cut;
    }
    for (const auto& [format, arg] : std::vector<std::pair<std::string_view, Arg>>{
             {"%d", Str{"x"}}, {"%x", 1.5}, {"%c", I(0xD800)}, {"%c", I(-1)}, {"%*d", Str{"5"}}}) {
        const Bytes form = capture(format, {arg, I(1)});
        EXPECT_THROW(render_captured(out, form.view()), std::logic_error) << format;
    }
    EXPECT_THROW(render_captured(out, capture("%5", {}).view()), std::logic_error);
    EXPECT_THROW(render_captured(out, capture("%z", {I(1)}).view()), std::logic_error);
    EXPECT_THROW(render_captured(out, capture("%r", {Str{"é"}}).view()), std::logic_error);
}

TEST(DeferredFormat, SpecsParseAsPythonReadsThem) {
    struct Case {
        std::string_view text;
        SpecParse result;
        char conversion;
        std::int64_t width, precision;
    };
    const Case cases[] = {
        {"-+ #012.5ld", SpecParse::Ok, 'd', 12, 5}, {"*.*s", SpecParse::Ok, 's', -1, 0}, {".f", SpecParse::Ok, 'f', -1, 0},
        {"5%", SpecParse::Ok, '%', 5, -1},           {"", SpecParse::Incomplete, 0, -1, -1},  {"12", SpecParse::Incomplete, 0, 12, -1},
        {"5.", SpecParse::Incomplete, 0, 5, 0},     {"l", SpecParse::Incomplete, 0, -1, -1}, {"(k)s", SpecParse::MappingKey, 0, -1, -1},
        {"99999999999999999999999d", SpecParse::TooBig, 'd', SPEC_NUMBER_LIMIT + 1, -1},
    };
    for (const Case& c : cases) {
        FormatSpec spec;
        const char* p = c.text.data();
        EXPECT_EQ(parse_spec(p, c.text.data() + c.text.size(), spec), c.result) << c.text;
        if (c.result == SpecParse::MappingKey) continue;
        EXPECT_EQ(spec.conversion, c.conversion) << c.text;
        EXPECT_EQ(spec.width, c.width) << c.text;
        EXPECT_EQ(spec.precision, c.precision) << c.text;
        if (c.result == SpecParse::Ok) {
            EXPECT_EQ(p, c.text.data() + c.text.size()) << c.text;
        }
    }
}

}  // namespace
}  // namespace tarnwick
