#include "python/py_logger.hpp"

#include <array>
#include <iterator>
#include <utility>

#include "lib/json_escape.hpp"
#include "python/arg_binder.hpp"
#include "python/detached.hpp"
#include "python/errors.hpp"
#include "python/exception_fields.hpp"
#include "python/logger_module/module_state.hpp"
#include "python/logger_module/settings.hpp"
#include "python/py_level.hpp"
#include "python/template_message.hpp"

namespace tarnwick::python {

namespace {

constexpr const char* new_params[] = {"name", "path", "level"};
constexpr Signature new_signature{"PyLogger.__new__()", new_params, 1, false};

constexpr const char* message_params[] = {"message"};

struct LogMethod {
    const char* name;
    Level level;
    Signature signature;
    const char* doc;
    bool exception = false;  // the line also carries the exception being handled
};
constexpr LogMethod LOG_METHODS[] = {
    {"trace", Level::Trace, {"PyLogger.trace()", message_params, 1, true}, "trace($self, message, *args)\n--\n\n"},
    {"debug", Level::Debug, {"PyLogger.debug()", message_params, 1, true}, "debug($self, message, *args)\n--\n\n"},
    {"info", Level::Info, {"PyLogger.info()", message_params, 1, true}, "info($self, message, *args)\n--\n\n"},
    {"warn", Level::Warn, {"PyLogger.warn()", message_params, 1, true}, "warn($self, message, *args)\n--\n\n"},
    {"warning", Level::Warn, {"PyLogger.warning()", message_params, 1, true}, "warning($self, message, *args)\n--\n\n"},
    {"error", Level::Error, {"PyLogger.error()", message_params, 1, true}, "error($self, message, *args)\n--\n\n"},
    {"exception", Level::Error, {"PyLogger.exception()", message_params, 1, true},
     "exception($self, message, *args)\n--\n\n", true},
};

// One enabled record of `method`: its message is a str, `args` substitute into it. Inlined, so a
// level method's fast path keeps only its own branch.
[[gnu::always_inline]] inline PyObject* log_method_args(PyLogger& self, const LogMethod& method, PyObject* message, PyObject* const* args,
                          Py_ssize_t nargs) {
    if (method.exception) return log_exception(self, message, args, nargs);
    return log_args(self, method.level, message, args, nargs);
}

// One enabled record of `method` whose message is a template (only ever called where they exist).
PyObject* log_method_template(PyLogger& self, const LogMethod& method, PyObject* tmpl) {
    if constexpr (TEMPLATES) {
        if (method.exception) return log_exception_template(self, tmpl);
        return log_template(self, method.level, tmpl, {});
    }
    return nullptr;
}

PyObject* py_logger_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Bound bound;
    if (!bind_tuple(new_signature, args, kwargs, bound)) return nullptr;
    // Converted in parameter order, all before the registry is touched.
    std::shared_ptr<const std::string> name;
    if (!convert_logger_name(bound.values[0], name)) return nullptr;
    std::optional<std::string> path;
    if (!convert_optional_str(bound.values[1], "path", path)) return nullptr;
    if (path && !logger_module::resolve_relative_path(*path)) return PyErr_SetFromErrno(PyExc_OSError);
    Level level = Level::Info;
    if (bound.values[2] != nullptr && !convert_level(type_state(type), bound.values[2], "level", level)) {
        return nullptr;
    }
    return create_logger(type, std::move(name), std::move(path), level);
}

// Everything the fast path of py_logger_log leaves out: keywords, a missing or non-str message.
// The message is checked before the level gate, so a wrong call fails even when dropped.
[[gnu::noinline]] PyObject* log_bound(PyLogger& self, const LogMethod& method, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    Bound bound;
    if (!bind_fastcall(method.signature, args, nargs, kwnames, bound)) return nullptr;
    PyObject* message = bound.values[0];  // borrowed from args
    if (!PyUnicode_Check(message)) {
        if constexpr (TEMPLATES) {
            if (is_template(message)) {
                if (bound.extra_count != 0) return raise_template_args(method.signature.name, bound.extra_count);
                if (!level_enabled(self.level, method.level)) Py_RETURN_NONE;
                return log_method_template(self, method, message);
            }
        }
        return raise_cast_error(message, "message", "str");
    }
    if (!level_enabled(self.level, method.level)) Py_RETURN_NONE;
    return log_method_args(self, method, message, bound.extra, bound.extra_count);
}

template <std::size_t Index>
PyObject* py_logger_log(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr const LogMethod& Method = LOG_METHODS[Index];
    PyLogger& self = *reinterpret_cast<PyLogger*>(op);
    // The common call, logger.info("text", ...), needs no binding: test it first and drop
    // disabled levels before anything else is looked at.
    if (kwnames == nullptr && nargs >= 1 && PyUnicode_Check(args[0])) [[likely]] {
        if (!level_enabled(self.level, Method.level)) Py_RETURN_NONE;
        return log_method_args(self, Method, args[0], args + 1, nargs - 1);
    }
    if constexpr (TEMPLATES) {
        if (kwnames == nullptr && nargs == 1 && is_template(args[0])) {
            if (!level_enabled(self.level, Method.level)) Py_RETURN_NONE;
            return log_method_template(self, Method, args[0]);
        }
    }
    return log_bound(self, Method, args, nargs, kwnames);
}

void py_logger_dealloc(PyObject* op) noexcept {
    auto* self = reinterpret_cast<PyLogger*>(op);
    PyTypeObject* type = Py_TYPE(op);
    std::shared_ptr<SharedWriter> writer = std::move(self->writer);
    std::destroy_at(&self->fields);
    std::destroy_at(&self->name);
    std::destroy_at(&self->writer);
    type->tp_free(op);
    Py_DECREF(type);  // instances of heap types own a reference to their type
    // The last owner stops the writer, waiting up to FLUSH_WAIT for its destination: never while
    // holding the interpreter, so other threads and Ctrl-C's handler run meanwhile.
    if (writer.use_count() == 1) {
        Detached detached;
        writer.reset();
    }
}

// shutdown, the level methods (one per LOG_METHODS entry), the others, and the sentinel.
template <std::size_t... Index>
auto make_method_table(std::index_sequence<Index...>) {
    return std::array{
        PyMethodDef{"shutdown", as_cfunction(guarded<py_logger_shutdown>), METH_NOARGS, "shutdown($self)\n--\n\n"},
        PyMethodDef{LOG_METHODS[Index].name, as_cfunction(guarded<py_logger_log<Index>>), METH_FASTCALL | METH_KEYWORDS,
                    LOG_METHODS[Index].doc}...,
        PyMethodDef{"bind", as_cfunction(guarded<py_logger_bind>), METH_FASTCALL | METH_KEYWORDS,
                    "bind($self, /, **fields)\n--\n\n"},
        PyMethodDef{"_flush", as_cfunction(guarded<py_logger_flush>), METH_NOARGS, "_flush($self)\n--\n\n"},
        PyMethodDef{"_emit", as_cfunction(guarded<py_logger_emit>), METH_FASTCALL | METH_KEYWORDS,
                    "_emit($self, levelno, name, msg, args, extras, stack, exc, exc_text, /)\n--\n\n"},
        PyMethodDef{nullptr, nullptr, 0, nullptr},
    };
}

auto logger_methods = make_method_table(std::make_index_sequence<std::size(LOG_METHODS)>());

PyType_Slot logger_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<py_logger_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py_logger_dealloc)},
    {Py_tp_methods, logger_methods.data()},
    {Py_tp_doc, const_cast<char*>("PyLogger(name, path=None, level=...)\n--\n\n")},
    {0, nullptr},
};

// Not subclassable: every PyLogger is exactly this type, which keeps the log methods' view of
// the instance layout simple and the type final for type checkers.
PyType_Spec logger_spec = {
    .name = "builtins.PyLogger",  // text before the last dot becomes __module__
    .basicsize = sizeof(PyLogger),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = logger_slots,
};

}  // namespace

PyTypeObject* make_logger_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &logger_spec, nullptr));
}

bool convert_logger_name(PyObject* obj, std::shared_ptr<const std::string>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    std::string_view text;
    if (!convert_str(obj, "name", text)) return false;
    out = std::make_shared<const std::string>(json_escaped(text));
    return true;
}

PyObject* alloc_logger(PyTypeObject* type, std::shared_ptr<SharedWriter>&& writer,
                       std::shared_ptr<const std::string>&& name, Level level) {
    PyObject* op = type->tp_alloc(type, 0);
    if (op == nullptr) return nullptr;
    // tp_alloc only zeroes the memory; the C++ members begin their lives here.
    auto* self = reinterpret_cast<PyLogger*>(op);
    std::construct_at(&self->writer, std::move(writer));
    self->state = &type_state(type);
    std::construct_at(&self->name, std::move(name));
    self->level = level;
    self->name_quoted = self->name && escaped_name(*self->name).quoted;
    std::construct_at(&self->fields);
    return op;
}

}  // namespace tarnwick::python
