// Python text and numbers as the binding reads them: UTF-8 of a str (strict, lenient, or without
// calling the interpreter) and ints that fit 64 bits. Interpreter lock held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "lib/bytes.hpp"

namespace tarnwick::python {

// The UTF-8 text of a str, valid while the str lives; false with the encoding error set. An ASCII
// string, the common case, is its own UTF-8 and is read in place without a call.
inline bool utf8_of(PyObject* str, std::string_view& out) {
    if (PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND && PyUnicode_MAX_CHAR_VALUE(str) < 0x80) {
        out = {static_cast<const char*>(PyUnicode_DATA(str)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
        return true;
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &len);
    if (text == nullptr) return false;
    out = {text, static_cast<std::size_t>(len)};
    return true;
}

// Appends the UTF-8 text of a str; false with the encoding error set.
bool append_utf8(Bytes& out, PyObject* str);

// The UTF-8 text of a str, with lone surrogates written as backslash escapes instead of failing:
// for texts the caller did not write itself (exception messages, tracebacks). False with the error set.
bool lenient_utf8(PyObject* str, std::string& out);

// append_utf8_native for a str that is not all ASCII: encoded here, compiled once.
bool append_utf8_native_wide(Bytes& out, PyObject* str);

// The UTF-8 text of a str, appended without calling the interpreter. Native rendering runs while the
// thread's record state is in use: an encoding error would be a new object, whose allocation may run
// a collection and so any finalizer, which may log. False, with part of the text appended, at a lone
// surrogate.
inline bool append_utf8_native(Bytes& out, PyObject* str) {
    if (PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND && PyUnicode_MAX_CHAR_VALUE(str) < 0x80) [[likely]] {
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
        out.append(static_cast<const char*>(PyUnicode_DATA(str)), length);
        return true;
    }
    return append_utf8_native_wide(out, str);
}

// The value of an int that fits 64 bits; false otherwise (an overflow, with no error set, or the
// error of a failed conversion).
inline bool fits_i64(PyObject* obj, long long& value) {
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    return overflow == 0 && !(value == -1 && PyErr_Occurred());
}

}  // namespace tarnwick::python
