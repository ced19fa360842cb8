// Lets go of the interpreter for the life of a scope: other threads run Python meanwhile (on a build
// with a GIL), and the stop-the-world collector of a free-threaded build need not wait for this
// thread. Only C++ that touches no Python object may run inside.
#pragma once

#include <Python.h>

namespace tarnwick::python {

// Takes the interpreter back. Once the interpreter is finalising, past the last atexit handler, it
// ends a daemon thread that tries (pthread_exit before 3.14): that unwinding cannot pass through our
// frames, so the thread stays parked for good instead.
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
