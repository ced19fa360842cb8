// The records of PyLogger.exception(): error lines that carry the exception being handled under the
// OpenTelemetry keys exception.type, exception.message and exception.stacktrace.
#include "python/exception_fields.hpp"

#include <Python.h>

#include <string>

#include "lib/fields.hpp"
#include "lib/shared_writer.hpp"
#include "python/bound_fields.hpp"
#include "python/owned_ref.hpp"
#include "python/py_logger.hpp"
#include "python/py_text.hpp"
#include "python/structured.hpp"
#include "python/template_message.hpp"

namespace tarnwick::python {

namespace {

// "ValueError", "pkg.mod.MyError": the class's module-qualified name, builtins left out.
bool type_name_of(PyObject* exc, std::string& out) {
    PyTypeObject* type = Py_TYPE(exc);
    OwnedRef qualname = OwnedRef::steal(PyType_GetQualName(type));
    if (!qualname || !lenient_utf8(qualname.get(), out)) return false;
    OwnedRef module = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return true;
    }
    std::string module_text;
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0) return true;
    if (!lenient_utf8(module.get(), module_text)) return false;
    out = module_text + "." + out;
    return true;
}

// The text traceback.format_exception gives: causes and contexts, no local variables.
bool format_traceback(PyObject* exc, std::string& out) {
    OwnedRef traceback = OwnedRef::steal(PyImport_ImportModule("traceback"));
    OwnedRef lines =
        traceback ? OwnedRef::steal(PyObject_CallMethod(traceback.get(), "format_exception", "O", exc)) : OwnedRef();
    OwnedRef empty = lines ? OwnedRef::steal(PyUnicode_FromString("")) : OwnedRef();
    OwnedRef text = empty ? OwnedRef::steal(PyUnicode_Join(empty.get(), lines.get())) : OwnedRef();
    return text && lenient_utf8(text.get(), out);
}

}  // namespace

OwnedRef handled_exception() {
    // Public since 3.11; null (or None) when no exception is being handled.
    OwnedRef exc = OwnedRef::steal(PyErr_GetHandledException());
    if (exc.get() == Py_None) return {};
    return exc;
}

bool append_exception_fields(Bytes& out, LineStyle style, PyObject* exc, PyObject* formatted) {
    std::string type_name, message, stacktrace;
    if (!type_name_of(exc, type_name)) return false;
    OwnedRef text = OwnedRef::steal(PyObject_Str(exc));
    if (!text) {
        PyErr_Clear();  // as the traceback module shows it: the record itself must not fail
        message = "<exception str() failed>";
    } else if (!lenient_utf8(text.get(), message)) {
        return false;
    }
    if (formatted != nullptr && PyUnicode_Check(formatted)) {
        if (!lenient_utf8(formatted, stacktrace)) return false;
    } else if (!format_traceback(exc, stacktrace)) {
        return false;
    }
    if (!stacktrace.empty() && stacktrace.back() == '\n') stacktrace.pop_back();
    append_text_field(out, style, "exception.type", type_name);
    append_text_field(out, style, "exception.message", message);
    append_text_field(out, style, "exception.stacktrace", cap_long_text(stacktrace));
    return true;
}

PyObject* log_exception(PyLogger& self, PyObject* message, PyObject* const* args, Py_ssize_t nargs) {
    OwnedRef exc = handled_exception();
    if (!exc) return log_args(self, Level::Error, message, args, nargs);
    Bytes tail;
    if (!append_line_members(tail, self, {}, {})) return nullptr;
    if (!append_exception_fields(tail, self.writer->config->style, exc.get(), nullptr)) return nullptr;
    return log_named(self, Level::Error, name_of(self), message, args, nargs, tail.view());
}

PyObject* log_exception_template(PyLogger& self, PyObject* tmpl) {
    if constexpr (TEMPLATES) {
        OwnedRef exc = handled_exception();
        Bytes keys;
        if (exc && !append_exception_fields(keys, self.writer->config->style, exc.get(), nullptr)) return nullptr;
        return log_template(self, Level::Error, tmpl, keys.view());
    }
    return nullptr;
}

}  // namespace tarnwick::python
