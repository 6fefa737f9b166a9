"""Bond-angle distributions against a brute-force count over every lattice translation."""

from __future__ import annotations

import itertools
import math

import numpy as np
import pytest
from conftest import cubic

from kelvara import Structure
from kelvara._kelvara import _frames_bond_angles
from kelvara.analysis import bond_angles


def brute_angles(structure, centre, first, second, cutoff, bin_deg, self_images=True):
    """Weighted counts of the angles first-centre-second, every translation tried."""
    m = np.array(structure.lattice_matrix)
    w = np.array(structure.frac_coords) % 1.0
    occ = {el: np.array([site.get(el, 0.0) for site in structure.species]) for el in {centre, first, second}}
    heights = abs(np.linalg.det(m)) / np.linalg.norm(np.cross(m[[1, 2, 0]], m[[2, 0, 1]]), axis=1)
    reach = [math.ceil(cutoff / h) + 1 for h in heights]
    shifts = np.array(list(itertools.product(*[range(-r, r + 1) for r in reach])), dtype=float)
    n_bins = math.ceil(180 / bin_deg)
    hist = np.zeros(n_bins)
    for i in np.nonzero(occ[centre])[0]:
        v = ((w[:, None, :] + shifts[None]) - w[i]) @ m
        d2 = (v * v).sum(-1)
        inside = (d2 <= cutoff * cutoff) & (d2 > 1e-16)
        if not self_images:
            inside[i] = False
        js, ts = np.nonzero(inside)
        vec, r = v[js, ts], np.sqrt(d2[js, ts])
        for u, t in itertools.product(range(len(js)), repeat=2):
            if u == t or (first == second and t < u):
                continue
            weight = occ[centre][i] * occ[first][js[u]] * occ[second][js[t]]
            if weight:
                angle = math.degrees(math.acos(np.clip(vec[u] @ vec[t] / (r[u] * r[t]), -1, 1)))
                hist[min(int(angle // bin_deg), n_bins - 1)] += weight
    return hist


@pytest.mark.parametrize(("cell", "n_sites", "triplet", "cutoff", "bin_deg", "occupancies"), [
    (np.diag([6.0, 6.3, 5.8]), 60, ("Si", "O", "O"), 2.6, 1.0, None),
    ([[6.0, 0, 0], [0.8, 5.5, 0], [-0.4, 0.6, 5.9]], 60, ("O", "Si", "Si"), 2.6, 2.5, None),
    (np.diag([6.0, 6.3, 5.8]), 50, ("Si", "O", "Si"), 2.4, 7.0, None),  # two neighbour elements
    (np.diag([2.2, 9.0, 9.5]), 30, ("Si", "O", "O"), 3.0, 5.0, None),  # thinner than the cutoff
    (np.diag([2.2, 9.0, 9.5]), 30, ("Si", "Si", "O"), 3.0, 5.0, None),  # with the centre's own images
    (np.diag([6.0, 6.3, 5.8]), 40, ("Si", "O", "O"), 2.6, 3.0, {"Si": 0.5, "O": 0.75}),  # occupancies
])
@pytest.mark.parametrize("self_images", [True, False])
def test_counts_match_brute_force(rng, cell, n_sites, triplet, cutoff, bin_deg, occupancies, self_images):
    species = [{"Si" if k % 3 == 0 else "O": 1.0} for k in range(n_sites)]
    if occupancies:
        species = [{el: occupancies[el] for el in site} for site in species]
        species[0] = {"Si": 0.5, "O": 0.5}  # a mixed site, centre and neighbour at once
    s = Structure(np.asarray(cell, float).tolist(), rng.random((n_sites, 3)).tolist(), species)
    edges, (counts,) = _frames_bond_angles([s], *triplet, cutoff, bin_deg, self_images=self_images)
    expected = brute_angles(s, *triplet, cutoff, bin_deg, self_images)
    assert counts.sum() > 0
    np.testing.assert_allclose(counts, expected, rtol=1e-12, atol=1e-12)
    assert edges[0] == 0 and edges[-1] == 180 and len(edges) == len(counts) + 1


def test_octahedron_and_thread_counts():
    # Ti in SrTiO3: twelve O-Ti-O angles of 90 degrees and three of 180 per Ti.
    s = cubic(3.905, [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]],
              [{"Sr": 1.0}, {"Ti": 1.0}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0}])
    edges, (counts,) = _frames_bond_angles([s], "Ti", "O", "O", 2.5, 7.0)
    assert counts[12] == 12 and counts[-1] == 3 and counts.sum() == 15  # bins [84, 91) and [175, 180]
    assert edges[-2] == 175
    big = s.make_supercell(6, 6, 6)
    one = _frames_bond_angles([big] * 3, "O", "Ti", "Ti", 2.5, 1.0, n_threads=1)[1]
    for threads in (0, 2, 3):
        for a, b in zip(one, _frames_bond_angles([big] * 3, "O", "Ti", "Ti", 2.5, 1.0, n_threads=threads)[1]):
            np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize(("args", "error", "message"), [
    (("Si", "O", "O", 0.0), ValueError, "cutoff must be positive"),
    (("Si", "O", "O", float("nan")), ValueError, "cutoff must be a finite number"),
    (("Si", "O", "O", 2.0, 0.0), ValueError, "bin_deg must be between 0.001 and 180 degrees"),
    (("Si", "O", "O", 2.0, 181.0), ValueError, "bin_deg must be between 0.001 and 180 degrees"),
    (("Si", "", "O", 2.0), ValueError, "the elements of an angle must not be empty"),
    (("Si", 8, "O", 2.0), TypeError, "argument 'first'"),
])
def test_bad_arguments(args, error, message):
    s = cubic(5.0, [[0, 0, 0], [0.3, 0, 0]], [{"Si": 1.0}, {"O": 1.0}])
    with pytest.raises(error, match=message):
        _frames_bond_angles([s], *args)
    with pytest.raises(TypeError, match="argument 'structures'"):
        _frames_bond_angles([s, "x"], "Si", "O", "O", 2.0)


def test_distribution_of_a_structure_and_of_frames(tmp_path, rng):
    frames = []
    with open(tmp_path / "run.xyz", "w") as f:
        for _ in range(8):
            cell = np.diag(rng.uniform(5.5, 6.0, 3))
            frac = rng.random((45, 3))
            names = ["Si" if k % 3 == 0 else "O" for k in range(45)]
            frames.append(Structure(cell.tolist(), frac.tolist(), [{n: 1.0} for n in names]))
            f.write(f"45\nLattice=\"{' '.join(map(repr, cell.ravel().tolist()))}\"\n")
            f.writelines(f"{n} {x!r} {y!r} {z!r}\n" for n, (x, y, z) in zip(names, (frac @ cell).tolist()))
    one = bond_angles(frames[0], "Si", "O", 2.5, bin_deg=5)
    counts = brute_angles(frames[0], "Si", "O", "O", 2.5, 5)
    np.testing.assert_allclose(one.p, counts / counts.sum(), rtol=1e-12)
    assert one.p_err is None and one.angles[0] == 2.5 and one.triplet == ("O", "Si", "O")
    assert one.angles_per_centre == pytest.approx(counts.sum() / 15)
    # Frames: the mean of each frame's fractions, with errors from blocks of two frames.
    result = bond_angles(str(tmp_path / "run.xyz"), "Si", ("O", "Si"), 3.0, bin_deg=10, block_size=2)
    p = np.array([c / c.sum() for c in (brute_angles(s, "Si", "O", "Si", 3.0, 10) for s in frames)])
    blocks = p.reshape(4, 2, -1).mean(axis=1)
    np.testing.assert_allclose(result.p, p.mean(axis=0), rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(result.p_err, blocks.std(axis=0, ddof=1) / 2, rtol=1e-9, atol=1e-15)
    assert result.n_frames == 8 and result.p.sum() == pytest.approx(1.0)
    with pytest.raises(ValueError, match="no N-Si-N angles within 2.5 A"):
        bond_angles(frames[0], "Si", "N", 2.5)
    with pytest.raises(TypeError, match="applies to a trajectory"):
        bond_angles(frames[0], "Si", "O", 2.5, every=2)
