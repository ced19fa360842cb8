// PyLogger._emit(): the one call per record of tarnwick.Handler, so that the Python side of a
// stdlib record stays a few attribute reads. Interpreter lock held.
#include <Python.h>

#include <string>

#include "lib/fields.hpp"
#include "lib/json_escape.hpp"
#include "lib/shared_writer.hpp"
#include "python/arg_binder.hpp"
#include "python/bound_fields.hpp"
#include "python/exception_fields.hpp"
#include "python/message_format.hpp"
#include "python/owned_ref.hpp"
#include "python/py_logger.hpp"
#include "python/py_text.hpp"
#include "python/structured.hpp"
#include "python/template_message.hpp"

namespace tarnwick::python {

namespace {

// Stdlib levels by range, so custom levels land next to their neighbours.
bool level_of(PyObject* levelno, Level& out) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(levelno, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) {
        out = overflow > 0 ? Level::Error : Level::Trace;
    } else {
        out = value < 10   ? Level::Trace
              : value < 20 ? Level::Debug
              : value < 30 ? Level::Info
              : value < 40 ? Level::Warn
                           : Level::Error;
    }
    return true;
}

// The record's extra attributes, each under the key outside_field_key() makes of its name, after the
// logger's bound fields; `fields` keeps each key once. The dict is the handler's own, made for this
// record, so no other thread changes it meanwhile.
bool add_extras(FieldSet& fields, LineStyle style, PyObject* extras) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;    // borrowed from extras
    PyObject* value = nullptr;  // borrowed from extras
    Bytes member;
    while (PyDict_Next(extras, &pos, &key, &value)) {
        // Held across the conversions, which may run any Python code.
        OwnedRef held_key = OwnedRef::borrow(key), held_value = OwnedRef::borrow(value);
        OwnedRef key_text = OwnedRef::steal(PyObject_Str(key));
        std::string key_utf8;
        if (!key_text || !lenient_utf8(key_text.get(), key_utf8)) return false;
        const std::string field_key = outside_field_key(key_utf8);
        member.clear();
        if (!append_value_field(member, style, field_key, value)) return false;
        fields.add(field_key, member.view(), field_key != key_utf8);
    }
    return true;
}

}  // namespace

// (levelno, name, msg, args, extras, stack, exc, exc_text): the record's levelno, name (str or
// None), msg and args (the message is str(msg) % args when args is not empty, as
// LogRecord.getMessage() makes it); a dict of extra attributes or None; stack_info or None; the
// exception of exc_info or None, with the record's exc_text when a formatter already made it.
PyObject* py_logger_emit(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyLogger& self = *reinterpret_cast<PyLogger*>(op);
    if (nargs != 8 || kwnames != nullptr) {
        PyErr_SetString(PyExc_TypeError, "PyLogger._emit() takes exactly 8 positional arguments");
        return nullptr;
    }
    PyObject *const levelno = args[0], *const name = args[1], *const msg = args[2], *const msg_args = args[3],
                    *const extras = args[4], *const stack = args[5], *const exc = args[6], *const exc_text = args[7];
    Level level = Level::Info;
    if (!level_of(levelno, level)) return nullptr;
    if (!level_enabled(self.level, level)) Py_RETURN_NONE;

    std::optional<EscapedName> line_name;
    std::string escaped_storage;
    if (name != Py_None) {
        std::string_view name_text;
        if (!convert_str(name, "name", name_text)) return nullptr;
        if (json_escaped_size(name_text) != name_text.size()) {
            escaped_storage = json_escaped(name_text);
            name_text = escaped_storage;
        }
        line_name = escaped_name(name_text);
    }

    const LineStyle style = self.writer->config->style;
    // A template message gives the text and fields of its own.
    ScratchLoan scratch;
    CallMembers call(scratch->members);
    std::string template_member;
    const bool from_template = is_template(msg);
    if constexpr (TEMPLATES) {
        if (from_template) {
            const int has_args = msg_args == Py_None ? 0 : PyObject_IsTrue(msg_args);
            if (has_args < 0) return nullptr;
            if (has_args != 0) {
                return raise_template_args("the record", PyTuple_Check(msg_args) ? PyTuple_GET_SIZE(msg_args) : 1);
            }
            if (!render_template(scratch.cache(), msg, style, scratch->message, call, template_member, msg_template_on(self), true)) return nullptr;
        }
    }
    Bytes tail;
    if (extras != Py_None || from_template || ANY_STRUCTURE.load(std::memory_order_relaxed)) {
        if (extras != Py_None && !PyDict_Check(extras)) return raise_cast_error(extras, "extras", "dict");
        // In line order: the template's text, the span's ids and the request context, the bound
        // fields, the template's fields, the extras.
        FieldSet fields;
        if (!template_member.empty()) fields.add("msg_template", template_member, false);
        if (!add_ambient_members(fields, self)) return nullptr;
        if (self.fields) {
            for (const auto& [key, member] : self.fields->members) fields.add(key, member, false);
        }
        for (const Member& m : call.finish()) fields.add(m.key, m.text, false);
        if (extras != Py_None && !add_extras(fields, style, extras)) return nullptr;
        fields.append_to(tail);
    } else if (self.fields) {
        tail.append(self.fields->rendered);
    }
    if (stack != Py_None && !append_value_field(tail, style, "stack", stack)) return nullptr;
    if (PyExceptionInstance_Check(exc) &&
        !append_exception_fields(tail, style, exc, exc_text == Py_None ? nullptr : exc_text)) {
        return nullptr;
    }

    if (from_template) return log_text(self, level, line_name, scratch->message.view(), tail.view());
    OwnedRef message = PyUnicode_CheckExact(msg) ? OwnedRef::borrow(msg) : OwnedRef::steal(PyObject_Str(msg));
    if (!message) return nullptr;
    const int has_args = msg_args == Py_None ? 0 : PyObject_IsTrue(msg_args);
    if (has_args < 0) return nullptr;
    if (has_args == 0) return log_named(self, level, line_name, message.get(), nullptr, 0, tail.view());
    if (PyTuple_Check(msg_args)) {
        return log_named(self, level, line_name, message.get(), &PyTuple_GET_ITEM(msg_args, 0),
                         PyTuple_GET_SIZE(msg_args), tail.view());
    }
    if (PyDict_Check(msg_args)) return log_named(self, level, line_name, message.get(), &msg_args, 1, tail.view());
    // Any other mapping: the interpreter's % does what getMessage() does.
    Bytes text;
    if (!fallback_format(text, message.get(), msg_args)) return nullptr;
    return log_text(self, level, line_name, text.view(), tail.view());
}

}  // namespace tarnwick::python
