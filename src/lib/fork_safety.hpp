// In a fork child only the forking thread exists: a lock that any other thread of the parent held
// at the fork would stay locked forever.
#pragma once

#include <new>

namespace tarnwick {

// Re-creates `m` unlocked in a fork child. Its old state is abandoned, never destroyed.
template <class Mutex>
void recreate_in_child(Mutex& m) noexcept {
    new (&m) Mutex;
}

}  // namespace tarnwick
