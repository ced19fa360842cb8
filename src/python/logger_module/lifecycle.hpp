// Keeps records at the edges of a process's and an interpreter's life: interpreter exit, and fork()
// children (plain os.fork and multiprocessing workers). Interpreter lock held.
#pragma once

#include <Python.h>

namespace tarnwick::python::logger_module {

// Registers, in the interpreter of `module` (a tarnwick._logger module object): the exit flush, which
// for the main interpreter hands every thread's pending lines over and waits until every live writer
// has written what it was sent (at atexit, and once more after the process's finalisation, within
// 5 s in all), and for another interpreter hands over the lines of the thread that closes it; and
// the fork hooks (os.register_at_fork, multiprocessing's). The process-wide hooks are installed
// once, by whichever interpreter comes first. False with the error set.
bool install_process_hooks(PyObject* module);

}  // namespace tarnwick::python::logger_module
