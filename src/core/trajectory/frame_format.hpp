// The interface every trajectory format implements: read or pass over one frame.
#pragma once

#include <algorithm>  // for std::min
#include <cstdint>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/model/elements.hpp"     // for is_element
#include "core/readers/findings.hpp"     // for Warnings
#include "core/readers/formats.hpp"      // for dropped_letter_note
#include "core/model/lattice.hpp"      // for Mat3
#include "core/util/line_reader.hpp"  // for LineReader
#include "core/util/result.hpp"       // for Result
#include "core/model/structure.hpp"    // for Structure
#include "core/util/text.hpp"         // for whitespace_length_at, excerpt

namespace kelvara {

/// The species words met in atom lines, each with the fully occupied species list
/// it reads as, so that a word is worked out once however many atoms repeat it.
class SpeciesWords {
public:
    void clear() { entries_.clear(); }
    /// The list of `written`, or null when it has not been added.
    const SpeciesList* find(std::string_view written) const {
        for (const Entry& entry : entries_)
            if (entry.written == written) return &entry.species;
        return nullptr;
    }
    const SpeciesList& add(std::string_view written, std::string symbol) {
        entries_.push_back({std::string(written), SpeciesList{{std::move(symbol), 1.0}}});
        return entries_.back().species;
    }

private:
    struct Entry {
        std::string written;
        SpeciesList species;
    };
    std::vector<Entry> entries_;
};

/// What a format may need besides the text: the cell of XYZ frames without a
/// Lattice field, and names for atom types (LAMMPS type -> element; for an
/// XDATCAR without element names, "1", "2", ... in species order -> element).
struct FrameContext {
    std::optional<Mat3> cell;
    std::vector<std::pair<std::string, std::string>> types;
};

/// What a trajectory read finds that the single-structure readers would say too (a
/// species that is not a chemical element), each finding once per read however many
/// frames repeat it.
class FrameFindings {
public:
    /// Notes `symbol`, the species read from `written`; `place()` names where
    /// ("frame 0, atom line 3") the first time it is not an element.
    template <class Place>
    void species(std::string_view written, const std::string& symbol, Place&& place) {
        if (symbol.size() == 1 && written.size() > 1 && !dropped_.contains(std::string(written))) {
            std::string note = dropped_letter_note(written, symbol, "in " + place());
            if (!note.empty()) {
                dropped_.insert(std::string(written));
                list.push_back(std::move(note));
            }
        }
        if (symbol == last_) return;  // atoms of one species come in runs
        last_ = symbol;
        if (!checked_.insert(symbol).second) return;
        if (!is_element(symbol))
            not_elements_.note(symbol, [&] {
                return "species " + quoted(written) + " in " + place() + " reads as " + quoted(symbol) +
                       ", which is not a chemical element";
            }, list);
    }

    /// The findings so far, in the order they were met.
    Warnings list;

private:
    std::unordered_set<std::string> checked_;
    std::unordered_set<std::string> dropped_;  // names with a dropped letter, said once
    std::string last_;
    NotElementNotes not_elements_;
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
    /// What the reading found that the caller must hear about.
    FrameFindings findings;

protected:
    /// "error reading {what}: {description}" for a failed line read.
    static std::string read_error(const char* what, const std::string& description) {
        return std::string("error reading ") + what + ": " + description;
    }
    static std::string where(std::uint64_t index) { return "frame " + std::to_string(index); }

    /// The next line of frame `index`, which must hold `what`: a read error or the end
    /// of the file fails naming the frame (the end also sets `cut_short`).
    Result<std::string_view> need(LineReader& lines, std::uint64_t index, const char* what) {
        std::string_view line;
        std::string error;
        const auto status = lines.next(line, error);
        if (status == LineReader::Status::error)
            return fail(where(index) + ": " + read_error(what, error));
        if (status == LineReader::Status::end_of_file) {
            cut_short = true;
            return fail(where(index) + " ends before " + what);
        }
        return line;
    }
};

}  // namespace kelvara
