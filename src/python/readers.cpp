// Structure.from_cif, from_poscar, from_xyz, from_str, from_cif_str.
#include "python/members.hpp"

namespace kelvara::py {

namespace {
PyObject* not_yet() {
    PyErr_SetString(PyExc_NotImplementedError, "the structure readers are not built yet");
    return nullptr;
}
}  // namespace

PyObject* structure_from_cif(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_from_poscar(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_from_xyz(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_from_str(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_from_cif_str(PyObject*, PyObject*, PyObject*) { return not_yet(); }

}  // namespace kelvara::py
