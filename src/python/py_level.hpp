// The Python class PyLevel: five singleton members counting from Trace (0) to Error (4), and their
// conversion to the internal Level. Interpreter lock held.
#pragma once

#include <Python.h>

#include <cstdint>

#include "lib/level.hpp"

namespace tarnwick::python {

struct PyLevel {
    PyObject_HEAD std::uint8_t value;  // 0 (Trace) to 4 (Error); Level = 5 - value
};

// Set by make_level_type; holds its reference for the rest of the process.
extern PyTypeObject* PY_LEVEL_TYPE;

// Creates the type with its five members; returns it borrowed from PY_LEVEL_TYPE, or nullptr with
// the error set.
PyTypeObject* make_level_type();

// A PyLevel member gives 5 - its value; anything else raises the cast error for `param`.
// Callers treat an omitted level as Level::Info themselves.
bool convert_level(PyObject* obj, const char* param, Level& out);

}  // namespace tarnwick::python
