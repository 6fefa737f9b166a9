"""Partial and total RDFs against a brute-force loop over every lattice translation."""

from __future__ import annotations

import itertools
import math
import platform
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
from conftest import cubic, random_triclinic

from kelvara import Structure
from kelvara._kelvara import _frames_prdf
from kelvara.analysis import shell_volumes

ROOT = Path(__file__).resolve().parent.parent
SHELL = 4.1887902047863905
AFTER_4 = math.nextafter(4.0, 5.0)
# Mixed sites, one with a zero-occupancy element (D): its partials must be zeros, not NaN.
MIXED = [{"A": 0.5, "B": 0.25}, {"B": 0.9}, {"A": 0.3, "C": 0.7}, {"C": 1.0}, {"A": 0.1, "D": 0.0}]


# ---- an independent reference: every translation within the cutoff, same arithmetic ----


def reference_prdf(matrix, frac, species, cutoff, bin_size, self_images=True):
    """(r, partials, total, pair counts, shell volumes) by brute force, evaluating each
    distance as the engine does; with `self_images` False no site meets its own
    periodic images."""
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
    a, b, c = m
    heights = abs(np.dot(a, np.cross(b, c))) / np.linalg.norm(
        [np.cross(b, c), np.cross(c, a), np.cross(a, b)], axis=1)
    reach = [int(math.ceil(cutoff / h)) + 1 for h in heights]
    shifts = np.array(list(itertools.product(*[range(-r, r + 1) for r in reach])), dtype=float)
    hist = np.zeros((n_el, n_el, n_bins))
    for i in range(len(w)):
        delta = (w[:, None, :] + shifts[None, :, :]) - w[i]
        x, y, z = (((delta[..., 0] * m[0, k] + delta[..., 1] * m[1, k]) + delta[..., 2] * m[2, k])
                   for k in range(3))
        d2 = (x * x + y * y) + z * z
        inside = (d2 <= cutoff * cutoff) & (d2 > 1e-16)
        if not self_images:
            inside[i] = False
        js, _ = np.nonzero(inside)
        d = np.sqrt(d2[inside])
        bins = np.searchsorted(edges, d, side="right") - 1
        bins[(bins == n_bins) & (d == edges[-1])] = n_bins - 1
        keep = bins < n_bins
        for j, bin_ in zip(js[keep], bins[keep]):
            for ei, oi in species[i].items():
                for ej, oj in species[j].items():
                    hist[index[ei], index[ej], bin_] += oj * oi
    outer = edges[1:].copy()
    if edges[-2] < cutoff:
        outer[-1] = min(outer[-1], cutoff)  # pairs end at the cutoff, and so does the last shell
    shell = (outer * outer * outer - edges[:-1] * edges[:-1] * edges[:-1]) * SHELL
    counts = {e: sum(site.get(e, 0.0) for site in species) for e in elements}
    n_total = sum(sum(site.values()) for site in species)
    total = np.zeros(n_bins)
    partials = {}
    for p, q in itertools.product(range(n_el), repeat=2):
        total += hist[p, q] / (shell * n_total)
        n_p = counts[elements[p]]
        partials[elements[p], elements[q]] = (hist[p, q] / (n_p * shell) if n_p > 0
                                              else np.zeros(n_bins))
    pair_counts = {(elements[p], elements[q]): hist[p, q] for p, q in itertools.product(range(n_el), repeat=2)}
    return edges[:-1], partials, total, pair_counts, shell


def check_against_reference(matrix, frac, species, cutoff, bin_size, exact=True, self_images=True):
    s = Structure(np.asarray(matrix).tolist(), np.asarray(frac).tolist(), species)
    if self_images:
        r, partials, total = s.prdf(cutoff=cutoff, bin_size=bin_size)
    else:  # as a frame of a simulation box
        (r, partials, total), = _frames_prdf([s], cutoff, bin_size, self_images=False)
    r_ref, partials_ref, total_ref, counts_ref, shell_ref = reference_prdf(matrix, frac, species, cutoff,
                                                                           bin_size, self_images)
    compare = np.testing.assert_array_equal if exact else np.testing.assert_allclose
    if self_images:  # what the curves are made of: the pairs counted and the shells
        r_counts, counts, shells = s._pair_counts(cutoff=cutoff, bin_size=bin_size)
        np.testing.assert_array_equal(r_counts, r_ref)
        np.testing.assert_array_equal(shells, shell_ref)
        assert list(counts) == list(counts_ref)
        for key in counts:
            compare(counts[key], counts_ref[key])
    compare(r, r_ref)
    assert list(partials) == list(partials_ref)
    assert all(curve.dtype == np.float64 for curve in partials.values())
    for key in partials:
        compare(partials[key], partials_ref[key])
    compare(total, total_ref)


def make_cell(shape: str, rng: np.random.Generator) -> np.ndarray:
    """A cell of each kind the engine treats differently."""
    fixed = {
        "large": np.diag([100.0, 90.0, 80.0]),  # heights above 64 cutoffs: the grid is capped
        "small": np.array([[3.1, 0.0, 0.0], [0.4, 2.9, 0.0], [0.2, -0.3, 3.3]]),
        "orthorhombic": np.diag([13.0, 12.0, 11.0]),  # the shorter vector loop
    }
    if shape in fixed:
        return fixed[shape]
    size = 12.0 if shape.startswith("dense") else 5.5
    m = np.diag(rng.uniform(size - 1.5, size + 1.5, 3)) + rng.uniform(-1.5, 1.5, (3, 3))
    if shape.endswith("flat"):
        m[2] = [0.3, -0.2, 0.4 if shape == "flat" else 2.0]
    if shape.endswith("lower"):
        m = np.tril(m)  # a along x, b in the xy plane
    if shape.endswith("upper"):
        m = np.triu(m)  # c along z, b in the yz plane
    return m


@pytest.mark.parametrize(("shape", "n_sites", "cutoff", "bin_size"), [
    ("triclinic", 1, 11.0, 0.05),  # a lone site and its images, far beyond the cell
    ("triclinic", 5, 2.5, 0.05),
    ("triclinic", 11, 6.0, 0.05),
    ("triclinic", 8, 11.0, 0.05),
    ("flat", 3, 5.0, 0.1),
    ("large", 60, 1.2, 0.1),
    ("small", 2, 100.0, 0.5),  # hundreds of thousands of images per centre, in batches
    # Many sites per cell: finer grids and the vector loops take over.
    ("dense", 400, 3.0, 0.05),
    ("dense", 400, 4.5, 0.05),
    ("dense flat", 400, 6.0, 0.05),
    ("orthorhombic", 400, 4.5, 0.05),
    ("dense lower", 400, 4.5, 0.05),  # triangular cells: kernels that skip the zero entries
    ("dense upper", 400, 4.5, 0.05),
    ("triclinic", 40, 5.03, 0.1),  # the last bin ends past the cutoff
])
def test_curves_match_brute_force(rng, shape, n_sites, cutoff, bin_size):
    matrix = make_cell(shape, rng)
    frac = rng.random((n_sites, 3)) * 3 - 1  # unwrapped coordinates
    if n_sites > 1:
        frac[1] = frac[0] + [0.004, 0.0, 0.0]  # one close pair, so sparse cells count something
    ordered = [{"ABC"[k % 3]: 1.0} for k in range(n_sites)]
    check_against_reference(matrix, frac, ordered, cutoff, bin_size)
    # Occupancy-weighted pairs: the same distances, summed in another order.
    mixed = [MIXED[k % len(MIXED)] for k in range(n_sites)]
    check_against_reference(matrix, frac, mixed, cutoff, bin_size, exact=False)


# Every pair is measured once and added for both of its ends: the cases a half scan
# gets wrong most easily. A pair seen from its two ends is measured through w_j + s
# and through w_i - s, which round differently, so on a bin edge or at the cutoff
# the two ends may disagree; each end must keep its own answer.
@pytest.mark.parametrize(("matrix", "n_sites", "cutoff", "bin_size"), [
    (np.diag([2.0, 20.0, 21.0]), 150, 4.0, 0.1),  # thin along a only; images on edges
    (np.diag([2.0, 20.0, 21.0]), 150, 6.0, 0.1),  # ... and at the cutoff
    ([[2.5, 0.0, 0.0], [0.3, 9.0, 0.0], [0.2, -0.4, 9.5]], 40, 5.0, 0.25),  # triclinic
    (np.diag([3.0, 3.0, 3.0]), 1, 6.0, 0.1),  # one site with its own images only
    ([[3.1, 0.0, 0.0], [0.4, 2.9, 0.0], [0.2, -0.3, 3.3]], 3, 9.3, 0.31),  # many images per axis
    (np.diag([45.0, 44.0, 43.0]), 700, 0.69, 0.023),  # 64 cells per axis
    (np.diag([5.0, 5.2, 5.4]), 9, 4.9, 0.1),  # one cell per axis, a few sites: short lists
    (np.diag([9.0, 9.5, 10.0]), 130, 4.4, 0.1),  # vector tails of every length
])
def test_pairs_counted_from_both_ends(rng, matrix, n_sites, cutoff, bin_size):
    frac = rng.random((n_sites, 3))
    ordered = [{"AB"[k % 2]: 1.0} for k in range(n_sites)]
    check_against_reference(matrix, frac, ordered, cutoff, bin_size)
    check_against_reference(matrix, frac, [{"A": 0.5, "B": 0.25}] * n_sites, cutoff, bin_size, exact=False)
    check_against_reference(matrix, frac, [{"A": 0.5}] * n_sites, cutoff, bin_size, exact=False)
    # A simulation box: every pair but a site with its own images, bit for bit.
    check_against_reference(matrix, frac, ordered, cutoff, bin_size, self_images=False)
    check_against_reference(matrix, frac, [{"A": 0.5, "B": 0.25}] * n_sites, cutoff, bin_size, exact=False,
                            self_images=False)


def test_every_distance_kernel_agrees_bit_for_bit(tmp_path):
    """Each instruction set's kernels against the formula, run by a compiled probe: the
    Python tests reach only the kernels this processor prefers."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the kernel probe")
    exe = tmp_path / "kernel_probe"
    kernels = sorted(str(unit) for unit in (ROOT / "src/core/rdf").glob("pair_kernel*.cpp"))
    subprocess.run([compiler, "-std=c++2b", "-O2", "-ffp-contract=off", f"-I{ROOT / 'src'}", "-o", str(exe),
                    str(ROOT / "tests/native/kernel_probe.cpp"), *kernels], check=True)
    done = subprocess.run([exe], capture_output=True, text=True)
    lines = done.stdout.splitlines()
    assert done.returncode == 0, [line for line in lines if not line.startswith("OK")]
    names = {line.split()[1] for line in lines}
    assert {line.split()[3] for line in lines} == {"edges", "margins"}
    assert "scalar" in names
    cpuinfo = Path("/proc/cpuinfo")  # Linux: the probe must run the kernels the processor offers
    if cpuinfo.exists() and "avx2" in cpuinfo.read_text():
        assert {"avx2", "avx2-diagonal", "avx2-lower", "avx2-upper"} <= names
    if platform.machine().lower() in ("aarch64", "arm64"):
        assert {"neon", "neon-diagonal", "neon-lower", "neon-upper"} <= names


@pytest.mark.parametrize(("a", "cutoff", "bin_size", "bin_index", "n_bins"), [
    (1.7, 2.0, 0.1, 16, 20),  # 1.7 / 0.1 is 17, but edges[17] = 1.7000000000000002 > 1.7
    (4.3, 5.0, 0.1, 43, 50),  # floor(4.3 / 0.1) is 42, but edges[43] = 4.3 exactly
    (3 * 0.7, 3.0, 0.7, 3, 5),  # on edges[3], though 3 * 0.7 * (1 / 0.7) truncates to 2
    (3.0, 3.0, 0.5, 5, 6),  # exactly at the cutoff and on the last edge: the last bin
    (2.5, 2.5, 2.5, 0, 1),  # bin_size equal to the cutoff: one bin
    (4.0, AFTER_4, 0.1, 39, 40),  # the edges end at 4.0, just below this cutoff
    (math.nextafter(3.0, 4.0), 3.0, 0.5, None, 6),  # just beyond the cutoff
    (AFTER_4, AFTER_4, 0.1, None, 40),  # within the cutoff, beyond the last edge
])
def test_bins_are_decided_by_the_stored_edges(a, cutoff, bin_size, bin_index, n_bins):
    # One site, images along a at exactly k * a; the other axes are far longer.
    s = Structure([[a, 0, 0], [0, 50.0, 0], [0, 0, 50.0]], [[0, 0, 0]], [{"X": 1.0}])
    r, _, total = s.prdf(cutoff=cutoff, bin_size=bin_size)
    counts = np.rint(total * shell_volumes(r, bin_size, cutoff)).astype(int)  # neighbours per bin
    assert len(counts) == n_bins
    assert counts.sum() == (0 if bin_index is None else 2)
    if bin_index is not None:
        assert counts[bin_index] == 2


@pytest.mark.parametrize(("gap", "counted"), [(0.5e-8, False), (2e-8, True)])
def test_coincident_sites_are_dropped(gap, counted):
    s = cubic(1.0, [[0, 0, 0], [gap, 0, 0]], [{"A": 1.0}, {"B": 1.0}])
    _, partials, _ = s.prdf(cutoff=0.5, bin_size=0.1)
    assert (partials["A", "B"][0] > 0) == counted


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
    mixed = Structure(make_cell("triclinic", rng), rng.random((200, 3)), [MIXED[k % 5] for k in range(200)])
    for s in (ordered, mixed):
        _, p0, t0 = s.prdf(cutoff=5.0, n_threads=0)
        # Alone, and as frames counted side by side (each frame on one thread).
        for _, p1, t1 in [s.prdf(cutoff=5.0, n_threads=threads), *_frames_prdf([s] * 5, 5.0, 0.1, threads)]:
            np.testing.assert_array_equal(t0, t1)
            for key in p0:
                np.testing.assert_array_equal(p0[key], p1[key])


@pytest.mark.parametrize(("kwargs", "error", "message"), [
    ({"cutoff": 0}, ValueError, "cutoff must be positive"),
    ({"cutoff": -1, "n_threads": 2}, ValueError, "cutoff must be positive"),
    ({"cutoff": float("nan")}, ValueError, "cutoff must be a finite number"),
    ({"cutoff": float("inf")}, ValueError, "cutoff must be a finite number"),
    ({"bin_size": 0}, ValueError, "bin_size must be positive and no larger than the cutoff"),
    ({"cutoff": 10, "bin_size": 10.5}, ValueError, "bin_size must be positive and no larger than the cutoff"),
    ({"bin_size": -0.1}, ValueError, "bin_size must be positive and no larger than the cutoff"),
    ({"cutoff": 10, "bin_size": 1e-12}, ValueError, "too many to hold in memory"),
    ({"cutoff": 1e300, "bin_size": 1e299}, ValueError, "is too large for this cell"),
    # Types are checked before any work: cutoff 0 would fail later, in the computation.
    ({"cutoff": "x"}, TypeError, "argument 'cutoff'"),
    ({"cutoff": 0, "bin_size": None}, TypeError, "argument 'bin_size'"),
    ({"cutoff": 0, "n_threads": 1.5}, TypeError, "argument 'n_threads'"),
    ({"cutoff": 0, "n_threads": 2**64}, OverflowError, ""),
    ({"cutoff": 0, "save_plots": 3}, TypeError, "argument 'save_plots'"),
    ({"cutoff": 0, "title": b"x"}, TypeError, "argument 'title'"),
])
def test_bad_arguments(kwargs, error, message):
    s = cubic(3.0, [[0, 0, 0]], [{"X": 1.0}])
    with pytest.raises(error) as info:
        s.prdf(**kwargs)
    assert message in str(info.value)
    if message.startswith(("cutoff must", "bin_size must")):
        assert info.value.args == (message,)
