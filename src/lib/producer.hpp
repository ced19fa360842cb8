// Per-thread record state: the pending batch and the writer it belongs to, the scratch buffer for
// message text, and the thread's clocks. Only its own thread touches it, except for the hand-over
// of every thread's lines at process exit.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "lib/batch_pool.hpp"
#include "lib/bytes.hpp"
#include "lib/channel.hpp"
#include "lib/timestamp_cache.hpp"

namespace tarnwick {

// A destination's writer, as the producer sees it.
class BatchSink {
public:
    // Hands over complete lines; lines that cannot be delivered (writer thread ended) are dropped.
    // A full batch may wait for the writer's next wake-up (Wake::Lazily); the last lines of a
    // thread, a logger or a writer wake it at once.
    virtual void hand_off(Bytes batch, Wake wake) = 0;

    // The same, unless the writer's queue stays full until `deadline`: false then, and `batch`
    // keeps its lines. Lines that cannot be delivered count as handed over (true).
    virtual bool hand_off_until(Bytes& batch, Wake wake, std::chrono::steady_clock::time_point deadline) = 0;

protected:
    ~BatchSink() = default;
};

// The destination text of a sink (absent = standard output), kept so that lines whose writer was
// destroyed can still reach the same destination.
using DestinationPath = std::shared_ptr<const std::optional<std::string>>;

// Finds or creates the live writer of a destination; installed by the binding.
using ReacquireSink = std::shared_ptr<BatchSink> (*)(const std::optional<std::string>& destination);
inline ReacquireSink REACQUIRE_SINK = nullptr;

struct Producer {
    bool in_use = false;
    TimestampCache cache;
    Bytes batch{BATCH_CAPACITY};
    Bytes scratch;
    ThreadTimestampCache clock;
    std::uint64_t pending = 0;
    // The writer the pending lines belong to: compared by address on every record, held weakly so
    // the batch never keeps a writer alive. The weak reference also keeps the address from being
    // reused by a new writer while it is remembered here.
    const BatchSink* owner = nullptr;
    std::weak_ptr<BatchSink> owner_ref;
    DestinationPath owner_destination;

    // Makes `sink` the owner of the batch, first handing any pending lines to their own writer.
    void adopt(const std::shared_ptr<BatchSink>& sink, DestinationPath destination);

    // Hands the pending lines to the writer they belong to: the remembered one if it still exists,
    // else the live writer of the same destination, and leaves an empty batch with no owner. With
    // a deadline, gives up when that writer's queue stays full until then: false, and the lines
    // stay pending with their owner.
    bool hand_over_pending(std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

    // Forgets the pending lines without sending them (a fork child must not write its parent's lines).
    void discard_pending() noexcept;

    // Takes the pending lines if they belong to `sink` (the sink is being destroyed).
    std::optional<Bytes> take_pending_for(const BatchSink* sink) noexcept;

private:
    void forget_owner() noexcept;  // the batch then belongs to no writer; its lines stay
};

namespace details {
// The calling thread's producer, or null. A trivially initialised pointer, so reaching it needs no
// guard; initial-exec, so the module reaches it without a call (it costs 8 bytes of static TLS).
extern thread_local constinit Producer* PRODUCER [[gnu::tls_model("initial-exec")]];
Producer& create_producer();
}  // namespace details

// The calling thread's producer, created on first use. Throws std::logic_error after the thread's
// producer was destroyed at thread exit.
inline Producer& this_thread_producer() {
    if (Producer* p = details::PRODUCER) [[likely]] return *p;
    return details::create_producer();
}

// The calling thread's producer if it exists and its thread is not exiting; never creates one.
Producer* existing_producer() noexcept;

// Hands over the pending lines of every thread's producer that is not in use. Only while no other
// thread can be recording, as at process exit with the interpreter lock held: threads blocked
// there (daemon threads) would otherwise keep their last lines forever.
void hand_over_all_pending(std::chrono::steady_clock::time_point deadline);

// A fork child: the other threads' producers belong to threads that do not exist here, and their
// lines are the parent's to write. Their memory is left alone.
void forget_other_threads_producers() noexcept;

// Marks the producer in use for one operation; a second, nested use is a broken invariant.
class ProducerUse {
public:
    explicit ProducerUse(Producer& p) : producer_(p) {
        if (p.in_use) [[unlikely]] reused();
        p.in_use = true;
    }
    ~ProducerUse() { producer_.in_use = false; }
    ProducerUse(const ProducerUse&) = delete;
    ProducerUse& operator=(const ProducerUse&) = delete;

private:
    [[noreturn]] static void reused();
    Producer& producer_;
};

}  // namespace tarnwick
