// The state of one _kelvara module object: the classes it created. Nothing of the
// binding lives in process-wide variables; every function finds the classes from
// the module it belongs to or from the class of its `self`.
#pragma once

#include "python/py_ref.hpp"

namespace kelvara::py {

struct ModuleState {
    PyObject* structure_type = nullptr;  // Structure
    PyObject* reader_type = nullptr;     // TrajectoryReader
    PyObject* read_warning = nullptr;    // ReadWarning, the category of reader findings
    /// What prdf(save_plots=...) calls: the package installs it on import (with
    /// `_set_prdf_saver`), so the figures and CSV are the package's business.
    PyObject* prdf_saver = nullptr;
};

/// The state of the _kelvara module object `module`.
inline ModuleState& module_state(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

/// The state of the module that created `type` (Structure or TrajectoryReader, which
/// cannot be subclassed, so an instance's type is always one of them).
inline ModuleState& type_state(PyObject* type) {
    return *static_cast<ModuleState*>(PyType_GetModuleState(reinterpret_cast<PyTypeObject*>(type)));
}

/// The state reached from an instance of Structure or TrajectoryReader.
inline ModuleState& instance_state(PyObject* self) {
    return type_state(reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

/// Creates Structure (structure_type.cpp), TrajectoryReader (trajectory_function.cpp)
/// and ReadWarning (readers.cpp) for `module`; false with an exception set.
bool create_structure_type(PyObject* module, ModuleState& state);
bool create_reader_type(PyObject* module, ModuleState& state);
bool create_read_warning(ModuleState& state);

}  // namespace kelvara::py
