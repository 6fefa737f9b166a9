"""Structure.disorder_summary: one entry per disordered site."""

from __future__ import annotations

import pytest

from conftest import cubic
from kelvara import Structure


def summary_of(*species: dict) -> list[dict]:
    frac = [[i / len(species), 0.25, 0.5] for i in range(len(species))]
    return cubic(4.0, frac, list(species)).disorder_summary()


def test_ordered_structure_is_empty_and_agrees_with_is_ordered():
    s = cubic(4.0, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Na": 1.0}, {"Cl": 0.9999995}])
    assert s.disorder_summary() == [] and s.is_ordered


def test_entry_keys_values_and_order():
    s = cubic(4.0, [[0, 0, 0], [0.1, -0.25, 1.5], [0.5, 0.5, 0.5], [0.2, 0.3, 0.4]],
              [{"O": 1.0}, {"Ni": 0.25, "Fe": 0.5}, {"Ti": 1.0}, {"Mn": 0.9}])  # fmt: skip
    entries = s.disorder_summary()
    assert [e["site_index"] for e in entries] == [1, 3]
    first = entries[0]
    assert list(first) == ["site_index", "frac_coords", "occupancies", "total_occupancy", "vacancy"]
    assert first["frac_coords"] == [0.1, -0.25, 1.5]  # as stored, not wrapped
    assert list(first["occupancies"].items()) == [("Fe", 0.5), ("Ni", 0.25)]
    assert first["total_occupancy"] == 0.75 and first["vacancy"] == 0.25
    assert entries[1]["occupancies"] == {"Mn": 0.9}
    assert entries[1]["vacancy"] == 1.0 - 0.9


@pytest.mark.parametrize(
    "species, listed, total, vacancy",
    [
        ({"Fe": 0.9999995}, False, None, None),
        ({"Fe": 0.99999}, True, 0.99999, 1.0 - 0.99999),
        ({"Fe": 1.0, "Ni": 0.0}, True, 1.0, 0.0),
        ({"Fe": 0.6, "Ni": 0.4005}, True, 0.6 + 0.4005, 0.0),  # above 1: never negative
        ({"Fe": 0.5, "Ni": 0.5}, True, 1.0, 0.0),
        ({"Fe": 1.0005}, True, 1.0005, 0.0),
        ({"Fe": -0.25}, True, -0.25, 1.25),
    ],
)
def test_single_site_cases(species, listed, total, vacancy):
    entries = summary_of(species)
    assert bool(entries) == listed
    if listed:
        (entry,) = entries
        assert entry["total_occupancy"] == total and entry["vacancy"] == vacancy
        assert entry["vacancy"] >= 0.0


def test_total_is_summed_left_to_right_in_site_order():
    # 0.1 + 0.2 + 0.3 in element order (Co, Fe, Ni) is not 0.6 in floating point.
    (entry,) = summary_of({"Ni": 0.3, "Co": 0.1, "Fe": 0.2})
    assert entry["total_occupancy"] == (0.1 + 0.2) + 0.3
    assert entry["vacancy"] == max(1.0 - ((0.1 + 0.2) + 0.3), 0.0)


def test_summary_matches_expansion_pools():
    # Every listed site is expanded; every unlisted site is copied unchanged.
    s = cubic(4.0, [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0, 0]],
              [{"La": 0.5, "Sr": 0.5}, {"Mn": 1.0}, {"O": 0.75}])  # fmt: skip
    listed = {e["site_index"] for e in s.disorder_summary()}
    out, report = s.expand_occupancies()
    m = report["scale"][0]
    assert listed == {0, 2}
    pools = {(e["sites_in_pool"], e["target_occupancy"]) for e in report["occupancy_report"]}
    assert sum(p for p, _ in pools) == len(listed) * m**3
    assert out.n_sites + report["n_vacancies"] == s.n_sites * m**3


def test_returns_fresh_objects():
    s = Structure([[4, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0]], [{"Fe": 0.5}])
    a = s.disorder_summary()
    a[0]["occupancies"]["Fe"] = 9.0
    assert s.disorder_summary()[0]["occupancies"] == {"Fe": 0.5}
