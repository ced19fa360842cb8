// The internal-fault exception and the one place where C++ exceptions become Python exceptions.
// Interpreter lock held.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace tarnwick::python {

// Created once at module initialisation; lives for the rest of the process.
extern PyObject* INTERNAL_FAULT;

// Creates INTERNAL_FAULT (once per process); false with the error set on failure.
bool init_internal_fault();

// Raises the internal-fault exception with `message`; always returns nullptr.
PyObject* raise_internal_fault(const char* message) noexcept;

// Translates the exception being handled (call only inside a catch block).
void raise_from_current_exception() noexcept;

// The one cast to PyCFunction; through void(*)() to keep -Wcast-function-type quiet.
template <class F>
PyCFunction as_cfunction(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Wrappers that keep C++ exceptions out of C frames, one per calling convention in use.
template <auto Impl>
PyObject* guarded_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    try {
        return Impl(self, args, nargs, kwnames);
    } catch (...) {
        raise_from_current_exception();
    }
    return nullptr;
}

template <auto Impl>
PyObject* guarded_noargs(PyObject* self, PyObject* unused) noexcept {
    try {
        return Impl(self, unused);
    } catch (...) {
        raise_from_current_exception();
    }
    return nullptr;
}

template <auto Impl>
PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return Impl(type, args, kwargs);
    } catch (...) {
        raise_from_current_exception();
    }
    return nullptr;
}

}  // namespace tarnwick::python
