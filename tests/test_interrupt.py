"""Ctrl-C stops long native calls: SIGINT to a child process, which must stop quickly."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time

import pytest

# Each child builds its input, prints "ready" right before the call and, when the call
# raises KeyboardInterrupt, proves the process is still sound (other Python threads
# ran while it waited, the pool still computes) and prints one line.
PRELUDE = """
import os, signal, threading, time
# Ctrl-C as a terminal delivers it, even when the suite runs as a background job
# (which starts its children with SIGINT ignored).
signal.signal(signal.SIGINT, signal.default_int_handler)
import numpy as np
from kelvara import Structure
import kelvara

def big_structure(n):
    rng = np.random.default_rng(1)
    side = (n / 0.05) ** (1 / 3)
    return Structure(np.eye(3) * side, rng.random((n, 3)), [{"Si": 1.0}] * n)

def endless_pipe(chunk):
    read_end, write_end = os.pipe()
    def writer():
        try:
            while True:
                os.write(write_end, chunk)
        except OSError:
            pass
    threading.Thread(target=writer, daemon=True).start()
    return f"/dev/fd/{read_end}"

def idle_fifo():
    import tempfile
    path = os.path.join(tempfile.mkdtemp(), "input")
    os.mkfifo(path)
    os.open(path, os.O_RDWR)  # a writer that never writes
    return path

ticks = []
def ticker():
    while len(ticks) < 10_000:
        ticks.append(time.sleep(0.01))
threading.Thread(target=ticker, daemon=True).start()
"""

FRAME = b'2\nLattice="5 0 0 0 5 0 0 0 5"\nSi 0 0 0\nSi 1 1 1\n'

CASES = {
    "prdf on the shared pool": ("s = big_structure(100_000)", "s.prdf(cutoff=50.0)"),
    "prdf on a per-call pool": ("s = big_structure(100_000)", "s.total_rdf(cutoff=50.0, n_threads=2)"),
    "expansion into 10 million sites": (
        "s = Structure(np.eye(3) * 4, [[0, 0, 0]], [{'Sr': 0.371, 'Ba': 0.629}])",
        "s.expand_occupancies(max_sites=10_000_000, max_denominator=1000)"),
    # A quasirandom search is not lost: it returns its best arrangement with a note.
    "quasirandom search": (
        "s = Structure(np.eye(3) * 3.6, [[0, 0, 0]], [dict.fromkeys(['Co', 'Cr', 'Fe', 'Mn', 'Ni'], 0.2)])",
        "r = s.expand_occupancies(max_sites=2000, method='sqs', steps=10**12)[1]; "
        "assert r['sqs']['stopped'] == 'interrupted' and 0 < r['sqs']['steps'] < 10**12; "
        "raise KeyboardInterrupt"),
    # Every structure reader reads its file through the same function.
    "poscar from an idle FIFO": ("path = idle_fifo()", "Structure.from_poscar(path)"),
    "trajectory from an idle FIFO": ("path = idle_fifo()", "kelvara.read_xyz_trajectory(path)"),
    "trajectory format told from an idle FIFO": ("path = idle_fifo()", "kelvara.TrajectoryReader(path)"),
    # The chunk being read on the helper thread is abandoned, not waited for.
    "trajectory_rdf from an idle FIFO": ("path = idle_fifo()", "kelvara.trajectory_rdf(path, fmt='xyz')"),
    "trajectory from an endless stream": (f"path = endless_pipe({FRAME!r} * 1000)",
                                          "kelvara.read_xyz_trajectory(path, every=10**9)"),
}


CHILD = """
{setup}
at_ready = len(ticks)
print("ready", flush=True)
try:
    {call}
    print("finished")
except KeyboardInterrupt:
    before = len(ticks)
    time.sleep(0.05)
    assert len(ticks) > before or len(ticks) == 10_000
    Structure(np.eye(3) * 4, [[0, 0, 0]], [{{"Si": 1.0}}]).total_rdf(cutoff=9.0, n_threads=0)
    print("stopped after", before - at_ready, "ticks")
"""


@pytest.fixture(scope="module")
def outcomes():
    """Runs every case in its own child at once, sends each SIGINT 0.5 s after it
    starts its call; maps case -> (exit code, stdout lines, stderr)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    children = {case: subprocess.Popen([sys.executable, "-c", PRELUDE + CHILD.format(setup=setup, call=call)],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
                for case, (setup, call) in CASES.items()}
    results = {}
    try:
        for case, child in children.items():
            line = child.stdout.readline().strip()
            results[case] = (None, [line], "did not start: " + line)
        time.sleep(0.5)
        for child in children.values():
            child.send_signal(signal.SIGINT)
        deadline = time.monotonic() + 5.0  # generous: a poll interval is 50 ms
        for case, child in children.items():
            try:
                out, err = child.communicate(timeout=max(0.1, deadline - time.monotonic()))
                results[case] = (child.returncode, out.split("\n")[:-1], err)
            except subprocess.TimeoutExpired:
                results[case] = (None, [], "still running 5 s after SIGINT")
    finally:
        for child in children.values():
            child.kill()
            child.wait()
    return results


@pytest.mark.parametrize("case", CASES)
def test_sigint_stops_the_call(outcomes, case):
    code, lines, err = outcomes[case]
    assert code == 0, err
    assert len(lines) == 1 and lines[0].startswith("stopped after"), (lines, err)
    # The other Python thread ticked while the call ran (GIL released); a call holding
    # the GIL would let it tick at most once. Not a rate: a loaded machine ticks slowly.
    assert int(lines[0].split()[2]) >= 3, lines


@pytest.mark.parametrize("argv", [["info", "{fifo}"], ["rdf", "{fifo}.lammpstrj", "--out", "{fifo}-out"]])
@pytest.mark.parametrize(("signum", "status", "message"), [
    (signal.SIGINT, 130, "kelvara: interrupted\n"), (signal.SIGTERM, 143, "kelvara: terminated\n")])
def test_the_command_stops_on_an_idle_fifo(argv, signum, status, message):
    code = PRELUDE + f"""
fifo = idle_fifo()
os.rename(fifo, fifo + ".lammpstrj") if {argv[0] == "rdf"} else None
from kelvara.cli import main
print("ready", flush=True)
raise SystemExit(main([a.format(fifo=fifo) for a in {argv!r}]))
"""
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        child.send_signal(signum)
        _, err = child.communicate(timeout=5)
    finally:
        child.kill()
        child.wait()
    assert (child.returncode, err) == (status, message)


def test_cancel_stops_a_read_on_another_thread(tmp_path):
    """A helper thread never runs signal handlers: cancel() is how its read is stopped."""
    import threading

    from kelvara import TrajectoryReader

    path = tmp_path / "input"
    os.mkfifo(path)
    writer = os.open(path, os.O_RDWR)  # one frame, then nothing: the read waits for more
    try:
        os.write(writer, FRAME)
        reader = TrajectoryReader(str(path), format="xyz")
        outcome = []
        thread = threading.Thread(target=lambda: outcome.append(_call(reader.read, 64)))
        thread.start()
        time.sleep(0.2)
        assert thread.is_alive()
        reader.cancel()
        thread.join(timeout=5)
        assert not thread.is_alive() and outcome == [("InterruptedError", "the reading was cancelled")]
        assert reader.closed  # the frame read before the stop went with the chunk
    finally:
        os.close(writer)


def _call(fn, *args):
    try:
        return fn(*args)
    except Exception as error:  # noqa: BLE001 - the test compares what was raised
        return type(error).__name__, str(error)
