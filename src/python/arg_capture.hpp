// Capture of a log call's message and arguments on the calling thread, in the binary form that
// lib/deferred_format.hpp renders later on any thread. Interpreter lock held.
#pragma once

#include <Python.h>

#include "lib/bytes.hpp"

namespace tarnwick::python {

// Appends the captured form of `message % args` (of `message` alone when nargs is 0) to `out`. A call
// that Python's % would reject fails here, with today's exception and text; false with the Python
// error set, and `out` as it was. `args` are the call's extra positionals (borrowed). Runs Python code
// for arguments other than exact str, int, float, bool and None, so a log call may re-enter.
bool capture_message(Bytes& out, PyObject* message, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tarnwick::python
