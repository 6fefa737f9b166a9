// PyInit__kelvara: multi-phase initialisation. The module holds Structure,
// TrajectoryReader, read_xyz_trajectory, __version__, ReadWarning, read_with_findings
// and cif_blocks, in that order, then the package's private _structure_format,
// _set_prdf_saver, _shell_volumes, _frames_prdf, _frames_bond_angles, _add_peaks and
// _FORMATS; its classes live in the module's state.
#include "python/members.hpp"
#include "python/module_state.hpp"

#include <string_view>

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
    {"_structure_format", module_structure_format, METH_O,
     "_structure_format(name, /)\n--\n\n"
     "\"cif\", \"poscar\" or \"xyz\" for a format name in any case, else ValueError."},
    {"_set_prdf_saver", module_set_prdf_saver, METH_O,
     "_set_prdf_saver(function, /)\n--\n\n"
     "Install what Structure.prdf(save_plots=...) calls:\n"
     "function(structure, r, partials, total, folder, bin_size=, title=)."},
    {"_shell_volumes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_shell_volumes)),
     METH_VARARGS | METH_KEYWORDS,
     "_shell_volumes(n_bins, bin_size, cutoff=None)\n--\n\n"
     "Volume of the shell of every bin k * bin_size .. (k + 1) * bin_size, as the RDF\n"
     "curves are divided by it: a last bin reaching past `cutoff` keeps its part inside."},
    {"_frames_prdf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_frames_prdf)),
     METH_VARARGS | METH_KEYWORDS,
     "_frames_prdf(structures, cutoff, bin_size, n_threads=0, self_images=True)\n--\n\n"
     "prdf of every structure, frames counted in parallel: [(r, partials, total)].\n"
     "self_images=False leaves out every site's own periodic images."},
    {"_frames_bond_angles",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_frames_bond_angles)),
     METH_VARARGS | METH_KEYWORDS,
     "_frames_bond_angles(structures, centre, first, second, cutoff, bin_deg=1.0, n_threads=0, "
     "self_images=True)\n--\n\n"
     "Weighted counts of the angles first-centre-second per bin of every structure:\n"
     "(edges in degrees, [counts])."},
    {"_add_peaks", module_add_peaks, METH_VARARGS,
     "_add_peaks(offset, step, reach, d, sigma, amp, dd, ds, G, J, /)\n--\n\n"
     "Add the Gaussian peaks amp exp(-(r - d)^2 / 2 sigma^2), less their value at reach\n"
     "sigma, on the grid r = offset + j step into G, and their derivatives by the rows of\n"
     "dd (centres) and ds (widths) into J (derivatives x rows)."},
    {nullptr, nullptr, 0, nullptr},
};

/// The function of module_methods that the module's order puts before __version__;
/// every other row follows ReadWarning in table order, so a new row needs no index.
constexpr std::string_view kFirstFunction = "read_xyz_trajectory";

/// Adds `def` to `module` as a function bound to it.
bool add_function(PyObject* module, PyMethodDef& def) {
    PyRef function(PyCFunction_NewEx(&def, module, nullptr));
    return function && PyModule_AddObjectRef(module, def.ml_name, function.get()) == 0;
}

/// Adds the rows of module_methods named `name` (`first`) or all the others.
bool add_functions(PyObject* module, bool first) {
    for (PyMethodDef* def = module_methods; def->ml_name; ++def)
        if ((def->ml_name == kFirstFunction) == first && !add_function(module, *def)) return false;
    return true;
}

int module_exec(PyObject* module) {
    ModuleState& state = module_state(module);
    const bool ok = create_structure_type(module, state) &&
                    PyModule_AddObjectRef(module, "Structure", state.structure_type) == 0 &&
                    create_reader_type(module, state) &&
                    PyModule_AddObjectRef(module, "TrajectoryReader", state.reader_type) == 0 &&
                    add_functions(module, true) &&
                    PyModule_AddStringConstant(module, "__version__", KELVARA_VERSION) == 0 &&
                    create_read_warning(state) &&
                    PyModule_AddObjectRef(module, "ReadWarning", state.read_warning) == 0 &&
                    add_functions(module, false);
    if (!ok) return -1;
    PyRef formats(structure_format_table());
    return formats && PyModule_AddObjectRef(module, "_FORMATS", formats.get()) == 0 ? 0 : -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!state) return 0;  // the module failed before its state was made
    Py_VISIT(state->structure_type);
    Py_VISIT(state->reader_type);
    Py_VISIT(state->read_warning);
    Py_VISIT(state->prdf_saver);
    return 0;
}

int module_clear(PyObject* module) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!state) return 0;
    Py_CLEAR(state->structure_type);
    Py_CLEAR(state->reader_type);
    Py_CLEAR(state->read_warning);
    Py_CLEAR(state->prdf_saver);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kelvara",
    nullptr,
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace kelvara::py

PyMODINIT_FUNC PyInit__kelvara() {
    return PyModuleDef_Init(&kelvara::py::module_def);
}
