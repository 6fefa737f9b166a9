"""read_xyz_trajectory: frame parsing, selection, messages, streaming and the GIL."""

from __future__ import annotations

import os

import numpy as np
import pytest

from conftest import run_python
from kelvara import read_xyz_trajectory

ase_io = pytest.importorskip("ase.io")
import ase  # noqa: E402  (after the importorskip)

CUBE5 = 'Lattice="5 0 0 0 5 0 0 0 5"'


def frame_text(comment: str, atoms: list[str]) -> str:
    return f"{len(atoms)}\n{comment}\n" + "".join(line + "\n" for line in atoms)


def simple_frames(n: int, comment: str = CUBE5) -> str:
    """n two-atom frames; frame i has its first atom at x = i / 10."""
    return "".join(
        frame_text(comment, [f"Fe {i / 10} 0 0", "O 1 1 1"]) for i in range(n)
    )


def write(tmp_path, text: str | bytes, name: str = "traj.xyz") -> str:
    path = tmp_path / name
    if isinstance(text, str):
        text = text.encode()
    path.write_bytes(text)
    return str(path)


def ase_frames(rng: np.random.Generator, n_frames: int) -> list[ase.Atoms]:
    frames = []
    for _ in range(n_frames):
        cell = np.diag(rng.uniform(5.0, 9.0, 3)) + rng.uniform(-1.0, 1.0, (3, 3))
        n_atoms = int(rng.integers(1, 12))
        symbols = rng.choice(["Fe", "O", "Ni", "H"], n_atoms).tolist()
        atoms = ase.Atoms(symbols, positions=rng.uniform(-2.0, 10.0, (n_atoms, 3)), cell=cell, pbc=True)
        atoms.arrays["forces"] = rng.normal(size=(n_atoms, 3))
        frames.append(atoms)
    return frames


# ---- agreement with ASE -------------------------------------------------------------


@pytest.mark.parametrize(
    "every, start, stop",
    [(1, 0, None), (3, 1, None), (2, 5, 17), (4, 0, 3), (100, 0, None), (1, 2, 3), (4, 1, 100)],
)  # fmt: skip
def test_matches_ase(tmp_path, rng, every, start, stop):
    path = str(tmp_path / "ase.xyz")
    ase_io.write(path, ase_frames(rng, 20), format="extxyz")
    structures, indices, frames_read = read_xyz_trajectory(path, every, start, stop)  # positional
    reference = ase_io.read(path, index=slice(start, stop, every))
    assert indices == list(range(20))[start:stop:every]
    assert frames_read == min(20, stop or 20)
    assert len(structures) == len(reference)
    for ours, theirs in zip(structures, reference):
        assert ours.lattice_matrix == theirs.cell.array.tolist()
        assert ours.species == [{e: 1.0} for e in theirs.get_chemical_symbols()]
        # ASE's positions reach outside the skewed cells: none may be wrapped back in.
        np.testing.assert_allclose(ours.cart_coords, theirs.positions, rtol=0, atol=1e-9)


# ---- selection ------------------------------------------------------------------------

TEN = simple_frames(10)


@pytest.mark.parametrize(
    "text, kwargs, indices, frames_read",
    [
        # stop ends reading before a malformed frame; skipped frames are not parsed.
        (simple_frames(7) + frame_text(CUBE5, ["Fe 0 0"]) + "garbage\n", {"stop": 5}, [0, 1, 2, 3, 4], 5),
        (frame_text(CUBE5, ["Fe 0 0 0"]) + frame_text("no lattice", ["?? x y", "!"]) + "0\nnothing\n"
         + frame_text(CUBE5, ["O 1 1 1"]), {"every": 3}, [0, 3], 4),
    ],
)  # fmt: skip
def test_unkept_frames_are_not_parsed(tmp_path, text, kwargs, indices, frames_read):
    _, got, read = read_xyz_trajectory(write(tmp_path, text), **kwargs)
    assert (got, read) == (indices, frames_read)


@pytest.mark.parametrize(
    "text",
    [
        "\n\n" + simple_frames(1) + "\n  \t\n" + simple_frames(2) + "\n\n",
        simple_frames(3).replace("\n", "\r\n"),
        simple_frames(3).rstrip("\n"),  # no line feed after the last line
        simple_frames(3).replace("2\n", " 2 \n"),
        # UTF-8 in the comment; NBSP and EM SPACE separate the words of an atom line.
        simple_frames(3).replace(CUBE5, CUBE5 + ' name="Fe₂O₃ — α"').replace("O 1 1", "O\u00a01\u20031"),
    ],
    ids=["blank-lines", "crlf", "no-final-newline", "spaced-count", "unicode"],
)
def test_line_layouts(tmp_path, text):
    structures, indices, frames_read = read_xyz_trajectory(write(tmp_path, text))
    assert frames_read == 3
    for s in structures:
        assert s.lattice_matrix == [[5.0, 0.0, 0.0], [0.0, 5.0, 0.0], [0.0, 0.0, 5.0]]
        assert s.elements == ["Fe", "O"] and s.cart_coords[1] == [1.0, 1.0, 1.0]


# ---- the comment line -------------------------------------------------------------------

CELL = [[6.0, 0.0, 0.0], [0.0, 7.0, 0.0], [0.0, 0.0, 8.0]]


@pytest.mark.parametrize(
    "comment, cell, expected",
    [
        (CUBE5, CELL, 5.0),  # the file's Lattice wins over the given cell
        ("time=0.5", CELL, 6.0),
        ('Lattice = "5 0 0 0 5 0 0 0 5"', CELL, 6.0),  # spaces: not a Lattice field
        ('xLattice="1 0 0 0 1 0 0 0 1" ' + CUBE5, None, 5.0),
        ('\tLATTICE="5 0 0 0 5 0 0 0 5', None, 5.0),  # any case; an unclosed quote runs to the end
    ],
)
def test_cell_source(tmp_path, comment, cell, expected):
    path = write(tmp_path, frame_text(comment, ["Fe 1 1 1"]))
    (structure,), _, _ = read_xyz_trajectory(path, cell=cell)
    assert structure.lattice_matrix[0][0] == expected


def test_numpy_cell_and_huge_comment(tmp_path):
    filler = "x" * 5_000_000
    comment = f'info="{filler}" Properties=species:S:1:pos:R:3 comment={filler}y'
    path = write(tmp_path, frame_text(comment, ["Fe 1 2 3"]) * 2)
    structures, _, _ = read_xyz_trajectory(path, cell=np.diag([2.0, 4.0, 8.0]))
    assert [s.frac_coords for s in structures] == [[[0.5, 0.5, 0.375]]] * 2


@pytest.mark.parametrize(
    "properties, line, symbol, position",
    [
        ("species:S:1:pos:R:3:forces:R:3", "Fe 1 2 3 9 9 9", "Fe", [1, 2, 3]),
        ("id:I:1:species:S:1:pos:R:3", "7 Ni 1 2 3", "Ni", [1, 2, 3]),
        ("pos:R:3:species:S:1", "1 2 3 O", "O", [1, 2, 3]),
        ("SPECIES:S:1:POS:R:3", "Ti 1 2 3", "Ti", [1, 2, 3]),
        ("symbols:S:1:positions:R:3", "fe3+ 1 2 3", "Fe", [1, 2, 3]),
        ("x:R:+2:element:S:1:pos:R:3", "0 0 C_1 1 2 3", "C", [1, 2, 3]),
        ("species:S:1:pos:R:3:species:S:1", "Fe 1 2 3 O", "O", [1, 2, 3]),
        ("species:S:1:pos:I:3", "1H 1 2 3", "1H", [1, 2, 3]),
    ],
)
def test_properties_layouts(tmp_path, properties, line, symbol, position):
    comment = f"Properties={properties} {CUBE5}"
    (structure,), _, _ = read_xyz_trajectory(write(tmp_path, frame_text(comment, [line])))
    assert structure.elements == [symbol]
    np.testing.assert_allclose(structure.cart_coords, [position], rtol=0, atol=1e-12)


# ---- messages -------------------------------------------------------------------------------


def bad(frame: str) -> str:
    """A file whose frame 2 is `frame`, after two good ones."""
    return simple_frames(2) + frame


@pytest.mark.parametrize(
    "text, kwargs, message",
    [
        (bad(frame_text(CUBE5 + " Properties=species:S:1:pos:R", ["Fe 0 0 0"])), {},
         "cannot read Properties=species:S:1:pos:R"),
        (bad(frame_text(CUBE5 + " Properties=species:S:x:pos:R:3", ["Fe 0 0 0"])), {},
         "bad column count in Properties=species:S:x:pos:R:3"),
        (bad(frame_text(CUBE5 + " Properties=Z:I:1:pos:R:3", ["Fe 0 0 0"])), {},
         "Properties=Z:I:1:pos:R:3 names no species or pos column"),
        (bad("3\ncomment\nFe 0 0 0\n"), {"every": 5}, "frame 2 ends after 1 of 3 atoms"),
        ("", {}, "no frames found in the file"),
        ("\n \n\t\r\n", {}, "no frames found in the file"),
        (TEN, {"stop": 0}, "no frames found in the file"),
        (TEN, {"start": 20}, "the file has 10 frame(s) but none matched start/every/stop"),
        (TEN, {"start": 6, "stop": 5}, "the file has 5 frame(s) but none matched start/every/stop"),
    ],
)
def test_messages(tmp_path, text, kwargs, message):
    with pytest.raises(ValueError) as error:
        read_xyz_trajectory(write(tmp_path, text), **kwargs)
    assert error.value.args == (message,)


@pytest.mark.parametrize(
    "position, expected",
    [("count", "the atom count"), ("comment", "the comment line"), ("atom", "an atom line")],
)
@pytest.mark.parametrize("every", [1, 2])
def test_invalid_utf8(tmp_path, position, expected, every):
    # Every line is decoded, so a skipped frame (frame 3 with every=2) fails too.
    broken = {
        "count": b"2\xff\n" + CUBE5.encode() + b"\nFe 0 0 0\nO 0 0 0\n",
        "comment": b"2\n" + CUBE5.encode() + b" \xc3\x28\nFe 0 0 0\nO 0 0 0\n",
        "atom": b"2\n" + CUBE5.encode() + b"\nFe 0 0 0\nO 0 0 0 \xed\xa0\x80\n",
    }[position]
    text = simple_frames(3).encode() + broken + simple_frames(1).encode()
    with pytest.raises(ValueError) as error:
        read_xyz_trajectory(write(tmp_path, text), every=every)
    assert error.value.args == (f"error reading {expected}: stream did not contain valid UTF-8",)


@pytest.mark.parametrize(
    "path, kind, message",
    [
        ("{tmp}/missing.xyz", OSError, "could not open {tmp}/missing.xyz: No such file or directory (os error 2)"),
        ("{tmp}", OSError, "error reading the atom count: Is a directory (os error 21)"),
        ("a\0b.xyz", ValueError, "could not open a\0b.xyz: file name contained an unexpected NUL byte"),
    ],
)
def test_unreadable_paths(tmp_path, path, kind, message):
    with pytest.raises(kind) as error:
        read_xyz_trajectory(path.format(tmp=tmp_path))
    assert error.value.args == (message.format(tmp=tmp_path),)


@pytest.mark.parametrize(
    "args, kwargs, exception, text",
    [
        ((), {"every": 0}, ValueError, "every must be at least 1"),
        ((), {"every": 0, "cell": [[1, 0, 0], [0, 1, 0]]}, ValueError, "cell must be 3x3"),
        ((), {"cell": [[1, 0, 0], [0, 1], [0, 0, 1]]}, ValueError, "cell must be 3x3"),
        ((), {"every": -1}, OverflowError, ""),
        ((), {"every": None}, TypeError, "argument 'every'"),
        ((), {"cell": "abc"}, TypeError, "argument 'cell'"),
        ((b"traj.xyz",), {}, TypeError, "argument 'path'"),
    ],
)
def test_argument_errors(args, kwargs, exception, text):
    with pytest.raises(exception) as error:
        read_xyz_trajectory(*(args or ("/nonexistent/file.xyz",)), **kwargs)
    assert str(error.value).startswith(text)


# ---- streaming, memory and the GIL --------------------------------------------------------


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads VmHWM from /proc")
def test_reading_every_tenth_frame_streams(tmp_path):
    # 60 MB of frames; every 10th frame is 60 frames of 2000 atoms (a few MB), so the peak
    # must stay far below the file size (ru_maxrss of a child starts at the parent's).
    xyz = np.random.default_rng(5).uniform(0, 20, (2000, 3))
    lines = "".join(f"Fe {x:.8f} {y:.8f} {z:.8f} 0.1 0.2 0.3\n" for x, y, z in xyz)
    path = tmp_path / "big.xyz"
    path.write_text(f"2000\n{CUBE5} Properties=species:S:1:pos:R:3:forces:R:3\n{lines}" * 600)
    kept, frames_read, growth_mb = run_python(f"""
        from kelvara import read_xyz_trajectory
        def peak_mb():
            return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:")) / 1024
        read_xyz_trajectory({str(path)!r}, stop=1)  # warm up the module
        before = peak_mb()
        structures, indices, n = read_xyz_trajectory({str(path)!r}, every=10)
        print(len(structures), n, peak_mb() - before)
        """).split()  # fmt: skip
    assert (kept, frames_read) == ("60", "600")
    assert float(growth_mb) < 20, f"peak RSS grew by {growth_mb} MB reading a 60 MB file"
