#include "python/bound_fields.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include "lib/fields.hpp"
#include "lib/number_append.hpp"
#include "lib/shared_writer.hpp"
#include "python/owned_ref.hpp"
#include "python/py_logger.hpp"
#include "python/py_text.hpp"

namespace tarnwick::python {

namespace {

bool append_str_field(Bytes& out, LineStyle style, std::string_view key, PyObject* str) {
    std::string_view text;
    if (!utf8_of(str, text)) return false;
    append_text_field(out, style, key, text);
    return true;
}

bool append_int_field(Bytes& out, LineStyle style, std::string_view key, PyObject* value) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
        Bytes digits;
        push_i64(digits, v);
        append_bare_field(out, style, key, digits.view());
        return true;
    }
    PyErr_Clear();
    // Arbitrary size: the interpreter's decimal text of the plain int (a subclass may print otherwise).
    OwnedRef number = OwnedRef::steal(PyNumber_Long(value));
    OwnedRef text = number ? OwnedRef::steal(PyObject_Str(number.get())) : OwnedRef();
    std::string_view digits;
    if (!text || !utf8_of(text.get(), digits)) return false;
    append_bare_field(out, style, key, digits);
    return true;
}

bool append_float_field(Bytes& out, LineStyle style, std::string_view key, double value) {
    if (!std::isfinite(value)) {
        const std::string_view text = std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
        append_nonfinite_field(out, style, key, text);
        return true;
    }
    Bytes repr;
    if (push_f64_repr(repr, value)) {
        append_bare_field(out, style, key, repr.view());
        return true;
    }
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) return false;
    append_bare_field(out, style, key, text);
    PyMem_Free(text);
    return true;
}

}  // namespace

PyObject* raise_bad_key(PyObject* key, FieldKey kind) {
    if (kind == FieldKey::Invalid) {
        PyErr_Format(PyExc_ValueError,
                     "invalid field key %R: a key starts with an ASCII letter or '_' and holds only ASCII "
                     "letters, digits, '_', '.' and '-'",
                     key);
    } else {
        PyErr_Format(PyExc_ValueError,
                     "reserved field key %R: time, level, name, msg and keys starting with 'exception.' "
                     "belong to the line itself",
                     key);
    }
    return nullptr;
}

bool checked_field_key(PyObject* key, std::string_view& text) {
    if (!utf8_of(key, text)) return false;
    const FieldKey kind = classify_field_key(text);
    if (kind == FieldKey::Valid) return true;
    raise_bad_key(key, kind);
    return false;
}

void put_member(std::vector<std::pair<std::string, std::string>>& members, std::string_view key,
                std::string rendered) {
    auto same = std::find_if(members.begin(), members.end(), [&](const auto& m) { return m.first == key; });
    if (same != members.end()) {
        same->second = std::move(rendered);
    } else {
        members.emplace_back(std::string(key), std::move(rendered));
    }
}

bool append_value_field(Bytes& out, LineStyle style, std::string_view key, PyObject* value) {
    if (PyUnicode_Check(value)) return append_str_field(out, style, key, value);
    if (value == Py_None) {
        append_bare_field(out, style, key, "null");
        return true;
    }
    if (PyBool_Check(value)) {
        append_bare_field(out, style, key, value == Py_True ? "true" : "false");
        return true;
    }
    if (PyLong_Check(value)) return append_int_field(out, style, key, value);
    if (PyFloat_Check(value)) return append_float_field(out, style, key, PyFloat_AS_DOUBLE(value));
    OwnedRef text = OwnedRef::steal(PyObject_Str(value));
    return text && append_str_field(out, style, key, text.get());
}

PyObject* py_logger_bind(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyLogger& self = *reinterpret_cast<PyLogger*>(op);
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "PyLogger.bind() takes 0 positional arguments but %zd %s given", nargs,
                     nargs == 1 ? "was" : "were");
        return nullptr;
    }
    const LineStyle style = self.writer->config->style;
    auto fields = std::make_shared<BoundFields>();
    if (self.fields) fields->members = self.fields->members;
    const Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);  // borrowed from the call's own tuple
        std::string_view key_text;
        if (!checked_field_key(key, key_text)) return nullptr;
        Bytes member;
        if (!append_value_field(member, style, key_text, args[i])) return nullptr;
        put_member(fields->members, key_text, std::string(member.view()));
    }
    for (const auto& member : fields->members) fields->rendered += member.second;
    std::shared_ptr<SharedWriter> writer = self.writer;
    std::shared_ptr<const std::string> name = self.name;
    PyObject* bound = alloc_logger(Py_TYPE(op), std::move(writer), std::move(name), self.level);
    if (bound != nullptr) reinterpret_cast<PyLogger*>(bound)->fields = std::move(fields);
    return bound;
}

}  // namespace tarnwick::python
