"""LAMMPS dumps, XDATCAR and the reader object: frames against ASE, bad input, streaming."""

from __future__ import annotations

import os
import threading

import numpy as np
import pytest

from kelvara import trajectory_rdf
from kelvara._kelvara import TrajectoryReader

ase_io = pytest.importorskip("ase.io")


def lammps_frame(step, box, rows, columns="id type x y z", tilt=None, flags="pp pp pp"):
    bounds = "BOX BOUNDS " + ("xy xz yz " if tilt is not None else "") + flags
    lines = [f"ITEM: TIMESTEP\n{step}\n", f"ITEM: NUMBER OF ATOMS\n{len(rows)}\n", f"ITEM: {bounds}\n"]
    for k, (lo, hi) in enumerate(box):
        lines.append(f"{float(lo)!r} {float(hi)!r}" + (f" {float(tilt[k])!r}" if tilt is not None else "") + "\n")
    lines.append(f"ITEM: ATOMS {columns}\n")
    lines += [" ".join(str(v) for v in row) + "\n" for row in rows]
    return "".join(lines)


def random_dump(rng, n_frames, n_atoms, triclinic, columns="id type x y z"):
    """A dump with shuffled ids, a box that changes every frame, and the exact
    Cartesian positions (relative to the box origin) that each frame encodes."""
    frames, expected = [], []
    for step in range(n_frames):
        lo = rng.uniform(-2, 2, 3)
        lengths = rng.uniform(7, 9, 3)
        tilt = rng.uniform(-1, 1, 3) if triclinic else np.zeros(3)
        xy, xz, yz = tilt
        matrix = np.array([[lengths[0], 0, 0], [xy, lengths[1], 0], [xz, yz, lengths[2]]])
        bounds = [(lo[0] + min(0, xy, xz, xy + xz), lo[0] + lengths[0] + max(0, xy, xz, xy + xz)),
                  (lo[1] + min(0, yz), lo[1] + lengths[1] + max(0, yz)),
                  (lo[2], lo[2] + lengths[2])]
        frac = rng.uniform(0, 1, (n_atoms, 3))
        cart = frac @ matrix
        types = rng.integers(1, 3, n_atoms)
        ids = rng.permutation(n_atoms) + 1
        rows = []
        for k in range(n_atoms):
            values = {"id": ids[k], "type": types[k], "element": {1: "Si", 2: "O"}[types[k]],
                      "x": repr(float(cart[k, 0] + lo[0])), "y": repr(float(cart[k, 1] + lo[1])),
                      "z": repr(float(cart[k, 2] + lo[2])),
                      "xs": repr(float(frac[k, 0])), "ys": repr(float(frac[k, 1])),
                      "zs": repr(float(frac[k, 2])), "vx": "0.5"}
            rows.append([values[c] for c in columns.split()])
        order = np.argsort(ids)
        frames.append(lammps_frame(step * 10, bounds, rows, columns, tilt if triclinic else None))
        expected.append((matrix, cart[order], types[order], lo))
    return "".join(frames), expected


@pytest.mark.parametrize("triclinic", [False, True])
@pytest.mark.parametrize("columns", ["id type x y z", "type id xs ys zs vx", "id element type x y z"])
def test_lammps_dump_matches_ase_and_the_written_frames(tmp_path, rng, triclinic, columns):
    text, expected = random_dump(rng, 4, 9, triclinic, columns)
    path = tmp_path / "run.lammpstrj"
    path.write_text(text)
    types = {1: "Si", 2: "O"}
    with TrajectoryReader(str(path), types=types) as reader:
        assert reader.format == "lammps-dump"
        structures, indices = reader.read(10)
    assert indices == [0, 1, 2, 3]
    theirs = ase_io.read(path, index=":", format="lammps-dump-text")
    for ours, (matrix, cart, type_ids, lo), atoms in zip(structures, expected, theirs):
        np.testing.assert_allclose(ours.lattice_matrix, matrix, atol=1e-12)
        np.testing.assert_allclose(ours.lattice_matrix, atoms.cell.array, atol=1e-12)
        np.testing.assert_allclose(ours.cart_coords, cart, atol=1e-9)
        if "xs" not in columns:  # ASE keeps the box origin in its positions
            np.testing.assert_allclose(np.array(ours.cart_coords) + lo, atoms.positions, atol=1e-9)
        assert [next(iter(s)) for s in ours.species] == [types[t] for t in type_ids]


def test_lammps_units_and_time_items(tmp_path, rng):
    """Frames of a dump written with "dump_modify units yes time yes" (ITEM: UNITS once, then
    ITEM: TIME before every ITEM: TIMESTEP) read as the same dump without them."""
    text, _ = random_dump(rng, 3, 5, True)
    frames = text.split("ITEM: TIMESTEP\n")[1:]
    timed = "ITEM: UNITS\nmetal\n" + "".join(f"ITEM: TIME\n{0.002 * k!r}\nITEM: TIMESTEP\n{frame}"
                                           for k, frame in enumerate(frames))
    read = []
    for name, body in (("plain.lammpstrj", text), ("timed.lammpstrj", timed)):
        (tmp_path / name).write_text(body)
        with TrajectoryReader(str(tmp_path / name), types={1: "Si", 2: "O"}) as reader:
            read.append(reader.read())
    (plain, plain_indices), (ours, indices) = read
    assert indices == plain_indices == [0, 1, 2]
    for a, b in zip(plain, ours):
        assert a.lattice_matrix == b.lattice_matrix and a.frac_coords == b.frac_coords


def write_xdatcar(path, cells, fracs, names=("Si", "O"), counts=(2, 1), varying=False, vasp4=False):
    def header(cell):
        text = "run\n   1.0\n" + "".join(" ".join(f"{x:.10f}" for x in row) + "\n" for row in cell)
        return text + ("" if vasp4 else " ".join(names) + "\n") + " ".join(map(str, counts)) + "\n"

    parts = [header(cells[0])]
    for k, (cell, frac) in enumerate(zip(cells, fracs)):
        if varying and k:
            parts.append(header(cell))
        parts.append(f"Direct configuration=     {k + 1}\n")
        parts += [" ".join(f"{x:.8f}" for x in row) + "\n" for row in frac]
    path.write_text("".join(parts))
    return str(path)


@pytest.mark.parametrize("varying, vasp4", [(False, False), (True, False), (False, True)])
def test_xdatcar_frames(tmp_path, rng, varying, vasp4):
    n = 5
    cells = [np.diag(rng.uniform(4, 5, 3)) + (rng.uniform(-0.3, 0.3, (3, 3)) if varying else 0) for _ in range(n)]
    if not varying:
        cells = [cells[0]] * n
    fracs = [np.round(rng.uniform(0, 1, (3, 3)), 8) for _ in range(n)]
    path = write_xdatcar(tmp_path / "XDATCAR", cells, fracs, varying=varying, vasp4=vasp4)
    # A VASP 4 file names no elements: types names them, in the order of the counts.
    with TrajectoryReader(path, every=2, types={1: "Si", 2: "O"} if vasp4 else None) as reader:
        assert reader.format == "xdatcar"
        structures, indices = reader.read()
    assert indices == [0, 2, 4]
    for ours, k in zip(structures, indices):
        np.testing.assert_allclose(ours.lattice_matrix, np.round(cells[k], 10), atol=1e-12)
        np.testing.assert_allclose(ours.frac_coords, fracs[k], atol=1e-12)
        assert ours.species == [{"Si": 1.0}, {"Si": 1.0}, {"O": 1.0}]
    if not varying and not vasp4:  # ASE reads fixed-cell XDATCAR files
        for ours, atoms in zip(structures, ase_io.read(path, index="::2", format="vasp-xdatcar")):
            np.testing.assert_allclose(ours.cart_coords, atoms.positions, atol=1e-9)
            assert ours.species == [{e: 1.0} for e in atoms.get_chemical_symbols()]


DUMP = lammps_frame(0, [(0, 5), (0, 5), (0, 5)], [[1, 1, 0, 0, 0], [2, 2, 1, 1, 1]])
XDAT = "s\n1\n4 0 0\n0 4 0\n0 0 4\nSi\n2\nDirect configuration= 1\n0 0 0\n0.5 0.5 0.5\n"
SI_O = {"types": {1: "Si", 2: "O"}}


@pytest.mark.parametrize(
    "text, kwargs, message",
    [
        (DUMP + DUMP[: DUMP.index("2 2 1")], SI_O, "^frame 1 ends after 1 of 2 atoms$"),
        (DUMP.replace("2 2 1 1 1\n", "") + DUMP, SI_O,
         "^frame 0 has 1 atom lines, but its NUMBER OF ATOMS says 2$"),
        (DUMP + DUMP.replace("0.0 5.0\n", "", 1), SI_O,
         "^frame 1: cannot read box bounds line 3 'ITEM: ATOMS id type x y z'"),
        (DUMP, {}, "^frame 0: atoms have LAMMPS type '1' and the dump has no element column"),
        (DUMP, {"types": {1: "Si"}}, r"^frame 0: LAMMPS type '2' has no element in types \(which names 1\)$"),
        (DUMP.replace("pp pp pp", "pp pp ff"), SI_O, "^frame 0: the box is not periodic along z"),
        (DUMP.replace("id type x y z", "id type vx vy vz"), SI_O, "^frame 0: the ATOMS columns"),
        (DUMP.replace("2 2 1", "1 2 1"), SI_O, "^frame 0: atom id 1 occurs twice$"),
        (XDAT.replace("Si\n", ""), {}, "names no elements"),  # VASP 4: the names are not in the file
        (XDAT + "Direct configuration= 2\n0 0 0\n", {}, "^frame 1 ends after 1 of 2 atoms$"),
        (XDAT + "Direct configuration= 2\n0 0 0\nDirect configuration= 3\n", {},
         "^frame 1 has 1 atom lines, but its header counts 2 atoms$"),
        ("hello\nworld\n", {}, "cannot tell the trajectory format of .* from its first lines"),
        # Items before the timestep are passed over; the timestep must still come.
        ("ITEM: UNITS\nmetal\nITEM: TIME\n0.0\n" + DUMP[DUMP.index("ITEM: NUMBER"):], SI_O,
         "^frame 0: expected 'ITEM: TIMESTEP', found 'ITEM: NUMBER OF ATOMS'$"),
        ("ITEM: TIME\n", SI_O, "^frame 0 ends before the value of an item$"),
        # Bounds that no box has: the length left once the tilts are taken out.
        (lammps_frame(0, [(0, 10), (0, 10), (0, 10)], [[1, 1, 0, 0, 0]], tilt=[100, 0, 0]), SI_O,
         "^frame 0: the box bounds 0 10 leave a length of -90 along x once the tilt factors are taken "
         "out; a box needs a positive length$"),
        (lammps_frame(0, [(0, 10), (0, 10), (0, 10)], [[1, 1, 0, 0, 0]], tilt=[0, 0, 1e6]), SI_O,
         "^frame 0: the box bounds 0 10 leave a length of -999990 along y once"),
        (DUMP.replace("0.0 5.0\n", "5.0 0.0\n", 1), SI_O,
         "^frame 0: the box bounds 5 0 leave a length of -5 along x; a box needs a positive length$"),
        (DUMP.replace("0.0 5.0\n", "0.0 inf\n", 1), SI_O, "^frame 0: the box bounds 0 inf leave a length of inf"),
        (DUMP.replace("2 2 1 1 1", "2 2 1e300 1 1"), SI_O,
         r"^frame 0: site 1 has a fractional coordinate of 2e\+299, more than a million cell lengths"),
        # types= is refused when it is ambiguous or no name.
        (DUMP, {"types": {1: "Si", "1": "O", 2: "O"}},
         r"^types: type 1 is given twice \('Si' and 'O'\); give each type one element$"),
        (DUMP, {"types": {1: "S\0i", 2: "O"}}, "^types: the element of type 1 contains a NUL character$"),
        (DUMP, {"types": {1: "Si" * 5000, 2: "O"}},
         r"^types: the element of type 1 is 10000 bytes long \(a name has at most 64\)$"),
        (DUMP, {"types": {"\0": "Si", 2: "O"}}, "^types: a type contains a NUL character$"),
    ],
)
def test_bad_input_names_the_frame(tmp_path, text, kwargs, message):
    path = tmp_path / "bad"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        with TrajectoryReader(str(path), **kwargs) as reader:
            while reader.read()[0]:
                pass


XYZ = '2\nLattice="5 0 0 0 5 0 0 0 5"\nSR 0 0 0\nWat1 1 1 1\n'


@pytest.mark.parametrize("text, kwargs, elements, finding", [
    # Species the single-structure readers would warn about: said once, not once per frame.
    (XYZ * 3, {}, ["Sr", "Wa"], "species 'Wat1' in frame 0, atom line 2 reads as 'Wa', which is not "
                                "a chemical element"),
    (DUMP * 3, {"types": {1: "Si", 2: "Q"}}, ["Q", "Si"],
     "species 'Q' in frame 0, LAMMPS type '2' reads as 'Q', which is not a chemical element"),
    (DUMP.replace("type", "element").replace("1 1 0", "1 CL 0").replace("2 2 1", "2 Xx 1") * 3, {},
     ["Cl", "Xx"], "species 'Xx' in frame 0, atom line 2 reads as 'Xx', which is not a chemical element"),
    (XDAT.replace("Si\n2", "Si X\n1 1") + XDAT[XDAT.index("Direct"):].replace("1\n", "2\n", 1), {},
     ["Si", "X"], "species 'X' in frame 0, the element line reads as 'X', which is not a chemical element"),
    (XDAT.replace("Si\n", "Sï\n") + XDAT[XDAT.index("Direct"):].replace("1\n", "2\n", 1), {}, ["S"],
     "species 'Sï' in frame 0, the element line reads as 'S': 'ï' is not an ASCII letter, so it is not "
     "read as the second letter of the symbol"),
    # LAMMPS flips a box before a tilt passes half a length: a larger one is read, and said.
    (lammps_frame(0, [(0, 16), (0, 10), (0, 10)], [[1, 1, 0, 0, 0], [2, 2, 1, 1, 1]], tilt=[6, 0, 0]) * 2,
     SI_O, ["O", "Si"], "frame 0: the tilt factor xy = 6 is more than half the box length 10 along x, "
                        "beyond what LAMMPS itself writes; the cell is read as given"),
])
def test_findings_are_read_warnings_once(tmp_path, text, kwargs, elements, finding):
    from kelvara import ReadWarning

    (tmp_path / "t").write_text(text)
    with pytest.warns(ReadWarning) as record:
        frames, _ = TrajectoryReader(str(tmp_path / "t"), **kwargs).read()
    assert len(frames) > 1 and frames[-1].elements == elements
    assert [str(w.message) for w in record] == [finding]


def test_names_iteration_and_closing(tmp_path):
    name = os.path.join(os.fsencode(tmp_path), b"t\xff.xyz")  # bytes, and not UTF-8
    with open(name, "w") as f:
        f.write("".join(f'1\nLattice="3 0 0 0 3 0 0 0 3"\nH {i} 0 0\n' for i in range(3)))
    reader = TrajectoryReader(name)
    assert [i for i, _ in reader] == [0, 1, 2]
    reader.close()
    with pytest.raises(ValueError, match="closed"):
        reader.read()
    assert TrajectoryReader(os.fsdecode(name)).read()[1] == [0, 1, 2]
    with pytest.raises(OSError, match="could not open .*missing"):
        TrajectoryReader(os.path.join(os.fsdecode(tmp_path), "missing\udcff"))


def test_bounded_reads_and_a_growing_file(tmp_path):
    with pytest.raises(ValueError, match="a line is longer than 67108864 bytes"):
        TrajectoryReader("/dev/zero", format="xyz").read()
    # A frame cut short by a writer that is still appending: a warning, not an error.
    path = tmp_path / "growing.xyz"
    frame = '1\nLattice="3 0 0 0 3 0 0 0 3"\nH 0 0 0\n'
    path.write_text(frame * 2 + frame[:20])
    reader = TrajectoryReader(str(path))
    with open(path, "a") as f:
        f.write(frame[20:] + frame)
    with pytest.warns(RuntimeWarning, match="the file grew while it was read; frames from 2 on"):
        structures, indices = reader.read()
    assert indices == [0, 1]
    # Truncated and not growing: an error naming the frame.
    path.write_text(frame * 2 + frame[:20])
    with pytest.raises(ValueError, match="^frame 2 ends after 0 of 1 atoms$"):
        TrajectoryReader(str(path)).read()


def test_one_reader_one_thread_at_a_time(tmp_path):
    path = tmp_path / "t.xyz"
    path.write_text('1\nLattice="3 0 0 0 3 0 0 0 3"\nH 0 0 0\n' * 20000)
    reader = TrajectoryReader(str(path))
    errors = []

    def read():
        try:
            while reader.read(50)[0]:
                pass
        except ValueError as error:
            errors.append(str(error))

    threads = [threading.Thread(target=read) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(errors) <= {"this TrajectoryReader is being read by another thread"}


def test_dump_rdf_is_the_mean_of_frame_prdfs(tmp_path, rng):
    from kelvara.batch import trajectory_rdf_many

    text, _ = random_dump(rng, 12, 12, True)
    path = tmp_path / "dump.run"  # a dump by its name's "dump." prefix
    path.write_text(text)
    kwargs = dict(cutoff=3.0, bin_size=0.25, every=2, start=1, chunk=2, types={1: "Si", 2: "O"})
    result = trajectory_rdf(str(path), **kwargs)
    # The kept frames from a full read: the dump reader's skipping must land on the same frames.
    whole, _ = TrajectoryReader(str(path), types=kwargs["types"]).read(100)
    structures = whole[1::2]
    assert result.frame_indices == [1, 3, 5, 7, 9, 11]
    curves = [s.prdf(cutoff=3.0, bin_size=0.25) for s in structures]
    np.testing.assert_allclose(result.total, np.mean([c[2] for c in curves], axis=0), rtol=1e-12)
    densities = [s.n_atoms / s.volume for s in structures]
    g = np.mean([c[2] / d for c, d in zip(curves, densities)], axis=0)
    np.testing.assert_allclose(result.g_total, g, rtol=1e-12)
    np.testing.assert_allclose(result.densities, densities, rtol=1e-14)
    # Windows resumed from their byte positions on two workers give the same bits.
    parallel = trajectory_rdf_many(path, n_workers=2, **kwargs)
    assert parallel.frame_indices == result.frame_indices and parallel.block_size == result.block_size
    for name in ("total", "g_total", "g_total_err", "total_std"):
        np.testing.assert_array_equal(getattr(parallel, name), getattr(result, name))
