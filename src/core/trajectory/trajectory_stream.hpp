// Trajectory files read a chunk of frames at a time, keeping their place in the file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/trajectory/frame_format.hpp"  // for FrameFormat, FrameContext
#include "core/util/line_reader.hpp"   // for LineReader
#include "core/util/result.hpp"
#include "core/model/structure.hpp"

namespace kelvara {

enum class TrajectoryFormat { xyz, lammps_dump, xdatcar };

/// "xyz", "lammps-dump" or "xdatcar".
std::string_view trajectory_format_name(TrajectoryFormat format);
/// The format of a name as above ("extxyz", "lammps", "dump" accepted too), or nothing.
std::optional<TrajectoryFormat> trajectory_format_named(std::string_view name);
/// The format of a text from its first lines, or nothing when they do not tell.
std::optional<TrajectoryFormat> trajectory_format_of_text(std::string_view head);

/// Frame selection, and what the formats need besides the text.
struct StreamOptions {
    /// Keep frames start, start + every, ...; 0 is refused.
    std::uint64_t every = 1;
    std::uint64_t start = 0;
    /// Frames with index >= stop are not read at all; nothing means to the end.
    std::optional<std::uint64_t> stop;
    FrameContext context;
    /// Nothing: told from the first lines of the file.
    std::optional<TrajectoryFormat> format;
};

/// Where the next frame starts: a byte offset and its frame index.
struct StreamPosition {
    std::uint64_t offset = 0;
    std::uint64_t frame = 0;
};

/// Kept frames and their 0-based indices in the file.
struct FrameChunk {
    std::vector<Structure> structures;
    std::vector<std::uint64_t> indices;
};

/// One open trajectory file. Each `read` continues where the previous one stopped,
/// so reading a whole file in chunks is one pass over it, and memory holds one
/// chunk. A regular file is read up to the size it had when it was opened: when a
/// simulation is still appending to it, a last frame cut short by that size ends
/// the reading with a warning instead of failing.
class TrajectoryStream {
public:
    /// Opens `path`; with `resume`, reading continues at that position (a regular
    /// file; the XDATCAR header is read from the start first). `os_failed`, when
    /// given, tells whether a failure came from the operating system.
    static Result<std::unique_ptr<TrajectoryStream>> open(
        const std::string& path, StreamOptions options,
        std::optional<StreamPosition> resume = std::nullopt, bool* os_failed = nullptr);

    /// Up to `max_kept` further kept frames; an empty chunk once the selection is
    /// exhausted. Fails with "no frames found in the file" or "the file has {} frame(s)
    /// but none matched start/every/stop" when the end comes and nothing was kept.
    Result<FrameChunk> read(std::uint64_t max_kept);

    /// Passes over up to `n` frames (without building them); returns how many.
    Result<std::uint64_t> skip(std::uint64_t n);

    StreamPosition position() const { return {lines_.offset(), index_}; }
    TrajectoryFormat format() const { return format_; }
    /// Frames read or passed over so far (the index of the next frame).
    std::uint64_t frames_read() const { return index_; }
    std::uint64_t kept() const { return kept_; }
    bool finished() const { return finished_; }
    /// Things the caller should be told that did not stop the reading.
    const std::vector<std::string>& warnings() const { return warnings_; }
    /// What the reading assumed that the single-structure readers would say too (a
    /// species that is not an element), each once, in the order met.
    const std::vector<std::string>& findings() const { return frames_->findings.list; }
    /// Whether the last failure came from the operating system (an OSError).
    bool os_failed() const { return lines_.os_failed(); }

private:
    TrajectoryStream() = default;
    /// Reads or passes over frame `index_`; false at the end of the selection.
    Result<bool> step(bool keep, std::optional<Structure>& out);

    LineReader lines_;
    std::unique_ptr<FrameFormat> frames_;
    StreamOptions options_;
    TrajectoryFormat format_ = TrajectoryFormat::xyz;
    std::uint64_t index_ = 0;
    std::uint64_t kept_ = 0;
    bool finished_ = false;
    std::vector<std::string> warnings_;
};

/// Which frames of a trajectory to keep and the fallback cell.
struct TrajectoryOptions {
    /// Keep frames start, start + every, ...; 0 is refused.
    std::uint64_t every = 1;
    std::uint64_t start = 0;
    /// Frames with index >= stop are not read at all; nothing means to the end.
    std::optional<std::uint64_t> stop;
    /// The cell of frames whose comment has no Lattice field.
    std::optional<Mat3> cell;
};

/// The result of one read.
struct Trajectory {
    /// The kept frames, in file order.
    std::vector<Structure> structures;
    /// The 0-based file index of each kept frame.
    std::vector<std::uint64_t> frame_indices;
    /// Frames read from the start of the file: all of them, or `stop` when reading ended there.
    std::uint64_t frames_read = 0;
    /// Notes that did not stop the reading (a file that grew while it was read).
    std::vector<std::string> warnings;
    /// Assumptions the reading made (a species that is not an element), each once.
    std::vector<std::string> findings;
};

/// Streams the file at `path` once, holding only the current kept frame's lines,
/// and builds the selected frames. Every failure is the message the user sees.
/// `os_failed`, when given, tells whether a failure came from the operating system.
Result<Trajectory> read_xyz_trajectory(const std::string& path, const TrajectoryOptions& options,
                                       bool* os_failed = nullptr);

}  // namespace kelvara
