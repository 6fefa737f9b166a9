"""Writers never leave a half-written file, CIF reads back as written, the command line
keeps its promise (one line on stderr, exit 1; Ctrl-C exits 130) and overwrites nothing
unasked."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from conftest import run_python

from kelvara import Structure
from kelvara.cli import DATA, main
from kelvara.io import write_structure

SRBATIO3 = str(DATA / "SrBaTiO3.cif")


def big_ordered(n_cells: int = 12) -> Structure:
    return Structure.from_cif(SRBATIO3).expand_occupancies(max_sites=10**6)[0].make_supercell(
        n_cells, n_cells, n_cells)


@pytest.mark.parametrize("name", ["good.cif", "good.vasp", "good.xyz"])
def test_a_failed_write_leaves_the_old_file_whole(tmp_path, name):
    target = tmp_path / name
    small = Structure(np.eye(3) * 4, [[0, 0, 0]], [{"Si": 1.0}])
    write_structure(small, target)
    before = target.read_bytes()
    # A file-size limit makes the write fail part-way, as a full disk would.
    code = f"""
        import resource, signal, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_writes import big_ordered
        from kelvara.io import write_structure
        s = big_ordered()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
        try:
            write_structure(s, {str(target)!r})
        except OSError as e:
            print("failed", e.errno)
    """
    assert run_python(code).startswith("failed")
    assert target.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]  # no temporary file left


@pytest.mark.parametrize(("frac", "species"), [
    ([[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 1.0}, {"O": 1e-13, "Si": 0.5}]),
    ([[0.999999, 0, 0], [0.5, 0, 0]], [{"Na": 0.123456789012345678}, {"Cl": 5e-20}]),
])
def test_cif_round_trip_keeps_every_occupancy(tmp_path, frac, species):
    s = Structure([[4, 0, 0], [0, 4.5, 0], [0, 0, 5]], frac, species)
    write_structure(s, tmp_path / "x.cif")
    back = Structure.from_cif(str(tmp_path / "x.cif"))
    assert back.species == s.species
    np.testing.assert_allclose(back.frac_coords, s.frac_coords, atol=1e-12)


@pytest.mark.parametrize(("frac", "species", "name", "message"), [
    ([[0, 0, 0], [0, 0, 1]], [{"Fe": 1.0}, {"O": 1.0}], "x.cif", "sites 0 and 1 are at the same position"),
    # Element names that a CIF reader refuses, or reads as another element.
    ([[0, 0, 0]], [{"#": 1.0}], "x.cif", r"element names \('#'\) fail to read as CIF type symbols"),
    ([[0, 0, 0]], [{"O'": 1.0}], "x.cif", r"site 0 would read back from CIF as \{'O': 1.0\}"),
    # A legal fractional coordinate whose Cartesian position overflows (in a cell of 1e303 A).
    ([[1e6, 0, 0]], [{"Si": 1.0}], "x.xyz", "site 0 has no finite Cartesian position"),
])
def test_writers_refuse_what_would_not_read_back(tmp_path, frac, species, name, message):
    s = Structure(np.diag([1e303, 4, 4]) if frac[0][0] == 1e6 else np.eye(3) * 4, frac, species)
    with pytest.raises(ValueError, match=message):
        write_structure(s, tmp_path / name)
    assert not list(tmp_path.iterdir())


def test_outputs_are_not_replaced_without_force(capsys, tmp_path, monkeypatch):
    # An earlier run's --out folder, or a plain file there (expand -o is checked in test_cli.py).
    pytest.importorskip("matplotlib")
    monkeypatch.chdir(tmp_path)
    assert main(["rdf", SRBATIO3, "--cutoff", "3", "--out", "o"]) == 0
    assert main(["rdf", SRBATIO3, "--cutoff", "3", "--out", "o"]) == 1
    assert "pass --force" in capsys.readouterr().err
    assert main(["rdf", SRBATIO3, "--cutoff", "3", "--out", "o", "--force"]) == 0
    (tmp_path / "plain").write_text("")
    assert main(["rdf", SRBATIO3, "--out", "plain"]) == 1
    assert capsys.readouterr().err == "kelvara: --out plain is a file, not a folder\n"


@pytest.mark.parametrize(("signum", "status", "message"), [
    (signal.SIGINT, 130, "kelvara: interrupted\n"),
    (signal.SIGTERM, 143, "kelvara: terminated\n"),  # a scheduler's kill: outputs cleaned up too
])
def test_a_stopped_command_exits_with_one_line(tmp_path, signum, status, message):
    path = tmp_path / "big.vasp"
    write_structure(big_ordered(16), path)  # 20,480 atoms: cutoff 50 takes a while
    child = subprocess.Popen(
        # Ctrl-C as from a terminal, even when the suite runs as a background job.
        [sys.executable, "-c", "import signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
         "from kelvara.cli import main; print('ready', flush=True); "
         f"sys.exit(main(['rdf', {str(path)!r}, '--cutoff', '50', '--out', {str(tmp_path / 'o')!r}]))"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"  # imports done, however loaded the machine
        time.sleep(1.0)
        child.send_signal(signum)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == status and err == message, err
    assert not [p for p in tmp_path.rglob("*") if p.name.endswith(".part")]


def test_the_command_reads_a_structure_from_a_pipe(tmp_path):
    text = 'Lattice="3 0 0 0 3 0 0 0 3"\nSi 0 0 0\n'
    done = subprocess.run(
        [sys.executable, "-c", "import sys; from kelvara.cli import main; "
         f"sys.exit(main(['rdf', '/dev/stdin', '--format', 'xyz', '--cutoff', '4', '--out', {str(tmp_path)!r}]))"],
        input="1\n" + text, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "Si-Si: first peak at 3.000 A" in done.stdout
