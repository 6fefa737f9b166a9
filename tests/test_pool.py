"""Worker pools: sizing, concurrent callers, fork safety, thread-start failure, no leaks."""

from __future__ import annotations

import os
import select
import signal
import threading

import numpy as np
import pytest
from conftest import random_triclinic, run_python

from kelvara import Structure


SIZE_AND_THREADS = """
    import os
    from kelvara import Structure
    before = len(os.listdir("/proc/self/task"))
    n = Structure.available_threads()
    print(n, len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.parametrize(("env", "expected"), [
    ({}, os.cpu_count()),
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+5"}, 5),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "7"}, os.cpu_count()),
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_RS_NUM_CPUS": "6"}, 6),
    ({"RAYON_RS_NUM_CPUS": "0"}, os.cpu_count()),
])
def test_shared_pool_size_from_environment(env, expected):
    size, started = map(int, run_python(SIZE_AND_THREADS, env).split())
    assert size == expected
    assert started == expected - 1  # the caller is one of its threads


def curves(s: Structure, **kwargs):
    _, partials, total = s.prdf(cutoff=6.0, **kwargs)
    return np.concatenate([total, *partials.values()])


def test_concurrent_python_threads(rng):
    structures = [random_triclinic(rng, 150, elements=("A", "B")) for _ in range(3)]
    expected = [curves(s) for s in structures]
    failures: list[str] = []

    def worker(k: int) -> None:
        for round_ in range(6):
            s = k % 3
            got = curves(structures[s], n_threads=(0, 1, 2)[(k + round_) % 3])
            if not np.array_equal(got, expected[s]):
                failures.append(f"thread {k} round {round_}")

    threads = [threading.Thread(target=worker, args=(k,), daemon=True) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive()
    assert failures == []


def test_os_fork_child_rebuilds_shared_pool(rng):
    # Big enough for the shared pool's workers: small jobs run on the calling thread.
    s = random_triclinic(rng, 300)
    expected = float(curves(s).sum())  # the parent's shared pool exists now
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: must not wait on the parent's (absent) workers
        try:
            os.write(write_fd, repr(float(curves(s).sum())).encode())
        finally:
            os._exit(0)
    os.close(write_fd)
    ready, _, _ = select.select([read_fd], [], [], 60)
    if not ready:
        os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    with os.fdopen(read_fd) as pipe:
        assert ready, "the forked child hung in prdf"
        assert float(pipe.read()) == expected


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS"))


@pytest.mark.parametrize("n_threads", [0, 2])
def test_no_thread_or_memory_leak(rng, n_threads):
    s = random_triclinic(rng, 20)
    for _ in range(200):  # warm up allocator and the shared pool
        s.total_rdf(cutoff=4.0, n_threads=n_threads)
    tasks, rss = len(os.listdir("/proc/self/task")), rss_kib()
    for _ in range(3000):
        s.total_rdf(cutoff=4.0, n_threads=n_threads)
    assert len(os.listdir("/proc/self/task")) == tasks
    assert rss_kib() - rss < 8 * 1024


@pytest.mark.parametrize("requested", [8 * (os.cpu_count() or 1), 16])
def test_thread_start_failure_is_reported(requested):
    # Address space for a few thread stacks only: starting a dozen must fail.
    out = run_python(f"""
        import resource
        from kelvara import Structure
        s = Structure([[3, 0, 0], [0, 3, 0], [0, 0, 3]], [[0, 0, 0]], [{{"X": 1.0}}])
        s.prdf(cutoff=4.0, n_threads=1)
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (24 << 20), resource.RLIM_INFINITY))
        try:
            s.prdf(cutoff=-1, n_threads={requested})
        except ValueError as e:
            print(e)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(s.prdf(cutoff=4.0, n_threads=2)[2][30])
    """)
    message, value = out.splitlines()
    prefix = f"could not start {requested} worker threads: "
    assert message.startswith(prefix) and len(message) > len(prefix)
    assert float(value) == 0.5132190927363154  # the process still works afterwards
