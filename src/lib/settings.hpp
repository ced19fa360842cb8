// Process-wide settings written by basic_config and read by logger and writer creation and by log
// calls. Any thread. Locked cells are never held two at a time; the words are lock-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>

namespace tarnwick {

enum class ColorMode : std::uint8_t { Off = 0, Auto = 1, Always = 2 };
enum class OutputFormat : std::uint8_t { Logfmt = 0, Json = 1 };

template <class T>
class SettingCell {
public:
    explicit SettingCell(T initial) : value_(std::move(initial)) {}
    T load() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void store(T value) {
        std::unique_lock lock(mutex_);
        [[maybe_unused]] T old = std::exchange(value_, std::move(value));
        lock.unlock();  // the previous value is released outside the lock
    }

    // A fork child: a thread of the parent that held the lock (a thread-exit hand-off creating a
    // writer) does not exist there.
    void reset_in_child() noexcept { new (&mutex_) std::mutex; }

private:
    mutable std::mutex mutex_;
    T value_;
};

// Never destroyed: writer threads and thread-exit hand-offs may still read them while the
// process exits.
inline auto& DEFAULT_PATH = *new SettingCell<std::optional<std::string>>(std::nullopt);
inline auto& UNIX_TS = *new SettingCell<bool>(false);
inline auto& COLOR_MODE = *new SettingCell<ColorMode>(ColorMode::Auto);
inline auto& FORMAT = *new SettingCell<OutputFormat>(OutputFormat::Logfmt);

inline std::atomic<std::uint64_t> BATCH_SIZE{32};
inline std::atomic<bool> ANY_COLOR{false};  // never reset
inline std::atomic<bool> ANY_JSON{false};   // never reset

}  // namespace tarnwick
