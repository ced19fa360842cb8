// Owning handle for one strong PyObject reference. Used with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace tarnwick::python {

class OwnedRef {  // owns exactly one strong reference, or none; move-only
public:
    OwnedRef() = default;
    static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
    static OwnedRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return OwnedRef(p);
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& o) noexcept : ptr_(std::exchange(o.ptr_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& o) noexcept {
        std::swap(ptr_, o.ptr_);
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(ptr_); }
    PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit OwnedRef(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace tarnwick::python
