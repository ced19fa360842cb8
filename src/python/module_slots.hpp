// The slots of both modules of this file (_logger and _context): their exec function, behind the
// boundary, and what they declare to every interpreter that loads them.
#pragma once

#include <Python.h>

#include "python/errors.hpp"

namespace tarnwick::python {

template <auto Exec>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(guarded<Exec>)},
#if PY_VERSION_HEX >= 0x030C0000
    // Nothing Python is shared between interpreters; the writers hold bytes only.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Nothing here relies on the GIL: per-thread batches, locked registry and settings, atomic claims.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace tarnwick::python
