#include "lib/io_error.hpp"

#include <unistd.h>

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

bool IoError::may_pass() const noexcept {
    switch (code_) {
        case ENOSPC:
        case EDQUOT:
        case EFBIG:  // the file's size limit: logrotate's copytruncate or the next day's file end it
        case EMFILE:
        case ENFILE:
            return true;
        default:
            return false;
    }
}

std::string IoError::text() const {
    if (message_ != nullptr) return message_;
    return os_error_text(code_);
}

std::string os_error_text(int code) {
    char buffer[256] = {};
    const char* message = strerror_result(strerror_r(code, buffer, sizeof buffer), buffer);
    return message != nullptr ? message : "Unknown error " + std::to_string(code);
}

void report(std::string_view text) noexcept {
    try {
        std::string line = "error ";
        line += text;
        line += '\n';
        while (::write(2, line.data(), line.size()) < 0 && errno == EINTR) {}
    } catch (...) {
        static constexpr char fallback[] = "error (out of memory)\n";
        [[maybe_unused]] ssize_t n = ::write(2, fallback, sizeof fallback - 1);
    }
}

}  // namespace tarnwick
