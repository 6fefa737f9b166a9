// Structure.disorder_summary and Structure.expand_occupancies.
#include "python/members.hpp"

#include <algorithm>  // for std::max
#include <cmath>      // for std::isnan
#include <optional>
#include <string>

#include "core/expand/expand.hpp"
#include "python/convert.hpp"
#include "python/interrupt.hpp"
#include "python/structure_type.hpp"

namespace kelvara::py {

namespace {

/// Sets dict[key] = value, taking over the new reference `value`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text(const std::string& value) {
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

/// {"site_index", "frac_coords", "occupancies", "total_occupancy", "vacancy"}.
PyObject* disorder_entry(std::size_t index, const Site& site) {
    PyRef entry(PyDict_New());
    if (!entry) return nullptr;
    PyRef occupancies(PyDict_New());  // the site's own pair order
    if (!occupancies) return nullptr;
    for (const auto& [element, occupancy] : site.species) {
        PyRef key(text(element));
        PyRef value(PyFloat_FromDouble(occupancy));
        if (!key || !value || PyDict_SetItem(occupancies.get(), key.get(), value.get()) < 0)
            return nullptr;
    }
    const double total = site.occupancy_sum(-0.0);
    const double remainder = 1.0 - total;
    const double vacancy = std::isnan(remainder) ? 0.0 : std::max(remainder, 0.0);
    if (!set_item(entry.get(), "site_index", PyLong_FromSize_t(index)) ||
        !set_item(entry.get(), "frac_coords", float_list(site.frac)) ||
        !set_item(entry.get(), "occupancies", occupancies.release()) ||
        !set_item(entry.get(), "total_occupancy", PyFloat_FromDouble(total)) ||
        !set_item(entry.get(), "vacancy", PyFloat_FromDouble(vacancy)))
        return nullptr;
    return entry.release();
}

/// {"element", "target_occupancy", "sites_in_pool", "atoms_placed", "actual_occupancy"}.
PyObject* report_entry(const ReportEntry& entry) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    if (!set_item(dict.get(), "element", text(entry.element)) ||
        !set_item(dict.get(), "target_occupancy", PyFloat_FromDouble(entry.target_occupancy)) ||
        !set_item(dict.get(), "sites_in_pool", PyLong_FromUnsignedLongLong(entry.sites_in_pool)) ||
        !set_item(dict.get(), "atoms_placed", PyLong_FromUnsignedLongLong(entry.atoms_placed)) ||
        !set_item(dict.get(), "actual_occupancy", PyFloat_FromDouble(entry.actual_occupancy())))
        return nullptr;
    return dict.release();
}

/// {"scale", "n_vacancies", "warnings", "occupancy_report"}.
PyObject* report_dict(const Expansion& expansion) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    const std::vector<std::uint64_t> scale(expansion.scale.begin(), expansion.scale.end());
    if (!set_item(dict.get(), "scale", int_list(scale)) ||
        !set_item(dict.get(), "n_vacancies", PyLong_FromUnsignedLongLong(expansion.n_vacancies)) ||
        !set_item(dict.get(), "warnings", text_list(expansion.warnings)))
        return nullptr;
    PyRef entries(PyList_New(static_cast<Py_ssize_t>(expansion.report.size())));
    if (!entries) return nullptr;
    for (std::size_t i = 0; i < expansion.report.size(); ++i) {
        PyObject* item = report_entry(expansion.report[i]);
        if (!item) return nullptr;
        PyList_SetItem(entries.get(), static_cast<Py_ssize_t>(i), item);
    }
    if (!set_item(dict.get(), "occupancy_report", entries.release())) return nullptr;
    return dict.release();
}

}  // namespace

PyObject* structure_disorder_summary(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const Structure& structure = borrow_structure(self);
        PyRef list(PyList_New(0));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < structure.sites.size(); ++i) {
            if (structure.sites[i].is_ordered()) continue;
            PyRef entry(disorder_entry(i, structure.sites[i]));
            if (!entry || PyList_Append(list.get(), entry.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* structure_expand_occupancies(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"max_sites", "seed", "max_denominator", "shape", nullptr};
        PyObject *max_sites_obj = nullptr, *seed_obj = nullptr, *max_denominator_obj = nullptr;
        const char* shape = "cube";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO$s:expand_occupancies",
                                         const_cast<char**>(keywords), &max_sites_obj, &seed_obj,
                                         &max_denominator_obj, &shape))
            return nullptr;
        const std::string_view shape_name(shape);
        if (shape_name != "cube" && shape_name != "any")
            return raise_value_error("shape must be 'cube' or 'any', not '" + std::string(shape_name) + "'");
        std::uint64_t max_sites = 4096, seed = 42, max_denominator = 16;
        if ((max_sites_obj && !to_u64(max_sites_obj, "max_sites", max_sites)) ||
            (seed_obj && !to_u64(seed_obj, "seed", seed)) ||
            (max_denominator_obj && !to_u64(max_denominator_obj, "max_denominator", max_denominator)))
            return nullptr;

        const Structure& input = borrow_structure(self);
        const bool any_shape = shape_name == "any";
        std::optional<Result<Expansion>> result;
        bool stopped = false;
        {
            InterruptibleRelease released;  // a large expansion takes seconds: Ctrl-C stops it
            result.emplace(expand(input, max_sites, seed, max_denominator, any_shape));
            stopped = released.interrupted();
        }
        if (stopped) return nullptr;
        Result<Expansion>& expansion = *result;
        if (!expansion) return raise_value_error(expansion.error());
        PyRef report(report_dict(*expansion));
        if (!report) return nullptr;
        PyRef structure(wrap_structure(instance_state(self), std::move(expansion->structure)));
        if (!structure) return nullptr;
        return PyTuple_Pack(2, structure.get(), report.get());
    });
}

}  // namespace kelvara::py
