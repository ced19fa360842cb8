// The internal-fault exception and the one place where C++ exceptions become Python exceptions.
// Interpreter lock held.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>

namespace tarnwick::python {

// Creates the internal-fault exception of the calling interpreter and makes it the one
// raise_internal_fault raises there; a new reference, or nullptr with the error set.
PyObject* make_internal_fault();

// Raises the calling interpreter's internal-fault exception (SystemError before the module has made
// it) with `message`; always returns nullptr.
PyObject* raise_internal_fault(const char* message) noexcept;

// Translates the exception being handled (call only inside a catch block).
void raise_from_current_exception() noexcept;

// The one cast to PyCFunction; through void(*)() to keep -Wcast-function-type quiet.
template <class F>
PyCFunction as_cfunction(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The boundary of every function CPython calls: no C++ exception may cross a C frame. A throw
// becomes the Python exception raise_from_current_exception() gives, reported by nullptr, or by -1
// for a function returning int (a module's exec); a function with no result to report it through (a
// destructor callback) reports it as unraisable.
template <auto Impl>
struct Boundary;

template <class R, class... Args, R (*Impl)(Args...)>
struct Boundary<Impl> {
    static R call(Args... args) noexcept {
        try {
            return Impl(args...);
        } catch (...) {
            raise_from_current_exception();
        }
        if constexpr (std::is_void_v<R>) {
            PyErr_WriteUnraisable(nullptr);
        } else if constexpr (std::is_same_v<R, int>) {
            return -1;
        } else {
            return nullptr;
        }
    }
};

template <auto Impl>
inline constexpr auto guarded = &Boundary<Impl>::call;

}  // namespace tarnwick::python
