// Keeps records at the edges of a process's life: interpreter exit, and fork() children (plain
// os.fork and multiprocessing workers). Interpreter lock held.
#pragma once

#include <Python.h>

namespace tarnwick::python {

// Registers the exit flushes, which hand every thread's pending lines over and wait until every live
// writer has written what it was sent (at atexit, and once more after the interpreter's finalisation,
// within 5 s in all), and the fork hooks (os.register_at_fork); false with the error set.
bool install_process_hooks(PyObject* module);

}  // namespace tarnwick::python
