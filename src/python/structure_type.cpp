// The Python class Structure: constructor, properties, repr, make_supercell and the
// member table (members owned by other subsystems live in their own binding units).
#include "python/structure_type.hpp"

#include <cmath>  // for std::isnan, std::isfinite
#include <optional>
#include <map>
#include <memory>  // for std::make_unique
#include <string>
#include <vector>

#include "core/util/number.hpp"  // for format_shortest
#include "python/convert.hpp"
#include "python/members.hpp"

namespace kelvara::py {

namespace {

struct PyStructure {
    PyObject_HEAD
    Structure* value;  // owned; never null once construction has succeeded
};

PyStructure* as_instance(PyObject* self) { return reinterpret_cast<PyStructure*>(self); }

/// Allocates an instance of `type` owning `value`.
PyObject* new_instance(PyTypeObject* type, Structure&& value) {
    // The value first: if it cannot be allocated, no half-made instance is left over.
    auto owned = std::make_unique<Structure>(std::move(value));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    as_instance(self)->value = owned.release();
    return self;
}

void structure_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_instance(self)->value;
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));  // heap types are owned by their instances
}

/// The checks and assembly shared by the constructor and unpickling, once the
/// arguments are converted. `species` holds each site's pairs in the order to store.
PyObject* assemble(PyTypeObject* type, const std::vector<std::vector<double>>& matrix_rows,
                   const std::vector<std::vector<double>>& frac_rows,
                   const std::vector<std::vector<Species>>& species,
                   const std::vector<std::optional<double>>& uiso) {
    if (matrix_rows.size() != 3) return raise_value_error("matrix must be 3x3");
    Mat3 matrix{};
    for (std::size_t r = 0; r < 3; ++r) {
        if (matrix_rows[r].size() != 3) return raise_value_error("matrix must be 3x3");
        for (std::size_t c = 0; c < 3; ++c) matrix[r][c] = matrix_rows[r][c];
    }
    auto lattice = Lattice::new_(matrix);
    if (!lattice) return raise_value_error(lattice.error());
    if (frac_rows.size() != species.size())
        return raise_value_error("frac_coords and species must have the same length");
    if (!uiso.empty() && uiso.size() != species.size())
        return raise_value_error("uiso must have one entry per site");
    // A mean-square displacement is never negative; NaN would pass for "none given".
    for (std::size_t i = 0; i < uiso.size(); ++i)
        if (uiso[i] && !(std::isfinite(*uiso[i]) && *uiso[i] >= 0.0))
            return raise_value_error("uiso of site " + std::to_string(i) +
                                     " must be a finite number >= 0 or None, not " +
                                     format_shortest(*uiso[i]));

    std::vector<Site> sites;
    sites.reserve(species.size());
    for (std::size_t i = 0; i < species.size(); ++i) {
        if (frac_rows[i].size() != 3)
            return raise_value_error("each coordinate must have 3 components");
        if (species[i].empty()) return raise_value_error("every site needs at least one species");
        Site site;
        site.species = SpeciesList(species[i].begin(), species[i].end());
        site.frac = {frac_rows[i][0], frac_rows[i][1], frac_rows[i][2]};
        if (!uiso.empty() && uiso[i]) site.uiso = *uiso[i];
        sites.push_back(std::move(site));
    }
    auto structure = Structure::new_(std::move(*lattice), std::move(sites));
    if (!structure) return raise_value_error(structure.error());
    return new_instance(type, std::move(*structure));
}

PyObject* structure_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"matrix", "frac_coords", "species", "uiso", nullptr};
        PyObject *matrix_obj = nullptr, *frac_obj = nullptr, *species_obj = nullptr,
                 *uiso_obj = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O:Structure", const_cast<char**>(keywords),
                                         &matrix_obj, &frac_obj, &species_obj, &uiso_obj))
            return nullptr;

        // Every type error comes before every value check.
        std::vector<std::vector<double>> matrix_rows, frac_rows;
        std::vector<std::vector<Species>> species;
        if (!to_rows(matrix_obj, "matrix", matrix_rows) ||
            !to_rows(frac_obj, "frac_coords", frac_rows) ||
            !to_species_list(species_obj, "species", species))
            return nullptr;
        std::vector<std::optional<double>> uiso;
        if (uiso_obj != Py_None && !to_optional_floats(uiso_obj, "uiso", uiso)) return nullptr;
        return assemble(type, matrix_rows, frac_rows, species, uiso);
    });
}

/// Unpickling: the structure exactly as it was, each site's species in their stored
/// order (the constructor would put them in element order, and the order decides
/// which site a seeded expansion gives which species).
PyObject* structure_from_state(PyObject* cls, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *matrix_obj = nullptr, *frac_obj = nullptr, *species_obj = nullptr, *uiso_obj = nullptr;
        if (!PyArg_ParseTuple(args, "OOOO:_from_state", &matrix_obj, &frac_obj, &species_obj, &uiso_obj))
            return nullptr;
        std::vector<std::vector<double>> matrix_rows, frac_rows;
        std::vector<std::vector<Species>> species;
        std::vector<std::optional<double>> uiso;
        if (!to_rows(matrix_obj, "matrix", matrix_rows) || !to_rows(frac_obj, "frac_coords", frac_rows) ||
            !to_species_pairs(species_obj, "species", species) ||
            (uiso_obj != Py_None && !to_optional_floats(uiso_obj, "uiso", uiso)))
            return nullptr;
        return assemble(reinterpret_cast<PyTypeObject*>(cls), matrix_rows, frac_rows, species, uiso);
    });
}

PyObject* structure_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const std::string text = borrow_structure(self).repr();
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// ---- properties ------------------------------------------------------------------

PyObject* get_n_sites(PyObject* self, void*) {
    return PyLong_FromSize_t(borrow_structure(self).n_sites());
}
PyObject* get_n_atoms(PyObject* self, void*) {
    return PyFloat_FromDouble(borrow_structure(self).n_atoms());
}
PyObject* get_is_ordered(PyObject* self, void*) {
    return PyBool_FromLong(borrow_structure(self).is_ordered());
}
PyObject* get_volume(PyObject* self, void*) {
    return PyFloat_FromDouble(borrow_structure(self).volume());
}
PyObject* get_elements(PyObject* self, void*) {
    return guarded([&] { return text_list(borrow_structure(self).elements()); });
}
PyObject* get_formula(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const std::string text = borrow_structure(self).formula();
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}
PyObject* get_composition(PyObject* self, void*) {
    return guarded([&] { return element_dict(borrow_structure(self).composition()); });
}
PyObject* get_lattice_matrix(PyObject* self, void*) {
    return guarded([&] { return float_rows(borrow_structure(self).lattice.matrix); });
}
PyObject* get_frac_coords(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const Structure& s = borrow_structure(self);
        PyRef list(PyList_New(static_cast<Py_ssize_t>(s.sites.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < s.sites.size(); ++i) {
            PyObject* row = float_list(s.sites[i].frac);
            if (!row) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row);
        }
        return list.release();
    });
}
PyObject* get_cart_coords(PyObject* self, void*) {
    return guarded([&] { return float_rows(borrow_structure(self).cart_coords()); });
}
PyObject* get_species(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const Structure& s = borrow_structure(self);
        PyRef list(PyList_New(static_cast<Py_ssize_t>(s.sites.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < s.sites.size(); ++i) {
            ElementMap map;  // a repeated element: the last pair wins
            for (const auto& [element, occupancy] : s.sites[i].species) map[element] = occupancy;
            PyObject* dict = element_dict(map);
            if (!dict) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict);
        }
        return list.release();
    });
}

PyObject* get_uiso(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const Structure& s = borrow_structure(self);
        PyRef list(PyList_New(static_cast<Py_ssize_t>(s.sites.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < s.sites.size(); ++i) {
            const double u = s.sites[i].uiso;
            PyObject* item = nullptr;
            if (std::isnan(u)) {
                item = Py_None;
                Py_INCREF(item);
            } else {
                item = PyFloat_FromDouble(u);
                if (!item) return nullptr;
            }
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

// ---- make_supercell --------------------------------------------------------------

PyObject* structure_make_supercell(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"na", "nb", "nc", nullptr};
        PyObject *na_obj = nullptr, *nb_obj = nullptr, *nc_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:make_supercell",
                                         const_cast<char**>(keywords), &na_obj, &nb_obj, &nc_obj))
            return nullptr;
        std::uint64_t na = 0, nb = 0, nc = 0;
        if (!to_u64(na_obj, "na", na) || !to_u64(nb_obj, "nb", nb) || !to_u64(nc_obj, "nc", nc))
            return nullptr;
        return wrap_result(instance_state(self), borrow_structure(self).make_supercell(na, nb, nc));
    });
}

// ---- value protocol: pickling, len(), == ----------------------------------------

/// (Structure._from_state, (lattice_matrix, frac_coords, pairs, uiso)): pickle and
/// copy rebuild the structure exactly, each site's species in their stored order.
PyObject* structure_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef matrix(get_lattice_matrix(self, nullptr));
        PyRef frac(matrix ? get_frac_coords(self, nullptr) : nullptr);
        if (!frac) return nullptr;
        const Structure& s = borrow_structure(self);
        PyRef pairs(PyList_New(static_cast<Py_ssize_t>(s.sites.size())));
        if (!pairs) return nullptr;
        for (std::size_t i = 0; i < s.sites.size(); ++i) {
            const SpeciesList& list = s.sites[i].species;
            PyObject* site = PyTuple_New(static_cast<Py_ssize_t>(list.size()));
            if (!site) return nullptr;
            PyList_SetItem(pairs.get(), static_cast<Py_ssize_t>(i), site);
            for (std::size_t k = 0; k < list.size(); ++k) {
                PyObject* pair = Py_BuildValue("(s#d)", list[k].first.data(),
                                               static_cast<Py_ssize_t>(list[k].first.size()), list[k].second);
                if (!pair) return nullptr;
                PyTuple_SetItem(site, static_cast<Py_ssize_t>(k), pair);
            }
        }
        PyRef uiso(get_uiso(self, nullptr));  // None for a site without one
        PyRef rebuild(uiso ? PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state")
                           : nullptr);
        if (!rebuild) return nullptr;
        return Py_BuildValue("(O(OOOO))", rebuild.get(), matrix.get(), frac.get(), pairs.get(), uiso.get());
    });
}

Py_ssize_t structure_length(PyObject* self) {
    return static_cast<Py_ssize_t>(borrow_structure(self).n_sites());
}

/// Same cell, and the same sites in the same order with the same species and
/// occupancies, all compared exactly.
bool same_structure(const Structure& a, const Structure& b) {
    if (a.lattice.matrix != b.lattice.matrix || a.sites.size() != b.sites.size()) return false;
    for (std::size_t i = 0; i < a.sites.size(); ++i) {
        const Site& x = a.sites[i];
        const Site& y = b.sites[i];
        if (x.frac != y.frac || !(x.species == y.species)) return false;
        if (!(x.uiso == y.uiso || (std::isnan(x.uiso) && std::isnan(y.uiso)))) return false;
    }
    return true;
}

PyObject* structure_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, Py_TYPE(self)))
        Py_RETURN_NOTIMPLEMENTED;
    const bool equal = same_structure(borrow_structure(self), borrow_structure(other));
    return PyBool_FromLong(equal == (op == Py_EQ));
}

// ---- the type --------------------------------------------------------------------

PyGetSetDef structure_getset[] = {
    {"n_sites", get_n_sites, nullptr, nullptr, nullptr},
    {"n_atoms", get_n_atoms, nullptr,
     "Number of atoms, which is fractional when sites are partly occupied.", nullptr},
    {"is_ordered", get_is_ordered, nullptr, nullptr, nullptr},
    {"volume", get_volume, nullptr, nullptr, nullptr},
    {"elements", get_elements, nullptr, nullptr, nullptr},
    {"composition", get_composition, nullptr, nullptr, nullptr},
    {"formula", get_formula, nullptr,
     "The composition as text: \"Cl4 Na4\", \"Fe0.5000 Ni0.5000 O1\" (whole amounts as\n"
     "integers, others with four decimals), as repr() shows it.",
     nullptr},
    {"lattice_matrix", get_lattice_matrix, nullptr, nullptr, nullptr},
    {"frac_coords", get_frac_coords, nullptr, nullptr, nullptr},
    {"cart_coords", get_cart_coords, nullptr, nullptr, nullptr},
    {"species", get_species, nullptr, "Per-site {element: occupancy}.", nullptr},
    {"uiso", get_uiso, nullptr,
     "Per-site isotropic displacement parameter Uiso in A^2 as the file gives it\n"
     "(B / 8 pi^2 for B values, Ueq for anisotropic ones), None where it gives none.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define KELVARA_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef structure_methods[] = {
    {"from_cif", KELVARA_KW(structure_from_cif), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_cif(path, symprec=1e-4, block=None)\n--\n\n"
     "Read a CIF, keeping partial occupancies as they are written."},
    {"from_poscar", KELVARA_KW(structure_from_poscar), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_poscar(path)\n--\n\nRead a VASP POSCAR / CONTCAR."},
    {"from_xyz", KELVARA_KW(structure_from_xyz), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_xyz(path)\n--\n\nRead an extended XYZ file (needs a `Lattice=\"...\"` field)."},
    {"from_str", KELVARA_KW(structure_from_str), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_str(text, fmt, symprec=1e-4, block=None)\n--\n\n"
     "Parse text in a named format: \"cif\", \"poscar\" or \"xyz\"."},
    {"from_cif_str", KELVARA_KW(structure_from_cif_str), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_cif_str(text, symprec=1e-4, block=None)\n--\n\n"
     "Same as `from_cif`, for CIF text already in memory."},
    {"disorder_summary", structure_disorder_summary, METH_NOARGS,
     "disorder_summary($self)\n--\n\n"
     "One entry per partially occupied site: index, coordinates, occupancies.\n\n"
     "Empty for a fully ordered structure, so it doubles as the check a\n"
     "caller needs before reporting anything to the user."},
    {"available_threads", structure_available_threads, METH_NOARGS | METH_STATIC,
     "available_threads()\n--\n\n"
     "Number of worker threads rayon will use when `n_threads=0`."},
    {"make_supercell", KELVARA_KW(structure_make_supercell), METH_VARARGS | METH_KEYWORDS,
     "make_supercell($self, na, nb, nc)\n--\n\n"},
    {"__reduce__", structure_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickle and copy rebuild the structure exactly, each site's species\n"
     "in their stored order."},
    {"_from_state", structure_from_state, METH_VARARGS | METH_CLASS,
     "_from_state(matrix, frac_coords, pairs, uiso)\n--\n\n"
     "Unpickling: pairs are each site's (element, occupancy) tuples in stored order."},
    {"prdf", KELVARA_KW(structure_prdf), METH_VARARGS | METH_KEYWORDS,
     "prdf($self, cutoff=10.0, bin_size=0.1, n_threads=0, save_plots=None, title=None)\n--\n\n"
     "Partial and total RDF.\n\n"
     "Returns (r, partials, total): `partials` maps (\"A\", \"B\") to the density of B\n"
     "neighbours around an A centre in each spherical shell (atoms per cubic\n"
     "Angstrom; divide by the density of B for g_AB), on the left bin edges `r`.\n"
     "With `save_plots=\"some/folder\"` the curves are also written there as\n"
     "figures plus a CSV (needs matplotlib); None, the default, saves nothing."},
    {"total_rdf", KELVARA_KW(structure_total_rdf), METH_VARARGS | METH_KEYWORDS,
     "total_rdf($self, cutoff=10.0, bin_size=0.1, n_threads=0)\n--\n\nTotal RDF only."},
    {"_pair_counts", KELVARA_KW(structure_pair_counts), METH_VARARGS | METH_KEYWORDS,
     "_pair_counts($self, cutoff=10.0, bin_size=0.1, n_threads=0, self_images=True)\n--\n\n"
     "What prdf divides: (r, counts, shells), counts mapping (\"A\", \"B\") to the\n"
     "occupancy-weighted pairs in every bin summed over the A centres, shells the\n"
     "volume every bin is divided by (the last one cut at the cutoff).\n"
     "self_images=False leaves out every site's own periodic images."},
    {"expand_occupancies", KELVARA_KW(structure_expand_occupancies), METH_VARARGS | METH_KEYWORDS,
     "expand_occupancies($self, max_sites=4096, seed=42, max_denominator=16, *, shape='cube', "
     "method='random', shells=3, steps=0, time_limit=0.0, n_threads=0, min_height_ratio=0.5)\n--\n\n"
     "Expand partial occupancies into an explicit ordered supercell."},
    {"_neighbour_shells", KELVARA_KW(structure_neighbour_shells), METH_VARARGS | METH_KEYWORDS,
     "_neighbour_shells($self, shells, sites=None, n_threads=0)\n--\n\n"
     "(radii, bounds) of the first neighbour shells between the given sites."},
    {"_shell_pair_counts", KELVARA_KW(structure_shell_pair_counts), METH_VARARGS | METH_KEYWORDS,
     "_shell_pair_counts($self, bounds, n_threads=0)\n--\n\n"
     "(elements, counts): occupancy-weighted ordered pair counts per shell, flat\n"
     "(centre, neighbour, shell), shells between consecutive bounds."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot structure_slots[] = {
    {Py_tp_doc, const_cast<char*>("Structure(matrix, frac_coords, species, uiso=None)\n--\n\n"
                                  "uiso: per-site Uiso in A^2, None for a site without one.")},
    {Py_tp_new, reinterpret_cast<void*>(structure_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(structure_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(structure_repr)},
    {Py_sq_length, reinterpret_cast<void*>(structure_length)},
    {Py_tp_richcompare, reinterpret_cast<void*>(structure_richcompare)},
    {Py_tp_getset, structure_getset},
    {Py_tp_methods, structure_methods},
    {0, nullptr},
};

PyType_Spec structure_spec = {
    "kelvara.Structure",
    static_cast<int>(sizeof(PyStructure)),
    0,
    Py_TPFLAGS_DEFAULT,
    structure_slots,
};

}  // namespace

bool create_structure_type(PyObject* module, ModuleState& state) {
    state.structure_type = PyType_FromModuleAndSpec(module, &structure_spec, nullptr);
    return state.structure_type != nullptr;
}

PyObject* wrap_structure(const ModuleState& state, Structure&& value) {
    return new_instance(reinterpret_cast<PyTypeObject*>(state.structure_type), std::move(value));
}

PyObject* wrap_result(const ModuleState& state, Result<Structure>&& result) {
    if (!result) return raise_value_error(result.error());
    return wrap_structure(state, std::move(*result));
}

const Structure& borrow_structure(PyObject* self) { return *as_instance(self)->value; }

}  // namespace kelvara::py
