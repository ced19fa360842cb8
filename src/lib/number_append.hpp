// Appenders that print numbers exactly as Python's % operator and repr do, for the formatting fast
// path. Plain C++ (no interpreter calls); any thread.
#pragma once

#include <cstdint>

#include "lib/bytes.hpp"

namespace tarnwick {

// Decimal, "-" for negatives ("%d", str and repr of an int).
void push_i64(Bytes& out, std::int64_t value);

// Base 8 or 16 as "%o" and "%x" print it: "-" for negatives, lowercase, no prefix, no leading zeros.
void push_radix(Bytes& out, std::int64_t value, unsigned base);

// repr() of a float when that needs no exponent (zero, or 1e-4 <= |value| < 1e16); otherwise
// appends nothing and returns false, leaving the value to the interpreter.
[[nodiscard]] bool push_f64_repr(Bytes& out, double value);

// "%f" of a finite value: exactly 6 decimals, correctly rounded from the binary value, ties to even.
void push_f64_fixed6(Bytes& out, double value);

}  // namespace tarnwick
