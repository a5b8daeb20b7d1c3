"""drisk.dask: sketches of Dask collections, on a cluster and in one process.

The oracles are sketches built from all the values in this process with
update_many, and exact per-group counts from pandas. Most tests run on the
synchronous scheduler; those named *_on_the_cluster run on one LocalCluster of
two worker processes, started once for the session.
"""

import subprocess
import sys

import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
db = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")
np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

from dask.delayed import Delayed  # noqa: E402

import drisk  # noqa: E402
import drisk.dask  # noqa: E402
from drisk import HyperLogLog  # noqa: E402
from support import float_text  # noqa: E402


@pytest.fixture(scope="session")
def cluster_client():
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster, set_as_default=False) as client,
    ):
        yield client


@pytest.fixture
def on_cluster(cluster_client):
    with dask.config.set(scheduler=cluster_client):
        yield cluster_client


@pytest.fixture(autouse=True)
def synchronous():
    with dask.config.set(scheduler="synchronous"):
        yield


def local_sketch(values, p):
    """All the values in one process: str and bytes as they are, anything
    else as its text (a whole float as its integer's); missing values skipped."""
    h = HyperLogLog(p)
    texts = [v if isinstance(v, (str, bytes)) else float_text(v) if isinstance(v, float) else str(v) for v in values]
    drisk.update_many(h, [t for v, t in zip(values, texts, strict=True) if v is not None and v == v])
    return h


def test_defaults_are_the_precision_of_the_sketch_type():
    """Sketches from drisk.dask merge with HyperLogLog()'s and the tool's."""
    values = [f"v{i}" for i in range(500)]
    bag = db.from_sequence(values, npartitions=3)
    default = len(HyperLogLog())
    assert len(drisk.dask.sketch(bag)) == default
    assert drisk.dask.nunique(bag) == drisk.estimate(local_sketch(values, 12)) and default == 2**12
    frame = dd.from_pandas(pd.DataFrame({"g": [i % 2 for i in range(500)], "v": values}), npartitions=2)
    packed = frame.groupby("g").agg({"v": drisk.dask.aggregation(result="sketch")}).compute()["v"]
    assert {len(drisk.load(data)) for data in packed} == {default}


def strings(n, distinct, missing_every=0):
    values = [f"user-{i * 7919 % distinct}" for i in range(n)]
    if missing_every:
        values[::missing_every] = [None] * len(values[::missing_every])
    return values


def series_of(values, npartitions, dtype=None):
    return dd.from_pandas(pd.Series(values, dtype=dtype), npartitions=npartitions)


# ---------------------------------------------------------------------------
# sketch() and nunique()
# ---------------------------------------------------------------------------


def test_identical_to_the_local_sketch_on_the_cluster(on_cluster):
    values = strings(60_000, 20_000, missing_every=97)
    column = series_of(values, npartitions=8, dtype="str")
    assert drisk.dask.sketch(column, p=14).registers() == local_sketch(values, 14).registers()
    lazy = drisk.dask.sketch(column.index.to_series().astype(str), p=12, compute=False)
    assert isinstance(lazy, Delayed)
    assert lazy.compute().registers() == local_sketch([str(i) for i in range(60_000)], 12).registers()


@pytest.mark.parametrize("dtype", ["str", "string[pyarrow]", "string[python]", "object", "category"])
@pytest.mark.parametrize("split_every", [None, 2, 3])
def test_string_columns(dtype, split_every):
    values = strings(5_000, 1_200, missing_every=13) + ["", "é", "tab\there"]
    column = series_of(values, npartitions=9, dtype=dtype)
    h = drisk.dask.sketch(column, p=10, split_every=split_every)
    assert h.registers() == local_sketch(values, 10).registers()


@pytest.mark.parametrize("special", ["two\nlines", "crlf\r\n", "ends in cr\r", "\r", "\n"])
def test_strings_with_line_breaks(special):
    values = strings(2_000, 500) + [special, special + "x"]
    column = series_of(values, npartitions=3, dtype="str")
    assert drisk.dask.sketch(column, p=10).registers() == local_sketch(values, 10).registers()


@pytest.mark.parametrize(
    "values, dtype",
    [
        (list(range(-2_000, 3_000)), "int64"),
        ([2**64 - 1 - i for i in range(1_000)], "uint64"),
        ([None if i % 11 == 0 else i * 31 for i in range(3_000)], "Int64"),
        ([i % 3 == 0 for i in range(100)], "bool"),
        ([i / 4 for i in range(1_000)], "float64"),
    ],
)
def test_other_columns_count_by_the_text_of_each_value(values, dtype):
    column = series_of(values, npartitions=4, dtype=dtype)
    expected = local_sketch(pd.Series(values, dtype=dtype).dropna().tolist(), 12)
    assert drisk.dask.sketch(column, p=12).registers() == expected.registers()


def test_empty_partitions():
    frame = pd.DataFrame({"k": np.arange(4_000), "v": strings(4_000, 900)})
    ddf = dd.from_pandas(frame, npartitions=8)
    kept = ddf[(ddf.k < 1_000) | (ddf.k >= 3_500)]  # partitions 2 to 6 are empty
    assert [len(part) for part in kept.partitions].count(0) == 5
    expected = local_sketch(frame.v[(frame.k < 1_000) | (frame.k >= 3_500)], 11)
    assert drisk.dask.sketch(kept.v, p=11).registers() == expected.registers()
    assert drisk.dask.sketch(ddf.v[ddf.k < 0], p=11).registers() == HyperLogLog(11).registers()


def test_index():
    frame = pd.DataFrame({"v": range(3_000)}, index=[f"row-{i % 1_000}" for i in range(3_000)])
    ddf = dd.from_pandas(frame, npartitions=5, sort=False)
    assert drisk.dask.sketch(ddf.index, p=12).registers() == local_sketch(frame.index, 12).registers()


def test_bag_of_strings_and_bytes_on_the_cluster(on_cluster):
    items = strings(20_000, 5_000) + [s.encode() for s in strings(3_000, 3_000)]
    bag = db.from_sequence(items, npartitions=7)
    assert drisk.dask.sketch(bag, p=13).registers() == local_sketch(items, 13).registers()


def test_bag_with_empty_partitions():
    bag = db.from_sequence(strings(100, 40), npartitions=5).filter(lambda s: s.endswith("7"))
    expected = local_sketch([s for s in strings(100, 40) if s.endswith("7")], 8)
    assert drisk.dask.sketch(bag, p=8).registers() == expected.registers()


def test_nunique_is_the_estimate_of_the_sketch():
    values = strings(30_000, 10_000)
    column = series_of(values, npartitions=6)
    estimate = drisk.dask.nunique(column, p=14)
    assert estimate == pytest.approx(10_000, rel=3 * drisk.relative_error(14))
    sketch = local_sketch(values, 14)
    by_estimate = getattr(drisk, "estimate", None)
    assert estimate == (by_estimate(sketch, method="improved") if by_estimate else sketch.count())


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: drisk.dask.sketch(dd.from_pandas(pd.DataFrame({"a": ["x"]}), npartitions=1)),
            TypeError,
            "sketch a column of the DataFrame",
        ),
        (lambda: drisk.dask.sketch(["x"]), TypeError, "expected a Dask Series, Index or Bag, got 'list'"),
        (lambda: drisk.dask.sketch(series_of(["x"], 1), p=3), ValueError, "p must be between 4 and 18"),
        (lambda: drisk.dask.sketch(series_of(["x"], 1), split_every=1), ValueError, "split_every must be at least 2"),
        (
            lambda: drisk.dask.nunique(db.from_sequence(["x", [1]])),
            TypeError,
            r"items\[\d+\]: 'list' object is not an instance of 'bytes', 'str'",
        ),
        (lambda: drisk.dask.aggregation(p=20), ValueError, "p must be between 4 and 18"),
        (
            lambda: drisk.dask.aggregation(result="count"),
            ValueError,
            "result must be 'estimate' or 'sketch', got 'count'",
        ),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call()


# ---------------------------------------------------------------------------
# Per-group counts
# ---------------------------------------------------------------------------


def grouped_frame():
    """Six groups of 0 to 5,000 distinct values, spread over every partition."""
    rows = []
    for group, distinct in enumerate([0, 1, 40, 700, 2_000, 5_000]):
        rows += [(group, f"g{group}-{i % distinct}" if distinct else None) for i in range(2 * distinct + 5)]
    frame = pd.DataFrame(rows, columns=["g", "v"]).sample(frac=1, random_state=3)
    return frame, dd.from_pandas(frame, npartitions=6, sort=False)


def test_aggregation_estimates_on_the_cluster(on_cluster):
    frame, ddf = grouped_frame()
    result = ddf.groupby("g").agg({"v": drisk.dask.aggregation(p=12)}).compute()
    exact = frame.groupby("g").v.nunique()
    assert result.v.dtype == np.float64
    assert sorted(result.index) == sorted(exact.index)
    bound = 3 * drisk.relative_error(12)
    for group, count in exact.items():
        assert result.v[group] == pytest.approx(count, rel=bound, abs=1e-9)


def test_aggregation_sketches():
    frame, ddf = grouped_frame()
    result = ddf.groupby("g").agg({"v": drisk.dask.aggregation(p=10, result="sketch")}).compute()
    for group, values in frame.groupby("g").v:
        packed = bytes(result.v[group])
        assert drisk.unpack(packed).registers() == local_sketch(values, 10).registers()
        assert drisk.load(packed).registers() == local_sketch(values, 10).registers()


def test_aggregation_beside_builtin_ones():
    frame, ddf = grouped_frame()
    result = ddf.groupby("g").agg({"v": ["count", drisk.dask.aggregation(p=12)]}).compute()
    assert list(result[("v", "count")].sort_index()) == list(frame.groupby("g").v.count())


@pytest.mark.filterwarnings("ignore:The inplace keyword")  # inside Dask's Parquet reader
def test_per_day_sketches_from_parquet_merge_with_the_tool(tmp_path):
    # The Dask example of the guide (docs/guide/clusters.md), end to end.
    frame = pd.DataFrame(
        {"day": [f"2024-06-0{1 + i % 3}" for i in range(6_000)], "user": [f"u{i * 7 % 2_500}" for i in range(6_000)]}
    )
    dd.from_pandas(frame, npartitions=4).to_parquet(tmp_path / "events")

    events = dd.read_parquet(tmp_path / "events")
    per_day = events.groupby("day").agg({"user": drisk.dask.aggregation(result="sketch")}).compute()
    for day, packed in per_day["user"].items():
        (tmp_path / f"users-{day}.hll").write_bytes(packed)

    files = sorted(str(path) for path in tmp_path.glob("users-*.hll"))
    assert len(files) == 3
    out = tmp_path / "june.hll"
    subprocess.run([sys.executable, "-m", "drisk", "merge", *files, "-o", str(out)], check=True, capture_output=True)
    assert drisk.load(out.read_bytes()).registers() == local_sketch(frame.user, 12).registers()


def sketch_batches(batches):
    """A per-partition function for Spark's mapInArrow, as users wrote them
    before drisk.spark: Arrow record batches in, one batch holding the packed
    sketch out."""
    import pyarrow as pa

    sketch = drisk.HyperLogLog(14)
    for batch in batches:
        drisk.update_many(sketch, batch.column("user").drop_null().to_pylist())
    yield pa.RecordBatch.from_pydict({"sketch": [drisk.pack(sketch)]})


def test_the_spark_partition_function_on_arrow_batches():
    pa = pytest.importorskip("pyarrow")
    users = strings(10_000, 3_000, missing_every=17)
    # Two partitions of five 1,000-row batches each; the driver merges.
    partitions = [
        [pa.RecordBatch.from_pydict({"user": users[i : i + 1_000]}) for i in range(start, start + 5_000, 1_000)]
        for start in (0, 5_000)
    ]
    total = drisk.HyperLogLog(14)
    for batches in partitions:
        for out in sketch_batches(iter(batches)):
            total.merge(drisk.unpack(out.column("sketch")[0].as_py()))
    assert total.registers() == local_sketch(users, 14).registers()


# ---------------------------------------------------------------------------
# Travel and memory accounting
# ---------------------------------------------------------------------------


def test_sizeof_counts_the_registers():
    for p in (4, 12, 18):
        assert dask.sizeof.sizeof(HyperLogLog(p)) >= 2**p


def test_sketches_travel_packed():
    h = local_sketch(strings(500, 500), 16)
    header, frames = distributed.protocol.serialize(h)
    assert drisk.pack(h) in b"".join(bytes(f) for f in frames)
    assert sum(len(f) for f in frames) < 2_000  # not the 65,537 raw bytes
    assert distributed.protocol.deserialize(header, frames).registers() == h.registers()


@pytest.mark.parametrize(
    "code, expected",
    [
        ("import drisk; print(drisk.pack(drisk.HyperLogLog(4)).hex())", "e2484c4c01"),
        ("import drisk.dask", "ImportError: drisk.dask needs Dask, which is not installed: pip install drisk[dask]"),
    ],
)
def test_without_dask(code, expected):
    blocked = "import sys; sys.modules['dask'] = None; " + code
    proc = subprocess.run([sys.executable, "-c", blocked], capture_output=True, text=True)
    assert expected in proc.stdout + proc.stderr


def sketch_table_dict(table):
    """{key tuple: registers} of a pandas sketch table (missing keys as None)."""
    return {
        tuple(None if pd.isna(k) else k for k in key): drisk.unpack(cell).to_bytes()
        for *key, cell in table.itertuples(index=False)
    }


def daily_events(n=30000, seed=4):
    rng = np.random.default_rng(seed)
    pages = np.minimum(rng.zipf(1.6, n), 60)
    return pd.DataFrame(
        {
            "day": rng.integers(0, 4, n),
            "page": [None if page == 60 else f"p{page}" for page in pages],
            "user": rng.integers(0, 8000, n),
        }
    )


@pytest.mark.parametrize("by", [["day", "page"], "page", []])
def test_sketch_by_on_the_cluster_equals_one_process(on_cluster, by):
    events = daily_events()
    frame = dd.from_pandas(events, npartitions=5)
    result = drisk.dask.sketch_by(frame, by, "user").compute()
    keys = [by] if isinstance(by, str) else by
    assert list(result.columns) == [*keys, "sketch"]
    assert sketch_table_dict(result) == sketch_table_dict(drisk.sketch_by(events, by, "user"))


def test_sketch_by_refuses_before_any_task():
    frame = dd.from_pandas(pd.DataFrame({"k": [1, 2], "v": [[1], [2]], "w": [1, 2]}), npartitions=2)
    with pytest.raises(ValueError, match="'nope'"):
        drisk.dask.sketch_by(frame, "nope", "w")
    with pytest.raises(TypeError, match="Dask DataFrame"):
        drisk.dask.sketch_by(frame["w"], "k", "w")
