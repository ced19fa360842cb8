#include "python/errors.hpp"

#include <stdexcept>

namespace tarnwick::python {

namespace {

// In the interpreter's own dict, so the boundary finds the class of the interpreter it runs in
// without a module at hand; looked up only when a fault is raised.
constexpr const char* INTERNAL_FAULT_KEY = "tarnwick._logger.InternalFault";

}  // namespace

PyObject* make_internal_fault() {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (dict == nullptr) {
        PyErr_SetString(PyExc_SystemError, "tarnwick: no interpreter dict");
        return nullptr;
    }
    PyObject* fault =
        PyErr_NewExceptionWithDoc("tarnwick._logger.InternalFault",
                                  "A broken invariant inside tarnwick; raised instead of crashing the interpreter.",
                                  PyExc_BaseException, nullptr);
    if (fault == nullptr || PyDict_SetItemString(dict, INTERNAL_FAULT_KEY, fault) < 0) {
        Py_XDECREF(fault);
        return nullptr;
    }
    return fault;
}

PyObject* raise_internal_fault(const char* message) noexcept {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    PyObject* fault = dict != nullptr ? PyDict_GetItemString(dict, INTERNAL_FAULT_KEY) : nullptr;  // borrowed
    PyErr_SetString(fault != nullptr ? fault : PyExc_SystemError, message);
    return nullptr;
}

void raise_from_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    } catch (...) {
        raise_internal_fault("unknown C++ exception");
    }
}

}  // namespace tarnwick::python
