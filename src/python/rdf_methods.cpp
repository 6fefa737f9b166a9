// Structure.prdf, Structure.total_rdf and Structure.available_threads; prdf hands
// its curves to the saver the package installed when asked to save them. The
// package's own Structure._pair_counts and _shell_volumes give what the curves are
// made of: the pairs counted and the shells they are divided by.
#include "python/members.hpp"

#include <cstddef>  // for std::ptrdiff_t
#include <limits>
#include <optional>
#include <string>

#include "core/rdf/pool.hpp"
#include "core/rdf/rdf.hpp"
#include "python/convert.hpp"
#include "python/interrupt.hpp"
#include "python/structure_type.hpp"

namespace kelvara::py {

namespace {

/// The arguments shared by prdf and total_rdf, converted before any work.
struct RdfArgs {
    double cutoff = 10.0;
    double bin_size = 0.1;
    std::uint64_t n_threads = 0;
};

bool convert_common(PyObject* cutoff, PyObject* bin_size, PyObject* n_threads, RdfArgs& out) {
    return (!cutoff || to_double(cutoff, "cutoff", out.cutoff)) &&
           (!bin_size || to_double(bin_size, "bin_size", out.bin_size)) &&
           (!n_threads || to_u64(n_threads, "n_threads", out.n_threads));
}

/// Parses and converts the arguments of a method that takes (cutoff, bin_size, n_threads)
/// only; `format` is "|OOO:name".
bool parse_common(PyObject* args, PyObject* kwargs, const char* format, RdfArgs& out) {
    static const char* keywords[] = {"cutoff", "bin_size", "n_threads", nullptr};
    PyObject *cutoff = nullptr, *bin_size = nullptr, *n_threads = nullptr;
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &cutoff, &bin_size,
                                       &n_threads) &&
           convert_common(cutoff, bin_size, n_threads, out);
}

/// dict (centre, neighbour) -> array of `block(p * n_el + q)`, keys in element order, centre-major.
template <class Block>
PyObject* pair_dict(const std::vector<std::string>& elements, Block block) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    const std::size_t n_el = elements.size();
    for (std::size_t p = 0; p < n_el; ++p) {
        for (std::size_t q = 0; q < n_el; ++q) {
            const std::string& a = elements[p];
            const std::string& b = elements[q];
            PyRef key(Py_BuildValue("(s#s#)", a.data(), static_cast<Py_ssize_t>(a.size()), b.data(),
                                    static_cast<Py_ssize_t>(b.size())));
            if (!key) return nullptr;
            PyRef curve(numpy_array(block(p * n_el + q)));
            if (!curve || PyDict_SetItem(dict.get(), key.get(), curve.get()) < 0) return nullptr;
        }
    }
    return dict.release();
}

/// Runs the computation with the GIL released; raises ValueError on failure.
template <class Value = PrdfResult, class Compute = decltype(&compute_prdf)>
std::optional<Value> run(PyObject* self, const RdfArgs& args, Compute compute = &compute_prdf) {
    const Structure& structure = borrow_structure(self);
    Result<Value> result;
    bool stopped = false;
    {
        InterruptibleRelease released;  // Ctrl-C stops the workers within a poll interval
        result = compute(structure, args.n_threads, args.cutoff, args.bin_size);
        stopped = released.interrupted();
    }
    if (stopped) return std::nullopt;
    if (!result) {
        raise_value_error(result.error());
        return std::nullopt;
    }
    return std::move(*result);
}

/// The installed saver (module state) with (self, r, partials, total, folder) and the
/// keywords bin_size and title; its return value is dropped.
bool save_plots(PyObject* self, PyObject* r, PyObject* partials, PyObject* total, PyObject* folder,
                double bin_size, PyObject* title) {
    PyObject* saver = instance_state(self).prdf_saver;
    if (!saver) {
        PyErr_SetString(PyExc_RuntimeError,
                        "prdf(save_plots=...) writes through the kelvara package; import kelvara first");
        return false;
    }
    PyRef args(PyTuple_Pack(5, self, r, partials, total, folder));
    PyRef bin(args ? PyFloat_FromDouble(bin_size) : nullptr);
    PyRef kwargs(bin ? PyDict_New() : nullptr);
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "bin_size", bin.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "title", title ? title : Py_None) < 0)
        return false;
    PyRef returned(PyObject_Call(saver, args.get(), kwargs.get()));
    return static_cast<bool>(returned);
}

}  // namespace

/// dict (centre, neighbour) -> curve, keys in element order, centre-major.
PyObject* prdf_partials_dict(const PrdfResult& result) {
    return pair_dict(result.elements,
                     [&](std::size_t k) -> const std::vector<double>& { return result.partials[k]; });
}

PyObject* structure_available_threads(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        {
            GilRelease released;  // starting the shared pool may take a moment
            threads = shared_pool().threads();
        }
        return PyLong_FromSize_t(threads);
    });
}

PyObject* structure_prdf(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"cutoff", "bin_size", "n_threads", "save_plots", "title",
                                         nullptr};
        PyObject *cutoff = nullptr, *bin_size = nullptr, *n_threads = nullptr;
        PyObject *folder = Py_None, *title = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOO:prdf", const_cast<char**>(keywords),
                                         &cutoff, &bin_size, &n_threads, &folder, &title))
            return nullptr;
        RdfArgs converted;
        // The folder and title go to Python unchanged: any str (a folder name from
        // os.fsdecode may hold lone surrogates).
        if (!convert_common(cutoff, bin_size, n_threads, converted) ||
            !check_optional_text(folder, "save_plots") || !check_optional_text(title, "title"))
            return nullptr;

        auto result = run(self, converted);
        if (!result) return nullptr;
        PyRef partials(prdf_partials_dict(*result));
        if (!partials) return nullptr;
        PyRef r(numpy_array(result->r));
        if (!r) return nullptr;
        PyRef total(numpy_array(result->total));
        if (!total) return nullptr;
        if (folder != Py_None &&
            !save_plots(self, r.get(), partials.get(), total.get(), folder, converted.bin_size,
                        title == Py_None ? nullptr : title))
            return nullptr;
        return PyTuple_Pack(3, r.get(), partials.get(), total.get());
    });
}

PyObject* structure_total_rdf(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        RdfArgs converted;
        if (!parse_common(args, kwargs, "|OOO:total_rdf", converted)) return nullptr;
        auto result = run(self, converted);
        if (!result) return nullptr;
        PyRef r(numpy_array(result->r));
        if (!r) return nullptr;
        PyRef total(numpy_array(result->total));
        if (!total) return nullptr;
        return PyTuple_Pack(2, r.get(), total.get());
    });
}

PyObject* structure_pair_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"cutoff", "bin_size", "n_threads", "self_images", nullptr};
        PyObject *cutoff = nullptr, *bin_size = nullptr, *n_threads = nullptr, *self_images = nullptr;
        RdfArgs converted;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO:_pair_counts", const_cast<char**>(keywords), &cutoff,
                                         &bin_size, &n_threads, &self_images) ||
            !convert_common(cutoff, bin_size, n_threads, converted))
            return nullptr;
        // False for a frame of a simulation box: no site is paired with its own images.
        const int images = self_images ? PyObject_IsTrue(self_images) : 1;
        if (images < 0) return nullptr;
        auto result = run<PairCounts>(self, converted, [images](const Structure& s, std::uint64_t n, double c, double b) {
            return compute_pair_counts(s, n, c, b, images != 0);
        });
        if (!result) return nullptr;
        const auto n_bins = static_cast<std::ptrdiff_t>(result->shells.size());
        PyRef counts(pair_dict(result->elements, [&](std::size_t k) {
            const auto first = result->counts.begin() + static_cast<std::ptrdiff_t>(k) * n_bins;
            return std::vector<double>(first, first + n_bins);
        }));
        if (!counts) return nullptr;
        result->edges.pop_back();
        PyRef r(numpy_array(result->edges));
        if (!r) return nullptr;
        PyRef shells(numpy_array(result->shells));
        if (!shells) return nullptr;
        return PyTuple_Pack(3, r.get(), counts.get(), shells.get());
    });
}

PyObject* module_shell_volumes(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"n_bins", "bin_size", "cutoff", nullptr};
        PyObject *n_bins_obj = nullptr, *bin_size_obj = nullptr, *cutoff_obj = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:_shell_volumes", const_cast<char**>(keywords),
                                         &n_bins_obj, &bin_size_obj, &cutoff_obj))
            return nullptr;
        std::uint64_t n_bins = 0;
        double bin_size = 0.0;
        double cutoff = std::numeric_limits<double>::infinity();
        if (!to_u64(n_bins_obj, "n_bins", n_bins) || !to_double(bin_size_obj, "bin_size", bin_size) ||
            (cutoff_obj != Py_None && !to_double(cutoff_obj, "cutoff", cutoff)))
            return nullptr;
        if (n_bins >= (std::uint64_t{1} << 40))
            return raise_argument_error("n_bins", "expected fewer than 2^40 bins, got " + std::to_string(n_bins));
        // The edges as the engine makes them.
        std::vector<double> edges(n_bins + 1);
        for (std::uint64_t k = 0; k <= n_bins; ++k) edges[k] = static_cast<double>(k) * bin_size;
        return numpy_array(shell_volumes(edges, cutoff));
    });
}

PyObject* module_set_prdf_saver(PyObject* module, PyObject* function) {
    if (!PyCallable_Check(function))
        return raise_argument_error("function", "expected a callable, got " + type_name(function));
    ModuleState& state = module_state(module);
    PyObject* old = state.prdf_saver;
    state.prdf_saver = Py_NewRef(function);
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

}  // namespace kelvara::py
