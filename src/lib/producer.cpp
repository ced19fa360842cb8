#include "lib/producer.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "lib/core_hooks.hpp"
#include "lib/fork_safety.hpp"

namespace tarnwick {

namespace details {
thread_local constinit Producer* PRODUCER = nullptr;
}  // namespace details

namespace {

using details::PRODUCER;
thread_local constinit bool PRODUCER_DEAD = false;

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
            (void)p->hand_over_pending(std::chrono::steady_clock::now() + THREAD_EXIT_WAIT);
        } catch (...) {
            // the thread is ending; nothing left to tell
        }
        delete p;
    }
};
thread_local ProducerHolder HOLDER;

}  // namespace

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
        if (!p->state_.compare_exchange_strong(expected, Producer::CLAIMED, std::memory_order_acquire)) continue;
        (void)p->hand_over_held(deadline);  // lines that find no room stay with their thread
        p->state_.store(Producer::FREE, std::memory_order_release);
    }
}

void forget_other_threads_producers() noexcept {
    recreate_in_child(PRODUCERS.mutex);
    std::erase_if(PRODUCERS.all, [](Producer* p) { return p != PRODUCER; });
}

void Producer::Use::wait_for_claim(Producer& p, std::uint8_t seen) {
    for (;;) {
        if (seen == OWN) throw std::logic_error("per-thread logger state used re-entrantly");
        std::this_thread::yield();  // the exit flush holds it for at most its deadline
        seen = FREE;
        if (p.state_.compare_exchange_weak(seen, OWN, std::memory_order_acquire)) return;
    }
}

Outcome Producer::hand_over_pending(Deadline deadline) {
    Use use(*this);
    return hand_over_held(deadline) ? Outcome::Done : Outcome::QueueFull;
}

void Producer::adopt(std::weak_ptr<BatchSink> sink, const BatchSink* address, WriterConfigRef config) noexcept {
    owner_ = address;
    owner_ref_ = std::move(sink);
    owner_config_ = std::move(config);
}

bool Producer::hand_over_held(Deadline deadline) {
    if (batch_.empty() || owner_ == nullptr) {
        batch_.clear();
        forget_owner();
        return true;
    }
    std::shared_ptr<BatchSink> sink = owner_ref_.lock();
    // The writer was destroyed meanwhile (its last logger released on another thread): write the
    // lines through the live writer of the same configuration, creating one if needed.
    if (!sink && owner_config_) {
        if (const auto reacquire = core_hooks().reacquire_sink) sink = reacquire(owner_config_);
    }
    if (!sink) {
        batch_.clear();
    } else if (sink->hand_over(batch_, Wake::Now, deadline)) {
        batch_ = BATCH_POOL.take();
    } else {
        return false;
    }
    forget_owner();
    return true;  // releasing `sink` may destroy the writer, which then stops and flushes it
}

void Producer::forget_owner() noexcept {
    owner_ = nullptr;
    owner_ref_.reset();
    owner_config_.reset();
    pending_ = 0;
}

void Producer::discard_pending() noexcept {
    batch_.clear();
    forget_owner();
}

std::optional<Bytes> Producer::take_pending_for(const BatchSink* sink) noexcept {
    if (owner_ != sink || !idle()) return std::nullopt;
    forget_owner();
    if (batch_.empty()) return std::nullopt;
    Bytes out;
    out.swap(batch_);
    return out;
}

}  // namespace tarnwick
