// Lets go of the interpreter for the life of a scope: other threads run Python meanwhile (on a build
// with a GIL), and the stop-the-world collector of a free-threaded build need not wait for this
// thread. Only C++ that touches no Python object may run inside.
#pragma once

#include <Python.h>

namespace tarnwick::python {

// Takes the interpreter back, unless it is exiting and the calling thread is not the one that runs
// the exit: such a thread (a daemon thread) would be ended inside our frames (pthread_exit before
// 3.14), which C++ cannot unwind through, so it stays parked for good instead.
void reattach_or_park(PyThreadState* saved) noexcept;

class Detached {
public:
    Detached() noexcept : saved_(PyEval_SaveThread()) {}
    ~Detached() { reattach_or_park(saved_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* saved_;
};

}  // namespace tarnwick::python
