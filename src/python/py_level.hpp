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

struct ModuleState;

// Creates the type of `module` with its five members; a new reference, or nullptr with the error set.
PyTypeObject* make_level_type(PyObject* module);

// A member of this interpreter's PyLevel gives 5 - its value; anything else raises the cast error
// for `param`. Callers treat an omitted level as Level::Info themselves.
bool convert_level(const ModuleState& state, PyObject* obj, const char* param, Level& out);

}  // namespace tarnwick::python
