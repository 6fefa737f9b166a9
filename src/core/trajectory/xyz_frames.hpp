// XYZ trajectory frames: the comment-line fields, the frame builder and the frame format.
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

/// The XYZ frame format (atom count, comment, atom lines), for TrajectoryStream.
std::unique_ptr<FrameFormat> xyz_format(const FrameContext& context);

}  // namespace kelvara
