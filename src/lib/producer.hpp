// Per-thread record state: the pending batch and the writer it belongs to, the scratch buffer for
// message text, and the thread's clocks. Only its own thread uses it, except the exit flush, which
// claims each thread's producer before it hands that thread's lines over.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>

#include "lib/batch_pool.hpp"
#include "lib/bytes.hpp"
#include "lib/channel.hpp"
#include "lib/clock_reader.hpp"
#include "lib/timestamp_cache.hpp"
#include "lib/writer_config.hpp"

namespace tarnwick {

using Deadline = std::optional<std::chrono::steady_clock::time_point>;  // none: wait as long as it takes

// A destination's writer, as the producer sees it.
class BatchSink {
public:
    explicit BatchSink(WriterConfigRef writer_config) : config(std::move(writer_config)) {}

    // Hands over complete lines, waiting for room in the writer's queue until `deadline`. True when
    // the lines are taken (also when they cannot be delivered because the writer has ended: they
    // are dropped); false when the queue stayed full, and `batch` keeps its lines. A full batch may
    // wait for the writer's next wake-up (Wake::Lazily); the last lines of a thread, a logger or a
    // writer wake it at once.
    virtual bool hand_over(Bytes& batch, Wake wake, Deadline deadline) = 0;

    // The shape of the writer's lines, and its destination: lines left behind by a destroyed writer
    // go to the live writer made with the same configuration (CoreHooks::reacquire_sink).
    const WriterConfigRef config;

protected:
    ~BatchSink() = default;
};

// What became of a record, or of a hand-over of pending lines.
enum class Outcome : std::uint8_t {
    Done,         // the line is in the batch; of a hand-over: the pending lines are taken
    Declined,     // the renderer appended nothing: the line needs the interpreter after all
    QueueFull,    // nothing appended: pending lines wait for room in their writer's queue (of a
                  // hand-over: the queue stayed full until the deadline, and the lines stay pending)
    InQueueFull,  // the line is in, but its full batch waits for room in the writer's queue
};

// Per-thread record state; see the top of this file.
class Producer {
public:
    // Renders one line at the end of the batch for `sink` and hands the batch over once it holds
    // `batch_size` lines, never waiting for room in a queue. Lines pending for another writer are
    // handed over first. `render(batch, cache, now, style)` appends the whole line and returns true,
    // or appends nothing and returns false (Outcome::Declined); it runs while the producer is in use,
    // so it must not log. A nested use is a broken invariant (std::logic_error).
    template <class Sink, class Render>
    Outcome append(const std::shared_ptr<Sink>& sink, std::uint64_t batch_size, Render&& render);

    // Hands the pending lines to the writer they belong to: the remembered one if it still exists,
    // else the live writer of the same configuration, and leaves an empty batch with no owner. Done,
    // or QueueFull when that writer's queue stayed full until `deadline`; the lines stay pending then.
    Outcome hand_over_pending(Deadline deadline = std::nullopt);

    // Forgets the pending lines without sending them (a fork child must not write its parent's lines).
    void discard_pending() noexcept;

    // Takes the pending lines if they belong to `sink` and the producer is idle (the sink is being
    // destroyed).
    std::optional<Bytes> take_pending_for(const BatchSink* sink) noexcept;

    bool has_pending() const noexcept { return !batch_.empty(); }
    // Neither in use on its own thread nor claimed by the exit flush.
    bool idle() const noexcept { return state_.load(std::memory_order_relaxed) == FREE; }

    // Lends the thread's scratch buffer to one formatting pass and gives it back emptied. A nested
    // call (from an argument's __str__) finds the slot empty and uses a fresh buffer; the outer
    // call's buffer replaces it afterwards.
    class ScratchLoan {
    public:
        explicit ScratchLoan(Producer& p) : producer_(p), buffer_(std::move(p.scratch_)) {}
        ~ScratchLoan() {
            buffer_.clear();
            producer_.scratch_ = std::move(buffer_);
        }
        ScratchLoan(const ScratchLoan&) = delete;
        ScratchLoan& operator=(const ScratchLoan&) = delete;
        Bytes& buffer() noexcept { return buffer_; }

    private:
        Producer& producer_;
        Bytes buffer_;
    };

private:
    // Free, in use by its own thread, or claimed by the exit flush on another thread.
    enum State : std::uint8_t { FREE, OWN, CLAIMED };

    // The calling thread's use of its producer for one operation. A nested use is a broken
    // invariant; a claim by the exit flush is waited out.
    class Use {
    public:
        explicit Use(Producer& p) : producer_(p) {
            std::uint8_t expected = FREE;
            if (!p.state_.compare_exchange_strong(expected, OWN, std::memory_order_acquire)) [[unlikely]] {
                wait_for_claim(p, expected);
            }
        }
        ~Use() { producer_.state_.store(FREE, std::memory_order_release); }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        static void wait_for_claim(Producer& p, std::uint8_t seen);
        Producer& producer_;
    };

    friend void hand_over_all_pending(std::chrono::steady_clock::time_point deadline);

    // The bodies of the entries above, for a caller that holds the producer.
    bool hand_over_held(Deadline deadline);
    void adopt(std::weak_ptr<BatchSink> sink, const BatchSink* address, WriterConfigRef config) noexcept;
    void forget_owner() noexcept;  // the batch then belongs to no writer; its lines stay

    std::atomic<std::uint8_t> state_ = FREE;
    TimestampCache cache_;
    Bytes batch_{BATCH_CAPACITY};
    Bytes scratch_;
    ClockReader clock_;
    std::uint64_t pending_ = 0;
    // The writer the pending lines belong to: compared by address on every record, held weakly so
    // the batch never keeps a writer alive. The weak reference also keeps the address from being
    // reused by a new writer while it is remembered here.
    const BatchSink* owner_ = nullptr;
    std::weak_ptr<BatchSink> owner_ref_;
    WriterConfigRef owner_config_;
};

template <class Sink, class Render>
Outcome Producer::append(const std::shared_ptr<Sink>& sink, std::uint64_t batch_size, Render&& render) {
    static_assert(std::is_base_of_v<BatchSink, Sink>, "lines go to a BatchSink");
    constexpr std::chrono::steady_clock::time_point NO_WAIT{};  // long past
    Use use(*this);
    Sink& writer = *sink;  // its own type, so a final writer's hand_over is called directly
    if (owner_ != &writer) [[unlikely]] {
        if (!hand_over_held(NO_WAIT)) return Outcome::QueueFull;
        adopt(std::weak_ptr<BatchSink>(sink), &writer, writer.config);
    }
    const WallTime now = clock_.now();
    if (!render(batch_, cache_, now, writer.config->style)) return Outcome::Declined;
    if (++pending_ < batch_size) return Outcome::Done;
    if (!writer.hand_over(batch_, Wake::Lazily, NO_WAIT)) return Outcome::InQueueFull;
    batch_ = BATCH_POOL.take();
    pending_ = 0;
    return Outcome::Done;
}

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

}  // namespace tarnwick
