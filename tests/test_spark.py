"""drisk.spark on a real local Spark (local[2], one session for the run).

The oracles: drisk.sketch_by, count_by and rollup on the same rows in this
process (the rows as DataFrame.toArrow() gives them), the same sketches
made item by item from the texts of the identity rules, and exact counts.
Every table is compared group by group, packed bytes against packed bytes.
The session's time zone is not UTC, so that timestamps are seen to count as
instants.
"""

import datetime
import decimal
import glob
import json
import os
import subprocess
import sys

import pytest

pyspark = pytest.importorskip("pyspark")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

import drisk  # noqa: E402
import drisk.spark  # noqa: E402
from support import SPARK_ZONE, local_spark  # noqa: E402

try:
    import duckdb

    import drisk.duckdb
except ImportError:
    duckdb = None
try:
    import polars as pl

    import drisk.polars
except ImportError:
    pl = None

# Checks that depend neither on the interpreter's version nor on the build:
# CI runs them in its main job. All of them share one JVM (one xdist worker).
pytestmark = [pytest.mark.once, pytest.mark.xdist_group("spark")]

ZONE = SPARK_ZONE


@pytest.fixture(scope="session")
def spark():
    session = local_spark()
    yield session
    session.stop()


SCHEMA = (
    "id long, a int, s string, v long, t timestamp, n timestamp_ntz, m decimal(12,3), "
    "f double, d date, b binary, flag boolean"
)


def event_rows(count):
    """Rows with every kind of key and value, nulls among them, NaN and
    whole and fractional doubles."""
    start = datetime.datetime(2024, 3, 9, 22, 0)
    rows = []
    for i in range(count):
        f = [0.5, 2.0, float("nan"), None, 1e-5, 3.0, -1.25][i % 7]
        rows.append(
            (
                i,
                None if i % 17 == 0 else i % 7,
                None if i % 19 == 0 else f"k{i % 5}",
                None if i % 11 == 0 else (i * 7919) % 600,
                None if i % 23 == 0 else start + datetime.timedelta(minutes=37 * (i % 90), microseconds=i % 3),
                start + datetime.timedelta(hours=i % 40),
                None if i % 13 == 0 else decimal.Decimal(i % 60) / 8,
                f,
                datetime.date(2024, 1, 1) + datetime.timedelta(days=i % 6),
                None if i % 29 == 0 else bytes([i % 4, 255]),
                None if i % 31 == 0 else i % 3 == 0,
            )
        )
    return rows


@pytest.fixture(scope="session")
def events(spark):
    """2,000 rows in 5 partitions, and the same rows as pyarrow has them."""
    frame = spark.createDataFrame(event_rows(2000), SCHEMA).repartition(5).cache()
    return frame, frame.toArrow()


def key_of(value):
    """A key as a dict can hold it: NaN, a group of its own, as one value."""
    return "NaN" if isinstance(value, float) and value != value else value


def groups(table, keys, column="sketch"):
    """{key tuple: cell} of a result table; every key once."""
    data = table.to_pydict()
    out = {tuple(key_of(data[k][i]) for k in keys): data[column][i] for i in range(table.num_rows)}
    assert len(out) == table.num_rows
    return out


# (keys, values, budget): with a budget of one byte, each partition is
# sketched a batch at a time and its partial tables are rolled up as they
# come; with the default, in one call.
CASES = {
    "int key, int values": (["a"], "v", "default"),
    "int key, int values, batch by batch": (["a"], "v", "tiny"),
    "string and int keys, timestamps": (["s", "a"], "t", "tiny"),
    "timestamp key, decimals": (["t"], "m", "default"),
    "decimal key, doubles": (["m"], "f", "tiny"),
    "double key with NaN, binary values": (["f"], "b", "default"),
    "date and boolean keys, strings": (["d", "flag"], "s", "tiny"),
    "binary key, naive timestamps": (["b"], "n", "default"),
    "one group": ([], "v", "tiny"),
    "every row its own group": (["id"], "s", "default"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_sketch_by_equals_one_process(spark, events, case, monkeypatch):
    """Every group's packed sketch is the one drisk.sketch_by gives on the
    same rows in one process."""
    keys, values, budget = CASES[case]
    if budget == "tiny":
        monkeypatch.setattr(drisk.spark, "CHUNK_BYTES", 1)
    frame, table = events
    result = drisk.spark.sketch_by(frame, keys, values)
    assert result.columns == [*keys, "sketch"]
    got = result.toArrow()
    want = drisk.sketch_by(table, keys, values)
    assert got.num_rows == want.num_rows
    assert groups(got, keys) == groups(want, keys)


def test_edge_frames_and_timestamps(spark):
    """An empty frame, more partitions than rows, and what a timestamp is:
    the instant in UTC, by its isoformat() text."""
    empty = spark.createDataFrame([], "k string, v long")
    assert drisk.spark.sketch_by(empty, "k", "v").collect() == []
    [row] = drisk.spark.sketch_by(empty, [], "v").collect()
    assert row.sketch == drisk.pack(drisk.HyperLogLog(12))
    assert [r.estimate for r in drisk.spark.count_by(empty, [], "v").collect()] == [0.0]
    no_sketches = empty.selectExpr("k", "CAST(NULL AS BINARY) AS sketch")
    assert [r.sketch for r in drisk.spark.rollup(no_sketches).collect()] == [None]

    rows = [("x", 1), ("y", None), (None, 3)]
    sparse = spark.createDataFrame(rows, "k string, v long").repartition(8)
    got = groups(drisk.spark.sketch_by(sparse, "k", "v", p=10).toArrow(), ["k"])
    want = {}
    for k, v in rows:
        h = drisk.HyperLogLog(10)
        if v is not None:
            h.update_str(str(v))
        want[(k,)] = drisk.pack(h)
    assert got == want

    instant = datetime.datetime(2024, 7, 1, 12, 30, 5, 250000, tzinfo=datetime.UTC)
    times = spark.createDataFrame([(1, instant, instant.replace(tzinfo=None))], "k int, t timestamp, n timestamp_ntz")
    for column, text in (("t", "2024-07-01T12:30:05.250000+00:00"), ("n", "2024-07-01T12:30:05.250000")):
        h = drisk.HyperLogLog(12)
        h.update_str(text)
        [row] = drisk.spark.sketch_by(times, "k", column).collect()
        assert row.sketch == drisk.pack(h), column


def test_rollup_counts_and_estimates(spark, events, monkeypatch):
    """rollup() of a finer sketch table equals grouping the rows directly;
    count_by, estimates and nunique give drisk's own figures, near the exact
    counts."""
    monkeypatch.setattr(drisk.spark, "CHUNK_BYTES", 4096)
    frame, table = events
    daily = drisk.spark.sketch_by(frame, ["d", "s"], "v", p=11).cache()
    for keys in (["s"], []):
        got = drisk.spark.rollup(daily, keys).toArrow()
        assert groups(got, keys) == groups(drisk.sketch_by(table, keys, "v", p=11), keys)
    assert groups(drisk.spark.rollup(daily, None).toArrow(), []) == groups(drisk.rollup(daily.toArrow(), None), [])

    counted = drisk.spark.count_by(frame, "s", "v", confidence=0.9)
    assert counted.columns == ["s", "estimate", "lower", "upper"]
    want = drisk.count_by(table, "s", "v", confidence=0.9).to_pylist()
    assert sorted(counted.toArrow().to_pylist(), key=str) == sorted(want, key=str)
    plain = drisk.spark.count_by(frame, ["s", "a"], "v").toArrow()
    assert plain.column_names == ["s", "a", "estimate"]
    direct = drisk.count_by(table, ["s", "a"], "v")
    assert groups(plain, ["s", "a"], "estimate") == groups(direct, ["s", "a"], "estimate")

    exact = {}
    for s, v in zip(table.column("s").to_pylist(), table.column("v").to_pylist(), strict=True):
        if v is not None:
            exact.setdefault(s, set()).add(v)
    for row in want:
        assert row["lower"] <= len(exact[row["s"]]) <= row["upper"]

    with_estimates = drisk.spark.estimates(drisk.spark.rollup(daily, "s"))
    assert with_estimates.columns == ["s", "sketch", "estimate"]
    rolled = with_estimates.toArrow()
    assert rolled.column("estimate").to_pylist() == list(drisk.estimates(rolled.column("sketch")))
    nulls = spark.createDataFrame([(1, None)], "k int, sketch binary")
    [row] = drisk.spark.estimates(nulls).collect()
    assert row.estimate != row.estimate  # NaN, as drisk.estimates gives

    whole = drisk.HyperLogLog(12)
    drisk.update_many(whole, table.column("t"))
    assert drisk.spark.nunique(frame, "t") == drisk.estimate(whole)
    assert drisk.spark.nunique(frame.limit(0), "t") == 0.0


@pytest.mark.parametrize("arrow", [True, False], ids=["arrow UDFs", "pandas UDFs"])
def test_sql_functions(spark, events, arrow):
    """drisk_union and drisk_estimate in Spark SQL: the unions rollup()
    gives, the estimates estimates() gives, NULL for NULL."""
    if arrow and not hasattr(pyspark.sql.functions, "arrow_udf"):
        pytest.skip("Arrow UDFs need Spark 4.1")
    if not arrow:
        pytest.importorskip("pandas")
    frame, table = events
    drisk.spark._register(spark, arrow=arrow)
    daily = drisk.spark.sketch_by(frame, ["d", "s"], "v")
    daily.createOrReplaceTempView("days")
    answer = spark.sql(
        "SELECT s, drisk_union(sketch) AS sketch, drisk_estimate(drisk_union(sketch)) AS users FROM days GROUP BY s"
    ).toArrow()
    want = drisk.sketch_by(table, "s", "v")
    assert groups(answer, ["s"]) == groups(want, ["s"])
    estimates = dict(zip(want.column("s").to_pylist(), drisk.estimates(want.column("sketch")), strict=True))
    assert groups(answer, ["s"], "users") == {(s,): n for s, n in estimates.items()}

    empty = drisk.pack(drisk.HyperLogLog(12))
    spark.createDataFrame([(1, None), (2, None), (2, empty)], "g int, sketch binary").createOrReplaceTempView("nulls")
    rows = spark.sql(
        "SELECT g, drisk_union(sketch) AS u, drisk_estimate(drisk_union(sketch)) AS n FROM nulls GROUP BY g"
    )
    assert sorted(rows.collect()) == [(1, None, None), (2, empty, 0.0)]

    # The overlaps of two days per key, as drisk.overlaps gives them for the
    # same pairs; NULL where either day has no sketch for the key.
    pairs = spark.sql(
        "SELECT x.s, x.sketch AS a, y.sketch AS b, drisk_intersection(x.sketch, y.sketch) AS i, "
        "drisk_jaccard(x.sketch, y.sketch) AS j FROM days x JOIN days y ON x.s <=> y.s "
        "WHERE x.d = DATE '2024-01-01' AND y.d = DATE '2024-01-02'"
    ).toArrow()
    want = drisk.overlaps(pairs.column("a"), pairs.column("b"))
    assert pairs.num_rows > 3
    assert pairs.column("i").to_pylist() == want["intersection"].tolist()
    assert pairs.column("j").to_pylist() == want["jaccard"].tolist()
    one = drisk.pack(drisk.unpack(pairs.column("a")[0].as_py()))
    nulls = spark.createDataFrame([(None, one), (one, None), (one, one)], "a binary, b binary")
    nulls.createOrReplaceTempView("pairs")
    got = spark.sql("SELECT drisk_intersection(a, b) AS i, drisk_jaccard(a, b) AS j FROM pairs").collect()
    assert [tuple(row) for row in got[:2]] == [(None, None), (None, None)]
    same = drisk.overlap(one, one)
    assert (got[2].i, got[2].j) == (same.intersection, same.jaccard) and same.jaccard == 1.0


def test_parquet_both_ways(spark, events, tmp_path):
    """A sketch table Spark writes is read by drisk.rollup, DuckDB, polars
    and drisk merge, and one drisk writes is rolled up by Spark, with every
    register as it was."""
    frame, table = events
    written = str(tmp_path / "spark")
    drisk.spark.sketch_by(frame, ["d", "s"], "v").write.parquet(written)
    stored = pq.read_table(written)
    want = drisk.sketch_by(table, ["d", "s"], "v")
    assert groups(stored, ["d", "s"]) == groups(want, ["d", "s"])
    by_s = groups(drisk.sketch_by(table, "s", "v"), ["s"])
    assert groups(drisk.rollup(stored, "s"), ["s"]) == by_s
    if duckdb is not None:
        con = duckdb.connect()
        drisk.duckdb.register(con)
        sql = f"SELECT s, drisk_union(list(sketch)) AS sketch FROM '{written}/*.parquet' GROUP BY s"
        assert groups(con.sql(sql).to_arrow_table(), ["s"]) == by_s
    if pl is not None:
        frame_pl = pl.read_parquet(os.path.join(written, "*.parquet"))
        assert groups(frame_pl.group_by("s").agg(drisk.polars.union("sketch")).to_arrow(), ["s"]) == by_s
    merged = subprocess.run(
        [sys.executable, "-m", "drisk", "merge", "--json", *sorted(glob.glob(os.path.join(written, "*.parquet")))],
        capture_output=True,
        text=True,
        check=True,
    )
    whole = drisk.HyperLogLog(12)
    drisk.update_many(whole, table.column("v"))
    assert json.loads(merged.stdout)["estimate"] == drisk.estimate(whole)

    ours = tmp_path / "drisk.parquet"
    pq.write_table(want, ours)
    from_spark = drisk.spark.rollup(spark.read.parquet(str(ours)), "s").toArrow()
    assert groups(from_spark, ["s"]) == by_s


def refusals(spark):
    frame = spark.createDataFrame(
        [(1, [1], {"a": 1}, datetime.timedelta(seconds=3), "x", b"y")],
        "k int, items array<int>, tags map<string,int>, gap interval day to second, s string, sketch binary",
    )
    structs = frame.selectExpr("k", "named_struct('a', k) AS pair")
    local = frame.select("k", "s").toArrow()
    return {
        "unknown key": (lambda: drisk.spark.sketch_by(frame, "nope", "k"), ValueError, "'nope'"),
        "unknown values": (lambda: drisk.spark.count_by(frame, "k", "nope"), ValueError, "'nope'"),
        "list values": (lambda: drisk.spark.sketch_by(frame, "k", "items"), TypeError, "list"),
        "struct values": (lambda: drisk.spark.sketch_by(structs, "k", "pair"), TypeError, "'pair'"),
        "duration values": (lambda: drisk.spark.nunique(frame, "gap"), TypeError, "duration"),
        "map key": (lambda: drisk.spark.sketch_by(frame, "tags", "k"), TypeError, "'tags'"),
        "bad p": (lambda: drisk.spark.sketch_by(frame, "k", "s", p=3), ValueError, "p must be"),
        "key named sketch": (lambda: drisk.spark.sketch_by(frame, "sketch", "k"), ValueError, "'sketch'"),
        "no by": (lambda: drisk.spark.sketch_by(frame, None, "k"), TypeError, "needs by"),
        "bad confidence": (lambda: drisk.spark.count_by(frame, "k", "s", confidence=2), ValueError, "confidence"),
        "text sketches": (lambda: drisk.spark.rollup(frame, "k", sketch="s"), TypeError, "binary"),
        "bad method": (lambda: drisk.spark.estimates(frame, method="best"), ValueError, "method"),
        "not a DataFrame": (lambda: drisk.spark.sketch_by(local, "k", "s"), TypeError, "Spark DataFrame"),
    }


def test_refusals_before_any_job(spark):
    """Bad arguments and types drisk refuses are told on the driver, from
    the schema, before Spark runs a job; a cell that is not a sketch fails
    the job with drisk's message."""
    cases = refusals(spark)
    tracker = spark.sparkContext.statusTracker()
    spark.sparkContext.setJobGroup("drisk-refusals", "refusals")
    try:
        for name, (call, kind, words) in cases.items():
            with pytest.raises(kind, match=words):
                call()
            assert tracker.getJobIdsForGroup("drisk-refusals") == [], name
    finally:
        spark.sparkContext.setJobGroup("drisk-after", "after")
    broken = spark.createDataFrame([(1, b"not a sketch")], "k int, sketch binary")
    with pytest.raises(Exception, match="not a") as caught:
        drisk.spark.rollup(broken, "k").collect()
    assert "ValueError" in str(caught.value)
