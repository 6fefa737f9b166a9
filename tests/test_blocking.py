"""Block averaging: standard errors against direct computations and known variances."""

from __future__ import annotations

import numpy as np
import pytest

from kelvara.trajectory.blocking import BlockAverage


def ar1(rng, n, phi, width=4):
    """An AR(1) series x_t = phi x_(t-1) + e_t with unit-variance noise."""
    noise = rng.normal(size=(n, width))
    x = np.zeros_like(noise)
    x[0] = noise[0] / np.sqrt(1 - phi * phi)
    for t in range(1, n):
        x[t] = phi * x[t - 1] + noise[t]
    return x


def fed(series, **kwargs):
    blocks = BlockAverage(**kwargs)
    for row in series:
        blocks.add({"x": row})
    return blocks


@pytest.mark.parametrize("n, block_size", [(100, 1), (100, 7), (1000, 37), (64, 64), (256, None)])
def test_standard_error_is_the_spread_of_block_means(rng, n, block_size):
    x = rng.normal(size=(n, 5))
    blocks = fed(x, block_size=block_size)
    np.testing.assert_allclose(blocks.mean()["x"], x.mean(axis=0), rtol=1e-12)
    # Without a given size, the levels are halvings: blocks of 1, 2, 4, ... frames.
    for size in [block_size] if block_size else [2**k for k in range(6)]:
        n_blocks = n // size
        means = x[: n_blocks * size].reshape(n_blocks, size, 5).mean(axis=1)
        expected = means.std(axis=0, ddof=1) / np.sqrt(n_blocks) if n_blocks > 1 else np.full(5, np.nan)
        np.testing.assert_allclose(blocks.standard_error(size)["x"], expected, rtol=1e-10)


@pytest.mark.parametrize("phi", [0.0, 0.5, 0.9])
def test_chosen_block_size_recovers_the_known_error(rng, phi):
    n = 2**15
    blocks = fed(ar1(rng, n, phi))
    size, warnings = blocks.choose(["x"], "x(t)")
    assert warnings == []
    # Var(mean) of AR(1) for long runs: sigma^2 / n * (1 + phi) / (1 - phi).
    known = np.sqrt(1 / (1 - phi * phi) / n * (1 + phi) / (1 - phi))
    estimate = blocks.standard_error(size)["x"]
    assert np.all(np.abs(estimate / known - 1) < 0.25), (size, estimate / known)
    if phi == 0.0:
        assert size <= 4
    else:
        naive = blocks.standard_error(1)["x"]
        assert np.all(naive < 0.8 * known)  # frames treated as independent underestimate it


def test_warnings_for_short_and_correlated_runs(rng):
    # Each warning names the curve it is about.
    assert "too few to find a block size for x(t)" in fed(rng.normal(size=(10, 2))).choose(["x"], "x(t)")[1][0]
    correlated = fed(ar1(rng, 256, 0.995))
    size, warnings = correlated.choose(["x"], "x(t)")
    assert any("error of x(t) reaches a plateau only with" in w for w in warnings)


@pytest.mark.parametrize("block_size", [None, 5])
def test_adding_windows_at_once_equals_adding_frames(rng, block_size):
    x = rng.normal(size=(203, 2, 7))
    one, many = BlockAverage(block_size, keep_frames=True), BlockAverage(block_size, keep_frames=True)
    for t in range(len(x)):
        one.add({"a": x[t, 0], **({"b": x[t, 1]} if t >= 50 else {})})
    for first, last in [(0, 13), (13, 50), (50, 51), (51, 140), (140, 203)]:
        keys = ["a"] if last <= 50 else ["b", "a"]
        many.add_many(keys, x[first:last, ::-1] if last > 50 else x[first:last, :1])
    # "b" is missing from the first 50 frames: zeros there, in the mean and in the blocks
    # (of the given size, or of the 4-frame level, which "b" joins in the middle of a block).
    b = np.where(np.arange(len(x))[:, None] >= 50, x[:, 1], 0.0)
    k = block_size or 4
    means = b[: len(b) // k * k].reshape(-1, k, 7).mean(axis=1)
    np.testing.assert_allclose(one.mean()["b"], b.mean(axis=0), rtol=1e-12)
    expected = means.std(axis=0, ddof=1) / np.sqrt(len(means))
    np.testing.assert_allclose(one.standard_error(k)["b"], expected, rtol=1e-10)
    np.testing.assert_array_equal(one.frames()["b"], b)
    np.testing.assert_allclose(many.spread()["b"], b.std(axis=0), rtol=1e-10)
    size = one.choose(["a"], "a(t)")[0]
    assert many.choose(["a"], "a(t)")[0] == size and many.n == one.n
    for key in ("a", "b"):  # the same bits, however the frames were grouped
        np.testing.assert_array_equal(many.mean()[key], one.mean()[key])
        np.testing.assert_array_equal(many.spread()[key], one.spread()[key])
        for s in (1, 2, 8, size):
            np.testing.assert_array_equal(many.standard_error(s)[key], one.standard_error(s)[key])
        np.testing.assert_array_equal(many.frames()[key], one.frames()[key])
