// Message text of a log call with arguments: printf-style substitution done in place for the common
// conversions, and by the interpreter's % operator for everything else. Interpreter lock held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "lib/bytes.hpp"

namespace tarnwick::python {

// Appends `message % args` to `out` (which must be empty). False with the Python error set.
// `args` are the call's extra positionals (borrowed), nargs >= 1.
bool format_message(Bytes& out, PyObject* message, PyObject* const* args, Py_ssize_t nargs);

// Appends `message % args`, given the message's UTF-8 text, without running any Python code, creating
// any Python object or raising: false when that needs the interpreter (then `out` holds a partial
// text the caller drops, and format_message does the work).
bool format_native(Bytes& out, std::string_view message, PyObject* const* args, Py_ssize_t nargs);

// Empties `out` and appends the UTF-8 text of `message % operand`, evaluated by the interpreter.
bool fallback_format(Bytes& out, PyObject* message, PyObject* operand);

}  // namespace tarnwick::python
