// Spare batch buffers, recycled from writer threads back to producers. Any thread.
// Without it each hand-over allocates on the logging thread and frees on the writer thread: malloc's
// arena lock is contended, and the heap top grows and shrinks, faulting pages in and out.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "lib/bytes.hpp"
#include "lib/fork_safety.hpp"

namespace tarnwick {

inline constexpr std::size_t BATCH_CAPACITY = 4096;

class BatchPool {
public:
    // An empty buffer with room for at least BATCH_CAPACITY bytes.
    Bytes take() {
        {
            std::lock_guard lock(mutex_);
            if (!spares_.empty()) {
                Bytes b = std::move(spares_.back());
                spares_.pop_back();
                return b;
            }
        }
        return Bytes(BATCH_CAPACITY);
    }

    // Keeps a used buffer for reuse, unless enough are kept already or it grew large.
    void give(Bytes b) noexcept {
        if (b.capacity() < BATCH_CAPACITY || b.capacity() > MAX_KEPT_CAPACITY) return;
        b.clear();
        std::lock_guard lock(mutex_);
        if (spares_.size() < MAX_KEPT) spares_.push_back(std::move(b));
    }

    // A fork child: the lock may be held by a writer thread of the parent, which is gone.
    void reset_in_child() noexcept { recreate_in_child(mutex_); }

    BatchPool() { spares_.reserve(MAX_KEPT); }

private:
    static constexpr std::size_t MAX_KEPT = 512;  // 2 MiB of spares at most
    static constexpr std::size_t MAX_KEPT_CAPACITY = 4 * BATCH_CAPACITY;

    std::mutex mutex_;
    std::vector<Bytes> spares_;
};

// Never destroyed: writer threads may still return buffers while the process exits.
inline BatchPool& BATCH_POOL = *new BatchPool;

}  // namespace tarnwick
