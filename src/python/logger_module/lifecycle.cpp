#include "python/logger_module/lifecycle.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "lib/batch_pool.hpp"
#include "lib/fork_safety.hpp"
#include "lib/producer.hpp"
#include "lib/shared_writer.hpp"
#include "python/detached.hpp"
#include "python/errors.hpp"
#include "python/logger_module/module_state.hpp"
#include "python/logger_module/settings.hpp"
#include "python/owned_ref.hpp"

namespace tarnwick::python {

void reattach_or_park(PyThreadState* saved) noexcept {
    try {
        PyEval_RestoreThread(saved);
    } catch (...) {
        // Only the unwinding of pthread_exit comes out of C. Not rethrown, which would end the
        // process, and never left: the process exits without this thread.
        for (;;) pause();
    }
}

namespace logger_module {

namespace {

using Clock = std::chrono::steady_clock;

// What is left of FLUSH_WAIT for the exit. Both exit flushes draw on it, so together they keep the
// process from leaving for no longer than one would.
std::atomic<Clock::rep> EXIT_BUDGET{Clock::duration(FLUSH_WAIT).count()};

Clock::time_point exit_deadline(Clock::time_point start) { return start + Clock::duration(EXIT_BUDGET.load()); }

void spend_exit_budget(Clock::time_point start) {
    const Clock::rep spent = (Clock::now() - start).count();
    EXIT_BUDGET.store(std::max<Clock::rep>(EXIT_BUDGET.load() - spent, 0));
}

// Waits until `deadline` for every live writer to write out what it was sent, and for released ones
// still writing to finish. Writers that do not answer in time are let go: their threads will not be
// joined, so a stuck destination cannot hang the process's exit. Touches no Python: a writer released
// here stops without it.
void flush_writers(Clock::time_point deadline) {
    for (const std::shared_ptr<SharedWriter>& writer : flush_and_wait(live_writers(), deadline)) {
        writer->abandon_thread();
    }
    wait_for_released_writers(deadline);
}

// Another interpreter closes while the process goes on: its own threads handed their lines over as
// they ended; the thread closing it may carry on elsewhere (it runs several interpreters), so its
// lines go now. Writers are left running for the interpreters still there, and the process's exit
// budget is left to the process's exit.
void flush_at_interpreter_exit() {
    Producer* p = existing_producer();
    if (p == nullptr || !p->idle()) return;  // in use: the thread's own exit hands them over
    Detached detached;
    try {
        (void)p->hand_over_pending(Clock::now() + FLUSH_WAIT);
    } catch (...) {
        // the thread_local destructor tries once more
    }
}

// Bound to the module, so it knows whose interpreter exits.
PyObject* flush_at_exit(PyObject* module, PyObject*) {
    if (module_state(module).interpreter != PyInterpreterState_Main()) {
        flush_at_interpreter_exit();
        Py_RETURN_NONE;
    }
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = exit_deadline(start);
    // With the interpreter held: no thread can be inside a record meanwhile on a build with a GIL.
    hand_over_all_pending(deadline);
    {
        Detached detached;
        flush_writers(deadline);
    }
    spend_exit_budget(start);
    Py_RETURN_NONE;
}

// The latest point CPython offers, once no Python code is left to run: atexit handlers registered
// before the import, daemon threads and __del__ methods may have logged after flush_at_exit. No
// interpreter is left to let go of either.
void flush_after_finalisation() noexcept {
    try {
        const Clock::time_point start = Clock::now();
        const Clock::time_point deadline = exit_deadline(start);
        hand_over_all_pending(deadline);
        flush_writers(deadline);
        spend_exit_budget(start);
    } catch (...) {
        // nobody is left to tell
    }
}

PyMethodDef flush_at_exit_def = {"_flush_at_exit", as_cfunction(guarded<flush_at_exit>), METH_NOARGS, nullptr};

// multiprocessing runs its workers' finalizers and then leaves with os._exit(), which skips atexit:
// register the flush there too, in each worker, after multiprocessing has cleared the parent's.
PyObject* after_multiprocessing_fork(PyObject* module, PyObject*) {
    OwnedRef util = OwnedRef::steal(PyImport_ImportModule("multiprocessing.util"));
    OwnedRef finalize = util ? OwnedRef::steal(PyObject_GetAttrString(util.get(), "Finalize")) : OwnedRef();
    OwnedRef flush = OwnedRef::steal(PyCFunction_New(&flush_at_exit_def, module));
    OwnedRef args = OwnedRef::steal(Py_BuildValue("(OO)", Py_None, flush.get()));
    OwnedRef kwargs = OwnedRef::steal(Py_BuildValue("{s:i}", "exitpriority", -1000));
    if (!finalize || !flush || !args || !kwargs) return nullptr;
    OwnedRef registered = OwnedRef::steal(PyObject_Call(finalize.get(), args.get(), kwargs.get()));
    if (!registered) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef after_mp_fork_def = {"_after_multiprocessing_fork", as_cfunction(guarded<after_multiprocessing_fork>),
                                 METH_O, nullptr};

// A module of multiprocessing if something has imported it; importing it here would cost every
// program that never starts a worker.
OwnedRef loaded_module(const char* name) {
    OwnedRef text = OwnedRef::steal(PyUnicode_FromString(name));
    OwnedRef module = text ? OwnedRef::steal(PyImport_GetModule(text.get())) : OwnedRef();
    if (!module) PyErr_Clear();
    return module;
}

// Every worker, whatever its start method, runs multiprocessing's after-fork hooks when it starts
// and its finalizers before it leaves.
void hook_multiprocessing(PyObject* module) {
    std::atomic<bool>& hooked = module_state(module).multiprocessing_hooked;
    if (hooked.exchange(true)) return;
    OwnedRef util = loaded_module("multiprocessing.util");
    OwnedRef hook = util ? OwnedRef::steal(PyCFunction_New(&after_mp_fork_def, module)) : OwnedRef();
    OwnedRef done =
        hook ? OwnedRef::steal(PyObject_CallMethod(util.get(), "register_after_fork", "OO", module, hook.get()))
             : OwnedRef();
    if (!done) {
        PyErr_Clear();
        hooked = false;  // not in use (yet): a later fork or import checks again
    }
}

// Imported by a worker that is already running (forkserver and spawn workers import while they
// unpickle or run their target): its after-fork hooks have run, so the flush is registered now.
void register_flush_in_worker(PyObject* module) {
    OwnedRef process = loaded_module("multiprocessing.process");
    OwnedRef parent =
        process ? OwnedRef::steal(PyObject_CallMethod(process.get(), "parent_process", nullptr)) : OwnedRef();
    if (parent && parent.get() != Py_None) {
        OwnedRef registered = OwnedRef::steal(after_multiprocessing_fork(module, nullptr));
        if (registered) return;
    }
    PyErr_Clear();
}

// Takes no lock: other fork hooks run after this one and may let go of the interpreter (the
// registry's lock is held across the fork itself, see hold_registry_across_fork).
PyObject* before_fork(PyObject* module, PyObject*) {
    hook_multiprocessing(module);
    Py_RETURN_NONE;
}

// The child has only the forking thread: every writer thread and every lock holder of the parent
// is gone. Writers get a fresh channel and thread now, before any record can be sent to a channel
// whose lock may be held by a vanished thread; the parent's queued and buffered lines and the
// forking thread's pending ones stay the parent's to write.
PyObject* after_fork_child(PyObject* module, PyObject*) {
    reset_settings_in_child(module_state(module));
    BATCH_POOL.reset_in_child();
    if (Producer* p = existing_producer()) p->discard_pending();
    forget_other_threads_producers();
    restart_writers_in_child();
    Py_RETURN_NONE;
}

PyMethodDef before_fork_def = {"_before_fork", as_cfunction(guarded<before_fork>), METH_NOARGS, nullptr};
PyMethodDef after_fork_child_def = {"_after_fork_child", as_cfunction(guarded<after_fork_child>), METH_NOARGS, nullptr};

}  // namespace

bool install_process_hooks(PyObject* module) {
    hook_multiprocessing(module);
    register_flush_in_worker(module);
    OwnedRef atexit = OwnedRef::steal(PyImport_ImportModule("atexit"));
    OwnedRef flush = OwnedRef::steal(PyCFunction_New(&flush_at_exit_def, module));
    if (!atexit || !flush) return false;
    OwnedRef registered = OwnedRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", flush.get()));
    if (!registered) return false;
    static std::once_flag late_flush;
    // Its table may be full: then lines logged after flush_at_exit may be lost, as before.
    std::call_once(late_flush, [] { (void)Py_AtExit(flush_after_finalisation); });

    OwnedRef os = OwnedRef::steal(PyImport_ImportModule("os"));
    if (!os) return false;
    OwnedRef register_at_fork = OwnedRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) {
        PyErr_Clear();  // a platform without fork
        return true;
    }
    hold_registry_across_fork();
    OwnedRef before = OwnedRef::steal(PyCFunction_New(&before_fork_def, module));
    OwnedRef child = OwnedRef::steal(PyCFunction_New(&after_fork_child_def, module));
    OwnedRef args = OwnedRef::steal(PyTuple_New(0));
    if (!before || !child || !args) return false;
    OwnedRef kwargs =
        OwnedRef::steal(Py_BuildValue("{s:O,s:O}", "before", before.get(), "after_in_child", child.get()));
    if (!kwargs) return false;
    OwnedRef done = OwnedRef::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get()));
    return static_cast<bool>(done);
}

}  // namespace logger_module

}  // namespace tarnwick::python
