"""Findings about a CIF that the reader's rules pass over silently.

`cif_warnings` reads the text with the same lexical rules as `Structure.from_cif` and
lists what a user should know before trusting the result: element symbols that are
not chemical elements (or that read as another element because of their case),
symmetry operations the reader cannot read (ignored), several data blocks (merged), and atom-site rows that
the reader drops (coordinates that are not numbers, occupancy not above 0).
"""

from __future__ import annotations

import os
import re

__all__ = ["cif_warnings"]

ELEMENTS = frozenset("""
H He Li Be B C N O F Ne Na Mg Al Si P S Cl Ar K Ca Sc Ti V Cr Mn Fe Co Ni Cu Zn Ga Ge As
Se Br Kr Rb Sr Y Zr Nb Mo Tc Ru Rh Pd Ag Cd In Sn Sb Te I Xe Cs Ba La Ce Pr Nd Pm Sm Eu
Gd Tb Dy Ho Er Tm Yb Lu Hf Ta W Re Os Ir Pt Au Hg Tl Pb Bi Po At Rn Fr Ra Ac Th Pa U Np
Pu Am Cm Bk Cf Es Fm Md No Lr Rf Db Sg Bh Hs Mt Ds Rg Cn Nh Fl Mc Lv Ts Og D
""".split())
_DECIMAL = re.compile(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")
_OPS_TAGS = ("_symmetry_equiv_pos_as_xyz", "_space_group_symop_operation_xyz")


def _tokenize(line: str) -> list[str]:
    tokens, token, quote = [], "", None
    for ch in line:
        if quote:
            if ch == quote:
                tokens.append(token)
                token, quote = "", None
            else:
                token += ch
        elif ch.isspace():
            if token:
                tokens.append(token)
            token = ""
        elif ch == "#" and not token:
            return tokens
        elif ch in "'\"":
            if token:
                tokens.append(token)
            token, quote = "", ch
        else:
            token += ch
    if token:
        tokens.append(token)
    return tokens


Loop = tuple[list[str], list[list[str]]]


def _read(text: str) -> tuple[dict[str, str], list[Loop], list[str]]:
    """Tags, loops (names, rows) and data-block names, by the reader's rules."""
    lines = [line.strip() for line in text.splitlines()]
    tags: dict[str, str] = {}
    loops: list[Loop] = []
    blocks: list[str] = []
    i, n = 0, len(lines)

    def text_field(i: int) -> tuple[str, int]:
        value = ""
        while i < n and not lines[i].startswith(";"):
            value += lines[i]
            i += 1
        return value, i + 1

    while i < n:
        line = lines[i]
        i += 1
        if not line or line.startswith("#"):
            continue
        if line.startswith(";"):
            _, i = text_field(i)
        elif line.lower() == "loop_":
            names: list[str] = []
            while i < n and (not lines[i] or lines[i][0] in "#_"):
                if lines[i].startswith("_"):
                    names.append(lines[i].split()[0].lower())
                i += 1
            values: list[str] = []
            while i < n:
                line = lines[i]
                if not line or line.startswith("#"):
                    i += 1
                elif line.startswith(("_", "loop_", "data_")):
                    break
                elif line.startswith(";"):
                    value, i = text_field(i + 1)
                    values.append(value)
                else:
                    values += _tokenize(line)
                    i += 1
            if names:
                width = len(names)
                rows = [values[k:k + width] for k in range(0, len(values) - width + 1, width)]
                loops.append((names, rows))
        elif line.startswith("_"):
            tokens = _tokenize(line)
            if len(tokens) >= 2:
                tags[tokens[0].lower()] = " ".join(tokens[1:])
                continue
            while i < n and not lines[i]:
                i += 1
            if i == n:
                continue
            if lines[i].startswith(";"):
                tags[tokens[0].lower()], i = text_field(i + 1)
            else:
                tags[tokens[0].lower()] = " ".join(_tokenize(lines[i]))
                i += 1
        elif line.startswith("data_"):
            blocks.append(line[5:])
    return tags, loops, blocks


def _symbol(text: str) -> str | None:
    """The reader's rule: first ASCII letter upper-cased, then one lower-case letter."""
    text = text.strip()
    if not text or not ("a" <= text[0].lower() <= "z"):
        return None
    return text[0].upper() + (text[1] if len(text) > 1 and "a" <= text[1] <= "z" else "")


def _number(text: str | None) -> float | None:
    """A CIF number by the reader's grammar ("5.43(2)", "'0.5'"), else None."""
    if text is None:
        return None
    text = text.strip().strip("'").strip('"')
    if text in ("", ".", "?"):
        return None
    text = text.split("(")[0].strip()
    if not (_DECIMAL.fullmatch(text) or text.lstrip("+-").lower() in ("inf", "infinity", "nan")):
        return None
    return float(text)


def _unreadable_operations(loop: Loop) -> list[str]:
    """The operations of a symmetry loop that the reader cannot read (it ignores them).

    Each one is put to the reader itself, beside a marker operation, acting on one
    atom: two sites come back when it reads, one when it is ignored."""
    from kelvara import Structure

    names, rows = loop
    column = next(k for k, name in enumerate(names) if name in _OPS_TAGS)
    unreadable = []
    for row in rows:
        value = row[column].strip()
        if not value:
            continue
        # Written so that the reader gets back exactly this value.
        quote = next((q for q in "'\"" if q not in value), None)
        written = f"{quote}{value}{quote}" if quote else f";\n{value}\n;"
        probe = ("_cell_length_a 10\n_cell_length_b 10\n_cell_length_c 10\n"
                 "loop_\n_symmetry_equiv_pos_as_xyz\n" + written + "\n"
                 "x+0.3183098861,y+0.2718281828,z+0.1414213562\n"
                 "loop_\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
                 "_atom_site_fract_z\nH 0.1234567 0.2345678 0.3456789\n")
        try:
            n_sites = Structure.from_cif_str(probe).n_sites
        except ValueError:
            n_sites = 2  # it read, and the image is unusable; the reader says so itself
        if n_sites == 1:
            unreadable.append(value)
    return unreadable


def _lists_operations(loop: Loop) -> bool:
    """Whether `loop` is a symmetry loop with at least one non-empty operation."""
    names, rows = loop
    columns = [k for k, name in enumerate(names) if name in _OPS_TAGS]
    return bool(columns) and any(row[columns[0]].strip() for row in rows)


def _element_findings(place: str, source: str, written: str) -> list[str]:
    symbol = _symbol(written)
    if symbol is None:
        return []
    stripped = written.strip()
    if (len(stripped) > 1 and stripped[1].isupper() and stripped[:2].title() in ELEMENTS
            and stripped[:2].title() != symbol):
        return [f"{place}: {source} '{written}' reads as {symbol}; write "
                f"'{stripped[:2].title()}' if that element is meant"]
    if symbol not in ELEMENTS:
        return [f"{place}: {source} '{written}' reads as '{symbol}', which is not a chemical "
                "element"]
    return []


def cif_warnings(path_or_text: str | os.PathLike[str]) -> list[str]:
    """Findings about a CIF that `Structure.from_cif` reads without complaint.

    `path_or_text` is a path (an `os.PathLike`, or a `str` without a line break) or the
    CIF text itself (a `str` with line breaks). Returns one sentence per finding, in the
    order: data blocks, space group, then atom sites in file order; empty when nothing
    needs attention.
    """
    if isinstance(path_or_text, os.PathLike) or "\n" not in path_or_text:
        with open(path_or_text, encoding="utf-8") as handle:
            text = handle.read()
    else:
        text = path_or_text
    tags, loops, blocks = _read(text)
    findings = []
    if len(blocks) > 1:
        block_names = ", ".join(f"'{b}'" for b in blocks)
        findings.append(f"the file holds {len(blocks)} data blocks ({block_names}); their tags are "
                        "merged (the last value wins) and the first atom-site loop is read")

    ops_loop = next((loop for loop in loops if any(n in _OPS_TAGS for n in loop[0])), None)
    has_ops = ops_loop is not None and _lists_operations(ops_loop)
    if ops_loop is not None and has_ops:
        unreadable = _unreadable_operations(ops_loop)
        n_listed = sum(1 for row in ops_loop[1]
                       if row[[k for k, n in enumerate(ops_loop[0]) if n in _OPS_TAGS][0]].strip())
        if len(unreadable) == n_listed:
            findings.append(f"none of the {n_listed} symmetry operations can be read, so the "
                            "file is read as P 1")
        else:
            findings += [f"symmetry operation '{op}' cannot be read and is ignored"
                         for op in unreadable]
    atoms = next((loop for loop in loops if "_atom_site_fract_x" in loop[0]), None)
    if atoms is None:
        return findings
    names, rows = atoms
    column = {name: k for k, name in enumerate(names)}

    def value(row: list[str], tag: str) -> str | None:
        k = column.get(tag)
        return row[k] if k is not None and k < len(row) else None

    for index, row in enumerate(rows, start=1):
        label = value(row, "_atom_site_label")
        place = f"atom site '{label}'" if label is not None else f"atom site in row {index}"
        coords = [value(row, f"_atom_site_fract_{axis}") for axis in "xyz"]
        marks = [c for c in coords if c is not None and _number(c) is None]
        if marks:
            findings.append(f"{place} has the coordinate '{marks[0].strip()}' and is dropped")
            continue
        occupancy = _number(value(row, "_atom_site_occupancy"))
        if occupancy is not None and not occupancy > 0:
            findings.append(f"{place} has occupancy {value(row, '_atom_site_occupancy')} and "
                            "is dropped")
        type_symbol = value(row, "_atom_site_type_symbol")
        if type_symbol is not None and _symbol(type_symbol):
            findings += _element_findings(place, "type symbol", type_symbol)
        elif label is not None:
            findings += _element_findings(place, "label", label)
    return findings
