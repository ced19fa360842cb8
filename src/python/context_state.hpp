// The state of one tarnwick._context module object, so of one interpreter: the request context's
// variable and snapshot type, the OpenTelemetry source of trace ids and whether template lines carry
// msg_template. Loggers of the same interpreter reach it through their module's state.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

namespace tarnwick::python {

// Where the current span comes from: OpenTelemetry's context variable when its runtime context is
// the contextvars one (read from here without a call), else its get_current().
struct TraceSource {
    PyObject* var;          // strong, or null
    PyObject* get_current;  // strong
    PyObject* get_span;     // strong: opentelemetry.trace.get_current_span
};

// Every source made in the interpreter, kept while its module lives: a thread may still be reading
// one that was replaced.
struct TraceSources {
    std::mutex mutex;
    std::vector<std::unique_ptr<TraceSource>> all;
};

// Trivially destructible: CPython zeroes the memory and may free a module whose exec never ran.
struct ContextState {
    PyTypeObject* fields_type;  // ContextFields
    PyObject* var;              // the ContextVar holding the request context
    PyObject* logger_module;    // strong: this interpreter's tarnwick._logger, whose state points here
    TraceSources* sources;      // owned; made by exec, deleted by m_free
    std::atomic<const TraceSource*> trace;  // null: trace ids off
    // Set by the first bind_context(): until then the variable is not read (trace ids alone are on).
    std::atomic<bool> any_context;
    // Whether lines whose message is a template carry msg_template (basic_config(msg_template=True)).
    std::atomic<bool> msg_template;
};
static_assert(std::is_trivially_destructible_v<ContextState>, "m_free may see a state exec never built");

}  // namespace tarnwick::python
