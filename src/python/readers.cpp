// Structure.from_cif, from_poscar, from_xyz, from_str, from_cif_str, the ReadWarning
// category their findings are issued under, and the findings-returning reader.
#include "python/members.hpp"

#include <algorithm>  // for std::min
#include <cmath>    // for std::isfinite
#include <cstring>  // for std::memchr
#include <optional>
#include <string>
#include <string_view>

#include "core/util/cancel.hpp"  // for InputFile
#include "core/readers/cif.hpp"
#include "core/readers/cif_syntax.hpp"  // for cif_blocks
#include "core/util/line_reader.hpp"  // for os_error_text
#include "core/util/memory.hpp"       // for physical_memory_bytes
#include "core/util/number.hpp"       // for format_shortest
#include "core/readers/structure_formats.hpp"
#include "python/convert.hpp"
#include "python/interrupt.hpp"
#include "python/structure_type.hpp"

namespace kelvara::py {

namespace {

/// A str from UTF-8 bytes of the input; stray bytes quoted from a file are replaced.
PyObject* text_object(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

/// A path argument: the bytes handed to open() and the text that messages show.
struct PathArg {
    PyRef encoded;  // bytes
    PyRef shown;    // str: the argument itself when it is a str, else its decoded form
};

/// str, bytes or any os.PathLike; TypeError naming the argument otherwise.
bool to_path(PyObject* obj, const char* name, PathArg& out) {
    PyRef fspath(PyOS_FSPath(obj));
    if (!fspath) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        raise_argument_error(name, "expected str, bytes or os.PathLike, got " + type_name(obj));
        return false;
    }
    if (PyUnicode_Check(fspath.get())) {
        out.encoded = PyRef(PyUnicode_EncodeFSDefault(fspath.get()));  // as open() encodes
        out.shown = std::move(fspath);
    } else {
        char* raw = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(fspath.get(), &raw, &size) < 0) return false;
        out.shown = PyRef(PyUnicode_DecodeFSDefaultAndSize(raw, size));
        out.encoded = std::move(fspath);
    }
    return out.encoded && out.shown;
}

/// OSError "could not read {path}: {detail}" with its `errno` set when there is one;
/// str() of the exception is exactly the message.
void raise_read_error(const PathArg& path, const std::string& detail, int code) {
    PyRef detail_text(text_object(detail));
    if (!detail_text) return;
    PyRef message(PyUnicode_FromFormat("could not read %U: %U", path.shown.get(), detail_text.get()));
    if (!message) return;
    PyRef error(PyObject_CallFunctionObjArgs(PyExc_OSError, message.get(), nullptr));
    if (!error) return;
    if (code != 0) {
        PyRef number(PyLong_FromLong(code));
        if (!number || PyObject_SetAttrString(error.get(), "errno", number.get()) < 0) return;
    }
    PyErr_SetObject(PyExc_OSError, error.get());
}

/// The longest structure file read: 2 GiB, or a quarter of the memory when that is less
/// (parsing takes several times the text's size).
std::size_t max_structure_file_bytes() {
    const std::uint64_t quarter = physical_memory_bytes() / 4;
    return static_cast<std::size_t>(std::min<std::uint64_t>(std::uint64_t{2} << 30, quarter));
}

/// Reads the whole file at `raw` into `text` with the GIL released, so other Python
/// threads go on and a read that waits (a FIFO, an idle pipe) can be stopped with
/// Ctrl-C. False with an exception set: OSError, or the signal handler's.
bool read_file_bytes(const PathArg& path, std::string& text) {
    char* raw = nullptr;
    Py_ssize_t raw_size = 0;
    if (PyBytes_AsStringAndSize(path.encoded.get(), &raw, &raw_size) < 0) return false;
    if (std::memchr(raw, 0, static_cast<std::size_t>(raw_size))) {
        raise_read_error(path, "path contains a null character", 0);
        return false;
    }
    int error = 0;
    bool opened = false, stopped = false;
    {
        InterruptibleRelease released;
        InputFile file;
        opened = file.open(raw, error);
        if (opened && file.regular() && file.size() > 0) text.reserve(file.size());
        char buffer[1 << 16];
        while (opened) {
            const auto got = file.read(buffer, sizeof buffer, error);
            if (got == 0) break;
            if (got < 0) {
                if (error == 0) error = -1;  // cancelled
                break;
            }
            // Structure files are text: a NUL byte in a stream means a device such as
            // /dev/zero (a regular file has its size), and a stream has a bounded length.
            if (!file.regular() && std::memchr(buffer, 0, static_cast<std::size_t>(got))) {
                error = -2;
                break;
            }
            if (text.size() + static_cast<std::size_t>(got) > max_structure_file_bytes()) {
                error = -3;
                break;
            }
            text.append(buffer, static_cast<std::size_t>(got));
        }
        stopped = released.interrupted();
    }
    if (stopped) return false;
    if (error == -1) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        return false;
    }
    if (error == -2) {
        raise_read_error(path, "it holds NUL bytes, so it is not a text file", 0);
        return false;
    }
    if (error == -3) {
        raise_read_error(path, "it is longer than " + std::to_string(max_structure_file_bytes()) +
                                   " bytes, the most a single structure is read from (a stream "
                                   "that never ends?)", 0);
        return false;
    }
    if (error != 0) {
        raise_read_error(path, os_error_text(error), error);  // a directory gives EISDIR here
        return false;
    }
    return true;
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

/// Issues every finding as a ReadWarning ("{path}: {finding}" for a file), then
/// wraps the structure. Null when the read failed or a warning was made an error.
PyObject* finish(const ModuleState& state, Result<ReadStructure>&& result, PyObject* shown_path) {
    if (!result) return raise_value_error(result.error());
    PyObject* category = state.read_warning;
    for (const std::string& finding : result->warnings) {
        PyRef text(text_object(finding));
        if (text && shown_path) text = PyRef(PyUnicode_FromFormat("%U: %U", shown_path, text.get()));
        if (!text) return nullptr;
        // Paths may hold undecodable bytes as surrogates; the warning text stays readable.
        PyRef utf8(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
        if (!utf8) return nullptr;
        const char* message = PyBytes_AsString(utf8.get());
        if (!message || PyErr_WarnEx(category, message, 1) < 0) return nullptr;
    }
    return wrap_structure(state, std::move(result->structure));
}

/// symprec (a positive float) and block (a name, a 0-based index, or None).
bool to_options(PyObject* symprec, PyObject* block, CifOptions& options) {
    if (symprec) {
        if (!to_double(symprec, "symprec", options.symprec)) return false;
        // 0, a negative or a NaN tolerance would silently merge nothing at all.
        if (!(options.symprec > 0.0) || !std::isfinite(options.symprec)) {
            raise_value_error("symprec must be a positive distance in fractional coordinates (the default is 1e-4), not " +
                              format_shortest(options.symprec));
            return false;
        }
    }
    if (!block || block == Py_None) return true;
    if (PyUnicode_Check(block)) {
        std::string name;
        if (!to_text(block, "block", name)) return false;
        options.block_name = std::move(name);
        return true;
    }
    if (PyLong_Check(block) && !PyBool_Check(block)) {
        std::uint64_t index = 0;
        if (!to_u64(block, "block", index)) return false;
        options.block_index = index;
        return true;
    }
    raise_argument_error("block", "expected str, int or None, got " + type_name(block));
    return false;
}

/// block= names a CIF data block; other formats have none.
bool check_block_applies(StructureFormat format, const CifOptions& options) {
    if (format == StructureFormat::cif || (!options.block_name && !options.block_index)) return true;
    raise_value_error("block= chooses a CIF data block; this format has none");
    return false;
}

PyObject* read_file(PyObject* cls, PyObject* args, PyObject* kwargs, const char* spec,
                    const char** keywords, StructureFormat format) {
    PyObject *path = nullptr, *symprec = nullptr, *block = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, spec, const_cast<char**>(keywords), &path,
                                     &symprec, &block))
        return nullptr;
    PathArg path_arg;
    if (!to_path(path, "path", path_arg)) return nullptr;
    CifOptions options;
    if (!to_options(symprec, block, options)) return nullptr;
    std::string text;
    if (!read_file_bytes(path_arg, text)) return nullptr;
    std::optional<Result<ReadStructure>> result;
    {
        GilRelease released;  // parsing touches no Python object
        result.emplace(parse_structure(format, text, options));
    }
    return finish(type_state(cls), std::move(*result), path_arg.shown.get());
}

}  // namespace

bool create_read_warning(ModuleState& state) {
    state.read_warning = PyErr_NewExceptionWithDoc(
        "kelvara.ReadWarning",
        "A reader assumed something about the input that shapes the structure it\n"
        "returns (a block passed over, a row dropped, a symbol that is not an element).",
        PyExc_UserWarning, nullptr);
    return state.read_warning != nullptr;
}

PyObject* structure_from_cif(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", "symprec", "block", nullptr};
        return read_file(cls, args, kwargs, "O|OO:from_cif", keywords, StructureFormat::cif);
    });
}

PyObject* structure_from_poscar(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", nullptr};
        return read_file(cls, args, kwargs, "O:from_poscar", keywords, StructureFormat::poscar);
    });
}

PyObject* structure_from_xyz(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", nullptr};
        return read_file(cls, args, kwargs, "O:from_xyz", keywords, StructureFormat::xyz);
    });
}

PyObject* structure_from_cif_str(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"text", "symprec", "block", nullptr};
        PyObject *text_obj = nullptr, *symprec = nullptr, *block = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:from_cif_str",
                                         const_cast<char**>(keywords), &text_obj, &symprec, &block))
            return nullptr;
        std::string_view text;
        CifOptions options;
        if (!borrow_text(text_obj, "text", text) || !to_options(symprec, block, options))
            return nullptr;
        return finish(type_state(cls), parse_cif(text, options), nullptr);
    });
}

PyObject* structure_from_str(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"text", "fmt", "symprec", "block", nullptr};
        PyObject *text_obj = nullptr, *fmt_obj = nullptr, *symprec = nullptr, *block = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:from_str", const_cast<char**>(keywords),
                                         &text_obj, &fmt_obj, &symprec, &block))
            return nullptr;
        std::string_view text;
        std::string fmt;
        CifOptions options;
        if (!borrow_text(text_obj, "text", text) || !to_text(fmt_obj, "fmt", fmt)) return nullptr;
        if (!to_options(symprec, block, options)) return nullptr;
        const auto format = structure_format_named(fmt);
        if (!format) return raise_value_error(format.error());
        if (!check_block_applies(*format, options)) return nullptr;
        return finish(type_state(cls), parse_structure(*format, text, options), nullptr);
    });
}

namespace {

/// The text behind `source`: the str itself when `is_text`, else the bytes of the file
/// it names, read into `file` (which `text` then views).
bool source_text(PyObject* source, bool is_text, std::optional<std::string>& file,
                 std::string_view& text) {
    if (is_text) return borrow_text(source, "source", text);
    PathArg path;
    if (!to_path(source, "source", path)) return false;
    file.emplace();
    if (!read_file_bytes(path, *file)) return false;
    text = *file;
    return true;
}

}  // namespace

PyObject* module_read_with_findings(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"source", "fmt", "is_text", "symprec", "block", nullptr};
        PyObject *source = nullptr, *symprec = nullptr, *block = nullptr;
        const char* fmt = nullptr;
        int is_text = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os|$pOO:read_with_findings",
                                         const_cast<char**>(keywords), &source, &fmt, &is_text,
                                         &symprec, &block))
            return nullptr;
        const auto format = structure_format_named(fmt);
        if (!format) return raise_value_error(format.error());
        CifOptions options;
        if (!to_options(symprec, block, options) || !check_block_applies(*format, options))
            return nullptr;
        std::optional<std::string> file;
        std::string_view text;
        if (!source_text(source, is_text, file, text)) return nullptr;
        auto result = parse_structure(*format, text, options);
        if (!result) return raise_value_error(result.error());
        PyRef findings(PyList_New(0));
        if (!findings) return nullptr;
        for (const std::string& finding : result->warnings) {
            PyRef item(text_object(finding));
            if (!item || PyList_Append(findings.get(), item.get()) < 0) return nullptr;
        }
        PyRef structure(wrap_structure(module_state(module), std::move(result->structure)));
        if (!structure) return nullptr;
        return PyTuple_Pack(2, structure.get(), findings.get());
    });
}

PyObject* module_cif_blocks(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"source", "is_text", nullptr};
        PyObject* source = nullptr;
        int is_text = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:cif_blocks", const_cast<char**>(keywords),
                                         &source, &is_text))
            return nullptr;
        std::optional<std::string> file;
        std::string_view text;
        if (!source_text(source, is_text, file, text)) return nullptr;
        const std::vector<CifBlockSummary> blocks = cif_blocks(text);
        PyRef list(PyList_New(0));
        if (!list) return nullptr;
        for (const CifBlockSummary& block : blocks) {
            PyRef name(text_object(block.name));
            PyRef rows(name ? PyLong_FromUnsignedLongLong(block.atom_site_rows) : nullptr);
            PyRef item(rows ? PyTuple_Pack(2, name.get(), rows.get()) : nullptr);
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* module_structure_format(PyObject*, PyObject* name) {
    return guarded([&]() -> PyObject* {
        std::string text;
        if (!to_text(name, "name", text)) return nullptr;
        const auto format = structure_format_named(text);
        if (!format) return raise_value_error(format.error());
        const std::string_view canonical = canonical_name(*format);
        return PyUnicode_FromStringAndSize(canonical.data(), static_cast<Py_ssize_t>(canonical.size()));
    });
}

PyObject* structure_format_table() {
    PyRef table(PyDict_New());
    if (!table) return nullptr;
    for (const StructureFormatName& entry : structure_format_names) {
        const std::string_view canonical = canonical_name(entry.format);
        PyRef value(PyUnicode_FromStringAndSize(canonical.data(), static_cast<Py_ssize_t>(canonical.size())));
        if (!value) return nullptr;
        const std::string key(entry.name);
        if (PyDict_SetItemString(table.get(), key.c_str(), value.get()) < 0) return nullptr;
    }
    return table.release();
}

}  // namespace kelvara::py
