// The interface every trajectory format implements: read or pass over one frame.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/lattice.hpp"      // for Mat3
#include "core/line_reader.hpp"  // for LineReader
#include "core/result.hpp"       // for Result
#include "core/structure.hpp"    // for Structure

namespace kelvara {

/// At most the first 60 bytes of `text` (cut on a character boundary) followed by
/// "..." when longer, so that a message quotes a bounded piece of a line.
inline std::string excerpt(std::string_view text) {
    constexpr std::size_t keep = 60;
    if (text.size() <= keep) return std::string(text);
    std::size_t cut = keep;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "...";
}

/// What a format may need besides the text: the cell of XYZ frames without a
/// Lattice field, and names for atom types (LAMMPS type -> element; for an
/// XDATCAR without element names, "1", "2", ... in species order -> element).
struct FrameContext {
    std::optional<Mat3> cell;
    std::vector<std::pair<std::string, std::string>> types;
};

/// One trajectory format. `next` reads frame `index` from `lines`, building it into
/// `out` only when `keep` (a frame passed over costs only the reading of its lines
/// where the format allows). Messages name the frame.
class FrameFormat {
public:
    enum class Next { frame, end };
    virtual ~FrameFormat() = default;

    /// Reads what precedes the first frame (the XDATCAR header); nothing by default.
    virtual Result<void> header(LineReader&) { return {}; }
    virtual Result<Next> next(LineReader& lines, std::uint64_t index, bool keep,
                              std::optional<Structure>& out) = 0;

    /// Set when the last failure was the end of the file inside a frame, so that a
    /// file still being written can be told from a truncated one.
    bool cut_short = false;

protected:
    /// "error reading {what}: {description}" for a failed line read.
    static std::string read_error(const char* what, const std::string& description) {
        return std::string("error reading ") + what + ": " + description;
    }
};

}  // namespace kelvara
