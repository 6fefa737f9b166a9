"""The Structure class: constructor checks, properties, make_supercell, repr and the
disorder summary."""

from __future__ import annotations

import copy
import itertools
import math
import pickle
import re
from importlib.resources import files

import numpy as np
import pytest
from conftest import cubic, random_triclinic

from kelvara import Structure

EYE = np.eye(3).tolist()
ORIGIN = [[0, 0, 0]]
OXYGEN = [{"O": 1}]
SINGULAR = "cell matrix is singular (zero volume)"


def diag(*values):
    return np.diag(values).tolist()


@pytest.mark.parametrize(
    ("matrix", "frac", "species", "message"),
    [
        # The matrix shape comes first among the value checks.
        ([[1, 0], [0, 1], [0, 0]], ORIGIN, [], "matrix must be 3x3"),
        ([[1, 0, 0], [0, 1, 0]], ORIGIN, OXYGEN, "matrix must be 3x3"),
        # A singular cell is reported before a length mismatch.
        (diag(1, 1, 1e-13), ORIGIN, [], SINGULAR),
        # A NaN or infinite cell would pass the |det| test and poison every coordinate.
        (diag(1, 1, math.nan), ORIGIN, OXYGEN, SINGULAR),
        (diag(1e200, 1e200, 1e200), ORIGIN, OXYGEN, SINGULAR),  # the volume overflows
        (EYE, ORIGIN, [], "frac_coords and species must have the same length"),
        # Coordinates are checked before species, site by site.
        (EYE, [[0, 0]], [{}], "each coordinate must have 3 components"),
        (EYE, [[0, 0, 0], [0, 0]], OXYGEN * 2, "each coordinate must have 3 components"),
        (EYE, ORIGIN, [{}], "every site needs at least one species"),
        (EYE, [], [], "structure has no sites"),
        (EYE, ORIGIN, [{"O": 0.6, "Fe": 0.402}], "a site has occupancies summing to 1.0020, which exceeds 1"),
        (EYE, [[0, 0, math.nan]], OXYGEN, "site 0 has a fractional coordinate that is not a finite number"),
        (EYE, ORIGIN * 2, [{"O": 1}, {"O": math.nan}],
         "site 1 has an occupancy of O that is not a finite number"),
    ],
)
def test_constructor_value_errors(matrix, frac, species, message):
    with pytest.raises(ValueError) as info:
        Structure(matrix, frac, species)
    assert info.value.args == (message,)


@pytest.mark.parametrize(("uiso", "error", "message"), [
    ([0.01], ValueError, "uiso must have one entry per site"),
    # A mean-square displacement is never negative, and NaN is no stand-in for None.
    *[([0.01, bad], ValueError, f"uiso of site 1 must be a finite number >= 0 or None, not {text}")
      for bad, text in [(math.inf, "inf"), (math.nan, "NaN"), (-0.01, "-0.01"), (-math.inf, "-inf")]],
    ([0.01, "x"], TypeError, "argument 'uiso': entry 1 is not a number or None (got str)"),
    ("ab", TypeError, "argument 'uiso'"),
])
def test_uiso_errors(uiso, error, message):
    with pytest.raises(error, match=re.escape(message)):
        Structure(EYE, ORIGIN * 2, OXYGEN * 2, uiso)
    # A pickle carries the list as it was: unpickling checks it the same way.
    rebuild, (matrix, frac, pairs, _) = Structure(EYE, ORIGIN * 2, OXYGEN * 2).__reduce__()
    with pytest.raises(error, match=re.escape(message)):
        rebuild(matrix, frac, pairs, uiso)


@pytest.mark.parametrize(
    ("args", "kwargs", "match"),
    [
        (("abc", ORIGIN, OXYGEN), {}, "argument 'matrix'"),
        ((EYE, "abc", OXYGEN), {}, "argument 'frac_coords'"),
        ((EYE, [[0, "x", 0]], OXYGEN), {}, "argument 'frac_coords'"),
        ((EYE, ORIGIN, "O"), {}, "argument 'species'"),
        ((EYE, ORIGIN, [["O", 1]]), {}, "argument 'species'"),
        ((EYE, ORIGIN, [{1: 1.0}]), {}, "argument 'species'"),
        ((EYE, ORIGIN, [{"O": "one"}]), {}, "argument 'species'"),
        ((EYE, ORIGIN, None), {}, "argument 'species'"),
        # A type error of any argument comes before every value check.
        (([[1, 0], [0, 1]], ORIGIN, [{"O": None}]), {}, "argument 'species'"),
        ((EYE, ORIGIN), {}, None),
        ((EYE, ORIGIN, OXYGEN), {"symprec": 1}, None),
    ],
)
def test_constructor_type_errors(args, kwargs, match):
    with pytest.raises(TypeError, match=match):
        Structure(*args, **kwargs)


def test_accepted_inputs_and_properties_match_numpy(rng):
    s = Structure(diag(4.0, 4.0, 4.0), ORIGIN, [{"Fe": 1}])
    assert (s.n_sites, s.n_atoms, s.volume, s.is_ordered) == (1, 1.0, 64.0, True)
    assert repr(s) == str(s) == "Structure(1 sites, Fe1)"
    s = Structure(species=[{"X": np.float32(0.5), "Y": np.int64(0)}],
                  frac_coords=np.array([[0.25, 0.5, 0.75]]), matrix=np.eye(3) * 3.0)
    assert (s.lattice_matrix, s.frac_coords) == (diag(3.0, 3.0, 3.0), [[0.25, 0.5, 0.75]])
    assert s.species == [{"X": 0.5, "Y": 0.0}]
    Structure(diag(1, 1, 1e-12), ORIGIN, OXYGEN)  # just above the determinant threshold
    assert Structure([[0, 2, 0], [2, 0, 0], [0, 0, 2]], ORIGIN, OXYGEN).volume == 8.0  # left-handed
    s = random_triclinic(rng, 7)
    matrix, frac = np.array(s.lattice_matrix), np.array(s.frac_coords)
    assert s.volume == pytest.approx(abs(np.linalg.det(matrix)), rel=1e-13)
    assert np.allclose(np.array(s.cart_coords), frac @ matrix, rtol=0, atol=1e-12)
    coords = s.frac_coords
    coords[0][0] = 99.0  # every property call builds fresh objects
    assert s.frac_coords[0][0] != 99.0


def test_composition_and_bytewise_element_order():
    s = cubic(4.0, [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0, 0]], [{"Ni": 0.5, "Fe": 0.5}, {"O": 1}, {"Fe": 1}])
    assert list(s.composition.items()) == [("Fe", 1.5), ("Ni", 0.5), ("O", 1.0)]
    assert (s.elements, s.n_atoms) == (["Fe", "Ni", "O"], 3.0)
    assert list(s.species[0]) == ["Fe", "Ni"]  # element order, whatever the dict's order
    s = cubic(4.0, ORIGIN * 4, [{"fe": 0.25, "O": 0.25, "Fe": 0.25, "Zr": 0.25}] * 4)
    assert s.elements == ["Fe", "O", "Zr", "fe"]


@pytest.mark.parametrize("dims", [(2, 1, 1), (1, 2, 3), (3, 1, 2)])
def test_make_supercell_is_image_major_and_unwrapped(dims):
    s = cubic(2.0, [[-0.25, 1.5, 0.0], [0.5, 0.6, 0.7]], [{"A": 1}, {"B": 1}])
    t = s.make_supercell(nc=dims[2], nb=dims[1], na=dims[0])
    images = itertools.product(range(dims[0]), range(dims[1]), range(dims[2]))
    expected = [[(x + i) / n for x, i, n in zip(f, image, dims)] for image in images for f in s.frac_coords]
    assert t.frac_coords == expected
    assert [list(d) for d in t.species] == [["A"], ["B"]] * math.prod(dims)
    assert t.lattice_matrix == diag(*(2.0 * n for n in dims))
    assert s.n_sites == 2  # the input is untouched


@pytest.mark.parametrize(
    ("dims", "error", "match"),
    [
        ((0, 1, 1), ValueError, "^supercell dimensions must be at least 1$"),
        ((1, 1, 0), ValueError, "^supercell dimensions must be at least 1$"),
        ((2**64, 1, 1), OverflowError, None),
        ((1.5, 1, 1), TypeError, "argument 'na'"),
        ((1, "2", 1), TypeError, "argument 'nb'"),
        ((2**32, 2**32, 2), ValueError, "more sites than can be counted"),
        ((2**20, 2**20, 2**10), ValueError, "more than fit in this machine's memory"),
    ],
)
def test_make_supercell_errors(dims, error, match):
    s = cubic(3.0, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"A": 1}, {"B": 1}])
    with pytest.raises(error, match=match):
        s.make_supercell(*dims)


@pytest.mark.parametrize(
    ("species", "text"),
    [
        ([{"Fe": 0.5, "Ni": 0.5}, {"O": 1}], "Structure(2 sites, Fe0.5000 Ni0.5000 O1, disordered)"),
        ([{"Na": 1}, {"Cl": 1}], "Structure(2 sites, Cl1 Na1)"),
        ([{"Fe": 1.0000000001}, {"Fe": 1}], "Structure(2 sites, Fe2)"),
        ([{"Fe": 1.0001}, {"Fe": 1}], "Structure(2 sites, Fe2.0001, disordered)"),
        ([{"Fe": 0.0}, {"Fe": 1}], "Structure(2 sites, Fe1, disordered)"),
    ],
)
def test_repr_formula(species, text):
    assert repr(cubic(4.0, [[0, 0, 0], [0.5, 0.5, 0.5]], species)) == text


def test_structure_is_an_immutable_value():
    s = cubic(3.0, [[0, 0, 0], [0.5, -0.0, 1e-300]], [{"A": 1}, {"B": 0.25, "A": 1 / 3}])
    with pytest.raises(AttributeError):
        s.n_sites = 3  # type: ignore[misc]
    assert len(s) == 2
    clones = [pickle.loads(pickle.dumps(s)), copy.copy(s), copy.deepcopy(s)]
    for clone in clones:
        assert clone == s and not clone != s and clone is not s
        assert clone.frac_coords == s.frac_coords and clone.species == s.species
    # Exact comparison: any change of cell, position, species or occupancy differs.
    different = [
        cubic(3.0 + 1e-15, [[0, 0, 0], [0.5, -0.0, 1e-300]], [{"A": 1}, {"B": 0.25, "A": 1 / 3}]),
        cubic(3.0, [[0, 0, 0], [0.5, -0.0, 2e-300]], [{"A": 1}, {"B": 0.25, "A": 1 / 3}]),
        cubic(3.0, [[0, 0, 0], [0.5, -0.0, 1e-300]], [{"A": 1}, {"B": 0.25, "A": 0.3333}]),
        cubic(3.0, [[0, 0, 0], [0.5, -0.0, 1e-300]], [{"A": 1}, {"C": 0.25, "A": 1 / 3}]),
        cubic(3.0, [[0, 0, 0]], [{"A": 1}]),
    ]
    assert all(d != s for d in different)
    # Displacement parameters travel too, None where a site has none.
    with_u = Structure(s.lattice_matrix, s.frac_coords, s.species, uiso=[0.01, None])
    assert with_u.uiso == [0.01, None] and with_u != s
    assert pickle.loads(pickle.dumps(with_u)) == with_u
    assert pickle.loads(pickle.dumps(with_u)).uiso == [0.01, None]
    # A CIF keeps a mixed site's species in file order (Sr before Ba here), and so does
    # a clone: the order decides which atom a seeded expansion puts where.
    read = Structure.from_cif(files("kelvara") / "data" / "SrBaTiO3.cif")
    for clone in (pickle.loads(pickle.dumps(read)), copy.deepcopy(read)):
        assert clone == read
        assert clone.expand_occupancies(seed=3)[0] == read.expand_occupancies(seed=3)[0]
    assert (s == "Structure") is False
    with pytest.raises(TypeError):
        hash(s)


def test_species_dict_mutated_while_converting():
    """A value whose __float__ empties its own dict: the conversion works on a snapshot."""
    site: dict = {}

    class Sneaky:
        def __float__(self):
            site.clear()
            site.update({f"X{k}": 1.0 for k in range(100)})
            return 0.5

    site.update({"Fe": Sneaky(), "Ni": 0.5})
    s = cubic(3.0, [[0, 0, 0]], [site])
    assert s.species == [{"Fe": 0.5, "Ni": 0.5}]


# ---- disorder_summary: one entry per disordered site ----------------------------------


def test_disorder_summary_entries():
    s = cubic(4.0, [[0, 0, 0], [0.1, -0.25, 1.5], [0.5, 0.5, 0.5], [0.2, 0.3, 0.4]],
              [{"O": 1.0}, {"Ni": 0.25, "Fe": 0.5}, {"Ti": 1.0}, {"Mn": 0.9}])  # fmt: skip
    entries = s.disorder_summary()
    assert [e["site_index"] for e in entries] == [1, 3]
    first = entries[0]
    assert list(first) == ["site_index", "frac_coords", "occupancies", "total_occupancy", "vacancy"]
    assert first["frac_coords"] == [0.1, -0.25, 1.5]  # as stored, not wrapped
    assert list(first["occupancies"].items()) == [("Fe", 0.5), ("Ni", 0.25)]
    assert first["total_occupancy"] == 0.75 and first["vacancy"] == 0.25
    # The entries are fresh objects: editing one changes nothing stored.
    first["occupancies"]["Fe"] = 9.0
    assert s.disorder_summary()[0]["occupancies"] == {"Fe": 0.5, "Ni": 0.25}


@pytest.mark.parametrize(
    "species, total, vacancy",
    [
        ({"Fe": 0.9999995}, None, None),  # within 1e-6 of one: ordered, not listed
        ({"Fe": 1.0000005}, None, None),
        ({"Fe": 0.99999}, 0.99999, 1.0 - 0.99999),
        ({"Fe": 1.0, "Ni": 0.0}, 1.0, 0.0),  # two species are disordered even with a zero
        ({"Fe": 0.6, "Ni": 0.4005}, 0.6 + 0.4005, 0.0),  # above 1: never negative
        ({"Fe": 1.0005}, 1.0005, 0.0),
        # Summed left to right in element order (Co, Fe, Ni): not 0.6 in floating point.
        ({"Ni": 0.3, "Co": 0.1, "Fe": 0.2}, (0.1 + 0.2) + 0.3, 1.0 - ((0.1 + 0.2) + 0.3)),
    ],
)
def test_disorder_summary_single_site(species, total, vacancy):
    s = cubic(4.0, [[0.0, 0.25, 0.5], [0.5, 0.5, 0.5]], [species, {"Cl": 1.0}])
    entries = s.disorder_summary()
    assert s.is_ordered == (total is None)
    assert [(e["site_index"], e["total_occupancy"], e["vacancy"]) for e in entries] == (
        [] if total is None else [(0, total, vacancy)])
