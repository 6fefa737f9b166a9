// Trajectory files read a chunk of frames at a time, keeping their place in the file.
#include "core/trajectory/trajectory_stream.hpp"

#include <array>
#include <utility>

#include "core/trajectory/lammps_dump.hpp"  // for lammps_dump_format
#include "core/util/memory.hpp"       // for fits_in_memory
#include "core/util/number.hpp"       // for parse_unsigned
#include "core/util/text.hpp"         // for trim, split_lines, ascii_lower
#include "core/trajectory/xyz_frames.hpp"   // for xyz_format
#include "core/trajectory/xdatcar.hpp"      // for xdatcar_format

namespace kelvara {

namespace {

/// Every trajectory format: its name, the other names it goes by (lower case), and
/// the reader of its frames. A new format is one more row (and a rule in
/// `trajectory_format_of_text` when its first lines tell it).
struct FormatEntry {
    TrajectoryFormat format;
    std::string_view name;
    std::array<std::string_view, 3> aliases;
    std::unique_ptr<FrameFormat> (*make)(const FrameContext& context);
};
constexpr FormatEntry format_table[] = {
    {TrajectoryFormat::xyz, "xyz", {"extxyz"}, xyz_format},
    {TrajectoryFormat::lammps_dump, "lammps-dump", {"lammps", "dump", "lammpstrj"}, lammps_dump_format},
    {TrajectoryFormat::xdatcar, "xdatcar", {}, xdatcar_format},
};

const FormatEntry& entry_of(TrajectoryFormat format) {
    for (const FormatEntry& entry : format_table)
        if (entry.format == format) return entry;
    return format_table[0];
}

}  // namespace

std::string_view trajectory_format_name(TrajectoryFormat format) { return entry_of(format).name; }

std::optional<TrajectoryFormat> trajectory_format_named(std::string_view name) {
    const std::string lower = ascii_lower(name);
    for (const FormatEntry& entry : format_table) {
        if (entry.name == lower) return entry.format;
        for (std::string_view alias : entry.aliases)
            if (!alias.empty() && alias == lower) return entry.format;
    }
    return std::nullopt;
}

std::optional<TrajectoryFormat> trajectory_format_of_text(std::string_view head) {
    const auto lines = split_lines(head);
    // An XDATCAR has a "Direct configuration=" line after its short header.
    for (std::size_t k = 0; k < lines.size() && k < 12; ++k) {
        const std::string lower = ascii_lower(trim(lines[k]));
        if (lower.starts_with("direct configuration") || lower.starts_with("cartesian configuration"))
            return TrajectoryFormat::xdatcar;
    }
    for (auto line : lines) {
        line = trim(line);
        if (line.empty()) continue;
        if (line.starts_with("ITEM:")) return TrajectoryFormat::lammps_dump;
        if (parse_unsigned(line)) return TrajectoryFormat::xyz;
        return std::nullopt;
    }
    return std::nullopt;
}

namespace {

std::unique_ptr<FrameFormat> make_format(TrajectoryFormat format, const FrameContext& context) {
    return entry_of(format).make(context);
}

}  // namespace

Result<std::unique_ptr<TrajectoryStream>> TrajectoryStream::open(
    const std::string& path, StreamOptions options, std::optional<StreamPosition> resume,
    bool* os_failed) {
    if (options.every == 0) return fail("every must be at least 1");
    std::unique_ptr<TrajectoryStream> stream(new TrajectoryStream());
    struct Report {  // tells the caller, on every way out, whether the system failed
        bool* out;
        const LineReader& lines;
        ~Report() {
            if (out) *out = lines.os_failed();
        }
    } report{os_failed, stream->lines_};
    std::string error;
    if (!stream->lines_.open(path, error)) return fail("could not open " + path + ": " + error);
    if (!options.format) {
        std::string_view head;
        if (!stream->lines_.peek(4096, head, error))
            return fail("error reading the first lines: " + error);
        options.format = trajectory_format_of_text(head);
        if (!options.format)
            return fail("cannot tell the trajectory format of " + path +
                        " from its first lines; name it (xyz, lammps-dump or xdatcar)");
    }
    stream->format_ = *options.format;
    stream->frames_ = make_format(stream->format_, options.context);
    stream->options_ = std::move(options);
    if (auto header = stream->frames_->header(stream->lines_); !header)
        return fail(std::move(header.error()));
    if (resume && (resume->offset != stream->lines_.offset() || resume->frame != 0)) {
        if (!stream->lines_.seek(resume->offset, error))
            return fail("could not continue reading " + path + " at byte " +
                        std::to_string(resume->offset) + ": " + error);
        stream->index_ = resume->frame;
    }
    if (stream->options_.stop && *stream->options_.stop == 0) stream->finished_ = true;
    return stream;
}

Result<bool> TrajectoryStream::step(bool keep, std::optional<Structure>& out) {
    if (finished_) return false;
    frames_->cut_short = false;
    auto next = frames_->next(lines_, index_, keep, out);
    if (!next) {
        if (frames_->cut_short && lines_.grew()) {
            // A simulation is still writing this frame: stop before it.
            warnings_.push_back("the file grew while it was read; frames from " +
                                std::to_string(index_) + " on were written after it was opened "
                                "and are not read");
            finished_ = true;
            out.reset();
            return false;
        }
        finished_ = true;
        return fail(std::move(next.error()));
    }
    if (*next == FrameFormat::Next::end) {
        finished_ = true;
        return false;
    }
    ++index_;
    if (options_.stop && index_ >= *options_.stop) finished_ = true;
    return true;
}

Result<FrameChunk> TrajectoryStream::read(std::uint64_t max_kept) {
    FrameChunk chunk;
    std::optional<Structure> frame;
    while (chunk.structures.size() < max_kept && !finished_) {
        const std::uint64_t i = index_;
        const bool keep = i >= options_.start && (i - options_.start) % options_.every == 0;
        auto more = step(keep, frame);
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        if (keep) {
            chunk.structures.push_back(std::move(*frame));
            chunk.indices.push_back(i);
            frame.reset();
            ++kept_;
        }
    }
    if (chunk.structures.empty() && finished_ && kept_ == 0) {
        if (index_ == 0) return fail("no frames found in the file");
        return fail("the file has " + std::to_string(index_) +
                    " frame(s) but none matched start/every/stop");
    }
    return chunk;
}

Result<std::uint64_t> TrajectoryStream::skip(std::uint64_t n) {
    std::optional<Structure> unused;
    std::uint64_t done = 0;
    while (done < n) {
        auto more = step(false, unused);
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        ++done;
    }
    return done;
}

Result<Trajectory> read_xyz_trajectory(const std::string& path, const TrajectoryOptions& options,
                                       bool* os_failed) {
    StreamOptions stream_options;
    stream_options.every = options.every;
    stream_options.start = options.start;
    stream_options.stop = options.stop;
    stream_options.context.cell = options.cell;
    stream_options.format = TrajectoryFormat::xyz;
    auto stream = TrajectoryStream::open(path, std::move(stream_options), std::nullopt, os_failed);
    if (!stream) return fail(std::move(stream.error()));
    struct Report {
        bool* out;
        const TrajectoryStream& stream;
        ~Report() {
            if (out) *out = stream.os_failed();
        }
    } report{os_failed, **stream};
    Trajectory result;
    std::uint64_t sites = 0;
    for (;;) {
        auto chunk = (*stream)->read(256);
        if (!chunk) return fail(std::move(chunk.error()));
        if (chunk->structures.empty()) break;
        for (std::size_t k = 0; k < chunk->structures.size(); ++k) {
            sites += chunk->structures[k].sites.size();
            result.structures.push_back(std::move(chunk->structures[k]));
            result.frame_indices.push_back(chunk->indices[k]);
        }
        // Every kept frame stays in memory: refuse a selection the machine cannot hold
        // (an endless stream of frames included) before it is exhausted.
        if (!fits_in_memory(sites, 512))
            return fail("the selected frames hold " + std::to_string(sites) +
                        " atoms, more than this machine's memory can keep at once; select "
                        "fewer frames (every, stop) or stream them with TrajectoryReader");
    }
    result.frames_read = (*stream)->frames_read();
    result.warnings = (*stream)->warnings();
    result.findings = (*stream)->findings();
    return result;
}

}  // namespace kelvara
