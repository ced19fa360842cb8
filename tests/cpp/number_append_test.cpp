#include "python/number_append.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace tarnwick::python {
namespace {

// Appenders add after what the buffer already holds.
template <class F>
std::string appended(F&& push) {
    Bytes out;
    out.append("x=");
    push(out);
    EXPECT_EQ(out.view().substr(0, 2), "x=");
    return std::string(out.view().substr(2));
}

struct IntCase {
    std::int64_t value;
    const char *decimal, *hex, *octal;
};
class IntAppend : public testing::TestWithParam<IntCase> {};

TEST_P(IntAppend, MatchesPythonPercentFormat) {
    const IntCase& c = GetParam();
    EXPECT_EQ(appended([&](Bytes& b) { push_i64(b, c.value); }), c.decimal);
    EXPECT_EQ(appended([&](Bytes& b) { push_radix(b, c.value, 16); }), c.hex);
    EXPECT_EQ(appended([&](Bytes& b) { push_radix(b, c.value, 8); }), c.octal);
}

INSTANTIATE_TEST_SUITE_P(Edges, IntAppend, testing::Values(
    IntCase{0, "0", "0", "0"}, IntCase{8, "8", "8", "10"}, IntCase{-255, "-255", "-ff", "-377"},
    IntCase{INT64_MAX, "9223372036854775807", "7fffffffffffffff", "777777777777777777777"},
    IntCase{INT64_MIN, "-9223372036854775808", "-8000000000000000", "-1000000000000000000000"}));

struct ReprCase {
    double value;
    std::optional<std::string> repr;  // nullopt: Python uses an exponent, so the appender declines
};
class FloatRepr : public testing::TestWithParam<ReprCase> {};

TEST_P(FloatRepr, MatchesPythonReprOrDeclines) {
    bool done = false;
    EXPECT_EQ(appended([&](Bytes& b) { done = push_f64_repr(b, GetParam().value); }), GetParam().repr.value_or(""));
    EXPECT_EQ(done, GetParam().repr.has_value());
}

constexpr double INF = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(PythonReprs, FloatRepr, testing::Values(
    ReprCase{0.0, "0.0"}, ReprCase{-0.0, "-0.0"}, ReprCase{0.1, "0.1"}, ReprCase{-2.5, "-2.5"},
    ReprCase{123456789.0, "123456789.0"}, ReprCase{0.0001, "0.0001"},
    ReprCase{0.00012345678901234567, "0.00012345678901234567"}, ReprCase{1e15, "1000000000000000.0"},
    ReprCase{9007199254740993.0, "9007199254740992.0"}, ReprCase{9999999999999998.0, "9999999999999998.0"},
    ReprCase{1e16, std::nullopt}, ReprCase{0.00001, std::nullopt}, ReprCase{9.999999999999999e-05, std::nullopt},
    ReprCase{5e-324, std::nullopt}, ReprCase{1.7976931348623157e308, std::nullopt}, ReprCase{-INF, std::nullopt},
    ReprCase{std::numeric_limits<double>::quiet_NaN(), std::nullopt}));

struct FixedCase {
    double value;
    const char* text;
};
class FloatFixed6 : public testing::TestWithParam<FixedCase> {};

TEST_P(FloatFixed6, MatchesPythonPercentF) {
    EXPECT_EQ(appended([&](Bytes& b) { push_f64_fixed6(b, GetParam().value); }), GetParam().text);
}

// 0.0000005 and 0.0000025 round by their exact binary value; 0.0078125 and 0.0234375 are exact
// ties and go to even.
INSTANTIATE_TEST_SUITE_P(PythonPercentF, FloatFixed6, testing::Values(
    FixedCase{1.5, "1.500000"}, FixedCase{-0.0, "-0.000000"}, FixedCase{2.5e-7, "0.000000"},
    FixedCase{0.0000005, "0.000000"}, FixedCase{0.0000025, "0.000003"}, FixedCase{0.0078125, "0.007812"},
    FixedCase{0.0234375, "0.023438"}, FixedCase{1e20, "100000000000000000000.000000"}));

}  // namespace
}  // namespace tarnwick::python
