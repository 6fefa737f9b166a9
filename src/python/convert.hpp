// Argument conversion, results to Python objects, message texts to exceptions.
#pragma once

#include "python/py_ref.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/lattice.hpp"
#include "core/model/structure.hpp"

namespace kelvara::py {

// ---- errors --------------------------------------------------------------------

/// How bytes of a message that are not UTF-8 come into the Python text.
enum class Undecodable {
    replace,  // as U+FFFD: bytes quoted from a file's contents
    keep,     // as surrogates, the way file names are decoded (a path that is not UTF-8)
};
/// Raises `type` whose only argument is exactly `message` (every NUL byte and every
/// other byte kept); returns null. The one way a message text becomes an exception.
PyObject* raise_message(PyObject* type, std::string_view message,
                        Undecodable undecodable = Undecodable::replace);
/// raise_message(ValueError, message).
inline PyObject* raise_value_error(std::string_view message) {
    return raise_message(PyExc_ValueError, message);
}
/// Raises TypeError "argument '{name}': {detail}"; returns null.
PyObject* raise_argument_error(const char* name, const std::string& detail);
/// The type name of `obj` for messages ("str", "list", ...).
std::string type_name(PyObject* obj);

// ---- arguments (each returns false with a Python exception set) -----------------

/// Python's float conversion; TypeError naming the argument on failure.
bool to_double(PyObject* obj, const char* name, double& out);
/// An index-like object in the unsigned 64-bit range: TypeError "argument '{}': {}"
/// for a non-integer, Python's own OverflowError for a negative or too large value.
bool to_u64(PyObject* obj, const char* name, std::uint64_t& out);
/// A `str` (nothing else) as UTF-8 text.
bool to_text(PyObject* obj, const char* name, std::string& out);
/// Checks that `obj` is a `str` (any str, not only one that encodes to UTF-8) or None.
bool check_optional_text(PyObject* obj, const char* name);
/// Any sequence (not str) of sequences of numbers, rows of any length.
bool to_rows(PyObject* obj, const char* name, std::vector<std::vector<double>>& out);
/// Any sequence (not str) of numbers or None (an empty optional).
bool to_optional_floats(PyObject* obj, const char* name, std::vector<std::optional<double>>& out);
/// The same with None as NaN (as is a NaN given).
bool to_optional_floats(PyObject* obj, const char* name, std::vector<double>& out);
/// Any sequence (not str) of dicts str -> number, each sorted into element order.
bool to_species_list(PyObject* obj, const char* name,
                     std::vector<std::vector<Species>>& out);
/// Any sequence of sequences of (str, float) tuples, each site's pairs in the order
/// given (unpickling restores the order a reader stored).
bool to_species_pairs(PyObject* obj, const char* name, std::vector<std::vector<Species>>& out);

// ---- results ---------------------------------------------------------------------

PyObject* float_list(const Vec3& values);
PyObject* float_rows(const std::vector<Vec3>& rows);
PyObject* float_rows(const Mat3& rows);
PyObject* int_list(const std::vector<std::uint64_t>& values);
PyObject* text_list(const std::vector<std::string>& values);
/// dict str -> float with keys inserted in the map's (element) order.
PyObject* element_dict(const ElementMap& map);
/// A new one-dimensional float64 NumPy array holding a copy of `values`. Sets up
/// the NumPy C API on first use, so importing the module never loads NumPy.
PyObject* numpy_array(const std::vector<double>& values);

}  // namespace kelvara::py
