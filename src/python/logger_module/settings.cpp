#include "python/logger_module/settings.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "lib/core_hooks.hpp"
#include "lib/fork_safety.hpp"

namespace tarnwick::python::logger_module {

namespace {

std::optional<std::string_view> env_value(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return std::nullopt;
    return std::string_view(v);
}

bool decide_color(ColorMode mode, bool is_stdout) {
    if (mode != ColorMode::Auto) return mode == ColorMode::Always;
    if (!is_stdout) return false;
    if (env_value("NO_COLOR")) return false;
    if (auto force = env_value("FORCE_COLOR"); force && *force != "0") return true;
    return isatty(STDOUT_FILENO) == 1;
}

// TARNWICK_CHECK_INTERVAL_MS: tests shorten the writer's periodic check so they need not wait a
// second for a write-out.
std::chrono::milliseconds check_interval() {
    const auto text = env_value("TARNWICK_CHECK_INTERVAL_MS");
    if (!text) return DEFAULT_CHECK_INTERVAL;
    char* end = nullptr;
    const long ms = std::strtol(text->data(), &end, 10);
    if (*end != '\0' || ms <= 0 || ms > 60'000) return DEFAULT_CHECK_INTERVAL;
    return std::chrono::milliseconds(ms);
}

}  // namespace

void install_core_hooks() {
    // Once per process: the hooks are read by threads of every interpreter, and must not change
    // beneath them.
    static std::once_flag once;
    std::call_once(once, [] {
        static CoreHooks hooks = default_core_hooks();
        // TARNWICK_CLOCK=clock_gettime keeps record times off the CPU's time-stamp counter.
        const auto clock = env_value("TARNWICK_CLOCK");
        hooks.use_tsc = !(clock && *clock == "clock_gettime");
        hooks.check_interval = check_interval();
        set_core_hooks(&hooks);
    });
}

Settings load_settings(const ModuleState& state) {
    std::lock_guard lock(state.settings->mutex);
    return state.settings->value;
}

void store_settings(ModuleState& state, Settings settings) {
    std::unique_lock lock(state.settings->mutex);
    std::swap(state.settings->value, settings);
    lock.unlock();  // the previous value is released outside the lock
}

WriterConfigRef writer_config(const ModuleState& state, std::optional<std::string> path) {
    const Settings settings = load_settings(state);
    auto config = std::make_shared<WriterConfig>();
    config->style.color = decide_color(settings.color_mode, !path.has_value());
    config->style.json = settings.format == OutputFormat::Json;
    config->style.unix_ts = settings.unix_ts;
    config->check_interval = core_hooks().check_interval;
    if (path) config->files = settings.files;
    config->path = std::move(path);
    return config;
}

bool resolve_relative_path(std::string& path) {
    if (path.starts_with('/')) return true;
    std::string cwd(256, '\0');
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) return false;
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::strlen(cwd.c_str()));
    if (!cwd.ends_with('/')) cwd += '/';
    path.insert(0, cwd);
    return true;
}

void reset_settings_in_child(ModuleState& state) noexcept { recreate_in_child(state.settings->mutex); }

}  // namespace tarnwick::python::logger_module
