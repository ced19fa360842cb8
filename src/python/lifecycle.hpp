// Keeps records at the edges of a process's life: interpreter exit, and fork() children (plain
// os.fork and multiprocessing workers). Interpreter lock held.
#pragma once

#include <Python.h>

#include <chrono>

namespace tarnwick::python {

// Registers the exit flush (atexit) and the fork hooks (os.register_at_fork); false with the error set.
bool install_process_hooks(PyObject* module);

// Hands every thread's pending lines over and waits, within `budget` in all, until every live
// writer has written and flushed what it was sent. Writers that do not answer in time are let go:
// their threads will not be joined, so a stuck destination cannot hang the process's exit.
void flush_all_writers(std::chrono::steady_clock::duration budget);

}  // namespace tarnwick::python
