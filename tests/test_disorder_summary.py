"""Structure.disorder_summary: one entry per disordered site."""

from __future__ import annotations

import pytest

from conftest import cubic


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
    assert entries[1]["occupancies"] == {"Mn": 0.9} and entries[1]["vacancy"] == 1.0 - 0.9
    # The entries are fresh objects: editing one changes nothing stored.
    first["occupancies"]["Fe"] = 9.0
    assert s.disorder_summary()[0]["occupancies"] == {"Fe": 0.5, "Ni": 0.25}


@pytest.mark.parametrize(
    "species, total, vacancy",
    [
        ({"Fe": 0.9999995}, None, None),  # within 1e-6 of one: ordered, not listed
        ({"Fe": 0.99999}, 0.99999, 1.0 - 0.99999),
        ({"Fe": 1.0, "Ni": 0.0}, 1.0, 0.0),
        ({"Fe": 0.6, "Ni": 0.4005}, 0.6 + 0.4005, 0.0),  # above 1: never negative
        ({"Fe": 0.5, "Ni": 0.5}, 1.0, 0.0),
        ({"Fe": 1.0005}, 1.0005, 0.0),
        # Summed left to right in element order (Co, Fe, Ni): not 0.6 in floating point.
        ({"Ni": 0.3, "Co": 0.1, "Fe": 0.2}, (0.1 + 0.2) + 0.3, 1.0 - ((0.1 + 0.2) + 0.3)),
    ],
)
def test_single_site_cases(species, total, vacancy):
    s = cubic(4.0, [[0.0, 0.25, 0.5], [0.5, 0.5, 0.5]], [species, {"Cl": 1.0}])
    entries = s.disorder_summary()
    assert s.is_ordered == (total is None)
    assert [(e["site_index"], e["total_occupancy"], e["vacancy"]) for e in entries] == (
        [] if total is None else [(0, total, vacancy)])


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
