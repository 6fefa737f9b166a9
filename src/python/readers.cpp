// Structure.from_cif, from_poscar, from_xyz, from_str, from_cif_str.
#include "python/members.hpp"

#include <fcntl.h>     // for open
#include <sys/stat.h>  // for fstat
#include <unistd.h>    // for read, close

#include <cerrno>
#include <cstring>  // for std::strlen
#include <optional>
#include <string>
#include <string_view>

#include "core/cif.hpp"
#include "core/formats.hpp"
#include "core/line_reader.hpp"  // for os_error_text
#include "core/text.hpp"
#include "python/convert.hpp"
#include "python/structure_type.hpp"

namespace kelvara::py {

namespace {

/// ValueError with exactly `message`; embedded NULs and stray bytes survive.
PyObject* raise_message(PyObject* type, const std::string& message) {
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                    "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* finish(Result<Structure>&& result) {
    if (!result) return raise_message(PyExc_ValueError, result.error());
    return wrap_structure(std::move(*result));
}

/// OSError "could not read {path}: {detail}", the path exactly as passed.
void raise_read_error(PyObject* path, const std::string& detail) {
    PyRef message(PyUnicode_FromFormat("could not read %U: %s", path, detail.c_str()));
    if (message) PyErr_SetObject(PyExc_OSError, message.get());
}

/// The whole file at `path` (a str) as UTF-8 text, or nothing with OSError set.
std::optional<std::string> read_text_file(PyObject* path) {
    PyRef encoded(PyUnicode_EncodeFSDefault(path));  // the file-system encoding, as open() does
    if (!encoded) return std::nullopt;
    char* raw = nullptr;
    Py_ssize_t raw_size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &raw, &raw_size) < 0) return std::nullopt;
    if (std::strlen(raw) != static_cast<std::size_t>(raw_size)) {
        raise_read_error(path, "path contains a null character");
        return std::nullopt;
    }
    const int fd = ::open(raw, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        raise_read_error(path, os_error_text(errno));
        return std::nullopt;
    }
    std::string text;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        text.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    int error = 0;
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    ::close(fd);
    if (error) {
        raise_read_error(path, os_error_text(error));  // a directory gives EISDIR here
        return std::nullopt;
    }
    if (!is_valid_utf8(text)) {
        raise_read_error(path, "stream did not contain valid UTF-8");
        return std::nullopt;
    }
    return text;
}

/// The UTF-8 text of a `str` argument, borrowed from the object (no copy: for ASCII
/// text CPython hands out its own buffer). TypeError naming the argument otherwise.
bool borrow_text(PyObject* obj, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        std::string unused;
        return to_text(obj, name, unused);  // raises the argument error
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) return false;  // lone surrogates: Python's UnicodeEncodeError stands
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

/// `path` must be a str (a pathlib path is not accepted).
bool check_path(PyObject* path) {
    std::string unused;
    if (!PyUnicode_Check(path)) return to_text(path, "path", unused);
    return true;
}

template <class Parse>
PyObject* read_file(PyObject* args, PyObject* kwargs, const char* format, const char** keywords,
                    Parse&& parse) {
    PyObject* path = nullptr;
    PyObject* symprec_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &path,
                                     &symprec_obj))
        return nullptr;
    if (!check_path(path)) return nullptr;
    double symprec = 1e-4;
    if (symprec_obj && !to_double(symprec_obj, "symprec", symprec)) return nullptr;
    auto text = read_text_file(path);
    if (!text) return nullptr;
    return finish(parse(*text, symprec));
}

}  // namespace

PyObject* structure_from_cif(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", "symprec", nullptr};
        return read_file(args, kwargs, "O|O:from_cif", keywords,
                         [](const std::string& text, double symprec) {
                             return parse_cif(text, symprec);
                         });
    });
}

PyObject* structure_from_poscar(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", nullptr};
        return read_file(args, kwargs, "O:from_poscar", keywords,
                         [](const std::string& text, double) { return parse_poscar(text); });
    });
}

PyObject* structure_from_xyz(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", nullptr};
        return read_file(args, kwargs, "O:from_xyz", keywords,
                         [](const std::string& text, double) { return parse_extxyz(text); });
    });
}

PyObject* structure_from_cif_str(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"text", "symprec", nullptr};
        PyObject *text_obj = nullptr, *symprec_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:from_cif_str",
                                         const_cast<char**>(keywords), &text_obj, &symprec_obj))
            return nullptr;
        std::string_view text;
        double symprec = 1e-4;
        if (!borrow_text(text_obj, "text", text)) return nullptr;
        if (symprec_obj && !to_double(symprec_obj, "symprec", symprec)) return nullptr;
        return finish(parse_cif(text, symprec));
    });
}

PyObject* structure_from_str(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"text", "fmt", "symprec", nullptr};
        PyObject *text_obj = nullptr, *fmt_obj = nullptr, *symprec_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:from_str", const_cast<char**>(keywords),
                                         &text_obj, &fmt_obj, &symprec_obj))
            return nullptr;
        std::string_view text;
        std::string fmt;
        double symprec = 1e-4;
        if (!borrow_text(text_obj, "text", text) || !to_text(fmt_obj, "fmt", fmt)) return nullptr;
        if (symprec_obj && !to_double(symprec_obj, "symprec", symprec)) return nullptr;
        const std::string name = ascii_lower(fmt);
        if (name == "cif") return finish(parse_cif(text, symprec));
        if (name == "poscar" || name == "contcar" || name == "vasp") return finish(parse_poscar(text));
        if (name == "xyz" || name == "extxyz") return finish(parse_extxyz(text));
        return raise_message(PyExc_ValueError,
                             "unknown format '" + name + "'; kelvara reads cif, poscar and xyz");
    });
}

}  // namespace kelvara::py
