"""Sketch tables in the engines: rollup() on pyarrow, polars and pandas
tables against sketches built directly per coarser key, Parquet round trips,
the DuckDB functions and the polars expressions on the real engines."""

import math
import random
import subprocess
import sys

import pytest

import drisk
from drisk import _groupprobe

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")


def daily_rows(seed=11, n=20000, days=5, pages=30):
    """(day, page, user) rows; some pages missing (None), popularity skewed."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        page = min(int(rng.paretovariate(0.7)), pages)
        rows.append((rng.randrange(days), None if page == pages else f"p{page}", rng.randrange(5000)))
    return rows


def sketches_by(rows, key, p=12):
    """The oracle: {key(row): packed sketch of its users}, through the store."""
    keys = sorted({key(r) for r in rows}, key=repr)
    index = {k: i for i, k in enumerate(keys)}
    packed = _groupprobe.sketch_groups([index[key(r)] for r in rows], [str(r[2]).encode() for r in rows], p)
    return dict(zip(keys, packed))


def daily_table(rows, p=12):
    daily = sketches_by(rows, lambda r: (r[0], r[1]), p)
    return pa.table(
        {
            "day": [k[0] for k in daily],
            "page": [k[1] for k in daily],
            "sketch": list(daily.values()),
        }
    )


def as_dict(table, keys):
    if not isinstance(table, pa.Table):
        table = pa.table(table) if not hasattr(table, "iloc") else pa.Table.from_pandas(table, preserve_index=False)
    columns = table.to_pydict()
    out = {}
    for i, cell in enumerate(columns["sketch"]):
        key = tuple(columns[k][i] for k in keys)
        assert key not in out
        out[key] = cell
    return out


def convert(table, kind):
    if kind == "pyarrow":
        return table
    if kind == "polars":
        return pytest.importorskip("polars").from_arrow(table)
    pytest.importorskip("pandas")
    return table.to_pandas()


KINDS = ["pyarrow", "polars", "pandas"]


@pytest.mark.parametrize("kind", KINDS)
def test_rollup_to_pages_equals_sketching_by_page(kind):
    rows = daily_rows()
    table = convert(daily_table(rows), kind)
    result = drisk.rollup(table, "page")
    assert type(result) is type(table)
    expected = {(k,): v for k, v in sketches_by(rows, lambda r: r[1]).items()}
    assert as_dict(result, ["page"]) == expected


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("by", [None, []])
def test_rollup_of_everything_is_one_row(kind, by):
    rows = daily_rows(seed=3, n=5000)
    result = drisk.rollup(convert(daily_table(rows), kind), by)
    whole = sketches_by(rows, lambda r: 0)[0]
    assert as_dict(result, []) == {(): whole}


def test_rollup_by_several_keys_and_unchanged_when_nothing_merges():
    rows = daily_rows(seed=4, n=8000)
    table = daily_table(rows)
    assert as_dict(drisk.rollup(table, ["day", "page"]), ["day", "page"]) == as_dict(table, ["day", "page"])
    assert as_dict(drisk.rollup(table, ["page", "day"]), ["day", "page"]) == as_dict(table, ["day", "page"])


def test_rollup_skips_null_sketches_and_gives_null_for_none():
    good = drisk.pack(drisk.HyperLogLog(12))
    table = pa.table({"k": ["a", "a", "b"], "sketch": pa.array([good, None, None], pa.binary())})
    assert as_dict(drisk.rollup(table, "k"), ["k"]) == {("a",): good, ("b",): None}


def test_rollup_of_a_stream_gives_a_table():
    rows = daily_rows(seed=5, n=3000)
    table = daily_table(rows)
    result = drisk.rollup(pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=7)), "page")
    assert isinstance(result, pa.Table)
    assert as_dict(result, ["page"]) == {(k,): v for k, v in sketches_by(rows, lambda r: r[1]).items()}


@pytest.mark.parametrize("kind", KINDS)
def test_rollup_refuses_unknown_columns_and_bad_cells_first(kind):
    table = daily_table(daily_rows(seed=6, n=500))
    with pytest.raises(ValueError, match="rollup: no column named 'pgae'"):
        drisk.rollup(convert(table, kind), "pgae")
    with pytest.raises(ValueError, match="rollup: no column named 'sketches'"):
        drisk.rollup(convert(table, kind), "page", sketch="sketches")
    cells = table.column("sketch").to_pylist()
    cells[4] = b"not a sketch"
    bad = table.set_column(2, "sketch", pa.array(cells, pa.binary()))
    with pytest.raises(ValueError, match="^row 4: not a packed sketch"):
        drisk.rollup(convert(bad, kind), "page")


def test_rollup_refuses_bad_arguments():
    table = daily_table(daily_rows(seed=6, n=100))
    with pytest.raises(TypeError, match="rollup takes"):
        drisk.rollup([1, 2], "page")
    with pytest.raises(ValueError, match="cannot be a key too"):
        drisk.rollup(table, "sketch")
    with pytest.raises(TypeError, match="by must name columns with str"):
        drisk.rollup(table, ["page", 3])


# ---------------------------------------------------------------------------
# Parquet
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("writer", KINDS)
def test_a_sketch_table_read_back_from_parquet_rolls_up_unchanged(writer, tmp_path):
    rows = daily_rows(seed=7, n=6000)
    table = daily_table(rows)
    path = tmp_path / "daily.parquet"
    if writer == "pyarrow":
        pq.write_table(table, path)
    elif writer == "polars":
        convert(table, "polars").write_parquet(path)
    else:
        convert(table, "pandas").to_parquet(path)
    back = pq.read_table(path)
    assert as_dict(back, ["day", "page"]) == as_dict(table, ["day", "page"])
    assert as_dict(drisk.rollup(back, "page"), ["page"]) == as_dict(drisk.rollup(table, "page"), ["page"])
    if writer == "polars":
        pl = pytest.importorskip("polars")
        assert as_dict(drisk.rollup(pl.read_parquet(path), "page"), ["page"]) == as_dict(
            drisk.rollup(table, "page"), ["page"]
        )


# ---------------------------------------------------------------------------
# DuckDB
# ---------------------------------------------------------------------------


def test_duckdb_functions_over_parquet_files_per_day(tmp_path):
    duckdb = pytest.importorskip("duckdb")
    import drisk.duckdb

    rows = daily_rows(seed=8, n=8000)
    table = daily_table(rows)
    days = tmp_path / "days"
    days.mkdir()
    for day in range(5):
        pq.write_table(table.filter(pa.compute.equal(table.column("day"), day)), days / f"{day}.parquet")
    con = duckdb.connect()
    drisk.duckdb.register(con)
    got = con.sql(
        f"SELECT page, drisk_union(list(sketch)) AS u, drisk_estimate(drisk_union(list(sketch))) AS e "
        f"FROM '{days}/*.parquet' GROUP BY page"
    ).fetchall()
    expected = sketches_by(rows, lambda r: r[1])
    assert {page: u for page, u, _ in got} == expected
    assert {page: e for page, _, e in got} == {k: drisk.estimate(drisk.unpack(v)) for k, v in expected.items()}


def test_duckdb_functions_with_nulls_and_errors():
    duckdb = pytest.importorskip("duckdb")
    import drisk.duckdb

    con = duckdb.connect()
    drisk.duckdb.register(con)
    one = drisk.pack(drisk.HyperLogLog(10))
    assert con.execute(
        "SELECT drisk_estimate(NULL::BLOB), drisk_union([NULL::BLOB]), drisk_union([]::BLOB[]), "
        "drisk_union(NULL::BLOB[]), drisk_union([?, NULL]), drisk_estimate(?)",
        [one, one],
    ).fetchall() == [(None, None, None, None, one, 0.0)]
    with pytest.raises(duckdb.Error, match="drisk_estimate refused a cell: not a packed sketch"):
        con.sql("SELECT drisk_estimate('abc'::BLOB)").fetchall()


@pytest.mark.parametrize(
    ("query", "says"),
    [
        ("SELECT drisk_estimate(s) FROM t", "drisk_estimate refused a cell: not a packed"),
        ("SELECT drisk_union(list(s)) FROM t GROUP BY i % 3000", "drisk_union refused item 1 of a list: not a packed"),
        ("SELECT drisk_jaccard(?, s) FROM t", "drisk_jaccard refused the second sketch: not a packed"),
        ("SELECT drisk_intersection(s, ?) FROM t", "drisk_intersection refused the first sketch: not a packed"),
    ],
)
def test_duckdb_refusals_name_no_row_within_a_batch(query, says):
    """DuckDB passes rows in batches of 2,048 without their place: a bad cell
    at row 5,000 must not be reported as the batch's row 904."""
    duckdb = pytest.importorskip("duckdb")
    import drisk.duckdb

    con = duckdb.connect()
    drisk.duckdb.register(con)
    con.execute("CREATE TABLE t AS SELECT i, CASE WHEN i = 5000 THEN 'xx'::BLOB END AS s FROM range(10000) r(i)")
    with pytest.raises(duckdb.Error, match=says) as caught:
        con.execute(query, [drisk.pack(drisk.HyperLogLog())] if "?" in query else []).fetchall()
    assert "row 904" not in str(caught.value) and "list 1012" not in str(caught.value)


# ---------------------------------------------------------------------------
# polars
# ---------------------------------------------------------------------------


def test_polars_expressions_in_group_by_and_select():
    pl = pytest.importorskip("polars")
    import drisk.polars

    rows = daily_rows(seed=9, n=8000)
    frame = pl.from_arrow(daily_table(rows))
    got = (
        frame.group_by("page")
        .agg(drisk.polars.union("sketch"))
        .with_columns(drisk.polars.estimate("sketch").alias("estimate"))
    )
    expected = sketches_by(rows, lambda r: r[1])
    assert dict(zip(got["page"], got["sketch"])) == expected
    assert dict(zip(got["page"], got["estimate"])) == {k: drisk.estimate(drisk.unpack(v)) for k, v in expected.items()}
    whole = frame.select(drisk.polars.union(pl.col("sketch")))
    assert whole.item() == sketches_by(rows, lambda r: 0)[0]
    with_null = pl.DataFrame({"sketch": [None, frame["sketch"][0]]}, schema={"sketch": pl.Binary})
    assert math.isnan(with_null.select(drisk.polars.estimate("sketch"))["sketch"][0])


def test_estimates_of_engine_columns():
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    table = daily_table(daily_rows(seed=10, n=3000))
    expected = [drisk.estimate(drisk.unpack(c)) for c in table.column("sketch").to_pylist()]
    assert list(drisk.estimates(table.column("sketch"))) == expected
    assert list(drisk.estimates(pl.from_arrow(table)["sketch"])) == expected
    assert list(drisk.estimates(table.to_pandas()["sketch"])) == expected
    with_missing = pd.Series([None, float("nan"), table.column("sketch")[0].as_py()], dtype=object)
    got = drisk.estimates(with_missing)
    assert math.isnan(got[0]) and math.isnan(got[1]) and got[2] == expected[0]


def test_the_integrations_import_their_engines_only_when_used():
    code = (
        "import sys, drisk, drisk.polars, drisk.duckdb\n"
        "loaded = [m for m in ('polars', 'duckdb', 'pyarrow', 'pandas', 'numpy') if m in sys.modules]\n"
        "assert not loaded, loaded\n"
        "assert drisk.estimates is not None and drisk.rollup is not None\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("by", [["page"], ["day", "page"], []])
def test_rollup_of_polars_without_pyarrow_gives_the_same(by):
    pl = pytest.importorskip("polars")
    from drisk._tables import _rollup_polars_alone

    frame = pl.from_arrow(daily_table(daily_rows(seed=12, n=6000)))
    alone = _rollup_polars_alone(frame, by, "sketch", pl)
    assert as_dict(alone.to_arrow(), by) == as_dict(drisk.rollup(frame, by), by)


def test_rollup_keeps_key_types_and_missing_keys():
    pl = pytest.importorskip("polars")
    good = [drisk.pack(drisk.HyperLogLog(8))] * 4
    table = pa.table(
        {
            "when": pa.array([1.5, float("nan"), None, 1.5]),
            "tag": pa.array(["a", "b", "b", None]).dictionary_encode(),
            "sketch": good,
        }
    )
    result = drisk.rollup(table, ["when", "tag"])
    assert result.schema.field("when").type == pa.float64()
    assert result.schema.field("tag").type == table.schema.field("tag").type
    keys = {(w if w == w else "nan", t) for w, t in zip(*result.select(["when", "tag"]).to_pydict().values())}
    assert keys == {(1.5, "a"), ("nan", "b"), (None, "b"), (1.5, None)}
    assert drisk.rollup(pl.from_arrow(table), "tag").schema["tag"] == pl.Categorical


@pytest.mark.parametrize("by", [None, "k"])
@pytest.mark.parametrize("nulls", ["some", "all"])
def test_unions_of_few_groups_a_slice_of_rows_at_a_time(monkeypatch, nulls, by):
    """rollup() of few groups over more rows than one slice (so that Ctrl-C
    is seen between slices, even within one group's union) gives each group
    the union of its sketches, mixed precisions folded, nulls skipped; a
    group of nulls only gets a null."""
    pa = pytest.importorskip("pyarrow")
    pytest.importorskip("numpy")
    import drisk._tables

    monkeypatch.setattr(drisk._tables, "UNION_SLICE_ROWS", 4)
    monkeypatch.setattr(drisk._tables, "FEW_GROUPS", 3)
    sketches, keys = [], []
    for i in range(23):
        h = drisk.HyperLogLog(12 if i % 3 else 10)
        drisk.update_many(h, range(i * 70, i * 70 + 200))
        sketches.append(None if nulls == "all" or i in (0, 5, 6) else h)
        keys.append("abc"[i % 3] if i != 6 else "z")  # "z": one row, a null
    column = pa.array([drisk.pack(h) if h is not None else None for h in sketches], pa.binary())
    got = drisk.rollup(pa.table({"k": keys, "sketch": column}), by).to_pydict()
    groups = {}
    for key, h in zip(keys if by else [None] * len(keys), sketches):
        groups.setdefault(key, []).append(h)
    want = {
        key: drisk.pack(drisk.union(*[h for h in members if h is not None])) if any(members) else None
        for key, members in groups.items()
    }
    assert dict(zip(got["k"] if by else [None], got["sketch"])) == want
