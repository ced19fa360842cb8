#include "lib/buffered_writer.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnwick {

namespace {

// A descriptor left non-blocking (asyncio, process managers) that is full is waited for, as a
// blocking one would be: its reader is merely slow, and the channel holds back the producers.
IoResult<std::size_t> write_fd(int fd, const char* data, std::size_t size) noexcept {
    for (;;) {
        const ssize_t n = ::write(fd, data, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EAGAIN && errno != EWOULDBLOCK) return IoError::os(errno);
        pollfd ready{fd, POLLOUT, 0};
        while (::poll(&ready, 1, -1) < 0) {
            if (errno != EINTR) return IoError::os(errno);
        }
    }
}

}  // namespace

IoResult<std::size_t> StdoutDestination::write(const char* data, std::size_t size) {
    IoResult<std::size_t> result = write_fd(fd_, data, size);
    if (auto* error = std::get_if<IoError>(&result); error && error->os_code() == EBADF) return size;
    return result;
}

FileDestination::~FileDestination() {
    if (fd_ >= 0) ::close(fd_);  // no error to report: every write has returned already
}

IoResult<std::size_t> FileDestination::write(const char* data, std::size_t size) { return write_fd(fd_, data, size); }

BufferedWriter::BufferedWriter(std::unique_ptr<Destination> destination)
    : buffer_(WRITE_BUFFER_CAPACITY), destination_(std::move(destination)) {}

BufferedWriter& BufferedWriter::operator=(BufferedWriter&& o) noexcept {
    if (this != &o) {
        close();
        buffer_ = std::move(o.buffer_);
        destination_ = std::move(o.destination_);
    }
    return *this;
}

void BufferedWriter::close() noexcept {
    if (!destination_) return;
    (void)write_out();
    buffer_ = Bytes();
    destination_.reset();
}

IoStatus BufferedWriter::write(std::string_view bytes) {
    const std::size_t free = WRITE_BUFFER_CAPACITY - buffer_.size();
    if (bytes.size() < free) {
        buffer_.append(bytes);
        return std::nullopt;
    }
    if (bytes.size() > free) {
        if (IoStatus status = write_out()) return status;
    }
    if (bytes.size() >= WRITE_BUFFER_CAPACITY) {
        std::size_t taken = 0;
        return write_through(bytes, taken, DIRECT_WRITE_ZERO);
    }
    buffer_.append(bytes);
    return std::nullopt;
}

IoStatus BufferedWriter::write_out() {
    std::size_t taken = 0;
    IoStatus status = write_through(buffer_.view(), taken, BUFFERED_WRITE_ZERO);
    const std::size_t rest = buffer_.size() - taken;
    if (taken > 0 && rest > 0) std::memmove(buffer_.data(), buffer_.data() + taken, rest);
    buffer_.truncate(rest);
    return status;
}

IoStatus BufferedWriter::write_through(std::string_view bytes, std::size_t& taken, const char* zero_written) {
    while (taken < bytes.size()) {
        IoResult<std::size_t> r = destination_->write(bytes.data() + taken, bytes.size() - taken);
        if (auto* error = std::get_if<IoError>(&r)) {
            if (error->interrupted()) continue;
            return *error;
        }
        const std::size_t n = std::get<std::size_t>(r);
        if (n == 0) return IoError::custom(zero_written);
        taken += n;
    }
    return std::nullopt;
}

}  // namespace tarnwick
