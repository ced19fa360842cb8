// The writer thread: drains one action channel into a 1 MiB buffer over standard output or a dated
// log file. Everything here runs on that thread, except WriterThread, which its owner drives.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "lib/action.hpp"
#include "lib/buffered_writer.hpp"
#include "lib/channel.hpp"
#include "lib/file_options.hpp"
#include "lib/io_error.hpp"
#include "lib/local_date.hpp"
#include "lib/output.hpp"
#include "lib/rotation.hpp"
#include "lib/writer_config.hpp"

namespace tarnwick {

// One destination may be written by a writer that is still finishing (stopped, or released by its
// last logger) while a new writer for it starts: the new one waits for the old one's turn to end,
// so their writes never interleave and lines are never torn apart.
class WriterTurn {
public:
    void wait();
    // Whether the turn finished by `deadline`.
    bool wait_until(std::chrono::steady_clock::time_point deadline);
    bool finished();
    void finish();

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
};

struct Context {
    Receiver<Action> receiver;
    std::optional<std::string> path;  // absent = standard output
    Date date;                        // date of the file open now
    std::chrono::milliseconds check_interval = DEFAULT_CHECK_INTERVAL;
    std::shared_ptr<WriterTurn> after = nullptr;  // the previous writer of the destination; none: start at once
    std::shared_ptr<WriterTurn> turn = nullptr;   // finished once everything of this writer is written
    FileOptions files = {};                       // what the dated files of `path` get
};

// The thread body; the date and the destination's opener come from the core's hooks. Returns after
// Stop, once the channel is empty and the sender gone, or at the first I/O error that will not pass,
// which it reports as one "error ..." line on standard error; one that may pass (a full disk) is
// waited out (see Output). Nothing escapes it.
void run_writer(Context context) noexcept;

// Join handle of a writer thread; move-only. Destroying a running handle detaches the thread.
class WriterThread {
public:
    WriterThread() noexcept = default;
    WriterThread(WriterThread&& o) noexcept : thread_(o.thread_), joinable_(std::exchange(o.joinable_, false)) {}
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
