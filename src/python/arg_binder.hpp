// Binding of positional-or-keyword parameters with the messages of a Python-level function, shared
// by every callable of the module, and the argument conversions that name their parameter.
// Interpreter lock held.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick::python {

struct Signature {
    const char* name;                     // as errors show it: "get_logger()", "PyLogger.info()"
    std::span<const char* const> params;  // every one positional-or-keyword
    Py_ssize_t required;                  // the leading params that have no default
    bool collects_extra;                  // a trailing `*args`
};

// One call's arguments, all borrowed from the call (they live as long as it does).
struct Bound {
    static constexpr std::size_t MAX_PARAMS = 5;
    PyObject* values[MAX_PARAMS] = {};  // nullptr: omitted
    PyObject* const* extra = nullptr;   // positionals beyond the named params (collects_extra only)
    Py_ssize_t extra_count = 0;
};

// Vectorcall form: `kwnames` names the values that follow the `nargs` positionals.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out);
// Type-call form: a positional tuple and an optional keyword dict.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out);

// "argument 'param': 'T' object cannot be cast as 'expected'"; always returns nullptr.
PyObject* raise_cast_error(PyObject* obj, const char* param, const char* expected);

// Puts "argument 'param': " in front of a pending TypeError; other errors stay as they are.
void prefix_type_error(const char* param);

// `obj` must be a str. The view points into `obj`'s cached UTF-8 and lives as long as `obj`.
bool convert_str(PyObject* obj, const char* param, std::string_view& out);

// nullptr (omitted) and None give nullopt; otherwise as convert_str.
bool convert_optional_str(PyObject* obj, const char* param, std::optional<std::string>& out);

}  // namespace tarnwick::python
