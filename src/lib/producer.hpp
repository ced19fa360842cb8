// Per-thread record state: the pending batch and the writer it belongs to, the scratch buffer for
// message text, and the thread's clocks. Only its own thread uses it, except the exit flush, which
// claims each thread's producer before it hands that thread's lines over.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "lib/batch_pool.hpp"
#include "lib/bytes.hpp"
#include "lib/channel.hpp"
#include "lib/timestamp_cache.hpp"
#include "lib/writer_config.hpp"

namespace tarnwick {

using Deadline = std::optional<std::chrono::steady_clock::time_point>;  // none: wait as long as it takes

// A destination's writer, as the producer sees it.
class BatchSink {
public:
    // Hands over complete lines, waiting for room in the writer's queue until `deadline`. True when
    // the lines are taken (also when they cannot be delivered because the writer has ended: they
    // are dropped); false when the queue stayed full, and `batch` keeps its lines. A full batch may
    // wait for the writer's next wake-up (Wake::Lazily); the last lines of a thread, a logger or a
    // writer wake it at once.
    virtual bool hand_over(Bytes& batch, Wake wake, Deadline deadline) = 0;

protected:
    ~BatchSink() = default;
};

// Finds or creates the live writer for a configuration. The core's own is installed by whoever
// owns the process's writers (the module, at initialisation); without one, lines whose writer was
// destroyed are dropped.
using ReacquireSink = std::shared_ptr<BatchSink> (*)(const WriterConfigRef& config);
void set_reacquire_sink(ReacquireSink reacquire) noexcept;

struct Producer {
    // Free, in use by its own thread, or claimed by the exit flush on another thread.
    enum State : std::uint8_t { FREE, OWN, CLAIMED };
    std::atomic<std::uint8_t> state = FREE;
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
    WriterConfigRef owner_config;

    // Makes `sink` the owner of the batch, first handing any pending lines to their own writer.
    void adopt(const std::shared_ptr<BatchSink>& sink, WriterConfigRef config);

    // Hands the pending lines to the writer they belong to: the remembered one if it still exists,
    // else the live writer of the same configuration, and leaves an empty batch with no owner. True
    // when done; false when that writer's queue stayed full until `deadline`, and the lines stay
    // pending with their owner.
    bool hand_over_pending(Deadline deadline = std::nullopt);

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
}  // namespace details

// Creates the calling thread's producer. Throws std::logic_error after the thread's producer was
// destroyed at thread exit.
Producer& create_producer();

// The calling thread's producer if it exists and its thread is not exiting; never creates one.
inline Producer* existing_producer() noexcept { return details::PRODUCER; }

// Hands over the pending lines of every thread's producer that is not in use, claiming each for
// the time it takes, so a thread that is logging meanwhile keeps its own. For the exit flush:
// threads blocked elsewhere (daemon threads) would otherwise keep their last lines forever.
void hand_over_all_pending(std::chrono::steady_clock::time_point deadline);

// A fork child: the other threads' producers belong to threads that do not exist here, and their
// lines are the parent's to write. Their memory is left alone.
void forget_other_threads_producers() noexcept;

// The calling thread's use of its producer for one operation. A nested use is a broken invariant;
// a claim by the exit flush is waited out.
class ProducerUse {
public:
    explicit ProducerUse(Producer& p) : producer_(p) {
        std::uint8_t expected = Producer::FREE;
        if (!p.state.compare_exchange_strong(expected, Producer::OWN, std::memory_order_acquire)) [[unlikely]] {
            wait_for_claim(p, expected);
        }
    }
    ~ProducerUse() { producer_.state.store(Producer::FREE, std::memory_order_release); }
    ProducerUse(const ProducerUse&) = delete;
    ProducerUse& operator=(const ProducerUse&) = delete;

private:
    static void wait_for_claim(Producer& p, std::uint8_t seen);
    Producer& producer_;
};

}  // namespace tarnwick
