"""Partial and total RDFs against a brute-force loop over every lattice translation."""

from __future__ import annotations

import itertools
import math

import numpy as np
import pytest
from conftest import cubic, random_triclinic

from kelvara import Structure

SHELL = 4.1887902047863905


# ---- an independent reference: every translation within the cutoff, same arithmetic ----


def heights(matrix: np.ndarray) -> np.ndarray:
    a, b, c = matrix
    volume = abs(np.dot(a, np.cross(b, c)))
    return volume / np.array([np.linalg.norm(np.cross(b, c)), np.linalg.norm(np.cross(c, a)),
                              np.linalg.norm(np.cross(a, b))])


def reference_prdf(matrix, frac, species, cutoff, bin_size):
    """(r, partials, total) by brute force, evaluating each distance as the engine does."""
    m = np.asarray(matrix, dtype=float)
    w = np.asarray(frac, dtype=float)
    w = w - np.floor(w)
    w[w >= 1.0] = 0.0
    elements = sorted({e for site in species for e in site}, key=lambda e: e.encode())
    index = {e: k for k, e in enumerate(elements)}
    n_el = len(elements)
    n_edges = math.ceil((cutoff + bin_size) / bin_size)
    edges = np.arange(n_edges, dtype=float) * bin_size
    n_bins = n_edges - 1
    reach = [int(math.ceil(cutoff / h)) + 1 for h in heights(m)]
    shifts = np.array(list(itertools.product(*[range(-r, r + 1) for r in reach])), dtype=float)
    hist = np.zeros((n_el, n_el, n_bins))
    for i in range(len(w)):
        delta = (w[:, None, :] + shifts[None, :, :]) - w[i]
        x, y, z = (((delta[..., 0] * m[0, k] + delta[..., 1] * m[1, k]) + delta[..., 2] * m[2, k])
                   for k in range(3))
        d2 = (x * x + y * y) + z * z
        js, _ = np.nonzero((d2 <= cutoff * cutoff) & (d2 > 1e-16))
        d = np.sqrt(d2[(d2 <= cutoff * cutoff) & (d2 > 1e-16)])
        bins = np.searchsorted(edges, d, side="right") - 1
        bins[(bins == n_bins) & (d == edges[-1])] = n_bins - 1
        keep = bins < n_bins
        for j, b in zip(js[keep], bins[keep]):
            for ei, oi in species[i].items():
                for ej, oj in species[j].items():
                    hist[index[ei], index[ej], b] += oj * oi
    shell = (edges[1:] * edges[1:] * edges[1:] - edges[:-1] * edges[:-1] * edges[:-1]) * SHELL
    counts = {e: 0.0 for e in elements}
    for site in species:
        for e, o in site.items():
            counts[e] += o
    n_total = 0.0
    for site in species:
        n_total += sum(site.values())
    total = np.zeros(n_bins)
    partials = {}
    for p, q in itertools.product(range(n_el), repeat=2):
        total += hist[p, q] / (shell * n_total)
        n_p = counts[elements[p]]
        partials[elements[p], elements[q]] = (hist[p, q] / (n_p * shell) if n_p > 0
                                              else np.zeros(n_bins))
    return edges[:-1], partials, total


def check_against_reference(matrix, frac, species, cutoff, bin_size, exact=True):
    s = Structure(np.asarray(matrix).tolist(), np.asarray(frac).tolist(), species)
    r, partials, total = s.prdf(cutoff=cutoff, bin_size=bin_size)
    r_ref, partials_ref, total_ref = reference_prdf(matrix, frac, species, cutoff, bin_size)
    compare = np.testing.assert_array_equal if exact else np.testing.assert_allclose
    compare(r, r_ref)
    assert list(partials) == list(partials_ref)
    for key in partials:
        compare(partials[key], partials_ref[key])
    compare(total, total_ref)
    return total


def random_cell(rng, flat=None):
    m = np.diag(rng.uniform(4.0, 7.0, 3)) + rng.uniform(-1.5, 1.5, (3, 3))
    if flat is not None:
        m[2] = [0.3, -0.2, flat]
    return m


@pytest.mark.parametrize("cutoff", [2.5, 6.0, 11.0])
@pytest.mark.parametrize("seed", range(3))
def test_random_triclinic_counts_match_brute_force(seed, cutoff):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 12))
    species = [{("A", "B", "C")[k % 3]: 1.0} for k in range(n)]
    check_against_reference(random_cell(rng), rng.random((n, 3)) * 3 - 1, species, cutoff, 0.05)


@pytest.mark.parametrize("thickness", [0.4, 1.3])
def test_very_flat_cell_matches_brute_force(rng, thickness):
    species = [{"A": 1.0}, {"B": 1.0}, {"A": 1.0}]
    check_against_reference(random_cell(rng, flat=thickness), rng.random((3, 3)), species, 5.0, 0.1)


def test_large_cell_capped_grid_matches_brute_force(rng):
    # Every height is above 64 cutoffs: the grid is capped at 64 cells per axis.
    frac = rng.random((60, 3))
    species = [{"A": 1.0} if k % 2 else {"B": 1.0} for k in range(60)]
    frac[1] = frac[0] + [0.004, 0.0, 0.0]
    check_against_reference(np.diag([100.0, 90.0, 80.0]), frac, species, 1.2, 0.1)


def test_disordered_sites_match_brute_force(rng):
    species = [{"A": 0.5, "B": 0.25}, {"B": 0.9}, {"A": 0.3, "C": 0.7}, {"C": 1.0}, {"A": 0.1}]
    check_against_reference(random_cell(rng), rng.random((5, 3)), species, 7.0, 0.2, exact=False)


def test_simple_cubic_shells():
    s = cubic(3.0, [[0, 0, 0]], [{"X": 1.0}])
    r, partials, total = s.prdf(cutoff=4.0, bin_size=0.1)
    assert len(r) == 40
    assert total[30] == 6 / 11.690913461558832 == 0.5132190927363154
    assert np.count_nonzero(total) == 1
    np.testing.assert_array_equal(partials["X", "X"], total)
    # Beyond the cell: 6 at 3, 12 at 4.243, 8 at 5.196, 6 at 6 ... from a reach of 4.
    total10 = check_against_reference(np.diag([3.0] * 3), [[0, 0, 0]], [{"X": 1.0}], 10.0, 0.1)
    shell = (np.arange(1, 101) ** 3 - np.arange(100) ** 3) * 0.001 * SHELL
    counts = np.rint(total10 * shell).astype(int)
    assert counts[30] == 6 and counts[42] == 12 and counts[51] == 8 and counts[60] == 6


def one_site_line(a: float, cutoff: float, bin_size: float):
    """Images along a at exactly k*a: one site, a cell long along the other axes."""
    s = Structure([[a, 0, 0], [0, 50.0, 0], [0, 0, 50.0]], [[0, 0, 0]], [{"X": 1.0}])
    r, _, total = s.prdf(cutoff=cutoff, bin_size=bin_size)
    edges = np.append(r, len(r) * bin_size)
    shell = (edges[1:] ** 3 - edges[:-1] ** 3) * SHELL
    return np.rint(total * shell).astype(int)


@pytest.mark.parametrize(("a", "cutoff", "bin_size", "bin_index"), [
    (1.7, 2.0, 0.1, 16),  # 1.7 / 0.1 is 17, but edges[17] = 1.7000000000000002 > 1.7
    (4.3, 5.0, 0.1, 43),  # floor(4.3 / 0.1) is 42, but edges[43] = 4.3 exactly
    (3.0, 3.0, 0.5, 5),   # exactly at the cutoff and on the last edge: the last bin
    (2.5, 2.5, 2.5, 0),   # bin_size equal to the cutoff: one bin
])
def test_bins_are_decided_by_the_stored_edges(a, cutoff, bin_size, bin_index):
    counts = one_site_line(a, cutoff, bin_size)
    assert counts[bin_index] == 2
    assert counts.sum() == 2


def test_just_beyond_the_last_edge_is_not_counted():
    assert one_site_line(math.nextafter(3.0, 4.0), 3.0, 0.5).sum() == 0
    # This cutoff ends its edges at 4.0, just below itself: a pair at 4.0 is counted in
    # the last bin, one between the last edge and the cutoff is not counted at all.
    cutoff = math.nextafter(4.0, 5.0)
    counts = one_site_line(4.0, cutoff, 0.1)
    assert len(counts) == 40 and counts[39] == 2 and counts.sum() == 2
    assert one_site_line(cutoff, cutoff, 0.1).sum() == 0


@pytest.mark.parametrize(("gap", "counted"), [(0.5e-8, False), (2e-8, True)])
def test_coincident_sites_are_dropped(gap, counted):
    s = cubic(1.0, [[0, 0, 0], [gap, 0, 0]], [{"A": 1.0}, {"B": 1.0}])
    _, partials, _ = s.prdf(cutoff=0.5, bin_size=0.1)
    assert (partials["A", "B"][0] > 0) == counted


def test_half_occupied_pair_weights():
    s = cubic(20.0, [[0, 0, 0], [0.125, 0, 0]], [{"A": 0.5, "B": 0.5}] * 2)
    r, partials, _ = s.prdf(cutoff=5.0, bin_size=0.1)
    k = 25
    shell = ((26 * 0.1) * (26 * 0.1) * (26 * 0.1) - r[k] * r[k] * r[k]) * SHELL
    for key, curve in partials.items():
        assert curve[k] == 0.5 / (1.0 * shell), key  # 0.25 from each end, N_p = 1
        assert np.count_nonzero(curve) == 1


def test_wrapped_coordinates_give_the_same_curves():
    a = cubic(5.0, [[-0.25, 0.1, 1.75], [0.5, 0.5, 0.5]], [{"A": 1.0}, {"B": 1.0}])
    b = cubic(5.0, [[0.75, 0.1, 0.75], [0.5, 0.5, 0.5]], [{"A": 1.0}, {"B": 1.0}])
    for x, y in zip(a.prdf(cutoff=8.0)[1].values(), b.prdf(cutoff=8.0)[1].values()):
        np.testing.assert_array_equal(x, y)


def disordered(rng, n=40):
    species = []
    for _ in range(n):
        o = rng.uniform(0.2, 0.8)
        species.append({"Fe": o, "Ni": 1 - o} if rng.random() < 0.6 else {"O": rng.uniform(0.5, 1.0)})
    return Structure(random_cell(rng).tolist(), rng.random((n, 3)).tolist(), species)


def test_partial_relations(rng):
    s = disordered(rng)
    r, partials, total = s.prdf(cutoff=6.0, bin_size=0.1)
    comp = s.composition
    n = sum(comp.values())
    weighted = sum(comp[p] / n * partials[p, q] for p, q in partials)
    np.testing.assert_allclose(total, weighted, rtol=1e-12, atol=1e-15)
    for p, q in partials:
        np.testing.assert_allclose(comp[p] * partials[p, q], comp[q] * partials[q, p],
                                   rtol=1e-12, atol=1e-15)


def test_zero_occupancy_element_has_zero_partials():
    s = cubic(4.0, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"A": 0.0, "B": 1.0}, {"B": 1.0}])
    _, partials, total = s.prdf(cutoff=5.0)
    assert list(partials) == [("A", "A"), ("A", "B"), ("B", "A"), ("B", "B")]
    for key in [("A", "A"), ("A", "B"), ("B", "A")]:
        assert not partials[key].any()
    np.testing.assert_array_equal(partials["B", "B"], total)


def test_partials_keys_follow_element_order():
    s = cubic(5.64, [[0, 0, 0], [0.5, 0, 0]], [{"Na": 1.0}, {"Cl": 1.0}])
    _, partials, _ = s.prdf()
    assert list(partials) == [("Cl", "Cl"), ("Cl", "Na"), ("Na", "Cl"), ("Na", "Na")]
    assert all(isinstance(v, np.ndarray) and v.dtype == np.float64 for v in partials.values())


def test_defaults_and_total_rdf(rng):
    s = random_triclinic(rng, 8)
    r, partials, total = s.prdf()
    assert len(r) == 100 and r[3] == 0.30000000000000004 and r[99] == 9.9
    r2, total2 = s.total_rdf()
    np.testing.assert_array_equal(r, r2)
    np.testing.assert_array_equal(total, total2)
    assert r.flags.writeable and r.base is None


@pytest.mark.parametrize("threads", [1, 2, 3, 8])
def test_thread_counts_agree_bit_for_bit(rng, threads):
    ordered = random_triclinic(rng, 300, elements=("A", "B", "C"))
    mixed = disordered(rng, 200)
    for s in (ordered, mixed):
        _, p0, t0 = s.prdf(cutoff=5.0, n_threads=0)
        _, p1, t1 = s.prdf(cutoff=5.0, n_threads=threads)
        np.testing.assert_array_equal(t0, t1)
        for key in p0:
            np.testing.assert_array_equal(p0[key], p1[key])


@pytest.mark.parametrize(("kwargs", "message"), [
    ({"cutoff": 0}, "cutoff must be positive"),
    ({"cutoff": -1, "bin_size": 0.1}, "cutoff must be positive"),
    ({"cutoff": -1, "n_threads": 2}, "cutoff must be positive"),
    ({"cutoff": float("nan")}, "cutoff must be positive"),
    ({"cutoff": float("inf")}, "cutoff must be positive"),
    ({"bin_size": 0}, "bin_size must be positive and no larger than the cutoff"),
    ({"bin_size": -0.1}, "bin_size must be positive and no larger than the cutoff"),
    ({"cutoff": 10, "bin_size": 10.5}, "bin_size must be positive and no larger than the cutoff"),
    ({"bin_size": float("nan")}, "bin_size must be positive and no larger than the cutoff"),
    ({"cutoff": 10, "bin_size": 1e-12}, "too many to hold in memory"),
    ({"cutoff": 1e300, "bin_size": 1e299}, "is too large for this cell"),
])
def test_bad_values_raise_value_error(kwargs, message):
    s = cubic(3.0, [[0, 0, 0]], [{"X": 1.0}])
    with pytest.raises(ValueError) as info:
        s.prdf(**kwargs)
    assert message in str(info.value)
    if message.startswith(("cutoff must", "bin_size must")):
        assert info.value.args == (message,)


@pytest.mark.parametrize(("kwargs", "error", "name"), [
    ({"cutoff": "x"}, TypeError, "cutoff"),
    ({"bin_size": None}, TypeError, "bin_size"),
    ({"n_threads": 1.5}, TypeError, "n_threads"),
    ({"n_threads": -1}, OverflowError, None),
    ({"n_threads": 2**64}, OverflowError, None),
    ({"save_plots": 3}, TypeError, "save_plots"),
    ({"title": b"x"}, TypeError, "title"),
])
def test_bad_types_raise_before_work(kwargs, error, name):
    s = cubic(3.0, [[0, 0, 0]], [{"X": 1.0}])
    with pytest.raises(error) as info:
        s.prdf(**{"cutoff": 0, **kwargs})  # cutoff 0 would fail later, in the computation
    if name:
        assert f"argument '{name}'" in str(info.value)


@pytest.mark.parametrize(("cutoff", "shape"), [(3.0, "triclinic"), (4.5, "triclinic"),
                                               (6.0, "flat"), (4.5, "orthorhombic")])
def test_dense_cells_match_brute_force(cutoff, shape):
    # Many sites per cell: finer grids and the vector loops (a shorter one for
    # orthogonal cells) take over.
    rng = np.random.default_rng(int(cutoff * 10))
    matrix = np.diag([13.0, 12.0, 11.0])
    if shape != "orthorhombic":
        matrix = matrix + rng.uniform(-2.0, 2.0, (3, 3))
    if shape == "flat":
        matrix[2] = [0.4, 0.3, 2.0]
    n = 400
    species = [{("A", "B")[k % 2]: 1.0} for k in range(n)]
    check_against_reference(matrix, rng.random((n, 3)), species, cutoff, 0.05)
    mixed = [{"A": 0.5, "B": 0.5} if k % 3 else {"B": 0.75} for k in range(n)]
    check_against_reference(matrix, rng.random((n, 3)), mixed, cutoff, 0.05, exact=False)


def test_cutoff_far_beyond_a_small_cell():
    # Hundreds of thousands of images per centre: they are scanned in several batches.
    matrix = [[3.1, 0.0, 0.0], [0.4, 2.9, 0.0], [0.2, -0.3, 3.3]]
    frac = [[0.0, 0.0, 0.0], [0.4, 0.55, 0.3]]
    check_against_reference(matrix, frac, [{"A": 1.0}, {"B": 1.0}], 100.0, 0.5)
