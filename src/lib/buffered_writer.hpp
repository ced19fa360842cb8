// The writer thread's output: a fixed 1 MiB buffer in front of standard output or an append-mode
// file. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "lib/bytes.hpp"
#include "lib/io_error.hpp"

namespace tarnwick {

inline constexpr std::size_t WRITE_BUFFER_CAPACITY = 1'048'576;

// A byte sink. write may accept fewer bytes than offered and reports how many; an interrupted
// call comes back as an error for which interrupted() holds, and the caller retries it.
class Destination {
public:
    virtual ~Destination() = default;
    virtual IoResult<std::size_t> write(const char* data, std::size_t size) = 0;
};

// Writes to the descriptor directly: there is no user-space buffer to flush. A closed descriptor
// (EBADF) swallows the bytes, so a process that closed standard output keeps running; a
// non-blocking one that is full is waited for until it takes them.
class StdoutDestination final : public Destination {
public:
    explicit StdoutDestination(int fd = 1) noexcept : fd_(fd) {}
    IoResult<std::size_t> write(const char* data, std::size_t size) override;

private:
    int fd_;  // not owned
};

// An append-mode file, closed with the object. Nothing is synced to disk.
class FileDestination final : public Destination {
public:
    explicit FileDestination(int fd) noexcept : fd_(fd) {}
    FileDestination(const FileDestination&) = delete;
    FileDestination& operator=(const FileDestination&) = delete;
    ~FileDestination() override;
    IoResult<std::size_t> write(const char* data, std::size_t size) override;
    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

// Destroying it is closing it: pending bytes get one more write-out, whose failure nobody is left
// to hear about.
class BufferedWriter {
public:
    explicit BufferedWriter(std::unique_ptr<Destination> destination);
    BufferedWriter(BufferedWriter&& o) noexcept = default;
    BufferedWriter& operator=(BufferedWriter&& o) noexcept;  // closes the current one first
    ~BufferedWriter() { close(); }

    // Copies into the buffer; writes the buffer out only when `bytes` does not fit; a payload of a
    // whole buffer or more goes straight to the destination.
    IoStatus write(std::string_view bytes);
    // Offers the pending bytes until all are taken. On failure the accepted ones are gone from the
    // buffer and the rest stays pending.
    IoStatus write_out();

    std::size_t pending() const noexcept { return buffer_.size(); }
    Destination* destination() const noexcept { return destination_.get(); }

private:
    void close() noexcept;
    // Offers `bytes` until all are taken or an error; `taken` counts the accepted ones. A write
    // that accepts nothing fails with `zero_written`.
    IoStatus write_through(std::string_view bytes, std::size_t& taken, const char* zero_written);

    Bytes buffer_;                              // capacity fixed at WRITE_BUFFER_CAPACITY; size = pending bytes
    std::unique_ptr<Destination> destination_;  // null only once moved from or closed
};

}  // namespace tarnwick
