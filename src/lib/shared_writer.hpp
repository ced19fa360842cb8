// One SharedWriter per destination: the sending half of its action channel, its writer thread and
// the configuration fixed at its creation. Any thread; the registry is guarded by one mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lib/action.hpp"
#include "lib/channel.hpp"
#include "lib/producer.hpp"
#include "lib/writer_config.hpp"
#include "lib/writer_thread.hpp"

namespace tarnwick {

// How long shutdown() and the exit flush wait for writers to write out what they were sent.
inline constexpr std::chrono::seconds FLUSH_WAIT{5};

class SharedWriter final : public BatchSink {
public:
    SharedWriter(WriterConfigRef config, Sender<Action> sender, WriterThread handle, std::shared_ptr<WriterTurn> turn);
    // Hands over this thread's pending lines for this writer, then stops it, within FLUSH_WAIT in all.
    ~SharedWriter();
    SharedWriter(const SharedWriter&) = delete;
    SharedWriter& operator=(const SharedWriter&) = delete;

    // Once the thread was abandoned (stuck on its output while the process exits), a batch that
    // does not fit at once is dropped: nothing may wait on that thread any more.
    bool hand_over(Bytes& batch, Wake wake, Deadline deadline) override;

    // Asks the thread to write out everything sent before and then answer on `ack`. Sent, TimedOut
    // when the queue stayed full until `deadline`, or Disconnected when the thread has ended.
    SendStatus request_flush(AckSender ack, Deadline deadline);

    // Queues Stop behind everything sent and joins the thread; idempotent. A thread that has not
    // ended by `deadline` is let go: it ends by itself once its destination takes what it was sent,
    // and the next writer of the destination still waits for it.
    void stop(Deadline deadline = std::nullopt);

    // Whether lines sent now can still be written: the thread was neither stopped nor has it ended
    // (after an I/O error). A registry hands out only such writers.
    bool accepting() const;

    // Forgets a thread that must not be joined: one that does not exist in a fork child, or one
    // stuck on its output while the process exits.
    void abandon_thread() noexcept;

    // In a fork child: a fresh channel and thread for a writer that was running in the parent.
    void restart_in_child();

    const std::shared_ptr<WriterTurn>& turn() const noexcept { return turn_; }

private:
    Sender<Action> sender_;
    std::atomic<bool> abandoned_ = false;
    std::atomic<bool> stopped_ = false;  // stop() began: lines sent now may go nowhere
    std::shared_ptr<WriterTurn> turn_;   // finished by the thread once it has written everything
    std::mutex handle_mutex_;            // held across the Stop send and the join
    WriterThread handle_;
};

// The writer of `config`'s destination: the registered one while it accepts lines, else a new one
// made with `config` (its thread started), which replaces it in the registry. Throws
// std::runtime_error "failed to spawn thread: ..." when the thread cannot be started; the registry
// stays usable.
std::shared_ptr<SharedWriter> shared_writer(const WriterConfigRef& config);

// The same as a BatchSink, for lines whose writer was destroyed (the core's CoreHooks::reacquire_sink).
std::shared_ptr<BatchSink> reacquire_writer(const WriterConfigRef& config);

// Every live writer, for the exit flush and the fork hooks.
std::vector<std::shared_ptr<SharedWriter>> live_writers();

// Asks every writer to write out what it was sent and waits for the answers until `deadline`.
// Returns the writers that did not answer in time.
std::vector<std::shared_ptr<SharedWriter>> flush_and_wait(std::vector<std::shared_ptr<SharedWriter>> writers,
                                                          std::chrono::steady_clock::time_point deadline);

// Waits until `deadline` for the threads of released writers that are still writing: those let go by a
// stop that gave up, whose destinations may take data again meanwhile.
void wait_for_released_writers(std::chrono::steady_clock::time_point deadline);

// Holds the registry lock across every fork() of the process, so a child never inherits it locked by
// another thread. It is taken inside fork() itself, after the interpreter's fork hooks and locks:
// taken earlier, with Python code still to run, it would deadlock against a thread that holds the
// interpreter and waits for it. Its holders never wait for the interpreter. Idempotent.
void hold_registry_across_fork();

// In a fork child: every writer that was running in the parent given a fresh channel and thread.
void restart_writers_in_child();

}  // namespace tarnwick
