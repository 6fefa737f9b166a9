"""Signals at random moments into every command and every long Python call.

Each trial starts one child (its own process group) on a regular file, a FIFO fed a few
frames a second, or a FIFO that never delivers, waits until it says it is about to start
its call, sleeps a random time and sends SIGINT or SIGTERM to the child alone (as `kill
PID` does). It then checks that the child exits within `LIMIT` seconds without a crash or a
sanitizer report, that no process of its group (pool workers) is left a moment later, and
that an output folder holds the whole earlier set or the whole new one, with no staging
folder left beside it. Run through `tools/fuzz_campaign.py --interrupts N`.
"""

from __future__ import annotations

import contextlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from importlib.resources import files

LIMIT = 1.0  # seconds from the signal to the exit
SETTLE = 1.0  # seconds more for pool workers to notice their parent is gone

PRELUDE = """
import os, signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)  # as a terminal delivers Ctrl-C
sys.modules["matplotlib"] = None  # figures are matplotlib's work (and its C++ aborts under ASan)
"""

# name -> (Python code of the call, or a command line; the input kinds it runs on)
CALLS = {
    "cli info": (["info", "{traj}"], ("file", "slow", "idle", "idle-unnamed")),
    "cli rdf": (["rdf", "{traj}", "--out", "{out}", "--force", "--cutoff", "6", "--types", "1=Ni,2=P"],
                ("file", "slow", "idle")),
    "cli pdf": (["pdf", "{traj}", "--out", "{out}", "--force", "--rmax", "6", "--types", "1=Ni,2=P"],
                ("file", "slow", "idle")),
    "cli rdf structure": (["rdf", "{cif}", "--out", "{out}", "--force", "--cutoff", "20"], ("file",)),
    "cli expand": (["expand", "{cif}", "-o", "{out}/ordered.cif", "--force", "--max-sites", "40000",
                    "--max-denominator", "100"], ("file",)),
    "trajectory_rdf": ("kelvara.trajectory_rdf('{traj}', cutoff=4.0, fmt='lammps-dump', chunk=8, "
                       "types={{1: 'Ni', 2: 'P'}})", ("file", "slow", "idle")),
    "read_xyz_trajectory": ("kelvara.read_xyz_trajectory('{xyz}')", ("file", "idle")),
    "TrajectoryReader": ("kelvara.TrajectoryReader('{traj}', types={{1: 'Ni', 2: 'P'}}).read(10**6)",
                         ("file", "slow", "idle", "idle-unnamed")),
    "total_pdf of frames": ("from kelvara.scattering import total_pdf; from kelvara.trajectory import Frames; "
                            "total_pdf(Frames('{traj}', fmt='lammps-dump', types={{1: 'Ni', 2: 'P'}}), r_max=6.0)",
                            ("file", "slow", "idle")),
    "rdf_many": ("from kelvara.batch import rdf_many; rdf_many(['{cif}'] * 400, cutoff=12.0, n_workers=2)",
                 ("file",)),
    "trajectory_rdf_many": ("from kelvara.batch import trajectory_rdf_many; trajectory_rdf_many('{traj}', "
                            "cutoff=4.0, chunk=4, n_workers=2, fmt='lammps-dump', types={{1: 'Ni', 2: 'P'}})",
                            ("file",)),
    "prdf": ("import numpy as np; rng = np.random.default_rng(1); "
             "kelvara.Structure(np.eye(3) * 60, rng.random((40000, 3)), [{{'Si': 1.0}}] * 40000).prdf(cutoff=18.0)",
             ("file",)),
}

OUTPUTS = ("rdf", "pdf", "sq", "expansion_spread", "ordered")


def dump_frames(n_frames: int, n_atoms: int, seed: int = 1) -> bytes:
    rng = random.Random(seed)
    frames = []
    for step in range(n_frames):
        rows = "".join(f"{k + 1} {1 + (k % 4 == 0)} {rng.uniform(0, 14):.6f} {rng.uniform(0, 14):.6f} "
                       f"{rng.uniform(0, 14):.6f}\n" for k in range(n_atoms))
        frames.append(f"ITEM: TIMESTEP\n{step}\nITEM: NUMBER OF ATOMS\n{n_atoms}\n"
                      f"ITEM: BOX BOUNDS pp pp pp\n0 14\n0 14\n0 14\nITEM: ATOMS id type x y z\n{rows}")
    return "".join(frames).encode()


def xyz_frames(n_frames: int, n_atoms: int) -> bytes:
    rng = random.Random(2)
    frame = [f"{n_atoms}\nLattice=\"14 0 0 0 14 0 0 0 14\"\n"]
    frame += [f"Ni {rng.uniform(0, 14):.6f} {rng.uniform(0, 14):.6f} {rng.uniform(0, 14):.6f}\n"
              for _ in range(n_atoms)]
    return "".join(frame).encode() * n_frames


class Feeder:
    """The writer end of a FIFO: nothing ever ('idle'), or one frame every 0.2 s ('slow')."""

    def __init__(self, path: str, frames: list[bytes] | None) -> None:
        os.mkfifo(path)
        self.fd = os.open(path, os.O_RDWR)  # a writer from the start, so opening never waits
        self.stop = threading.Event()
        if frames:
            threading.Thread(target=self._feed, args=(frames,), daemon=True).start()

    def _feed(self, frames: list[bytes]) -> None:
        for frame in frames:
            if self.stop.wait(0.2):
                return
            try:
                os.write(self.fd, frame)
            except OSError:
                return

    def close(self) -> None:
        self.stop.set()
        os.close(self.fd)


def group_alive(pgid: int) -> bool:
    """Whether a process of group `pgid` still runs (a zombie waiting for init to reap
    it has exited)."""
    if not os.path.isdir("/proc"):
        try:
            os.killpg(pgid, 0)
        except ProcessLookupError:
            return False
        return True
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[2]) == pgid and fields[0] != "Z":
                return True
    return False


def output_state(out: str, old: dict[str, bytes]) -> str:
    """'old', 'new' or 'mixed' for the output files in `out`; 'left' when a staging folder
    is left in `out` or beside it."""
    parent = os.path.dirname(out) or "."
    for folder in (out, parent):
        if os.path.isdir(folder) and any("kelvara-new" in n or "kelvara-old" in n for n in os.listdir(folder)):
            return "left"
    names = {n for n in os.listdir(out) if n.startswith(OUTPUTS)} if os.path.isdir(out) else set()
    same = {n for n in names if old.get(n) == open(os.path.join(out, n), "rb").read()}
    if names == set(old) and same == names:
        return "old"
    return "new" if not same else "mixed"


def trial(rng: random.Random, folder: str, inputs: dict[str, str], frames: list[bytes]) -> tuple[str, dict]:
    name, (call, kinds) = rng.choice(list(CALLS.items()))
    kind = rng.choice(kinds)
    signum = rng.choice([signal.SIGINT, signal.SIGTERM])
    out = os.path.join(folder, "out")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    old = {}
    if isinstance(call, list) and "--out" in call:  # an earlier run's set, to be replaced whole
        stems = {"cli rdf": ("rdf.csv", "rdf_total.png"), "cli rdf structure": ("rdf.csv", "rdf_partials.png"),
                 "cli pdf": ("pdf.csv", "sq.csv", "pdf.png")}[name]
        old = {stem: f"old {stem}\n".encode() for stem in stems}
        for stem, data in old.items():
            with open(os.path.join(out, stem), "wb") as handle:
                handle.write(data)
    feeder = None
    values = dict(inputs, out=out)
    if kind != "file":
        fifo = os.path.join(folder, "fifo.lammpstrj" if kind != "idle-unnamed" else "fifo")
        with contextlib.suppress(OSError):
            os.unlink(fifo)
        feeder = Feeder(fifo, frames if kind == "slow" else None)
        values.update(traj=fifo, xyz=fifo)
    if isinstance(call, list):
        argv = [a.format(**values) for a in call]
        code = PRELUDE + f"from kelvara.cli import main\nprint('ready', flush=True)\nsys.exit(main({argv!r}))\n"
    else:
        code = PRELUDE + f"import kelvara\nprint('ready', flush=True)\n{call.format(**values)}\n"
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             start_new_session=True, cwd=folder, text=True)
    record = {"call": name, "input": kind, "signal": signal.Signals(signum).name}
    try:
        child.stdout.readline()  # "ready": the call starts now
        time.sleep(rng.uniform(0.0, 1.5))
        if child.poll() is not None:
            _, err = child.communicate()
            record["code"] = child.returncode
            if child.returncode not in (0, 1) or (child.returncode == 1 and "Error" in err):
                record["stderr"] = err[-2000:]  # a call that cannot run proves nothing
                return "failed at once", record
            return "finished first", record
        sent = time.monotonic()
        child.send_signal(signum)
        try:
            _, err = child.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            return "hung", record
        record["seconds"] = time.monotonic() - sent
        record["code"] = child.returncode
        if "Sanitizer" in err or "runtime error" in err:
            record["stderr"] = err[-2000:]
            return "sanitizer", record
        if child.returncode in (-signal.SIGSEGV, -signal.SIGABRT, -signal.SIGBUS):
            record["stderr"] = err[-2000:]
            return "crashed", record
        deadline = time.monotonic() + SETTLE
        while group_alive(child.pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if group_alive(child.pid):
            return "stray process", record
        if old:
            state = output_state(out, old)
            record["outputs"] = state
            if state in ("mixed", "left"):
                return f"output set {state}", record
        return ("slow" if record["seconds"] > LIMIT else "stopped"), record
    finally:
        if group_alive(child.pid):
            os.killpg(child.pid, signal.SIGKILL)  # this trial's own processes
        child.wait()
        if feeder:
            feeder.close()


def campaign(trials: int, seed: int) -> Counter:
    rng = random.Random(seed)
    outcomes: Counter = Counter()
    stopped: Counter = Counter()  # what the stopped trials covered
    slowest = 0.0
    bad = []
    with tempfile.TemporaryDirectory() as folder:
        frame_text = dump_frames(1, 256)
        inputs = {"traj": os.path.join(folder, "run.lammpstrj"), "xyz": os.path.join(folder, "run.xyz"),
                  "cif": os.path.join(folder, "SrBaTiO3.cif")}
        with open(inputs["traj"], "wb") as handle:
            handle.write(dump_frames(800, 256))
        with open(inputs["xyz"], "wb") as handle:
            handle.write(xyz_frames(3000, 256))
        with open(inputs["cif"], "wb") as handle:
            handle.write((files("kelvara") / "data" / "SrBaTiO3.cif").read_bytes())
        for k in range(trials):
            outcome, record = trial(rng, folder, inputs, [frame_text] * 50)
            outcomes[outcome] += 1
            if outcome == "stopped":
                stopped.update([record["input"], record["signal"], record["call"].split()[0] == "cli" and "command"
                                or "Python call", f"outputs {record.get('outputs', 'none')}"])
            slowest = max(slowest, record.get("seconds", 0.0))
            if outcome not in ("stopped", "finished first"):
                bad.append((k, outcome, record))
                print(f"trial {k}: {outcome}: {record}", flush=True)
            if k % 50 == 49:
                print(f"{k + 1} trials: {dict(outcomes)}", flush=True)
    print(f"{trials} interrupts: " + ", ".join(f"{n} {what}" for what, n in sorted(outcomes.items()))
          + f"; slowest exit {slowest:.2f} s after the signal", flush=True)
    print("stopped trials: " + ", ".join(f"{n} {what}" for what, n in sorted(stopped.items())), flush=True)
    return outcomes
