"""The Structure class: constructor checks, properties, make_supercell and repr."""

from __future__ import annotations

import math

import numpy as np
import pytest
from conftest import CUBIC4, cubic, random_triclinic

from kelvara import Structure

EYE = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]


def test_single_site_cube():
    s = Structure(CUBIC4, [[0, 0, 0]], [{"Fe": 1}])
    assert (s.n_sites, s.n_atoms, s.volume, s.is_ordered) == (1, 1.0, 64.0, True)
    assert repr(s) == str(s) == "Structure(1 sites, Fe1)"


@pytest.mark.parametrize(
    ("matrix", "frac", "species", "message"),
    [
        # The matrix shape comes first among the value checks.
        ([[1, 0], [0, 1], [0, 0]], [[0, 0, 0]], [], "matrix must be 3x3"),
        ([[1, 0, 0], [0, 1, 0]], [[0, 0, 0]], [{"O": 1}], "matrix must be 3x3"),
        # A singular cell is reported before a length mismatch.
        ([[1, 0, 0], [0, 1, 0], [1, 1, 0]], [[0, 0, 0]], [], "cell matrix is singular (zero volume)"),
        ([[1, 0, 0], [0, 1, 0], [0, 0, 1e-13]], [[0, 0, 0]], [{"O": 1}], "cell matrix is singular (zero volume)"),
        # A NaN or infinite cell would pass the |det| test and poison every coordinate.
        ([[1, 0, 0], [0, 1, 0], [0, 0, math.nan]], [[0, 0, 0]], [{"O": 1}], "cell matrix is singular (zero volume)"),
        ([[1, 0, 0], [0, 1, 0], [0, 0, math.inf]], [[0, 0, 0]], [{"O": 1}], "cell matrix is singular (zero volume)"),
        ([[1e200, 0, 0], [0, 1e200, 0], [0, 0, 1e200]], [[0, 0, 0]], [{"O": 1}], "cell matrix is singular (zero volume)"),
        (EYE, [[0, 0, 0]], [], "frac_coords and species must have the same length"),
        # Coordinates are checked before species, site by site.
        (EYE, [[0, 0]], [{}], "each coordinate must have 3 components"),
        (EYE, [[0, 0, 0], [0, 0]], [{"O": 1}, {"O": 1}], "each coordinate must have 3 components"),
        (EYE, [[0, 0, 0]], [{}], "every site needs at least one species"),
        (EYE, [], [], "structure has no sites"),
        (EYE, [[0, 0, 0]], [{"O": 1, "Fe": 1}], "a site has occupancies summing to 2.0000, which exceeds 1"),
        (EYE, [[0, 0, 0]], [{"O": 0.6, "Fe": 0.402}], "a site has occupancies summing to 1.0020, which exceeds 1"),
        (EYE, [[0, 0, math.nan]], [{"O": 1}], "site 0 has a fractional coordinate that is not a finite number"),
        (EYE, [[0, 0, 0], [0, 0, 0]], [{"O": 1}, {"O": math.nan}], "site 1 has an occupancy of O that is not a finite number"),
    ],
)
def test_constructor_value_errors(matrix, frac, species, message):
    with pytest.raises(ValueError) as info:
        Structure(matrix, frac, species)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    ("matrix", "frac", "species", "argument"),
    [
        ("abc", [[0, 0, 0]], [{"O": 1}], "matrix"),
        (EYE, "abc", [{"O": 1}], "frac_coords"),
        (EYE, [[0, 0, 0]], "O", "species"),
        (EYE, [[0, 0, 0]], [["O", 1]], "species"),
        (EYE, [[0, 0, 0]], [{1: 1.0}], "species"),
        (EYE, [[0, 0, 0]], [{"O": "one"}], "species"),
        (EYE, [[0, "x", 0]], [{"O": 1}], "frac_coords"),
        (EYE, [[0, 0, 0]], None, "species"),
        # A type error of any argument comes before every value check.
        ([[1, 0], [0, 1]], [[0, 0, 0]], [{"O": None}], "species"),
    ],
)
def test_constructor_type_errors_name_the_argument(matrix, frac, species, argument):
    with pytest.raises(TypeError, match=f"argument '{argument}'"):
        Structure(matrix, frac, species)


def test_constructor_arguments_by_keyword_and_arity():
    s = Structure(species=[{"O": 1}], frac_coords=[[0, 0, 0]], matrix=EYE)
    assert s.n_sites == 1
    with pytest.raises(TypeError):
        Structure(EYE, [[0, 0, 0]])
    with pytest.raises(TypeError):
        Structure(EYE, [[0, 0, 0]], [{"O": 1}], symprec=1)


def test_numpy_inputs_and_scalars_are_accepted():
    s = Structure(np.eye(3) * 3.0, np.array([[0.25, 0.5, 0.75]]), [{"X": np.float32(0.5), "Y": np.int64(0)}])
    assert s.lattice_matrix == [[3.0, 0.0, 0.0], [0.0, 3.0, 0.0], [0.0, 0.0, 3.0]]
    assert s.frac_coords == [[0.25, 0.5, 0.75]]
    assert s.species == [{"X": 0.5, "Y": 0.0}]


def test_determinant_threshold_and_left_handed_cell():
    Structure([[1, 0, 0], [0, 1, 0], [0, 0, 1e-12]], [[0, 0, 0]], [{"O": 1}])
    s = Structure([[0, 2, 0], [2, 0, 0], [0, 0, 2]], [[0, 0, 0]], [{"O": 1}])
    assert s.volume == 8.0


def test_properties_of_a_triclinic_cell_match_numpy(rng):
    s = random_triclinic(rng, 7)
    matrix = np.array(s.lattice_matrix)
    frac = np.array(s.frac_coords)
    assert s.volume == pytest.approx(abs(np.linalg.det(matrix)), rel=1e-13)
    assert np.allclose(np.array(s.cart_coords), frac @ matrix, rtol=0, atol=1e-12)


def test_composition_elements_and_species_order():
    s = cubic(4.0, [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0, 0]], [{"Ni": 0.5, "Fe": 0.5}, {"O": 1}, {"Fe": 1}])
    assert list(s.composition.items()) == [("Fe", 1.5), ("Ni", 0.5), ("O", 1.0)]
    assert s.elements == ["Fe", "Ni", "O"]
    assert s.n_atoms == 3.0
    assert list(s.species[0]) == ["Fe", "Ni"]  # element order, whatever the dict's order


def test_element_order_is_bytewise():
    s = cubic(4.0, [[0, 0, 0]] * 4, [{"fe": 0.25, "O": 0.25, "Fe": 0.25, "Zr": 0.25}] * 4)
    assert s.elements == ["Fe", "O", "Zr", "fe"]


@pytest.mark.parametrize(("occupancy", "ordered"), [(1.0, True), (0.9999995, True), (0.9999, False), (1.0000005, True)])
def test_ordered_site_rule(occupancy, ordered):
    assert cubic(3.0, [[0, 0, 0]], [{"Fe": occupancy}]).is_ordered is ordered


def test_two_species_are_disordered_even_with_a_zero():
    assert not cubic(3.0, [[0, 0, 0]], [{"Fe": 1.0, "Ni": 0.0}]).is_ordered


def test_every_property_call_builds_fresh_objects():
    s = cubic(3.0, [[0, 0, 0]], [{"Fe": 1.0}])
    coords = s.frac_coords
    coords[0][0] = 99.0
    assert s.frac_coords == [[0.0, 0.0, 0.0]]


def test_make_supercell_order_and_volume():
    s = cubic(4.0, [[0.0, 0.1, 0.2], [0.5, 0.6, 0.7]], [{"A": 1}, {"B": 1}])
    t = s.make_supercell(2, 1, 1)
    assert t.frac_coords == [[0.0, 0.1, 0.2], [0.25, 0.6, 0.7], [0.5, 0.1, 0.2], [0.75, 0.6, 0.7]]
    assert [list(d) for d in t.species] == [["A"], ["B"], ["A"], ["B"]]
    assert t.volume == 2 * s.volume
    assert s.n_sites == 2  # the input is untouched


def test_make_supercell_keeps_coordinates_unwrapped_and_image_major():
    s = cubic(2.0, [[-0.25, 1.5, 0.0]], [{"A": 1}])
    t = s.make_supercell(1, 2, 3)
    expected = [[-0.25, (1.5 + j) / 2, k / 3] for j in range(2) for k in range(3)]
    assert t.frac_coords == expected
    assert t.lattice_matrix == [[2.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 6.0]]


@pytest.mark.parametrize(
    ("dims", "error", "match"),
    [
        ((0, 1, 1), ValueError, "^supercell dimensions must be at least 1$"),
        ((1, 1, 0), ValueError, "^supercell dimensions must be at least 1$"),
        ((-1, 1, 1), OverflowError, None),
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


def test_make_supercell_by_keyword():
    s = cubic(3.0, [[0, 0, 0]], [{"A": 1}])
    assert s.make_supercell(nc=2, nb=1, na=3).n_sites == 6


@pytest.mark.parametrize(
    ("species", "text"),
    [
        ([{"Fe": 0.5, "Ni": 0.5}, {"O": 1}], "Structure(2 sites, Fe0.5000 Ni0.5000 O1, disordered)"),
        ([{"Fe": 1.0000000001}, {"Fe": 1}], "Structure(2 sites, Fe2)"),
        ([{"Fe": 1.0001}, {"Fe": 1}], "Structure(2 sites, Fe2.0001, disordered)"),
        ([{"Fe": 0.0}, {"Fe": 1}], "Structure(2 sites, Fe1, disordered)"),
        ([{"Fe": -0.5}, {"Fe": 1}], "Structure(2 sites, Fe0.5000, disordered)"),
    ],
)
def test_repr_formula(species, text):
    assert repr(cubic(4.0, [[0, 0, 0], [0.5, 0.5, 0.5]], species)) == text


def test_rock_salt_repr():
    fcc = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
    s = cubic(5.64, fcc + [[x + 0.5, y, z] for x, y, z in fcc], [{"Na": 1}] * 4 + [{"Cl": 1}] * 4)
    assert repr(s) == "Structure(8 sites, Cl4 Na4)"


def test_structure_is_immutable_and_not_picklable():
    import pickle

    s = cubic(3.0, [[0, 0, 0]], [{"A": 1}])
    with pytest.raises(AttributeError):
        s.n_sites = 3  # type: ignore[misc]
    with pytest.raises(TypeError):
        pickle.dumps(s)
