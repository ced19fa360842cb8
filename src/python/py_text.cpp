#include "python/py_text.hpp"

#include "python/owned_ref.hpp"

namespace tarnwick::python {

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
