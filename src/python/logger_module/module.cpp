// tarnwick._logger: initialised in phases, once per module object, so every interpreter of the
// process gets its own types and settings while the writers stay shared.
#include <Python.h>

#include <memory>

#include "lib/producer.hpp"
#include "lib/shared_writer.hpp"
#include "python/errors.hpp"
#include "python/logger_module/basic_config.hpp"
#include "python/logger_module/get_logger.hpp"
#include "python/logger_module/lifecycle.hpp"
#include "python/logger_module/module_state.hpp"
#include "python/logger_module/settings.hpp"
#include "python/module_slots.hpp"
#include "python/owned_ref.hpp"
#include "python/py_level.hpp"
#include "python/py_logger.hpp"

namespace tarnwick::python::logger_module {

namespace {

constexpr const char* module_doc =
    "Fast line logging: loggers (PyLogger, get_logger) whose records a writer thread of their\n"
    "destination appends as lines to a file or standard output. One writer serves every logger of a\n"
    "destination, in every interpreter of the process; basic_config sets the calling interpreter's\n"
    "settings for the loggers made afterwards.";

// The public names, in the order of __all__.
constexpr const char* PUBLIC_NAMES[] = {"PyLevel", "PyLogger", "basic_config", "get_logger"};

PyMethodDef module_methods[] = {
    {"basic_config", as_cfunction(guarded<basic_config>), METH_FASTCALL | METH_KEYWORDS,
     "basic_config(path=None, unix_ts=False, batch_size=None, color=..., format=...)\n--\n\n"},
    {"get_logger", as_cfunction(guarded<get_logger>), METH_FASTCALL | METH_KEYWORDS,
     "get_logger(name, level=...)\n--\n\n"},
    // For the package's basic_config; private, so not part of __all__.
    {"_basic_config_files", as_cfunction(guarded<basic_config_files>), METH_FASTCALL | METH_KEYWORDS,
     "_basic_config_files(max_bytes, keep_days, compress, /, *args, **kwargs)\n--\n\n"
     "basic_config() with the file options first, as checked by the package: max_bytes (0: no\n"
     "split), keep_days (-1: keep every day), compress."},
    {nullptr, nullptr, 0, nullptr},
};

bool add_all(PyObject* module) {
    OwnedRef all = OwnedRef::steal(PyList_New(0));
    if (!all) return false;
    for (const char* name : PUBLIC_NAMES) {
        OwnedRef text = OwnedRef::steal(PyUnicode_FromString(name));
        if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    }
    return PyModule_AddObjectRef(module, "__all__", all.get()) == 0;
}

int module_exec(PyObject* module) {
    ModuleState& state = module_state(module);
    std::construct_at(&state);
    state.batch_size.store(32, std::memory_order_relaxed);
    state.interpreter = PyInterpreterState_Get();
    state.settings = new SettingsCell;
    state.internal_fault = make_internal_fault();
    if (state.internal_fault == nullptr) return -1;
    state.level_type = make_level_type(module);
    if (state.level_type == nullptr) return -1;
    state.logger_type = make_logger_type(module);
    if (state.logger_type == nullptr) return -1;
    if (PyModule_AddType(module, state.level_type) < 0 || PyModule_AddType(module, state.logger_type) < 0) return -1;
    // Reachable for `except`, but not part of the star-import surface.
    if (PyModule_AddObjectRef(module, "InternalFault", state.internal_fault) < 0) return -1;
    if (!add_all(module)) return -1;
    install_core_hooks();
    // Last, so a module that failed to build leaves no hook behind.
    return install_process_hooks(module) ? 0 : -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = module_state(module);
    Py_VISIT(state.logger_type);
    Py_VISIT(state.level_type);
    Py_VISIT(state.internal_fault);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState& state = module_state(module);
    Py_CLEAR(state.logger_type);
    Py_CLEAR(state.level_type);
    Py_CLEAR(state.internal_fault);
    return 0;
}

void module_free(void* module) {
    (void)module_clear(static_cast<PyObject*>(module));
    ModuleState& state = module_state(static_cast<PyObject*>(module));
    // Loggers of this module are gone (they keep it alive through their type): nothing reads the
    // settings any more.
    delete std::exchange(state.settings, nullptr);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_logger",
    module_doc,
    sizeof(ModuleState),
    module_methods,
    module_slots<module_exec>,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

}  // namespace tarnwick::python::logger_module

PyMODINIT_FUNC PyInit__logger() { return PyModuleDef_Init(&tarnwick::python::logger_module::module_def); }
