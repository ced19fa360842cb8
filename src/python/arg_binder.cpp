#include "python/arg_binder.hpp"

#include <algorithm>
#include <cassert>
#include <string>

#include "python/owned_ref.hpp"

namespace tarnwick::python {

namespace {

Py_ssize_t param_count(const Signature& sig) noexcept { return static_cast<Py_ssize_t>(sig.params.size()); }

bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, Bound& out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.name);
        return false;
    }
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) != 0) continue;
        if (out.values[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.name, sig.params[i]);
            return false;
        }
        out.values[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.name, key);
    return false;
}

bool raise_too_many(const Signature& sig, Py_ssize_t given) {
    const Py_ssize_t count = param_count(sig);
    const char* verb = given == 1 ? "was" : "were";
    if (sig.required < count) {
        PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given", sig.name,
                     sig.required, count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s but %zd %s given", sig.name, count,
                     count == 1 ? "" : "s", given, verb);
    }
    return false;
}

// Lists the names as a Python function does: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
bool raise_missing(const Signature& sig, const Bound& out) {
    std::string names;
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < sig.required; ++i) missing += out.values[i] == nullptr;
    Py_ssize_t listed = 0;
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (out.values[i] != nullptr) continue;
        if (listed > 0) names += missing == 2 ? " and " : (listed + 1 == missing ? ", and " : ", ");
        names += '\'';
        names += sig.params[static_cast<std::size_t>(i)];
        names += '\'';
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s: %s", sig.name, missing,
                 missing == 1 ? "" : "s", names.c_str());
    return false;
}

// Keywords are placed before the positional count is judged, the order in which a Python
// function reports its binding errors.
template <class ForEachKeyword>
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, ForEachKeyword&& for_each_keyword,
          Bound& out) {
    const Py_ssize_t count = param_count(sig);
    const Py_ssize_t placed = std::min(nargs, count);
    for (Py_ssize_t i = 0; i < placed; ++i) out.values[i] = args[i];
    if (!for_each_keyword([&](PyObject* key, PyObject* value) { return place_keyword(sig, key, value, out); })) {
        return false;
    }
    if (nargs > count && !sig.collects_extra) return raise_too_many(sig, nargs);
    out.extra = args + placed;
    out.extra_count = nargs - placed;
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (out.values[i] == nullptr) return raise_missing(sig, out);
    }
    return true;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out) {
    assert(sig.params.size() <= Bound::MAX_PARAMS && "Bound holds at most MAX_PARAMS values");
    return bind(
        sig, args, nargs,
        [&](auto&& place) {
            const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t i = 0; i < nkw; ++i) {
                if (!place(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
            }
            return true;
        },
        out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out) {
    assert(sig.params.size() <= Bound::MAX_PARAMS && "Bound holds at most MAX_PARAMS values");
    PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
    return bind(
        sig, items, PyTuple_GET_SIZE(args),
        [&](auto&& place) {
            if (kwargs == nullptr) return true;
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;    // borrowed from kwargs
            PyObject* value = nullptr;  // borrowed from kwargs
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (!place(key, value)) return false;
            }
            return true;
        },
        out);
}

PyObject* raise_cast_error(PyObject* obj, const char* param, const char* expected) {
    OwnedRef type_name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!type_name) return nullptr;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be cast as '%s'", param, type_name.get(),
                 expected);
    return nullptr;
}

namespace {

// The pending exception as one normalised object (the error indicator is cleared).
OwnedRef take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return OwnedRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return OwnedRef::steal(value);
#endif
}

void restore_raised_exception(OwnedRef exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

}  // namespace

void prefix_type_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    OwnedRef original = take_raised_exception();
    OwnedRef text = OwnedRef::steal(PyObject_Str(original.get()));
    if (!text) return;  // the failure of str() is raised instead
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
    // Chained like an implicit `raise ... from`, so a traceback still shows where it began.
    OwnedRef prefixed = take_raised_exception();
    PyException_SetCause(prefixed.get(), original.release());  // steals the cause
    restore_raised_exception(std::move(prefixed));
}

bool convert_str(PyObject* obj, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cast_error(obj, param, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);  // lone surrogates raise here
    if (utf8 == nullptr) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert_optional_str(PyObject* obj, const char* param, std::optional<std::string>& out) {
    if (obj == nullptr || obj == Py_None) {
        out.reset();
        return true;
    }
    std::string_view text;
    if (!convert_str(obj, param, text)) return false;
    out.emplace(text);
    return true;
}

}  // namespace tarnwick::python
