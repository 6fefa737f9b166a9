// Structure.prdf, Structure.total_rdf and Structure.available_threads.
#include "python/members.hpp"

namespace kelvara::py {

namespace {
PyObject* not_yet() {
    PyErr_SetString(PyExc_NotImplementedError, "the RDF engine is not built yet");
    return nullptr;
}
}  // namespace

PyObject* structure_available_threads(PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_prdf(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_total_rdf(PyObject*, PyObject*, PyObject*) { return not_yet(); }

}  // namespace kelvara::py
