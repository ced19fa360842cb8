// Test-only module: reaches the deferred message capture and its renderer from Python, so the pytest
// suite can compare them with Python's % and with today's formatting, and callgrind can count a capture.
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "lib/deferred_format.hpp"
#include "python/arg_capture.hpp"
#include "python/message_format.hpp"

namespace {

using tarnwick::Bytes;

bool tuple_args(PyObject* args, PyObject*& message, PyObject*& tuple) {
    return PyArg_ParseTuple(args, "UO!", &message, &PyTuple_Type, &tuple) != 0;
}

// A "y*" argument, released when the scope ends however it ends (the parser empties it on failure).
struct BufferArg {
    Py_buffer view{};
    ~BufferArg() {
        if (view.obj != nullptr) PyBuffer_Release(&view);
    }
    std::string_view text() const {
        return {static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)};
    }
};

PyObject* text_of(const Bytes& b) { return PyUnicode_DecodeUTF8(b.data(), static_cast<Py_ssize_t>(b.size()), "strict"); }

template <PyObject* (*Impl)(PyObject*)>
PyObject* guarded(PyObject*, PyObject* args) noexcept {
    try {
        return Impl(args);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// capture(message, args) -> bytes: the captured form.
PyObject* capture(PyObject* args) {
    PyObject *message = nullptr, *tuple = nullptr;
    if (!tuple_args(args, message, tuple)) return nullptr;
    Bytes out;
    if (!tarnwick::python::capture_message(out, message, &PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_SIZE(tuple))) return nullptr;
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

// render(captured: bytes) -> str; the form must be used up exactly.
PyObject* render(PyObject* args) {
    BufferArg captured;
    if (!PyArg_ParseTuple(args, "y*", &captured.view)) return nullptr;
    Bytes out;
    const std::size_t used = tarnwick::render_captured(out, captured.text());
    if (used != captured.text().size()) {
        return PyErr_Format(PyExc_RuntimeError, "render used %zu bytes of the form", used);
    }
    return text_of(out);
}

// today(message, args) -> str: the message as a log call formats it on the calling thread.
PyObject* today(PyObject* args) {
    PyObject *message = nullptr, *tuple = nullptr;
    if (!tuple_args(args, message, tuple)) return nullptr;
    Bytes out;
    if (!tarnwick::python::format_message(out, message, &PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_SIZE(tuple))) return nullptr;
    return text_of(out);
}

// capture_loop(message, args, n) and today_loop(...): n captures or formattings, for instruction counts.
template <bool Capture>
PyObject* loop(PyObject* args) {
    PyObject *message = nullptr, *tuple = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "UO!n", &message, &PyTuple_Type, &tuple, &n)) return nullptr;
    Bytes out(4096);
    for (Py_ssize_t i = 0; i < n; ++i) {
        out.clear();
        const bool ok = Capture ? tarnwick::python::capture_message(out, message, &PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_SIZE(tuple))
                                : tarnwick::python::format_message(out, message, &PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_SIZE(tuple));
        if (!ok) return nullptr;
    }
    Py_RETURN_NONE;
}

// render_loop(captured, n): n renderings of one captured form, for instruction counts.
PyObject* render_loop(PyObject* args) {
    BufferArg captured;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "y*n", &captured.view, &n)) return nullptr;
    Bytes out(4096);
    for (Py_ssize_t i = 0; i < n; ++i) {
        out.clear();
        tarnwick::render_captured(out, captured.text());
    }
    Py_RETURN_NONE;
}

PyMethodDef probe_methods[] = {
    {"capture", guarded<capture>, METH_VARARGS, "capture(message, args)\n--\n\n"},
    {"render", guarded<render>, METH_VARARGS, "render(captured)\n--\n\n"},
    {"today", guarded<today>, METH_VARARGS, "today(message, args)\n--\n\n"},
    {"capture_loop", guarded<loop<true>>, METH_VARARGS, "capture_loop(message, args, n)\n--\n\n"},
    {"today_loop", guarded<loop<false>>, METH_VARARGS, "today_loop(message, args, n)\n--\n\n"},
    {"render_loop", guarded<render_loop>, METH_VARARGS, "render_loop(captured, n)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot probe_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "_render_probe", nullptr, 0, probe_methods, probe_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__render_probe() { return PyModuleDef_Init(&probe_def); }
