// Structure._neighbour_shells and Structure._shell_pair_counts: the pair pass read per
// neighbour shell, for kelvara.analysis.warren_cowley.
#include "python/members.hpp"

#include <memory>
#include <optional>
#include <string>

#include "core/rdf/pool.hpp"
#include "core/rdf/shell_counts.hpp"
#include "python/convert.hpp"
#include "python/interrupt.hpp"
#include "python/structure_type.hpp"

namespace kelvara::py {

namespace {

/// The shared pool, or one of n_threads threads for the call.
Result<WorkerPool*> pick_pool(std::uint64_t n_threads, std::unique_ptr<WorkerPool>& own) {
    if (n_threads == 0) return &shared_pool();
    auto made = WorkerPool::start(std::min<std::uint64_t>(n_threads, max_threads_per_call()));
    if (!made) return fail(made.error());
    own = std::move(*made);
    return own.get();
}

/// `work(pool)` on the shared pool or one of n_threads threads, GIL released.
template <class T, class Work>
std::optional<T> on_pool(std::uint64_t n_threads, Work&& work) {
    return run_released([&]() -> Result<T> {
        std::unique_ptr<WorkerPool> own;
        auto pool = pick_pool(n_threads, own);
        if (!pool) return fail(pool.error());
        return work(**pool);
    });
}

}  // namespace

PyObject* structure_neighbour_shells(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"shells", "sites", "n_threads", nullptr};
        PyObject *shells_obj = nullptr, *sites_obj = Py_None, *threads_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:_neighbour_shells", const_cast<char**>(keywords),
                                         &shells_obj, &sites_obj, &threads_obj))
            return nullptr;
        std::uint64_t n_shells = 0, n_threads = 0;
        if (!to_u64(shells_obj, "shells", n_shells) || (threads_obj && !to_u64(threads_obj, "n_threads", n_threads)))
            return nullptr;
        const Structure& structure = borrow_structure(self);
        std::vector<std::size_t> sites;
        if (sites_obj == Py_None) {
            for (std::size_t i = 0; i < structure.sites.size(); ++i) sites.push_back(i);
        } else {
            PyRef seq(PySequence_Fast(sites_obj, "argument 'sites': expected a sequence of site indices"));
            if (!seq) return nullptr;
            const Py_ssize_t count = PySequence_Size(seq.get());
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyRef item(PySequence_GetItem(seq.get(), i));
                std::uint64_t index = 0;
                if (!item || !to_u64(item.get(), "sites", index)) return nullptr;
                if (index >= structure.sites.size())
                    return raise_value_error("site index " + std::to_string(index) + " is beyond the " +
                                             std::to_string(structure.sites.size()) + " sites");
                sites.push_back(index);
            }
        }
        auto shells = on_pool<Shells>(n_threads, [&](WorkerPool& pool) {
            return find_shells(structure, sites, n_shells, pool);
        });
        if (!shells) return nullptr;
        PyRef radii(PyList_New(0)), bounds(PyList_New(0));
        if (!radii || !bounds) return nullptr;
        for (double r : shells->radii) {
            PyRef v(PyFloat_FromDouble(r));
            if (!v || PyList_Append(radii.get(), v.get()) < 0) return nullptr;
        }
        for (double b : shells->bounds) {
            PyRef v(PyFloat_FromDouble(b));
            if (!v || PyList_Append(bounds.get(), v.get()) < 0) return nullptr;
        }
        return PyTuple_Pack(2, radii.get(), bounds.get());
    });
}

PyObject* structure_shell_pair_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"bounds", "n_threads", nullptr};
        PyObject *bounds_obj = nullptr, *threads_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:_shell_pair_counts", const_cast<char**>(keywords),
                                         &bounds_obj, &threads_obj))
            return nullptr;
        std::vector<double> bounds;
        std::uint64_t n_threads = 0;
        if (!to_optional_floats(bounds_obj, "bounds", bounds) ||
            (threads_obj && !to_u64(threads_obj, "n_threads", n_threads)))
            return nullptr;
        const Structure& structure = borrow_structure(self);
        auto counts = on_pool<ShellCounts>(n_threads, [&](WorkerPool& pool) {
            return shell_pair_counts(structure, bounds, pool);
        });
        if (!counts) return nullptr;
        PyRef elements(text_list(counts->elements));
        PyRef values(numpy_array(counts->counts));
        if (!elements || !values) return nullptr;
        return PyTuple_Pack(2, elements.get(), values.get());
    });
}

}  // namespace kelvara::py
