"""Side-by-side timings of drisk and its peers, in one process.

Run from the repository root after installing drisk:

    pip install xxhash datasketch datasketches numpy isal
    python -m bench [--quick]             # everything in one process
    python -m bench pack                  # only pack() and unpack() against the raw form
    python -m bench dask [--quick]        # drisk.dask against Dask's nunique_approx()
                                          # (needs pip install drisk[dask])
    python -m bench columns [--quick]     # columnar inputs beside polars, DuckDB and pandas
    python -m bench grouped [--quick]     # sketch tables per group: rollup, estimates
    python -m bench accuracy [--quick]    # estimator accuracy (bench/accuracy.py)
    python -m bench overlap [--quick]     # intersections and Jaccard against inclusion-exclusion
                                          # (bench/overlap.py)
    python -m bench spark [--quick]       # drisk.spark beside Spark's hll_sketch_agg and
                                          # hll_union_agg on local[2] (bench/spark.py)
    python -m bench cli [--quick]         # the drisk tool, whole process, beside wc, cut,
                                          # sort and DuckDB (bench/cli.py)

Every figure is the best of several rounds, in nanoseconds per operation.
Per-item figures include the Python for-loop that drives them, the same loop
for every peer.
"""

from __future__ import annotations

import argparse
import platform
import random
import time
from collections.abc import Callable

from _drisk import HyperLogLog


def best_ns(fn: Callable[[], object], ops: int, rounds: int) -> float:
    """Best wall time of fn() over the rounds, per operation, in ns."""
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter_ns()
        fn()
        best = min(best, time.perf_counter_ns() - start)
    return best / ops


def keys(n: int, seed: int = 7) -> list[bytes]:
    """n distinct random keys, in allocation order (so the loop walks memory
    the way a real stream would, not in hash-set order)."""
    rng = random.Random(seed)
    seen: set[bytes] = set()
    out: list[bytes] = []
    while len(out) < n:
        key = rng.randbytes(rng.randrange(8, 17))
        if key not in seen:
            seen.add(key)
            out.append(key)
    return out


def feed(method: Callable[[object], object], items: list) -> Callable[[], None]:
    def run() -> None:
        for x in items:
            method(x)

    return run


class Table:
    def __init__(self) -> None:
        self.rows: list[tuple[str, str, float, str]] = []

    def add(self, group: str, name: str, ns: float, note: str = "") -> float:
        self.rows.append((group, name, ns, note))
        return ns

    def show(self, unit: str = "ns/op") -> str:
        lines = [
            f"| {'operation':<15} | {'implementation':<44} | {unit:>12} | note |",
            f"|{'-' * 17}|{'-' * 46}|{'-' * 14}|------|",
        ]
        for group, name, ns, note in self.rows:
            lines.append(
                f"| {group:<15} | {name:<44} | {ns:>12,.3f} | {note} |"
                if unit != "ns/op"
                else f"| {group:<15} | {name:<44} | {ns:>12,.1f} | {note} |"
            )
        return "\n".join(lines)


def bench_update(table: Table, n: int, rounds: int) -> dict[str, float]:
    import xxhash

    items = keys(n)
    texts = [x.hex() for x in items]
    ratios: dict[str, float] = {}

    def bare_loop() -> None:
        for _ in items:
            pass

    loop = table.add("update", "bare for-loop (baseline)", best_ns(bare_loop, n, rounds))
    h = HyperLogLog(12)
    ours = table.add("update", "drisk HyperLogLog.update(bytes)", best_ns(feed(h.update, items), n, rounds))
    ours_str = table.add("update", "drisk HyperLogLog.update_str(str)", best_ns(feed(h.update_str, texts), n, rounds))
    exact: set[bytes] = set()
    table.add("update", "set.add (exact answer)", best_ns(feed(exact.add, items), n, rounds))
    xxh = table.add(
        "update", "xxhash.xxh3_64_intdigest(bytes)", best_ns(feed(xxhash.xxh3_64_intdigest, items), n, rounds)
    )
    ratios["update vs xxh3_64_intdigest"] = xxh / ours

    try:
        import datasketch

        small = items[: max(n // 10, 1000)]
        ds = datasketch.HyperLogLog(p=12)
        their = table.add(
            "update",
            "datasketch.HyperLogLog(p=12).update",
            best_ns(feed(ds.update, small), len(small), max(rounds // 2, 1)),
        )
        ratios["update vs datasketch"] = their / ours
    except ImportError:
        pass
    try:
        import datasketches

        sk = datasketches.hll_sketch(12, datasketches.tgt_hll_type.HLL_8)
        their = table.add(
            "update", "datasketches.hll_sketch(12, HLL_8).update(str)", best_ns(feed(sk.update, texts), n, rounds)
        )
        ratios["update_str vs datasketches update(str)"] = their / ours_str
    except ImportError:
        pass
    table.add("update", "drisk update, loop subtracted", ours - loop)
    return ratios


def sketch_at(p: int) -> HyperLogLog:
    h = HyperLogLog(p)
    for i in range(5 * 2**p):
        h.update(i.to_bytes(8, "little"))
    return h


def bench_count(table: Table, rounds: int) -> dict[str, float]:
    ratios = {}
    for p in (12, 18):
        h = sketch_at(p)
        reps = 2000 if p == 12 else 100
        fast = table.add(
            "count", f"drisk count() p={p}", best_ns(lambda: [h.count() for _ in range(reps)], reps, rounds)
        )
        # One register past the exactness bound sends count() down the
        # sequential reference loop over the same registers.
        regs = bytearray(h.to_bytes())
        regs[1] = 255
        slow_h = HyperLogLog.from_bytes(bytes(regs))
        slow = table.add(
            "count",
            f"sequential reference loop p={p}",
            best_ns(lambda: [slow_h.count() for _ in range(reps)], reps, rounds),
        )
        ratios[f"count p={p} vs sequential"] = slow / fast
    return ratios


def bench_estimate(table: Table, rounds: int) -> dict[str, float]:
    """drisk.estimate (histogram pass + formula) beside count() on the same sketch."""
    import drisk

    ratios = {}
    for p in (12, 18):
        h = sketch_at(p)
        reps = 2000 if p == 12 else 100
        count = table.add(
            "estimate", f"drisk count() p={p}", best_ns(lambda: [h.count() for _ in range(reps)], reps, rounds)
        )
        for method in ("improved", "ml"):
            ns = table.add(
                "estimate",
                f"drisk.estimate(h, {method!r}) p={p}",
                best_ns(lambda: [drisk.estimate(h, method) for _ in range(reps)], reps, rounds),
            )
            ratios[f"estimate {method} / count() time at p={p} (lower is better)"] = ns / count
        table.add(
            "estimate",
            f"drisk.error_bounds(h) p={p}",
            best_ns(lambda: [drisk.error_bounds(h) for _ in range(reps)], reps, rounds),
        )
    return ratios


def bench_merge_and_bytes(table: Table, rounds: int) -> dict[str, float]:
    ratios = {}
    a, b = sketch_at(18), sketch_at(18)
    b.update(b"extra")
    reps = 200
    ours = table.add("merge p=18", "drisk a.merge(b)", best_ns(lambda: [a.merge(b) for _ in range(reps)], reps, rounds))
    try:
        import numpy as np

        x = np.frombuffer(a.registers(), dtype=np.uint8).copy()
        y = np.frombuffer(b.registers(), dtype=np.uint8).copy()
        inplace = table.add(
            "merge p=18",
            "numpy.maximum(x, y, out=x)",
            best_ns(lambda: [np.maximum(x, y, out=x) for _ in range(reps)], reps, rounds),
        )
        table.add(
            "merge p=18",
            "numpy.maximum(x, y) (new array)",
            best_ns(lambda: [np.maximum(x, y) for _ in range(reps)], reps, rounds),
        )
        ratios["merge p=18 vs numpy.maximum(out=)"] = inplace / ours
    except ImportError:
        pass
    data = a.to_bytes()
    table.add("bytes p=18", "drisk to_bytes()", best_ns(lambda: [a.to_bytes() for _ in range(reps)], reps, rounds))
    table.add(
        "bytes p=18",
        "drisk from_bytes()",
        best_ns(lambda: [HyperLogLog.from_bytes(data) for _ in range(reps)], reps, rounds),
    )
    table.add("bytes p=18", "drisk copy()", best_ns(lambda: [a.copy() for _ in range(reps)], reps, rounds))
    return ratios


def sketch_of(p: int, n: int) -> HyperLogLog:
    import drisk

    h = HyperLogLog(p)
    drisk.update_many(h, [i.to_bytes(8, "little") for i in range(n)])
    return h


def each(fn: Callable[[], object]) -> Callable[[int], None]:
    """fn called n times, each result dropped at once (a list of results
    would measure the allocator handing out fresh pages)."""

    def run(n: int) -> None:
        for _ in range(n):
            fn()

    return run


def per_call_ns(fn: Callable[[], object], reps: int, rounds: int) -> float:
    run = each(fn)
    return best_ns(lambda: run(reps), reps, rounds)


def bench_pack(table: Table, rounds: int) -> dict[str, float]:
    from drisk import pack, unpack

    ratios = {}
    for p in (14, 18):
        m = 2**p
        reps = 2000 if p == 14 else 200
        group = f"stored form p={p}"
        # Full: 20 m items leave no register at zero (expected zeros m e^-20).
        for label, n in (("full", 20 * m), ("2 m items", 2 * m), ("100 items", 100)):
            h = sketch_of(p, n)
            raw, packed = h.to_bytes(), pack(h)
            to_bytes = table.add(
                group, f"drisk to_bytes(), {label}", per_call_ns(h.to_bytes, reps, rounds), f"{len(raw):,} bytes"
            )
            packing = table.add(
                group, f"drisk pack(), {label}", per_call_ns(lambda: pack(h), reps, rounds), f"{len(packed):,} bytes"
            )
            from_bytes = table.add(
                group,
                f"drisk HyperLogLog.from_bytes(), {label}",
                per_call_ns(lambda: HyperLogLog.from_bytes(raw), reps, rounds),
            )
            unpacking = table.add(group, f"drisk unpack(), {label}", per_call_ns(lambda: unpack(packed), reps, rounds))
            if label == "full":
                ratios[f"pack time / to_bytes time, full p={p} (lower is better)"] = packing / to_bytes
                ratios[f"unpack time / from_bytes time, full p={p} (lower is better)"] = unpacking / from_bytes
    return ratios


def bench_bulk(table: Table, n: int, rounds: int) -> dict[str, float]:
    import drisk

    ratios = {}
    items = keys(n)
    h = HyperLogLog(12)

    def loop() -> None:
        for x in items:
            h.update(x)

    slow = table.add("bulk", "for x in items: h.update(x)", best_ns(loop, n, rounds))
    fast = table.add("bulk", "drisk.update_many(h, items)", best_ns(lambda: drisk.update_many(h, items), n, rounds))
    ratios["update_many vs update loop"] = slow / fast
    return ratios


def make_lines_file(path: str, n: int) -> None:
    with open(path, "wb") as f:
        step = 1_000_000
        for start in range(1, n + 1, step):
            f.write("".join(f"{i}\n" for i in range(start, min(start + step, n + 1))).encode())


def best_s(fn: Callable[[], object], rounds: int) -> float:
    return best_ns(fn, 1, rounds) / 1e9


def bench_files(table: Table, n_lines: int, rounds: int) -> dict[str, float]:
    import os
    import subprocess
    import sys
    import tempfile

    import drisk

    ratios = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "lines.txt")
        make_lines_file(path, n_lines)
        label = f"{n_lines // 1_000_000}M lines"

        def shell(cmd: str) -> Callable[[], object]:
            return lambda: subprocess.run(cmd, shell=True, check=True, stdout=subprocess.DEVNULL)

        wc = best_s(shell(f"wc -l {path}"), rounds)
        table.add(label, "wc -l FILE (ms)", wc * 1e3)

        def feed_file() -> None:
            drisk.update_file(HyperLogLog(14), path)

        lines = best_s(feed_file, rounds)
        table.add(label, "drisk.update_file -> update_lines (ms)", lines * 1e3)
        ratios["update_lines time / wc -l time (lower is better)"] = lines / wc

        tool = best_s(shell(f"{sys.executable} -m drisk count -q {path}"), rounds)
        table.add(label, "drisk count FILE, whole process (ms)", tool * 1e3)
        piped = best_s(shell(f"cat {path} | {sys.executable} -m drisk count -q"), rounds)
        table.add(label, "cat FILE | drisk count (ms)", piped * 1e3)

        # Compressed input: drisk decompresses it itself (gzip with isal when installed).
        subprocess.run(["gzip", "-k", path], check=True)
        packed = path + ".gz"
        zcat = best_s(shell(f"zcat {packed} | wc -l"), rounds)
        table.add(label, "zcat FILE.gz | wc -l (ms)", zcat * 1e3)
        gz_tool = best_s(shell(f"{sys.executable} -m drisk count -q {packed}"), rounds)
        table.add(label, "drisk count FILE.gz, whole process (ms)", gz_tool * 1e3)
        ratios["drisk count FILE.gz vs zcat | wc -l"] = zcat / gz_tool
        sort = best_s(shell(f"sort -u {path} | wc -l"), 1)
        table.add(label, "sort -u FILE | wc -l (ms)", sort * 1e3)
        awk = best_s(shell(f"awk '!seen[$0]++' {path} | wc -l"), 1)
        table.add(label, "awk '!seen[$0]++' FILE | wc -l (ms)", awk * 1e3)
        ratios["drisk count vs sort -u | wc -l"] = sort / tool
        ratios["drisk count vs awk | wc -l"] = awk / tool
        out = subprocess.run(
            [sys.executable, "-m", "drisk", "count", "-q", "-p", "14", path], capture_output=True, check=True
        ).stdout
        error = abs(int(out) - n_lines) / n_lines
        table.add(
            label,
            "drisk count relative error (x 1e6)",
            error * 1e6,
            f"bound 3 x 1.04/sqrt(m) = {3 * 1.04 / 128 * 1e6:,.0f}",
        )
    return ratios


# ---------------------------------------------------------------------------
# python -m bench dask
# ---------------------------------------------------------------------------

#: Rows of the Dask data set, and how many distinct values its columns hold.
DASK_ROWS = 10_000_000
DASK_DISTINCT = 4_000_000
DASK_PARTITIONS = 8


def dask_partition(i: int, rows: int, parts: int, distinct: int):  # type: ignore[no-untyped-def]
    """Partition i of the data set: x = k * 2654435761 mod distinct for the
    rows' numbers k. The multiplier is a prime, so every value below
    `distinct` occurs (rows >= distinct), spread over all partitions: the
    exact distinct count is `distinct`. s is x as text, "user-<x>"."""
    import numpy as np
    import pandas as pd

    start, stop = i * rows // parts, (i + 1) * rows // parts
    x = np.arange(start, stop, dtype=np.int64) * 2654435761 % distinct
    index = pd.RangeIndex(start, stop)
    return pd.DataFrame({"x": x, "s": "user-" + pd.Series(x, index=index).astype(str)}, index=index)


def scheduler_tasks(dask_scheduler) -> int:  # type: ignore[no-untyped-def]
    return len(dask_scheduler.tasks)


def bench_dask(rows: int, parts: int, distinct: int, rounds: int) -> None:
    import dask
    import dask.dataframe as dd
    import distributed
    import pandas as pd

    import drisk
    import drisk.dask

    table = Table()
    ratios: dict[str, float] = {}
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
        dask.config.set(scheduler=client),
    ):
        meta = pd.DataFrame({"x": pd.Series(dtype="int64"), "s": pd.Series(dtype="str")})
        df = dd.from_map(
            dask_partition, range(parts), rows=rows, parts=parts, distinct=distinct, meta=meta, enforce_metadata=False
        ).persist()
        distributed.wait(df)
        resident = client.run_on_scheduler(scheduler_tasks)

        def settled() -> None:
            """Waits until the scheduler has forgotten the last round's tasks:
            a round that follows at once would find the results of the same
            keys still in memory and time nothing."""
            deadline = time.monotonic() + 30
            while client.run_on_scheduler(scheduler_tasks) > resident and time.monotonic() < deadline:
                time.sleep(0.05)

        def fresh_s(fn: Callable[[], object], rounds: int) -> float:
            best = float("inf")
            for _ in range(rounds):
                settled()
                start = time.perf_counter()
                fn()
                best = min(best, time.perf_counter() - start)
            return best

        for column, label in (("s", "string column"), ("x", "int column")):
            series = df[column]
            group = f"{label}, time"
            estimates = {}

            def theirs() -> None:
                estimates["nunique_approx"] = float(series.nunique_approx().compute())

            def ours() -> None:
                estimates["drisk"] = drisk.dask.nunique(series, p=16)

            their_s = table.add(
                group, "Dask Series.nunique_approx() (2^16 registers)", fresh_s(theirs, max(rounds // 2, 1))
            )
            our_s = table.add(group, "drisk.dask.nunique(p=16)", fresh_s(ours, rounds))
            for name in ("nunique_approx", "drisk"):
                error = abs(estimates[name] - distinct) / distinct
                table.add(
                    f"{label}, error",
                    f"{name}, % off the exact count",
                    100 * error,
                    f"estimate {estimates[name]:,.0f} of {distinct:,}",
                )
            ratios[f"nunique_approx time / drisk.dask.nunique time, {label}"] = their_s / our_s

            # The same sketch from the whole column in this process.
            distributed_sketch = drisk.dask.sketch(series, p=16)
            values = series.compute().tolist()
            local = drisk.HyperLogLog(16)
            drisk.update_many(local, values if column == "s" else [str(v) for v in values])
            same = local.registers() == distributed_sketch.registers()
            table.add(f"{label}, identity", "registers equal to the one-process sketch", float(same), "1 = identical")

    print(
        f"Python {platform.python_version()}, Dask {dask.__version__}: LocalCluster(n_workers=2, "
        f"threads_per_worker=1, processes=True), {rows:,} rows in {parts} partitions, "
        f"{distinct:,} distinct values, best of {rounds} rounds for drisk\n"
    )
    print(table.show(unit="s or %"))
    print("\n| ratio (higher is better for drisk) | x |\n|---|---|")
    for name, value in ratios.items():
        print(f"| {name} | {value:.2f} |")


def main() -> None:
    import sys

    if sys.argv[1:2] == ["overlap"]:
        from bench import overlap

        overlap.main(sys.argv[2:])
        return
    if sys.argv[1:2] == ["accuracy"]:
        from bench import accuracy

        accuracy.main(sys.argv[2:])
        return
    if sys.argv[1:2] == ["month"]:
        from bench import month

        month.main(sys.argv[2:])
        return
    if sys.argv[1:2] == ["spark"]:
        from bench import spark

        spark.main(sys.argv[2:])
        return
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__.splitlines()[0])
    parser.add_argument(
        "what",
        nargs="?",
        choices=["all", "pack", "dask", "columns", "grouped", "cli"],
        default="all",
        help="all in-process benchmarks (default), only pack/unpack, Dask, or columns "
        "(Arrow, NumPy and pandas columns beside polars, DuckDB and pandas)",
    )
    parser.add_argument("--quick", action="store_true", help="fewer items and rounds")
    args = parser.parse_args()
    if args.what == "cli":
        from bench import cli

        cli.main(quick=args.quick)
        return
    if args.what == "grouped":
        from bench import grouped

        grouped.main(quick=args.quick)
        return
    if args.what == "columns":
        from bench import columns

        columns.main(quick=args.quick)
        return
    n, rounds = (100_000, 3) if args.quick else (1_000_000, 5)

    if args.what == "dask":
        scale = 10 if args.quick else 1
        bench_dask(DASK_ROWS // scale, DASK_PARTITIONS, DASK_DISTINCT // scale, 2 if args.quick else 3)
        return

    table = Table()
    ratios: dict[str, float] = {}
    if args.what == "all":
        ratios.update(bench_update(table, n, rounds))
        ratios.update(bench_count(table, rounds))
        ratios.update(bench_estimate(table, rounds))
        ratios.update(bench_merge_and_bytes(table, rounds))
    ratios.update(bench_pack(table, rounds))
    if args.what == "all":
        ratios.update(bench_bulk(table, n, rounds))
        ratios.update(bench_files(table, 10 * n, 3 if not args.quick else 1))

    print(f"Python {platform.python_version()} on {platform.machine()}, {platform.processor() or platform.platform()}")
    print(f"{n:,} distinct 8-16 byte keys, best of {rounds} rounds\n")
    print(table.show())
    print("\n| ratio (higher is better for drisk, unless noted) | x |\n|---|---|")
    for name, value in ratios.items():
        print(f"| {name} | {value:.2f} |")


if __name__ == "__main__":
    main()
