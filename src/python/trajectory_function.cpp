// read_xyz_trajectory: the module-level trajectory reader.
#include "python/members.hpp"

#include <optional>
#include <string>
#include <vector>

#include "core/trajectory.hpp"
#include "python/convert.hpp"
#include "python/structure_type.hpp"

namespace kelvara::py {

namespace {

/// (structures, frame_indices, frames_read) as new Python objects.
PyObject* trajectory_tuple(Trajectory&& trajectory) {
    PyRef structures(PyList_New(static_cast<Py_ssize_t>(trajectory.structures.size())));
    if (!structures) return nullptr;
    for (std::size_t k = 0; k < trajectory.structures.size(); ++k) {
        PyObject* item = wrap_structure(std::move(trajectory.structures[k]));
        if (!item) return nullptr;
        PyList_SetItem(structures.get(), static_cast<Py_ssize_t>(k), item);  // steals item
    }
    PyRef indices(int_list(trajectory.frame_indices));
    if (!indices) return nullptr;
    PyRef frames_read(PyLong_FromUnsignedLongLong(trajectory.frames_read));
    if (!frames_read) return nullptr;
    return PyTuple_Pack(3, structures.get(), indices.get(), frames_read.get());
}

}  // namespace

PyObject* module_read_xyz_trajectory(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", "every", "start", "stop", "cell", nullptr};
        PyObject *path_obj = nullptr, *every_obj = nullptr, *start_obj = nullptr,
                 *stop_obj = nullptr, *cell_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOO:read_xyz_trajectory",
                                         const_cast<char**>(keywords), &path_obj, &every_obj,
                                         &start_obj, &stop_obj, &cell_obj))
            return nullptr;

        std::string path;
        TrajectoryOptions options;
        if (!to_text(path_obj, "path", path)) return nullptr;
        if (every_obj && !to_u64(every_obj, "every", options.every)) return nullptr;
        if (start_obj && !to_u64(start_obj, "start", options.start)) return nullptr;
        if (stop_obj && stop_obj != Py_None) {
            std::uint64_t stop = 0;
            if (!to_u64(stop_obj, "stop", stop)) return nullptr;
            options.stop = stop;
        }
        if (cell_obj && cell_obj != Py_None) {
            std::vector<std::vector<double>> rows;
            if (!to_rows(cell_obj, "cell", rows)) return nullptr;
            if (rows.size() != 3 || rows[0].size() != 3 || rows[1].size() != 3 ||
                rows[2].size() != 3)
                return raise_value_error("cell must be 3x3");
            Mat3 cell{};
            for (std::size_t r = 0; r < 3; ++r)
                for (std::size_t c = 0; c < 3; ++c) cell[r][c] = rows[r][c];
            options.cell = cell;
        }

        Result<Trajectory> trajectory;
        {
            GilRelease unlocked;  // no Python object is touched while reading
            trajectory = read_xyz_trajectory(path, options);
        }
        if (!trajectory) return raise_value_error(trajectory.error());
        return trajectory_tuple(std::move(*trajectory));
    });
}

}  // namespace kelvara::py
