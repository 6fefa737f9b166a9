"""Work that cannot be done right is refused at once, with a message that says why."""

from __future__ import annotations

import math
import os
import time

import numpy as np
import pytest
from conftest import run_python

from kelvara import Structure

ONE_SITE = ([[0, 0, 0]], [{"Si": 1.0}])


@pytest.mark.parametrize(("matrix", "cutoff", "expected"), [
    # Thinner than the cutoff by nine orders: billions of images along c.
    ([[4, 0, 0], [0, 4, 0], [0, 0, 1e-9]], 3.0, "only 1e-09 Å thick across the c face"),
    # Skewed: b nearly parallel to a makes the cell nanometres thin across a.
    ([[5, 0, 0], [-5.8e9, 2.7, 0], [0, 0, 5]], 3.0, "thick across the a face"),
    ([[4, 0, 0], [0, 4, 0], [0, 0, 4]], 1e300, "more than a year"),
])
def test_hopeless_cells_are_refused_at_once(matrix, cutoff, expected):
    s = Structure(matrix, *ONE_SITE)
    started = time.monotonic()
    with pytest.raises(ValueError) as error:
        s.total_rdf(cutoff=cutoff)
    assert time.monotonic() - started < 5  # refused, not run: the work is hours
    message = str(error.value)
    assert expected in message and "periodic images" in message and len(message) < 400
    # What would help is named, and the cutoff it names does run.
    if "cutoffs up to" in message:
        better = float(message.split("cutoffs up to ")[1].split(" ")[0])
        assert 0 < better < cutoff
        s.total_rdf(cutoff=better / 1000, bin_size=better / 4000)  # far inside: quick


def test_large_affordable_and_meaningful_work_still_runs():
    # A cell ten times thinner than the cutoff is ordinary (slabs, chains): it runs.
    s = Structure([[4, 0, 0], [0, 4, 0], [0, 0, 0.3]], *ONE_SITE)
    r, total = s.total_rdf(cutoff=3.0)
    assert total[r.searchsorted(0.3) - 1:][:2].sum() > 0
    # So do a few threads per processor.
    cube = Structure(np.eye(3) * 4, *ONE_SITE)
    cap = max(16, 8 * os.cpu_count())
    assert np.array_equal(cube.total_rdf(n_threads=cap)[1], cube.total_rdf()[1])
    # And tiny but meaningful occupancies give finite curves.
    tiny = Structure(np.eye(3) * 4, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Si": 1e-13}, {"O": 1.0}])
    _, partials, total = tiny.prdf(cutoff=6.0)
    assert all(np.isfinite(curve).all() for curve in partials.values()) and np.isfinite(total).all()


@pytest.mark.parametrize(("kwargs", "message"), [
    ({"n_threads": 10_000}, "n_threads 10000 is more than"),
    ({"n_threads": 65_535}, "the most a call may start"),
    ({"cutoff": math.inf}, "cutoff must be a finite number"),
    ({"cutoff": 1.0, "bin_size": 1e-320}, "bin_size 1e-320 gives more than 1e+308 bins"),
])
def test_arguments_refused_with_a_short_message(kwargs, message):
    s = Structure(np.eye(3) * 4, *ONE_SITE)
    with pytest.raises(ValueError) as error:
        s.prdf(**kwargs)
    assert message in str(error.value) and len(str(error.value)) < 200


@pytest.mark.parametrize(("species", "message"), [
    ([{"Si": 5e-324}], "site 0 has an occupancy of Si of 5e-324, too small to mean anything"),
    ([{"Si": 1.0}, {"Si": 1.5, "O": -0.5}], "site 1 has a negative occupancy of O (-0.5)"),
    ([{"Si": 0.0}, {"O": 0.0}], "structure has no atoms: every occupancy is 0"),
])
def test_meaningless_occupancies_are_refused(species, message):
    frac = [[0, 0, 0], [0.5, 0.5, 0.5]][:len(species)]
    with pytest.raises(ValueError) as error:
        Structure(np.eye(3) * 4, frac, species)
    assert str(error.value).startswith(message)


def test_a_device_of_nul_bytes_is_refused_at_once():
    started = time.monotonic()
    with pytest.raises(OSError, match="could not read /dev/zero: it holds NUL bytes"):
        Structure.from_cif("/dev/zero")  # every reader of files reads through the same function
    assert time.monotonic() - started < 5  # not read until memory runs out


def test_expansion_beyond_memory_is_refused_before_copying():
    # An exact ordering needs a multiple of 10^6 cells: the largest cube under the site
    # limit would take terabytes.
    s = Structure(np.eye(3) * 4, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Sr": 0.123457, "Ba": 0.876543}, {"O": 1.0}])
    with pytest.raises(ValueError, match=r"expansion would hold \d+ sites and need about [0-9.e+]+ GiB, "
                                         "more than this machine has available; lower max_sites"):
        s.expand_occupancies(max_sites=10**12, max_denominator=10**6)


def cif_of(n_ops, n_rows):
    """A CIF of n_rows carbon rows whose n_ops operations give distinct sites (1.8 A apart)."""
    ops = "".join(f"'x+{i}/{n_ops},y,z'\n" for i in range(n_ops))
    rows = "".join(f"C{i} C {0.5 / n_ops} {(i % 97 + 0.5) / 97} {(i // 97 + 0.5) / (n_rows // 97 + 1)}\n"
                   for i in range(n_rows))
    return ("data_m\n_cell_length_a 50\n_cell_length_b 50\n_cell_length_c 50\n_cell_angle_alpha 90\n"
            "_cell_angle_beta 90\n_cell_angle_gamma 90\nloop_\n"
            "_symmetry_equiv_pos_as_xyz\n" + ops + "loop_\n_atom_site_label\n_atom_site_type_symbol\n"
            "_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n" + rows)


@pytest.mark.parametrize("symprec", [0, 0.0, -1e-4, math.nan, math.inf])
def test_symprec_must_be_a_positive_distance(symprec):
    with pytest.raises(ValueError, match="symprec must be a positive distance"):
        Structure.from_cif_str(cif_of(2, 1), symprec=symprec)
    assert Structure.from_cif_str(cif_of(2, 1), symprec=1e-4).n_sites == 2


@pytest.mark.parametrize(("n_ops", "n_rows", "message"), [
    (20_000, 20_000, r"^the CIF expands 20000 atom-site rows by 20000 symmetry operations to up to "
                     r"400000000 sites, which need about [0-9.]+ GiB, more than the [0-9.e+]+ GiB this "
                     r"machine has available; no space group has more than 192 operations, so check "
                     r"the file's symmetry loop$"),
    # Within memory on a large machine, but hours of placing and merging images.
    (20_000, 10_000, r"^the CIF expands 10000 atom-site rows by 20000 symmetry operations to .* so "
                     r"check the file's symmetry loop$"),
])
def test_cif_expansion_beyond_bounds_is_refused_before_expanding(n_ops, n_rows, message):
    with pytest.raises(ValueError, match=message):
        Structure.from_cif_str(cif_of(n_ops, n_rows))


def test_many_images_of_a_row_written_to_three_decimals_merge():
    # 200 images of one row, pairs 0.001 apart (closer than its written precision): many
    # enough that the row's images are looked up in a grid rather than scanned.
    ops = [f"'x+{i}/100,y,z'" for i in range(100)] + [f"'x+{i}/100+1/1000,y,z'" for i in range(100)]
    cif = cif_of(1, 1).replace("'x+0/1,y,z'\n", "\n".join(ops) + "\n").replace(
        "C0 C 0.5 0.005154639175257732 0.5", "C0 C 0.123 0.5 0.5")
    with pytest.warns(UserWarning, match="symmetry images up to 0.050 A apart are read as one atom"):
        s = Structure.from_cif_str(cif)
    np.testing.assert_allclose(np.sort(np.asarray(s.frac_coords)[:, 0]), np.sort((0.123 + np.arange(100) / 100) % 1))


@pytest.mark.parametrize("n_threads", [1, 2, "cif"])
def test_failed_allocation_is_a_memory_error(tmp_path, n_threads):
    # Address space for 100 MB more: 2 x 10^7 bins of four pairs cannot be held, nor a CIF
    # of 2 x 10^6 sites (about 230 MB while it is read).
    (tmp_path / "big.cif").write_text(cif_of(200, 10_000))
    call = ("Structure.from_cif_str(cif)" if n_threads == "cif"
            else f"s.prdf(cutoff=4.0, bin_size=2e-7, n_threads={n_threads})")
    code = f"""
        import resource
        from kelvara import Structure
        s = Structure([[3, 0, 0], [0, 3, 0], [0, 0, 3]], [[0, 0, 0], [0.5, 0.5, 0.5]], [{{"Na": 1.0}}, {{"Cl": 1.0}}])
        s.prdf(cutoff=4.0, n_threads={1 if n_threads == "cif" else n_threads})
        cif = open({str(tmp_path / "big.cif")!r}).read()
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (100 << 20), resource.RLIM_INFINITY))
        try:
            {call}
        except MemoryError:
            print("MemoryError")
        """
    assert run_python(code) == "MemoryError"
