#include "lib/producer.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "lib/fork_safety.hpp"

namespace tarnwick {

namespace details {
thread_local constinit Producer* PRODUCER = nullptr;
}  // namespace details

namespace {

using details::PRODUCER;
thread_local constinit bool PRODUCER_DEAD = false;
std::atomic<ReacquireSink> REACQUIRE_SINK{nullptr};

// A thread's last lines may find the queue of a stuck destination full: they wait this long for
// room, without the interpreter, and are dropped after it.
constexpr auto THREAD_EXIT_WAIT = std::chrono::seconds(5);

// Every thread's producer, for the hand-over at process exit. Never destroyed: threads may still
// end while the process exits.
struct ProducerList {
    std::mutex mutex;
    std::vector<Producer*> all;
};
ProducerList& PRODUCERS = *new ProducerList;

void forget_producer(Producer* p) {
    std::lock_guard lock(PRODUCERS.mutex);
    std::erase(PRODUCERS.all, p);
}

// Exists, with its destructor, only on threads that logged.
struct ProducerHolder {
    Producer* producer = nullptr;
    ~ProducerHolder() {
        Producer* p = std::exchange(producer, nullptr);
        PRODUCER = nullptr;
        PRODUCER_DEAD = true;
        if (p == nullptr) return;
        forget_producer(p);  // from now on no other thread hands these lines over
        try {
            p->hand_over_pending(std::chrono::steady_clock::now() + THREAD_EXIT_WAIT);
        } catch (...) {
            // the thread is ending; nothing left to tell
        }
        delete p;
    }
};
thread_local ProducerHolder HOLDER;

}  // namespace

void set_reacquire_sink(ReacquireSink reacquire) noexcept { REACQUIRE_SINK.store(reacquire); }

Producer& create_producer() {
    if (PRODUCER_DEAD) throw std::logic_error("per-thread logger state used after its thread exited");
    auto p = std::make_unique<Producer>();
    {
        std::lock_guard lock(PRODUCERS.mutex);
        PRODUCERS.all.push_back(p.get());
    }
    HOLDER.producer = p.get();
    PRODUCER = p.release();
    return *PRODUCER;
}

void hand_over_all_pending(std::chrono::steady_clock::time_point deadline) {
    std::lock_guard lock(PRODUCERS.mutex);
    for (Producer* p : PRODUCERS.all) {
        std::uint8_t expected = Producer::FREE;
        // In use on its own thread: that call finishes the record and keeps the lines.
        if (!p->state.compare_exchange_strong(expected, Producer::CLAIMED, std::memory_order_acquire)) continue;
        (void)p->hand_over_pending(deadline);  // lines that find no room stay with their thread
        p->state.store(Producer::FREE, std::memory_order_release);
    }
}

void forget_other_threads_producers() noexcept {
    recreate_in_child(PRODUCERS.mutex);
    std::erase_if(PRODUCERS.all, [](Producer* p) { return p != PRODUCER; });
}

void ProducerUse::wait_for_claim(Producer& p, std::uint8_t seen) {
    for (;;) {
        if (seen == Producer::OWN) throw std::logic_error("per-thread logger state used re-entrantly");
        std::this_thread::yield();  // the exit flush holds it for at most its deadline
        seen = Producer::FREE;
        if (p.state.compare_exchange_weak(seen, Producer::OWN, std::memory_order_acquire)) return;
    }
}

void Producer::adopt(const std::shared_ptr<BatchSink>& sink, WriterConfigRef config) {
    hand_over_pending();
    owner = sink.get();
    owner_ref = sink;
    owner_config = std::move(config);
}

bool Producer::hand_over_pending(Deadline deadline) {
    if (batch.empty() || owner == nullptr) {
        batch.clear();
        forget_owner();
        return true;
    }
    std::shared_ptr<BatchSink> sink = owner_ref.lock();
    // The writer was destroyed meanwhile (its last logger released on another thread): write the
    // lines through the live writer of the same configuration, creating one if needed.
    if (!sink && owner_config) {
        if (ReacquireSink reacquire = REACQUIRE_SINK.load()) sink = reacquire(owner_config);
    }
    if (!sink) {
        batch.clear();
    } else if (sink->hand_over(batch, Wake::Now, deadline)) {
        batch = BATCH_POOL.take();
    } else {
        return false;
    }
    forget_owner();
    return true;  // releasing `sink` may destroy the writer, which then stops and flushes it
}

void Producer::forget_owner() noexcept {
    owner = nullptr;
    owner_ref.reset();
    owner_config.reset();
    pending = 0;
}

void Producer::discard_pending() noexcept {
    batch.clear();
    forget_owner();
}

std::optional<Bytes> Producer::take_pending_for(const BatchSink* sink) noexcept {
    if (owner != sink || state.load(std::memory_order_relaxed) != FREE) return std::nullopt;
    forget_owner();
    if (batch.empty()) return std::nullopt;
    Bytes out;
    out.swap(batch);
    return out;
}

}  // namespace tarnwick
