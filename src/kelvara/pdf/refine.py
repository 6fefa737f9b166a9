"""Structural refinement of one or more crystal phases against a measured G(r).

Refinable groups, as PDF programs name them: ``scale`` (one per phase), ``qdamp``,
``qbroad``, ``delta1``, ``delta2``, ``spdiameter``, ``cell`` (every cell parameter the
symmetry operations leave free), ``xyz`` (every coordinate a site's stabiliser leaves
free), ``uiso`` (per element; ``uiso_<El>`` for one), ``uiso_site`` (per symmetry-distinct
site), ``occ_<label>`` (a site's occupancy) and ``qmax``. With several phases the
parameters of phase k are named ``k:<name>`` ("2:scale", "2:a").

Uncertainties: by default sqrt(diag((J^T W J)^-1) chi2_red), which also holds when dG is
missing or misjudged; ``errors="unscaled"`` gives sqrt(diag((J^T W J)^-1)), PDFfit2's
convention, right only when dG is right and the points are independent.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np

from kelvara.analysis import FloatArray
from kelvara.pdf.phase import NotACell, Phase
from kelvara.pdf.symmetry import Symmetry, analyse, cell_parameters
from kelvara.pdf.fit import rw as agreement_factor
from kelvara.pdf.fit import select
from kelvara.pdf.model import DEFAULT_UISO, _grid, sphere_envelope
from kelvara.pdf.scattering import _factors, terminate

GLOBAL = ("qdamp", "qbroad", "qmax")
PER_PHASE = ("scale", "delta1", "delta2", "spdiameter")
GROUPS = ("cell", "xyz", "uiso", "uiso_site", "adp")
# A fit whose Rw ends above this has not described the data.
FAILED_RW = 0.9
ERRORS = ("scaled", "unscaled")


@dataclass(frozen=True)
class Parameter:
    value: float
    sigma: float
    at_bound: bool


@dataclass(frozen=True)
class PhaseResult:
    source: str
    scale: float
    mass_fraction: float
    molar_fraction: float
    cell: tuple[float, ...]
    frac_coords: FloatArray
    site_uiso: tuple[float, ...]
    """Refined (or start) Uiso of every site."""
    occupancies: tuple[dict[str, float], ...]
    structure: object


@dataclass(frozen=True)
class Refinement:
    """The outcome of a refinement, failed or not."""

    converged: bool
    reason: str
    hint: str
    rw: float
    chi2_red: float
    r: FloatArray
    observed: FloatArray
    dG: FloatArray | None
    model: FloatArray
    phase_models: tuple[FloatArray, ...]
    parameters: dict[str, Parameter]
    correlation: FloatArray
    settings: dict
    phases: tuple[PhaseResult, ...]
    errors: str
    notes: tuple[str, ...] = field(default=())

    @property
    def difference(self) -> FloatArray:
        """Data minus model over the fitted range, 1/A^2."""
        return self.observed - self.model

    def summary(self) -> str:
        """Rw, the settings and every refined parameter with its uncertainty, as text."""
        s = self.settings
        lines = [f"Rw = {self.rw:.5f}, chi2_red = {self.chi2_red:.4g} over {self.r.size} points, "
                 f"r = {self.r[0]:g}..{self.r[-1]:g} A" + ("" if self.parameters else " (nothing refined)")]
        qmax = "none" if not s["qmax"] else f"{s['qmax']:g} 1/A"
        lines.append(f"  settings: {s['radiation']}, qmax {qmax}, qdamp {s['qdamp']:g}, qbroad {s['qbroad']:g}")
        names = list(self.parameters)
        for name, p in self.parameters.items():
            flag = "  (at a bound)" if p.at_bound else ""
            lines.append(f"  {name:>14} = {p.value:.6g} +/- {p.sigma:.2g}{flag}")
        strong = [f"    {a} - {names[j]}: {self.correlation[i, j]:+.3f}" for i, a in enumerate(names)
                  for j in range(i + 1, len(names)) if abs(self.correlation[i, j]) > 0.8]
        if strong:
            lines += ["  correlations above 0.8:", *strong]
        if len(self.phases) > 1:
            for k, phase in enumerate(self.phases, start=1):
                lines.append(f"  phase {k} ({phase.source}): scale {phase.scale:.4g}, mass fraction "
                             f"{phase.mass_fraction:.4f}, molar fraction {phase.molar_fraction:.4f}")
        for k, phase in enumerate(self.phases, start=1):
            a, b, c, alpha, beta, gamma = phase.cell
            lines.append(f"  cell{'' if len(self.phases) == 1 else f' {k}'}: a {a:.5f}, b {b:.5f}, c {c:.5f} A, "
                         f"alpha {alpha:.4f}, beta {beta:.4f}, gamma {gamma:.4f} deg")
        lines.append(f"  uncertainties: {self.errors} "
                     + ("(sqrt(chi2_red) x sqrt(diag((J^T W J)^-1)))" if self.errors == "scaled"
                        else "(sqrt(diag((J^T W J)^-1)), as PDFfit2 reports them)"))
        lines += [f"  note: {note}" for note in self.notes]
        if not self.converged:
            lines.append(f"  the fit FAILED: {self.reason}; {self.hint}")
        return "\n".join(lines)

    def as_dict(self) -> dict:
        """The results in the shape of fit.json."""
        return {
            "converged": self.converged, "rw": self.rw, "chi2_red": self.chi2_red,
            "n_points": int(self.r.size), "r_range": [float(self.r[0]), float(self.r[-1])],
            "settings": dict(self.settings),
            "parameters": {n: {"value": p.value, "sigma": p.sigma, "at_bound": p.at_bound}
                           for n, p in self.parameters.items()},
            "phases": [{"file": p.source, "scale": p.scale, "mass_fraction": p.mass_fraction,
                        "molar_fraction": p.molar_fraction, "cell": list(p.cell)} for p in self.phases],
        }


@dataclass
class _Slot:
    name: str
    value: float
    lower: float
    upper: float
    phase: int  # -1: global
    key: str  # what it moves: "scale", "cell:0", "xyz:3", "u:1", "occ:2", "qdamp", ...


def _expand(refine: Iterable[str], phases: list[Phase], start: list[dict], elements: list[list[str]]):
    """The refined parameters, in a fixed order, with start values and bounds."""
    wanted = [w.strip() for w in refine if w.strip()]
    known_words = set(GLOBAL) | set(PER_PHASE) | set(GROUPS)
    for word in wanted:
        if word in known_words or word.startswith(("uiso_", "occ_")):
            continue
        raise ValueError(f"unknown PDF parameter {word!r}; known: {', '.join(PER_PHASE + GLOBAL + GROUPS)}, "
                         "uiso_<element>, uiso_<site>, occ_<site>")
    if "adp" in wanted:
        raise ValueError("adp: anisotropic displacements are not refined yet; refine uiso or uiso_site")
    slots: list[_Slot] = []
    several = len(phases) > 1
    for word in wanted:
        if word in GLOBAL and all(s.name != word for s in slots):
            bounds = {"qdamp": (0.0, np.inf), "qbroad": (0.0, np.inf), "qmax": (1.0, np.inf)}[word]
            slots.append(_Slot(word, start[0][word] or 0.0, *bounds, -1, word))
    used = set()
    for k, (phase, values) in enumerate(zip(phases, start)):
        prefix = f"{k + 1}:" if several else ""
        labels = [o.label for o in phase.symmetry.orbits]

        def add(name, value, lower, upper, key, k=k, prefix=prefix):
            slots.append(_Slot(prefix + name, float(value), lower, upper, k, key))

        for word in wanted:
            if word in PER_PHASE:
                bounds = {"scale": (-np.inf, np.inf), "delta1": (-np.inf, np.inf), "delta2": (-np.inf, np.inf),
                          "spdiameter": (1.0, np.inf)}[word]
                if word == "spdiameter" and not values["spdiameter"]:
                    raise ValueError("refining spdiameter needs a start value: give --spdiameter (A)")
                add(word, values[word] or 0.0, *bounds, word)
            elif word == "cell":
                for c, name in enumerate(phase.symmetry.cell_names):
                    angle = name in ("alpha", "beta", "gamma")
                    v = phase.cell_start()[c]
                    add(name, v, 1.0 if angle else 0.5 * v, 179.0 if angle else 2.0 * v, f"cell:{c}")
            elif word == "xyz":
                for c, name in enumerate(phase.xyz_names):
                    add(name, phase.xyz0[c], -np.inf, np.inf, f"xyz:{c}")
            elif word == "uiso":
                for el in elements[k]:
                    add(f"uiso_{el}", values["u_element"][el], 1e-6, 1.0, f"u:el:{el}")
            elif word == "uiso_site":
                for o, label in enumerate(labels):
                    add(f"uiso_{label}", values["u_site"][phase.symmetry.orbits[o].sites[0]], 1e-6, 1.0,
                        f"u:site:{o}")
            elif word.startswith("uiso_"):
                target = word[5:]
                if target in elements[k]:
                    add(word, values["u_element"][target], 1e-6, 1.0, f"u:el:{target}")
                    used.add(word)
                elif target in labels:
                    o = labels.index(target)
                    add(word, values["u_site"][phase.symmetry.orbits[o].sites[0]], 1e-6, 1.0, f"u:site:{o}")
                    used.add(word)
            elif word.startswith("occ_"):
                target = word[4:]
                if target in labels:
                    o = labels.index(target)
                    site = phase.symmetry.orbits[o].sites[0]
                    add(word, sum(phase.structure.species[site].values()), 0.0, 1.0, f"occ:{o}")
                    used.add(word)
    for word in wanted:
        if word.startswith(("uiso_", "occ_")) and word not in used and word not in GROUPS:
            sites = sorted({o.label for p in phases for o in p.symmetry.orbits})
            raise ValueError(f"{word}: no element or site {word.split('_', 1)[1]!r} in the structure "
                             f"(elements: {', '.join(sorted({e for el in elements for e in el}))}; "
                             f"sites: {', '.join(sites)})")
    names = [s.name for s in slots]
    duplicates = sorted({n for n in names if names.count(n) > 1})
    if duplicates:
        raise ValueError(f"{', '.join(duplicates)} named twice (uiso and uiso_site both set one Uiso)")
    return slots


def _start_values(structure, p, notes: list[str], source: str) -> dict:
    """Start values of one phase: the caller's, else the file's, else stated defaults."""
    file_u = list(structure.uiso)
    elements = structure.elements
    u_element, u_site = {}, []
    for el in elements:
        given = [u for sp, u in zip(structure.species, file_u) if el in sp and u is not None]
        if el in p.uiso:
            u_element[el] = float(p.uiso[el])
        elif given:
            u_element[el] = float(np.mean(given))
        else:
            u_element[el] = DEFAULT_UISO
            notes.append(f"{source} gives no Uiso for {el}: started from {DEFAULT_UISO:g} A^2")
    for sp, u in zip(structure.species, file_u):
        named = [el for el in sp if el in p.uiso]
        if named:
            u_site.append(float(p.uiso[named[0]]))
        else:
            u_site.append(u_element[next(iter(sp))] if u is None else float(u))
    return {"scale": p.scale, "delta1": p.delta1, "delta2": p.delta2, "spdiameter": p.spdiameter,
            "qdamp": p.qdamp, "qbroad": p.qbroad, "qmax": p.qmax, "u_element": u_element, "u_site": u_site}


class _Model:
    """The summed G(r) of the phases on the data's points, and its derivatives."""

    def __init__(self, phases, starts, slots, r, radiation):
        self.phases, self.starts, self.slots, self.r = phases, starts, slots, r
        self.radiation = radiation
        self.numeric = [k for k, s in enumerate(slots) if s.key.split(":")[0] in ("occ", "spdiameter", "qmax")]

    def settings(self, x):
        found = {s.key: v for s, v in zip(self.slots, x) if s.phase < 0}
        start = self.starts[0]
        return {n: found.get(n, start[n] or 0.0) for n in GLOBAL}

    def phase_values(self, k, x):
        phase, start = self.phases[k], self.starts[k]
        mine = [(s, v) for s, v in zip(self.slots, x) if s.phase == k]
        values = {n: start[n] or 0.0 for n in PER_PHASE}
        cell, xyz = phase.cell_start().copy(), phase.xyz0.copy()
        atoms = phase.atoms
        u_atom = np.array([start["u_site"][site] for site in atoms.site])
        u_group = np.full(len(u_atom), -1)
        occ = np.ones(len(u_atom))
        derivatives = []
        for s, v in mine:
            kind, _, key = s.key.partition(":")
            if kind in PER_PHASE:
                values[kind] = v
                if kind in ("delta1", "delta2"):
                    derivatives.append((s, kind))
            elif kind == "cell":
                cell[int(key)] = v
                derivatives.append((s, s.key))
            elif kind == "xyz":
                xyz[int(key)] = v
                derivatives.append((s, s.key))
            elif kind == "u":
                what, _, which = key.partition(":")
                hit = (np.array([e == which for e in atoms.element]) if what == "el"
                       else atoms.orbit == int(which))
                u_atom[hit] = v
                u_group[hit] = len(derivatives)
                derivatives.append((s, f"u:{len(derivatives)}"))
            elif kind == "occ":
                orbit = phase.symmetry.orbits[int(key)]
                occ[atoms.orbit == int(key)] = v / sum(phase.structure.species[orbit.sites[0]].values())
        # A u group's derivative key names its column among this phase's derivatives.
        u_group = np.array([-1 if g < 0 else g for g in u_group])
        values.update(cell=cell, xyz=xyz, u_atom=u_atom, u_group=u_group, occ_scale=occ)
        return values, derivatives

    def __call__(self, x, jacobian=False):
        glob = self.settings(x)
        grid = _grid(self.r, glob["qmax"] or None)
        n = len(self.slots)
        total = np.zeros(grid.r.size)
        J = np.zeros((grid.r.size, n)) if jacobian else None
        curves = []
        index = {id(s): k for k, s in enumerate(self.slots)}
        qbroad_slot = next((k for k, s in enumerate(self.slots) if s.key == "qbroad"), None)
        for k, phase in enumerate(self.phases):
            values, derivatives = self.phase_values(k, x)
            values["qbroad"] = glob["qbroad"]
            keys = [key for _, key in derivatives] if jacobian else []
            if jacobian and qbroad_slot is not None:
                keys.append("qbroad")
            G, D = phase.peaks(grid.r, grid.step, grid.offset, values, keys)
            envelope = sphere_envelope(grid.r, values["spdiameter"] or None)
            G = G * envelope
            scale = values["scale"]
            curves.append(scale * G)
            total += scale * G
            if jacobian:
                D = D * (scale * envelope)[:, None]
                for c, (slot, _) in enumerate(derivatives):
                    J[:, index[id(slot)]] += D[:, c]
                if qbroad_slot is not None:
                    J[:, qbroad_slot] += D[:, -1]
                scale_slot = next((index[id(s)] for s in self.slots if s.phase == k and s.key == "scale"), None)
                if scale_slot is not None:
                    J[:, scale_slot] = G
        finish = self._finisher(grid, glob)
        out = finish(total)
        curves = [finish(c) for c in curves]
        if jacobian:
            numeric = set(self.numeric)
            finished = finish(J)
            columns = [finished[:, c] if c not in numeric else None for c in range(n)]
            qdamp_slot = next((k for k, s in enumerate(self.slots) if s.key == "qdamp"), None)
            if qdamp_slot is not None:
                columns[qdamp_slot] = -glob["qdamp"] * self.r**2 * out
            for c in numeric:
                h = 1e-6 * max(1.0, abs(x[c]))
                if x[c] + h > self.slots[c].upper:
                    h = -h
                moved = np.array(x, dtype=float)
                moved[c] += h
                columns[c] = (self(moved)[0] - out) / h
            return out, curves, np.column_stack(columns)
        return out, curves, None

    def _finisher(self, grid, glob):
        damping = np.exp(-0.5 * (glob["qdamp"] * grid.r) ** 2) if glob["qdamp"] else None

        def finish(G):
            if glob["qmax"]:
                G = terminate(G, grid.step, glob["qmax"], offset=grid.offset)
            if damping is not None:
                G = G * (damping if G.ndim == 1 else damping[:, None])
            if grid.take is not None:
                return G[grid.take]
            if G.ndim == 1:
                return np.interp(self.r, grid.r, G)
            return np.column_stack([np.interp(self.r, grid.r, column) for column in G.T])

        return finish


def _fractions(phases, scales):
    """Mass and molar fractions of the phases from their scales, as PDFgui states them: the
    scale is proportional to the fraction of atoms, divided by the mean scattering power."""
    from kelvara.pdf.scattering import atomic_mass

    atoms, masses = [], []
    for phase, scale in zip(phases, scales):
        s = phase.structure
        composition = s.composition
        mean_b = sum(c * phase.factors[el] for el, c in composition.items()) / s.n_atoms
        atoms.append(abs(scale) / mean_b**2 if mean_b else 0.0)
        masses.append(sum(c * atomic_mass(el) for el, c in composition.items()) / s.n_atoms)
    atoms = np.array(atoms)
    if not atoms.sum() > 0:
        return [math.nan] * len(phases), [math.nan] * len(phases)
    atom_fraction = atoms / atoms.sum()
    molar = atom_fraction / np.array([_formula_atoms(phase.structure) for phase in phases])
    mass = atom_fraction * np.array(masses)
    return list(mass / mass.sum()), list(molar / molar.sum())


def _formula_atoms(structure) -> float:
    """Atoms in one formula unit of the reduced formula (the cell's content when it does not reduce)."""
    counts = list(structure.composition.values())
    if all(abs(c - round(c)) < 1e-6 and round(c) > 0 for c in counts):
        return structure.n_atoms / math.gcd(*(int(round(c)) for c in counts))
    return structure.n_atoms


def refine_pdf(
    structures: Sequence,
    data,
    refine: Iterable[str] | str,
    parameters=None,
    rmin: float | None = None,
    rmax: float | None = None,
    radiation: str = "neutron",
    operations: Sequence[list] | None = None,
    sources: Sequence[str] | None = None,
    errors: str = "scaled",
    scattering_factors: Mapping[str, float] | None = None,
) -> Refinement:
    """Refine the named parameters (`refine`: a list or comma-separated text, see the module
    doc) of the summed model of `structures` against `data` over rmin <= r <= rmax.
    `operations` holds the symmetry operations of each structure (None: P1); `parameters`
    (PDFParameters) the start and fixed values. A fit that does not converge, ends with
    undetermined parameters or Rw near 1 is returned with converged=False and the reason."""
    from kelvara.pdf.lsq import Solution, levenberg_marquardt
    from kelvara.pdf.model import PDFParameters

    if errors not in ERRORS:
        raise ValueError(f"errors must be one of {', '.join(ERRORS)}, not {errors!r}")
    if isinstance(refine, str):
        refine = refine.split(",")
    refine = [w for w in refine if w.strip()]
    structures = list(structures)
    if not structures:
        raise ValueError("no structure to refine")
    p = parameters or PDFParameters()
    sources = list(sources or [f"phase {k + 1}" for k in range(len(structures))])
    keep = select(data, rmin, rmax)
    r, observed = data.r[keep], data.G[keep]
    sigma = None if data.dG is None else data.dG[keep]
    notes: list[str] = []
    phases, starts, elements = [], [], []
    for k, structure in enumerate(structures):
        listed = (operations or [None] * len(structures))[k]
        symmetry: Symmetry = analyse(structure, listed)
        if not listed and any(w.strip() in ("cell", "xyz") for w in refine):
            notes.append(f"{sources[k]} gives no symmetry operations: every cell parameter and coordinate "
                         "is refined (P1)")
        if symmetry.held:
            notes.append(f"{sources[k]}: the origin floats along an axis every operation keeps: "
                         f"{', '.join(symmetry.held)} held")
        if symmetry.ignored:
            notes.append(f"{sources[k]}: {symmetry.ignored} symmetry operation(s) of the file do not map the "
                         "atoms onto themselves and constrain nothing")
        factors = {el: float(f) for el, f in
                   _factors(structure.elements, radiation, None, scattering_factors).items()}
        phases.append(Phase(structure, symmetry, factors))
        starts.append(_start_values(structure, p, notes, sources[k]))
        elements.append(structure.elements)
    slots = _expand(refine, phases, starts, elements)
    if r.size <= len(slots):
        raise ValueError(f"{r.size} data point(s) in the range for {len(slots)} refined parameters: a fit needs "
                         "more points than parameters (widen --rmin/--rmax or refine fewer)")
    model = _Model(phases, starts, slots, r, radiation)
    weight = np.ones_like(r) if sigma is None else 1.0 / sigma
    lower = np.array([s.lower for s in slots])
    upper = np.array([s.upper for s in slots])
    x0 = np.clip(np.array([s.value for s in slots]), lower, upper)
    # qdamp and qbroad change G only to second order at 0: start a little way in.
    for k, s in enumerate(slots):
        if s.key in ("qdamp", "qbroad") and x0[k] == 0.0:
            x0[k] = {"qdamp": 0.01, "qbroad": 0.001}[s.key]
    cache = {}

    def residuals(x):
        try:
            out, _, J = model(x, jacobian=True)
        except NotACell:  # a trial step beyond any lattice: the solver steps back
            return np.full(r.size, np.inf)
        cache[x.tobytes()] = J * weight[:, None]
        return (out - observed) * weight

    def jacobian(x, _residuals):
        J = cache.pop(x.tobytes(), None)
        cache.clear()
        if J is None:
            J = model(x, jacobian=True)[2] * weight[:, None]
        return J

    if slots:
        try:
            with np.errstate(over="raise", invalid="raise"):
                solution = levenberg_marquardt(residuals, x0, lower, upper, jacobian=jacobian)
        except FloatingPointError:
            raise ValueError("the model or the data overflow double precision (G values near 1e300?): "
                             "check the units and the columns of the data") from None
    else:  # nothing refined: the model as given, compared
        solution = Solution(x0, np.zeros(0), np.zeros((r.size, 0)), 1, True, "nothing was refined")
    x = solution.x
    curve, curves, _ = model(x)
    n_free = r.size - len(slots)
    chi2 = float(np.sum(((curve - observed) * weight) ** 2))
    chi2_red = chi2 / n_free
    Jw = solution.jacobian
    converged, reason, hint = solution.converged, solution.message, ""
    at_bound = np.array([bool((np.isfinite(lo) and abs(v - lo) <= 1e-9 * max(1.0, abs(lo))) or
                              (np.isfinite(hi) and abs(v - hi) <= 1e-9 * max(1.0, abs(hi))))
                         for v, lo, hi in zip(x, lower, upper)])
    # Parameters held at a bound take no part in the covariance: their sigma is undefined.
    inside = np.flatnonzero(~at_bound)
    sig = np.full(len(slots), np.nan)
    correlation = np.full((len(slots), len(slots)), np.nan)
    try:
        covariance = np.linalg.inv(np.einsum("ki,kj->ij", Jw[:, inside], Jw[:, inside])) if inside.size else np.zeros((0, 0))
        if errors == "scaled":
            covariance = covariance * chi2_red
        if np.any(~np.isfinite(covariance)) or np.any(np.diag(covariance) <= 0):
            raise np.linalg.LinAlgError
        sig[inside] = np.sqrt(np.diag(covariance))
        correlation[np.ix_(inside, inside)] = covariance / np.outer(sig[inside], sig[inside])
    except np.linalg.LinAlgError:
        sig[inside] = np.inf
    value_rw = agreement_factor(observed, curve, sigma)
    converged, reason, hint = _judged(converged, reason, sig, value_rw)
    params = {s.name: Parameter(float(v), float(e), bool(b)) for s, v, e, b in zip(slots, x, sig, at_bound)}
    scales = [model.phase_values(k, x)[0]["scale"] for k in range(len(phases))]
    mass, molar = _fractions(phases, scales) if len(phases) > 1 else ([1.0], [1.0])
    results = []
    glob = model.settings(x)
    for k, phase in enumerate(phases):
        values, _ = model.phase_values(k, x)
        cell = phase.cell(values["cell"])
        site_u = [float(values["u_atom"][np.flatnonzero(phase.atoms.site == s)[0]])
                  for s in range(phase.structure.n_sites)]
        occupancies = tuple({el: occ * float(values["occ_scale"][np.flatnonzero(phase.atoms.site == s)[0]])
                             for el, occ in sp.items()} for s, sp in enumerate(phase.structure.species))
        results.append(PhaseResult(
            source=sources[k], scale=float(values["scale"]), mass_fraction=float(mass[k]),
            molar_fraction=float(molar[k]), cell=tuple(float(c) for c in cell),
            frac_coords=phase.positions(values["xyz"]), site_uiso=tuple(site_u), occupancies=occupancies,
            structure=phase.structure))
    settings = {"qmax": float(glob["qmax"]) if glob["qmax"] else None, "qdamp": float(glob["qdamp"]),
                "qbroad": float(glob["qbroad"]), "radiation": radiation}
    return Refinement(
        converged=bool(converged), reason=reason, hint=hint, rw=float(value_rw), chi2_red=float(chi2_red),
        r=r, observed=observed, dG=sigma, model=curve, phase_models=tuple(curves), parameters=params,
        correlation=correlation, settings=settings, phases=tuple(results), errors=errors, notes=tuple(notes))


def _judged(converged: bool, message: str, sig: np.ndarray, value_rw: float) -> tuple[bool, str, str]:
    """Whether a fit succeeded, and if not why and what to try."""
    if not converged:
        return False, f"the solver stopped: {message}", "start closer to the answer or fix a parameter"
    if np.any(np.isinf(sig)):
        return (False, "the data do not determine every refined parameter (infinite uncertainty)",
                "fix one of the parameters that move together, or widen the r range")
    if not value_rw < FAILED_RW:
        return (False, f"Rw = {value_rw:.3f}: the model does not describe the data",
                "start closer (cell, scale), check the units (A, not nm) and the radiation")
    return True, message, ""


def from_fit(fit, sigma, structure, source: str, radiation: str, errors: str = "scaled") -> Refinement:
    """The result of `kelvara.pdf.fit.fit_pdf` (the condensed pair table: no structural
    parameters, but fast for large cells) in the shape of a refinement."""
    from kelvara.pdf.fit import BOUNDS, UISO_BOUNDS

    p = fit.parameters
    names = list(fit.refined)
    scale = 1.0 if errors == "scaled" or not fit.reduced_chi2 > 0 else 1.0 / math.sqrt(fit.reduced_chi2)
    sig = np.array([fit.uncertainties[n] for n in names]) * scale
    params = {}
    for name, e in zip(names, sig):
        lo, hi = UISO_BOUNDS if name.startswith("uiso_") else BOUNDS[name]
        v = fit.values[name]
        params[name] = Parameter(float(v), float(e), bool(v == lo or v == hi))
    converged, reason, hint = _judged(fit.success, fit.message, sig, fit.rw)
    if not names:
        converged, reason = True, "nothing was refined"
    cell = cell_parameters(structure.lattice_matrix)
    cell[:3] *= p.lattice_scale
    site_uiso = tuple(float(p.uiso.get(next(iter(sp)), u if u is not None else DEFAULT_UISO))
                      for sp, u in zip(structure.species, structure.uiso))
    phase = PhaseResult(source=source, scale=p.scale, mass_fraction=1.0, molar_fraction=1.0,
                        cell=tuple(float(c) for c in cell), frac_coords=np.asarray(structure.frac_coords),
                        site_uiso=site_uiso, occupancies=tuple(dict(sp) for sp in structure.species),
                        structure=structure)
    settings = {"qmax": float(p.qmax) if p.qmax else None, "qdamp": float(p.qdamp), "qbroad": float(p.qbroad),
                "radiation": radiation}
    n = len(names)
    return Refinement(
        converged=converged, reason=reason, hint=hint, rw=float(fit.rw), chi2_red=float(fit.reduced_chi2),
        r=fit.r, observed=fit.observed, dG=sigma, model=fit.model, phase_models=(fit.model,), parameters=params,
        correlation=fit.correlation if n else np.zeros((0, 0)), settings=settings, phases=(phase,),
        errors=errors, notes=tuple(fit.notes))
