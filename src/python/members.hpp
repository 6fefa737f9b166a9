// Members of the Structure class and the module function, implemented by the
// binding unit of the subsystem that owns their work.
#pragma once

#include "python/py_ref.hpp"

namespace kelvara {
struct PrdfResult;
}

namespace kelvara::py {

// readers.cpp (class methods: `cls` is the Structure class)
PyObject* structure_from_cif(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* structure_from_poscar(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* structure_from_xyz(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* structure_from_str(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* structure_from_cif_str(PyObject* cls, PyObject* args, PyObject* kwargs);
/// read_with_findings(source, fmt, *, is_text=False, symprec=1e-4, block=None) -> (Structure, [str])
PyObject* module_read_with_findings(PyObject* module, PyObject* args, PyObject* kwargs);
/// cif_blocks(source, *, is_text=False) -> [(name, atom-site rows)]
PyObject* module_cif_blocks(PyObject* module, PyObject* args, PyObject* kwargs);
/// _structure_format(name) -> "cif", "poscar" or "xyz", or ValueError naming the formats.
PyObject* module_structure_format(PyObject* module, PyObject* name);
/// {name: "cif" | "poscar" | "xyz"} for every name a structure format goes by.
PyObject* structure_format_table();

// expand_methods.cpp
PyObject* structure_disorder_summary(PyObject* self, PyObject* unused);
PyObject* structure_expand_occupancies(PyObject* self, PyObject* args, PyObject* kwargs);

// sro_methods.cpp
/// _neighbour_shells(shells, sites=None, n_threads=0) -> (radii, bounds)
PyObject* structure_neighbour_shells(PyObject* self, PyObject* args, PyObject* kwargs);
/// _shell_pair_counts(bounds, n_threads=0) -> (elements, flat counts p, q, shell)
PyObject* structure_shell_pair_counts(PyObject* self, PyObject* args, PyObject* kwargs);

// rdf_methods.cpp
PyObject* structure_available_threads(PyObject* cls, PyObject* unused);
PyObject* structure_prdf(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* structure_total_rdf(PyObject* self, PyObject* args, PyObject* kwargs);
/// _pair_counts(cutoff, bin_size, n_threads) -> (r, {(A, B): pairs per bin}, shell volumes)
PyObject* structure_pair_counts(PyObject* self, PyObject* args, PyObject* kwargs);
/// _shell_volumes(n_bins, bin_size, cutoff=None) -> the volumes the curves are divided by
PyObject* module_shell_volumes(PyObject* module, PyObject* args, PyObject* kwargs);
/// dict (centre, neighbour) -> curve, keys in element order, centre-major.
PyObject* prdf_partials_dict(const PrdfResult& result);
/// _set_prdf_saver(function): what prdf(save_plots=...) calls (the package sets it).
PyObject* module_set_prdf_saver(PyObject* module, PyObject* function);

// frames_functions.cpp
/// _frames_prdf(structures, cutoff, bin_size, n_threads=0, self_images=True) -> [(r, partials, total)]
PyObject* module_frames_prdf(PyObject* module, PyObject* args, PyObject* kwargs);
/// _frames_bond_angles(structures, centre, first, second, cutoff, bin_deg=1.0, n_threads=0,
/// self_images=True) -> (edges, [counts])
PyObject* module_frames_bond_angles(PyObject* module, PyObject* args, PyObject* kwargs);

// peaks_function.cpp
/// _add_peaks(offset, step, reach, d, sigma, amp, dd, ds, G, J): adds the Gaussian peaks
/// and their derivatives into G and J (float64 arrays, changed in place).
PyObject* module_add_peaks(PyObject* module, PyObject* args);

// trajectory_function.cpp
PyObject* module_read_xyz_trajectory(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace kelvara::py
