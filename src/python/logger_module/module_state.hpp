// The state of one tarnwick._logger module object, so of one interpreter: its types, its fault
// exception, its settings and its view of tarnwick._context. Python objects live here and nowhere
// process-wide; the writers these settings configure are shared by every interpreter.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace tarnwick::python {

struct ContextState;

namespace logger_module {
struct SettingsCell;
}  // namespace logger_module

// Trivially destructible: CPython zeroes the memory and may free a module whose exec never ran.
struct ModuleState {
    PyTypeObject* logger_type;
    PyTypeObject* level_type;
    PyObject* internal_fault;
    logger_module::SettingsCell* settings;  // owned; made by exec, deleted by m_free
    // Records a thread collects before it hands them to the writer; read on every log call.
    std::atomic<std::uint64_t> batch_size;
    // The state of this interpreter's tarnwick._context while that module lives (it sets and clears
    // this), so loggers reach the request context and trace ids without a lookup.
    std::atomic<ContextState*> context;
    PyInterpreterState* interpreter;
    std::atomic<bool> multiprocessing_hooked;  // the after-fork hook of multiprocessing registered
};
static_assert(std::is_trivially_destructible_v<ModuleState>, "m_free may see a state exec never built");

// The state of `module`, a tarnwick._logger module object.
inline ModuleState& module_state(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

// The state of the module that made `type` (PyLogger or PyLevel).
inline ModuleState& type_state(PyTypeObject* type) { return *static_cast<ModuleState*>(PyType_GetModuleState(type)); }

}  // namespace tarnwick::python
