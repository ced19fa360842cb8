// PyInit__logger: builds the module once per process, in the first interpreter that imports it.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "lib/producer.hpp"
#include "lib/shared_writer.hpp"
#include "python/errors.hpp"
#include "python/lifecycle.hpp"
#include "python/logger_module/basic_config.hpp"
#include "python/logger_module/get_logger.hpp"
#include "python/logger_module/settings.hpp"
#include "python/owned_ref.hpp"
#include "python/py_level.hpp"
#include "python/py_logger.hpp"

namespace tarnwick::python::logger_module {

namespace {

// -1: no interpreter has imported the module yet.
std::atomic<std::int64_t> FIRST_INTERPRETER{-1};
// The built module, held for the rest of the process: re-imports get this same object.
PyObject* MODULE = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_logger",  // m_name
    "",         // m_doc
    0,          // m_size: no per-module state, so a re-import calls PyInit__logger again
    nullptr,    // m_methods: functions are attached during initialisation
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

// Adds `value` (borrowed) as `name` and appends `name` to __all__, created by the first addition.
bool add_public(PyObject* module, OwnedRef& all, const char* name, PyObject* value) {
    if (PyModule_AddObjectRef(module, name, value) < 0) return false;
    if (!all) {
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
    }
    OwnedRef name_text = OwnedRef::steal(PyUnicode_FromString(name));
    return name_text && PyList_Append(all.get(), name_text.get()) == 0;
}

bool add_function(PyObject* module, OwnedRef& all, PyMethodDef* def) {
    OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    OwnedRef function = OwnedRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return false;
    // Registered under the name the function object reports, so the two can never disagree.
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    const char* name_text = PyUnicode_AsUTF8(name.get());
    return name_text != nullptr && add_public(module, all, name_text, function.get());
}

OwnedRef build_module() {
    if (!init_internal_fault()) return {};
    OwnedRef module = OwnedRef::steal(PyModule_Create(&module_def));
    if (!module) return {};
#ifdef Py_GIL_DISABLED
    // Nothing here relies on the GIL: per-thread batches, locked registry and settings, atomic claims.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return {};
#endif
    OwnedRef all;
    PyTypeObject* level_type = make_level_type();
    if (level_type == nullptr || !add_public(module.get(), all, "PyLevel", reinterpret_cast<PyObject*>(level_type))) {
        return {};
    }
    PyTypeObject* logger_type = make_logger_type();
    if (logger_type == nullptr ||
        !add_public(module.get(), all, "PyLogger", reinterpret_cast<PyObject*>(logger_type))) {
        return {};
    }
    if (!add_function(module.get(), all, &basic_config_def)) return {};
    if (!add_function(module.get(), all, &get_logger_def)) return {};
    // For the package's basic_config; private, so not part of __all__.
    OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module.get()));
    OwnedRef files_config =
        module_name ? OwnedRef::steal(PyCFunction_NewEx(&basic_config_files_def, module.get(), module_name.get()))
                    : OwnedRef();
    if (!files_config || PyModule_AddObjectRef(module.get(), basic_config_files_def.ml_name, files_config.get()) < 0) {
        return {};
    }
    install_core_hooks();
    // Reachable for `except`, but not part of the star-import surface.
    if (PyModule_AddObjectRef(module.get(), "InternalFault", INTERNAL_FAULT) < 0) return {};
    // Last, so a module that failed to build leaves no hook behind.
    if (!install_process_hooks(module.get())) return {};
    return module;
}

PyObject* init_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    std::int64_t first = -1;
    if (!FIRST_INTERPRETER.compare_exchange_strong(first, interpreter) && first != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "tarnwick._logger does not support sub-interpreters: it is already loaded "
                        "in another interpreter of this process");
        return nullptr;
    }
    if (MODULE != nullptr) return Py_NewRef(MODULE);
    // A failed build caches nothing, so a later import tries again.
    OwnedRef module = build_module();
    if (!module) return nullptr;
    MODULE = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace tarnwick::python::logger_module

PyMODINIT_FUNC PyInit__logger() { return tarnwick::python::guarded<tarnwick::python::logger_module::init_module>(); }
