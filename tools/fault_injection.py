"""Fault injection: how many deliberate one-line faults does the test suite catch?

Each fault replaces one exact line of the sources (the original must occur exactly
once, so a fault whose line has moved or changed fails loudly instead of testing
nothing), rebuilds the extension when a C++ file changed, runs the suite with
``python -m pytest -x -q -p no:cacheprovider`` and restores the file. A fault is
caught as soon as one test fails (or the run times out). Run it in a scratch
worktree with its own editable install, never in one you are editing:

    git worktree add /work/wt-fault main && python -m venv --system-site-packages venv-fault
    venv-fault/bin/pip install --no-deps --no-build-isolation -e /work/wt-fault -Cbuild-dir=build
    nice -n 10 venv-fault/bin/python tools/fault_injection.py --tree /work/wt-fault --json before.json

``--check`` only verifies that every original line is present; ``--compare A.json
B.json`` prints two campaigns side by side as a Markdown table.
"""

from __future__ import annotations

import argparse
import json
import re
import subprocess
import sys
import time
from pathlib import Path

# (file, original text, faulty text, what the fault does, test files to run first).
# The test files only order the run (a fault is usually caught sooner); the whole
# suite always runs when they catch nothing, and names that no longer exist are skipped.
FAULTS: list[tuple[str, str, str, str, tuple[str, ...]]] = [
    ("src/core/rdf/rdf.cpp",
     "result.r.assign(result.edges.begin(), result.edges.end() - 1);",
     "result.r.assign(result.edges.begin() + 1, result.edges.end());",
     "r reported at right bin edges (off by one bin)", ("test_rdf.py",)),
    ("src/core/rdf/rdf.cpp",
     "if (k + 1 == n_bins && e0 < cutoff) e1 = std::min(e1, cutoff);",
     "if (k + 1 == n_bins && e0 < cutoff) e1 = std::max(e1, cutoff);",
     "last bin divided by its full shell", ("test_rdf.py",)),
    ("src/core/rdf/rdf.cpp",
     "curve[k] = n_p > 0.0 ? block[k] / (n_p * shell[k]) : 0.0;",
     "curve[k] = n_p > 0.0 ? block[k] / (n_total * shell[k]) : 0.0;",
     "partials divided by all atoms, not the centre element's", ("test_rdf.py",)),
    ("src/core/rdf/rdf.cpp",
     'return fail("bin_size must be positive and no larger than the cutoff");',
     'return fail("bin_size must be positive and smaller than the cutoff");',
     "wrong message text (bin_size check)", ("test_rdf.py",)),
    ("src/python/rdf_methods.cpp",
     "PyRef curve(numpy_array(block(p * n_el + q)));",
     "PyRef curve(numpy_array(block(q * n_el + p)));",
     "pair keys with centre and neighbour swapped", ("test_rdf.py",)),
    ("src/core/rdf/pair_histogram.cpp",
     "for (std::size_t k = 0; k + width < leaves; k += 2 * width) {",
     "for (std::size_t k = 2 * width; k + width < leaves; k += 2 * width) {",
     "a worker's histogram not merged (lost work)", ("test_rdf.py", "test_pool.py")),
    ("src/core/rdf/pair_histogram.cpp",
     "for (std::size_t k = 0; k < n_bins; ++k) diagonal[k] = diagonal[k] + diagonal[k];",
     "for (std::size_t k = 0; k < n_bins; ++k) diagonal[k] = diagonal[k];",
     "same-element pairs counted from one end only", ("test_rdf.py",)),
    ("src/core/rdf/pair_histogram.cpp",
     "for (std::size_t k = 0; k < n_bins; ++k) upper[k] = lower[k] = upper[k] + lower[k];",
     "for (std::size_t k = 0; k < n_bins; ++k) upper[k] = lower[k] = upper[k];",
     "A-B pairs met from the B end dropped", ("test_rdf.py",)),
    ("src/core/rdf/pair_histogram.cpp",
     "row[neighbor_row[k] + static_cast<std::size_t>(b)] += t.occupancy_at[at[k]] * occupancy;",
     "row[neighbor_row[k] + static_cast<std::size_t>(b)] += occupancy;",
     "neighbour occupancy left out of the pair weight", ("test_rdf.py",)),
    ("src/core/rdf/neighbor.cpp",
     ("reach[x] = saturating_i64(std::ceil(k[x] == 1 ? cells : cells * (1.0 + 1e-9)));",
      "reach = saturating_i64(std::ceil(k == 1 ? cells : cells * (1.0 + 1e-9)));"),
     ("reach[x] = saturating_i64(std::ceil(k[x] == 1 ? cells : cells * (1.0 + 1e-9))) - 1;",
      "reach = saturating_i64(std::ceil(k == 1 ? cells : cells * (1.0 + 1e-9))) - 1;"),
     "one periodic image shell too few", ("test_rdf.py",)),
    ("src/core/readers/site_merge.cpp",
     "lower = frac[axis] - low < symprec_;",
     "lower = frac[axis] - low < 0.0;",
     "symmetry copies across a lower grid boundary not merged", ("test_symmetry.py", "test_cif.py")),
    ("src/core/readers/site_merge.cpp",
     "lower = into <= reach_[axis];",
     "lower = into < 0.0;",
     "close sites across a lower boundary of the merging grid missed", ("test_cifcheck.py",)),
    ("src/core/expand/expand.cpp",
     "const std::uint64_t r = generator.next() % (static_cast<std::uint64_t>(i) + 1);",
     "const std::uint64_t r = generator.next() % static_cast<std::uint64_t>(i);",
     "shuffle never leaves a slot in place", ("test_expand.py",)),
    ("src/core/expand/expand.cpp",
     "Xorshift64Star generator(seed);",
     "Xorshift64Star generator(seed + 1);",
     "seed off by one in the expansion", ("test_expand.py",)),
    ("src/core/expand/expand.cpp",
     "return targets[a] - static_cast<double>(counts[a]) >",
     "return targets[a] - static_cast<double>(counts[a]) <",
     "top-up atoms go to the smallest remainders", ("test_expand.py",)),
    ("src/core/expand/composition.cpp",
     'warnings.push_back("no atoms could be placed for " + join(absent, ", ") + ": the occupancy is too small for a " +',
     'warnings.push_back("no atoms were placed for " + join(absent, ", ") + ": the occupancy is too small for a " +',
     "wrong message text (absent elements warning)", ("test_expand.py",)),
    ("src/core/model/structure.cpp",
     "copy.frac = {(site.frac[0] + static_cast<double>(i)) / scale[0],",
     "copy.frac = {(site.frac[0] + static_cast<double>(i)) / scale[1],",
     "supercell a coordinate divided by the b multiplier", ("test_structure.py", "test_expand.py")),
    ("src/core/readers/formats.cpp",
     "return Mat3{{{numbers[0], numbers[1], numbers[2]},",
     "return Mat3{{{numbers[0], numbers[3], numbers[6]},",
     "XYZ Lattice first row read as a column", ("test_extxyz.py", "test_trajectory.py", "test_io.py")),
    ("src/core/readers/formats.cpp",
     "effective_scale = std::cbrt(-*scale / unscaled_lattice->volume());",
     "effective_scale = -*scale / unscaled_lattice->volume();",
     "negative POSCAR scale (a volume) used without cube root", ("test_poscar.py",)),
    ("src/core/readers/formats.cpp",
     "site.frac = lattice->to_fractional({position[0] * effective_scale,",
     "site.frac = lattice->to_fractional({position[0],",
     "Cartesian POSCAR x not scaled", ("test_poscar.py",)),
    ("src/core/readers/cif_sites.cpp",
     "return *top / *bottom;",
     "return *bottom / *top;",
     "CIF fraction 'a/b' read upside down", ("test_cif.py",)),
    ("src/core/trajectory/trajectory_stream.cpp",
     "const bool keep = i >= options_.start && (i - options_.start) % options_.every == 0;",
     "const bool keep = i >= options_.start && i % options_.every == 0;",
     "every stride counted from frame 0, not from start", ("test_trajectory.py",)),
    ("src/core/trajectory/lammps_dump.cpp",
     "result.scaled = t == 1 || t == 3;",
     "result.scaled = t == 3;",
     "LAMMPS xs ys zs read as Cartesian", ("test_trajectory_formats.py", "test_trajectory.py")),
    ("src/core/util/cancel.cpp",
     "if (poll_(context_)) request();",
     "if (poll_(context_)) {}",
     "Ctrl-C never noticed by native calls", ("test_interrupt.py",)),
    ("src/core/trajectory/xyz_frames.cpp",
     "    if (seen < min_tokens_)",
     "    if (seen + 1 < min_tokens_)",
     "a trajectory atom line one word short is not refused", ("test_extxyz.py", "test_trajectory.py")),
    ("src/core/trajectory/xyz_frames.cpp",
     ("site.species.emplace_back(clean_symbol(species), 1.0);", "std::string symbol = clean_symbol(species);"),
     ("site.species.emplace_back(std::string(species), 1.0);", "std::string symbol(species);"),
     "trajectory species names kept as written", ("test_trajectory.py", "test_extxyz.py")),
    ("src/core/readers/formats.cpp",
     'return fail("atom line " + std::to_string(i + 1) + " is incomplete");',
     'return fail("atom line " + std::to_string(i) + " is incomplete");',
     "XYZ message names the wrong atom line", ("test_extxyz.py",)),
    ("src/core/expand/expand.cpp",
     'pieces.push_back(element + ":" + format_fixed(occupancy, 4));',
     'pieces.push_back(element + ":" + format_fixed(occupancy, 2));',
     "expansion pools merge compositions equal to 2 decimals", ("test_expand.py",)),
    ("src/core/expand/expand.cpp",
     "atom.frac = supercell->sites[members[r]].frac;",
     "atom.frac = supercell->sites[members[0]].frac;",
     "every placed atom put on the pool's first site", ("test_expand.py",)),
    ("src/core/expand/expand.cpp",
     "out.report.push_back({element, occupancy, pool_size, counts[j], pool_first_site.size() - 1});",
     "out.report.push_back({element, occupancy, pool_size, counts[0], pool_first_site.size() - 1});",
     "report gives every species the first species' count", ("test_expand.py",)),
    ("src/kelvara/io.py",
     "lines += [_row(frac[i]) for e in order for i in blocks[e]]",
     "lines += [_row(row) for row in frac]",
     "POSCAR writer keeps site order, not element blocks", ("test_writes.py", "test_io.py")),
    ("src/kelvara/io.py",
     "return lengths, [angle(1, 2), angle(0, 2), angle(0, 1)]",
     "return lengths, [angle(0, 2), angle(1, 2), angle(0, 1)]",
     "CIF writer swaps alpha and beta", ("test_writes.py", "test_io.py")),
    ("src/kelvara/cli/__init__.py",
     'print(f"kelvara: {one_line(error)}", file=sys.stderr)',
     'print(f"kelvara: {one_line(error)}", file=sys.stderr); return 0',
     "CLI exits 0 on a bad input", ("test_cli.py",)),
    ("src/kelvara/cli/__init__.py",
     "return 130",
     "return 1",
     "CLI exit status after Ctrl-C", ("test_cli.py", "test_interrupt.py")),
    ("src/kelvara/analysis.py",
     ("return np.asarray(total, dtype=np.float64) / (structure.n_atoms / structure.volume)",
      "    return structure.n_atoms / structure.volume\n"),
     ("return np.asarray(total, dtype=np.float64) / (structure.n_sites / structure.volume)",
      "    return structure.n_sites / structure.volume\n"),
     "bulk density from the site count (occupancy ignored)", ("test_analysis.py",)),
    ("src/kelvara/trajectory/blocking.py",
     "self.m2 += delta * (row - self.mean)",
     "self.m2 += delta * delta",
     "the spread of the frames summed about the old mean, not the new", ("test_blocking.py",)),
    # Trajectories as simulation boxes: the minimum-image limit, own images, angles, windows
    ("src/core/rdf/pair_histogram.cpp",
     "t.drop_self = !self_images && cutoff + 2.0 * margin >= lowest * (1.0 - 1e-9);",
     "t.drop_self = false;",
     "an atom paired with its own periodic images in a simulation box", ("test_md_box.py", "test_trajectory_rdf.py")),
    ("src/core/rdf/bond_angles.cpp",
     "if (j == i && !t.self_images) continue;",
     "if (j == i && t.self_images) continue;",
     "bond angles to an atom's own images in a box, none in a crystal", ("test_bond_angles.py",)),
    ("src/core/rdf/bond_angles.cpp",
     "for (std::size_t v = u + 1; v < n; ++v)",
     "for (std::size_t v = u; v < n; ++v)",
     "a neighbour paired with itself (angles of 0 degrees)", ("test_bond_angles.py",)),
    ("src/core/rdf/bond_angles.cpp",
     "const double cosine = std::clamp(dot / (u.r * v.r), -1.0, 1.0);",
     "const double cosine = std::clamp(dot / (u.r * u.r), -1.0, 1.0);",
     "angle cosine divided by one bond length twice", ("test_bond_angles.py",)),
    ("src/core/rdf/frames.cpp",
     "if (!done) failures[k] = std::move(done.error());",
     "if (!done) return;",
     "a frame that fails on a pool thread reported as counted", ("test_trajectory_rdf.py", "test_md_box.py")),
    ("src/kelvara/trajectory/accumulate.py",
     "return 0.5 * min(heights)",
     "return min(heights)",
     "the minimum-image limit taken as the whole box height", ("test_md_box.py", "test_trajectory_rdf.py")),
    ("src/kelvara/trajectory/accumulate.py",
     'curves.append((("cn", a, b), np.cumsum(curve * shells)))',
     'curves.append((("cn", a, b), np.cumsum(curve)))',
     "running coordination numbers without the shell volumes", ("test_md_box.py", "test_trajectory_rdf.py")),
    ("src/kelvara/cli/pdf.py",
     "return None  # P 1: the file states that there is no symmetry to find",
     "pass",
     "a CIF naming P 1 refined under the symmetry its atoms happen to obey", ("test_pdf_command.py",)),
    ("src/kelvara/pdf/phase.py",
     "if candidates > MOST_CANDIDATES:",
     "if False:",
     "a fit step to a nearly flat cell allocates every translation it asks for", ("test_refine.py",)),
    ("src/kelvara/trajectory/averaging.py",
     '_Windows(source, chunk, notes, n_threads, cutoff is not None)',
     '_Windows(source, chunk, notes, n_threads, True)',
     "the default cutoff taken from the first small window, not the first chunk", ("test_trajectory_rdf.py",)),
    ("src/kelvara/trajectory/averaging.py",
     "self._pending: _Task | None = _Task(self._read, []) if self.threads > 1 else None",
     "self._pending: _Task | None = _Task(self._read, [])",
     "a one-thread call runs a reading thread beside it", ("test_trajectory_rdf.py",)),
    ("src/kelvara/trajectory/averaging.py",
     "done.clear()  # the window the caller is through with, freed here first",
     "pass",
     "a counted window kept alive while the next is read (three windows in memory)", ("test_trajectory_rdf.py",)),
    ("src/kelvara/trajectory/averaging.py",
     "k += fewer",
     "k += 1",
     "frames counted twice while the next window is read on more than two threads", ("test_md_box.py",)),
    ("src/kelvara/trajectory/averaging.py",
     "self._stop(cancel=True)  # the loop may never have started",
     "pass",
     "windows closed before their loop leave the file open under a running read", ("test_trajectory_rdf.py",)),
    # Readers, writers and the file entry points (faults the thinned tests used to catch)
    ('src/kelvara/io.py',
     'lines += [f"{e:<3} {_row(xyz)}" for e, xyz in zip(elements, cart)]',
     'lines += [f"{e:<3} {_row(xyz)}" for e, xyz in zip(elements, structure.frac_coords)]',
     'extended XYZ writer writes fractional coordinates as positions', ('test_io.py',)),
    ('src/kelvara/io.py',
     'if name.upper().startswith(("POSCAR", "CONTCAR")):',
     'if name.upper().startswith("POSCAR"):',
     'a file named CONTCAR is not taken for a POSCAR', ('test_io.py',)),
    ('src/kelvara/io.py',
     'if name.upper().startswith(("POSCAR", "CONTCAR")):',
     'if name.startswith(("POSCAR", "CONTCAR")):',
     'a lower-case poscar_* name not taken for a POSCAR', ('test_io.py',)),
    ('src/core/readers/cif.hpp',
     'double symprec = 1e-4;',
     'double symprec = 5e-5;',
     'default CIF symprec halved', ('test_cif.py', 'test_readers_entry.py')),
    ('src/python/readers.cpp',
     'static const char* keywords[] = {"path", "symprec", "block", nullptr};',
     'static const char* keywords[] = {"path", "block", "symprec", nullptr};',
     "from_cif's symprec keyword fills the block argument", ('test_cif.py', 'test_readers_entry.py')),
    ('src/python/readers.cpp',
     'if (code != 0) {',
     'if (code < 0) {',
     'OSError of a failed read carries no errno', ('test_readers_entry.py',)),
    ('src/core/readers/formats.cpp',
     '(VASP 4 files need the ',
     '(VASP 4 files need a ',
     'wrong message text (POSCAR species per count)', ('test_poscar.py',)),
    ('src/core/readers/formats.cpp',
     "const bool cartesian = kind == 'C' || kind == 'c' || kind == 'K' || kind == 'k';",
     "const bool cartesian = kind == 'c' || kind == 'K' || kind == 'k';",
     "POSCAR mode line 'C...' read as Direct", ('test_poscar.py',)),
    ('src/core/readers/symmetry.cpp',
     'if (!std::isfinite(value))',
     'if (std::isnan(value))',
     'an infinite symmetry coefficient is not refused as a term', ('test_symmetry.py',)),
    ('src/core/readers/symmetry.cpp',
     'if (term.empty()) return fail("dangling sign in " + quoted(c));',
     'if (term.empty()) return fail("dangling sign in " + quoted(term));',
     'dangling-sign message quotes the empty term, not the component', ('test_symmetry.py',)),
    ('src/core/readers/cif_sites.cpp',
     'if (!(out.occupancy > 0.0)) {',
     'if (out.occupancy < 0.0) {',
     'CIF atom site of occupancy 0 kept', ('test_cifcheck.py', 'test_cif.py')),
    ('src/core/readers/cif.cpp',
     'if (!atom_loop(block)) continue;',
     'if (!atom_loop(block) && false) continue;',
     'the first CIF data block is read even without atom sites', ('test_cif.py', 'test_cifcheck.py')),
    ('src/core/readers/hall.cpp',
     'if (const int j = index.find(key); j >= 0) return group[static_cast<std::size_t>(j)].t == p.t;',
     'if (const int j = index.find(key); j >= 0) return true;',
     'Hall generators that do not close taken as a group', ('test_spacegroups.py',)),
    ('src/core/readers/cif_displacement.cpp',
     '" is negative or not a number, so the site is read without it");',
     '" is negative or not a number, so it is ignored");',
     'wrong message text (unusable displacement value)', ('test_displacements.py',)),
    ('src/python/readers.cpp',
     'if (!message || PyErr_WarnEx(category, message, 1) < 0) return nullptr;',
     'if (!message) return nullptr;',
     'reader findings never issued as ReadWarning', ('test_cifcheck.py',)),
    ('src/core/expand/expand.cpp',
     'atom.uiso = supercell->sites[members[r]].uiso;',
     'atom.uiso = std::numeric_limits<double>::quiet_NaN();',
     "placed atoms of an expansion lose their site's displacement", ('test_displacements.py',)),
    ('src/core/readers/cif.cpp',
     'if (!std::isfinite(*number))',
     'if (std::isinf(*number))',
     "a CIF cell value 'nan' is not refused where read", ('test_cif.py',)),
    ('src/core/readers/site_merge.cpp',
     'site.species[species].second = species_sum(index, species);',
     'site.species[species].second = occupancy;',
     "a repeated label's larger occupancy replaces the sum with the other labels", ('test_cif.py',)),
    ('src/core/readers/cif_sites.cpp',
     'if (symbol && table.type && findings.typeless_rows++ == 0) {',
     'if (false) {',
     "an element read from the label for a type symbol '?' not said", ('test_cifcheck.py',)),
    ('src/core/readers/cif_sites.cpp',
     'if (!d.exact) uncertainty = std::max(uncertainty, half_unit(std::min(d.written, significant)));',
     'if (!d.exact) uncertainty = std::max(uncertainty, half_unit(d.written));',
     'zeros padding a CIF coordinate taken as its precision', ('test_cif_variants.py',)),
    ('src/core/readers/cif_sites.cpp',
     'findings.repeats.emplace_back(r, *earlier.same_label);',
     ';',
     'an exactly repeated atom-site row read once without a word', ('test_cif_variants.py',)),
    ('src/core/readers/cif_sites.cpp',
     '(is_partial ? partial : full).push_back(pair);',
     'if (is_partial) partial.push_back(pair);',
     'fully occupied sites closer than 0.5 A not said', ('test_cifcheck.py', 'test_cif_variants.py')),
    ('src/core/readers/cif_symmetry.cpp',
     'return flag == "+1" || flag == "-1" || flag == "1" ? value.substr(0, comma) : value;',
     'return value;',
     'magnetic operations with a time-reversal flag not read', ('test_cif_variants.py',)),
    ('src/core/readers/cif_symmetry.cpp',
     'for (const SymmOp& c : centerings)',
     'for (const SymmOp& c : std::vector<SymmOp>{SymmOp::identity()})',
     'magnetic centerings not applied', ('test_cif_variants.py',)),
    ('src/core/readers/cif_syntax.cpp',
     "name[dot] = '_';",
     "name[dot] = '.';",
     'dotted CIF names not read as their underscore aliases', ('test_cif_variants.py',)),
    ('src/core/readers/cif_syntax.cpp',
     'if (is_not_value(value_line.text)) {',
     'if (false) {',
     "a CIF tag's value taken from the next line's tag", ('test_cif_variants.py', 'test_cif.py')),
    ('src/core/trajectory/lammps_dump.cpp',
     'while (trim(line) == "ITEM: UNITS" || trim(line) == "ITEM: TIME") {',
     'while (false) {',
     'LAMMPS ITEM: UNITS / ITEM: TIME before the timestep refused', ('test_trajectory_formats.py',)),
    ('src/core/readers/formats.cpp',
     'if (vasp4 && names.size() < counts.size()) formula = formula_species(lines[0], counts);',
     ';',
     'a VASP 4 formula comment matching the counts refused', ('test_poscar.py',)),
    # Trajectories, batch jobs, the command line and safe writes (faults the thinned tests used to catch)
    ("src/kelvara/trajectory/averaging.py",
     'progress(done + k + 1)',
     'progress(k + 1)',
     'trajectory_rdf progress restarts its count in every window', ('test_trajectory_rdf.py',)),
    ('src/kelvara/batch.py',
     'types=types, position=position) as reader:',
     'position=position) as reader:',
     'parallel trajectory windows read without the LAMMPS types', ('test_trajectory_formats.py',)),
    ('src/kelvara/trajectory/averaging.py',
     'reader.skip(start)',
     'reader.skip(0)',
     'window scan ignores start (first window begins at frame 0)', ('test_trajectory_rdf.py', 'test_trajectory_formats.py')),
    ('src/core/trajectory/trajectory_stream.cpp',
     'stream->index_ = resume->frame;',
     'stream->index_ = 0;',
     'a reader resumed at a position numbers its frames from 0', ('test_trajectory_rdf.py', 'test_trajectory_formats.py')),
    ('src/core/trajectory/xyz_frames.cpp',
     'frac[j] = (cart[0] * inverse[0][j] + cart[1] * inverse[1][j]) + cart[2] * inverse[2][j];',
     'frac[j] = (cart[0] * inverse[0][j] + cart[1] * inverse[1][j]) + cart[2] * inverse[2][j] - __builtin_floor((cart[0] * inverse[0][j] + cart[1] * inverse[1][j]) + cart[2] * inverse[2][j]);',
     'XYZ trajectory coordinates wrapped into the cell', ('test_trajectory.py',)),
    ('src/core/util/text.cpp',
     'return (d == 0x85 || d == 0xA0) ? 2 : 0;',
     'return d == 0x85 ? 2 : 0;',
     'no-break space not read as white space', ('test_trajectory.py',)),
    ('src/kelvara/io.py',
     'if want != got:',
     'if want != got and False:',
     'CIF writer writes element names that read back as another element', ('test_writes.py',)),
    ("src/kelvara/trajectory/blocking.py",
     'x = 0.5 * (x[0::2] + x[1::2])',
     'x = x[0::2] + x[1::2]',
     'blocking levels sum pairs of blocks instead of averaging them', ('test_blocking.py',)),
    ('src/kelvara/trajectory/blocking.py',
     'k = block_size.bit_length() - 1',
     'k = block_size.bit_length()',
     'standard error of a power-of-two block size taken from the next level', ('test_blocking.py',)),
    ('src/kelvara/cli/__init__.py',
     'if output and os.path.lexists(output) and not force:',
     'if output and os.path.lexists(output) and force:',
     'expand -o replaces an existing file without --force', ('test_cli.py', 'test_writes.py')),
    ('src/python/readers.cpp',
     'if (!(options.symprec > 0.0) || !std::isfinite(options.symprec)) {',
     'if (!(options.symprec >= 0.0) || !std::isfinite(options.symprec)) {',
     'symprec 0 accepted', ('test_limits.py',)),
    ('src/python/readers.cpp',
     'if (!file.regular() && std::memchr(buffer, 0, static_cast<std::size_t>(got))) {',
     'if (false && std::memchr(buffer, 0, static_cast<std::size_t>(got))) {',
     'a device of NUL bytes read as a structure file', ('test_limits.py',)),
    ('src/kelvara/trajectory/blocking.py',
     'pad = np.zeros((extra,) + self.mean.shape[1:])',
     'pad = np.ones((extra,) + self.mean.shape[1:])',
     'a curve that appears late is padded with ones in the blocking levels', ('test_blocking.py',)),
    ('src/core/trajectory/xdatcar.cpp',
     'const std::string key = std::to_string(++k);',
     'const std::string key = std::to_string(k++);',
     'VASP 4 XDATCAR types looked up from 0', ('test_trajectory_formats.py',)),
    ('src/core/readers/formats.cpp',
     'if (!trim(rest).empty() && parse_unsigned(trim(rest)))',
     'if (false && parse_unsigned(trim(rest)))',
     'single-structure XYZ reader silent about further frames', ('test_trajectory_cli.py',)),
    ('src/kelvara/cli/structure.py',
     'if options.expand and structure.is_ordered:',
     'if options.expand and structure.is_ordered and False:',
     'rdf --expand on an ordered structure runs the expansions', ('test_cli.py',)),
    ('src/kelvara/cli/structure.py',
     '    for finding in findings:',
     '    for finding in findings[:1]:',
     'info prints only the first reader finding', ('test_cli.py',)),
    # RDF engine, structures, scattering and the expansion (faults the thinned tests used to catch)
    ('src/core/rdf/pair_histogram.cpp',
     'add(sj, si, measured_square(t.setup.matrix, wj, wi, backward));',
     'add(sj, si, measured_square(t.setup.matrix, wi, wj, forward));',
     'a pair on a bin edge binned from one end only, for both ends', ('test_rdf.py',)),
    ('src/core/rdf/rdf.cpp',
     'result.total[k] += block[k] / (shell[k] * n_total);',
     'result.total[k] += block[k] / (shell[k] * n_p);',
     "total curve divided by the centre element's count, not all atoms", ('test_rdf.py',)),
    ('src/core/rdf/rdf.cpp',
     'constexpr double sphere_factor = 4.1887902047863905;',
     'constexpr double sphere_factor = 3.141592653589793;',
     'shell volumes with pi for 4 pi / 3', ('test_rdf.py', 'test_analysis.py')),
    ('src/core/rdf/rdf.cpp',
     'if (!(bin_size > 0.0) || !(bin_size <= cutoff))',
     'if (bin_size == 0.0 || !(bin_size <= cutoff))',
     'a negative bin_size accepted', ('test_rdf.py',)),
    ('src/core/rdf/pair_kernel_x86.cpp',
     '_mm512_mask_storeu_pd(jc + k, live, _mm512_maskz_loadu_pd(live, wc + j) + sc);',
     '_mm512_mask_storeu_pd(jc + k, live, _mm512_maskz_loadu_pd(live, wc + j) + sb);',
     'AVX-512 gather shifts c by the b translation', ('test_rdf.py',)),
    ('src/core/model/structure.cpp',
     'return species.size() == 1 && std::fabs(species[0].second - 1.0) < 1e-6;',
     'return std::fabs(species[0].second - 1.0) < 1e-6;',
     'a site of two species, one of them at zero, counted as ordered', ('test_structure.py',)),
    ('src/core/model/structure.cpp',
     'return species.size() == 1 && std::fabs(species[0].second - 1.0) < 1e-6;',
     'return species.size() == 1 && std::fabs(species[0].second - 1.0) < 1e-7;',
     'ordered-site tolerance tightened to 1e-7', ('test_structure.py',)),
    ('src/kelvara/pdf/scattering.py',
     '    _check_resolution(qmax, qdamp)\n    weights = faber_ziman_weights(',
     '    weights = faber_ziman_weights(',
     'pdf_from_partials takes any qmax and qdamp', ('test_scattering.py',)),
    ('src/kelvara/pdf/scattering.py',
     'if not (qdamp >= 0 and math.isfinite(qdamp)):',
     'if not (qdamp >= 0):',
     'an infinite qdamp accepted', ('test_scattering.py',)),
    ('src/kelvara/pdf/scattering.py',
     'if q.ndim != 1 or not np.all(np.isfinite(q)) or np.any(q < 0):',
     'if q.ndim > 1 or not np.all(np.isfinite(q)) or np.any(q < 0):',
     'a scalar q accepted as a grid', ('test_scattering.py',)),
    ('src/kelvara/interop.py',
     'site = occupancy.get(str(tags[index])) if occupancy else None',
     'site = None',
     "from_ase ignores ASE's occupancy table (a mixed site read as its first symbol)", ('test_interop.py',)),
    ('src/python/rdf_methods.cpp',
     '!check_optional_text(folder, "save_plots") || !check_optional_text(title, "title"))',
     '!check_optional_text(folder, "save_plots"))',
     'prdf takes a title that is not text', ('test_rdf.py',)),
    ('src/core/rdf/rdf.cpp',
     'if (!(cutoff > 0.0)) return fail("cutoff must be positive");',
     'if (cutoff < 0.0) return fail("cutoff must be positive");',
     'a zero cutoff passes the cutoff check', ('test_rdf.py',)),
    ('src/core/model/structure.cpp',
     'if (sum > 1.001)',
     'if (sum > 1.01)',
     'site occupancies up to 1.01 accepted', ('test_structure.py',)),
    # The PDF code: model, fit, least squares, measured data, refinement, trajectory PDF,
    # spread and the pdf command.
    ("src/kelvara/pdf/fit.py",
     "w = np.ones_like(observed) if dG is None else 1.0 / np.asarray(dG, dtype=np.float64) ** 2",
     "w = np.ones_like(observed) if dG is None else 1.0 / np.asarray(dG, dtype=np.float64)",
     "Rw weighted by 1/dG instead of 1/dG^2", ("test_pdffit.py",)),
    ("src/kelvara/pdf/fit.py",
     "keep = np.flatnonzero((data.r >= lo) & (data.r <= hi))",
     "keep = np.flatnonzero((data.r >= lo) & (data.r < hi))",
     "the point at r = rmax dropped from the fit", ("test_pdf_command.py",)),
    ("src/kelvara/pdf/trajectory.py",
     'return TrajectoryPDF(first.r, means["g"], means["G"], float(means["rho0"][0]), first.weights,',
     'return TrajectoryPDF(first.r, means["g"], 4 * np.pi * float(means["rho0"][0]) * first.r * (means["g"] - 1), '
     'float(means["rho0"][0]), first.weights,',
     "trajectory G(r) from the mean density and mean g, not per frame (wrong under NpT)",
     ("test_trajectory_cli.py",)),
    ("src/kelvara/pdf/trajectory.py",
     'size, more = blocks.choose(["G"], "G(r)") if "G" in blocks.keys else blocks.choose(["S"], "S(Q)")',
     'size, more = 1, []',
     "trajectory errors never blocked (correlated frames taken as independent)", ("test_trajectory_cli.py",)),
    ("src/kelvara/spread.py",
     "ddof = 1 if len(seeds) > 1 else 0",
     "ddof = 0",
     "expansion spread with ddof=0", ("test_expand.py",)),
    ("src/kelvara/pdf/lsq.py",
     "if x[k] + h > upper[k]:  # step inwards at an upper bound",
     "if False:  # step inwards at an upper bound",
     "Jacobian stepping past an upper bound", ("test_pdffit.py",)),
    ("src/kelvara/pdf/lsq.py",
     "trial = np.clip(x + step, lower, upper)",
     "trial = x + step",
     "trial steps not kept within the bounds", ("test_pdffit.py",)),
    ("src/kelvara/pdf/model.py",
     "return np.where(x < 1.0, 1.0 - 1.5 * x + 0.5 * x**3, 0.0)",
     "return np.where(x < 1.0, 1.0 - 1.5 * x + 0.5 * x**2, 0.0)",
     "spherical-particle envelope with x^2 for x^3", ("test_pdffit.py",)),
    ("src/kelvara/pdf/measured.py",
     'START_DATA = re.compile(r"^#+\\s*start data\\s*$", re.IGNORECASE)',
     'START_DATA = re.compile(r"^####\\s*start data\\s*$", re.IGNORECASE)',
     "only four # before start data (every real .gr file refused)", ("test_measured.py",)),
    ("src/kelvara/pdf/measured.py",
     'lines = text.removeprefix("\\ufeff").splitlines()',
     "lines = text.splitlines()",
     "a byte-order mark before the first row refused", ("test_measured.py",)),
    ("src/kelvara/pdf/header.py",
     'value, number = min(entries) if key == "qmax" else entries[0]',
     'value, number = max(entries) if key == "qmax" else entries[0]',
     "the largest of several header Qmax (the measured range, not the transform's)", ("test_measured.py",)),
    ("src/kelvara/pdf/symmetry.py",
     "constraint = np.vstack([r - np.eye(3) for r, _ in stabiliser])",
     "constraint = np.vstack([r - np.eye(3) for r, _ in stabiliser[:1]])",
     "site coordinates free whatever the site symmetry", ("test_refine.py",)),
    ("src/kelvara/pdf/symmetry.py",
     "    for rotation, _ in kept:",
     "    for rotation, _ in kept[:1]:",
     "every cell parameter free whatever the operations", ("test_refine.py",)),
    ("src/kelvara/pdf/phase.py",
     "weight.append(np.where(a.orbit[j[first]] > k, 2.0, 1.0) * self.multiplicity[k] * count)",
     "weight.append(np.where(a.orbit[j[first]] > k, 1.0, 1.0) * self.multiplicity[k] * count)",
     "pairs between two orbits counted from one end only", ("test_refine.py",)),
    ("src/kelvara/pdf/phase.py",
     "ds += dsigma_dd[:, None] * dd",
     "ds += 0.0 * dd",
     "peak width's dependence on the distance left out of the derivatives", ("test_refine.py",)),
    ("src/kelvara/pdf/phase.py",
     "dvolume[col] = 0.5 * volume * float(np.sum(ginv * dmetric))",
     "dvolume[col] = 0.0",
     "density term left out of the cell derivatives", ("test_refine.py",)),
    ("src/kelvara/pdf/refine.py",
     "atoms.append(abs(scale) / mean_b**2 if mean_b else 0.0)",
     "atoms.append(abs(scale) / mean_b if mean_b else 0.0)",
     "phase fractions from the scales divided by <b>, not <b>^2", ("test_refine.py",)),
    ("src/kelvara/pdf/refine.py",
     "converged=bool(converged), reason=reason, hint=hint, rw=float(value_rw), chi2_red=float(chi2_red),",
     "converged=True, reason=reason, hint=hint, rw=float(value_rw), chi2_red=float(chi2_red),",
     "a failed refinement reported as converged", ("test_refine.py", "test_pdf_command.py")),
    ("src/kelvara/pdf/results.py",
     "x, y, z = phase.frac_coords[site]",
     "x, y, z = phase.structure.frac_coords[site]",
     "refined CIF with the start coordinates", ("test_refine.py",)),
    ("src/kelvara/cli/pdf.py",
     "values[key] = mine if key in options.given or getattr(stated, key) is None else getattr(stated, key)",
     "values[key] = mine if getattr(stated, key) is None else getattr(stated, key)",
     "the data's header winning over the command line", ("test_pdf_command.py",)),
]

NATIVE = (".cpp", ".hpp", ".h", ".inc")


def choose(tree: Path, file: str, original, faulty) -> tuple[str, str]:
    """The (original, faulty) pair that applies to this tree: a fault may list the
    same change as its line reads before and after a rewrite of the code around it."""
    pairs = list(zip(original, faulty)) if isinstance(original, tuple) else [(original, faulty)]
    text = (tree / file).read_text()
    for pair in pairs:
        if text.count(pair[0]) == 1:
            return pair
    raise SystemExit(f"{file}: no line of this fault occurs exactly once:\n  " +
                     "\n  ".join(p[0] for p in pairs))


def apply(tree: Path, file: str, original: str, faulty: str) -> str:
    """Writes the fault into `file`; returns the file's original text."""
    path = tree / file
    text = path.read_text()
    path.write_text(text.replace(original, faulty))
    return text


def rebuild(tree: Path, python: str) -> bool:
    cmd = [python, "-m", "pip", "install", "-q", "--no-deps", "--no-build-isolation", "-e", ".",
           "-Cbuild-dir=build"]
    return subprocess.run(cmd, cwd=tree, capture_output=True, text=True, timeout=1800).returncode == 0


def pytest_run(tree: Path, python: str, timeout: float, args: list[str]) -> dict:
    cmd = [python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *args]
    start = time.monotonic()
    try:
        done = subprocess.run(cmd, cwd=tree, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"caught": True, "by": f"timeout after {timeout:.0f} s", "seconds": timeout, "summary": "timeout"}
    failed = re.findall(r"^(?:FAILED|ERROR) (.+?)(?: - .*)?$", done.stdout, re.M)
    summary = done.stdout.strip().splitlines()[-1] if done.stdout.strip() else done.stderr[-200:]
    detail = [line[2:].strip() for line in done.stdout.splitlines() if line.startswith("E ")][:3]
    return {"caught": done.returncode != 0, "by": failed[0] if failed else ("" if done.returncode == 0 else summary),
            "seconds": round(time.monotonic() - start, 1), "summary": summary, "detail": detail}


def run_suite(tree: Path, python: str, timeout: float, first: tuple[str, ...] = (),
              fails_without_fault=None) -> dict:
    """The suite, `first` files first. A failing test is run again on its own, and,
    through `fails_without_fault(node)`, on the tree without the fault: a test that
    passes on its own or fails without the fault too (timing under load) is
    deselected and the suite goes on without it, so only a failure the fault causes
    counts as caught."""
    # Files named one by one: pytest keeps that order (it would not inside a directory).
    files = sorted(p.name for p in (tree / "tests").glob("test_*.py"))
    paths = [f"tests/{name}" for name in first if name in files]
    paths += [f"tests/{name}" for name in files if name not in first]
    deselected: list[str] = []
    for _ in range(8):
        outcome = pytest_run(tree, python, timeout, [*paths, *(f"--deselect={d}" for d in deselected)])
        node = outcome["by"]
        if not outcome["caught"] or "::" not in node:
            break
        if pytest_run(tree, python, timeout, [node])["caught"] and not (
                fails_without_fault and fails_without_fault(node)):
            break
        deselected.append(node.split("[")[0])  # all cases of a test that fails by chance
    else:
        outcome = {**outcome, "caught": None, "by": "undecided: too many tests failed by chance"}
    outcome["flaky"] = deselected
    return outcome


def campaign(tree: Path, python: str, timeout: float, only: set[int] | None, baseline: bool) -> dict:
    results: dict = {"faults": {}}
    if baseline:
        if not rebuild(tree, python):
            raise SystemExit("the unchanged tree does not build")
        for attempt in range(2):  # a second chance for a test that fails by chance under load
            clean = run_suite(tree, python, timeout)
            print(f"baseline: {clean['summary']} ({clean['seconds']} s) {clean['by']}", flush=True)
            if not clean["caught"]:
                break
        else:
            raise SystemExit("the suite fails without any fault; fix that first")
        results["baseline_seconds"] = clean["seconds"]
    dirty = False  # the installed extension was built from a faulty source
    for number, (file, original, faulty, description, first) in enumerate(FAULTS, 1):
        if only and number not in only:
            continue
        native = file.endswith(NATIVE)
        original, faulty = choose(tree, file, original, faulty)
        saved = apply(tree, file, original, faulty)
        try:
            def fails_without_fault(node: str) -> bool:
                (tree / file).write_text(saved)
                try:
                    if native:
                        rebuild(tree, python)
                    return pytest_run(tree, python, timeout, [node])["caught"]
                finally:
                    apply(tree, file, original, faulty)
                    if native:
                        rebuild(tree, python)

            if (native or dirty) and not rebuild(tree, python):
                outcome = {"caught": None, "by": "build failed", "seconds": 0.0}
            else:
                outcome = run_suite(tree, python, timeout, first, fails_without_fault)
        finally:
            (tree / file).write_text(saved)
        dirty = native
        outcome["description"] = description
        results["faults"][str(number)] = outcome
        mark = {True: "caught", False: "NOT CAUGHT", None: "undecided"}[outcome["caught"]]
        print(f"{number:2d} {mark:10s} {outcome['seconds']:7.1f} s  {description}  [{outcome['by']}] {outcome.get('flaky') or ''}", flush=True)
    if dirty:
        rebuild(tree, python)
    return results


def compare(before: dict, after: dict) -> str:
    """Two campaigns side by side; faults are matched by their description."""
    rows = ["| # | fault | before | after |", "|---|---|---|---|"]
    mark = {True: "caught", False: "**not caught**", None: "undecided"}
    b_by = {v["description"]: v for v in before["faults"].values()}
    a_by = {v["description"]: v for v in after["faults"].values()}
    for number, (file, _, _, description, _) in enumerate(FAULTS, 1):
        b, a = b_by.get(description, {}), a_by.get(description, {})
        rows.append(f"| {number} | {description} (`{file}`) | {mark.get(b.get('caught'), '-')} "
                    f"| {mark.get(a.get('caught'), '-')} |")
    count = lambda r: sum(1 for v in r.values() if v["caught"])  # noqa: E731
    rows.append(f"| | caught | {count(b_by)}/{len(b_by)} | {count(a_by)}/{len(a_by)} |")
    return "\n".join(rows)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tree", type=Path, default=Path(__file__).resolve().parent.parent,
                        help="scratch worktree with an editable install (default: this checkout)")
    parser.add_argument("--python", default=sys.executable, help="interpreter of that install")
    parser.add_argument("--timeout", type=float, default=1200.0, help="seconds per suite run")
    parser.add_argument("--only", help="comma-separated fault numbers")
    parser.add_argument("--no-baseline", action="store_true", help="skip the run without a fault")
    parser.add_argument("--json", type=Path, help="write the results here")
    parser.add_argument("--check", action="store_true", help="only check that every fault applies")
    parser.add_argument("--compare", nargs=2, type=Path, metavar=("BEFORE", "AFTER"))
    args = parser.parse_args()
    if args.compare:
        print(compare(*(json.loads(p.read_text()) for p in args.compare)))
        return 0
    if args.check:
        for file, original, faulty, _, _ in FAULTS:
            choose(args.tree, file, original, faulty)
        print(f"{len(FAULTS)} faults checked")
        return 0
    only = {int(n) for n in args.only.split(",")} if args.only else None
    results = campaign(args.tree.resolve(), args.python, args.timeout, only, not args.no_baseline)
    caught = sum(1 for v in results["faults"].values() if v["caught"])
    print(f"caught {caught} of {len(results['faults'])}")
    if args.json:
        args.json.write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
