// Multi-frame XYZ trajectories: the per-frame parser and the streaming reader.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/trajectory/frame_format.hpp"  // for FrameFormat, FrameContext
#include "core/model/lattice.hpp"    // for Mat3
#include "core/util/result.hpp"     // for Result
#include "core/model/structure.hpp"  // for Structure

namespace kelvara {

/// The value of the first `key=` field of an XYZ comment line, or nothing. Keys match
/// ASCII-case-insensitively and must start the comment or follow an ASCII whitespace
/// byte (not vertical tab); there is no quoting awareness in the search. A value
/// starting with '"' runs to the next '"' (or the end); otherwise to the first
/// whitespace. The result is a slice of `comment`, in its own letter case.
std::optional<std::string_view> comment_value(std::string_view comment, std::string_view key);

/// Builds one XYZ frame line by line: `begin` with the comment line, `add` each atom
/// line as a `LineReader` returns it (no copy of the text), then `finish`. The cell
/// comes from `Lattice="..."` (else `cell`, else an error naming the frame), the
/// columns from `Properties=` (default species 0, pos 1-3), and each atom line is a
/// fully occupied site at the fractional position of its x, y, z. A species that is
/// not an element is kept and noted. The working arrays are kept from frame to frame.
class XyzFrameBuilder {
public:
    Result<void> begin(std::string_view comment, const std::optional<Mat3>& cell, std::uint64_t frame);
    void reserve(std::size_t atoms) { sites_.reserve(atoms); }
    Result<void> add(std::string_view line);
    /// The frame; its species that are not elements go into `findings` here, so a
    /// frame that is never finished notes nothing.
    Result<Structure> finish(FrameFindings& findings);

private:
    struct FirstSeen {
        std::string written, symbol;
        std::size_t line;
    };
    std::uint64_t frame_ = 0;
    Lattice lattice_;
    std::uint64_t species_column_ = 0, x_column_ = 1, min_tokens_ = 4;
    std::vector<Site> sites_;
    std::vector<FirstSeen> first_seen_;  // each species of the frame where it first occurs
    SpeciesWords species_words_;         // the species words of the frame so far
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

/// The XYZ frame format (atom count, comment, atom lines), for TrajectoryStream.
std::unique_ptr<FrameFormat> xyz_format(const FrameContext& context);

/// Streams the file at `path` once, holding only the current kept frame's lines,
/// and builds the selected frames. Every failure is the message the user sees.
/// `os_failed`, when given, tells whether a failure came from the operating system.
Result<Trajectory> read_xyz_trajectory(const std::string& path, const TrajectoryOptions& options,
                                       bool* os_failed = nullptr);

}  // namespace kelvara
