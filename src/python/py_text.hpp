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

// The UTF-8 text of a str, appended without calling the interpreter. Native rendering runs while the
// thread's record state is in use: an encoding error would be a new object, whose allocation may run
// a collection and so any finalizer, which may log. False, with part of the text appended, at a lone
// surrogate.
inline bool append_utf8_native(Bytes& out, PyObject* str) {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    if (kind == PyUnicode_1BYTE_KIND && PyUnicode_MAX_CHAR_VALUE(str) < 0x80) {
        out.append(static_cast<const char*>(data), length);
        return true;
    }
    const std::size_t before = out.size();
    char* const start = out.extend(length * static_cast<std::size_t>(kind == PyUnicode_1BYTE_KIND ? 2 : kind + 1));
    auto* p = reinterpret_cast<unsigned char*>(start);
    for (std::size_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
        if (c < 0x80) {
            *p++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                out.truncate(before);
                return false;
            }
            *p++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    out.truncate(before + static_cast<std::size_t>(reinterpret_cast<char*>(p) - start));
    return true;
}

// The value of an int that fits 64 bits; false otherwise (an overflow, with no error set, or the
// error of a failed conversion).
inline bool fits_i64(PyObject* obj, long long& value) {
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    return overflow == 0 && !(value == -1 && PyErr_Occurred());
}

}  // namespace tarnwick::python
