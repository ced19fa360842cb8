#include "python/logger_module/basic_config.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "lib/file_options.hpp"
#include "python/arg_binder.hpp"
#include "python/errors.hpp"
#include "python/logger_module/settings.hpp"
#include "python/owned_ref.hpp"

namespace tarnwick::python::logger_module {

namespace {

constexpr const char* basic_config_params[] = {"path", "unix_ts", "batch_size", "color", "format"};
constexpr Signature basic_config_signature{"basic_config()", basic_config_params, 0, false};

// numpy's boolean scalar is not a bool subclass; it is recognised by name ("bool_" before numpy
// 2, "bool" after) so that numpy need not be imported. 1 yes, 0 no, -1 error set.
int is_numpy_bool_type(PyTypeObject* type) {
    OwnedRef name = OwnedRef::steal(PyType_GetName(type));
    if (!name) return -1;
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
        return 0;
    }
    OwnedRef module = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

bool convert_unix_ts(PyObject* obj, bool& out) {
    if (obj == nullptr) {
        out = false;
        return true;
    }
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(obj);
    const int numpy_bool = is_numpy_bool_type(type);
    if (numpy_bool < 0) return false;
    if (numpy_bool == 0) {
        raise_cast_error(obj, "unix_ts", "bool");
        return false;
    }
    // Only the type's own truth value counts: the default (every object is true) would turn
    // any such object into true.
    auto* nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (nb_bool == nullptr) {
        OwnedRef type_name = OwnedRef::steal(PyType_GetQualName(type));
        if (!type_name) return false;
        PyErr_Format(PyExc_TypeError, "argument 'unix_ts': object of type '%U' does not define a '__bool__' conversion",
                     type_name.get());
        return false;
    }
    const int truth = nb_bool(obj);
    if (truth < 0) {
        prefix_type_error("unix_ts");
        return false;
    }
    out = truth != 0;
    return true;
}

// nullopt when omitted or None: the batch size then stays as it is.
bool convert_batch_size(PyObject* obj, std::optional<std::uint64_t>& out) {
    if (obj == nullptr || obj == Py_None) {
        out.reset();
        return true;
    }
    OwnedRef index = OwnedRef::steal(PyNumber_Index(obj));
    if (!index) {
        prefix_type_error("batch_size");
        return false;
    }
    static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t), "batch size is 64 bits");
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;  // negative or too large: the OverflowError travels unchanged
    }
    out = value;
    return true;
}

bool convert_choice(PyObject* obj, const char* param, const char* omitted, std::string_view& out) {
    if (obj == nullptr) {
        out = omitted;
        return true;
    }
    return convert_str(obj, param, out);
}

// basic_config's arguments bound, converted and stored with the file options.
PyObject* configure(ModuleState& state, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const FileOptions& files) {
    Bound bound;
    if (!bind_fastcall(basic_config_signature, args, nargs, kwnames, bound)) return nullptr;
    // Every argument is converted before anything is stored, so a failing call changes nothing.
    std::optional<std::string> path;
    if (!convert_optional_str(bound.values[0], "path", path)) return nullptr;
    if (path && !resolve_relative_path(*path)) return PyErr_SetFromErrno(PyExc_OSError);
    bool unix_ts = false;
    if (!convert_unix_ts(bound.values[1], unix_ts)) return nullptr;
    std::optional<std::uint64_t> batch_size;
    if (!convert_batch_size(bound.values[2], batch_size)) return nullptr;
    std::string_view color;  // views into the argument strings, alive for the call
    if (!convert_choice(bound.values[3], "color", "auto", color)) return nullptr;
    std::string_view format;
    if (!convert_choice(bound.values[4], "format", "logfmt", format)) return nullptr;

    // Unrecognised choices are not errors: they select the default, compared byte for byte.
    const ColorMode color_mode = color == "always" ? ColorMode::Always
                                 : color == "off"  ? ColorMode::Off
                                                   : ColorMode::Auto;
    const OutputFormat output_format = format == "json" ? OutputFormat::Json : OutputFormat::Logfmt;

    store_settings(state, Settings{std::move(path), unix_ts, color_mode, output_format, files});
    if (batch_size) {
        state.batch_size.store(*batch_size == 0 ? 1 : *batch_size, std::memory_order_relaxed);
    }
    Py_RETURN_NONE;
}

}  // namespace

PyObject* basic_config(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return configure(module_state(module), args, nargs, kwnames, FileOptions{});
}

PyObject* basic_config_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 3) {
        PyErr_SetString(PyExc_TypeError, "_basic_config_files() takes max_bytes, keep_days and compress first");
        return nullptr;
    }
    if (!PyLong_Check(args[0]) || !PyLong_Check(args[1]) || !PyBool_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "_basic_config_files() takes two ints and a bool first");
        return nullptr;
    }
    const unsigned long long max_bytes = PyLong_AsUnsignedLongLong(args[0]);
    if (max_bytes == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    const long long keep_days = PyLong_AsLongLong(args[1]);
    if (keep_days == -1 && PyErr_Occurred()) return nullptr;
    FileOptions files;
    files.max_bytes = max_bytes;
    if (keep_days >= 0) files.keep_days = keep_days;
    files.compress = args[2] == Py_True;
    return configure(module_state(module), args + 3, nargs - 3, kwnames, files);
}

}  // namespace tarnwick::python::logger_module
