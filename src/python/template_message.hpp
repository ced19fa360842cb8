// Template strings (string.templatelib, Python 3.14 and later) as log messages: the message is the
// text the equivalent f-string gives, and each interpolation of a name adds a field. Interpreter
// held; the parse of a call site's static parts is cached per thread.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "lib/bytes.hpp"
#include "lib/level.hpp"
#include "lib/record_line.hpp"
#include "python/structured.hpp"
#include "python/thread_cache.hpp"

namespace tarnwick::python {

struct PyLogger;

#if PY_VERSION_HEX >= 0x030E0000
inline constexpr bool TEMPLATES = true;
// Whether `obj` is a string.templatelib.Template.
bool is_template(PyObject* obj);
#else
inline constexpr bool TEMPLATES = false;
inline bool is_template(PyObject*) { return false; }
#endif

// Defined from 3.14 on only (every caller first asks is_template).
// The template's message into `message`, the fields of its names into `call`, and, when
// `msg_template` (basic_config(msg_template=True)), its msg_template member in `style` into `own`. False with the
// error set (a value's formatting failed). `more_python` says that the caller runs Python code
// before the line is written, so `call` must keep the parse its keys point into.
// `cache` is the calling thread's.
bool render_template(ThreadCache& cache, PyObject* tmpl, LineStyle style, Bytes& message, CallMembers& call,
                     std::string& own, bool msg_template, bool more_python = false);

// One record whose message is the template `tmpl`, with `trailing` (exception keys) at its end.
PyObject* log_template(PyLogger& logger, Level level, PyObject* tmpl, std::string_view trailing);

// The TypeError of a template message given substitution arguments; always returns nullptr.
PyObject* raise_template_args(const char* function, Py_ssize_t extra);

}  // namespace tarnwick::python
