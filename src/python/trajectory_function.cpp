// read_xyz_trajectory: the module-level trajectory reader.
#include "python/members.hpp"

namespace kelvara::py {

PyObject* module_read_xyz_trajectory(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "the trajectory reader is not built yet");
    return nullptr;
}

}  // namespace kelvara::py
