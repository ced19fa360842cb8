// The exception keys of a record line, shared by PyLogger.exception() and the stdlib handler's
// entry. Interpreter lock held.
#pragma once

#include <Python.h>

#include "lib/bytes.hpp"
#include "lib/record_line.hpp"
#include "python/owned_ref.hpp"

namespace tarnwick::python {

// The exception being handled on this thread (sys.exception()), or none.
OwnedRef handled_exception();

// Appends exception.type, exception.message and exception.stacktrace for `exc`. `formatted` is a
// traceback text already made (a stdlib record's exc_text) or null; the stack trace is capped as
// cap_long_text says. False with the error set.
bool append_exception_fields(Bytes& out, LineStyle style, PyObject* exc, PyObject* formatted);

}  // namespace tarnwick::python
