"""PDFfit2 as PDFgui drives it: structures under diffpy's symmetry constraints, refined or computed."""

from __future__ import annotations

import io
import os
import time

import numpy as np


def expanded(space_group: str, cell, sites):
    """diffpy Structure of the sites (element, xyz, Uiso, occupancy) expanded by the space group,
    and diffpy's position constraints for it."""
    from diffpy.structure import Atom, Lattice, Structure
    from diffpy.structure.spacegroups import GetSpaceGroup
    from diffpy.structure.symmetryutilities import ExpandAsymmetricUnit, SymmetryConstraints

    group = GetSpaceGroup(space_group)
    lattice = Lattice(*cell)
    expansion = ExpandAsymmetricUnit(group, [xyz for _, xyz, _, _ in sites])
    atoms = [Atom(el, position, Uisoequiv=u, occupancy=occ, lattice=lattice)
             for (el, _, u, occ), positions in zip(sites, expansion.expandedpos) for position in positions]
    structure = Structure(atoms, lattice=lattice)
    return structure, SymmetryConstraints(group, structure.xyz)


def cif_text(space_group: str, cell, sites) -> str:
    """The same structure as a CIF with its operations listed (as a user's file has them)."""
    from diffpy.structure.spacegroups import GetSpaceGroup

    group = GetSpaceGroup(space_group)
    lines = ["data_peer"] + [f"_cell_{k} {v}" for k, v in zip(
        ("length_a", "length_b", "length_c", "angle_alpha", "angle_beta", "angle_gamma"), cell)]
    lines += ["loop_", "_space_group_symop_operation_xyz"]
    for op in group.iter_symops():
        terms = []
        for row, shift in zip(op.R, op.t):
            text = "".join(f"{'+' if c > 0 else '-'}{'xyz'[k]}" for k, c in enumerate(row) if c)
            terms.append(text.lstrip("+") + (f"+{shift:.12g}" if shift else ""))
        lines.append("'" + ",".join(terms) + "'")
    lines += ["loop_", "_atom_site_label", "_atom_site_type_symbol", "_atom_site_fract_x", "_atom_site_fract_y",
              "_atom_site_fract_z", "_atom_site_U_iso_or_equiv", "_atom_site_occupancy"]
    counts: dict[str, int] = {}
    for el, (x, y, z), u, occ in sites:
        counts[el] = counts.get(el, 0) + 1
        lines.append(f"{el}{counts[el]} {el} {x} {y} {z} {u} {occ}")
    return "\n".join(lines) + "\n"


def _silenced():
    from diffpy import pdffit2

    pdffit2.redirect_stdout(open(os.devnull, "w"))  # noqa: SIM115 - PDFfit2 keeps the stream
    return pdffit2


def calculate(phases, r, stype="N", qmax=0.0, qdamp=0.0, **variables):
    """PDFfit2's G on the uniform grid r for phases [(space group, cell, sites, {pscale, delta2...})]."""
    pdffit2 = _silenced()
    fit = pdffit2.PdfFit()
    for space_group, cell, sites, phase_variables in phases:
        fit.add_structure(expanded(space_group, cell, sites)[0])
        for name, value in {**variables, **phase_variables}.items():
            fit.setvar(name, value)
    fit.alloc(stype, qmax, qdamp, float(r[0]), float(r[-1]), r.size)
    fit.calc()
    G = np.array(fit.getpdf_fit())
    pdffit2.redirect_stdout(io.StringIO())
    return G


def refine(phases, r, G, dG, stype="N", qmax=0.0, qdamp=0.0, refine_cell=True, refine_xyz=True, held=()):
    """PDFfit2 refining per phase scale, the free cell lengths, the free coordinates, Uiso per
    element and delta2 from the start given by `phases`; ({name: value}, Rw, seconds, the PdfFit).
    Cell angles stay fixed (the phases used here have none free); coordinates named in `held`
    (diffpy's names, "z0") stay where they are."""
    pdffit2 = _silenced()
    fit = pdffit2.PdfFit()
    fit.read_data_lists(stype, qmax, qdamp, list(r), list(G), list(dG))
    names: dict[int, str] = {}
    code = 1
    several = len(phases) > 1
    for k, (space_group, cell, sites, phase_variables) in enumerate(phases, start=1):
        structure, constraints = expanded(space_group, cell, sites)
        fit.add_structure(structure)
        fit.setphase(k)
        prefix = f"{k}:" if several else ""

        def parameter(target, value, name):
            nonlocal code
            fit.constrain(target, f"@{code}")
            fit.setpar(code, value)
            names[code] = prefix + name
            code += 1
            return code - 1

        parameter(fit.pscale(), phase_variables.get("pscale", 1.0), "scale")
        parameter(fit.delta2(), phase_variables.get("delta2", 0.0), "delta2")
        if refine_cell:
            # Lengths the symmetry ties together share one parameter (a = b of a tetragonal cell).
            first: dict[float, int] = {}
            for axis, length in enumerate(cell[:3], start=1):
                tied = next((c for value, c in first.items() if abs(value - length) < 1e-9), None)
                if tied is None:
                    first[length] = parameter(fit.lat(axis), length, "abc"[axis - 1])
                else:
                    fit.constrain(fit.lat(axis), f"@{tied}")
        if refine_xyz:
            free = [(name, value) for name, value in constraints.pospars if name not in held]
            fixed = {name: f"{value:.17g}" for name, value in constraints.pospars if name in held}
            codes = {}
            for name, value in free:
                codes[name] = code
                fit.setpar(code, value)
                names[code] = prefix + name
                code += 1
            for index, formulas in enumerate(constraints.positionFormulas()):
                for axis, getter in zip("xyz", (fit.x, fit.y, fit.z)):
                    expression = formulas[axis]
                    for name in sorted([*codes, *fixed], key=len, reverse=True):
                        expression = expression.replace(name, f"@{codes[name]}" if name in codes else fixed[name])
                    if "@" in expression:
                        fit.constrain(getter(index + 1), expression)
        elements = sorted({atom.element for atom in structure})
        element_code = {}
        for el in elements:
            u = next(u for e, _, u, _ in sites if e == el)
            element_code[el] = code
            fit.setpar(code, u)
            names[code] = f"{prefix}uiso_{el}"
            code += 1
        # Isotropic U in the crystal axes of a skew cell: U_ij = Uiso cos(angle between a*_i, a*_j).
        reciprocal = np.linalg.inv(structure.lattice.base).T
        unit = reciprocal / np.linalg.norm(reciprocal, axis=1)[:, None]
        cosines = unit @ unit.T
        for index, atom in enumerate(structure, start=1):
            for getter in (fit.u11, fit.u22, fit.u33):
                fit.constrain(getter(index), f"@{element_code[atom.element]}")
            for getter, (i, j) in ((fit.u12, (0, 1)), (fit.u13, (0, 2)), (fit.u23, (1, 2))):
                if abs(cosines[i, j]) > 1e-12:
                    fit.constrain(getter(index), f"@{element_code[atom.element]}*{cosines[i, j]:.17g}")
    start = time.perf_counter()
    fit.refine()
    seconds = time.perf_counter() - start
    values = {name: fit.getpar(c) for c, name in names.items()}
    result = (values, fit.getrw(), seconds, fit)
    pdffit2.redirect_stdout(io.StringIO())
    return result
