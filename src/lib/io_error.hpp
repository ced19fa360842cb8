// I/O errors of the writer thread and their one-line text. Plain values; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>

namespace tarnwick {

class IoError {
public:
    // An error number from the system; its text is the system's message plus " (os error N)".
    static IoError os(int code) noexcept { return IoError(code, nullptr); }
    // A failure the system did not report itself; `message` must be a string literal.
    static IoError custom(const char* message) noexcept { return IoError(0, message); }

    int os_code() const noexcept { return code_; }  // 0 for a custom error
    bool interrupted() const noexcept;              // a signal cut the call short: retry it
    std::string text() const;

private:
    IoError(int code, const char* message) noexcept : code_(code), message_(message) {}
    int code_;
    const char* message_;
};

// Empty on success.
using IoStatus = std::optional<IoError>;
template <class T>
using IoResult = std::variant<T, IoError>;

// "No such file or directory (os error 2)": the system's message for `code`, then the number.
std::string os_error_text(int code);

inline constexpr const char* NUL_IN_PATH = "file name contained an unexpected NUL byte";
inline constexpr const char* BUFFERED_WRITE_ZERO = "failed to write the buffered data";
inline constexpr const char* DIRECT_WRITE_ZERO = "failed to write whole buffer";

}  // namespace tarnwick
