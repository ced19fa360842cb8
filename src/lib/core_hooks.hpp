// The core's seams, in one place: what the owner of the process's writers (the module) or a test
// puts in place of the core's own behaviour. Installed before the threads that read them start;
// read by any thread.
#pragma once

#include <chrono>
#include <memory>

#include "lib/local_date.hpp"
#include "lib/output.hpp"
#include "lib/writer_config.hpp"

namespace tarnwick {

class BatchSink;
class WriterThread;
struct Context;

struct CoreHooks {
    // Starts a writer thread (tests: a refused start, or a fake destination).
    WriterThread (*spawn_writer)(Context context);
    // The live writer for lines whose writer was destroyed before they were handed over; null:
    // such lines are dropped.
    std::shared_ptr<BatchSink> (*reacquire_sink)(const WriterConfigRef& config);
    // Today's local date, which writer threads compare to begin each day's file (tests: moving midnight).
    Date (*today)();
    // What writer threads write to; none: standard output or the path's dated files.
    OpenDestination open_destination;
    // Whether record times may come from the CPU's time-stamp counter where it is invariant; taken
    // by each thread at its next re-anchor.
    bool use_tsc = true;
    // How often new writers write out their buffer and compare the date.
    std::chrono::milliseconds check_interval = DEFAULT_CHECK_INTERVAL;
};

// The core's own hooks.
CoreHooks default_core_hooks();

// The hooks in force.
const CoreHooks& core_hooks() noexcept;

// Puts `hooks` in force; null restores the core's own. The hooks must stay alive as long as they may
// be read (a static), and are best installed before any writer or record exists.
void set_core_hooks(const CoreHooks* hooks) noexcept;

}  // namespace tarnwick
