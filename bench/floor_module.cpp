// The cheapest call a logger method can be: an extension method with the same calling convention
// as tarnwick's log methods (vectorcall with keywords) that does nothing and returns None.
// bench/compare.py calls it exactly as it calls a logger, so the ratio to it shows what a log call
// costs beyond the interpreter's own call overhead.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

struct FloorObject {
    PyObject_HEAD
};

PyObject* floor_call(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { Py_RETURN_NONE; }

// Through void(*)() to keep -Wcast-function-type quiet.
const PyCFunction FLOOR_CALL = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(floor_call));

// One entry per logger method name, so an attribute lookup costs the same as on a real logger.
PyMethodDef FLOOR_METHODS[] = {
    {"trace", FLOOR_CALL, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"debug", FLOOR_CALL, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"info", FLOOR_CALL, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"warn", FLOOR_CALL, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"warning", FLOOR_CALL, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"error", FLOOR_CALL, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FLOOR_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Logger-shaped object whose methods do nothing.")},
    {Py_tp_methods, FLOOR_METHODS},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec FLOOR_TYPE = {
    "_bench_floor.Floor", static_cast<int>(sizeof(FloorObject)), 0, Py_TPFLAGS_DEFAULT, FLOOR_SLOTS,
};

// Module-level variant: the same call without the bound-method step.
PyMethodDef MODULE_METHODS[] = {
    {"noop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(floor_call)), METH_FASTCALL | METH_KEYWORDS,
     "Accepts any arguments and returns None."},
    {nullptr, nullptr, 0, nullptr},
};

int floor_exec(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &FLOOR_TYPE, nullptr);
    if (type == nullptr) return -1;
    const int rc = PyModule_AddObjectRef(module, "Floor", type);
    Py_DECREF(type);
    return rc;
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(floor_exec)},
    {0, nullptr},
};

PyModuleDef FLOOR_MODULE = {
    PyModuleDef_HEAD_INIT,
    "_bench_floor",
    "Do-nothing call targets that give the benchmark its lower bound.",
    0,
    MODULE_METHODS,
    MODULE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__bench_floor() { return PyModuleDef_Init(&FLOOR_MODULE); }
