"""Special quasirandom structures, compact supercells and pair counts per neighbour shell."""
from __future__ import annotations

import itertools

import numpy as np
import pytest

from conftest import cubic
from kelvara import Structure

FIVE = {"Co": 0.2, "Cr": 0.2, "Fe": 0.2, "Mn": 0.2, "Ni": 0.2}
FCC = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]


def fcc_primitive(a: float, species: dict) -> Structure:
    return Structure(np.array([[0, 1, 1], [1, 0, 1], [1, 1, 0]]) * a / 2, [[0, 0, 0]], [species])


def brute_shell_counts(s: Structure, bounds) -> dict:
    """Ordered pair counts per shell over every image within the outer bound, by a NumPy loop."""
    m, frac = s.lattice_matrix, s.frac_coords
    labels = [max(d, key=d.get) for d in s.species]
    reach = [int(np.ceil(bounds[-1] * np.linalg.norm(np.linalg.inv(m)[:, k]))) + 1 for k in range(3)]
    shifts = np.array(list(itertools.product(*(range(-r, r + 1) for r in reach))), float)
    counts: dict = {}
    for i, j in itertools.product(range(len(labels)), repeat=2):
        d = np.linalg.norm(((frac[j] + shifts) - frac[i]) @ m, axis=1)
        d = d[d > 1e-8]
        for k in range(len(bounds) - 1):
            n = int(np.count_nonzero((d >= bounds[k]) & (d < bounds[k + 1])))
            key = (labels[i], labels[j], k)
            counts[key] = counts.get(key, 0) + n
    return counts


def pass_counts(s: Structure, bounds) -> dict:
    elements, flat = s._shell_pair_counts(bounds)
    n_el, n_sh = len(elements), len(bounds) - 1
    flat = np.asarray(flat).reshape(n_el, n_el, n_sh)
    return {(a, b, k): int(flat[p, q, k]) for (p, a), (q, b) in itertools.product(enumerate(elements), repeat=2)
            for k in range(n_sh)}


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_shell_counts_match_brute_force(rng, seed):
    # Random orderings of a small fcc cell and of a skewed cell, shells from the pass itself.
    gen = np.random.default_rng(seed)
    for parent in (cubic(3.6, FCC, [FIVE] * 4), fcc_primitive(3.6, {"Fe": 0.5, "Ni": 0.5})):
        ordered, _ = parent.expand_occupancies(max_sites=40, seed=int(gen.integers(1 << 30)), method="sqs",
                                               steps=1)
        radii, bounds = ordered._neighbour_shells(3)
        assert radii == pytest.approx([2.5456, 3.6, 4.4091], abs=1.5e-3)
        assert pass_counts(ordered, bounds) == {k: v for k, v in brute_shell_counts(ordered, bounds).items()}


def alpha_from_counts(counts: dict, labels: list[str], n_shells: int) -> dict:
    total = {lab: 0 for lab in labels}
    for (a, b, k), n in counts.items():
        if k == 0:
            total[a] += n
    share = {lab: total[lab] / sum(total.values()) for lab in labels}
    out = {}
    for a, b in itertools.combinations_with_replacement(labels, 2):
        values = []
        for k in range(n_shells):
            around = sum(counts[(a, c, k)] for c in labels)
            values.append(1 - counts[(a, b, k)] / around / share[b])
        out[(a, b)] = values
    return out


@pytest.mark.parametrize("parent, max_sites, shares", [
    (fcc_primitive(3.6, FIVE), 100, {e: 20 for e in FIVE}),
    (cubic(3.6, FCC, [FIVE] * 4), 40, {e: 8 for e in FIVE}),
    (fcc_primitive(3.6, {"Fe": 0.75, "Ni": 0.25}), 64, {"Fe": 48, "Ni": 16}),
])
def test_sqs_invariants(parent, max_sites, shares):
    kwargs = dict(max_sites=max_sites, method="sqs", steps=20000, seed=7)
    ordered, report = parent.expand_occupancies(**kwargs, n_threads=1)
    again, report2 = parent.expand_occupancies(**kwargs, n_threads=2)
    assert ordered.species == again.species and ordered.frac_coords == again.frac_coords
    assert report["sqs"]["alpha"] == report2["sqs"]["alpha"]
    assert ordered.composition == {e: float(n) for e, n in shares.items()}
    assert report["composition"] == ordered.composition and report["warnings"] == []
    cell = report["cell"]
    assert np.allclose(np.array(cell["matrix"]) @ parent.lattice_matrix, ordered.lattice_matrix)
    assert round(abs(np.linalg.det(cell["matrix"]))) * parent.n_sites == ordered.n_sites
    # The reported alpha are those of the structure returned, recounted by the pair pass.
    sqs = report["sqs"]
    radii, bounds = ordered._neighbour_shells(3)
    assert radii == pytest.approx(sqs["shell_radii"], abs=1.5e-3)
    recount = alpha_from_counts(pass_counts(ordered, bounds), sorted(shares), 3)
    for entry in sqs["alpha"]:
        assert entry["after"] == pytest.approx(recount[tuple(sorted(entry["pair"]))], abs=1e-12)
    worst = max(abs(a) for e in sqs["alpha"] for a in e["after"])
    assert sqs["objective"] == pytest.approx(worst) and sqs["objective"] < sqs["objective_before"]
    assert sqs["steps_budget"] == 4 * 20000 and sqs["stopped"] is None
    assert sqs["steps"] == sqs["steps_budget"] or sqs["objective"] == 0  # a perfect match ends a search


def test_sqs_sublattices_and_vacancies():
    # A rock salt with a mixed cation site and a half-empty anion site: each keeps its
    # own counts, vacancies are left out, ordered copies come first.
    s = cubic(5.6, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Mg": 0.75, "Fe": 0.25}, {"O": 0.5}])
    ordered, report = s.expand_occupancies(max_sites=64, method="sqs", steps=2000)
    assert ordered.composition == {"Fe": 8.0, "Mg": 24.0, "O": 16.0}
    assert report["n_vacancies"] == 16
    pairs = {(tuple(e["pair"]), tuple(e["sites"])) for e in report["sqs"]["alpha"]}
    assert (("O", "Va"), (1, 1)) in pairs and (("Fe", "O"), (0, 1)) in pairs


def test_sqs_time_limit_and_ordered_input():
    big = fcc_primitive(3.6, FIVE)
    _, report = big.expand_occupancies(max_sites=2000, method="sqs", steps=10**9, time_limit=0.2)
    assert report["sqs"]["stopped"] == "time" and report["sqs"]["steps"] < 4 * 10**9
    ordered, report = cubic(3.0, [[0, 0, 0]], [{"Fe": 1.0}]).expand_occupancies(method="sqs")
    assert ordered.n_sites == 1 and "sqs" not in report


@pytest.mark.parametrize("kwargs, message", [
    ({"method": "mc"}, "method must be 'random' or 'sqs', not 'mc'"),
    ({"method": "sqs", "shape": "any"}, "method='sqs' picks its own cell; leave shape at 'cube'"),
    ({"method": "sqs", "shells": 0}, "shells must be at least 1"),
    ({"method": "sqs", "time_limit": -1.0}, "time_limit must be a number of seconds, 0 or more"),
    ({"min_height_ratio": 2.0}, "min_height_ratio must be between 0 and 1"),
])
def test_refusals(kwargs, message):
    with pytest.raises(ValueError) as info:
        fcc_primitive(3.6, FIVE).expand_occupancies(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("lengths, copies, ratio", [
    ((3.6, 3.6, 3.6), 25, 0.8),    # no 25-cell repetition of a cube is compact
    ((3.0, 3.0, 30.0), 10, 0.3),   # a long cell: the best of 10 copies stays flat, and says so
])
def test_compact_cells(lengths, copies, ratio):
    s = Structure(np.diag(lengths), [[0, 0, 0]], [{"Fe": 1 / copies, "Ni": 1 - 1 / copies}])
    ordered, report = s.expand_occupancies(max_sites=copies, method="sqs", steps=100)
    cell = report["cell"]
    heights = [ordered.volume / np.linalg.norm(np.cross(*np.delete(ordered.lattice_matrix, k, 0))) for k in range(3)]
    assert cell["shortest_height"] == pytest.approx(min(heights))
    assert cell["height_ratio"] == pytest.approx(min(heights) / max(heights)) and cell["height_ratio"] > ratio
    flat = [w for w in report["warnings"] if "is flat" in w]
    assert bool(flat) == (cell["height_ratio"] < 0.5)


def test_warren_cowley_matches_brute_force_and_sums_frames():
    from kelvara.analysis import warren_cowley

    parent = fcc_primitive(3.6, FIVE)
    frames = [parent.expand_occupancies(max_sites=40, method="sqs", steps=1, seed=s)[0] for s in (1, 2)]
    sro = warren_cowley(frames[0])
    assert sro.radii == pytest.approx([2.5456, 3.6, 4.4091], abs=6e-4) and sro.n_frames == 1
    brute = [brute_shell_counts(f, sro.bounds) for f in frames]
    expected = alpha_from_counts(brute[0], sorted(FIVE), 3)
    assert sorted(sro) == sorted(set(expected) | {(b, a) for a, b in expected})
    for (a, b), values in expected.items():  # alpha_ij = alpha_ji with equal shares
        assert sro[(a, b)] == pytest.approx(values, abs=1e-12) and sro[(b, a)] == pytest.approx(values, abs=1e-12)
    summed = {k: brute[0][k] + brute[1][k] for k in brute[0]}
    both = warren_cowley(frames, radii=sro.radii)
    assert both.n_frames == 2
    for (a, b), values in alpha_from_counts(summed, sorted(FIVE), 3).items():
        assert both[(a, b)] == pytest.approx(values, abs=1e-12)


def test_warren_cowley_on_a_sublattice_and_on_partial_occupancies():
    from kelvara.analysis import warren_cowley

    s = cubic(3.95, [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]],
              [{"Sr": 0.5, "Ba": 0.5}, {"Ti": 1.0}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0}])
    ordered, report = s.expand_occupancies(max_sites=160, method="sqs", steps=500)
    sro = warren_cowley(ordered, elements=("Ba", "Sr"), parent=s)
    assert sro.radii == pytest.approx([3.95, 3.95 * 2**0.5, 3.95 * 3**0.5], abs=6e-4)
    for entry in report["sqs"]["alpha"]:
        assert sro[tuple(entry["pair"])] == pytest.approx(entry["after"], abs=1e-12)
    with pytest.warns(UserWarning, match="alpha is 0 by construction"):
        weighted = warren_cowley(fcc_primitive(3.6, FIVE))
    assert weighted.note and np.allclose(list(weighted.values()), 0, atol=1e-12)
    with pytest.raises(ValueError, match="no site holds any of Xx"):
        warren_cowley(ordered, elements=["Xx"])


def test_binary_alpha_matches_icet_pair_correlations():
    # For a binary with spins +1 / -1, icet's pair correlation of a shell is
    # <s_i s_j> = 1 - 4 c_A c_B (1 - alpha_AB).
    icet = pytest.importorskip("icet")
    from kelvara.analysis import warren_cowley
    from kelvara.interop import to_ase

    parent = fcc_primitive(3.6, {"Fe": 0.75, "Ni": 0.25})
    ordered, _ = parent.expand_occupancies(max_sites=32, method="sqs", steps=1, seed=3)
    prim = to_ase(Structure(parent.lattice_matrix, parent.frac_coords, [{"Fe": 1.0}]))
    space = icet.ClusterSpace(prim, [4.8], [["Fe", "Ni"]])
    pairs = space.get_cluster_vector(to_ase(ordered))[2:5]
    alpha = warren_cowley(ordered)[("Fe", "Ni")]
    assert np.abs(pairs) == pytest.approx(np.abs(1 - 4 * 0.75 * 0.25 * (1 - np.array(alpha))), abs=1e-12)


def test_sqs_when_no_exact_cell_fits_and_for_other_seeds():
    # 0.7 / 0.3 needs 10 cells; within 9 the closest count is taken and the miss is named.
    s = fcc_primitive(3.6, {"Fe": 0.7, "Ni": 0.3})
    ordered, report = s.expand_occupancies(max_sites=9, method="sqs", steps=200)
    assert ordered.n_sites == 7 and ordered.composition == {"Fe": 5.0, "Ni": 2.0}
    assert report["warnings"] == ["the expanded structure misses the input's composition on site 0 (7 sites of "
                                  "its composition in the cell): Fe 0.7143 (5 atoms) for 0.7000, Ni 0.2857 "
                                  "(2 atoms) for 0.3000; a cell of a multiple of 10 input cells (10 sites) "
                                  "holds it exactly"]
    # Another seed: another arrangement of the same counts in the same cell.
    a, ra = fcc_primitive(3.6, FIVE).expand_occupancies(max_sites=40, method="sqs", steps=200, seed=1)
    b, rb = fcc_primitive(3.6, FIVE).expand_occupancies(max_sites=40, method="sqs", steps=200, seed=2)
    assert a.composition == b.composition and ra["cell"] == rb["cell"] and a.species != b.species


def test_warren_cowley_over_trajectory_frames(tmp_path):
    from kelvara.analysis import warren_cowley
    from kelvara.io import write_extxyz
    from kelvara.trajectory import Frames

    frames = [fcc_primitive(3.6, FIVE).expand_occupancies(max_sites=40, method="sqs", steps=1, seed=s)[0]
              for s in (4, 5)]
    paths = [tmp_path / f"f{i}.xyz" for i in range(2)]
    for frame, path in zip(frames, paths):
        write_extxyz(frame, path)
    (tmp_path / "md.xyz").write_text("".join(p.read_text() for p in paths))
    from_file = warren_cowley(Frames(str(tmp_path / "md.xyz")), radii=[2.5456, 3.6, 4.4091])
    assert from_file.n_frames == 2
    assert from_file == warren_cowley(frames, radii=[2.5456, 3.6, 4.4091])
    with pytest.raises(ValueError, match="radii must be positive shell distances in increasing order"):
        warren_cowley(frames, radii=[3.6, 2.5])
    with pytest.raises(ValueError, match="chunk must be at least 1"):  # the selection is checked as everywhere
        warren_cowley(Frames(str(tmp_path / "md.xyz"), chunk=0), radii=[2.5456, 3.6, 4.4091])


@pytest.mark.parametrize("seed", [11, 12])
def test_combined_cells_hold_the_parent_sites(seed):
    # A skewed two-site parent: every site of the compact cell is a parent site moved
    # by a whole lattice vector, and each parent site has one copy per cell.
    gen = np.random.default_rng(seed)
    matrix = np.diag([3.1, 3.4, 3.9]) + np.triu(gen.uniform(-0.8, 0.8, (3, 3)), 1)
    frac = gen.random((2, 3))
    parent = Structure(matrix, frac, [{"Fe": 0.5, "Ni": 0.5}, {"O": 1.0}])
    ordered, report = parent.expand_occupancies(max_sites=2 * 26, method="sqs", steps=10)
    copies = round(abs(np.linalg.det(report["cell"]["matrix"])))
    assert ordered.n_sites == 2 * copies == 52 and report["cell"]["height_ratio"] > 0.5
    in_parent = np.asarray(ordered.cart_coords) @ np.linalg.inv(matrix)
    for site, species in zip(in_parent, ordered.species):
        offsets = (site - frac) % 1.0
        nearest = np.minimum(offsets, 1.0 - offsets).max(axis=1)
        assert nearest[0 if "O" not in species else 1] < 1e-9


def test_any_shape_says_when_even_a_combination_is_flat():
    s = Structure(np.diag([3.0, 3.0, 30.0]), [[0, 0, 0]], [{"Fe": 0.1, "Ni": 0.9}])
    _, report = s.expand_occupancies(max_sites=10, shape="any")
    ratio = report["cell"]["height_ratio"]
    assert ratio < 0.5 and report["warnings"] == [
        f"the most compact cell of 10 input cells is flat: its shortest height {report['cell']['shortest_height']:.2f} A "
        f"is {ratio:.2f} of its longest ({report['cell']['longest_height']:.2f} A), below the limit of 0.5"]
    _, allowed = s.expand_occupancies(max_sites=10, shape="any", min_height_ratio=0.0)
    assert allowed["warnings"] == [] and allowed["scale"] == [2, 5, 1]  # the repetition, unguarded
