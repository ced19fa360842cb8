// Message text of a log call with arguments: printf-style substitution done in place for the common
// conversions, and by the interpreter's % operator for everything else. Interpreter lock held.
#pragma once

#include <Python.h>

#include "lib/bytes.hpp"

namespace tarnwick::python {

// Appends `message % args` to `out` (which must be empty). False with the Python error set.
// `args` are the call's extra positionals (borrowed), nargs >= 1.
bool format_message(Bytes& out, PyObject* message, PyObject* const* args, Py_ssize_t nargs);

// Empties `out` and appends the UTF-8 text of `message % operand`, evaluated by the interpreter.
bool fallback_format(Bytes& out, PyObject* message, PyObject* operand);

// Appends the UTF-8 text of a str; false with the encoding error set.
bool append_utf8(Bytes& out, PyObject* str);

}  // namespace tarnwick::python
