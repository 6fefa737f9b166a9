"""Displacement parameters read from CIF atom sites, kept through copies, and used by the model G(r)."""

from __future__ import annotations

import numpy as np
import pytest

from kelvara import Structure, cif_warnings

CELL = """data_x
_cell_length_a 4.0
_cell_length_b 4.5
_cell_length_c 6.0
_cell_angle_beta 100
_cell_angle_gamma 120
"""
SITES = """loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
{columns}
"""
EIGHT_PI2 = 8 * np.pi**2


def ueq(matrix, u_cif):
    """Isotropic equivalent through Cartesian coordinates: (1/3) trace(A N U N A^T),
    with A the lattice vectors as columns and N the reciprocal lengths."""
    a = np.array(matrix).T
    n = np.diag(np.linalg.norm(np.linalg.inv(np.array(matrix)), axis=0))
    return float(np.trace(a @ n @ u_cif @ n @ a.T) / 3)


U_ANISO = np.array([[0.011, 0.002, -0.001], [0.002, 0.016, 0.003], [-0.001, 0.003, 0.021]])


@pytest.mark.parametrize(("columns", "rows", "aniso", "expected", "unusable"), [
    ("_atom_site_U_iso_or_equiv", ["Fe1 Fe 0 0 0 1 0.012(2)", "O1 O 0.5 0.5 0.5 1 ?"], "", [0.012, None], None),
    ("_atom_site_B_iso_or_equiv", ["Fe1 Fe 0 0 0 1 0.8"], "", [0.8 / EIGHT_PI2], None),
    # U wins over B; a value that is negative or not a number counts as none, and is named.
    ("_atom_site_U_iso_or_equiv _atom_site_B_iso_or_equiv", ["Fe1 Fe 0 0 0 1 0.01 3.0", "O1 O .5 .5 .5 1 -0.01 ."],
     "", [0.01, None], "-0.01"),
    ("_atom_site_U_iso_or_equiv", ["O1 O 0.5 0.5 0.5 1 abc"], "", [None], "abc"),
    # A mixed site written with two values holds their occupancy-weighted mean.
    ("_atom_site_U_iso_or_equiv", ["Sr1 Sr 0 0 0 0.25 0.01", "Ba1 Ba 0 0 0 0.75 0.02"], "", [0.0175], None),
    ("_atom_site_U_iso_or_equiv", ["Fe1 Fe 0 0 0 1 ?", "O1 O 0.5 0.5 0.5 1 ?"],
     "loop_\n_atom_site_aniso_label\n_atom_site_aniso_U_11\n_atom_site_aniso_U_22\n_atom_site_aniso_U_33\n"
     "_atom_site_aniso_U_12\n_atom_site_aniso_U_13\n_atom_site_aniso_U_23\n"
     "O1 0.011 0.016 0.021 0.002 -0.001 0.003\n", [None, "aniso"], None),
    ("", ["Fe1 Fe 0 0 0 1"],
     "loop_\n_atom_site_aniso_label\n_atom_site_aniso_B_11\n_atom_site_aniso_B_22\n_atom_site_aniso_B_33\n"
     "Fe1 0.8 0.8 0.8\n", ["diagonal B"], None),
])
def test_read_from_cif(columns, rows, aniso, expected, unusable):
    text = CELL + SITES.format(columns=columns.replace(" ", "\n")) + "\n".join(rows) + "\n" + aniso
    s = Structure.from_cif_str(text)
    want = []
    for value in expected:
        if value == "aniso":
            value = ueq(s.lattice_matrix, U_ANISO)
        elif value == "diagonal B":
            value = ueq(s.lattice_matrix, np.eye(3) * 0.8 / EIGHT_PI2)
        want.append(value)
    assert [u is None for u in s.uiso] == [w is None for w in want]
    for u, w in zip(s.uiso, want):
        if w is not None:
            assert u == pytest.approx(w, rel=1e-12)
    assert [f for f in cif_warnings(text) if "_iso_or_equiv" in f] == (
        [f"atom site 'O1': _atom_site_U_iso_or_equiv '{unusable}' is negative or not a number, so the "
         "site is read without it"] if unusable else [])


def perovskite_with_u() -> Structure:
    rows = ["Sr1 Sr 0 0 0 0.5 0.010", "Ba1 Ba 0 0 0 0.5 0.010", "Ti1 Ti 0.5 0.5 0.5 1 0.004",
            "O1 O 0.5 0.5 0 1 0.012", "O2 O 0.5 0 0.5 1 0.006", "O3 O 0 0.5 0.5 1 0.006"]
    cell = "data_p\n_cell_length_a 3.95\n_cell_length_b 3.95\n_cell_length_c 3.95\n"
    return Structure.from_cif_str(cell + SITES.format(columns="_atom_site_U_iso_or_equiv") + "\n".join(rows) + "\n")


def test_copies_keep_the_values_and_the_model_uses_them():
    s = perovskite_with_u()
    assert s.uiso == [0.010, 0.004, 0.012, 0.006, 0.006]
    assert s.make_supercell(2, 1, 1).uiso == s.uiso * 2
    ordered, _ = s.expand_occupancies(max_sites=200, seed=1)
    # Each placed atom keeps the value of the site it came from.
    by_position = {tuple(np.round(np.array(f) * 4 % 1, 6)): u for f, u in zip(ordered.frac_coords, ordered.uiso)}
    assert by_position[(0.0, 0.0, 0.0)] == 0.010 and by_position[(0.0, 0.0, 0.0)] is not None
    assert sorted(set(ordered.uiso)) == [0.004, 0.006, 0.010, 0.012]
    from kelvara.pdf.model import PDFParameters, model_pdf, pair_table

    r = np.arange(100, 800) * 0.01
    from_file = model_pdf(pair_table(s, 10.0), r)
    explicit = model_pdf(pair_table(s, 10.0, site_uiso=[0.010, 0.004, 0.012, 0.006, 0.006]), r)
    single = model_pdf(pair_table(s, 10.0, site_uiso=[0.010, 0.004, 0.008, 0.008, 0.008]), r)
    np.testing.assert_array_equal(from_file, explicit)
    assert np.max(np.abs(from_file - single)) > 0.005 * np.max(np.abs(from_file))
    # total_pdf broadens each pair of sites by sqrt(U_i + U_j) from the file as the model
    # does; an explicit broadening replaces the file's values for every pair.
    from kelvara.pdf import total_pdf

    pdf = total_pdf(s, r_max=8.0, bin_size=0.01, qmax=25.0)
    model = model_pdf(pair_table(s, 12.0), pdf.r[100:], PDFParameters(qmax=25.0))
    assert np.sqrt(np.mean((pdf.G[100:] - model) ** 2) / np.mean(model**2)) < 0.005
    one = total_pdf(s, r_max=8.0, bin_size=0.01, qmax=25.0, broadening=0.1).G
    assert np.max(np.abs(one[100:] - model)) > 0.05 * np.max(np.abs(model))
    partial = Structure(s.lattice_matrix, s.frac_coords, s.species, [0.01, 0.004, None, 0.006, 0.006])
    with pytest.warns(UserWarning, match="no displacement parameter for some O sites: they are taken as static"):
        total_pdf(partial, r_max=3.0)
