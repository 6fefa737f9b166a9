// Argument conversion, results to Python objects, message texts to exceptions.
#include "python/convert.hpp"

#include <algorithm>  // for std::copy
#include <limits>
#include <map>

#define PY_ARRAY_UNIQUE_SYMBOL kelvara_ARRAY_API
#include <numpy/arrayobject.h>  // for PyArray_SimpleNew, _import_array

namespace kelvara::py {

// ---- errors --------------------------------------------------------------------

PyObject* raise_message(PyObject* type, std::string_view message, Undecodable undecodable) {
    // Built from the whole text, not a C string: a message quoting a path or a token
    // may contain a NUL byte.
    const auto size = static_cast<Py_ssize_t>(message.size());
    PyRef text;
    if (undecodable == Undecodable::keep) {
        text = PyRef(PyUnicode_DecodeFSDefaultAndSize(message.data(), size));
        if (!text) PyErr_Clear();
    }
    if (!text) text = PyRef(PyUnicode_DecodeUTF8(message.data(), size, "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* raise_argument_error(const char* name, const std::string& detail) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, detail.c_str());
    return nullptr;
}

std::string type_name(PyObject* obj) {
    PyRef name(PyType_GetName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (!text) {
        PyErr_Clear();
        return "object";
    }
    return text;
}

namespace {

/// The message of the pending exception, which is cleared.
std::string take_error_message() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
    if (!value) return "conversion failed";
    PyRef text(PyObject_Str(value));
    if (!text) {
        PyErr_Clear();
        return "conversion failed";
    }
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), nullptr);
    if (!utf8) {
        PyErr_Clear();
        return "conversion failed";
    }
    return utf8;
}

/// A sequence that is not a str; anything else raises TypeError naming `name`.
bool check_sequence(PyObject* obj, const char* name, const char* what, Py_ssize_t& size) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
        raise_argument_error(name, std::string("expected ") + what + ", got " + type_name(obj));
        return false;
    }
    size = PySequence_Size(obj);
    return size >= 0;
}

/// Python's float conversion of item `index` of a row.
bool item_to_double(PyObject* item, const char* name, Py_ssize_t row, Py_ssize_t col,
                    double& out) {
    out = PyFloat_AsDouble(item);
    if (out == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError))
            return false;
        PyErr_Clear();
        raise_argument_error(name, "item " + std::to_string(col) + " of entry " +
                                       std::to_string(row) + " is not a number (got " +
                                       type_name(item) + ")");
        return false;
    }
    return true;
}

}  // namespace

// ---- arguments -------------------------------------------------------------------

bool to_double(PyObject* obj, const char* name, double& out) {
    out = PyFloat_AsDouble(obj);
    if (out == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        raise_argument_error(name, take_error_message());
        return false;
    }
    return true;
}

bool to_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    PyRef index(PyNumber_Index(obj));
    if (!index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) raise_argument_error(name, take_error_message());
        return false;
    }
    out = PyLong_AsUnsignedLongLong(index.get());
    return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

bool to_text(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_argument_error(name, "expected str, got " + type_name(obj));
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) return false;  // lone surrogates: Python's UnicodeEncodeError stands
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool check_optional_text(PyObject* obj, const char* name) {
    if (obj == nullptr || obj == Py_None || PyUnicode_Check(obj)) return true;
    raise_argument_error(name, "expected str or None, got " + type_name(obj));
    return false;
}

bool to_rows(PyObject* obj, const char* name, std::vector<std::vector<double>>& out) {
    Py_ssize_t n_rows = 0;
    if (!check_sequence(obj, name, "a sequence of sequences of numbers", n_rows)) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(n_rows));
    for (Py_ssize_t r = 0; r < n_rows; ++r) {
        PyRef row(PySequence_GetItem(obj, r));
        if (!row) return false;
        if (PyUnicode_Check(row.get()) || !PySequence_Check(row.get())) {
            raise_argument_error(name, "entry " + std::to_string(r) +
                                           " is not a sequence of numbers (got " +
                                           type_name(row.get()) + ")");
            return false;
        }
        Py_ssize_t n_cols = PySequence_Size(row.get());
        if (n_cols < 0) return false;
        std::vector<double> values(static_cast<std::size_t>(n_cols));
        for (Py_ssize_t c = 0; c < n_cols; ++c) {
            PyRef item(PySequence_GetItem(row.get(), c));
            if (!item || !item_to_double(item.get(), name, r, c, values[static_cast<std::size_t>(c)]))
                return false;
        }
        out.push_back(std::move(values));
    }
    return true;
}

bool to_optional_floats(PyObject* obj, const char* name, std::vector<std::optional<double>>& out) {
    Py_ssize_t n = 0;
    if (!check_sequence(obj, name, "a sequence of numbers or None", n)) return false;
    out.assign(static_cast<std::size_t>(n), std::nullopt);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef item(PySequence_GetItem(obj, i));
        if (!item) return false;
        if (item.get() == Py_None) continue;
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            PyErr_Clear();
            raise_argument_error(name, "entry " + std::to_string(i) + " is not a number or None (got " +
                                           type_name(item.get()) + ")");
            return false;
        }
        out[static_cast<std::size_t>(i)] = value;
    }
    return true;
}

bool to_optional_floats(PyObject* obj, const char* name, std::vector<double>& out) {
    std::vector<std::optional<double>> values;
    if (!to_optional_floats(obj, name, values)) return false;
    out.clear();
    out.reserve(values.size());
    for (const auto& value : values) out.push_back(value.value_or(std::numeric_limits<double>::quiet_NaN()));
    return true;
}

bool to_species_list(PyObject* obj, const char* name, std::vector<std::vector<Species>>& out) {
    Py_ssize_t n_sites = 0;
    if (!check_sequence(obj, name, "a sequence of dicts", n_sites)) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(n_sites));
    for (Py_ssize_t i = 0; i < n_sites; ++i) {
        PyRef entry(PySequence_GetItem(obj, i));
        if (!entry) return false;
        if (!PyDict_Check(entry.get())) {
            raise_argument_error(name, "entry " + std::to_string(i) + " is not a dict (got " +
                                           type_name(entry.get()) + ")");
            return false;
        }
        std::map<std::string, double> sorted;  // element order, whatever the dict's order
        // A snapshot of the items, holding its own references: converting a value can
        // run Python code (__float__) that changes or empties the dict.
        PyRef items(PyDict_Items(entry.get()));
        if (!items) return false;
        const Py_ssize_t n_items = PyList_Size(items.get());
        for (Py_ssize_t k = 0; k < n_items; ++k) {
            PyObject* item = PyList_GetItem(items.get(), k);  // the list keeps it alive
            PyObject* key = PyTuple_GetItem(item, 0);
            PyObject* value = PyTuple_GetItem(item, 1);
            if (!PyUnicode_Check(key)) {
                raise_argument_error(name, "entry " + std::to_string(i) +
                                               " has a key that is not a str (got " +
                                               type_name(key) + ")");
                return false;
            }
            std::string element;
            if (!to_text(key, name, element)) return false;
            double occupancy = PyFloat_AsDouble(value);
            if (occupancy == -1.0 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError) &&
                    !PyErr_ExceptionMatches(PyExc_ValueError))
                    return false;
                PyErr_Clear();
                raise_argument_error(name, "occupancy of '" + element + "' in entry " +
                                               std::to_string(i) + " is not a number (got " +
                                               type_name(value) + ")");
                return false;
            }
            sorted[element] = occupancy;
        }
        out.emplace_back(sorted.begin(), sorted.end());
    }
    return true;
}

bool to_species_pairs(PyObject* obj, const char* name, std::vector<std::vector<Species>>& out) {
    const char* what = "a sequence of (element, occupancy) tuples per site";
    Py_ssize_t n_sites = 0;
    if (!check_sequence(obj, name, what, n_sites)) return false;
    out.assign(static_cast<std::size_t>(n_sites), {});
    for (Py_ssize_t i = 0; i < n_sites; ++i) {
        PyRef pairs(PySequence_GetItem(obj, i));
        if (!pairs) return false;
        Py_ssize_t n_pairs = 0;
        if (!check_sequence(pairs.get(), name, what, n_pairs)) return false;
        for (Py_ssize_t k = 0; k < n_pairs; ++k) {
            PyRef pair(PySequence_GetItem(pairs.get(), k));
            PyObject* element = nullptr;
            double occupancy = 0.0;
            if (!pair || !PyTuple_Check(pair.get()) ||
                !PyArg_ParseTuple(pair.get(), "Ud", &element, &occupancy)) {
                PyErr_Clear();
                raise_argument_error(name, "entry " + std::to_string(i) +
                                               " is not a sequence of (str, float) pairs");
                return false;
            }
            std::string text;
            if (!to_text(element, name, text)) return false;
            out[static_cast<std::size_t>(i)].emplace_back(std::move(text), occupancy);
        }
    }
    return true;
}

// ---- results ---------------------------------------------------------------------

PyObject* float_list(const Vec3& values) {
    PyRef list(PyList_New(3));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* item = PyFloat_FromDouble(values[static_cast<std::size_t>(i)]);
        if (!item) return nullptr;
        PyList_SetItem(list.get(), i, item);
    }
    return list.release();
}

namespace {
template <class Rows>
PyObject* rows_to_list(const Rows& rows) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const Vec3& row : rows) {
        PyObject* item = float_list(row);
        if (!item) return nullptr;
        PyList_SetItem(list.get(), i++, item);
    }
    return list.release();
}
}  // namespace

PyObject* float_rows(const std::vector<Vec3>& rows) { return rows_to_list(rows); }
PyObject* float_rows(const Mat3& rows) { return rows_to_list(rows); }

PyObject* int_list(const std::vector<std::uint64_t>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(values[i]);
        if (!item) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* text_list(const std::vector<std::string>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyUnicode_FromStringAndSize(values[i].data(),
                                                     static_cast<Py_ssize_t>(values[i].size()));
        if (!item) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* element_dict(const ElementMap& map) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [element, amount] : map) {
        PyRef key(PyUnicode_FromStringAndSize(element.data(), static_cast<Py_ssize_t>(element.size())));
        PyRef value(PyFloat_FromDouble(amount));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* numpy_array(const std::vector<double>& values) {
    static bool numpy_ready = false;  // guarded by the GIL
    if (!numpy_ready) {
        if (_import_array() < 0) return nullptr;
        numpy_ready = true;
    }
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    PyObject* array = PyArray_SimpleNew(1, dims, NPY_FLOAT64);
    if (!array) return nullptr;
    std::copy(values.begin(), values.end(),
              static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))));
    return array;
}

}  // namespace kelvara::py
