// An interpreter's settings, written by basic_config and read when loggers and writers are made. Any
// thread: the settings are one snapshot behind one lock, so a writer made while basic_config runs
// sees all old or all new values.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "lib/file_options.hpp"
#include "lib/writer_config.hpp"
#include "python/logger_module/module_state.hpp"

namespace tarnwick::python::logger_module {

enum class ColorMode : std::uint8_t { Off = 0, Auto = 1, Always = 2 };
enum class OutputFormat : std::uint8_t { Logfmt = 0, Json = 1 };

struct Settings {
    std::optional<std::string> default_path;  // of get_logger; absent = standard output
    bool unix_ts = false;
    ColorMode color_mode = ColorMode::Auto;
    OutputFormat format = OutputFormat::Logfmt;
    FileOptions files = {};  // for writers of a path
};

// One per module state (ModuleState::settings).
struct SettingsCell {
    std::mutex mutex;
    Settings value;
};

Settings load_settings(const ModuleState& state);
void store_settings(ModuleState& state, Settings settings);

// The configuration of a new writer for `path` under the current settings: colour decided now (from
// NO_COLOR, FORCE_COLOR and whether standard output is a terminal), with the interpreter held, so
// no later path without it reads the environment.
WriterConfigRef writer_config(const ModuleState& state, std::optional<std::string> path);

// Makes a relative `path` absolute against the working directory of this call, as the standard file
// handlers resolve their name when made: a later chdir (a daemon moving to /) must not move the
// files, which writer threads open later and anew each day. The text is not normalised. False with
// errno set when the working directory cannot be read.
bool resolve_relative_path(std::string& path);

// Puts the core's hooks in force as the environment asks (TARNWICK_CLOCK, TARNWICK_CHECK_INTERVAL_MS),
// read here alone, with the interpreter held, since the environment is not safe to read beside
// Python threads. The first call decides; later ones change nothing.
void install_core_hooks();

// A fork child: the settings lock may have been held by a thread that does not exist there.
void reset_settings_in_child(ModuleState& state) noexcept;

}  // namespace tarnwick::python::logger_module
