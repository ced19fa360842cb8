#include "lib/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace tarnwick {

namespace {

// strerror_r comes in two flavours; overloads pick whichever the C library declares.
[[maybe_unused]] const char* strerror_result(int rc, const char* buffer) noexcept {
    return rc == 0 ? buffer : nullptr;  // XSI: fills the buffer
}
[[maybe_unused]] const char* strerror_result(const char* text, const char*) noexcept {
    return text;  // GNU: may return a static string instead of filling the buffer
}

}  // namespace

bool IoError::interrupted() const noexcept { return code_ == EINTR; }

std::string IoError::text() const {
    if (message_ != nullptr) return message_;
    return os_error_text(code_);
}

std::string os_error_text(int code) {
    char buffer[256] = {};
    const char* message = strerror_result(strerror_r(code, buffer, sizeof buffer), buffer);
    std::string out = message != nullptr ? message : "Unknown error " + std::to_string(code);
    out += " (os error ";
    out += std::to_string(code);
    out += ')';
    return out;
}

}  // namespace tarnwick
