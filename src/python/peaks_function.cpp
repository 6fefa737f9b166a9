// _add_peaks: the refinement's Gaussian peak sum and derivatives on arrays the package owns.
#include "python/convert.hpp"
#include "python/members.hpp"

#include <span>
#include <string>

#include "core/pdf/peaks.hpp"

namespace kelvara::py {
namespace {

/// A C-contiguous float64 buffer of `obj` (writable when asked), released when destroyed.
class Doubles {
public:
    Doubles(const Doubles&) = delete;
    Doubles& operator=(const Doubles&) = delete;
    Doubles() = default;
    ~Doubles() {
        if (held_) PyBuffer_Release(&view_);
    }
    /// False with a TypeError naming `name` when `obj` is not such a buffer.
    bool take(PyObject* obj, const char* name, bool writable) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        if (view_.format == nullptr || std::string(view_.format) != "d") {
            raise_argument_error(name, "expected a contiguous float64 array");
            return false;
        }
        return true;
    }
    std::span<double> span() const {
        return {static_cast<double*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(double)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace

PyObject* module_add_peaks(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        double offset = 0.0, step = 0.0, reach = 0.0;
        PyObject *d_obj, *sigma_obj, *amp_obj, *dd_obj, *ds_obj, *G_obj, *J_obj;
        if (!PyArg_ParseTuple(args, "dddOOOOOOO:_add_peaks", &offset, &step, &reach, &d_obj, &sigma_obj,
                              &amp_obj, &dd_obj, &ds_obj, &G_obj, &J_obj))
            return nullptr;
        Doubles d, sigma, amp, dd, ds, G, J;
        if (!d.take(d_obj, "d", false) || !sigma.take(sigma_obj, "sigma", false) ||
            !amp.take(amp_obj, "amp", false) || !dd.take(dd_obj, "dd", false) || !ds.take(ds_obj, "ds", false) ||
            !G.take(G_obj, "G", true) || !J.take(J_obj, "J", true))
            return nullptr;
        const std::size_t n = d.span().size(), rows = G.span().size();
        const std::size_t n_der = rows ? J.span().size() / rows : 0;
        if (sigma.span().size() != n || amp.span().size() != n || dd.span().size() != n * n_der ||
            ds.span().size() != n * n_der || J.span().size() != rows * n_der)
            return raise_value_error("_add_peaks: the arrays' sizes do not match");
        if (!(step > 0.0)) return raise_value_error("_add_peaks: the grid step must be positive");
        pdf::add_peaks({offset, step, rows}, reach, d.span(), sigma.span(), amp.span(), dd.span(), ds.span(), n_der,
                       G.span(), J.span());
        Py_RETURN_NONE;
    });
}

}  // namespace kelvara::py
