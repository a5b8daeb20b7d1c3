"""Side-by-side timings of drisk and its peers, in one process.

Run from the repository root after installing drisk:

    pip install xxhash datasketch datasketches numpy isal
    python -m bench [--quick]
    python -m bench accuracy [--quick]    # estimator accuracy (bench/accuracy.py)

Every figure is the best of several rounds, in nanoseconds per operation.
Per-item figures include the Python for-loop that drives them, the same loop
for every peer.
"""
from __future__ import annotations

import argparse
import platform
import random
import time
from typing import Callable

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

    def show(self) -> str:
        lines = [f"| {'operation':<15} | {'implementation':<44} | {'ns/op':>12} | note |",
                 f"|{'-' * 17}|{'-' * 46}|{'-' * 14}|------|"]
        for group, name, ns, note in self.rows:
            lines.append(f"| {group:<15} | {name:<44} | {ns:>12,.1f} | {note} |")
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
    ours_str = table.add("update", "drisk HyperLogLog.update_str(str)",
                         best_ns(feed(h.update_str, texts), n, rounds))
    exact: set[bytes] = set()
    table.add("update", "set.add (exact answer)", best_ns(feed(exact.add, items), n, rounds))
    xxh = table.add("update", "xxhash.xxh3_64_intdigest(bytes)",
                    best_ns(feed(xxhash.xxh3_64_intdigest, items), n, rounds))
    ratios["update vs xxh3_64_intdigest"] = xxh / ours

    try:
        import datasketch

        small = items[: max(n // 10, 1000)]
        ds = datasketch.HyperLogLog(p=12)
        their = table.add("update", "datasketch.HyperLogLog(p=12).update",
                          best_ns(feed(ds.update, small), len(small), max(rounds // 2, 1)))
        ratios["update vs datasketch"] = their / ours
    except ImportError:
        pass
    try:
        import datasketches

        sk = datasketches.hll_sketch(12, datasketches.tgt_hll_type.HLL_8)
        their = table.add("update", "datasketches.hll_sketch(12, HLL_8).update(str)",
                          best_ns(feed(sk.update, texts), n, rounds))
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
        fast = table.add("count", f"drisk count() p={p}",
                         best_ns(lambda: [h.count() for _ in range(reps)], reps, rounds))
        # One register past the exactness bound sends count() down the
        # sequential reference loop over the same registers.
        regs = bytearray(h.to_bytes())
        regs[1] = 255
        slow_h = HyperLogLog.from_bytes(bytes(regs))
        slow = table.add("count", f"sequential reference loop p={p}",
                         best_ns(lambda: [slow_h.count() for _ in range(reps)], reps, rounds))
        ratios[f"count p={p} vs sequential"] = slow / fast
    return ratios


def bench_estimate(table: Table, rounds: int) -> dict[str, float]:
    """drisk.estimate (histogram pass + formula) beside count() on the same sketch."""
    import drisk

    ratios = {}
    for p in (12, 18):
        h = sketch_at(p)
        reps = 2000 if p == 12 else 100
        count = table.add("estimate", f"drisk count() p={p}",
                          best_ns(lambda: [h.count() for _ in range(reps)], reps, rounds))
        for method in ("improved", "ml"):
            ns = table.add("estimate", f"drisk.estimate(h, {method!r}) p={p}",
                           best_ns(lambda: [drisk.estimate(h, method) for _ in range(reps)], reps, rounds))
            ratios[f"estimate {method} / count() time at p={p} (lower is better)"] = ns / count
        table.add("estimate", f"drisk.error_bounds(h) p={p}",
                  best_ns(lambda: [drisk.error_bounds(h) for _ in range(reps)], reps, rounds))
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
        inplace = table.add("merge p=18", "numpy.maximum(x, y, out=x)",
                            best_ns(lambda: [np.maximum(x, y, out=x) for _ in range(reps)], reps, rounds))
        table.add("merge p=18", "numpy.maximum(x, y) (new array)",
                  best_ns(lambda: [np.maximum(x, y) for _ in range(reps)], reps, rounds))
        ratios["merge p=18 vs numpy.maximum(out=)"] = inplace / ours
    except ImportError:
        pass
    data = a.to_bytes()
    table.add("bytes p=18", "drisk to_bytes()", best_ns(lambda: [a.to_bytes() for _ in range(reps)], reps, rounds))
    table.add("bytes p=18", "drisk from_bytes()",
              best_ns(lambda: [HyperLogLog.from_bytes(data) for _ in range(reps)], reps, rounds))
    table.add("bytes p=18", "drisk copy()", best_ns(lambda: [a.copy() for _ in range(reps)], reps, rounds))
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
    fast = table.add("bulk", "drisk.update_many(h, items)",
                     best_ns(lambda: drisk.update_many(h, items), n, rounds))
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
        out = subprocess.run([sys.executable, "-m", "drisk", "count", "-q", path],
                             capture_output=True, check=True).stdout
        error = abs(int(out) - n_lines) / n_lines
        table.add(label, "drisk count relative error (x 1e6)", error * 1e6,
                  f"bound 3 x 1.04/sqrt(m) = {3 * 1.04 / 128 * 1e6:,.0f}")
    return ratios


def main() -> None:
    import sys

    if sys.argv[1:2] == ["accuracy"]:
        from bench import accuracy

        accuracy.main(sys.argv[2:])
        return
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer items and rounds")
    parser.add_argument("command", nargs="?", choices=["columns"],
                        help="columns: Arrow, NumPy and pandas columns beside polars, DuckDB and pandas")
    args = parser.parse_args()
    if args.command == "columns":
        from bench import columns

        columns.main(quick=args.quick)
        return
    n, rounds = (100_000, 3) if args.quick else (1_000_000, 5)

    table = Table()
    ratios: dict[str, float] = {}
    ratios.update(bench_update(table, n, rounds))
    ratios.update(bench_count(table, rounds))
    ratios.update(bench_estimate(table, rounds))
    ratios.update(bench_merge_and_bytes(table, rounds))
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
