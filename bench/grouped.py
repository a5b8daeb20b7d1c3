"""`python -m bench grouped`: sketches per group, beside the engines.

One run, one data set: 10 million (day, page, user) rows over 30 days, page
popularity Zipf-distributed (about 285,000 (day, page) groups), user ids as
int64 and as strings. The engines answer the per-group question from the raw
rows (DuckDB's GROUP BY ... approx_count_distinct, polars'
group_by().agg(approx_n_unique()), both on two threads); drisk answers it
from the raw rows too (sketch_by, count_by), and keeps one packed sketch per
(day, page) to answer later questions from those alone:

- sketch_by() and count_by() on the raw rows beside the engines, for int64
  and string users, and the peak memory of sketch_by above its input;
- the daily sketch table: its size beside dense sketches for the same groups;
- rollup() of the daily table (30 days of sketch tables) to pages (pyarrow
  and polars tables), and the same through the DuckDB functions and the
  polars expressions, against sketch_by() on the raw rows; the whole table
  to one sketch the three ways, and the peak memory of rollup() above its
  input both ways;
- estimates() over the whole sketch column;
- accuracy per (day, page) group and per page: errors against the exact
  counts and the coverage of 95 % intervals over groups with at least 100
  distinct users, beside polars' and DuckDB's errors.

Every timing is the best of several rounds, the runs taking turns.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

from bench.columns import best_of, resident_peak_above

ROWS = 10_000_000
DAYS = 30
# Zipf exponent and largest page id: about 285,000 (day, page) groups among
# 10 million rows.
ZIPF = 1.4
PAGES = 100_000
USERS = 2_000_000
P = 12


def make_rows(rows: int) -> Any:
    import numpy as np
    import pyarrow as pa

    rng = np.random.default_rng(2026)
    return pa.table(
        {
            "day": rng.integers(0, DAYS, rows, dtype=np.int32),
            "page": np.minimum(rng.zipf(ZIPF, rows), PAGES).astype(np.int64),
            "user": rng.integers(0, USERS, rows, dtype=np.int64),
        }
    )


def daily_sketches(table: Any) -> Any:
    """The (day, page, sketch) table: each group's packed sketch of its users."""
    import drisk

    return drisk.sketch_by(table, ["day", "page"], "user", p=P)


def store_footprint(table: Any) -> tuple[int, int, int]:
    """The grouped store fed every row, one group per (day, page), each user
    by a 64-bit hash of its id: (register bytes in use, bytes taken from the
    system, bytes of every group packed)."""
    import numpy as np

    from drisk import _groupprobe

    day = table.column("day").to_numpy()
    page = table.column("page").to_numpy()
    _, group = np.unique(page * DAYS + day, return_inverse=True)
    # splitmix64 of the user id: a well-mixed 64-bit hash per distinct user.
    z = table.column("user").to_numpy().astype(np.uint64) + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    z = z ^ (z >> np.uint64(31))
    in_use, reserved, packed = _groupprobe.store_footprint(group.astype(np.uint32), z, P)
    return in_use, reserved, sum(map(len, packed))


def main(quick: bool = False) -> None:
    import numpy as np
    import pyarrow as pa

    import drisk

    rows = ROWS // 10 if quick else ROWS
    rounds = 3 if quick else 7
    table = make_rows(rows)
    daily = daily_sketches(table)
    groups = daily.num_rows
    sketch_bytes = sum(len(c) for c in daily.column("sketch").to_pylist())
    dense_bytes = groups * (2**P + 15)

    strings = table.set_column(2, "user", table.column("user").cast(pa.string()))
    raw_runs: dict[str, Callable[[], Any]] = {
        "drisk.sketch_by(day, page; int64 users)": lambda: drisk.sketch_by(table, ["day", "page"], "user"),
        "drisk.count_by(day, page; int64 users)": lambda: drisk.count_by(table, ["day", "page"], "user"),
        "drisk.sketch_by(day, page; string users)": lambda: drisk.sketch_by(strings, ["day", "page"], "user"),
        "drisk.count_by(day, page; string users)": lambda: drisk.count_by(strings, ["day", "page"], "user"),
    }
    runs: dict[str, Callable[[], Any]] = {
        "drisk.rollup(daily pyarrow table, 'page')": lambda: drisk.rollup(daily, "page"),
        "drisk.rollup(daily pyarrow table, None)": lambda: drisk.rollup(daily, None),
        "drisk.estimates(daily sketch column)": lambda: drisk.estimates(daily.column("sketch")),
    }
    try:
        import duckdb

        import drisk.duckdb

        con = duckdb.connect()
        con.execute("SET threads = 2")
        con.register("raw", table)
        con.register("raw_strings", strings)
        con.register("daily", daily)
        drisk.duckdb.register(con)
        for name, source in (("int64", "raw"), ("string", "raw_strings")):
            raw_runs[f"duckdb GROUP BY day, page approx_count_distinct ({name} users)"] = lambda source=source: con.sql(
                f"SELECT day, page, approx_count_distinct(user) FROM {source} GROUP BY day, page"
            ).to_arrow_table()
        runs["duckdb drisk_estimate(drisk_union(list(sketch))) GROUP BY page"] = lambda: con.sql(
            "SELECT page, drisk_estimate(drisk_union(list(sketch))) FROM daily GROUP BY page"
        ).to_arrow_table()
        runs["duckdb drisk_union(list(sketch)) over the whole table"] = lambda: con.sql(
            "SELECT drisk_union(list(sketch)) FROM daily"
        ).to_arrow_table()
    except ImportError:
        con = None
    try:
        import polars as pl

        import drisk.polars

        daily_pl = pl.from_arrow(daily)
        for name, source in (("int64", table), ("string", strings)):
            frame = pl.from_arrow(source)
            raw_runs[f"polars group_by(day, page).agg(approx_n_unique) ({name} users)"] = lambda frame=frame: (
                frame.group_by(["day", "page"]).agg(pl.col("user").approx_n_unique())
            )
        runs["drisk.rollup(daily polars DataFrame, 'page')"] = lambda: drisk.rollup(daily_pl, "page")
        runs["polars group_by(page).agg(drisk.polars.union(sketch))"] = lambda: daily_pl.group_by("page").agg(
            drisk.polars.union("sketch")
        )
        runs["polars select(drisk.polars.union(sketch))"] = lambda: daily_pl.select(drisk.polars.union("sketch"))
    except ImportError:
        pl = None

    results = best_of(rounds, raw_runs)
    results.update(best_of(rounds, runs))
    traced, resident = resident_peak_above(lambda: drisk.rollup(daily, "page"))
    traced_whole, resident_whole = resident_peak_above(lambda: drisk.rollup(daily, None))
    sketch_by_peak = {
        name: resident_peak_above(lambda source=source: drisk.sketch_by(source, ["day", "page"], "user"))
        for name, source in (("int64", table), ("string", strings))
    }
    in_use, reserved, packed_total = store_footprint(table)

    print(f"{rows:,} rows, {groups:,} (day, page) groups, p={P}")
    print(f"daily sketch column: {sketch_bytes / 2**20:,.1f} MiB packed", end="; ")
    print(f"dense sketches: {dense_bytes / 2**20:,.1f} MiB")
    print(f"rollup peak above its input: {traced / 2**20:,.1f} MiB traced, {resident / 2**20:,.1f} MiB resident")
    print(
        f"rollup to one sketch (by None) peak above its input: {traced_whole / 2**20:,.1f} MiB traced, "
        f"{resident_whole / 2**20:,.1f} MiB resident"
    )
    for name, (traced_rows, resident_rows) in sketch_by_peak.items():
        print(
            f"sketch_by ({name} users) peak above its input: {traced_rows / 2**20:,.1f} MiB traced, "
            f"{resident_rows / 2**20:,.1f} MiB resident"
        )
    print(
        f"grouped store fed every row: {in_use / 2**20:,.1f} MiB of registers in use, "
        f"{reserved / 2**20:,.1f} MiB taken from the system, {groups * 16 / 2**20:,.1f} MiB of group headers; "
        f"{packed_total / 2**20:,.1f} MiB packed\n"
    )
    print(f"| {'run':<68} | {'ms':>9} |")
    print(f"|{'-' * 70}|{'-' * 11}|")
    for name, (seconds, _) in results.items():
        print(f"| {name:<68} | {seconds * 1e3:>9,.1f} |")
    print()
    for name in ("int64", "string"):
        ours = results[f"drisk.sketch_by(day, page; {name} users)"][0]
        duck = results.get(f"duckdb GROUP BY day, page approx_count_distinct ({name} users)")
        polars_time = results.get(f"polars group_by(day, page).agg(approx_n_unique) ({name} users)")
        if duck is not None:
            print(f"sketch_by / DuckDB's GROUP BY ({name} users): {ours / duck[0]:.2f}")
        if polars_time is not None:
            print(f"sketch_by / polars' group_by ({name} users): {ours / polars_time[0]:.2f}")
    rollup = results["drisk.rollup(daily pyarrow table, 'page')"][0]
    raw = results["drisk.sketch_by(day, page; int64 users)"][0]
    print(f"rollup of the daily tables to pages / sketch_by on the raw rows: {rollup / raw:.3f}")
    group_accuracy(table, con, pl)

    # Accuracy per page.
    rolled = drisk.rollup(daily, "page").to_pydict()
    exact = dict(
        zip(*pa.TableGroupBy(table, "page").aggregate([("user", "count_distinct")]).to_pydict().values(), strict=True)
    )
    estimates = dict(zip(rolled["page"], drisk.estimates(rolled["sketch"]), strict=True))
    big = [k for k in rolled["page"] if exact[k] >= 100]
    covered = 0
    for k, cell in zip(rolled["page"], rolled["sketch"], strict=True):
        if exact[k] >= 100:
            low, high = drisk.error_bounds(drisk.unpack(cell), 0.95)
            covered += low <= exact[k] <= high
    print(f"\naccuracy over {len(rolled['page']):,} pages ({len(big):,} with at least 100 distinct users)")
    print(f"| {'answer (pages with at least 100 users)':<40} | {'rms error':>9} | {'max error':>9} |")
    print(f"|{'-' * 42}|{'-' * 11}|{'-' * 11}|")

    def row(name: str, answer: dict[Any, float]) -> None:
        errs = np.array([(answer[k] - exact[k]) / exact[k] for k in big])
        print(f"| {name:<40} | {math.sqrt(float(np.mean(errs**2))):>9.2%} | {float(np.max(np.abs(errs))):>9.2%} |")

    row("drisk rollup of daily sketches", estimates)
    if pl is not None:
        row(
            "polars approx_n_unique per page",
            dict(pl.from_arrow(table).group_by("page").agg(pl.col("user").approx_n_unique()).iter_rows()),
        )
    if con is not None:
        row(
            "DuckDB approx_count_distinct per page",
            dict(con.sql("SELECT page, approx_count_distinct(user) FROM raw GROUP BY page").fetchall()),
        )
    print(f"\ncoverage of drisk's 95 % intervals over those pages: {covered / max(len(big), 1):.1%}")


def group_accuracy(table: Any, con: Any, pl: Any) -> None:
    """Errors per (day, page) group of sketch_by's estimates and the
    engines', and the coverage of count_by's 95 % intervals, over groups
    with at least 100 distinct users."""
    import numpy as np
    import pyarrow as pa

    import drisk

    exact_table = pa.TableGroupBy(table, ["day", "page"]).aggregate([("user", "count_distinct")])
    exact = {
        (d, p): n
        for d, p, n in zip(*(exact_table.column(c).to_pylist() for c in ["day", "page", "user_count_distinct"]))
    }
    counted = drisk.count_by(table, ["day", "page"], "user", confidence=0.95).to_pydict()
    big = [key for key, n in exact.items() if n >= 100]
    covered = 0
    ours = {}
    for d, p, e, lo, hi in zip(*counted.values(), strict=True):
        ours[(d, p)] = e
        n = exact[(d, p)]
        if n >= 100:
            covered += lo <= n <= hi
    print(f"\naccuracy over {len(exact):,} (day, page) groups ({len(big):,} with at least 100 distinct users)")
    print(f"| {'answer (groups with at least 100 users)':<42} | {'rms error':>9} | {'max error':>9} |")
    print(f"|{'-' * 44}|{'-' * 11}|{'-' * 11}|")

    def row(name: str, answer: dict[Any, float]) -> None:
        errs = np.array([(answer[k] - exact[k]) / exact[k] for k in big])
        print(f"| {name:<42} | {math.sqrt(float(np.mean(errs**2))):>9.2%} | {float(np.max(np.abs(errs))):>9.2%} |")

    row("drisk count_by per (day, page)", ours)
    if pl is not None:
        answer = pl.from_arrow(table).group_by(["day", "page"]).agg(pl.col("user").approx_n_unique())
        row("polars approx_n_unique per (day, page)", {(d, p): n for d, p, n in answer.iter_rows()})
    if con is not None:
        answer = con.sql("SELECT day, page, approx_count_distinct(user) FROM raw GROUP BY day, page").fetchall()
        row("DuckDB approx_count_distinct per (day, page)", {(d, p): n for d, p, n in answer})
    print(f"\ncoverage of count_by's 95 % intervals over those groups: {covered / max(len(big), 1):.1%}")
