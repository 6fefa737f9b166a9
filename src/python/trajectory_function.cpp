// read_xyz_trajectory and the TrajectoryReader type: trajectory files from Python.
#include "python/members.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>  // for std::invoke_result_t
#include <vector>

#include "core/trajectory/trajectory_stream.hpp"
#include "core/util/text.hpp"  // for quoted
#include "python/convert.hpp"
#include "python/interrupt.hpp"
#include "python/structure_type.hpp"

namespace kelvara::py {

namespace {

/// Python warnings (RuntimeWarning) for the notes of a read; false when one raised.
bool warn_all(const std::vector<std::string>& warnings, std::size_t from = 0) {
    for (std::size_t k = from; k < warnings.size(); ++k)
        if (PyErr_WarnEx(PyExc_RuntimeWarning, warnings[k].c_str(), 1) < 0) return false;
    return true;
}

/// kelvara.ReadWarning for each finding of a read (a species that is not an element),
/// as the single-structure readers issue theirs; false when one raised.
bool warn_findings(const ModuleState& state, const std::vector<std::string>& findings,
                   std::size_t from = 0) {
    if (from >= findings.size()) return true;
    PyObject* category = state.read_warning;
    for (std::size_t k = from; k < findings.size(); ++k) {
        // Bytes of the file that are not UTF-8 are replaced, so the text is always readable.
        PyRef text(PyUnicode_DecodeUTF8(findings[k].data(), static_cast<Py_ssize_t>(findings[k].size()),
                                        "replace"));
        PyRef utf8(text ? PyUnicode_AsUTF8String(text.get()) : nullptr);
        const char* message = utf8 ? PyBytes_AsString(utf8.get()) : nullptr;
        if (!message || PyErr_WarnEx(category, message, 1) < 0) return false;
    }
    return true;
}

/// A list of new Structure objects, taking over the values.
PyObject* structure_list(const ModuleState& state, std::vector<Structure>& structures) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(structures.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < structures.size(); ++k) {
        PyObject* item = wrap_structure(state, std::move(structures[k]));
        if (!item) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item);  // steals item
    }
    return list.release();
}

/// The str, bytes or path-like `obj` as the bytes the operating system sees (the
/// file-system encoding, as open() uses; an embedded NUL is kept for the reader
/// to name).
bool to_path_bytes(PyObject* obj, std::string& out) {
    PyRef path(PyOS_FSPath(obj));
    if (!path) return false;
    PyRef bytes;
    if (PyUnicode_Check(path.get())) {
        bytes = PyRef(PyUnicode_EncodeFSDefault(path.get()));
        if (!bytes) return false;
    } else {
        bytes = std::move(path);
    }
    char* raw = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &raw, &size) < 0) return false;
    out.assign(raw, static_cast<std::size_t>(size));
    return true;
}

/// every=, start= and stop= (each may be left out, stop may be None) into the
/// `every`, `start` and `stop` of `options`.
template <class Options>
bool to_selection(PyObject* every, PyObject* start, PyObject* stop, Options& options) {
    if (every && !to_u64(every, "every", options.every)) return false;
    if (start && !to_u64(start, "start", options.start)) return false;
    if (stop && stop != Py_None) {
        std::uint64_t value = 0;
        if (!to_u64(stop, "stop", value)) return false;
        options.stop = value;
    }
    return true;
}

bool to_cell(PyObject* obj, std::optional<Mat3>& cell) {
    if (!obj || obj == Py_None) return true;
    std::vector<std::vector<double>> rows;
    if (!to_rows(obj, "cell", rows)) return false;
    if (rows.size() != 3 || rows[0].size() != 3 || rows[1].size() != 3 || rows[2].size() != 3) {
        raise_value_error("cell must be 3x3");
        return false;
    }
    Mat3 matrix{};
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c) matrix[r][c] = rows[r][c];
    cell = matrix;
    return true;
}

/// A type or element name of `types=`: not empty, no NUL (it would cut every message
/// that quotes it), and of a length a name can have.
bool check_type_name(const std::string& text, const std::string& what) {
    constexpr std::size_t longest = 64;
    std::string problem;
    if (text.empty()) problem = "is empty";
    else if (text.find('\0') != std::string::npos) problem = "contains a NUL character";
    else if (text.size() > longest)
        problem = "is " + std::to_string(text.size()) + " bytes long (a name has at most " +
                  std::to_string(longest) + ")";
    if (problem.empty()) return true;
    raise_value_error("types: " + what + " " + problem);
    return false;
}

/// {type: element} with keys of any kind (their str()) and str values; two keys with
/// the same str() are refused.
bool to_types(PyObject* obj, std::vector<std::pair<std::string, std::string>>& types) {
    if (!obj || obj == Py_None) return true;
    if (!PyDict_Check(obj)) {
        raise_argument_error("types", "expected a dict such as {1: 'Si', 2: 'O'}, got " + type_name(obj));
        return false;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &key, &value)) {
        PyRef key_text(PyObject_Str(key));
        if (!key_text) return false;
        std::string k, v;
        if (!to_text(key_text.get(), "types", k) || !to_text(value, "types", v)) return false;
        if (!check_type_name(k, "a type") || !check_type_name(v, "the element of type " + k))
            return false;
        for (const auto& [seen, element] : types)
            if (seen == k) {
                // {1: 'Si', '1': 'O'}: both keys read as type 1, and which one wins is
                // an accident of the dict's order.
                raise_value_error("types: type " + k + " is given twice (" + quoted(element) +
                                  " and " + quoted(v) + "); give each type one element");
                return false;
            }
        types.emplace_back(std::move(k), std::move(v));
    }
    return true;
}

// ---- TrajectoryReader ------------------------------------------------------------

struct PyReader {
    PyObject_HEAD
    TrajectoryStream* stream;   // owned; null once closed
    std::atomic<bool>* busy;    // owned; set while a thread reads
    std::atomic<bool>* cancel;  // owned; set by cancel(), from any thread
    std::size_t warned;         // warnings already raised
    std::size_t found;          // findings already raised
};

PyReader* as_reader(PyObject* self) { return reinterpret_cast<PyReader*>(self); }

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_reader(self)->stream;
    delete as_reader(self)->busy;
    delete as_reader(self)->cancel;
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

/// Raises OSError for a failure of the operating system, ValueError otherwise; a
/// file name that is not UTF-8 survives in the message.
PyObject* raise_stream_error(bool os_failed, const std::string& message) {
    return raise_message(os_failed ? PyExc_OSError : PyExc_ValueError, message, Undecodable::keep);
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", "format", "every", "start", "stop",
                                         "cell", "types", "position", nullptr};
        PyObject *path_obj = nullptr, *format_obj = nullptr, *every_obj = nullptr,
                 *start_obj = nullptr, *stop_obj = nullptr, *cell_obj = nullptr,
                 *types_obj = nullptr, *position_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOO:TrajectoryReader",
                                         const_cast<char**>(keywords), &path_obj, &format_obj,
                                         &every_obj, &start_obj, &stop_obj, &cell_obj, &types_obj,
                                         &position_obj))
            return nullptr;
        std::string path;
        StreamOptions options;
        if (!to_path_bytes(path_obj, path)) return nullptr;
        if (format_obj && format_obj != Py_None) {
            std::string name;
            if (!to_text(format_obj, "format", name)) return nullptr;
            options.format = trajectory_format_named(name);
            if (!options.format)
                return raise_value_error("unknown trajectory format '" + name +
                                         "'; kelvara reads xyz, lammps-dump and xdatcar");
        }
        if (!to_selection(every_obj, start_obj, stop_obj, options)) return nullptr;
        if (!to_cell(cell_obj, options.context.cell)) return nullptr;
        if (!to_types(types_obj, options.context.types)) return nullptr;
        std::optional<StreamPosition> resume;
        if (position_obj && position_obj != Py_None) {
            std::uint64_t offset = 0, frame = 0;
            if (!PyTuple_Check(position_obj) || PyTuple_Size(position_obj) != 2)
                return raise_argument_error("position", "expected (offset, frame) as reader.position gives it");
            if (!to_u64(PyTuple_GetItem(position_obj, 0), "position", offset) ||
                !to_u64(PyTuple_GetItem(position_obj, 1), "position", frame))
                return nullptr;
            resume = StreamPosition{offset, frame};
        }

        Result<std::unique_ptr<TrajectoryStream>> stream;
        bool os_failed = false;
        bool stopped = false;
        {
            // Telling the format reads the first lines: on an idle FIFO that waits,
            // and Ctrl-C must still stop it.
            InterruptibleRelease unlocked;
            stream = TrajectoryStream::open(path, std::move(options), resume, &os_failed);
            stopped = unlocked.interrupted();
        }
        if (stopped) return nullptr;
        if (!stream) return raise_stream_error(os_failed, stream.error());
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        auto busy = std::make_unique<std::atomic<bool>>(false);
        auto cancel = std::make_unique<std::atomic<bool>>(false);
        PyObject* self = alloc(type, 0);
        if (!self) return nullptr;
        as_reader(self)->stream = stream->release();
        as_reader(self)->busy = busy.release();
        as_reader(self)->cancel = cancel.release();
        as_reader(self)->warned = 0;
        as_reader(self)->found = 0;
        return self;
    });
}

/// The stream, marked busy; null with an exception when closed or in use.
TrajectoryStream* acquire(PyObject* self) {
    PyReader* reader = as_reader(self);
    if (!reader->stream) {
        raise_value_error("I/O operation on a closed TrajectoryReader");
        return nullptr;
    }
    if (reader->busy->exchange(true)) {
        raise_value_error("this TrajectoryReader is being read by another thread");
        return nullptr;
    }
    return reader->stream;
}

void release(PyObject* self) { as_reader(self)->busy->store(false); }

/// After Ctrl-C stopped a read part-way through a frame, the stream's place in the
/// file is unknown: close it, and return null with the signal's exception kept.
PyObject* stop_reading(PyObject* self) {
    PyReader* reader = as_reader(self);
    delete reader->stream;
    reader->stream = nullptr;
    return nullptr;
}

bool raise_new_warnings(PyObject* self) {
    PyReader* reader = as_reader(self);
    if (!reader->stream) return true;
    const auto& warnings = reader->stream->warnings();
    const std::size_t from = reader->warned;
    reader->warned = warnings.size();
    const auto& findings = reader->stream->findings();
    const std::size_t found = reader->found;
    reader->found = findings.size();
    return warn_findings(instance_state(self), findings, found) && warn_all(warnings, from);
}

/// Runs `step` on the stream of `self` without the GIL (Ctrl-C, or `cancel()` from
/// another thread, stops it) and, when `warn`, issues the warnings it adds (else they
/// wait for the next step that warns). Its value, or nothing with an exception set:
/// the reader is closed or busy, the step was stopped or failed, or a warning was
/// made an error.
template <class Step>
auto stream_step(PyObject* self, Step&& step, bool warn = true) {
    using Outcome = std::invoke_result_t<Step&, TrajectoryStream&>;
    std::optional<typename Outcome::value_type> value;
    PyReader* reader = as_reader(self);
    if (reader->stream && reader->cancel->load()) {
        stop_reading(self);
        PyErr_SetString(PyExc_InterruptedError, "the reading was cancelled");
        return value;
    }
    TrajectoryStream* stream = acquire(self);
    if (!stream) return value;
    Outcome outcome;
    bool stopped = false, cancelled = false;
    {
        InterruptibleRelease unlocked(reader->cancel);
        outcome = step(*stream);
        stopped = unlocked.interrupted();
        cancelled = unlocked.cancelled();
    }
    release(self);
    if (stopped || cancelled) {
        // Part-way through a chunk: the frames read so far are dropped with the stream.
        stop_reading(self);
        if (cancelled) PyErr_SetString(PyExc_InterruptedError, "the reading was cancelled");
        return value;
    }
    if (!outcome) {
        raise_stream_error(stream->os_failed(), outcome.error());
        return value;
    }
    if (!warn || raise_new_warnings(self)) value.emplace(std::move(*outcome));
    return value;
}

PyObject* reader_read(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"n", "warn", nullptr};
        PyObject* n_obj = nullptr;
        int warn = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|Op:read", const_cast<char**>(keywords), &n_obj,
                                         &warn))
            return nullptr;
        std::uint64_t n = 64;
        if (n_obj && !to_u64(n_obj, "n", n)) return nullptr;
        if (n == 0) return raise_value_error("n must be at least 1");
        auto chunk = stream_step(self, [n](TrajectoryStream& stream) { return stream.read(n); }, warn != 0);
        if (!chunk) return nullptr;
        PyRef structures(structure_list(instance_state(self), chunk->structures));
        if (!structures) return nullptr;
        PyRef indices(int_list(chunk->indices));
        if (!indices) return nullptr;
        return PyTuple_Pack(2, structures.get(), indices.get());
    });
}

PyObject* reader_skip(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"n", nullptr};
        PyObject* n_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:skip", const_cast<char**>(keywords), &n_obj))
            return nullptr;
        std::uint64_t n = 0;
        if (!to_u64(n_obj, "n", n)) return nullptr;
        const auto done = stream_step(self, [n](TrajectoryStream& stream) { return stream.skip(n); });
        if (!done) return nullptr;
        return PyLong_FromUnsignedLongLong(*done);
    });
}

PyObject* reader_close(PyObject* self, PyObject*) {
    PyReader* reader = as_reader(self);
    if (reader->stream) {
        if (reader->busy->load()) return raise_value_error("this TrajectoryReader is being read by another thread");
        delete reader->stream;
        reader->stream = nullptr;
    }
    Py_RETURN_NONE;
}

/// Any thread: a read in progress stops within a poll interval and raises
/// InterruptedError, and so does every later one.
PyObject* reader_cancel(PyObject* self, PyObject*) {
    as_reader(self)->cancel->store(true);
    Py_RETURN_NONE;
}

PyObject* reader_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* reader_exit(PyObject* self, PyObject*) {
    PyObject* closed = reader_close(self, nullptr);
    if (!closed) return nullptr;
    Py_DECREF(closed);
    Py_RETURN_FALSE;
}

PyObject* reader_iter(PyObject* self) { return Py_NewRef(self); }

/// Iteration yields (frame_index, structure), one kept frame at a time.
PyObject* reader_iternext(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto chunk = stream_step(self, [](TrajectoryStream& stream) { return stream.read(1); });
        if (!chunk) return nullptr;
        if (chunk->structures.empty()) return nullptr;  // StopIteration
        PyRef index(PyLong_FromUnsignedLongLong(chunk->indices[0]));
        if (!index) return nullptr;
        PyRef structure(wrap_structure(instance_state(self), std::move(chunk->structures[0])));
        if (!structure) return nullptr;
        return PyTuple_Pack(2, index.get(), structure.get());
    });
}

TrajectoryStream* open_stream(PyObject* self) {
    TrajectoryStream* stream = as_reader(self)->stream;
    if (!stream) raise_value_error("I/O operation on a closed TrajectoryReader");
    return stream;
}

PyObject* reader_position(PyObject* self, void*) {
    TrajectoryStream* stream = open_stream(self);
    if (!stream) return nullptr;
    const StreamPosition at = stream->position();
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(at.offset),
                         static_cast<unsigned long long>(at.frame));
}

PyObject* reader_format(PyObject* self, void*) {
    TrajectoryStream* stream = open_stream(self);
    if (!stream) return nullptr;
    const auto name = trajectory_format_name(stream->format());
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* reader_frames_read(PyObject* self, void*) {
    TrajectoryStream* stream = open_stream(self);
    if (!stream) return nullptr;
    return PyLong_FromUnsignedLongLong(stream->frames_read());
}

PyObject* reader_closed(PyObject* self, void*) { return PyBool_FromLong(as_reader(self)->stream == nullptr); }

PyObject* reader_warnings(PyObject* self, void*) {
    TrajectoryStream* stream = open_stream(self);
    if (!stream) return nullptr;
    return text_list(stream->warnings());
}

PyObject* reader_findings(PyObject* self, void*) {
    TrajectoryStream* stream = open_stream(self);
    if (!stream) return nullptr;
    const auto& findings = stream->findings();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(findings.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < findings.size(); ++k) {
        // As warn_findings decodes them: bytes of the file that are not UTF-8 replaced.
        PyObject* item = PyUnicode_DecodeUTF8(findings[k].data(), static_cast<Py_ssize_t>(findings[k].size()),
                                              "replace");
        if (!item) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

PyMethodDef reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_read)),
     METH_VARARGS | METH_KEYWORDS,
     "read($self, n=64, warn=True)\n--\n\n"
     "Up to n further kept frames as (structures, frame_indices); empty lists at the end.\n"
     "With warn=False the notes of this read are not issued here (a helper thread\n"
     "reads; the caller issues `findings` and `warnings` where the user sees them)."},
    {"skip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_skip)),
     METH_VARARGS | METH_KEYWORDS,
     "skip($self, n)\n--\n\nPass over up to n frames without building them; returns how many."},
    {"close", reader_close, METH_NOARGS, "close($self)\n--\n\nClose the file."},
    {"cancel", reader_cancel, METH_NOARGS,
     "cancel($self)\n--\n\nStop a read in progress on another thread (it raises InterruptedError\n"
     "within a fraction of a second and closes the reader); later reads raise it too."},
    {"__enter__", reader_enter, METH_NOARGS, nullptr},
    {"__exit__", reader_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"position", reader_position, nullptr,
     "(byte offset, frame index) of the next frame; pass it as position= to continue there.",
     nullptr},
    {"format", reader_format, nullptr, "\"xyz\", \"lammps-dump\" or \"xdatcar\".", nullptr},
    {"frames_read", reader_frames_read, nullptr, "Frames read or passed over so far.", nullptr},
    {"closed", reader_closed, nullptr, "Whether the file is closed.", nullptr},
    {"warnings", reader_warnings, nullptr, "Notes about the reading that did not stop it.", nullptr},
    {"findings", reader_findings, nullptr,
     "What the reading assumed (issued as ReadWarning), each once, in the order met.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "TrajectoryReader(path, format=None, every=1, start=0, stop=None, cell=None, types=None, "
        "position=None)\n--\n\n"
        "An open trajectory file (extended XYZ, LAMMPS text dump or VASP XDATCAR) that\n"
        "keeps its place: each read() continues where the previous one stopped, so a\n"
        "whole file read in chunks is one pass over it. Iterating yields\n"
        "(frame_index, structure). `format` names the format (default: told from the\n"
        "first lines); every/start/stop select frames; `cell` is the cell of XYZ frames\n"
        "without a Lattice field; `types` names the elements of LAMMPS atom types,\n"
        "e.g. {1: 'Si', 2: 'O'}. The file is read without the GIL; use it as a context\n"
        "manager, or call close().")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_iternext)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "kelvara.TrajectoryReader",
    static_cast<int>(sizeof(PyReader)),
    0,
    Py_TPFLAGS_DEFAULT,
    reader_slots,
};

}  // namespace

bool create_reader_type(PyObject* module, ModuleState& state) {
    state.reader_type = PyType_FromModuleAndSpec(module, &reader_spec, nullptr);
    return state.reader_type != nullptr;
}

PyObject* module_read_xyz_trajectory(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", "every", "start", "stop", "cell", nullptr};
        PyObject *path_obj = nullptr, *every_obj = nullptr, *start_obj = nullptr,
                 *stop_obj = nullptr, *cell_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOO:read_xyz_trajectory",
                                         const_cast<char**>(keywords), &path_obj, &every_obj,
                                         &start_obj, &stop_obj, &cell_obj))
            return nullptr;

        TrajectoryOptions options;
        if (!PyUnicode_Check(path_obj))
            return raise_argument_error("path", "expected str, got " + type_name(path_obj));
        std::string path;
        if (!to_path_bytes(path_obj, path)) return nullptr;
        if (!to_selection(every_obj, start_obj, stop_obj, options)) return nullptr;
        if (!to_cell(cell_obj, options.cell)) return nullptr;

        Result<Trajectory> trajectory;
        bool os_failed = false, stopped = false;
        {
            InterruptibleRelease unlocked;  // no Python object is touched while reading
            trajectory = read_xyz_trajectory(path, options, &os_failed);
            stopped = unlocked.interrupted();
        }
        if (stopped) return nullptr;
        if (!trajectory) return raise_stream_error(os_failed, trajectory.error());
        if (!warn_findings(module_state(module), trajectory->findings) || !warn_all(trajectory->warnings))
            return nullptr;
        PyRef structures(structure_list(module_state(module), trajectory->structures));
        if (!structures) return nullptr;
        PyRef indices(int_list(trajectory->frame_indices));
        if (!indices) return nullptr;
        PyRef frames_read(PyLong_FromUnsignedLongLong(trajectory->frames_read));
        if (!frames_read) return nullptr;
        return PyTuple_Pack(3, structures.get(), indices.get(), frames_read.get());
    });
}

}  // namespace kelvara::py
