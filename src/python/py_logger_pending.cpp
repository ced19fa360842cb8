// Stand-ins until the writer registry and the record path land, so the module links and imports.
// Weak, so the real definitions replace them as soon as they are compiled in.
#include "python/py_logger.hpp"

namespace tarnwick::python {

[[gnu::weak]] PyObject* create_logger(PyTypeObject*, std::shared_ptr<const std::string>,
                                      std::optional<std::string>, Level) {
    PyErr_SetString(PyExc_NotImplementedError, "creating a logger arrives with a later change");
    return nullptr;
}

[[gnu::weak]] PyObject* log_args(PyLogger&, Level, PyObject*, PyObject* const*, Py_ssize_t) {
    PyErr_SetString(PyExc_NotImplementedError, "logging arrives with a later change");
    return nullptr;
}

[[gnu::weak]] PyObject* py_logger_shutdown(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "shutdown arrives with a later change");
    return nullptr;
}

}  // namespace tarnwick::python
