#include "python/arg_capture.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "lib/deferred_format.hpp"
#include "python/message_format.hpp"
#include "python/owned_ref.hpp"
#include "python/py_text.hpp"

namespace tarnwick::python {

namespace {

// Eager: the call is formatted now, as before deferral, because the capture cannot be sure to
// reproduce it: an error (raised again there with today's exact text), a mapping, a str subclass.
enum class Step { Done, Eager, Error };

// The whole conversion, flags, width and precision included, done by the interpreter now: its text
// is final, so a later change to the argument never shows.
Step capture_text(Bytes& out, const FormatSpec& spec, PyObject* arg) {
    char buf[64];
    char* p = buf;
    *p++ = '%';
    for (const auto& [flag, c] : {std::pair{FormatSpec::LeftAlign, '-'}, {FormatSpec::Sign, '+'},
                                  {FormatSpec::Blank, ' '}, {FormatSpec::Alternate, '#'}, {FormatSpec::Zero, '0'}}) {
        if (spec.flags & flag) *p++ = c;
    }
    if (spec.width >= 0) p = std::to_chars(p, buf + sizeof buf, spec.width).ptr;
    if (spec.precision >= 0) {
        *p++ = '.';
        p = std::to_chars(p, buf + sizeof buf, spec.precision).ptr;
    }
    *p++ = spec.conversion;
    OwnedRef format = OwnedRef::steal(PyUnicode_FromStringAndSize(buf, p - buf));
    if (!format) return Step::Error;
    OwnedRef operand = OwnedRef::steal(PyTuple_Pack(1, arg));
    if (!operand) return Step::Error;
    OwnedRef text = OwnedRef::steal(PyUnicode_Format(format.get(), operand.get()));
    std::string_view utf8;
    if (!text || !utf8_of(text.get(), utf8)) {
        PyErr_Clear();
        return Step::Eager;
    }
    put_text(out, CaptureTag::Text, utf8);
    return Step::Done;
}

// An exact str as UTF-8; a lone surrogate goes the eager way, which raises today's encoding error.
Step capture_str(Bytes& out, PyObject* arg) {
    std::string_view utf8;
    if (!utf8_of(arg, utf8)) {
        PyErr_Clear();
        return Step::Eager;
    }
    put_text(out, CaptureTag::Str, utf8);
    return Step::Done;
}

// Python's own fixed values; anything else is not captured as a value.
bool capture_constant(Bytes& out, PyObject* arg) {
    if (arg == Py_True) {
        put_tag(out, CaptureTag::True);
    } else if (arg == Py_False) {
        put_tag(out, CaptureTag::False);
    } else if (arg == Py_None) {
        put_tag(out, CaptureTag::None);
    } else {
        return false;
    }
    return true;
}

Step capture_value(Bytes& out, const FormatSpec& spec, PyObject* arg) {
    long long i = 0;
    const bool exact_int = PyLong_CheckExact(arg) && fits_i64(arg, i);
    switch (spec.conversion) {
        case 's':
        case 'r':
        case 'a':
            if (PyUnicode_CheckExact(arg)) {
                if (spec.conversion == 's') return capture_str(out, arg);
                // repr() of non-ASCII text needs Unicode's printable table: the interpreter does it.
                if (PyUnicode_IS_ASCII(arg)) return capture_str(out, arg);
                break;
            }
            if (PyFloat_CheckExact(arg)) {
                put_float(out, PyFloat_AS_DOUBLE(arg));
                return Step::Done;
            }
            if (capture_constant(out, arg)) return Step::Done;
            break;
        case 'd':
        case 'i':
        case 'u':
            if (PyFloat_CheckExact(arg)) {
                // Python truncates a float through int(); beyond 64 bits, or not finite, it is its job.
                const double d = PyFloat_AS_DOUBLE(arg);
                if (!(d > -9223372036854775809.0 && d < 9223372036854775808.0)) break;
                put_int(out, static_cast<std::int64_t>(d));
                return Step::Done;
            }
            [[fallthrough]];
        case 'o':
        case 'x':
        case 'X':
            if (arg == Py_True || arg == Py_False) return capture_constant(out, arg), Step::Done;
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
            if (PyFloat_CheckExact(arg)) {
                put_float(out, PyFloat_AS_DOUBLE(arg));
                return Step::Done;
            }
            if (arg == Py_True || arg == Py_False) return capture_constant(out, arg), Step::Done;
            break;
        case 'c':
            if (PyUnicode_CheckExact(arg)) {
                if (PyUnicode_GET_LENGTH(arg) != 1) return Step::Eager;
                return capture_str(out, arg);
            }
            // Out of range raises; a surrogate gives text that UTF-8 refuses: both go the eager way.
            if (exact_int && !(i >= 0 && i <= 0x10FFFF && !(i >= 0xD800 && i <= 0xDFFF))) return Step::Eager;
            if (arg == Py_True || arg == Py_False) return capture_constant(out, arg), Step::Done;
            break;
        default:
            return Step::Eager;
    }
    if (exact_int) {
        put_int(out, i);
        return Step::Done;
    }
    return capture_text(out, spec, arg);
}

// A "*" width or precision: any int within the limit, taken as it is.
bool capture_star(Bytes& out, PyObject* arg, std::int64_t& value) {
    long long v = 0;
    // An int (subclasses too) is read without running its code, so nothing can be raised here.
    if (!PyLong_Check(arg) || !fits_i64(arg, v)) return false;
    value = v;
    if (value < -SPEC_NUMBER_LIMIT || value > SPEC_NUMBER_LIMIT) return false;
    put_int(out, value);
    return true;
}

Step capture_format(Bytes& out, std::string_view text, PyObject* const* args, Py_ssize_t nargs) {
    put_text(out, CaptureTag::Format, text);
    const char* p = text.data();
    const char* const end = p + text.size();
    Py_ssize_t used = 0;
    while (p < end) {
        const void* hit = std::memchr(p, '%', static_cast<std::size_t>(end - p));
        if (hit == nullptr) break;
        p = static_cast<const char*>(hit) + 1;
        if (p < end && *p == '%') {
            ++p;
            continue;
        }
        FormatSpec spec;
        if (read_spec(p, end, spec) != SpecParse::Ok || !is_conversion(spec.conversion)) return Step::Eager;
        std::int64_t star = 0;
        if (spec.star_width) {
            if (used == nargs || !capture_star(out, args[used++], star)) return Step::Eager;
            if (star < 0) spec.flags |= FormatSpec::LeftAlign;
            spec.width = star < 0 ? -star : star;
        }
        if (spec.star_precision) {
            if (used == nargs || !capture_star(out, args[used++], star)) return Step::Eager;
            spec.precision = star < 0 ? 0 : star;
        }
        if (used == nargs) return Step::Eager;
        PyObject* const arg = args[used++];
        if (spec.conversion == 's' && PyUnicode_CheckExact(arg) && PyUnicode_IS_ASCII(arg)) {
            // The most common argument by far, kept out of the general dispatch.
            put_text(out, CaptureTag::Str, {static_cast<const char*>(PyUnicode_DATA(arg)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(arg))});
            continue;
        }
        const Step step = capture_value(out, spec, arg);
        if (step != Step::Done) return step;
    }
    return used == nargs ? Step::Done : Step::Eager;
}

}  // namespace

bool capture_message(Bytes& out, PyObject* message, PyObject* const* args, Py_ssize_t nargs) {
    const std::size_t mark = out.size();
    if (PyUnicode_CheckExact(message) && !(nargs == 1 && PyDict_Check(args[0]))) {
        std::string_view text;
        if (!utf8_of(message, text)) return false;
        if (nargs == 0) {
            put_text(out, CaptureTag::Literal, text);
            return true;
        }
        switch (capture_format(out, text, args, nargs)) {
            case Step::Done:
                return true;
            case Step::Error:
                out.truncate(mark);
                return false;
            case Step::Eager:
                break;
        }
        out.truncate(mark);
    }
    Bytes eager;
    if (nargs == 0) {
        if (!append_utf8(eager, message)) return false;
    } else if (!format_message(eager, message, args, nargs)) {
        return false;
    }
    put_text(out, CaptureTag::Literal, eager.view());
    return true;
}

}  // namespace tarnwick::python
