#include "python/lifecycle.hpp"

#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "lib/batch_pool.hpp"
#include "lib/producer.hpp"
#include "lib/settings.hpp"
#include "python/errors.hpp"
#include "python/owned_ref.hpp"
#include "python/shared_writer.hpp"

namespace tarnwick::python {

namespace {

PyObject* MODULE = nullptr;     // borrowed for the process's life
bool MP_HOOKED = false;          // multiprocessing's after-fork hook registered

PyObject* py_flush_at_exit(PyObject*, PyObject*) noexcept {
    try {
        flush_all_writers(EXIT_FLUSH_BUDGET);
    } catch (...) {
        // exit goes on; there is nobody to tell
    }
    Py_RETURN_NONE;
}

PyMethodDef flush_at_exit_def = {"_flush_at_exit", as_cfunction(py_flush_at_exit), METH_NOARGS, nullptr};

// multiprocessing runs its workers' finalizers and then leaves with os._exit(), which skips atexit:
// register the flush there too, in each worker, after multiprocessing has cleared the parent's.
PyObject* py_after_multiprocessing_fork(PyObject*, PyObject*) noexcept {
    OwnedRef util = OwnedRef::steal(PyImport_ImportModule("multiprocessing.util"));
    OwnedRef finalize = util ? OwnedRef::steal(PyObject_GetAttrString(util.get(), "Finalize")) : OwnedRef();
    OwnedRef flush = OwnedRef::steal(PyCFunction_New(&flush_at_exit_def, nullptr));
    OwnedRef args = OwnedRef::steal(Py_BuildValue("(OO)", Py_None, flush.get()));
    OwnedRef kwargs = OwnedRef::steal(Py_BuildValue("{s:i}", "exitpriority", -1000));
    if (!finalize || !flush || !args || !kwargs) return nullptr;
    OwnedRef registered = OwnedRef::steal(PyObject_Call(finalize.get(), args.get(), kwargs.get()));
    if (!registered) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef after_mp_fork_def = {"_after_multiprocessing_fork", as_cfunction(py_after_multiprocessing_fork),
                                 METH_O, nullptr};

void hook_multiprocessing() {
    if (MP_HOOKED) return;
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString("multiprocessing.util"));
    OwnedRef util = name ? OwnedRef::steal(PyImport_GetModule(name.get())) : OwnedRef();
    if (!util) {
        PyErr_Clear();
        return;  // not in use (yet): a later fork checks again
    }
    OwnedRef hook = OwnedRef::steal(PyCFunction_New(&after_mp_fork_def, nullptr));
    OwnedRef done = hook ? OwnedRef::steal(PyObject_CallMethod(util.get(), "register_after_fork", "OO", MODULE,
                                                                hook.get()))
                         : OwnedRef();
    if (!done) {
        PyErr_Clear();
        return;
    }
    MP_HOOKED = true;
}

// The registry lock is held across fork(), so the child never inherits it locked by another thread.
PyObject* py_before_fork(PyObject*, PyObject*) noexcept {
    hook_multiprocessing();
    writers_mutex().lock();
    Py_RETURN_NONE;
}

PyObject* py_after_fork_parent(PyObject*, PyObject*) noexcept {
    writers_mutex().unlock();
    Py_RETURN_NONE;
}

// The child has only the forking thread: every writer thread and every lock holder of the parent
// is gone. Writers get a fresh channel and thread now, before any record can be sent to a channel
// whose lock may be held by a vanished thread; the parent's queued and buffered lines and the
// forking thread's pending ones stay the parent's to write.
PyObject* py_after_fork_child(PyObject*, PyObject*) noexcept {
    new (&writers_mutex()) std::mutex;
    DEFAULT_PATH.reset_in_child();
    UNIX_TS.reset_in_child();
    COLOR_MODE.reset_in_child();
    FORMAT.reset_in_child();
    BATCH_POOL.reset_in_child();
    if (Producer* p = existing_producer()) p->discard_pending();
    forget_other_threads_producers();
    try {
        for (const std::shared_ptr<SharedWriter>& writer : live_writers()) writer->restart_in_child();
    } catch (...) {
        raise_from_current_exception();
        PyErr_WriteUnraisable(nullptr);
    }
    Py_RETURN_NONE;
}

PyMethodDef before_fork_def = {"_before_fork", as_cfunction(py_before_fork), METH_NOARGS, nullptr};
PyMethodDef after_fork_parent_def = {"_after_fork_parent", as_cfunction(py_after_fork_parent), METH_NOARGS,
                                     nullptr};
PyMethodDef after_fork_child_def = {"_after_fork_child", as_cfunction(py_after_fork_child), METH_NOARGS,
                                    nullptr};

}  // namespace

void flush_all_writers(std::chrono::steady_clock::duration budget) {
    const auto deadline = std::chrono::steady_clock::now() + budget;
    hand_over_all_pending(deadline);
    struct Waiting {
        std::shared_ptr<SharedWriter> writer;
        AckReceiver ack;
    };
    std::vector<Waiting> waiting;
    for (std::shared_ptr<SharedWriter>& writer : live_writers()) {
        auto [ack_sender, ack_receiver] = make_channel<Ack>(ACK_CHANNEL_CAPACITY);
        switch (writer->request_flush_until(std::move(ack_sender), deadline)) {
            case FlushRequest::Sent:
                waiting.push_back({std::move(writer), std::move(ack_receiver)});
                break;
            case FlushRequest::TimedOut:
                writer->abandon_thread();
                break;
            case FlushRequest::Ended:
                break;
        }
    }
    for (Waiting& w : waiting) {
        if (w.ack.recv_until(deadline).status == RecvStatus::TimedOut) w.writer->abandon_thread();
    }
}

bool install_process_hooks(PyObject* module) {
    MODULE = module;
    OwnedRef atexit = OwnedRef::steal(PyImport_ImportModule("atexit"));
    OwnedRef flush = OwnedRef::steal(PyCFunction_New(&flush_at_exit_def, nullptr));
    if (!atexit || !flush) return false;
    OwnedRef registered = OwnedRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", flush.get()));
    if (!registered) return false;

    OwnedRef os = OwnedRef::steal(PyImport_ImportModule("os"));
    if (!os) return false;
    OwnedRef register_at_fork = OwnedRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) {
        PyErr_Clear();  // a platform without fork
        return true;
    }
    OwnedRef before = OwnedRef::steal(PyCFunction_New(&before_fork_def, nullptr));
    OwnedRef parent = OwnedRef::steal(PyCFunction_New(&after_fork_parent_def, nullptr));
    OwnedRef child = OwnedRef::steal(PyCFunction_New(&after_fork_child_def, nullptr));
    OwnedRef args = OwnedRef::steal(PyTuple_New(0));
    if (!before || !parent || !child || !args) return false;
    OwnedRef kwargs = OwnedRef::steal(Py_BuildValue("{s:O,s:O,s:O}", "before", before.get(), "after_in_parent",
                                                    parent.get(), "after_in_child", child.get()));
    if (!kwargs) return false;
    OwnedRef done = OwnedRef::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get()));
    return static_cast<bool>(done);
}

}  // namespace tarnwick::python
