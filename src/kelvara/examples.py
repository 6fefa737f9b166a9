"""Small example structures built in code (used by the command line and the tests)."""

from __future__ import annotations

from kelvara._kelvara import Structure


def rock_salt(a: float = 5.64) -> Structure:
    """Conventional cell of rock-salt NaCl (8 sites)."""
    fcc = [[0.0, 0.0, 0.0], [0.0, 0.5, 0.5], [0.5, 0.0, 0.5], [0.5, 0.5, 0.0]]
    cl = [[(x + 0.5) % 1.0, y, z] for x, y, z in fcc]
    matrix = [[a, 0.0, 0.0], [0.0, a, 0.0], [0.0, 0.0, a]]
    return Structure(matrix, fcc + cl, [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4)


def mixed_perovskite(a: float = 3.95) -> Structure:
    """Cubic (Sr0.5Ba0.5)TiO3 with a mixed A site (5 sites, disordered)."""
    matrix = [[a, 0.0, 0.0], [0.0, a, 0.0], [0.0, 0.0, a]]
    frac = [[0.0, 0.0, 0.0], [0.5, 0.5, 0.5], [0.5, 0.5, 0.0], [0.5, 0.0, 0.5], [0.0, 0.5, 0.5]]
    species = [{"Sr": 0.5, "Ba": 0.5}, {"Ti": 1.0}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0}]
    return Structure(matrix, frac, species)


EXAMPLES = {"rock-salt NaCl": rock_salt, "(Sr,Ba)TiO3": mixed_perovskite}
