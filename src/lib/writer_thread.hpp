// The writer thread: drains one action channel into a 1 MiB buffer over standard output or a dated
// log file. Everything here runs on that thread, except WriterThread, which its owner drives.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "lib/action.hpp"
#include "lib/bytes.hpp"
#include "lib/channel.hpp"
#include "lib/io_error.hpp"
#include "lib/local_date.hpp"

namespace tarnwick {

inline constexpr std::size_t WRITE_BUFFER_CAPACITY = 1'048'576;
inline constexpr std::chrono::milliseconds DEFAULT_CHECK_INTERVAL{1000};

// A byte sink. write may accept fewer bytes than offered and reports how many; an interrupted
// call comes back as an error for which interrupted() holds, and the caller retries it.
class Destination {
public:
    virtual ~Destination() = default;
    virtual IoResult<std::size_t> write(const char* data, std::size_t size) = 0;
    virtual IoStatus flush() = 0;
};

// Writes to the descriptor directly, so there is no user-space buffer and flush has nothing to do.
// A closed descriptor (EBADF) swallows the bytes: a process that closed standard output keeps running.
class StdoutDestination final : public Destination {
public:
    explicit StdoutDestination(int fd = 1) noexcept : fd_(fd) {}
    IoResult<std::size_t> write(const char* data, std::size_t size) override;
    IoStatus flush() override { return std::nullopt; }

private:
    int fd_;  // not owned
};

// An append-mode file. flush does not sync to disk; the descriptor is closed with the object.
class FileDestination final : public Destination {
public:
    explicit FileDestination(int fd) noexcept : fd_(fd) {}
    FileDestination(const FileDestination&) = delete;
    FileDestination& operator=(const FileDestination&) = delete;
    ~FileDestination() override;
    IoResult<std::size_t> write(const char* data, std::size_t size) override;
    IoStatus flush() override { return std::nullopt; }
    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

// A fixed 1 MiB buffer in front of a destination. Destroying it is closing it: pending bytes get
// one more write-out, whose failure nobody is left to hear about.
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
    IoStatus flush();  // write out, then flush the destination

    std::size_t pending() const noexcept { return buffer_.size(); }
    Destination* destination() const noexcept { return destination_.get(); }

private:
    void close() noexcept;
    IoStatus write_direct(std::string_view bytes);

    Bytes buffer_;  // capacity fixed at WRITE_BUFFER_CAPACITY; size = pending bytes
    std::unique_ptr<Destination> destination_;  // null only once moved from or closed
};

struct Context;
// Opens the destination of `context` for its date (rotation.cpp).
IoResult<BufferedWriter> rotate(const Context& context);

struct Context {
    Receiver<Action> receiver;
    std::optional<std::string> path;  // absent = standard output
    Date date;                        // date of the file open now
    Date (*today)() = local_date_now;  // injectable so tests can move midnight
    IoResult<BufferedWriter> (*open_destination)(const Context&) = rotate;  // tests fake the sink
    // How often the buffer is written out and the date compared; shorter only in tests.
    std::chrono::milliseconds check_interval = DEFAULT_CHECK_INTERVAL;
};

// The thread body. Returns after Stop, once the channel is empty and the sender gone, or at the first
// I/O error, which it reports as one "error ..." line on standard error. Nothing escapes it.
void run_writer(Context context) noexcept;

// Join handle of a writer thread; move-only. Destroying a running handle detaches the thread.
class WriterThread {
public:
    WriterThread() noexcept = default;
    WriterThread(WriterThread&& o) noexcept
        : thread_(o.thread_), joinable_(std::exchange(o.joinable_, false)) {}
    WriterThread& operator=(WriterThread&& o) noexcept;
    ~WriterThread();

    // No name and a 2 MiB stack. Throws std::runtime_error "failed to spawn thread: <os error text>".
    static WriterThread spawn(Context context);
    void join() noexcept;
    bool joinable() const noexcept { return joinable_; }
    // For a fork child, where the thread does not exist: neither join nor detach it.
    void abandon() noexcept { joinable_ = false; }

private:
    pthread_t thread_{};
    bool joinable_ = false;
};

}  // namespace tarnwick
