#include "lib/buffered_writer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/file_lock.hpp"

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

// Whether the file still ends inside a line: looked at again when writing, because a file that other
// processes append to looks torn whenever it is caught in the middle of one of their writes, which
// is not over while they hold it.
bool still_torn(int fd, const std::string& name, off_t size) {
    if (locked_by_others(fd)) return false;
    if (name.empty()) return true;
    const int reader = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);  // `fd` may be write-only
    if (reader < 0) return true;
    char last = 0;
    const bool ends_line = ::pread(reader, &last, 1, size - 1) == 1 && last == '\n';
    ::close(reader);
    return !ends_line;
}

}  // namespace

IoResult<std::size_t> StdoutDestination::write(const char* data, std::size_t size) {
    IoResult<std::size_t> result = write_fd(fd_, data, size);
    if (auto* error = std::get_if<IoError>(&result); error && error->os_code() == EBADF) return size;
    return result;
}

FileDestination::FileDestination(int fd, std::optional<off_t> torn_size, std::string name) noexcept
    : fd_(fd), torn_size_(torn_size), name_(std::move(name)) {
    track_descriptor(fd_);
}

FileDestination::~FileDestination() {
    close_descriptor(fd_);  // no error to report: every write has returned already
}

bool FileDestination::replaced() { return !name_.empty() && !names_same_file(fd_, name_); }

IoResult<std::size_t> FileDestination::write(const char* data, std::size_t size) {
    if (torn_size_) {
        struct stat st {};
        if (::fstat(fd_, &st) == 0 && st.st_size == *torn_size_ && still_torn(fd_, name_, st.st_size)) {
            IoResult<std::size_t> ended = write_fd(fd_, "\n", 1);
            if (auto* error = std::get_if<IoError>(&ended)) return *error;  // tried again with the bytes
        }
        torn_size_.reset();
    }
    return write_fd(fd_, data, size);
}

bool FileDestination::unwrite(std::size_t n) {
    // After an append the offset is this writer's end; a larger file has another writer's bytes last.
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    struct stat st {};
    if (end < 0 || static_cast<std::size_t>(end) < n || ::fstat(fd_, &st) != 0 || st.st_size != end) return false;
    while (::ftruncate(fd_, end - static_cast<off_t>(n)) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

BufferedWriter::BufferedWriter(std::unique_ptr<Destination> destination)
    : buffer_(WRITE_BUFFER_CAPACITY), destination_(std::move(destination)) {}

BufferedWriter& BufferedWriter::operator=(BufferedWriter&& o) noexcept {
    if (this != &o) {
        close();
        buffer_ = std::move(o.buffer_);
        destination_ = std::move(o.destination_);
        partial_ = std::exchange(o.partial_, 0);
        dropped_ = std::exchange(o.dropped_, 0);
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
        if (IoStatus status = write_out()) {
            hold(bytes);
            return status;
        }
    }
    if (bytes.size() >= WRITE_BUFFER_CAPACITY) {
        std::size_t taken = 0;
        IoStatus status = write_through(bytes, taken);
        if (status) hold(bytes.substr(taken));
        return status;
    }
    buffer_.append(bytes);
    return std::nullopt;
}

IoStatus BufferedWriter::write_out() {
    std::size_t taken = 0;
    IoStatus status = write_through(buffer_.view(), taken);
    const std::size_t rest = buffer_.size() - taken;
    if (taken > 0 && rest > 0) std::memmove(buffer_.data(), buffer_.data() + taken, rest);
    buffer_.truncate(rest);
    return status;
}

void BufferedWriter::hold(std::string_view bytes) {
    const std::size_t free = WRITE_BUFFER_CAPACITY - buffer_.size();
    std::size_t keep = bytes.size();
    if (keep > free) {
        const std::size_t last = bytes.substr(0, free).rfind('\n');
        keep = last == std::string_view::npos ? 0 : last + 1;
    }
    // A torn line whose rest cannot be kept is at least ended, so the next line starts on its own.
    if (keep == 0 && partial_ > 0 && buffer_.empty()) buffer_.push_back('\n');
    buffer_.append(bytes.substr(0, keep));
    dropped_ += count_lines(bytes.substr(keep));
}

void BufferedWriter::drop_pending() noexcept {
    std::string_view dropped = buffer_.view();
    if (partial_ > 0 && !dropped.empty()) {
        // The buffer starts with the torn line's rest: its end is kept, so the next line starts on
        // its own; the line is lost unless only that end was missing.
        if (dropped.front() == '\n') dropped.remove_prefix(1);
        dropped_ += count_lines(dropped);
        buffer_.clear();
        buffer_.push_back('\n');
        return;
    }
    dropped_ += count_lines(dropped);
    buffer_.clear();
}

IoStatus BufferedWriter::write_through(std::string_view bytes, std::size_t& taken) {
    while (taken < bytes.size()) {
        IoResult<std::size_t> r = destination_->write(bytes.data() + taken, bytes.size() - taken);
        const IoError* error = std::get_if<IoError>(&r);
        if (error != nullptr && error->interrupted()) continue;
        const std::size_t n = error != nullptr ? 0 : std::get<std::size_t>(r);
        if (n == 0) {
            // The unfinished line goes back into the pending bytes, if it began in this call.
            if (partial_ > 0 && partial_ <= taken && destination_->unwrite(partial_)) {
                taken -= partial_;
                partial_ = 0;
            }
            return error != nullptr ? *error : IoError::custom(WRITE_ZERO);
        }
        const std::string_view accepted = bytes.substr(taken, n);
        const std::size_t last = accepted.rfind('\n');
        partial_ = last == std::string_view::npos ? partial_ + n : n - last - 1;
        taken += n;
    }
    return std::nullopt;
}

}  // namespace tarnwick
