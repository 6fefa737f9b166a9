"""How much does the choice of ordering matter? RDFs of several seeded ordered
expansions of a disordered structure, beside its occupancy-weighted RDF."""

from __future__ import annotations

import pathlib
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from kelvara.analysis import FloatArray, bin_centres, shell_volumes
from kelvara.plotting import DENSITY_LABEL, write_columns
from kelvara._records import short_repr

if TYPE_CHECKING:
    from kelvara._kelvara import Structure


PLOTTED_PARTIALS = 5  # panels beside the total; the CSV keeps every pair


@dataclass(repr=False)
class ExpansionSpread:
    """Occupancy-weighted curves of a disordered structure and the mean and spread
    (standard deviation across seeds) of the curves of its ordered expansions."""

    __repr__ = short_repr

    r: FloatArray
    bin_size: float
    seeds: list[int]
    disordered_total: FloatArray
    disordered_partials: dict[tuple[str, str], FloatArray]
    mean_total: FloatArray
    std_total: FloatArray
    mean_partials: dict[tuple[str, str], FloatArray]
    std_partials: dict[tuple[str, str], FloatArray]
    reports: list[dict] = field(default_factory=list)

    def _peak(self) -> float:
        return float(np.max(np.abs(self.disordered_total))) or 1.0

    def summary(self) -> str:
        """Three lines: how far the mean of the expansions is from the weighted curve,
        how far the expansions spread, relative to the weighted curve's peak, and which
        partials change with the ordering."""
        peak = self._peak()
        deviation = float(np.max(np.abs(self.mean_total - self.disordered_total)))
        spread = float(np.max(self.std_total))
        cause = ""
        if deviation > 1e-9 * peak and self._only_pairs_on_bin_edges():
            cause = (", all of it from pairs at exactly a bin edge, which the larger cells round "
                     "to the other side")
        return (
            f"{len(self.seeds)} seeded expansions (seeds {self.seeds[0]}..{self.seeds[-1]}):\n"
            f"  mean total vs occupancy-weighted total: largest difference {deviation:.4g} "
            f"atoms/A^3 ({100 * deviation / peak:.1f}% of its peak){cause}\n"
            f"  spread across seeds: largest standard deviation {spread:.4g} atoms/A^3 "
            f"({100 * spread / peak:.1f}% of the peak)"
            + self._varying_line()
        )

    def varying_partials(self, limit: int | None = None) -> list[tuple[str, str]]:
        """The pairs whose curves change with the ordering (a standard deviation across
        seeds above rounding), largest spread first; at most `limit` of them."""
        spreads = {key: float(np.max(std)) for key, std in self.std_partials.items()}
        varying = sorted((key for key, value in spreads.items() if value > 1e-9 * self._peak()),
                         key=lambda key: -spreads[key])
        return varying[:limit]

    def _varying_line(self) -> str:
        varying = self.varying_partials()
        if not varying:
            return "\n  no partial changes with the ordering"
        shown = ", ".join(f"{a}-{b}" for a, b in varying[:PLOTTED_PARTIALS])
        more = len(varying) - PLOTTED_PARTIALS
        return ("\n  partials that change with the ordering, largest spread first: " + shown
                + (f" and {more} more (all in the CSV)" if more > 0 else ""))

    def _only_pairs_on_bin_edges(self) -> bool:
        """Whether the mean total differs from the weighted one only by neighbours that
        moved into the adjacent bin. A distance of exactly a bin edge in the structure
        (a = 3.6 A with bins of 0.1 A) comes out a rounding below it in an expansion's
        larger cell: the running neighbour count then differs at isolated edges, each
        time by no more than the bin the neighbours left, and agrees again after."""
        shells = shell_volumes(self.r, self.bin_size)
        want = self.disordered_total * shells
        moved = np.cumsum(self.mean_total * shells) - np.cumsum(want)
        tolerance = 1e-9 * max(float(np.sum(np.abs(want))), 1.0)
        off = np.abs(moved) > tolerance
        if off[-1] or np.any(off[:-1] & off[1:]):  # a count not restored by the next bin
            return False
        room = np.maximum(want, np.append(want[1:], 0.0))  # the bin below or above the edge
        return bool(np.all(np.abs(moved[off]) <= room[off] + tolerance))

    def write_csv(self, folder: str | pathlib.Path) -> pathlib.Path:
        """expansion_spread.csv: r, bin centre, then for the total and every pair the
        occupancy-weighted curve, the mean over expansions and their standard deviation."""
        folder = pathlib.Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / "expansion_spread.csv"
        columns: dict[str, FloatArray] = {
            "r_left": self.r,
            "r_centre": bin_centres(self.r, self.bin_size),
            "total_weighted": self.disordered_total,
            "total_mean": self.mean_total,
            "total_std": self.std_total,
        }
        for (a, b), curve in self.disordered_partials.items():
            columns[f"{a}-{b}_weighted"] = curve
            columns[f"{a}-{b}_mean"] = self.mean_partials[(a, b)]
            columns[f"{a}-{b}_std"] = self.std_partials[(a, b)]
        write_columns(path, columns)
        return path

    def save(self, folder: str | pathlib.Path, title: str | None = None) -> None:
        """The CSV, plus a figure when matplotlib is installed."""
        self.write_csv(folder)
        try:
            from matplotlib.backends.backend_agg import FigureCanvasAgg
            from matplotlib.figure import Figure
        except ImportError:
            return
        # The total cannot change with the ordering when every site is filled; the
        # partials that do change are the ones worth a look, so they get panels too.
        panels = [("total", self.disordered_total, self.mean_total, self.std_total)]
        panels += [(f"{a}–{b}", self.disordered_partials[(a, b)], self.mean_partials[(a, b)],
                    self.std_partials[(a, b)]) for a, b in self.varying_partials(PLOTTED_PARTIALS)]
        columns = min(len(panels), 3)
        rows = -(-len(panels) // columns)
        figure = Figure(figsize=(7.5 if columns == 1 else 5.0 * columns, 4.5 if rows == 1 else 3.6 * rows),
                        layout="constrained")
        FigureCanvasAgg(figure)
        centres = bin_centres(self.r, self.bin_size)
        for i, (name, weighted, mean, std) in enumerate(panels):
            axes = figure.add_subplot(rows, columns, i + 1)
            axes.plot(centres, weighted, color="black", lw=1.2, label="occupancy-weighted (disordered)")
            axes.plot(centres, mean, color="tab:red", lw=1.0,
                      label=f"mean of {len(self.seeds)} ordered expansions")
            axes.fill_between(centres, mean - std, mean + std, color="tab:red", alpha=0.3, lw=0,
                              label="± one standard deviation across seeds")
            axes.set_xlabel("r (Å)")
            axes.set_ylabel(DENSITY_LABEL)
            axes.set_xlim(0, float(centres[-1]) + 0.5 * self.bin_size)
            if len(panels) > 1:
                axes.set_title(name)
            if i == 0:
                axes.legend(frameon=False, loc="upper right")
        heading = title or "Total RDF: disordered structure vs ordered expansions"
        if len(panels) > 1:
            figure.suptitle(heading)
        else:
            axes.set_title(heading)
        from kelvara._files import save_figure

        save_figure(figure, pathlib.Path(folder) / "expansion_spread.png", dpi=150)


def expansion_spread(
    structure: Structure,
    seeds: Iterable[int] = range(8),
    cutoff: float = 10.0,
    bin_size: float = 0.1,
    n_threads: int = 0,
    max_sites: int = 4096,
    max_denominator: int = 16,
    shape: str = "cube",
) -> ExpansionSpread:
    """RDFs of the ordered expansions of `structure` for every seed, against the
    occupancy-weighted RDF of `structure` itself. Elements missing from an
    expansion contribute zero curves to its pairs."""
    seeds = list(seeds)
    if not seeds:
        raise ValueError("expansion_spread needs at least one seed")
    r, partials, total = structure.prdf(cutoff, bin_size, n_threads)
    totals, partial_runs, reports = [], [], []
    for seed in seeds:
        ordered, report = structure.expand_occupancies(max_sites, seed, max_denominator, shape=shape)
        _, p, t = ordered.prdf(cutoff, bin_size, n_threads)
        totals.append(t)
        partial_runs.append(p)
        reports.append(report)
    ddof = 1 if len(seeds) > 1 else 0
    stacked = np.vstack(totals)
    mean_partials, std_partials = {}, {}
    for key in partials:
        runs = np.vstack([p.get(key, np.zeros_like(r)) for p in partial_runs])
        mean_partials[key] = runs.mean(axis=0)
        std_partials[key] = runs.std(axis=0, ddof=ddof)
    return ExpansionSpread(
        r=r, bin_size=float(bin_size), seeds=seeds, disordered_total=total,
        disordered_partials=partials, mean_total=stacked.mean(axis=0),
        std_total=stacked.std(axis=0, ddof=ddof), mean_partials=mean_partials,
        std_partials=std_partials, reports=reports,
    )
