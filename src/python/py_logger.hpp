// The Python class PyLogger: an immutable (writer, name, threshold) with its six log methods and
// shutdown. Interpreter lock held; any number of threads may call the same logger.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "lib/level.hpp"

namespace tarnwick {
class SharedWriter;
}  // namespace tarnwick

namespace tarnwick::python {

struct PyLogger {
    PyObject_HEAD
    std::shared_ptr<SharedWriter> writer;
    std::shared_ptr<const std::string> name;  // as records print it (escaped once); null: unnamed
    Level level;                              // threshold
};

// Set by make_logger_type; holds its reference for the rest of the process.
extern PyTypeObject* PY_LOGGER_TYPE;

// Creates the type (not subclassable); returns it borrowed from PY_LOGGER_TYPE, or nullptr with
// the error set.
PyTypeObject* make_logger_type();

// None gives a null name; a str its UTF-8 text, escaped as records print it; anything else raises
// the cast error for 'name'.
bool convert_logger_name(PyObject* obj, std::shared_ptr<const std::string>& out);

// Allocates an instance of `type` and moves the fields in. On failure (nullptr, error set) nothing
// has been moved out of the arguments.
PyObject* alloc_logger(PyTypeObject* type, std::shared_ptr<SharedWriter>&& writer,
                       std::shared_ptr<const std::string>&& name, Level level);

// Finds or makes the writer of `path` (nullopt: standard output) and returns a new logger of
// `type`, or nullptr with the error set.
PyObject* create_logger(PyTypeObject* type, std::shared_ptr<const std::string> name,
                        std::optional<std::string> path, Level level);

// Renders one record of an enabled level; `args` are the substitution arguments, borrowed.
PyObject* log_args(PyLogger& logger, Level level, PyObject* message, PyObject* const* args,
                   Py_ssize_t nargs);

PyObject* py_logger_shutdown(PyObject* self, PyObject* unused);

}  // namespace tarnwick::python
