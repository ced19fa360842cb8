// get_logger: a new logger for the destination DEFAULT_PATH names at the call. Interpreter lock held.
#pragma once

#include <Python.h>

namespace tarnwick::python::logger_module {

PyObject* get_logger(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The built-in function's definition; the module attaches it at initialisation.
extern PyMethodDef get_logger_def;

}  // namespace tarnwick::python::logger_module
