"""Structure.expand_occupancies: supercell choice, seeded assignment, report, warnings."""

from __future__ import annotations

import math
import re
from collections import Counter

import numpy as np
import pytest

from conftest import cubic
from kelvara import Structure

def best_denominator_ref(x: float, max_denominator: int, chunk: int = 1 << 16) -> int:
    """The literal scan d = 1, 2, ... with the 1e-12 margin and the 1e-9 early stop,
    vectorised over chunks of denominators (same IEEE operations per d)."""
    best, chosen, start = math.inf, 1, 1
    while start <= max_denominator:
        d = np.arange(start, min(max_denominator, start + chunk - 1) + 1, dtype=np.float64)
        y = x * d
        r = np.trunc(y)
        r = r + np.where(np.abs(y - r) >= 0.5, np.sign(y), 0.0)  # halves away from zero
        err = np.abs(y - r) / d
        for i in np.flatnonzero(err < best - 1e-12):
            if err[i] < best - 1e-12:
                best, chosen = float(err[i]), int(d[i])
                if best < 1e-9:
                    return chosen
        start += chunk
    return chosen


def on_a_line(*species: dict) -> Structure:
    """A 4 A cubic cell with the given sites spread along x."""
    return cubic(4.0, [[i / len(species), 0.0, 0.0] for i in range(len(species))], list(species))


# ---- the generator and worked examples --------------------------------------------------


def test_end_to_end_eight_site_example():
    out, report = cubic(4.0, [[0.0, 0.0, 0.0]], [{"Fe": 0.5, "Ni": 0.5}]).expand_occupancies()
    expected = [
        ("Fe", [0, 0, 0]), ("Ni", [0, 0, 0.5]), ("Ni", [0, 0.5, 0]), ("Fe", [0, 0.5, 0.5]),
        ("Fe", [0.5, 0, 0]), ("Ni", [0.5, 0, 0.5]), ("Ni", [0.5, 0.5, 0]), ("Fe", [0.5, 0.5, 0.5]),
    ]  # fmt: skip
    assert out.species == [{e: 1.0} for e, _ in expected]
    assert out.frac_coords == [f for _, f in expected]
    assert report == {
        "scale": [2, 2, 2], "n_vacancies": 0, "warnings": [],
        "occupancy_report": [
            {"element": e, "target_occupancy": 0.5, "sites_in_pool": 8, "atoms_placed": 4,
             "actual_occupancy": 0.5} for e in ("Fe", "Ni")
        ],
    }  # fmt: skip
    assert list(report) == ["scale", "n_vacancies", "warnings", "occupancy_report"]
    assert list(report["occupancy_report"][0]) == [
        "element", "target_occupancy", "sites_in_pool", "atoms_placed", "actual_occupancy"]


@pytest.mark.parametrize(
    "species, pool_size, counts, vacancies",
    [
        ({"Fe": 0.3}, 5, {"Fe": 2}, 3),
        ({"Fe": 0.3, "Ni": 0.3, "Co": 0.4}, 5, {"Co": 2, "Fe": 2, "Ni": 1}, 0),
        ({"Fe": 0.01, "Ni": 0.99}, 16, {"Fe": 0, "Ni": 16}, 0),
        ({"Co": 0.2, "Cr": 0.2, "Fe": 0.2, "Mn": 0.2, "Ni": 0.2}, 3,
         {"Co": 1, "Cr": 1, "Fe": 1, "Mn": 0, "Ni": 0}, 0),  # ties go to the earlier element
    ],
)
def test_pool_table(species, pool_size, counts, vacancies):
    # pool_size copies of one site in a 1x1x1 cell (the site limit forbids growing it).
    out, report = on_a_line(*[species] * pool_size).expand_occupancies(max_sites=pool_size)
    assert {e["element"]: e["atoms_placed"] for e in report["occupancy_report"]} == counts
    assert report["n_vacancies"] == vacancies and out.n_sites == pool_size - vacancies


def test_pools_are_shared_by_compositions_equal_to_four_decimals():
    s = on_a_line({"Fe": 0.50001, "Ni": 0.49999}, {"Fe": 0.5, "Ni": 0.5})
    _, report = s.expand_occupancies(max_sites=2)
    assert [(e["element"], e["target_occupancy"], e["sites_in_pool"], e["atoms_placed"])
            for e in report["occupancy_report"]] == [("Fe", 0.50001, 2, 1), ("Ni", 0.49999, 2, 1)]
    _, report = on_a_line({"Fe": 0.501, "Ni": 0.499}, {"Fe": 0.5, "Ni": 0.5}).expand_occupancies(max_sites=2)
    assert [e["sites_in_pool"] for e in report["occupancy_report"]] == [1, 1, 1, 1]


# ---- invariants of any expansion ---------------------------------------------------------

CHOICES = [
    {"Fe": 0.5, "Ni": 0.5}, {"Fe": 0.25, "Ni": 0.75}, {"Co": 1 / 3, "Mn": 1 / 3}, {"O": 0.875},
    {"O": 1.0}, {"Ti": 1.0}, {"La": 0.7, "Sr": 0.3}, {"Fe": 0.05}, {"Cr": 0.9999995}, {"Cr": 0.99999},
    {"Fe": 0.0, "Ni": 0.6},
]  # fmt: skip


def test_worked_example_with_vacancies():
    # Fe 1/3, Ni 1/3 and a vacancy 1/3 over a 3x3x3 cell: 9 of each, placed by the seeded
    # shuffle ("." is a vacancy, in the image order of make_supercell).
    s = cubic(4.0, [[0, 0, 0]], [{"Fe": 1 / 3, "Ni": 1 / 3}])
    for seed, layout in [(7, "FNFN.N....NNFFFFF...NNNF.NF"), (8, "FN..N.FF..FFNN.N.FN.NFN.NFF")]:
        out, report = s.expand_occupancies(seed=seed)
        placed = {tuple(f): e for f, site in zip(out.frac_coords, out.species) for e in site}
        assert "".join(placed.get(tuple(f), ".")[0] for f in s.make_supercell(3, 3, 3).frac_coords) == layout


@pytest.mark.parametrize("case", range(12))
def test_invariants(case):
    rng = np.random.default_rng(1000 + case)
    n = int(rng.integers(1, 7))
    s = cubic(5.0, rng.random((n, 3)).tolist(), [CHOICES[i] for i in rng.integers(0, len(CHOICES), n)])
    args = (int(rng.choice([8, 64, 500, 4096, 10**6])), int(rng.integers(0, 2**63)),
            int(rng.choice([0, 4, 16, 100])))
    out, report = s.expand_occupancies(*args)
    assert s.expand_occupancies(*args) == (out, report)  # same seed, same result
    m = report["scale"][0]
    assert report["scale"] == [m] * 3 and s.n_sites * m**3 <= args[0]
    assert out.lattice_matrix == (np.array(s.lattice_matrix) * m).tolist() and out.is_ordered
    assert out.n_sites + report["n_vacancies"] == s.n_sites * m**3
    # Every output site is an image of an input site that can hold its element.
    for f, site in zip(np.array(out.frac_coords) * m, out.species):
        shift = f - np.array(s.frac_coords)
        image = np.all(np.abs(shift - np.round(shift)) < 1e-9, axis=1)
        assert any(image[i] and set(site) <= set(s.species[i]) for i in range(n))
    # The counts of each element are the ordered copies plus what the report says was placed,
    # and no pool is off its target by a whole site.
    expected = Counter()
    for site in s.species:
        if len(site) == 1 and abs(next(iter(site.values())) - 1) < 1e-6:
            expected[next(iter(site))] += m**3
    for e in report["occupancy_report"]:
        expected[e["element"]] += e["atoms_placed"]
        assert abs(e["atoms_placed"] - e["target_occupancy"] * e["sites_in_pool"]) < 1
        assert e["actual_occupancy"] == e["atoms_placed"] / e["sites_in_pool"]
    assert Counter(e for site in out.species for e in site) == +expected


# ---- supercell choice and limits -----------------------------------------------------------


@pytest.mark.parametrize(
    "occupancy, max_sites, scale",
    [
        (0.5, 4096, 2), (1 / 3, 4096, 3), (0.3333, 4096, 3), (0.25, 4096, 4), (0.75, 4096, 4),
        (1 / 16, 4096, 16), (0.0625, 4095, 15), (0.5, 7, 1), (0.5, 8, 2), (0.7, 4096, 10),
        (0.05, 4096, 16), (0.01, 4096, 1),
    ],
)  # fmt: skip
def test_supercell_choice(occupancy, max_sites, scale):
    for species in ({"Fe": occupancy}, {"Fe": occupancy, "Ni": 1.0 - occupancy}):
        if occupancy * scale**3 < 0.5:  # nothing could be placed on a lone vacancy site
            continue
        _, report = cubic(4.0, [[0, 0, 0]], [species]).expand_occupancies(max_sites)
        assert report["scale"] == [scale] * 3


@pytest.mark.parametrize(
    "species, max_sites, scale, n_sites",
    [
        ([{"Fe": 0.7}] + [{"O": 1.0}] * 9, 4096, 7, 9 * 343 + 240),  # shrinks to fit the limit
        ([{"Fe": 0.25}, {"Ni": 1 / 6}], 10**6, 12, None),  # lcm of denominators, not product
        ([{"Fe": 0.5}, {"O": 1.0}], 2**64 - 1, 2, 12),  # the largest limit is accepted
        ([{"Na": 1.0}, {"Cl": 0.9999995}], 4096, 1, 2),  # ordered: copied
    ],
)
def test_multiplier(species, max_sites, scale, n_sites):
    s = on_a_line(*species)
    out, report = s.expand_occupancies(max_sites)
    assert report["scale"] == [scale] * 3
    assert n_sites is None or out.n_sites == n_sites
    if scale == 1:
        assert report == {"scale": [1, 1, 1], "n_vacancies": 0, "warnings": [], "occupancy_report": []}
        assert (out.species, out.frac_coords) == (s.species, s.frac_coords)


@pytest.mark.parametrize(
    "structure, max_sites, message",
    [
        (cubic(10.0, np.random.default_rng(0).random((5000, 3)).tolist(), [{"O": 1.0}] * 5000),
         4096, "even a 1x1x1 cell holds 5000 sites, above the limit of 4096"),
        (on_a_line({"Fe": 1.0}), 0, "even a 1x1x1 cell holds 1 sites, above the limit of 0"),
        (on_a_line({"Fe": 0.2}), 1, "no sites remain after expansion; check the occupancies"),
        # L = lcm(7, 9, 11, 13, 16) = 144144; with no site limit the cell cannot be built.
        (on_a_line({"A": 1 / 7, "B": 1 / 9, "C": 1 / 11, "D": 1 / 13, "E": 1 / 16}), 2**64 - 1,
         "a 144144x144144x144144 expansion would hold 2994950912937984 sites and need about"),
    ],
)
def test_limits(structure, max_sites, message):
    with pytest.raises(ValueError) as info:
        structure.expand_occupancies(max_sites)
    assert str(info.value).startswith(message)


# ---- best denominator, observed through the multiplier the warning names -----------------


SCAN_X = [0.123456789, 1 / 3 + 1e-7, 0.4999999, 1e-5, 0.7071067811865476, 2.0**-30, 0.3333]
SCAN_D = [17, 5000, 10**5, 10**12, 2**64 - 1]


@pytest.mark.parametrize(
    "x, max_denominator",
    # 0.125 up to 4: every d has error 0.125, so only a strict improvement moves off d = 1.
    [(x, d) for x in SCAN_X for d in SCAN_D] + [(0.125, 4)],
)
def test_best_denominator_matches_literal_scan(x, max_denominator):
    # A Co 0.5 site on a 1x1x1 cell forces a deviation of 0.5, so the approximation
    # warning names the exact multiplier lcm(best(x), best(x) for the vacancy, 2).
    _, report = on_a_line({"Fe": x}, {"Co": 0.5}).expand_occupancies(2, 1, max_denominator)
    expected = math.lcm(best_denominator_ref(x, min(max_denominator, 10**7)), 2)
    found = re.search(r"would need a (\d+)x\1x\1 supercell", " ".join(report["warnings"]))
    assert found and int(found.group(1)) == expected


# ---- warnings ----------------------------------------------------------------------------

NOTHING_PLACED = ("no atoms could be placed for {}: the occupancy is too small for a 1x1x1 "
                  "supercell, so these elements are absent from the expanded structure")
U64 = 2**64 - 1
PRIMES = [1000003, 1000033, 1000037, 1000039]


MISSED = "the expanded structure misses the input's composition on "
ONE = " (1 site of its composition in the cell): "


@pytest.mark.parametrize(
    "species, max_sites, max_den, warnings",
    [
        # Fe 0.02 on one copy: nothing placed, deviation exactly 0.02; L = 2 (Co 0.5), m = 1.
        ([{"Fe": 0.02}, {"Co": 0.5}, {"Co": 0.5}], 3, 16, [
            NOTHING_PLACED.format("Fe"),
            "the occupancies would need a 2x2x2 supercell to come out exactly, but that exceeds "
            "the 3-site limit; 1x1x1 was used and the occupancies are approximated (worst "
            "deviation 0.0200)"]),
        ([{"Fe": 0.0199}, {"Co": 0.5}, {"Co": 0.5}], 3, 16, [NOTHING_PLACED.format("Fe")]),
        # 0.333 written for 1/3: 9 of 27 is what the file means, nothing to tell.
        ([{"Fe": 0.333, "Ni": 0.667}], 27, 16, []),
        # max_denominator 0: L = 1 = m, however large the deviation; the share that was
        # missed is still named (no cell is exact without denominators).
        ([{"Fe": 0.5, "Ni": 0.5}], 4096, 0, [
            NOTHING_PLACED.format("Ni"), MISSED + "site 0" + ONE + "Fe 1.0000 (1 atom) for 0.5000"]),
        # A missing element is named once across pools; several in element order.
        ([{"Mn": 0.01, "Fe": 0.99}, {"Mn": 0.02, "Co": 0.98}], 2, 0, [
            NOTHING_PLACED.format("Mn"), MISSED + "site 0" + ONE + "Fe 1.0000 (1 atom) for 0.9900; "
            "site 1" + ONE + "Co 1.0000 (1 atom) for 0.9800"]),
        ([{"Mn": 0.05, "Co": 0.05, "Fe": 0.9}], 1, 0, [
            NOTHING_PLACED.format("Co, Mn"), MISSED + "site 0" + ONE + "Fe 1.0000 (1 atom) for 0.9000"]),
        # Distinct large prime denominators overflow 64 bits: the multiplier is named as a bound.
        ([{"Fe": p // 3 / p} for p in PRIMES] + [{"Co": 0.5}], 5, 10**7, [
            f"the occupancies would need a supercell larger than {U64}x{U64}x{U64} to come out "
            "exactly, but that exceeds the 5-site limit; 1x1x1 was used and the occupancies are "
            "approximated (worst deviation 0.5000)",
            MISSED + "site 0 (4 sites of its composition in the cell): Fe 0.2500 (1 atom) for 0.3333; "
            "site 4" + ONE + "Co 1.0000 (1 atom) for 0.5000"]),
    ],
)
def test_warnings(species, max_sites, max_den, warnings):
    _, report = on_a_line(*species).expand_occupancies(max_sites, 42, max_den)
    assert report["warnings"] == warnings


FIVE = {"Co": 0.2, "Cr": 0.2, "Fe": 0.2, "Mn": 0.2, "Ni": 0.2}


@pytest.mark.parametrize("kwargs, expected", [
    # 32 sites cannot hold five equal shares: the cube's result (Co7 Cr7 Fe6 Mn6 Ni6)
    # stays within 0.02 of the input, and is still named, with the cell that would do.
    ({"max_sites": 100}, MISSED + "site 0 (32 sites of its composition in the cell): Co 0.2188 (7 atoms) "
     "for 0.2000, Cr 0.2188 (7 atoms) for 0.2000, Fe 0.1875 (6 atoms) for 0.2000, Mn 0.1875 (6 atoms) "
     "for 0.2000, Ni 0.1875 (6 atoms) for 0.2000; a cell of a multiple of 5 input cells (20 sites) "
     "holds it exactly"),
    ({"max_sites": 100, "method": "sqs"}, None),
    ({"max_sites": 100, "shape": "any"}, None),
])
def test_missed_composition_is_named(kwargs, expected):
    fcc = cubic(3.6, [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]], [FIVE] * 4)
    ordered, report = fcc.expand_occupancies(**kwargs)
    assert report["warnings"] == ([expected] if expected else [])
    if expected is None:  # exact: 20 of each in 100 sites
        assert ordered.composition == {e: 20.0 for e in FIVE}


def test_rounded_away_but_present_is_not_absent():
    # A little Ni on the Li layer rounds to no atom there, but Ni fills the other layer.
    s = on_a_line({"Li": 0.98, "Ni": 0.02}, {"Ni": 1.0})
    ordered, report = s.expand_occupancies(max_sites=8)
    assert ordered.composition["Ni"] > 0
    assert report["warnings"][0] == ("no atoms could be placed for Ni on site 0 (0.0200 over 1 copy rounds to "
                                     "no atom); these elements are in the expanded structure only from other sites")
    assert not any("absent" in w for w in report["warnings"])


def test_floors_above_pool_size_report_what_is_placed():
    # 0.5005 + 0.5 = 1.0005: over 3000 copies the floors are 1501 + 1500 > 3000 (over 2000
    # copies 0.5005 * 2000 rounds just below 1001, so the floors would fit).
    n = 3000
    s = cubic(60.0, [[i / n, 0.0, 0.0] for i in range(n)], [{"Fe": 0.5005, "Ni": 0.5}] * n)
    out, report = s.expand_occupancies(max_sites=n, max_denominator=0)
    placed = {e["element"]: e["atoms_placed"] for e in report["occupancy_report"]}
    # The larger count gave up the atom.
    assert placed == {"Fe": 1500, "Ni": 1500} and report["n_vacancies"] == 0
    assert out.composition == {"Fe": 1500.0, "Ni": 1500.0}
    assert sorted(out.frac_coords) == s.frac_coords


# ---- arguments ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"max_sites": 2**64}, OverflowError, ""),
        ({"seed": -5}, OverflowError, ""),
        ({"max_sites": 1.5}, TypeError, "argument 'max_sites': "),
        ({"seed": "42"}, TypeError, "argument 'seed': "),
        ({"max_denominator": None}, TypeError, "argument 'max_denominator': "),
        ({"bogus": 1}, TypeError, ""),
        ({"shape": "cubic"}, ValueError, "shape must be 'cube' or 'any', not 'cubic'"),
        ({"shape": None}, TypeError, ""),
    ],
)
def test_argument_errors(kwargs, error, text):
    with pytest.raises(error) as info:
        cubic(4.0, [[0, 0, 0]], [{"Fe": 0.5}]).expand_occupancies(**kwargs)
    assert str(info.value).startswith(text)


def test_positional_and_index_like_arguments():
    s = cubic(4.0, [[0, 0, 0]], [{"Fe": 0.5, "Ni": 0.5}])
    a = s.expand_occupancies(np.int64(4096), np.uint64(2**64 - 1), True * 16)
    b = s.expand_occupancies(max_sites=4096, seed=2**64 - 1, max_denominator=16)
    assert a[0].species == b[0].species and a[1] == b[1]


SRBA = ({"Sr": 0.7, "Ba": 0.3}, {"Ti": 1.0}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0})


@pytest.mark.parametrize(
    ("lengths", "species", "max_sites", "scale"),
    [
        # The cube can only approximate 0.7 / 0.3 within 100 sites; 20 cells are exact, and
        # the slab 2x2x5 gives way to a compact combination of the lattice vectors.
        ((3.9, 3.9, 3.9), SRBA, 100, [5, 2, 2]),
        ((3.9, 3.9, 3.9), SRBA, 4096, [9, 9, 10]),
        # No multiple of 10 fits in 9 copies: 7 come closest (5/7 for 0.7), not as 1x1x7.
        ((3.9, 3.9, 3.9), SRBA, 49, [7, 1, 1]),
        # At most what a cube of the exact multiplier would take.
        ((4.0, 4.0, 4.0), ({"Fe": 0.5, "Ni": 0.5},), 10**6, [2, 2, 2]),
        # The longer the cell vector, the fewer copies along it (edges 12, 24, 24 A).
        ((3.0, 3.0, 12.0), ({"Fe": 0.25},), 64, [4, 8, 2]),
        ((12.0, 3.0, 3.0), ({"Fe": 0.25},), 64, [1, 8, 8]),
    ],
)
def test_any_shape(lengths, species, max_sites, scale):
    s = Structure(np.diag(lengths), [[i / len(species), 0, 0] for i in range(len(species))],
                  list(species))
    ordered, report = s.expand_occupancies(max_sites=max_sites, shape="any")
    assert report["scale"] == scale and ordered.is_ordered
    assert report["cell"]["height_ratio"] >= 0.5
    assert abs(round(np.linalg.det(report["cell"]["matrix"]))) == math.prod(scale)
    assert np.allclose(np.array(report["cell"]["matrix"]) @ s.lattice_matrix, ordered.lattice_matrix)
    copies = math.prod(scale)
    assert ordered.volume == pytest.approx(s.volume * copies)
    cube_worst = max(abs(e["actual_occupancy"] - e["target_occupancy"])
                     for e in s.expand_occupancies(max_sites=max_sites)[1]["occupancy_report"])
    worst = max(abs(e["actual_occupancy"] - e["target_occupancy"]) for e in report["occupancy_report"])
    assert worst <= cube_worst + 1e-12
    for e in report["occupancy_report"]:
        assert e["sites_in_pool"] == copies
        assert abs(e["atoms_placed"] - e["target_occupancy"] * copies) <= 0.5 + 1e-9


@pytest.mark.parametrize("a, species, rounding_only", [
    (3.6, {"Ni": 0.4, "Fe": 0.35, "Cr": 0.25}, True),  # second shell on a bin edge; 10x10x10 cell
    (3.52, {"Ni": 0.4, "Fe": 0.35, "Cr": 0.25}, False),  # no shell on an edge: the totals agree
    (4.0, {"Ni": 0.5, "Fe": 0.25}, False),  # vacancies: the expansions' totals really differ
])
def test_spread_names_bin_edge_rounding(a, species, rounding_only):
    from kelvara.spread import expansion_spread

    fcc = Structure(np.eye(3) * a, [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]], [species] * 4)
    spread = expansion_spread(fcc, seeds=range(2), cutoff=6)
    line = spread.summary().splitlines()[1]
    assert line.endswith("round to the other side") == rounding_only, line
    # The spread is the sample standard deviation of the expansions' totals.
    totals = [fcc.expand_occupancies(seed=seed)[0].prdf(6, 0.1)[2] for seed in range(2)]
    np.testing.assert_allclose(spread.std_total, np.std(totals, axis=0, ddof=1), atol=1e-12)
    assert ("(0.0% of its peak)" in line) == (a == 3.52), line
