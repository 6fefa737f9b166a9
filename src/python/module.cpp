// PyInit__kelvara: the module holds Structure, TrajectoryReader, read_xyz_trajectory and __version__.
#include "python/members.hpp"
#include "python/structure_type.hpp"

namespace kelvara::py {
namespace {

PyMethodDef module_methods[] = {
    {"read_xyz_trajectory",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_read_xyz_trajectory)),
     METH_VARARGS | METH_KEYWORDS,
     "read_xyz_trajectory(path, every=1, start=0, stop=None, cell=None)\n--\n\n"
     "Read selected frames of a multi-frame XYZ trajectory.\n\n"
     "Keeps frames start, start + every, ... before stop. Returns\n"
     "(structures, frame_indices, frames_read)."},
    {"read_with_findings",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_read_with_findings)),
     METH_VARARGS | METH_KEYWORDS,
     "read_with_findings(source, fmt, *, is_text=False, symprec=1e-4, block=None)\n--\n\n"
     "Read one structure without issuing warnings: (structure, findings)."},
    {"cif_blocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_cif_blocks)),
     METH_VARARGS | METH_KEYWORDS,
     "cif_blocks(source, *, is_text=False)\n--\n\n"
     "The data blocks of a CIF: (name, number of atom-site rows) each."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kelvara",
    nullptr,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kelvara::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kelvara() {
    using namespace kelvara::py;
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(structure_type());
    if (!type || PyModule_AddObjectRef(module.get(), "Structure", type) < 0) return nullptr;
    PyObject* reader = trajectory_reader_type();
    if (!reader || PyModule_AddObjectRef(module.get(), "TrajectoryReader", reader) < 0) return nullptr;
    PyRef function(PyCFunction_NewEx(&module_methods[0], module.get(), nullptr));
    if (!function || PyModule_AddObject(module.get(), "read_xyz_trajectory", function.get()) < 0)
        return nullptr;
    function.release();
    if (PyModule_AddStringConstant(module.get(), "__version__", KELVARA_VERSION) < 0) return nullptr;
    PyObject* warning = read_warning_type();
    if (!warning || PyModule_AddObjectRef(module.get(), "ReadWarning", warning) < 0) return nullptr;
    PyRef findings(PyCFunction_NewEx(&module_methods[1], module.get(), nullptr));
    if (!findings || PyModule_AddObject(module.get(), "read_with_findings", findings.get()) < 0)
        return nullptr;
    findings.release();
    PyRef blocks(PyCFunction_NewEx(&module_methods[2], module.get(), nullptr));
    if (!blocks || PyModule_AddObject(module.get(), "cif_blocks", blocks.get()) < 0) return nullptr;
    blocks.release();
    return module.release();
}
