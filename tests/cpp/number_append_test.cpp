#include "lib/number_append.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace tarnwick {
namespace {

// Appenders must add after what the buffer already holds.
template <class F>
std::string appended(F&& push) {
    Bytes out;
    out.append("x=");
    push(out);
    EXPECT_EQ(out.view().substr(0, 2), "x=");
    return std::string(out.view().substr(2));
}

TEST(NumberAppend, IntegersMatchPythonPercentFormat) {
    // clang-format off
    struct { std::int64_t value; const char *decimal, *hex, *octal; } const table[] = {
        {0, "0", "0", "0"}, {-255, "-255", "-ff", "-377"},
        {INT64_MAX, "9223372036854775807", "7fffffffffffffff", "777777777777777777777"},
        {INT64_MIN, "-9223372036854775808", "-8000000000000000", "-1000000000000000000000"}};
    // clang-format on
    for (const auto& c : table) {
        EXPECT_EQ(appended([&](Bytes& b) { push_i64(b, c.value); }), c.decimal);
        EXPECT_EQ(appended([&](Bytes& b) { push_radix(b, c.value, 16); }), c.hex);
        EXPECT_EQ(appended([&](Bytes& b) { push_radix(b, c.value, 8); }), c.octal);
    }
}

// nullopt: Python's repr uses an exponent there, so the appender declines and writes nothing.
TEST(NumberAppend, FloatReprMatchesPythonOrDeclines) {
    // clang-format off
    const std::pair<double, std::optional<std::string>> table[] = {
        {-0.0, "-0.0"}, {0.1, "0.1"}, {0.0001, "0.0001"}, {1e15, "1000000000000000.0"},
        {9007199254740993.0, "9007199254740992.0"}, {1e16, std::nullopt}, {0.00001, std::nullopt},
        {-std::numeric_limits<double>::infinity(), std::nullopt}, {std::numeric_limits<double>::quiet_NaN(), std::nullopt}};
    // clang-format on
    for (const auto& [value, repr] : table) {
        bool done = false;
        EXPECT_EQ(appended([&](Bytes& b) { done = push_f64_repr(b, value); }), repr.value_or("")) << value;
        EXPECT_EQ(done, repr.has_value()) << value;
    }
}

// 0.0000025 rounds by its binary value (just above the tie); 0.0078125 is an exact tie and goes to even.
TEST(NumberAppend, FixedSixMatchesPythonPercentF) {
    // clang-format off
    const std::pair<double, const char*> table[] = {
        {1.5, "1.500000"}, {-0.0, "-0.000000"}, {0.0000025, "0.000003"}, {0.0078125, "0.007812"},
        {1e20, "100000000000000000000.000000"}};
    // clang-format on
    for (const auto& [value, text] : table) EXPECT_EQ(appended([&](Bytes& b) { push_f64_fixed6(b, value); }), text);
}

}  // namespace
}  // namespace tarnwick
