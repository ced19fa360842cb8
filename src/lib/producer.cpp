#include "lib/producer.hpp"

#include <algorithm>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

namespace tarnwick {

namespace details {
thread_local constinit Producer* PRODUCER = nullptr;
}  // namespace details

namespace {

using details::PRODUCER;
thread_local constinit bool PRODUCER_DEAD = false;

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
        // A thread's last lines are worth keeping: hand them over instead of dropping them. No
        // Python code runs and no interpreter lock is needed here.
        try {
            p->hand_over_pending();
        } catch (...) {
            // the thread is ending; nothing left to tell
        }
        delete p;
    }
};
thread_local ProducerHolder HOLDER;

}  // namespace

Producer& details::create_producer() {
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

Producer* existing_producer() noexcept { return PRODUCER; }

void hand_over_all_pending(std::chrono::steady_clock::time_point deadline) {
    std::lock_guard lock(PRODUCERS.mutex);
    for (Producer* p : PRODUCERS.all) {
        if (p->in_use) continue;  // inside a record on its own thread: that call finishes it
        ProducerUse use(*p);
        (void)p->hand_over_pending(deadline);  // lines that find no room stay with their thread
    }
}

void forget_other_threads_producers() noexcept {
    new (&PRODUCERS.mutex) std::mutex;
    std::erase_if(PRODUCERS.all, [](Producer* p) { return p != PRODUCER; });
}

void ProducerUse::reused() { throw std::logic_error("per-thread logger state used re-entrantly"); }

void Producer::adopt(const std::shared_ptr<BatchSink>& sink, DestinationPath destination) {
    hand_over_pending();
    owner = sink.get();
    owner_ref = sink;
    owner_destination = std::move(destination);
}

bool Producer::hand_over_pending(std::optional<std::chrono::steady_clock::time_point> deadline) {
    if (batch.empty() || owner == nullptr) {
        batch.clear();
        forget_owner();
        return true;
    }
    std::shared_ptr<BatchSink> sink = owner_ref.lock();
    // The writer was destroyed meanwhile (its last logger released on another thread): write the
    // lines through the live writer of the same destination, creating one if needed.
    if (!sink && REACQUIRE_SINK != nullptr && owner_destination) sink = REACQUIRE_SINK(*owner_destination);
    if (!sink) {
        batch.clear();
    } else if (!deadline) {
        sink->hand_off(std::exchange(batch, BATCH_POOL.take()), Wake::Now);
    } else if (sink->hand_off_until(batch, Wake::Now, *deadline)) {
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
    owner_destination.reset();
    pending = 0;
}

void Producer::discard_pending() noexcept {
    batch.clear();
    forget_owner();
}

std::optional<Bytes> Producer::take_pending_for(const BatchSink* sink) noexcept {
    if (owner != sink || in_use) return std::nullopt;
    forget_owner();
    if (batch.empty()) return std::nullopt;
    Bytes out;
    out.swap(batch);
    return out;
}

}  // namespace tarnwick
