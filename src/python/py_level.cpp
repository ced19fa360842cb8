#include "python/py_level.hpp"

#include <iterator>

#include "python/arg_binder.hpp"
#include "python/logger_module/module_state.hpp"
#include "python/owned_ref.hpp"

namespace tarnwick::python {

namespace {

constexpr const char* member_names[] = {"Trace", "Debug", "Info", "Warn", "Error"};
constexpr const char* member_reprs[] = {"PyLevel.Trace", "PyLevel.Debug", "PyLevel.Info", "PyLevel.Warn",
                                        "PyLevel.Error"};
static_assert(std::size(member_names) == 5 && std::size(member_reprs) == 5, "one entry per PyLevel value");

PyObject* py_level_repr(PyObject* op) noexcept {
    return PyUnicode_FromString(member_reprs[reinterpret_cast<PyLevel*>(op)->value]);
}

PyObject* py_level_int(PyObject* op) noexcept { return PyLong_FromLong(reinterpret_cast<PyLevel*>(op)->value); }

// The members live in the type's dict and hold the type: visiting it lets the collector free the
// pair with its module when an interpreter ends.
int py_level_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(op));
    return 0;
}

// Equality and hashing stay those of object (identity), and object's comparison already
// refuses ordering. No nb_index: a level is not an integer index.
PyType_Slot level_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(py_level_repr)},
    {Py_nb_int, reinterpret_cast<void*>(py_level_int)},
    {Py_tp_traverse, reinterpret_cast<void*>(py_level_traverse)},
    {Py_tp_doc, const_cast<char*>("Severity of a logger's threshold, from Trace to Error.")},
    {0, nullptr},
};

PyType_Spec level_spec = {
    .name = "builtins.PyLevel",
    .basicsize = sizeof(PyLevel),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    .slots = level_slots,
};

}  // namespace

PyTypeObject* make_level_type(PyObject* module) {
    OwnedRef type_ref = OwnedRef::steal(PyType_FromModuleAndSpec(module, &level_spec, nullptr));
    if (!type_ref) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(type_ref.get());
    // The type is immutable through setattr, so the members go straight into its dict.
    for (std::uint8_t value = 0; value < std::size(member_names); ++value) {
        OwnedRef member = OwnedRef::steal(type->tp_alloc(type, 0));
        if (!member) return nullptr;
        reinterpret_cast<PyLevel*>(member.get())->value = value;
        if (PyDict_SetItemString(type->tp_dict, member_names[value], member.get()) < 0) {
            return nullptr;
        }
    }
    PyType_Modified(type);
    return reinterpret_cast<PyTypeObject*>(type_ref.release());
}

bool convert_level(const ModuleState& state, PyObject* obj, const char* param, Level& out) {
    if (state.level_type == nullptr || Py_TYPE(obj) != state.level_type) {
        raise_cast_error(obj, param, "PyLevel");
        return false;
    }
    out = static_cast<Level>(5 - reinterpret_cast<PyLevel*>(obj)->value);
    return true;
}

}  // namespace tarnwick::python
