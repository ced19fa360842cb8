// One SharedWriter per destination: the sending half of its action channel, its writer thread and
// the record choices fixed at its creation. Any thread; the registry is guarded by one mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lib/action.hpp"
#include "lib/channel.hpp"
#include "lib/producer.hpp"
#include "lib/record_line.hpp"
#include "lib/settings.hpp"
#include "lib/writer_thread.hpp"

namespace tarnwick::python {

// Identifies a destination: standard output (no path) or a base path compared byte for byte.
struct PathKey {
    std::optional<std::string> path;
    friend bool operator==(const PathKey&, const PathKey&) = default;
};

struct PathKeyHash {
    std::size_t operator()(const PathKey& key) const noexcept;
};

enum class FlushRequest { Sent, TimedOut, Ended };

class SharedWriter final : public BatchSink {
public:
    SharedWriter(DestinationPath destination, Sender<Action> sender, WriterThread handle, LineStyle style,
                 std::chrono::milliseconds check_interval);
    // Hands over this thread's pending lines for this writer, then stops it.
    ~SharedWriter();
    SharedWriter(const SharedWriter&) = delete;
    SharedWriter& operator=(const SharedWriter&) = delete;

    // Once the thread was abandoned (stuck on its output while the process exits), a batch that
    // does not fit at once is dropped: nothing may wait on that thread any more.
    void hand_off(Bytes batch, Wake wake) override;

    bool hand_off_until(Bytes& batch, Wake wake, std::chrono::steady_clock::time_point deadline) override;

    // Asks the thread to write and flush everything sent before; false when it has ended.
    bool request_flush(AckSender ack);
    // The same, giving up when the channel stays full until `deadline`.
    FlushRequest request_flush_until(AckSender ack, std::chrono::steady_clock::time_point deadline);

    // Queues Stop behind everything sent and joins the thread; idempotent.
    void stop();

    // Forgets a thread that must not be joined: one that does not exist in a fork child, or one
    // stuck on its output while the process exits.
    void abandon_thread() noexcept;

    // In a fork child: a fresh channel and thread for a writer that was running in the parent.
    void restart_in_child();

    const DestinationPath destination;
    const LineStyle style;  // json, unix_ts, color: fixed for the writer's life
    const std::chrono::milliseconds check_interval;

private:
    Sender<Action> sender_;
    std::atomic<bool> abandoned_ = false;
    std::mutex handle_mutex_;  // held across the Stop send and the join
    WriterThread handle_;
};

// Finds the live writer of a destination or creates one (and starts its thread). Throws
// std::runtime_error "failed to spawn thread: ..." when the thread cannot be started; the registry
// stays usable.
std::shared_ptr<SharedWriter> shared_writer(std::optional<std::string> path);

// Every live writer, for the exit flush and the fork hooks.
std::vector<std::shared_ptr<SharedWriter>> live_writers();

// The registry mutex, held across fork() so the child never inherits it locked by another thread.
std::mutex& writers_mutex() noexcept;

// Starts writer threads; tests replace it to simulate a refused thread start.
using SpawnWriter = WriterThread (*)(Context context);
inline SpawnWriter SPAWN_WRITER = &WriterThread::spawn;

// The colour decision for a new writer (environment and terminal read now).
bool decide_color(ColorMode mode, bool is_stdout);

}  // namespace tarnwick::python
