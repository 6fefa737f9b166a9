// Structure.disorder_summary and Structure.expand_occupancies.
#include "python/members.hpp"

namespace kelvara::py {

namespace {
PyObject* not_yet() {
    PyErr_SetString(PyExc_NotImplementedError, "the occupancy expansion is not built yet");
    return nullptr;
}
}  // namespace

PyObject* structure_disorder_summary(PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_expand_occupancies(PyObject*, PyObject*, PyObject*) { return not_yet(); }

}  // namespace kelvara::py
