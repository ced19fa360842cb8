// basic_config: writes the settings of the calling interpreter. Interpreter lock held.
#pragma once

#include <Python.h>

namespace tarnwick::python::logger_module {

PyObject* basic_config(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// basic_config with the file options first: `_basic_config_files(max_bytes, keep_days, compress, /,
// *args, **kwargs)`, for the package's basic_config, which checks them (max_bytes 0: no split,
// keep_days -1: keep every day). All settings are stored at once.
PyObject* basic_config_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);


}  // namespace tarnwick::python::logger_module
