// _frames_prdf and _frames_bond_angles: the curves of a window of trajectory frames,
// frames counted in parallel with the GIL released.
#include "python/members.hpp"

#include <optional>
#include <string>
#include <vector>

#include "core/rdf/bond_angles.hpp"
#include "core/rdf/frames.hpp"
#include "python/convert.hpp"
#include "python/interrupt.hpp"
#include "python/module_state.hpp"
#include "python/structure_type.hpp"

namespace kelvara::py {

namespace {

/// The Structure objects of a sequence, held by `keep` (a tuple) while the GIL is
/// released, and their core values.
bool to_frames(PyObject* module, PyObject* obj, PyRef& keep, std::vector<const Structure*>& out) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        raise_argument_error("structures", "expected a sequence of Structure, got " + type_name(obj));
        return false;
    }
    keep = PyRef(PySequence_Tuple(obj));
    if (!keep) {
        PyErr_Clear();
        raise_argument_error("structures", "expected a sequence of Structure, got " + type_name(obj));
        return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(module_state(module).structure_type);
    const Py_ssize_t n = PyTuple_Size(keep.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyTuple_GetItem(keep.get(), k);
        if (!PyObject_TypeCheck(item, type)) {
            raise_argument_error("structures", "item " + std::to_string(k) + " is a " + type_name(item) +
                                                   ", not a Structure");
            return false;
        }
        out.push_back(&borrow_structure(item));
    }
    return true;
}

bool to_flag(PyObject* obj, const char* name, bool& out) {
    if (!obj) return true;
    const int value = PyObject_IsTrue(obj);
    if (value < 0) return false;
    (void)name;
    out = value != 0;
    return true;
}

/// Runs `work` with the GIL released (Ctrl-C stops it); raises ValueError with its message.
template <class Work>
auto released(Work&& work) -> std::optional<typename std::invoke_result_t<Work>::value_type> {
    std::invoke_result_t<Work> result;
    bool stopped = false;
    {
        InterruptibleRelease release;
        result = work();
        stopped = release.interrupted();
    }
    if (stopped) return std::nullopt;
    if (!result) {
        raise_value_error(result.error());
        return std::nullopt;
    }
    return std::move(*result);
}

}  // namespace

PyObject* module_frames_prdf(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"structures", "cutoff", "bin_size", "n_threads", "self_images",
                                         nullptr};
        PyObject *structures = nullptr, *cutoff = nullptr, *bin_size = nullptr, *n_threads = nullptr,
                 *self_images = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OO:_frames_prdf", const_cast<char**>(keywords),
                                         &structures, &cutoff, &bin_size, &n_threads, &self_images))
            return nullptr;
        PyRef keep;
        std::vector<const Structure*> frames;
        double cut = 0.0, bin = 0.0;
        std::uint64_t threads = 0;
        bool images = true;
        if (!to_frames(module, structures, keep, frames) || !to_double(cutoff, "cutoff", cut) ||
            !to_double(bin_size, "bin_size", bin) || (n_threads && !to_u64(n_threads, "n_threads", threads)) ||
            !to_flag(self_images, "self_images", images))
            return nullptr;
        auto results = released([&] { return compute_frames_prdf(frames, threads, cut, bin, images); });
        if (!results) return nullptr;
        PyRef list(PyList_New(static_cast<Py_ssize_t>(results->size())));
        if (!list) return nullptr;
        for (std::size_t k = 0; k < results->size(); ++k) {
            const PrdfResult& result = (*results)[k];
            PyRef partials(prdf_partials_dict(result));
            PyRef r(partials ? numpy_array(result.r) : nullptr);
            PyRef total(r ? numpy_array(result.total) : nullptr);
            PyObject* item = total ? PyTuple_Pack(3, r.get(), partials.get(), total.get()) : nullptr;
            if (!item) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item);  // steals item
        }
        return list.release();
    });
}

PyObject* module_frames_bond_angles(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"structures", "centre", "first", "second", "cutoff", "bin_deg",
                                         "n_threads", "self_images", nullptr};
        PyObject *structures = nullptr, *centre = nullptr, *first = nullptr, *second = nullptr,
                 *cutoff = nullptr, *bin_deg = nullptr, *n_threads = nullptr, *self_images = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OOO:_frames_bond_angles",
                                         const_cast<char**>(keywords), &structures, &centre, &first,
                                         &second, &cutoff, &bin_deg, &n_threads, &self_images))
            return nullptr;
        PyRef keep;
        std::vector<const Structure*> frames;
        AngleQuery query;
        std::uint64_t threads = 0;
        if (!to_frames(module, structures, keep, frames) || !to_text(centre, "centre", query.centre) ||
            !to_text(first, "first", query.first) || !to_text(second, "second", query.second) ||
            !to_double(cutoff, "cutoff", query.cutoff) ||
            (bin_deg && !to_double(bin_deg, "bin_deg", query.bin_deg)) ||
            (n_threads && !to_u64(n_threads, "n_threads", threads)) ||
            !to_flag(self_images, "self_images", query.self_images))
            return nullptr;
        auto results = released([&] { return compute_frames_bond_angles(frames, threads, query); });
        if (!results) return nullptr;
        PyRef edges(numpy_array(angle_edges(query.bin_deg)));
        PyRef list(edges ? PyList_New(static_cast<Py_ssize_t>(results->size())) : nullptr);
        if (!list) return nullptr;
        for (std::size_t k = 0; k < results->size(); ++k) {
            PyObject* counts = numpy_array((*results)[k]);
            if (!counts) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), counts);  // steals counts
        }
        return PyTuple_Pack(2, edges.get(), list.get());
    });
}

}  // namespace kelvara::py
