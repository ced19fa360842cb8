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

PyObject* get_logger(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound bound;
    if (!bind_fastcall(get_logger_signature, args, nargs, kwnames, bound)) return nullptr;
    std::shared_ptr<const std::string> name;
    if (!convert_logger_name(bound.values[0], name)) return nullptr;
    ModuleState& state = module_state(module);
    // A module the collector has cleared (its interpreter is finalising) makes no more loggers.
    if (state.logger_type == nullptr) return raise_internal_fault("tarnwick._logger is being finalised");
    Level level = Level::Info;
    if (bound.values[1] != nullptr && !convert_level(state, bound.values[1], "level", level)) {
        return nullptr;
    }
    return create_logger(state.logger_type, std::move(name), load_settings(state).default_path, level);
}

}  // namespace tarnwick::python::logger_module
