"""`python -m bench cli`: the drisk tool on real-looking logs and tables,
whole process, beside the shell tools and DuckDB.

One run, files generated into a temporary directory (removed afterwards):

- access.log: 6 million lines in the common log format (client addresses
  drawn from about 400,000, Zipf-like), and access.log.gz;
- data.csv: 1 million rows with quoted fields (commas, doubled quotes and
  newlines inside), a `user` column of about 200,000 distinct values, and
  data.parquet with the same rows;
- big.txt: 100 million lines (`seq`), for the line path.

Every figure is the best wall time of a few rounds of the whole command
(start-up included), the commands taking turns. The targets:

- `drisk count -f 1 access.log` at least 10 times as fast as
  `cut -d' ' -f1 access.log | sort -u | wc -l`, and at most 1.3 times
  `drisk count access.log`;
- `drisk count --csv --column user data.csv` register for register equal to
  update_many over the column as the csv module reads it;
- `drisk count big.txt` at most 2 times `wc -l big.txt`;
- `drisk count --by 7 -f 1 access.log` (distinct clients per URL) at most
  1.0 times DuckDB's `approx_count_distinct(column0) ... GROUP BY column5`
  over the same file (two threads; its CSV reader takes the quoted request
  as one column, one per URL), and the share of URLs with at least 100
  distinct clients whose exact count is inside the tool's 95 % interval.

With --quick, every file is a tenth of that.
"""

from __future__ import annotations

import csv
import gzip
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import drisk

DRISK = [str(Path(sys.executable).with_name("drisk"))]
if not Path(DRISK[0]).exists():
    DRISK = [sys.executable, "-m", "drisk"]


def best_seconds(command: list[str] | str, rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        started = time.perf_counter()
        subprocess.run(command, shell=isinstance(command, str), stdout=subprocess.DEVNULL, check=True)
        best = min(best, time.perf_counter() - started)
    return best


def bytecode_cached() -> bool:
    """Whether the tool's modules start from compiled bytecode."""
    import importlib.util

    from drisk import cli

    cached = importlib.util.cache_from_source(cli.__file__)
    return Path(cached).exists()


def write_access_log(path: Path, lines: int) -> None:
    rng = random.Random(19)
    clients = [
        f"{rng.randrange(1, 224)}.{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(256)}"
        for _ in range(400_000)
    ]
    paths = [f"/item/{k}" for k in range(5000)] + ["/", "/login", "/search?q=x"]
    agents = ['"Mozilla/5.0 (X11; Linux x86_64)"', '"curl/8.5.0"', '"Googlebot/2.1"']
    with path.open("w", encoding="ascii") as out:
        for start in range(0, lines, 100_000):
            picks = [int(len(clients) * rng.random() ** 3) for _ in range(min(100_000, lines - start))]
            out.write(
                "".join(
                    f"{clients[c]} - - [07/Dec/2026:{(start + k) // 3600 % 24:02d}:{(start + k) // 60 % 60:02d}:"
                    f'{(start + k) % 60:02d} +0000] "GET {paths[(c * 7 + k) % len(paths)]} HTTP/1.1" '
                    f'{200 if k % 17 else 404} {c % 9000 + 200} "-" {agents[k % 3]}\n'
                    for k, c in enumerate(picks)
                )
            )


def write_gzip(source: Path, target: Path) -> None:
    if shutil.which("gzip"):
        with target.open("wb") as out:
            subprocess.run(["gzip", "-1", "-c", str(source)], stdout=out, check=True)
        return
    with source.open("rb") as f, gzip.open(target, "wb", compresslevel=1) as out:
        shutil.copyfileobj(f, out, 1 << 20)


def write_csv(path: Path, rows: int) -> list[list[str]]:
    rng = random.Random(23)
    notes = ["plain", 'said "hi", left', "two\nlines", "a,b,c", ""]
    table = [
        [f"user{int(200_000 * rng.random() ** 2)}", rng.choice(notes), str(rng.randrange(10**6))] for _ in range(rows)
    ]
    with path.open("w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(["user", "note", "amount"])
        writer.writerows(table)
    return table


def csv_oracle(path: Path, p: int) -> drisk.HyperLogLog:
    """update_many over the column as the csv module reads it."""
    sketch = drisk.HyperLogLog(p)
    with path.open(newline="", encoding="utf-8") as f:
        rows = csv.reader(f)
        index = next(rows).index("user")
        drisk.update_many(sketch, (row[index] for row in rows))
    return sketch


def by_accuracy(log: Path) -> tuple[int, int]:
    """How many URLs (of those with at least 100 distinct clients) have
    their exact count of clients inside `--by 7 -f 1 --json`'s interval."""
    exact: dict[str, set[str]] = {}
    with log.open(encoding="ascii") as f:
        for line in f:
            fields = line.split()
            exact.setdefault(fields[6], set()).add(fields[0])
    proc = subprocess.run(
        [*DRISK, "count", "--json", "--by", "7", "-f", "1", str(log)], capture_output=True, check=True
    )
    groups = {o["key"]: o for o in map(json.loads, proc.stdout.splitlines())}
    large = [url for url, clients in exact.items() if len(clients) >= 100]
    inside = sum(groups[url]["lower"] <= len(exact[url]) <= groups[url]["upper"] for url in large)
    return inside, len(large)


def main(quick: bool = False) -> None:
    scale = 10 if quick else 1
    rounds = 5
    work = Path(tempfile.mkdtemp(prefix="drisk-bench-cli-"))
    try:
        run(work, scale, rounds)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run(work: Path, scale: int, rounds: int) -> None:
    log, big, data = work / "access.log", work / "big.txt", work / "data.csv"
    print(f"generating files in {work} ...", flush=True)
    write_access_log(log, 6_000_000 // scale)
    write_gzip(log, work / "access.log.gz")
    with big.open("wb") as out:
        subprocess.run(["seq", "1", str(100_000_000 // scale)], stdout=out, check=True)
    table = write_csv(data, 1_000_000 // scale)
    parquet = None
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq

        parquet = work / "data.parquet"
        pq.write_table(
            pa.table({name: list(col) for name, col in zip(["user", "note", "amount"], zip(*table))}), parquet
        )
    except ImportError:
        pass
    del table
    for path in sorted(work.iterdir()):
        print(f"  {path.name}: {path.stat().st_size / 1e6:.0f} MB")
    # The files just written are still being flushed to disk: let that end
    # before timing anything.
    os.sync()

    print("\nstart-up (best of 20, whole process)")
    bare = best_seconds([sys.executable, "-c", "pass"], 20)
    empty = best_seconds([*DRISK, "count", "/dev/null"], 20)
    print(f"  python -c pass            {1000 * bare:8.1f} ms")
    print(f"  drisk count /dev/null     {1000 * empty:8.1f} ms   (drisk's own: {1000 * (empty - bare):.1f} ms)")
    if not bytecode_cached():
        print("  (drisk's modules have no bytecode cache here, PYTHONDONTWRITEBYTECODE being set or the")
        print("   cache not writable, so each start compiles them: an installed wheel has them compiled)")

    rows: list[tuple[str, str | list[str], str | None]] = [
        ("wc -l big.txt", ["wc", "-l", str(big)], None),
        ("drisk count big.txt", [*DRISK, "count", "-q", str(big)], "wc -l big.txt"),
        ("cut -f1 | sort -u | wc -l", f"cut -d' ' -f1 {log} | LC_ALL=C sort -u | wc -l", None),
        ("drisk count access.log", [*DRISK, "count", "-q", str(log)], None),
        ("drisk count -f 1 access.log", [*DRISK, "count", "-q", "-f", "1", str(log)], "cut -f1 | sort -u | wc -l"),
        ("zcat | cut -f1 | sort -u | wc -l", f"zcat {log}.gz | cut -d' ' -f1 | LC_ALL=C sort -u | wc -l", None),
        (
            "drisk count -f 1 access.log.gz",
            [*DRISK, "count", "-q", "-f", "1", f"{log}.gz"],
            "zcat | cut -f1 | sort -u | wc -l",
        ),
        ("drisk count --csv --column user", [*DRISK, "count", "--csv", "--column", "user", str(data)], None),
    ]
    rows.append(("drisk count --by 7 -f 1 access.log", [*DRISK, "count", "-q", "--by", "7", "-f", "1", str(log)], None))
    if parquet is not None:
        rows.append(("drisk count --column user parquet", [*DRISK, "count", "--column", "user", str(parquet)], None))
    try:
        import duckdb  # noqa: F401

        query = "SELECT approx_count_distinct(user) FROM read_csv('{}')"
        rows.append(
            (
                "duckdb approx_count_distinct csv",
                [sys.executable, "-c", f'import duckdb; duckdb.sql("{query.format(data)}").fetchall()'],
                None,
            )
        )
        by_url = (
            f"SELECT column5, approx_count_distinct(column0) FROM read_csv('{log}', delim=' ', header=false) GROUP BY 1"
        )
        grouped = f"import duckdb; c = duckdb.connect(config={{'threads': 2}}); c.sql({by_url!r}).fetchall()"
        rows.append(("duckdb approx_count_distinct GROUP BY url", [sys.executable, "-c", grouped], None))
        if parquet is not None:
            rows.append(
                (
                    "duckdb approx_count_distinct parquet",
                    [
                        sys.executable,
                        "-c",
                        f'import duckdb; duckdb.sql("{query.replace("read_csv", "read_parquet").format(parquet)}")'
                        ".fetchall()",
                    ],
                    None,
                )
            )
    except ImportError:
        pass

    print(f"\nwhole commands (best of {rounds}; ratio: against the command named)")
    times: dict[str, float] = {}
    for name, command, against in rows:
        times[name] = best_seconds(command, rounds)
        ratio = f"{times[name] / times[against]:6.2f}x {against}" if against else ""
        print(f"  {name:38s} {times[name]:8.3f} s   {ratio}", flush=True)
    print("\ntargets")
    fields = times["drisk count -f 1 access.log"]
    print(f"  -f 1 vs cut | sort -u | wc -l: {times['cut -f1 | sort -u | wc -l'] / fields:.1f}x faster (target >= 10x)")
    print(f"  -f 1 vs whole lines: {fields / times['drisk count access.log']:.2f}x (target <= 1.3x)")
    print(f"  big.txt vs wc -l: {times['drisk count big.txt'] / times['wc -l big.txt']:.2f}x (target <= 2x)")
    by = "drisk count --by 7 -f 1 access.log"
    if "duckdb approx_count_distinct GROUP BY url" in times:
        ratio = times[by] / times["duckdb approx_count_distinct GROUP BY url"]
        print(f"  --by 7 -f 1 vs DuckDB GROUP BY: {ratio:.2f}x (target <= 1.0x)")
    inside, large = by_accuracy(log)
    print(f"  --by 7 -f 1: exact count inside the 95% interval for {inside}/{large} URLs with >= 100 clients")
    saved = work / "csv.hll"
    subprocess.run(
        [*DRISK, "count", "--csv", "--column", "user", "--save", str(saved), str(data)],
        stdout=subprocess.DEVNULL,
        check=True,
    )
    tool = drisk.load(saved.read_bytes())
    same = tool.registers() == csv_oracle(data, len(tool).bit_length() - 1).registers()
    print(f"  --csv --column user equals update_many over the csv module's column: {same}")
