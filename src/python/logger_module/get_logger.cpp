#include "python/logger_module/get_logger.hpp"

#include <utility>

#include "python/arg_binder.hpp"
#include "python/errors.hpp"
#include "python/logger_module/settings.hpp"
#include "python/py_level.hpp"
#include "python/py_logger.hpp"

namespace tarnwick::python::logger_module {

namespace {

constexpr const char* get_logger_params[] = {"name", "level"};
constexpr Signature get_logger_signature{"get_logger()", get_logger_params, 1, false};

}  // namespace

PyObject* get_logger(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound bound;
    if (!bind_fastcall(get_logger_signature, args, nargs, kwnames, bound)) return nullptr;
    std::shared_ptr<const std::string> name;
    if (!convert_logger_name(bound.values[0], name)) return nullptr;
    Level level = Level::Info;
    if (bound.values[1] != nullptr && !convert_level(bound.values[1], "level", level)) {
        return nullptr;
    }
    return create_logger(PY_LOGGER_TYPE, std::move(name), load_settings().default_path, level);
}

PyMethodDef get_logger_def = {"get_logger", as_cfunction(guarded<get_logger>), METH_FASTCALL | METH_KEYWORDS,
                              "get_logger(name, level=...)\n--\n\n"};

}  // namespace tarnwick::python::logger_module
