// VASP XDATCAR trajectories (fixed or varying cell) read frame by frame.
#include "core/trajectory/xdatcar.hpp"

#include <algorithm>  // for std::min, std::max
#include <cmath>  // for std::cbrt, std::isfinite, std::abs
#include <string>
#include <utility>
#include <vector>

#include "core/readers/formats.hpp"  // for clean_symbol
#include "core/util/number.hpp"   // for parse_decimal, parse_unsigned
#include "core/util/number_scan.hpp"  // for LineWords
#include "core/util/text.hpp"     // for trim, for_each_word, ascii_lower

namespace kelvara {

namespace {

/// Up to `max` numbers of a line; false when a word is not a number or there are more.
bool numbers(std::string_view line, double* out, std::size_t max, std::size_t& count) {
    count = 0;
    bool ok = true;
    for_each_word(line, [&](std::string_view token) {
        if (count == max) return ok = false;
        auto value = parse_decimal(token);
        if (!value) return ok = false;
        out[count++] = *value;
        return true;
    });
    return ok;
}

bool is_configuration_line(std::string_view line) {
    const std::string lower = ascii_lower(trim(line).substr(0, 9));
    return lower.starts_with("direct") || lower.starts_with("cartesian");
}

class Xdatcar final : public FrameFormat {
public:
    explicit Xdatcar(const FrameContext& context) : types_(context.types) {}

    Result<void> header(LineReader& lines) override {
        std::string_view first;
        auto line = next_nonblank(lines, 0, first);
        if (!line) return fail(std::move(line.error()));
        if (!*line) return {};  // empty file: "no frames found" follows
        return read_header(lines, 0, first);
    }

    Result<Next> next(LineReader& lines, std::uint64_t index, bool keep,
                      std::optional<Structure>& out) override {
        std::string_view line;
        auto found = next_nonblank(lines, index, line);
        if (!found) return fail(std::move(found.error()));
        if (!*found) return Next::end;
        if (!is_configuration_line(line)) {
            // A varying cell: the header comes again before each configuration.
            auto header = read_header(lines, index, line);
            if (!header) return fail(std::move(header.error()));
            auto config = need(lines, index, "its configuration line");
            if (!config) return fail(std::move(config.error()));
            line = *config;
            if (!is_configuration_line(line))
                return fail(where(index) + ": expected 'Direct configuration=', found " +
                            quoted(line));
        }
        if (!lattice_) return fail(where(index) + " has no cell header before it");
        const bool cartesian = ascii_lower(trim(line)).starts_with("c");
        std::vector<Site> sites;
        // The counts come from the file: reserve at most what the last frame held.
        if (keep) sites.reserve(static_cast<std::size_t>(
                      std::min<std::uint64_t>(n_atoms_, std::max<std::size_t>(last_atoms_, 4096))));
        std::size_t element = 0;     // the element of atom k ...
        std::uint64_t element_end = counts_.empty() ? 0 : counts_[0];  // ... ends before this atom
        for (std::uint64_t k = 0; k < n_atoms_; ++k) {
            while (k >= element_end) element_end += counts_[++element];
            auto coordinates = need(lines, index, "all its atoms");
            if (!coordinates) {
                if (cut_short)
                    return fail(where(index) + " ends after " + std::to_string(k) + " of " +
                                std::to_string(n_atoms_) + " atoms");
                return fail(std::move(coordinates.error()));
            }
            if (!keep) continue;
            // Exactly three words, each a coordinate.
            double p[3];
            LineWords words(*coordinates);
            bool ok = true;
            for (std::size_t a = 0; ok && a < 3; ++a) {
                std::string_view text;
                ok = words.coordinate(p[a], text) == LineWords::Number::value;
            }
            std::string_view extra;
            if (ok && words.word(extra)) ok = false;
            if (!ok) {
                if (is_configuration_line(*coordinates))
                    return fail(where(index) + " has " + std::to_string(k) + " atom lines, but "
                                "its header counts " + std::to_string(n_atoms_) + " atoms");
                return fail(where(index) + ", atom line " + std::to_string(k + 1) +
                            ": expected three coordinates, found " + quoted(*coordinates));
            }
            sites.emplace_back(species_[element],
                               cartesian ? lattice_->to_fractional({p[0] * scale_, p[1] * scale_, p[2] * scale_})
                                         : Vec3{p[0], p[1], p[2]});
        }
        if (keep) {
            auto structure = Structure::new_(*lattice_, std::move(sites));
            if (!structure) return fail(where(index) + ": " + structure.error());
            out = std::move(*structure);
            last_atoms_ = static_cast<std::size_t>(n_atoms_);
        }
        return Next::frame;
    }

private:
    /// The next line that is not blank; false at the end of the file.
    Result<bool> next_nonblank(LineReader& lines, std::uint64_t index, std::string_view& line) {
        std::string error;
        LineReader::Status status;
        while ((status = lines.next(line, error)) == LineReader::Status::line && trim(line).empty()) {
        }
        if (status == LineReader::Status::error)
            return fail(where(index) + ": " + read_error("a line", error));
        return status == LineReader::Status::line;
    }

    /// The header after its comment line: scale, lattice, names, counts.
    Result<void> read_header(LineReader& lines, std::uint64_t index, std::string_view) {
        auto bad = [&](const std::string& what, std::string_view line) {
            return fail(where(index) + ": cannot read the " + what + " of the cell header, found " +
                        quoted(line));
        };
        auto scale_line = need(lines, index, "its cell header");
        if (!scale_line) return fail(std::move(scale_line.error()));
        double scale[3];
        std::size_t n = 0;
        if (!numbers(*scale_line, scale, 3, n) || (n != 1 && n != 3) || !std::isfinite(scale[0]) ||
            scale[0] == 0.0)
            return bad("scale factor", *scale_line);
        if (n == 3) return fail(where(index) + ": a scale factor per axis is not read");
        Mat3 rows{};
        for (std::size_t r = 0; r < 3; ++r) {
            auto row = need(lines, index, "its cell header");
            if (!row) return fail(std::move(row.error()));
            if (!numbers(*row, rows[r].data(), 3, n) || n != 3)
                return bad("lattice vector " + std::to_string(r + 1), *row);
        }
        double factor = scale[0];
        if (factor < 0.0) {  // a negative scale is the cell volume
            auto unscaled = Lattice::new_(rows);
            if (!unscaled) return fail(where(index) + ": " + unscaled.error());
            factor = std::cbrt(-factor / std::abs(unscaled->determinant()));
        }
        for (auto& row : rows)
            for (double& x : row) x *= factor;
        auto lattice = Lattice::new_(rows);
        if (!lattice) return fail(where(index) + ": " + lattice.error());

        auto names_line = need(lines, index, "its cell header");
        if (!names_line) return fail(std::move(names_line.error()));
        std::vector<std::string> names;
        std::vector<std::uint64_t> counts;
        bool all_counts = true;
        for_each_word(*names_line, [&](std::string_view token) {
            names.emplace_back(token);
            if (!parse_unsigned(token)) all_counts = false;
            return true;
        });
        std::string_view counts_text = *names_line;
        if (all_counts) {  // the VASP 4 layout: counts and no names
            names.clear();
            std::size_t k = 0;
            bool ok = true;
            for_each_word(counts_text, [&](std::string_view) {
                const std::string key = std::to_string(++k);
                const std::string* element = nullptr;
                for (const auto& [type, name] : types_)
                    if (type == key) element = &name;
                if (!element) return ok = false;
                findings.species(*element, *element, [&] { return where(index) + ", type " + key; });
                names.push_back(*element);
                return true;
            });
            if (!ok || names.empty())
                return fail(where(index) + ": the XDATCAR names no elements (VASP 4 layout); "
                            "name them in order, e.g. types={1: 'Si', 2: 'O'}");
        } else {
            auto counts_line = need(lines, index, "its cell header");
            if (!counts_line) return fail(std::move(counts_line.error()));
            counts_text = *counts_line;
            for (auto& name : names) {
                std::string symbol = clean_symbol(name);
                findings.species(name, symbol, [&] { return where(index) + ", the element line"; });
                name = std::move(symbol);
            }
        }
        bool ok = true;
        for_each_word(counts_text, [&](std::string_view token) {
            auto count = parse_unsigned(token);
            if (!count) return ok = false;
            counts.push_back(*count);
            return true;
        });
        if (!ok || counts.size() != names.size())
            return bad("atom counts", counts_text);
        std::uint64_t total = 0;
        for (auto c : counts) {
            if (c > (std::uint64_t{1} << 40) - total)
                return bad("atom counts", counts_text);
            total += c;
        }
        elements_ = std::move(names);
        species_.clear();
        for (const std::string& name : elements_) species_.push_back(SpeciesList{{name, 1.0}});
        counts_ = std::move(counts);
        n_atoms_ = total;
        lattice_ = *lattice;
        scale_ = factor;
        return {};
    }

    std::vector<std::pair<std::string, std::string>> types_;
    std::optional<Lattice> lattice_;
    double scale_ = 1.0;
    std::vector<std::string> elements_;
    std::vector<SpeciesList> species_;  // each of elements_, fully occupied
    std::size_t last_atoms_ = 0;        // atoms of the last kept frame
    std::vector<std::uint64_t> counts_;  // atoms of every element, in file order
    std::uint64_t n_atoms_ = 0;
};

}  // namespace

std::unique_ptr<FrameFormat> xdatcar_format(const FrameContext& context) {
    return std::make_unique<Xdatcar>(context);
}

}  // namespace kelvara
