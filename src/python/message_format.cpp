#include "python/message_format.hpp"

#include <cmath>
#include <cstring>

#include "lib/number_append.hpp"
#include "python/owned_ref.hpp"
#include "python/py_text.hpp"

namespace tarnwick::python {

namespace {

enum class Step { Done, Abandon, Error };

constexpr bool is_fast_conversion(char letter) {
    switch (letter) {
        case 'd':
        case 'i':
        case 'f':
        case 'o':
        case 'r':
        case 's':
        case 'x':
            return true;
        default:
            return false;
    }
}

// str() or repr() of an object, appended; an exception here is the caller's, not a reason to abandon.
bool append_text_of(Bytes& out, PyObject* obj, bool repr) {
    OwnedRef text = OwnedRef::steal(repr ? PyObject_Repr(obj) : PyObject_Str(obj));
    return text && append_utf8(out, text.get());
}

// Native: only what needs no Python code (exact str, int and float arguments); anything else
// abandons, with nothing raised.
template <bool Native>
Step convert(Bytes& out, char letter, PyObject* arg) {
    long long value = 0;
    switch (letter) {
        case 'd':
        case 'i':
            if (!PyLong_Check(arg) || !fits_i64(arg, value)) break;
            push_i64(out, value);
            return Step::Done;
        case 'x':
        case 'o':
            if (!PyLong_Check(arg) || !fits_i64(arg, value)) break;
            push_radix(out, value, letter == 'x' ? 16 : 8);
            return Step::Done;
        case 'f': {
            if (!PyFloat_Check(arg)) break;
            const double d = PyFloat_AS_DOUBLE(arg);
            if (!std::isfinite(d)) break;
            push_f64_fixed6(out, d);
            return Step::Done;
        }
        case 's':
        case 'r': {
            const bool repr = letter == 'r';
            if (!repr && PyUnicode_CheckExact(arg)) {
                if constexpr (Native) {
                    if (append_utf8_native(out, arg)) return Step::Done;
                    break;  // a lone surrogate: the interpreter raises its error
                }
                return append_utf8(out, arg) ? Step::Done : Step::Error;
            }
            if (PyLong_CheckExact(arg) && fits_i64(arg, value)) {
                push_i64(out, value);
                return Step::Done;
            }
            PyErr_Clear();  // an out-of-range int is converted by the interpreter below
            if (PyFloat_CheckExact(arg) && push_f64_repr(out, PyFloat_AS_DOUBLE(arg))) return Step::Done;
            if constexpr (Native) break;
            return append_text_of(out, arg, repr) ? Step::Done : Step::Error;
        }
        default:
            break;
    }
    PyErr_Clear();  // an overflow of the int conversion only means: let the interpreter do it
    return Step::Abandon;
}

// The in-place path over the message's UTF-8 `text`; Abandon means the interpreter must format the
// whole message.
template <bool Native>
Step fast_format(Bytes& out, std::string_view text, PyObject* const* args, Py_ssize_t nargs) {
    const char* p = text.data();
    const char* const end = p + text.size();
    Py_ssize_t used = 0;
    while (p < end) {
        const void* hit = std::memchr(p, '%', static_cast<std::size_t>(end - p));
        const char* pct = hit != nullptr ? static_cast<const char*>(hit) : end;
        out.append(p, static_cast<std::size_t>(pct - p));
        if (pct == end) break;
        if (pct + 1 == end) return Step::Abandon;
        const char letter = pct[1];
        p = pct + 2;
        if (letter == '%') {
            out.push_back('%');
            continue;
        }
        if (!is_fast_conversion(letter) || used == nargs) return Step::Abandon;
        const Step step = convert<Native>(out, letter, args[used]);
        if (step != Step::Done) return step;
        ++used;
    }
    return used == nargs ? Step::Done : Step::Abandon;
}

}  // namespace

bool fallback_format(Bytes& out, PyObject* message, PyObject* operand) {
    out.clear();
    OwnedRef result = OwnedRef::steal(PyNumber_Remainder(message, operand));
    if (!result) return false;
    if (!PyUnicode_Check(result.get())) {
        OwnedRef type_name = OwnedRef::steal(PyType_GetName(Py_TYPE(result.get())));
        if (type_name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as 'str'", type_name.get());
        return false;
    }
    return append_utf8(out, result.get());
}

bool format_native(Bytes& out, std::string_view message, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs == 1 && PyDict_Check(args[0])) return false;
    return fast_format<true>(out, message, args, nargs) == Step::Done;
}

bool format_message(Bytes& out, PyObject* message, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs == 1 && PyDict_Check(args[0])) {
        const int truth = PyObject_IsTrue(args[0]);
        if (truth < 0) return false;
        if (truth == 1) return fallback_format(out, message, args[0]);
    }
    std::string_view text;
    if (!utf8_of(message, text)) return false;
    switch (fast_format<false>(out, text, args, nargs)) {
        case Step::Done:
            return true;
        case Step::Error:
            return false;
        case Step::Abandon:
            break;
    }
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(nargs));
    if (!tuple) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    return fallback_format(out, message, tuple.get());
}

}  // namespace tarnwick::python
