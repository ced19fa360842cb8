// basic_config: writes the process-wide settings. Interpreter lock held.
#pragma once

#include <Python.h>

namespace tarnwick::python::logger_module {

PyObject* basic_config(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The built-in function's definition; the module attaches it at initialisation.
extern PyMethodDef basic_config_def;

}  // namespace tarnwick::python::logger_module
