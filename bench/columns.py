"""`python -m bench columns`: columns into a sketch, beside the column engines.

One run, one data set: 10 million rows with about 4 million distinct values,
as a NumPy int64 array and as a pyarrow string column of the same numbers,
as int64 ids of two more widths (below 4 * 10^9, ten digits, and below 2^62,
nineteen: snowflake ids, hashed keys), the same values spread by an odd
multiplier,
as float64 columns of three kinds: whole numbers (an integer column that
pandas turned to float64 for a missing value), prices in cents (n / 100,
the fractions data usually holds) and full-precision fractions (n / 7, all
seventeen digits: the worst case for writing a float's text), and as
columns whose values are written as text by the identity rules (each
error then against that column's own exact count): timestamps
in microseconds (about two years of them, sorted as logs are, so that each
value comes in a run of 2.5 equal rows on average, which drisk writes and
hashes once per run), dates (the
years 53 to 9909, every day of them: as many distinct values as the other
columns, which no real date column has) and decimal128(18, 2) amounts.
The first line names the CPU and the vector path drisk took there
(DRISK_DISABLE_CPU_FEATURES forces the others). Every timing is the best of
several rounds, drisk and its peers taking turns within each round so that
they see the same machine. Peak memory is measured
around one drisk call, both as Python allocations (tracemalloc) and as
resident memory (the kernel's high-water mark, reset just before the call),
beyond what the sketch and the input already hold.
"""

from __future__ import annotations

import gc
import math
import time
import tracemalloc
from collections.abc import Callable
from typing import Any

from _drisk import HyperLogLog

ROWS = 10_000_000
# Draws from 4.5 million values: about 4.0 million distinct among 10 million.
VALUES = 4_500_000
P = 14


def best_of(rounds: int, runs: dict[str, Callable[[], Any]]) -> dict[str, tuple[float, Any]]:
    """{name: (best seconds, last answer)}, the runs interleaved per round."""
    best: dict[str, tuple[float, Any]] = {name: (math.inf, None) for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            start = time.perf_counter()
            answer = run()
            took = time.perf_counter() - start
            best[name] = (min(best[name][0], took), answer)
    return best


def resident_peak_above(run: Callable[[], Any]) -> tuple[int, int]:
    """(tracemalloc peak, resident high-water mark) in bytes above the
    state before run(); the resident figure is -1 where the kernel cannot
    reset its high-water mark."""

    def status(field: str) -> int:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field):
                    return int(line.split()[1]) * 1024
        return -1

    gc.collect()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current resident size
        resident_before = status("VmRSS:")
    except OSError:
        resident_before = -1
    run()
    resident = status("VmHWM:") - resident_before if resident_before >= 0 else -1
    traced = tracemalloc.get_traced_memory()[1] - traced_before
    tracemalloc.stop()
    return traced, resident


# The float64 columns: name -> (target of drisk / polars, values from the ints).
# The wider int64 columns: name -> (target of drisk / polars, values from
# the ints). The multipliers are odd and the products stay below the width,
# so the distinct count is the ints'.
WIDE_INT_KINDS: dict[str, tuple[str, Callable[[Any], Any]]] = {
    "ids < 4e9": ("<= 1.0", lambda ints: ints * 887 + 12_345),
    "ids < 2^62": ("<= 1.0", lambda ints: ints * 1_000_000_000_039 + 4_000_000_000_000),
}


def wide_int_runs(ints: Any, ours: Callable[[Any], Callable[[], float]], pl: Any) -> dict[str, dict]:
    """One group of runs per int64 width: the NumPy array into drisk, polars'
    approx_n_unique on the same values."""
    groups: dict[str, dict[str, Callable[[], Any]]] = {}
    for label, (_, make) in WIDE_INT_KINDS.items():
        values = make(ints)
        runs: dict[str, Callable[[], Any]] = {f"drisk.update_many(numpy int64, {label})": ours(values)}
        if pl is not None:
            runs[f"polars Series.approx_n_unique() (int64, {label})"] = pl.Series(values).approx_n_unique
        groups[label] = runs
    return groups


def cpu_path() -> str:
    """The CPU's name and the vector path drisk takes on it."""
    from drisk import _probe

    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), model)
    except OSError:
        pass
    avx2, avx512, vbmi2 = _probe.cpu_features()
    path = "AVX-512 with VBMI2" if vbmi2 else "AVX-512" if avx512 else "AVX2" if avx2 else "portable"
    return f"{model}; path: {path}"


FLOAT_KINDS: dict[str, tuple[str, Callable[[Any], Any]]] = {
    "whole": ("<= 1.0", lambda ints: ints.astype("float64")),
    "cents": ("<= 2.0", lambda ints: ints / 100),
    "n / 7": ("<= 2.0", lambda ints: ints / 7),
}


def float_runs(ints: Any, ours: Callable[[Any], Callable[[], float]], pl: Any) -> dict[str, dict]:
    """One group of runs per float64 column kind: NumPy and Arrow into drisk,
    polars' approx_n_unique on the same values."""
    import pyarrow as pa

    groups: dict[str, dict[str, Callable[[], Any]]] = {}
    for label, (_, make) in FLOAT_KINDS.items():
        values = make(ints)
        runs: dict[str, Callable[[], Any]] = {
            f"drisk.update_many(numpy float64, {label})": ours(values),
            f"drisk.update_many(pyarrow float64, {label})": ours(pa.array(values)),
        }
        if pl is not None:
            runs[f"polars Series.approx_n_unique() (float64, {label})"] = pl.Series(values).approx_n_unique
        groups[label] = runs
    return groups


# The columns of dates, timestamps and decimals: name -> (target of drisk /
# polars, the pyarrow column made from the ints).
TEXT_KINDS: dict[str, tuple[str, Callable[[Any], Any]]] = {
    "timestamp[us]": (
        "<= 2.0",
        lambda ints: _pa().array(1_704_067_200_000_000 + _sorted(ints) * 14_000_003, _pa().timestamp("us")),
    ),
    "date32": ("<= 2.0", lambda ints: _pa().array((ints % 3_600_000 - 700_000).astype("int32"), _pa().date32())),
    "decimal128(18, 2)": ("<= 3.0", lambda ints: _decimals(ints * 7 - 10_000_000)),
}


def _decimals(cents: Any) -> Any:
    """A decimal128(18, 2) column of the amounts cents / 100: each value a
    128-bit little-endian coefficient, its high half the low half's sign."""
    import numpy as np

    pa = _pa()
    limbs = np.empty((len(cents), 2), dtype=np.int64)
    limbs[:, 0] = cents
    limbs[:, 1] = cents >> 63
    return pa.Array.from_buffers(pa.decimal128(18, 2), len(cents), [None, pa.py_buffer(limbs)])


def _pa() -> Any:
    import pyarrow

    return pyarrow


def _sorted(ints: Any) -> Any:
    import numpy as np

    return np.sort(ints)


def text_runs(
    ints: Any, ours: Callable[[Any], Callable[[], float]], pl: Any, exacts: dict[str, int]
) -> dict[str, dict]:
    """One group of runs per date, timestamp or decimal column: the pyarrow
    column into drisk, polars' approx_n_unique on the same column (and for
    timestamps and dates the NumPy datetime64 array into drisk too). Each
    run's exact count goes into `exacts` where it is not the ints' count."""
    import numpy as np

    groups: dict[str, dict[str, Callable[[], Any]]] = {}
    for label, (_, make) in TEXT_KINDS.items():
        column = make(ints)
        distinct = len(np.unique(column.to_numpy(zero_copy_only=False)))
        runs: dict[str, Callable[[], Any]] = {f"drisk.update_many(pyarrow {label})": ours(column)}
        if not label.startswith("decimal"):
            runs[f"drisk.update_many(numpy {label})"] = ours(column.to_numpy(zero_copy_only=False))
        if pl is not None:
            runs[f"polars Series.approx_n_unique() ({label})"] = pl.Series(column).approx_n_unique
        exacts.update(dict.fromkeys(runs, distinct))
        groups[label] = runs
    return groups


def main(quick: bool = False) -> None:
    import numpy as np
    import pyarrow as pa

    import drisk

    rows = ROWS // 10 if quick else ROWS
    rounds = 3 if quick else 11
    rng = np.random.default_rng(2024)
    ints = rng.integers(0, VALUES * rows // ROWS, rows, dtype=np.int64)
    strings = pa.array(ints).cast(pa.string())
    exact = len(np.unique(ints))
    bound = 3 * 1.04 / math.sqrt(2**P)

    def ours(items: Any) -> Callable[[], float]:
        def run() -> float:
            h = HyperLogLog(P)
            drisk.update_many(h, items)
            return h.count()

        return run

    string_runs: dict[str, Callable[[], Any]] = {"drisk.update_many(pyarrow string column)": ours(strings)}
    int_runs: dict[str, Callable[[], Any]] = {"drisk.update_many(numpy int64 array)": ours(ints)}
    slow_runs: dict[str, Callable[[], Any]] = {}
    try:
        import polars as pl

        pl_strings, pl_ints = pl.Series(strings), pl.Series(ints)
        string_runs["polars Series.approx_n_unique() (string)"] = pl_strings.approx_n_unique
        int_runs["polars Series.approx_n_unique() (int64)"] = pl_ints.approx_n_unique
        string_runs["drisk.update_many(polars string Series)"] = ours(pl_strings)
    except ImportError:
        pl = None
    try:
        import duckdb

        connection = duckdb.connect()
        connection.register("numbers", pa.table({"x": ints}))

        def duckdb_count() -> int:
            return int(connection.sql("SELECT approx_count_distinct(x) FROM numbers").fetchall()[0][0])

        int_runs["duckdb approx_count_distinct (int64)"] = duckdb_count
    except ImportError:
        duckdb = None
    try:
        import pandas as pd

        pd_strings = strings.to_pandas()  # pandas' default "str" dtype, Arrow-backed
        slow_runs["pandas Series.nunique() (str dtype)"] = pd_strings.nunique
        int_runs["drisk.update_many(pandas int64 Series)"] = ours(pd.Series(ints))
    except ImportError:
        pd = None

    wide_groups = wide_int_runs(ints, ours, pl)
    float_groups = float_runs(ints, ours, pl)
    exacts: dict[str, int] = {}
    text_groups = text_runs(ints, ours, pl, exacts)

    results = {}
    results.update(best_of(rounds, string_runs))
    results.update(best_of(rounds, int_runs))
    for runs in [*wide_groups.values(), *float_groups.values(), *text_groups.values()]:
        results.update(best_of(rounds, runs))
    results.update(best_of(1, slow_runs))

    memory = {
        "pyarrow string column": resident_peak_above(ours(strings)),
        "numpy int64 array": resident_peak_above(ours(ints)),
    }

    print(f"CPU: {cpu_path()}")
    print(f"{rows:,} rows, {exact:,} distinct; p={P}, bound 3 x 1.04/sqrt(m) = {bound:.2%}\n")
    print(f"| {'run':<52} | {'ms':>9} | {'answer':>11} | {'error':>7} |")
    print(f"|{'-' * 54}|{'-' * 11}|{'-' * 13}|{'-' * 9}|")
    for name, (seconds, answer) in results.items():
        error = (answer - exacts.get(name, exact)) / exacts.get(name, exact)
        print(f"| {name:<52} | {seconds * 1e3:>9,.1f} | {answer:>11,.0f} | {error:>+7.2%} |")

    def time_of(name: str) -> float:
        return results[name][0]

    ratios = []
    ours_str = time_of("drisk.update_many(pyarrow string column)")
    ours_int = time_of("drisk.update_many(numpy int64 array)")
    if pl is not None:
        polars_str = time_of("polars Series.approx_n_unique() (string)")
        polars_int = time_of("polars Series.approx_n_unique() (int64)")
        ratios.append(("string: drisk / polars approx_n_unique", ours_str / polars_str, "<= 0.5"))
        ratios.append(("int64: drisk / polars approx_n_unique", ours_int / polars_int, "<= 1.0"))
        for label, (target, _) in WIDE_INT_KINDS.items():
            ratios.append(
                (
                    f"int64 {label}: drisk / polars",
                    time_of(f"drisk.update_many(numpy int64, {label})")
                    / time_of(f"polars Series.approx_n_unique() (int64, {label})"),
                    target,
                )
            )
        for label, (target, _) in FLOAT_KINDS.items():
            ratios.append(
                (
                    f"float64 {label}: drisk / polars",
                    time_of(f"drisk.update_many(numpy float64, {label})")
                    / time_of(f"polars Series.approx_n_unique() (float64, {label})"),
                    target,
                )
            )
        for label, (target, _) in TEXT_KINDS.items():
            ratios.append(
                (
                    f"{label}: drisk / polars",
                    time_of(f"drisk.update_many(pyarrow {label})")
                    / time_of(f"polars Series.approx_n_unique() ({label})"),
                    target,
                )
            )
    if duckdb is not None:
        duck = time_of("duckdb approx_count_distinct (int64)")
        ratios.append(("int64: drisk / duckdb approx_count_distinct", ours_int / duck, "(reported)"))
    if pd is not None:
        nunique = time_of("pandas Series.nunique() (str dtype)")
        ratios.append(("string: pandas nunique / drisk", nunique / ours_str, ">= 20"))
    print(f"\n| {'ratio':<52} | {'measured':>9} | target |\n|{'-' * 54}|{'-' * 11}|--------|")
    for name, value, target in ratios:
        print(f"| {name:<52} | {value:>9.2f} | {target} |")

    print(f"\n| {'peak memory above sketch and input':<45} | {'traced':>9} | {'resident':>9} |")
    print(f"|{'-' * 47}|{'-' * 11}|{'-' * 11}|")
    for name, (traced, resident) in memory.items():
        shown = f"{resident / 1024:,.0f} KiB" if resident >= 0 else "n/a"
        print(f"| {name:<45} | {traced / 1024:>5,.0f} KiB | {shown:>9} |")
    worst = max(max(t, r) for t, r in memory.values())
    print(f"\nlargest peak: {worst / 1024:,.0f} KiB (target: under 1024 KiB)")
