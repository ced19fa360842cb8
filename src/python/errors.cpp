#include "python/errors.hpp"

#include <stdexcept>

namespace tarnwick::python {

PyObject* INTERNAL_FAULT = nullptr;

bool init_internal_fault() {
    if (INTERNAL_FAULT != nullptr) return true;
    INTERNAL_FAULT =
        PyErr_NewExceptionWithDoc("tarnwick._logger.InternalFault",
                                  "A broken invariant inside tarnwick; raised instead of crashing the interpreter.",
                                  PyExc_BaseException, nullptr);
    return INTERNAL_FAULT != nullptr;
}

PyObject* raise_internal_fault(const char* message) noexcept {
    PyErr_SetString(INTERNAL_FAULT != nullptr ? INTERNAL_FAULT : PyExc_SystemError, message);
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
