// Structure.disorder_summary and Structure.expand_occupancies.
#include "python/members.hpp"

#include <algorithm>  // for std::max
#include <cmath>      // for std::isnan
#include <optional>
#include <string>

#include "core/expand/sqs.hpp"
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

PyObject* float_value_list(const std::vector<double>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (!item) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

/// {"matrix", "lattice", "shortest_height", "longest_height", "height_ratio"}.
PyObject* cell_dict(const Expansion& expansion) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    PyRef matrix(PyList_New(3));
    if (!matrix) return nullptr;
    for (int r = 0; r < 3; ++r) {
        PyObject* row = Py_BuildValue("[LLL]", static_cast<long long>(expansion.shape.matrix[r][0]),
                                      static_cast<long long>(expansion.shape.matrix[r][1]),
                                      static_cast<long long>(expansion.shape.matrix[r][2]));
        if (!row) return nullptr;
        PyList_SetItem(matrix.get(), r, row);
    }
    if (!set_item(dict.get(), "matrix", matrix.release()) ||
        !set_item(dict.get(), "lattice", float_rows(expansion.structure.lattice.matrix)) ||
        !set_item(dict.get(), "shortest_height", PyFloat_FromDouble(expansion.shape.shortest_height)) ||
        !set_item(dict.get(), "longest_height", PyFloat_FromDouble(expansion.shape.longest_height)) ||
        !set_item(dict.get(), "height_ratio", PyFloat_FromDouble(expansion.shape.height_ratio())))
        return nullptr;
    return dict.release();
}

/// What the quasirandom search did; "alpha" one dict per pair of labels and pools.
PyObject* sqs_dict(const SqsSummary& sqs) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    PyRef alpha(PyList_New(0));
    if (!alpha) return nullptr;
    for (const SroEntry& entry : sqs.alpha) {
        PyRef item(PyDict_New());
        if (!item) return nullptr;
        PyObject* pair = Py_BuildValue("[s#s#]", entry.centre.data(), static_cast<Py_ssize_t>(entry.centre.size()),
                                       entry.neighbour.data(), static_cast<Py_ssize_t>(entry.neighbour.size()));
        PyObject* sites = Py_BuildValue("[nn]", static_cast<Py_ssize_t>(sqs.pool_sites[entry.centre_pool]),
                                        static_cast<Py_ssize_t>(sqs.pool_sites[entry.neighbour_pool]));
        if (!set_item(item.get(), "pair", pair) || !set_item(item.get(), "sites", sites) ||
            !set_item(item.get(), "before", float_value_list(entry.before)) ||
            !set_item(item.get(), "after", float_value_list(entry.after)) ||
            PyList_Append(alpha.get(), item.get()) < 0)
            return nullptr;
    }
    std::vector<std::uint64_t> pool_sites(sqs.pool_sites.begin(), sqs.pool_sites.end());
    if (!set_item(dict.get(), "objective", PyFloat_FromDouble(sqs.objective)) ||
        !set_item(dict.get(), "objective_before", PyFloat_FromDouble(sqs.objective_before)) ||
        !set_item(dict.get(), "shell_radii", float_value_list(sqs.shell_radii)) ||
        !set_item(dict.get(), "alpha", alpha.release()) ||
        !set_item(dict.get(), "pools", text_list(sqs.pools)) ||
        !set_item(dict.get(), "pool_sites", int_list(pool_sites)) ||
        !set_item(dict.get(), "steps", PyLong_FromUnsignedLongLong(sqs.steps)) ||
        !set_item(dict.get(), "steps_budget", PyLong_FromUnsignedLongLong(sqs.steps_budget)) ||
        !set_item(dict.get(), "chains", PyLong_FromUnsignedLongLong(sqs.chains)) ||
        !set_item(dict.get(), "seconds", PyFloat_FromDouble(sqs.seconds)) ||
        !set_item(dict.get(), "stopped", sqs.stopped.empty() ? Py_NewRef(Py_None) : text(sqs.stopped)))
        return nullptr;
    return dict.release();
}

/// {"scale", "n_vacancies", "warnings", "occupancy_report"}, then with `extended`
/// {"cell", "composition"} and, after a quasirandom search, {"sqs"}.
PyObject* report_dict(const Expansion& expansion, bool extended) {
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
    if (extended && (!set_item(dict.get(), "cell", cell_dict(expansion)) ||
                     !set_item(dict.get(), "composition", element_dict(expansion.structure.composition()))))
        return nullptr;
    if (expansion.sqs && !set_item(dict.get(), "sqs", sqs_dict(*expansion.sqs))) return nullptr;
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
        static const char* keywords[] = {"max_sites", "seed", "max_denominator", "shape", "method", "shells",
                                         "steps", "time_limit", "n_threads", "min_height_ratio", nullptr};
        PyObject *max_sites_obj = nullptr, *seed_obj = nullptr, *max_denominator_obj = nullptr;
        PyObject *shells_obj = nullptr, *steps_obj = nullptr, *time_obj = nullptr, *threads_obj = nullptr,
                 *ratio_obj = nullptr;
        const char* shape = "cube";
        const char* method = "random";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO$ssOOOOO:expand_occupancies",
                                         const_cast<char**>(keywords), &max_sites_obj, &seed_obj,
                                         &max_denominator_obj, &shape, &method, &shells_obj, &steps_obj,
                                         &time_obj, &threads_obj, &ratio_obj))
            return nullptr;
        const std::string_view shape_name(shape), method_name(method);
        if (shape_name != "cube" && shape_name != "any")
            return raise_value_error("shape must be 'cube' or 'any', not '" + std::string(shape_name) + "'");
        if (method_name != "random" && method_name != "sqs")
            return raise_value_error("method must be 'random' or 'sqs', not '" + std::string(method_name) + "'");
        SqsOptions options;
        if ((max_sites_obj && !to_u64(max_sites_obj, "max_sites", options.max_sites)) ||
            (seed_obj && !to_u64(seed_obj, "seed", options.seed)) ||
            (max_denominator_obj && !to_u64(max_denominator_obj, "max_denominator", options.max_denominator)) ||
            (shells_obj && !to_u64(shells_obj, "shells", options.shells)) ||
            (steps_obj && !to_u64(steps_obj, "steps", options.steps)) ||
            (time_obj && !to_double(time_obj, "time_limit", options.time_limit)) ||
            (threads_obj && !to_u64(threads_obj, "n_threads", options.n_threads)) ||
            (ratio_obj && !to_double(ratio_obj, "min_height_ratio", options.min_height_ratio)))
            return nullptr;
        if (!(options.time_limit >= 0.0))
            return raise_value_error("time_limit must be a number of seconds, 0 or more");
        if (!(options.min_height_ratio >= 0.0 && options.min_height_ratio <= 1.0))
            return raise_value_error("min_height_ratio must be between 0 and 1");
        const bool sqs = method_name == "sqs";
        if (sqs && shape_name != "cube")
            return raise_value_error("method='sqs' picks its own cell; leave shape at 'cube'");

        const Structure& input = borrow_structure(self);
        const bool any_shape = shape_name == "any";
        std::optional<Result<Expansion>> result;
        bool stopped = false;
        {
            InterruptibleRelease released;  // a large expansion takes seconds: Ctrl-C stops it
            result.emplace(sqs ? expand_sqs(input, options)
                               : expand(input, options.max_sites, options.seed, options.max_denominator, any_shape,
                                        options.min_height_ratio));
            stopped = released.interrupted();
            // A search stopped by Ctrl-C still returns its best arrangement.
            if (stopped && *result && (*result)->sqs) {
                released.forget();
                stopped = false;
            }
        }
        if (stopped) return nullptr;
        Result<Expansion>& expansion = *result;
        if (!expansion) return raise_value_error(expansion.error());
        PyRef report(report_dict(*expansion, sqs || any_shape));
        if (!report) return nullptr;
        PyRef structure(wrap_structure(instance_state(self), std::move(expansion->structure)));
        if (!structure) return nullptr;
        return PyTuple_Pack(2, structure.get(), report.get());
    });
}

}  // namespace kelvara::py
