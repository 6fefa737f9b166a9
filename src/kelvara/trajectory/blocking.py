"""Mean and standard error of a time series of curves by block averaging.

Successive frames of a molecular-dynamics run are correlated, so the spread of
per-frame curves divided by sqrt(n) underestimates the error of their mean. Block
averaging (Flyvbjerg and Petersen, J. Chem. Phys. 91, 461 (1989)) groups the
frames into blocks long enough to be independent and takes the spread of the
block means. ``BlockAverage`` does it in one pass with memory that does not grow
with the number of frames: the series is blocked by successive halving (blocks of
1, 2, 4, ... frames, one Welford accumulator per level), and the block size is
chosen where the standard error stops growing (its plateau), or given.
"""

from __future__ import annotations

import math
from collections.abc import Hashable
from dataclasses import dataclass

import numpy as np

# A level enters the plateau search only with this many blocks: fewer give a
# standard error that is itself uncertain by more than a quarter.
MIN_BLOCKS = 8


class _Welford:
    """Running mean and sum of squared deviations of rows of values, updated row by
    row in order (Welford), so the result does not depend on how the rows were
    grouped into calls: a trajectory read in windows of any size gives the same bits."""

    def __init__(self, shape: tuple[int, ...]) -> None:
        self.count = 0
        self.mean = np.zeros(shape)
        self.m2 = np.zeros(shape)

    def add(self, x: np.ndarray) -> None:
        self.add_many(x[None])

    def add_many(self, x: np.ndarray) -> None:
        """Add the rows x[0], x[1], ... in order."""
        for row in x:
            self.count += 1
            delta = row - self.mean
            self.mean += delta / self.count
            self.m2 += delta * (row - self.mean)

    def grow(self, rows: int) -> None:
        """Rows appended to the curves: those had the value 0 in every block so far."""
        extra = rows - self.mean.shape[0]
        if extra > 0:
            pad = np.zeros((extra,) + self.mean.shape[1:])
            self.mean = np.concatenate([self.mean, pad])
            self.m2 = np.concatenate([self.m2, pad])

    def standard_error(self) -> np.ndarray | None:
        """Standard error of the mean of the values added (None below two)."""
        if self.count < 2:
            return None
        return np.sqrt(self.m2 / (self.count * (self.count - 1.0)))


@dataclass(frozen=True)
class BlockingLevel:
    """The standard error found with one block size (a row of the blocking table)."""

    block_size: int
    n_blocks: int
    standard_error: float
    """Root mean square over the bins of the watched curve's standard error."""


class BlockAverage:
    """Curves added frame by frame (rows keyed by any hashable; a key missing from a
    frame counts as a zero curve there), with their mean and standard error.

    Args:
        block_size: frames per block; None (the default) chooses it from the
            plateau of the blocked standard error of the `watch` rows.
        keep_frames: also keep every frame's curves (memory grows with the frames).
    """

    def __init__(self, block_size: int | None = None, keep_frames: bool = False) -> None:
        if block_size is not None and (not isinstance(block_size, int) or block_size < 1):
            raise ValueError(f"block_size must be a positive integer, not {block_size!r}")
        self.block_size = block_size
        self.keys: list[Hashable] = []
        self._rows: dict[Hashable, int] = {}
        self.n = 0
        self._width = 0
        self._sum = np.zeros((0, 0))
        self._levels: list[_Welford] = []
        self._carry: list[np.ndarray | None] = []
        self._given: _Welford | None = None
        self._given_sum: np.ndarray | None = None
        self._given_count = 0
        self._frames: list[np.ndarray] | None = [] if keep_frames else None

    # ---- adding ----------------------------------------------------------------------

    def _grow(self, keys: list[Hashable]) -> None:
        for key in keys:
            self._rows[key] = len(self.keys)
            self.keys.append(key)
        rows = len(self.keys)
        pad = np.zeros((rows - self._sum.shape[0], self._width))
        self._sum = np.concatenate([self._sum, pad])
        for level in self._levels:
            level.grow(rows)
        self._carry = [None if c is None else np.concatenate([c, pad]) for c in self._carry]
        if self._given is not None:
            self._given.grow(rows)
            assert self._given_sum is not None
            self._given_sum = np.concatenate([self._given_sum, pad])

    def add(self, curves: dict[Hashable, np.ndarray]) -> None:
        """Add one frame: `curves` maps keys to equal-length curves (a single value
        stands for a curve of that value everywhere)."""
        width = self._width if self.n else len(next(iter(curves.values())))
        x = np.zeros((1, len(curves), width))
        for j, curve in enumerate(curves.values()):
            x[0, j] = curve
        self.add_many(list(curves), x)

    def add_many(self, keys: list[Hashable], curves: np.ndarray) -> None:
        """Add frames at once: `curves[f, j]` is frame f's curve of `keys[j]` (the same
        result, bit for bit, as adding the frames one by one)."""
        if curves.shape[0] == 0:
            return
        if self.n == 0:
            self._width = curves.shape[2]
            self._sum = np.zeros((0, self._width))
        new = [key for key in keys if key not in self._rows]
        if new:
            self._grow(new)
        x = np.zeros((curves.shape[0], len(self.keys), self._width))
        x[:, [self._rows[key] for key in keys]] = curves
        self.n += x.shape[0]
        for row in x:  # in frame order, whatever the windows
            self._sum += row
        if self._frames is not None:
            self._frames.extend(x)
        if self.block_size is not None:
            for row in x:
                self._add_given(row)
        k = 0
        while x.shape[0]:
            if k == len(self._levels):
                self._levels.append(_Welford(x.shape[1:]))
                self._carry.append(None)
            self._levels[k].add_many(x)
            waiting = self._carry[k]
            if waiting is not None:
                x = np.concatenate([waiting[None], x])
                self._carry[k] = None
            if x.shape[0] % 2:
                self._carry[k] = x[-1]
                x = x[:-1]
            x = 0.5 * (x[0::2] + x[1::2])
            k += 1

    def _add_given(self, x: np.ndarray) -> None:
        if self._given is None or self._given_sum is None:
            self._given = _Welford(x.shape)
            self._given_sum = np.zeros_like(x)
        self._given_sum += x
        self._given_count += 1
        if self._given_count == self.block_size:
            self._given.add(self._given_sum / self.block_size)
            self._given_sum = np.zeros_like(x)
            self._given_count = 0

    # ---- results -----------------------------------------------------------------------

    def mean(self) -> dict[Hashable, np.ndarray]:
        """The mean of every curve over all frames."""
        if self.n == 0:
            raise ValueError("no frames to average")
        means = self._sum / self.n
        return {key: means[row] for key, row in self._rows.items()}

    def spread(self) -> dict[Hashable, np.ndarray]:
        """The population standard deviation (ddof=0) of every curve over the frames."""
        if self.n == 0:
            raise ValueError("no frames to average")
        level = self._levels[0]
        return {key: np.sqrt(level.m2[row] / level.count) for key, row in self._rows.items()}

    def levels(self, watch: list[Hashable]) -> list[BlockingLevel]:
        """The blocking table of the `watch` rows: block sizes 1, 2, 4, ... with at
        least two blocks, each with the rms over bins of their standard error."""
        rows = [self._rows[key] for key in watch if key in self._rows]
        table = []
        for k, level in enumerate(self._levels):
            se = level.standard_error()
            if se is None or not rows:
                continue
            values = se[rows]
            table.append(BlockingLevel(2**k, level.count, float(np.sqrt(np.mean(values * values)))))
        return table

    def choose(self, watch: list[Hashable], curve: str) -> tuple[int, list[str]]:
        """The block size (and warnings naming `curve`, the watched curve such as
        "g(r)"): the given one, or the smallest of 1, 2, 4, ...
        (among levels with at least MIN_BLOCKS blocks) whose standard error the next
        level exceeds by at most 1.5 times that level's own uncertainty
        se / sqrt(2 (n_blocks - 1)), and no later level by more than twice its own."""
        if self.block_size is not None:
            warnings = []
            if self._given is None or self._given.count < 2:
                warnings.append(
                    f"block_size {self.block_size} leaves fewer than two blocks in {self.n} frames, "
                    f"so there is no error estimate of {curve}"
                )
            return self.block_size, warnings
        table = [row for row in self.levels(watch) if row.n_blocks >= MIN_BLOCKS]
        if len(table) < 2:
            return 1, [
                f"{self.n} frames are too few to find a block size for {curve} (at least {2 * MIN_BLOCKS} "
                "are needed); its standard errors treat the frames as independent"
            ]
        def sigma(level: BlockingLevel) -> float:  # uncertainty of a level's standard error
            return level.standard_error / math.sqrt(2.0 * (level.n_blocks - 1))

        for k, row in enumerate(table):
            later = table[k + 1 :]
            # The next doubling adds no more than its own noise, and no later level
            # lies clearly above: the correlations are inside the blocks.
            flat = not later or later[0].standard_error - row.standard_error <= 1.5 * sigma(later[0])
            if flat and all(other.standard_error <= row.standard_error + 2.0 * sigma(other) for other in later):
                warnings = []
                if row.block_size > 1 and row.n_blocks < 4 * MIN_BLOCKS:
                    warnings.append(
                        f"the blocked standard error of {curve} reaches a plateau only with blocks of "
                        f"{row.block_size} "
                        f"frames ({row.n_blocks} blocks): frames are correlated over a good part of the "
                        "run, so the errors are rough and may be too small; average over a longer run"
                    )
                return row.block_size, warnings
        raise AssertionError("unreachable: the last level always qualifies")

    def standard_error(self, block_size: int) -> dict[Hashable, np.ndarray]:
        """Standard error of every mean with `block_size` frames per block (a power of two
        from ``levels``, or the given block size); NaN where there are fewer than two blocks."""
        if self.block_size is not None and block_size == self.block_size:
            level = self._given
        else:
            k = block_size.bit_length() - 1
            level = self._levels[k] if 2**k == block_size and k < len(self._levels) else None
        se = level.standard_error() if level is not None else None
        if se is None:
            se = np.full((len(self.keys), self._width), np.nan)
        if se.shape[0] < len(self.keys):  # rows that appeared after the last full block
            se = np.concatenate([se, np.zeros((len(self.keys) - se.shape[0], self._width))])
        return {key: se[row] for key, row in self._rows.items()}

    def frames(self) -> dict[Hashable, np.ndarray] | None:
        """Every frame's curves, [frame, bin] per key (None unless kept)."""
        if self._frames is None:
            return None
        rows = len(self.keys)
        stacked = np.zeros((len(self._frames), rows, self._width))
        for f, x in enumerate(self._frames):
            stacked[f, : x.shape[0]] = x
        return {key: stacked[:, row] for key, row in self._rows.items()}
