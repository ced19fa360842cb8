#include "lib/core_hooks.hpp"

#include <atomic>

#include "lib/shared_writer.hpp"
#include "lib/writer_thread.hpp"

namespace tarnwick {
namespace {

// Never destroyed: writer threads and exiting threads may read the hooks while the process exits.
const CoreHooks& OWN_HOOKS = *new const CoreHooks(default_core_hooks());
std::atomic<const CoreHooks*> HOOKS{nullptr};  // null: OWN_HOOKS

}  // namespace

CoreHooks default_core_hooks() {
    return CoreHooks{
        .spawn_writer = &WriterThread::spawn,
        .reacquire_sink = &reacquire_writer,
        .today = &local_date_now,
        .open_destination = {},
    };
}

const CoreHooks& core_hooks() noexcept {
    const CoreHooks* hooks = HOOKS.load(std::memory_order_acquire);
    return hooks != nullptr ? *hooks : OWN_HOOKS;
}

void set_core_hooks(const CoreHooks* hooks) noexcept { HOOKS.store(hooks, std::memory_order_release); }

}  // namespace tarnwick
