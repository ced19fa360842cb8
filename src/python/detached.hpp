// Lets go of the interpreter for the life of a scope: other threads run Python meanwhile (on a build
// with a GIL), and the stop-the-world collector of a free-threaded build need not wait for this
// thread. Only C++ that touches no Python object may run inside.
#pragma once

#include <Python.h>

namespace tarnwick::python {

class Detached {
public:
    Detached() noexcept : saved_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(saved_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* saved_;
};

}  // namespace tarnwick::python
