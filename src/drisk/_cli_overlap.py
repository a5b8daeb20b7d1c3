"""`drisk overlap`: how two saved sketches, or two tables of group sketches
key by key, overlap.

Two sketch files (packed or raw, or a table of group sketches, taken whole
as the union of its groups) give one answer: the intersection, the parts
only one of them has, the union and the Jaccard index, fitted jointly by
drisk.overlap. With --by, two tables saved by `drisk count --by ... --save`
(or any Parquet table of key columns and packed sketches) are rolled up to
the named key columns and matched key by key; a key only one table has
meets an empty sketch on the other side.
"""

from __future__ import annotations

import json
import math
from typing import Any

from drisk import HyperLogLog, pack
from drisk._cli_files import CliError, quoted
from drisk._overlap import Overlap, overlap

#: The figures, in the order the tool prints them.
FIGURES = ("intersection", "a_only", "b_only", "union", "jaccard")
#: Distinct 64-bit hashes there can be: the most any estimate can mean.
HASH_SPACE = 2.0**64


def capped(value: float) -> float:
    return value if value <= HASH_SPACE else HASH_SPACE  # False for NaN too


def fields(result: Overlap) -> dict[str, Any]:
    """The figures as --json gives them: a Jaccard index that is not a
    number (two empty sketches) as null."""
    out: dict[str, Any] = {name: capped(getattr(result, name)) for name in FIGURES}
    if math.isnan(result.jaccard):
        out["jaccard"] = None
    if result.intersection_bounds is not None and result.jaccard_bounds is not None:
        out["intersection_lower"], out["intersection_upper"] = map(capped, result.intersection_bounds)
        if not math.isnan(result.jaccard):
            out["jaccard_lower"], out["jaccard_upper"] = result.jaccard_bounds
        else:
            out["jaccard_lower"] = out["jaccard_upper"] = None
    return out


def figure_text(name: str, value: float) -> str:
    if name == "jaccard":
        return "nan" if math.isnan(value) else f"{value:.4f}"
    return str(round(capped(value)))


def overlap_text(a: HyperLogLog, b: HyperLogLog, confidence: float, as_json: bool) -> str:
    """The answer for two sketches: five lines, or one JSON object."""
    result = overlap(a, b, confidence)
    if as_json:
        return json.dumps({**fields(result), "confidence": confidence}, allow_nan=False)
    lines = [f"{name}: {figure_text(name, getattr(result, name))}" for name in FIGURES]
    assert result.intersection_bounds is not None and result.jaccard_bounds is not None
    low, high = result.intersection_bounds
    lines[0] += f" ({confidence:.0%} interval {round(capped(low))} to {round(capped(high))})"
    if not math.isnan(result.jaccard):
        low, high = result.jaccard_bounds
        lines[4] += f" ({confidence:.0%} interval {low:.4f} to {high:.4f})"
    return "\n".join(lines)


def by_key_text(path_a: str, path_b: str, by: list[str], confidence: float, as_json: bool) -> str:
    """The answer per key of two tables of group sketches: one line per key,
    largest intersection first (equal ones by key)."""
    from drisk import overlaps, rollup
    from drisk._cli_groups import SketchTable, is_table, json_key, key_text

    tables = []
    for path in (path_a, path_b):
        if not is_table(path):
            raise CliError(f"--by matches two tables of group sketches by key: {quoted(path)} is a sketch file")
        table = SketchTable(path).table
        missing = [name for name in by if name not in table.column_names or name == "sketch"]
        if missing:
            shown = ", ".join(repr(name) for name in missing)
            have = ", ".join(repr(name) for name in table.column_names if name != "sketch") or "none"
            raise CliError(f"{quoted(path)} has no key column {shown} (its key columns: {have})")
        tables.append(rollup(table.select([*by, "sketch"]), by))
    rows_a, rows_b = (
        dict(zip(zip(*(t.column(name).to_pylist() for name in by)), t.column("sketch").to_pylist())) for t in tables
    )
    keys = list(rows_a) + [key for key in rows_b if key not in rows_a]
    column_a = [rows_a.get(key) for key in keys]
    column_b = [rows_b.get(key) for key in keys]
    # A key one table lacks meets an empty sketch of the other's precision
    # (byte 6 of a packed sketch, which rollup gives).
    for mine, theirs in ((column_a, column_b), (column_b, column_a)):
        for i, cell in enumerate(mine):
            other = theirs[i]
            if cell is None:
                mine[i] = pack(HyperLogLog(other[6])) if other is not None else pack(HyperLogLog())
    figures = overlaps(column_a, column_b, confidence)
    order = sorted(
        range(len(keys)),
        key=lambda i: (
            -round(capped(float(figures["intersection"][i]))),
            [(k is not None, k if k is not None else 0) for k in keys[i]],
        ),
    )
    if as_json:
        out = []
        for i in order:
            parts = [json_key(k) for k in keys[i]]
            item = {name: float(figures[name][i]) for name in figures}
            record: dict[str, Any] = {"key": parts[0] if len(by) == 1 else parts}
            record.update({name: (None if math.isnan(v) else capped(v)) for name, v in item.items()})
            out.append(json.dumps(record, allow_nan=False))
        return "\n".join(out)
    return "\n".join(
        "\t".join(figure_text(name, float(figures[name][i])) for name in FIGURES)
        + "\t"
        + "\t".join(key_text(k) for k in keys[i])
        for i in order
    )
