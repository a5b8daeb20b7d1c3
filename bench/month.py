"""`python -m bench month`: a month of page views, grouped, beside DuckDB and polars.

The data: 30 daily Parquet files (45 million rows; `day` date32, `page` a
URL of about 60 bytes, `user_id` int64 in the billions), about 330,000
(day, page) groups, 2.5 GB of URL text in all, more than a string column's
32-bit offsets can hold. It is made once and kept under DRISK_BENCH_DATA
(default ~/.cache/drisk-bench).

Measured, the best of ROUNDS rounds, the runs interleaved in each (a
virtual machine's first touches of fresh memory can cost seconds, and which
run meets them varies):

- drisk.sketch_by of the month streamed from the files in one call (a
  pyarrow dataset) beside DuckDB's GROUP BY ALL with approx_count_distinct
  and polars' scan_parquet group_by with approx_n_unique, each on two
  threads; drisk's peak resident memory above the process before the call;
- the tool: `drisk count --column user_id` and `--column user_id --by page`
  over the 30 files, beside the same questions to DuckDB, each as a whole
  process (start-up included);
- sketch_by of three days in memory as a polars DataFrame and as the
  pyarrow Table polars was made from.
"""

from __future__ import annotations

import math
import os
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

from bench.columns import best_of, resident_peak_above

DAYS = 30
ROWS_A_DAY = 1_500_000
PAGES = 11_000
USERS = 5_000_000


#: Rounds of each run; the best is shown.
ROUNDS = 3


def data_dir() -> Path:
    root = Path(os.environ.get("DRISK_BENCH_DATA", Path.home() / ".cache" / "drisk-bench"))
    return root / "month"


def make_month(where: Path) -> None:
    """The 30 files, written once (a marker file says they are whole)."""
    if (where / "done").exists():
        return
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    where.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(2026)
    urls = pa.array(
        [f"https://www.example.com/section-{k % 40:02d}/articles/{k:05d}-a-page-about-things" for k in range(PAGES)]
    )
    for day in range(DAYS):
        page = np.minimum(rng.zipf(1.1, ROWS_A_DAY), PAGES) - 1
        user = rng.integers(0, USERS, ROWS_A_DAY) * 1_000_003 + 3_000_000_000
        table = pa.table(
            {
                "day": pa.array(np.full(ROWS_A_DAY, 19_723 + day, dtype=np.int32)).cast(pa.date32()),
                "page": urls.take(pa.array(page)),
                "user_id": pa.array(user, pa.int64()),
            }
        )
        pq.write_table(table, where / f"day-{day + 1:02d}.parquet")
    (where / "done").write_text("30 days\n")


def whole_process(argv: list[str]) -> float:
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main(argv: list[str]) -> None:
    import duckdb
    import pyarrow.dataset as ds

    import drisk

    where = data_dir()
    make_month(where)
    files = sorted(str(path) for path in where.glob("day-*.parquet"))
    glob = f"{where}/day-*.parquet"
    con = duckdb.connect()
    con.execute("SET threads = 2")
    duck_query = f"SELECT day, page, approx_count_distinct(user_id) FROM '{glob}' GROUP BY ALL"
    runs: dict[str, Any] = {
        "drisk.sketch_by(dataset of the 30 files)": lambda: drisk.sketch_by(
            ds.dataset(files, format="parquet"), ["day", "page"], "user_id"
        ),
        "DuckDB GROUP BY ALL approx_count_distinct": lambda: con.sql(duck_query).fetch_arrow_table(),
    }
    try:
        import polars as pl

        runs["polars scan_parquet group_by approx_n_unique"] = lambda: (
            pl.scan_parquet(glob).group_by(["day", "page"]).agg(pl.col("user_id").approx_n_unique()).collect()
        )
    except ImportError:
        pl = None
    results = best_of(ROUNDS, runs)
    groups = results["drisk.sketch_by(dataset of the 30 files)"][1].num_rows
    _, resident = resident_peak_above(
        lambda: drisk.sketch_by(ds.dataset(files, format="parquet"), ["day", "page"], "user_id")
    )
    print(f"{DAYS * ROWS_A_DAY:,} rows in {len(files)} Parquet files, {groups:,} (day, page) groups")
    print(f"drisk.sketch_by peak resident memory above the process before it: {resident / 2**20:,.0f} MiB\n")
    print(f"| {'run':<50} | {'s':>7} |\n|{'-' * 52}|{'-' * 9}|")
    for name, (seconds, _) in results.items():
        print(f"| {name:<50} | {seconds:>7.2f} |")
    ours = results["drisk.sketch_by(dataset of the 30 files)"][0]
    print(f"\nsketch_by / DuckDB: {ours / results['DuckDB GROUP BY ALL approx_count_distinct'][0]:.2f}")

    tool = [sys.executable, "-m", "drisk", "count", "--quiet", "--column", "user_id"]
    duck = [
        sys.executable,
        "-c",
        "import duckdb, sys; duckdb.execute('SET threads = 2'); duckdb.sql(sys.argv[1]).fetchall()",
    ]
    processes = {
        "drisk count --column user_id": tool + files,
        "DuckDB approx_count_distinct(user_id)": duck + [f"SELECT approx_count_distinct(user_id) FROM '{glob}'"],
        "drisk count --column user_id --by page": [*tool, "--by", "page", *files],
        "DuckDB GROUP BY page approx_count_distinct": duck
        + [f"SELECT page, approx_count_distinct(user_id) FROM '{glob}' GROUP BY page"],
    }
    times = {name: math.inf for name in processes}
    for _ in range(ROUNDS):
        for name, command in processes.items():
            times[name] = min(times[name], whole_process(command))
    print(f"\n| {'whole process':<50} | {'s':>7} |\n|{'-' * 52}|{'-' * 9}|")
    for name, seconds in times.items():
        print(f"| {name:<50} | {seconds:>7.2f} |")
    plain = times["drisk count --column user_id"] / times["DuckDB approx_count_distinct(user_id)"]
    print(f"\ndrisk count / DuckDB: {plain:.2f}")
    print(
        f"drisk count --by page / DuckDB: "
        f"{times['drisk count --column user_id --by page'] / times['DuckDB GROUP BY page approx_count_distinct']:.2f}"
    )

    if pl is not None:
        table = ds.dataset(files[:3], format="parquet").to_table().combine_chunks()
        frame = pl.from_arrow(table)
        three = best_of(
            5,
            {
                "pyarrow Table": lambda: drisk.sketch_by(table, ["day", "page"], "user_id"),
                "polars DataFrame": lambda: drisk.sketch_by(frame, ["day", "page"], "user_id"),
            },
        )
        arrow_time, polars_time = three["pyarrow Table"][0], three["polars DataFrame"][0]
        print(
            f"\nsketch_by of three days in memory ({table.num_rows:,} rows): pyarrow Table {arrow_time:.3f} s, "
            f"polars DataFrame {polars_time:.3f} s ({polars_time / arrow_time:.2f}x)"
        )
