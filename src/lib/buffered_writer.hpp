// The writer thread's output: a fixed 1 MiB buffer in front of standard output or an append-mode
// file. Used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "lib/bytes.hpp"
#include "lib/io_error.hpp"

namespace tarnwick {

inline constexpr std::size_t WRITE_BUFFER_CAPACITY = 1'048'576;

inline std::size_t count_lines(std::string_view bytes) noexcept { return std::count(bytes.begin(), bytes.end(), '\n'); }

// A byte sink. write may accept fewer bytes than offered and reports how many; an interrupted
// call comes back as an error for which interrupted() holds, and the caller retries it.
class Destination {
public:
    virtual ~Destination() = default;
    virtual IoResult<std::size_t> write(const char* data, std::size_t size) = 0;
    // Takes back the last `n` bytes written, so that a write that failed inside a line leaves no
    // torn line behind; false when that cannot be done (a pipe).
    virtual bool unwrite(std::size_t /*n*/) { return false; }
    // Whether the writer should open its destination anew: the file was deleted or renamed behind
    // its back, or is no longer the one to append to. Asked about once a second.
    virtual bool replaced() { return false; }
    // The file written to, for error lines; null for standard output.
    virtual const std::string* file_name() const { return nullptr; }
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

// An append-mode file, closed (and unlocked) with the object. Nothing is synced to disk.
//
// A file that ended inside a line when it was opened (`torn_size`) gets a newline before the first
// bytes, so they are not glued onto that torn line; but only if the file is still the same size
// then, and (with a `name`) still ends inside a line: a line that another writer was still writing
// has been finished by it meanwhile.
//
// With a `name`, it counts as replaced once that name no longer leads to the open file.
class FileDestination final : public Destination {
public:
    explicit FileDestination(int fd, std::optional<off_t> torn_size = std::nullopt, std::string name = {}) noexcept;
    FileDestination(const FileDestination&) = delete;
    FileDestination& operator=(const FileDestination&) = delete;
    ~FileDestination() override;
    IoResult<std::size_t> write(const char* data, std::size_t size) override;
    // Truncates, unless the file no longer ends with this writer's bytes (another one appended).
    bool unwrite(std::size_t n) override;
    bool replaced() override;
    const std::string* file_name() const override { return name_.empty() ? nullptr : &name_; }
    int fd() const noexcept { return fd_; }

private:
    int fd_;
    std::optional<off_t> torn_size_;
    std::string name_;
};

// Destroying it is closing it: pending bytes get one more write-out, whose failure nobody is left
// to hear about.
//
// A failed write never leaves a torn line behind for the next one to be glued onto: the
// destination takes back the unfinished line, which stays pending whole, or, where it cannot, the
// rest of that line stays first in the buffer and finishes it at the next write-out.
class BufferedWriter {
public:
    explicit BufferedWriter(std::unique_ptr<Destination> destination);
    BufferedWriter(BufferedWriter&& o) noexcept = default;
    BufferedWriter& operator=(BufferedWriter&& o) noexcept;  // closes the current one first
    ~BufferedWriter() { close(); }

    // Copies into the buffer; writes the buffer out only when `bytes` does not fit; a payload of a
    // whole buffer or more goes straight to the destination. On failure, what was not written of
    // `bytes` is held as hold() does.
    IoStatus write(std::string_view bytes);
    // Offers the pending bytes until all are taken. On failure the accepted ones are gone from the
    // buffer and the rest stays pending.
    IoStatus write_out();
    // For a destination that is failing: buffers, without writing anything, the longest run of
    // whole lines of `bytes` that fits; the lines that do not fit are dropped and counted.
    void hold(std::string_view bytes);
    // Empties the buffer, counting its lines as dropped.
    void drop_pending() noexcept;
    // Lines dropped since the last call.
    std::size_t take_dropped() noexcept { return std::exchange(dropped_, 0); }

    std::size_t pending() const noexcept { return buffer_.size(); }
    Destination* destination() const noexcept { return destination_.get(); }

private:
    void close() noexcept;
    // Offers `bytes` until all are taken or an error; `taken` counts the accepted ones, less an
    // unfinished line that the destination took back after the error.
    IoStatus write_through(std::string_view bytes, std::size_t& taken);

    Bytes buffer_;                              // capacity fixed at WRITE_BUFFER_CAPACITY; size = pending bytes
    std::unique_ptr<Destination> destination_;  // null only once moved from or closed
    std::size_t partial_ = 0;                   // bytes of an unfinished line at the destination's end
    std::size_t dropped_ = 0;
};

}  // namespace tarnwick
