// I/O errors of the writer thread and their one-line text. Plain values; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tarnwick {

class IoError {
public:
    // An error number from the system; its text is the system's message.
    static IoError os(int code) noexcept { return IoError(code, nullptr); }
    // A failure the system did not report itself; `message` must be a string literal.
    static IoError custom(const char* message) noexcept { return IoError(0, message); }

    int os_code() const noexcept { return code_; }  // 0 for a custom error
    bool interrupted() const noexcept;              // a signal cut the call short: retry it
    // A resource ran out that may come back (space on the disk, a quota, descriptors): the same
    // call can succeed later without anyone changing the destination.
    bool may_pass() const noexcept;
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

// "No such file or directory": the system's message for `code`.
std::string os_error_text(int code);

// Writes "error <text>" as one line on standard error, in one write(2) so that other writers of
// standard error cannot tear it apart.
void report(std::string_view text) noexcept;

inline constexpr const char* NUL_IN_PATH = "the path contains a NUL byte";
inline constexpr const char* WRITE_ZERO = "no bytes were written";

}  // namespace tarnwick
