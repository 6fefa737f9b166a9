// Probe of the core on the system it runs on: processors, memory, file reads through
// the platform layer (a UTF-8 name, CRLF lines, seeking, growth, a missing file), the
// worker pools, and one RDF whose counts are known, alike for every thread count.
// Prints "OK what" or "BAD what: detail" per check, then "N passed, N failed".
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <string>

#include "core/rdf/pool.hpp"
#include "core/rdf/rdf.hpp"
#include "core/readers/formats.hpp"
#include "core/util/line_reader.hpp"
#include "core/util/memory.hpp"
#include "core/util/number.hpp"
#include "core/util/platform.hpp"

using namespace kelvara;

namespace {

int passed = 0, failed = 0;

void check(bool ok, const char* what, const std::string& detail = "") {
    if (ok) {
        ++passed;
        std::printf("OK %s\n", what);
    } else {
        ++failed;
        std::printf("BAD %s: %s\n", what, detail.c_str());
    }
}

void check_system() {
    check(platform::processor_count() >= 1, "processor count");
    const std::uint64_t physical = platform::physical_memory_bytes();
    check(physical >= (std::uint64_t{64} << 20), "physical memory", std::to_string(physical));
    const std::uint64_t available = available_memory_bytes();
    check(available > 0 && available <= physical, "available memory", std::to_string(available));
    check(!fits_in_memory(UINT64_MAX / 8, 4) && fits_in_memory(1000, 8), "allocation guard");
    std::uint64_t product = 0;
    check(multiply_overflows(std::uint64_t{1} << 32, std::uint64_t{1} << 32, product) &&
              !multiply_overflows(std::uint64_t{1} << 31, std::uint64_t{1} << 32, product) &&
              product == std::uint64_t{1} << 63,
          "overflow test");
}

/// All lines from the current position to the end, joined by '|'.
std::string rest(LineReader& reader, std::string& error) {
    std::string out;
    std::string_view line;
    LineReader::Status status;
    while ((status = reader.next(line, error)) == LineReader::Status::line) out.append(line).append("|");
    if (status == LineReader::Status::error) out += "error: " + error;
    return out;
}

void check_files(const std::filesystem::path& folder) {
    // A name beyond ASCII: the readers take UTF-8 paths on every system.
    const std::filesystem::path path = folder / std::filesystem::path(u8"kelvara-probe-\u00e5.txt");
    { std::ofstream(path, std::ios::binary) << "first\r\nsecond\nthird\r\n"; }
    const std::u8string name = path.u8string();
    const std::string utf8(name.begin(), name.end());
    std::string error;
    {  // closed before the file is removed (Windows refuses to remove an open file)
        LineReader reader;
        check(reader.open(utf8, error), "open a UTF-8 name", error);
        check(rest(reader, error) == "first|second|third|", "CRLF and LF lines");
        check(reader.seek(7, error) && rest(reader, error) == "second|third|", "seek", error);
        check(!reader.grew(), "unchanged file");
        { std::ofstream(path, std::ios::binary | std::ios::app) << "fourth\n"; }
        check(reader.grew(), "grown file");
    }
    LineReader missing;
    const bool opened = missing.open((folder / "no-such-file.txt").string(), error);
    // ENOENT is 2 in glibc, musl, macOS and the Windows C runtime alike.
    check(!opened && missing.os_failed() && error.find("(os error 2)") != std::string::npos,
          "missing file", error);
    std::filesystem::remove(path);
}

/// The bits of the double a decimal text reads as (all ones when it is refused).
std::uint64_t bits_of(const char* text) {
    const auto value = parse_decimal(text);
    return value ? std::bit_cast<std::uint64_t>(*value) : ~std::uint64_t{0};
}

void check_numbers() {
    // Correct rounding, in the slow path too (over 15 digits, an exponent), subnormals
    // and the ends of the range, whatever converts decimals on this system.
    check(bits_of("0.1") == 0x3fb999999999999a && bits_of("-0.1") == 0xbfb999999999999a &&
              bits_of("0.12345678901234567890") == 0x3fbf9add3746f65f &&
              bits_of("2.4703282292062328e-324") == 1 && bits_of("2.4703282292062327e-324") == 0 &&
              bits_of("2.2250738585072011e-308") == 0x000fffffffffffff &&
              bits_of("1.7976931348623157e308") == 0x7fefffffffffffff &&
              bits_of("1e400") == 0x7ff0000000000000,
          "decimal conversion");
}

void check_pools() {
    auto pool = WorkerPool::start(3);
    check(pool.has_value() && (*pool)->threads() == 3, "pool of 3 threads");
    if (!pool) return;
    std::atomic<std::uint64_t> sum{0};
    const auto done = (*pool)->run(1000, [&](std::size_t k) { sum += k; });
    check(done.has_value() && sum == 999 * 1000 / 2, "tasks on the pool");
    check(shared_pool().threads() >= 1, "shared pool");
}

std::string poscar(const double (&cell)[3][3], const std::vector<std::array<double, 3>>& frac,
                   std::size_t n_first) {
    std::string text = "probe\n1.0\n";
    char line[128];
    for (const auto& row : cell) {
        std::snprintf(line, sizeof line, "%.17g %.17g %.17g\n", row[0], row[1], row[2]);
        text += line;
    }
    text += "Si O\n" + std::to_string(n_first) + " " + std::to_string(frac.size() - n_first) + "\nDirect\n";
    for (const auto& f : frac) {
        std::snprintf(line, sizeof line, "%.17g %.17g %.17g\n", f[0], f[1], f[2]);
        text += line;
    }
    return text;
}

void check_rdf() {
    // One atom in a 3 A cube: six neighbours at 3 A, the next shell beyond the cutoff.
    const auto cube = parse_poscar("cube\n3.0\n1 0 0\n0 1 0\n0 0 1\nPo\n1\nDirect\n0 0 0\n");
    check(cube.has_value(), "POSCAR read", cube ? "" : cube.error());
    if (!cube) return;
    const auto rdf = compute_prdf(cube->structure, 1, 4.0, 0.1);
    check(rdf.has_value(), "RDF of the cube", rdf ? "" : rdf.error());
    if (!rdf) return;
    const auto& g = rdf->partials[0];
    const double shell = 4.0 / 3.0 * std::numbers::pi * (std::pow(3.1, 3) - std::pow(3.0, 3));
    double elsewhere = 0;
    for (std::size_t k = 0; k < g.size(); ++k) elsewhere += k == 30 ? 0 : g[k];
    check(std::fabs(g[30] * shell - 6.0) < 1e-9 && elsewhere == 0.0, "six neighbours at 3 A",
          std::to_string(g[30] * shell));

    // Ordered sites: every count is whole, so any split gives the same bits.
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<std::array<double, 3>> frac(300);
    for (auto& f : frac) f = {unit(rng), unit(rng), unit(rng)};
    const double cell[3][3] = {{9.1, 0.0, 0.0}, {1.3, 8.7, 0.0}, {-0.9, 1.1, 9.4}};
    const auto many = parse_poscar(poscar(cell, frac, 100));
    if (!many) return check(false, "POSCAR of 300 sites", many.error());
    const auto one = compute_prdf(many->structure, 1, 6.0, 0.05);
    bool same = one.has_value();
    for (const std::uint64_t threads : {2, 3, 0}) {
        const auto other = compute_prdf(many->structure, threads, 6.0, 0.05);
        same = same && other && other->partials == one->partials && other->total == one->total;
    }
    check(same, "RDF alike on 1, 2, 3 and the shared pool's threads");
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path folder =
        argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
    check_system();
    check_files(folder);
    check_numbers();
    check_pools();
    check_rdf();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
