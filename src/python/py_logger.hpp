// The Python class PyLogger: an immutable (writer, name, threshold) with its six log methods and
// shutdown. Interpreter lock held; any number of threads may call the same logger.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "lib/level.hpp"
#include "lib/record_line.hpp"

namespace tarnwick {
class SharedWriter;
}  // namespace tarnwick

namespace tarnwick::python {

struct BoundFields;
struct ModuleState;

struct PyLogger {
    PyObject_HEAD std::shared_ptr<SharedWriter> writer;
    ModuleState* state;  // of the module that made the type, which the logger keeps alive through it
    std::shared_ptr<const std::string> name;    // as records print it (escaped once); null: unnamed
    Level level;                                // threshold
    bool name_quoted;                           // EscapedName::quoted, decided once
    std::shared_ptr<const BoundFields> fields;  // rendered for writer->config->style; null: none bound
};

// Creates the type of `module` (not subclassable); a new reference, or nullptr with the error set.
PyTypeObject* make_logger_type(PyObject* module);

// None gives a null name; a str its UTF-8 text, escaped as records print it; anything else raises
// the cast error for 'name'.
bool convert_logger_name(PyObject* obj, std::shared_ptr<const std::string>& out);

// Allocates an instance of `type` and moves the fields in. On failure (nullptr, error set) nothing
// has been moved out of the arguments.
PyObject* alloc_logger(PyTypeObject* type, std::shared_ptr<SharedWriter>&& writer,
                       std::shared_ptr<const std::string>&& name, Level level);

// Finds or makes the writer of `path` (nullopt: standard output), configured by the settings of
// `type`'s module, and returns a new logger of `type`, or nullptr with the error set.
PyObject* create_logger(PyTypeObject* type, std::shared_ptr<const std::string> name, std::optional<std::string> path,
                        Level level);

// Renders one record of an enabled level; `args` are the substitution arguments, borrowed.
PyObject* log_args(PyLogger& logger, Level level, PyObject* message, PyObject* const* args, Py_ssize_t nargs);

// The logger's own name, as lines print it. Inline: the plain log call uses it on every line.
inline std::optional<EscapedName> name_of(const PyLogger& logger) {
    if (logger.name) return EscapedName{*logger.name, logger.name_quoted};
    return std::nullopt;
}

// The same under `name` (escaped), with further members rendered in the writer's line shape
// (bound fields, exception keys), which every line of this call carries after the message.
PyObject* log_named(PyLogger& logger, Level level, std::optional<EscapedName> name, PyObject* message,
                    PyObject* const* args, Py_ssize_t nargs, std::string_view tail);

// Renders one record whose message text is final, under `name` instead of the logger's own.
PyObject* log_text(PyLogger& logger, Level level, std::optional<EscapedName> name, std::string_view text,
                   std::string_view tail);

// Writes one record of the logger's own name whose message is `pieces` one after another, straight
// into the batch, then `tail`. `written` is false when the writer's queue is full and nothing was
// written (no Python code ran; the result is then null without an error): the pieces may not
// outlive the Python code a wait for room runs, so the caller copies them and writes them otherwise.
PyObject* log_pieces(PyLogger& logger, Level level, std::span<const std::string_view> pieces, std::string_view tail,
                     bool& written);

PyObject* py_logger_shutdown(PyObject* self, PyObject* unused);

// Hands this thread's pending lines over and waits, as shutdown() does, without stopping the writer.
PyObject* py_logger_flush(PyObject* self, PyObject* unused);

// The methods of bound_fields.cpp and stdlib_entry.cpp.
PyObject* py_logger_bind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_logger_emit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarnwick::python
