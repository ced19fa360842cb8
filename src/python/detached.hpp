// Lets go of the interpreter for the life of a scope: other threads run Python meanwhile (on a build
// with a GIL), and the stop-the-world collector of a free-threaded build need not wait for this
// thread. Only C++ that touches no Python object may run inside.
#pragma once

#include <Python.h>

namespace tarnwick::python {

// Whether the interpreter is exiting and the calling thread is not the one that runs the exit: such
// a thread (a daemon thread) that took the interpreter back would be ended inside our frames
// (pthread_exit before 3.14), which C++ cannot unwind through.
bool left_behind_at_exit() noexcept;

// Blocks the calling thread for good: the process exits without it.
[[noreturn]] void park_forever() noexcept;

class Detached {
public:
    Detached() noexcept : saved_(PyEval_SaveThread()) {}
    ~Detached() {
        if (left_behind_at_exit()) park_forever();
        PyEval_RestoreThread(saved_);
    }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* saved_;
};

}  // namespace tarnwick::python
