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

struct PyLogger;

// The enabled record of PyLogger.exception(): an error line with the handled exception's keys
// after the logger's members, or a plain error line when none is being handled. `args` borrowed.
PyObject* log_exception(PyLogger& logger, PyObject* message, PyObject* const* args, Py_ssize_t nargs);

// The same for a template message (3.14 on; callers first ask is_template).
PyObject* log_exception_template(PyLogger& logger, PyObject* tmpl);

}  // namespace tarnwick::python
