"""`python -m bench spark [--quick]`: drisk.spark beside Spark's own sketches.

The grouped bench's data (bench/grouped.py: 10 million (day, page, user)
rows over 30 days, page popularity Zipf-distributed, about 285,000 (day,
page) groups; --quick: a tenth), stored as Parquet and read by a local[2]
Spark session into a cached DataFrame, users as int64 and as strings. Each
run ends in Spark's "noop" writer, so that every row of the answer is made
and none is collected:

- from the raw rows: drisk.spark.sketch_by(day, page) against
  groupBy(day, page).agg(hll_sketch_agg(user)) (Spark's own HLL, from
  Apache DataSketches, at the same 2^12 registers), with
  approx_count_distinct(user) (Spark's default relative error, 5 %) beside;
- rolling up 30 stored daily tables (one Parquet directory per day) to
  pages: drisk.spark.rollup against hll_union_agg over Spark's own daily
  sketches, stored the same way;
- accuracy against exact counts, per (day, page) group and per page (groups
  with at least 100 distinct users), of every answer.

Every timing is the best of a few rounds, the runs taking turns. Spark's
scheduling and the JVM make the figures move more than the in-process
benches': the machine's load is printed beside them.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import shutil
import sys
import tempfile
from collections.abc import Callable
from typing import Any

from bench.columns import best_of
from bench.grouped import ROWS, P, make_rows


def session() -> Any:
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    spark = (
        SparkSession.builder.master("local[2]")
        .appName("drisk-bench")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.driver.memory", "6g")
        .config("spark.sql.shuffle.partitions", "4")
        .getOrCreate()
    )
    spark.sparkContext.setLogLevel("ERROR")
    return spark


def noop(frame: Any) -> Callable[[], None]:
    """Computes every row of the frame and drops it."""
    return lambda: frame.write.format("noop").mode("overwrite").save()


def load() -> str:
    one, five, _ = os.getloadavg()
    return f"load average {one:.2f} (1 min), {five:.2f} (5 min) on {os.cpu_count()} CPUs"


def errors(exact: dict[Any, int], answer: dict[Any, float]) -> tuple[float, float]:
    """(rms, max) relative error over the groups with at least 100 distinct users."""
    big = [key for key, n in exact.items() if n >= 100]
    errs = [(answer[key] - exact[key]) / exact[key] for key in big]
    return math.sqrt(sum(e * e for e in errs) / max(len(errs), 1)), max((abs(e) for e in errs), default=0.0)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m bench spark", description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the rows, fewer rounds")
    quick = parser.parse_args(argv).quick
    import pyarrow as pa
    import pyarrow.parquet as pq
    import pyspark
    from pyspark.sql import functions as F

    import drisk
    import drisk.spark

    rows = ROWS // 10 if quick else ROWS
    rounds = 2 if quick else 3
    table = make_rows(rows)
    strings = table.set_column(2, "user", table.column("user").cast(pa.string()))
    where = tempfile.mkdtemp(prefix="drisk-bench-spark-")
    try:
        pq.write_table(table, os.path.join(where, "ints.parquet"))
        pq.write_table(strings, os.path.join(where, "strings.parquet"))
        spark = session()
        print(f"Python {platform.python_version()}, pyspark {pyspark.__version__}, Spark {spark.version}, ", end="")
        print(f"Java {spark.sparkContext._jvm.System.getProperty('java.version')}: local[2], ", end="")
        print("spark.sql.shuffle.partitions=4, p=12 for every sketch")
        print(f"at the start: {load()}")
        frames = {}
        for name in ("ints", "strings"):
            frame = spark.read.parquet(os.path.join(where, f"{name}.parquet")).cache()
            frame.count()
            frames[name] = frame
        groups = frames["ints"].select("day", "page").distinct().count()
        print(f"{rows:,} rows in {frames['ints'].rdd.getNumPartitions()} partitions, {groups:,} (day, page) groups\n")

        raw: dict[str, Callable[[], Any]] = {}
        for name, label in (("ints", "int64"), ("strings", "string")):
            frame = frames[name]
            raw[f"drisk.spark.sketch_by(day, page) ({label} users)"] = noop(
                drisk.spark.sketch_by(frame, ["day", "page"], "user", p=P)
            )
            raw[f"groupBy(day, page).agg(hll_sketch_agg) ({label} users)"] = noop(
                frame.groupBy("day", "page").agg(F.hll_sketch_agg("user", P).alias("sketch"))
            )
            raw[f"groupBy(day, page).agg(approx_count_distinct) ({label} users)"] = noop(
                frame.groupBy("day", "page").agg(F.approx_count_distinct("user").alias("estimate"))
            )
            raw[f"drisk.spark.count_by(day, page) ({label} users)"] = noop(
                drisk.spark.count_by(frame, ["day", "page"], "user", p=P)
            )
        results = best_of(rounds, raw)

        # 30 stored daily tables each way: one Parquet directory per day.
        ours_dir, theirs_dir = os.path.join(where, "drisk-daily"), os.path.join(where, "spark-daily")
        drisk.spark.sketch_by(frames["ints"], ["day", "page"], "user", p=P).write.partitionBy("day").parquet(ours_dir)
        frames["ints"].groupBy("day", "page").agg(F.hll_sketch_agg("user", P).alias("sketch")).write.partitionBy(
            "day"
        ).parquet(theirs_dir)
        ours_daily, theirs_daily = spark.read.parquet(ours_dir), spark.read.parquet(theirs_dir)
        rollups: dict[str, Callable[[], Any]] = {
            "drisk.spark.rollup(30 daily tables, page)": noop(drisk.spark.rollup(ours_daily, "page")),
            "groupBy(page).agg(hll_union_agg) over 30 daily tables": noop(
                theirs_daily.groupBy("page").agg(F.hll_union_agg("sketch").alias("sketch"))
            ),
        }
        results.update(best_of(rounds, rollups))
        print(f"at the end of the timings: {load()}\n")
        ours_bytes = sum(len(c) for c in pq.read_table(ours_dir).column("sketch").to_pylist())
        theirs_bytes = sum(len(c) for c in pq.read_table(theirs_dir).column("sketch").to_pylist())
        print(f"daily sketch columns: drisk {ours_bytes / 2**20:,.1f} MiB, Spark's {theirs_bytes / 2**20:,.1f} MiB\n")

        print(f"| {'run':<62} | {'s':>7} | {'/ Spark HLL':>11} |")
        print(f"|{'-' * 64}|{'-' * 9}|{'-' * 13}|")
        for name, (seconds, _) in results.items():
            label = name.rsplit(" (", 1)[-1] if name.endswith("users)") else ""
            peer = (
                results.get(f"groupBy(day, page).agg(hll_sketch_agg) ({label}")
                if label
                else results["groupBy(page).agg(hll_union_agg) over 30 daily tables"]
            )
            ratio = f"{seconds / peer[0]:.2f}" if peer else ""
            print(f"| {name:<62} | {seconds:>7.2f} | {ratio:>11} |")

        accuracy(spark, table, frames["ints"], ours_daily, theirs_daily)
        spark.stop()
    finally:
        shutil.rmtree(where, ignore_errors=True)


def accuracy(spark: Any, table: Any, frame: Any, ours_daily: Any, theirs_daily: Any) -> None:
    """Errors per (day, page) and per page against exact counts."""
    import pyarrow as pa
    from pyspark.sql import functions as F

    import drisk.spark

    exact_groups = pa.TableGroupBy(table, ["day", "page"]).aggregate([("user", "count_distinct")])
    exact = {
        (d, p): n
        for d, p, n in zip(*(exact_groups.column(c).to_pylist() for c in ["day", "page", "user_count_distinct"]))
    }
    exact_pages = dict(
        zip(*pa.TableGroupBy(table, "page").aggregate([("user", "count_distinct")]).to_pydict().values(), strict=True)
    )

    def by_group(frame: Any, column: str) -> dict[Any, float]:
        got = frame.toArrow().to_pydict()
        return {(d, p): n for d, p, n in zip(got["day"], got["page"], got[column], strict=True)}

    def by_page(frame: Any, column: str) -> dict[Any, float]:
        got = frame.toArrow().to_pydict()
        return dict(zip(got["page"], got[column], strict=True))

    answers = {
        "drisk.spark.count_by": by_group(drisk.spark.count_by(frame, ["day", "page"], "user", p=P), "estimate"),
        "hll_sketch_estimate(hll_sketch_agg)": by_group(
            frame.groupBy("day", "page").agg(F.hll_sketch_estimate(F.hll_sketch_agg("user", P)).alias("n")), "n"
        ),
        "approx_count_distinct (rsd 0.05)": by_group(
            frame.groupBy("day", "page").agg(F.approx_count_distinct("user").alias("n")), "n"
        ),
        "approx_count_distinct (rsd 0.0173: 2^12 registers)": by_group(
            frame.groupBy("day", "page").agg(F.approx_count_distinct("user", 0.0173).alias("n")), "n"
        ),
    }
    big = sum(n >= 100 for n in exact.values())
    print(f"\naccuracy over {len(exact):,} (day, page) groups ({big:,} with at least 100 distinct users)")
    print(f"| {'answer':<52} | {'rms error':>9} | {'max error':>9} |")
    print(f"|{'-' * 54}|{'-' * 11}|{'-' * 11}|")
    for name, answer in answers.items():
        rms, worst = errors(exact, answer)
        print(f"| {name:<52} | {rms:>9.2%} | {worst:>9.2%} |")

    pages = {
        "drisk.spark.rollup + estimates": by_page(
            drisk.spark.estimates(drisk.spark.rollup(ours_daily, "page")), "estimate"
        ),
        "hll_sketch_estimate(hll_union_agg)": by_page(
            theirs_daily.groupBy("page").agg(F.hll_sketch_estimate(F.hll_union_agg("sketch")).alias("n")), "n"
        ),
    }
    big = sum(n >= 100 for n in exact_pages.values())
    print(f"\naccuracy over {len(exact_pages):,} pages ({big:,} with at least 100 distinct users), from daily sketches")
    print(f"| {'answer':<52} | {'rms error':>9} | {'max error':>9} |")
    print(f"|{'-' * 54}|{'-' * 11}|{'-' * 11}|")
    for name, answer in pages.items():
        rms, worst = errors(exact_pages, answer)
        print(f"| {name:<52} | {rms:>9.2%} | {worst:>9.2%} |")
