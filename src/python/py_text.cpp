#include "python/py_text.hpp"

#include "python/owned_ref.hpp"

namespace tarnwick::python {

bool append_utf8_native_wide(Bytes& out, PyObject* str) {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
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

bool append_utf8(Bytes& out, PyObject* str) {
    std::string_view text;
    if (!utf8_of(str, text)) return false;
    out.append(text);
    return true;
}

bool lenient_utf8(PyObject* str, std::string& out) {
    std::string_view text;
    if (utf8_of(str, text)) {
        out.assign(text);
        return true;
    }
    PyErr_Clear();
    OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

}  // namespace tarnwick::python
