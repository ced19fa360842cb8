// get_logger: a new logger for the destination the interpreter's settings name at the call. Interpreter lock held.
#pragma once

#include <Python.h>

namespace tarnwick::python::logger_module {

PyObject* get_logger(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarnwick::python::logger_module
