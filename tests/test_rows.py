"""sketch_by() and count_by(): each group's sketch against update_many() of
that group's values alone, across key and value types, frame kinds, chunked
and dictionary-encoded inputs; rollup of daily results against grouping the
raw rows; Parquet round trips; the refusals."""

import datetime
import decimal
import math
import random

import pytest

import drisk
import drisk._grouped

pa = pytest.importorskip("pyarrow")


def is_missing(value):
    return value is None or (isinstance(value, float) and math.isnan(value))


def oracle(keys, values, p=12):
    """{key tuple: registers} by update_many per group (missing keys as None)."""
    groups = {}
    for i, value in enumerate(values):
        key = tuple(None if is_missing(column[i]) else column[i] for column in keys)
        groups.setdefault(key, []).append(value)
    out = {}
    for key, members in groups.items():
        sketch = drisk.HyperLogLog(p)
        drisk.update_many(sketch, [v for v in members if not is_missing(v)])
        out[key] = sketch.to_bytes()
    return out


def result_dict(table, keys):
    """{key tuple: registers} of a sketch_by result (any frame kind)."""
    if not isinstance(table, pa.Table):
        table = pa.Table.from_pandas(table, preserve_index=False) if hasattr(table, "iloc") else table.to_arrow()
    columns = table.to_pydict()
    out = {}
    for i, cell in enumerate(columns["sketch"]):
        key = tuple(None if is_missing(columns[k][i]) else columns[k][i] for k in keys)
        assert key not in out, key
        out[key] = drisk.unpack(cell).to_bytes()
    return out


def random_column(rng, kind, n, distinct, missing=0.1):
    def pick():
        if rng.random() < missing:
            return None
        k = rng.randrange(distinct)
        if kind == "int":
            return k - distinct // 2
        if kind == "float":
            return float("nan") if k == 0 else k / 4
        if kind == "bool":
            return k % 2 == 0
        if kind == "bytes":
            return f"b{k}".encode()
        return ["", "None", "null"][k] if k < 3 else f"s{k}"

    return [pick() for _ in range(n)]


ARROW_TYPES = {
    "int": pa.int64(),
    "float": pa.float64(),
    "bool": pa.bool_(),
    "bytes": pa.binary(),
    "str": pa.string(),
}


def arrow_column(values, kind, encoding):
    array = pa.array(values, ARROW_TYPES[kind], from_pandas=kind == "float")
    if encoding == "dictionary":
        return array.dictionary_encode()
    if encoding == "large" and kind == "str":
        return array.cast(pa.large_string())
    if encoding == "view" and kind == "str":
        return array.cast(pa.string_view())
    return array


@pytest.mark.parametrize(
    ("key_kinds", "value_kind", "encoding"),
    [
        (["int"], "int", "plain"),
        (["int", "int"], "str", "plain"),
        (["str"], "str", "plain"),
        (["str"], "str", "dictionary"),
        (["float"], "float", "plain"),
        (["bool", "str"], "bytes", "plain"),
        (["int", "str"], "str", "large"),
        (["str", "int"], "str", "view"),
        (["bytes"], "int", "dictionary"),
        (["float", "int", "bool"], "float", "plain"),
    ],
)
def test_each_group_has_the_registers_of_update_many_on_its_values(key_kinds, value_kind, encoding):
    rng = random.Random(hash((tuple(key_kinds), value_kind, encoding)) & 0xFFFF)
    n = 6000
    keys = [random_column(rng, kind, n, 12) for kind in key_kinds]
    values = random_column(rng, value_kind, n, 3000, missing=0.2)
    names = [f"k{i}" for i in range(len(keys))]
    table = pa.table(
        [arrow_column(column, kind, encoding) for column, kind in zip(keys, key_kinds)]
        + [arrow_column(values, value_kind, encoding)],
        names=[*names, "v"],
    )
    result = drisk.sketch_by(table, names, "v", p=10)
    assert result.column_names == [*names, "sketch"]
    for name in names:
        assert result.schema.field(name).type == table.schema.field(name).type
    assert result_dict(result, names) == oracle(keys, values, p=10)


@pytest.mark.parametrize("kind", [pa.string_view(), pa.binary_view()], ids=str)
def test_view_keys_in_chunks_come_back_as_they_were(kind):
    """Keys held as views (polars' strings), inline (12 bytes at most) and in
    data buffers, over several chunks with nulls: each group's key is its
    first row's, in the view type, and its registers update_many's."""
    rng = random.Random(4)
    texts = [None, "", "short", "twelve bytes", "thirteen byte", "a much longer key than any view inlines"]
    # Each chunk brings keys of its own, so that groups first come in each.
    keys = [rng.choice([*texts, f"first in chunk {i // 700}, long enough for a buffer"]) for i in range(4000)]
    values = [rng.randrange(900) for _ in keys]
    encode = (lambda t: t) if kind == pa.string_view() else (lambda t: None if t is None else t.encode())
    chunks = [pa.array([encode(t) for t in keys[i : i + 700]], kind) for i in range(0, len(keys), 700)]
    table = pa.table({"k": pa.chunked_array(chunks, kind), "v": values})
    result = drisk.sketch_by(table, "k", "v")
    assert result.schema.field("k").type == kind
    decoded = [k if k is None or isinstance(k, str) else k.decode() for k in result["k"].to_pylist()]
    want = oracle([keys], values)
    assert (
        dict(zip(((k,) for k in decoded), (drisk.unpack(c).to_bytes() for c in result["sketch"].to_pylist()))) == want
    )


@pytest.mark.parametrize("p", [4, 12, 18])
def test_precisions_and_groups_past_the_sparse_limit(p):
    rng = random.Random(p)
    keys = [rng.choice(["big", "small", None]) for _ in range(30000)]
    values = [rng.randrange(1 << 40) for _ in keys]
    table = pa.table({"k": keys, "v": values})
    assert result_dict(drisk.sketch_by(table, "k", "v", p=p), ["k"]) == oracle([keys], values, p)


def test_missing_keys_and_texts_like_them_are_different_groups():
    keys = [None, "", "None", "nan", None, float("nan")]
    table = pa.table({"k": pa.array(keys[:5], pa.string()), "v": [1, 2, 3, 4, 5]})
    result = result_dict(drisk.sketch_by(table, "k", "v"), ["k"])
    assert set(result) == {(None,), ("",), ("None",), ("nan",)}


# Rows 0, 1 and 6 are one group (0.0 and -0.0), 2 and 4 another (NaN), apart
# from the missing keys 3 and 7.
FLOAT_KEYS = [0.0, -0.0, float("nan"), None, float("nan"), 1.5, -0.0, None, -1.5]
FLOAT_GROUPS = {0.0: [0, 1, 6], "NaN": [2, 4], None: [3, 7], 1.5: [5], -1.5: [8]}


def float_key(value):
    if value is None:
        return None
    return "NaN" if math.isnan(value) else value + 0.0


@pytest.mark.parametrize(
    "layout", ["float64", "float32", "chunks", "dictionary", "with a second key", "rollup", "count_by"]
)
def test_float_keys_group_as_their_values_count_equal(layout):
    """-0.0 and 0.0 are one key (as they are one item), every NaN one key,
    a missing key another, on every path to the key table."""
    keys = pa.array(FLOAT_KEYS, pa.float32() if layout == "float32" else pa.float64())
    if layout == "chunks":
        keys = pa.chunked_array([keys.slice(0, 4), keys.slice(4)])
    if layout == "dictionary":
        keys = keys.dictionary_encode()
    values = list(range(100, 100 + len(FLOAT_KEYS)))
    table = pa.table({"k": keys, "s": ["x"] * len(FLOAT_KEYS), "v": values})
    by = ["k", "s"] if layout == "with a second key" else ["k"]
    if layout == "rollup":
        cells = []
        for value in values:
            one = drisk.HyperLogLog(12)
            drisk.update_many(one, [value])
            cells.append(drisk.pack(one))
        result = drisk.rollup(pa.table({"k": keys, "sketch": pa.array(cells, pa.binary())}), "k")
    elif layout == "count_by":
        result = drisk.count_by(table, by, "v")
    else:
        result = drisk.sketch_by(table, by, "v")
    got = result.to_pydict()
    groups = [float_key(k) for k in got["k"]]
    assert sorted(groups, key=repr) == sorted(FLOAT_GROUPS, key=repr)
    for i, group in enumerate(groups):
        sketch = drisk.HyperLogLog(12)
        drisk.update_many(sketch, [values[row] for row in FLOAT_GROUPS[group]])
        if layout == "count_by":
            assert got["estimate"][i] == drisk.estimate(sketch)
        else:
            assert drisk.unpack(got["sketch"][i]).registers() == sketch.registers()


def test_a_group_whose_values_are_all_missing_has_an_empty_sketch():
    table = pa.table({"k": ["a", "a", "b"], "v": pa.array([None, None, "x"], pa.string())})
    result = result_dict(drisk.sketch_by(table, "k", "v"), ["k"])
    assert result[("a",)] == drisk.HyperLogLog(12).to_bytes()


def test_one_group_every_row_its_own_group_and_empty_input():
    values = list(range(5000))
    one = pa.table({"k": [7] * 5000, "v": values})
    assert result_dict(drisk.sketch_by(one, "k", "v"), ["k"]) == oracle([[7] * 5000], values)
    own = pa.table({"k": values, "v": [str(v) for v in values]})
    assert result_dict(drisk.sketch_by(own, "k", "v"), ["k"]) == oracle([values], [str(v) for v in values])
    for key_type in (pa.string(), pa.int32()):
        empty = pa.table({"k": pa.array([], key_type), "v": pa.array([], pa.int64())})
        result = drisk.sketch_by(empty, "k", "v")
        assert result.num_rows == 0
        assert result.column_names == ["k", "sketch"]
        assert result.schema.field("k").type == key_type


@pytest.mark.parametrize("key_type", [pa.int32(), pa.int64(), pa.string()], ids=["small range", "wide", "text"])
def test_groups_past_one_slice_between_signal_checks(key_type):
    """Keys numbered, sketches packed and estimates made a slice of rows or
    groups at a time: more groups and rows than a slice, every one right."""
    rng = random.Random(5)
    rows = 150_000
    keys = [rng.randrange(70_000) * (1 if key_type == pa.int32() else 2**40 + 1) for _ in range(rows)]
    keys = [str(k) for k in keys] if key_type == pa.string() else keys
    values = [rng.randrange(1 << 30) for _ in range(rows)]
    table = pa.table({"k": pa.array(keys, key_type), "v": values})
    want = oracle([keys], values)
    assert result_dict(drisk.sketch_by(table, "k", "v"), ["k"]) == want
    counted = drisk.count_by(table, "k", "v").to_pydict()
    assert len(counted["k"]) == len(want)
    for key, estimate in zip(counted["k"], counted["estimate"]):
        assert estimate == drisk.estimate(drisk.HyperLogLog.from_bytes(want[(key,)]))


@pytest.mark.parametrize("key_type", [pa.int8(), pa.uint64(), pa.int64()])
def test_integer_keys_at_the_ends_of_their_range_and_all_missing(key_type):
    low, high = (0, 2**64 - 1) if key_type == pa.uint64() else (-(2**63), 2**63 - 1)
    if key_type == pa.int8():
        low, high = -128, 127
    keys = [low, high, None, low + 1, high, None]
    values = ["a", "b", "c", "d", "e", "f"]
    table = pa.table({"k": pa.array(keys, key_type), "v": values})
    assert result_dict(drisk.sketch_by(table, "k", "v"), ["k"]) == oracle([keys], values)
    nothing = pa.table({"k": pa.array([None, None], key_type), "j": [1, 2], "v": ["a", "b"]})
    assert result_dict(drisk.sketch_by(nothing, ["k", "j"], "v"), ["k", "j"]) == oracle(
        [[None, None], [1, 2]], ["a", "b"]
    )


def test_chunks_with_shared_and_different_dictionaries():
    rng = random.Random(5)
    batches, keys, values = [], [], []
    shared = pa.array([f"u{i}" for i in range(50)])
    for b in range(6):
        k = [rng.randrange(20) for _ in range(3000)]
        idx = [rng.randrange(50) for _ in range(3000)]
        # Alternate a shared dictionary and one of each batch's own.
        dictionary = shared if b % 2 == 0 else pa.array([f"w{b}-{i}" for i in range(50)])
        batches.append(
            pa.record_batch({"k": k, "v": pa.DictionaryArray.from_arrays(pa.array(idx, pa.int32()), dictionary)})
        )
        keys += k
        values += [dictionary[i].as_py() for i in idx]
    table = pa.Table.from_batches(batches)
    expected = oracle([keys], values)
    assert result_dict(drisk.sketch_by(table, "k", "v"), ["k"]) == expected
    reader = pa.RecordBatchReader.from_batches(batches[0].schema, iter(batches))
    result = drisk.sketch_by(reader, "k", "v")
    assert isinstance(result, pa.Table)
    assert result_dict(result, ["k"]) == expected


@pytest.mark.parametrize("kind", ["polars", "pandas"])
def test_frames_give_frames_of_their_kind(kind):
    engine = pytest.importorskip(kind)
    rng = random.Random(3)
    keys = [rng.choice(["x", "y", None]) for _ in range(4000)]
    values = [rng.randrange(900) for _ in keys]
    frame = engine.DataFrame({"k": keys, "v": values})
    result = drisk.sketch_by(frame, ["k"], "v")
    assert type(result) is type(frame)
    assert result_dict(result, ["k"]) == oracle([keys], values)
    counted = drisk.count_by(frame, "k", "v")
    assert type(counted) is type(frame)
    assert list(counted.columns) == ["k", "estimate"]


@pytest.mark.parametrize(
    ("keys", "dtype"),
    [
        ([2**53, 2**53 + 1, None, 2**53], "Int64"),
        ([True, None, False, True], "boolean"),
        (["a", None, "b", "a"], "string"),
    ],
    ids=["Int64", "boolean", "string"],
)
def test_pandas_keys_keep_their_dtype_through_rollup(keys, dtype):
    """A nullable pandas key comes back in its own dtype: an Int64 key made
    float64 would merge 2**53 and 2**53 + 1, and a later rollup with them."""
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"k": pd.array(keys, dtype=dtype), "v": [1, 2, 3, 4]})
    for result in (drisk.sketch_by(frame, "k", "v"), drisk.count_by(frame, "k", "v")):
        assert result["k"].dtype == frame["k"].dtype
        assert len(result) == 3
    rolled = drisk.rollup(drisk.sketch_by(frame, "k", "v"), "k")
    assert rolled["k"].dtype == frame["k"].dtype and len(rolled) == 3


def test_duckdb_results_are_read_as_arrow_streams():
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    relation = con.sql("SELECT i % 7 AS k, i % 1000 AS v FROM range(20000) t(i)")
    result = drisk.sketch_by(relation, "k", "v")
    assert isinstance(result, pa.Table)
    keys = [i % 7 for i in range(20000)]
    assert result_dict(result, ["k"]) == oracle([keys], [i % 1000 for i in range(20000)])


def test_rolling_up_daily_results_gives_sketch_by_on_the_raw_rows(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    rng = random.Random(17)
    n = 40000
    table = pa.table(
        {
            "day": [rng.randrange(5) for _ in range(n)],
            "page": [None if rng.random() < 0.05 else f"p{min(int(rng.paretovariate(0.8)), 40)}" for _ in range(n)],
            "user": [rng.randrange(20000) for _ in range(n)],
        }
    )
    daily = drisk.sketch_by(table, ["day", "page"], "user")
    pq.write_table(daily, tmp_path / "daily.parquet")
    read = pq.read_table(tmp_path / "daily.parquet")
    direct = drisk.sketch_by(table, "page", "user")
    assert result_dict(drisk.rollup(read, "page"), ["page"]) == result_dict(direct, ["page"])


def test_count_by_matches_estimates_of_the_sketches():
    rng = random.Random(8)
    keys = [rng.randrange(30) for _ in range(30000)]
    values = [rng.randrange(rng.choice([10, 1000, 100000])) for _ in keys]
    table = pa.table({"k": keys, "v": values})
    sketches = drisk.sketch_by(table, "k", "v").to_pydict()
    counted = drisk.count_by(table, "k", "v", confidence=0.9).to_pydict()
    assert counted["k"] == sketches["k"]
    for i, cell in enumerate(sketches["sketch"]):
        sketch = drisk.unpack(cell)
        assert counted["estimate"][i] == drisk.estimate(sketch)
        assert (counted["lower"][i], counted["upper"][i]) == drisk.error_bounds(sketch, 0.9)
    plain = drisk.count_by(table, "k", "v")
    assert plain.column_names == ["k", "estimate"]
    assert plain.column("estimate").to_pylist() == counted["estimate"]


@pytest.mark.parametrize(
    ("call", "error", "text"),
    [
        (lambda t: drisk.sketch_by(t, "nope", "v"), ValueError, "'nope'"),
        (lambda t: drisk.sketch_by(t, "k", "nope"), ValueError, "'nope'"),
        (lambda t: drisk.sketch_by(t, "k", "lists"), TypeError, "list"),
        (lambda t: drisk.count_by(t, "k", "lists"), TypeError, "list"),
        (lambda t: drisk.sketch_by(t, "k", "v", p=3), ValueError, "p"),
        (lambda t: drisk.sketch_by(t, None, "v"), TypeError, "by"),
        (lambda t: drisk.sketch_by(t, "k", "k"), ValueError, "key"),
        (lambda t: drisk.sketch_by(t, ["k", "k"], "v"), ValueError, "twice"),
        (lambda t: drisk.sketch_by(t, "sketch", "v"), ValueError, "'sketch'"),
        (lambda t: drisk.count_by(t, "k", "v", confidence=1.5), ValueError, "confidence"),
        (lambda t: drisk.sketch_by([1, 2], "k", "v"), TypeError, "list"),
        # The private entry behind integer keys, given a key that is no tuple.
        (lambda t: drisk._grouped.integer_key_ids([t["k"]]), TypeError, "must be a tuple"),
    ],
)
def test_refusals(call, error, text):
    table = pa.table({"k": [1, 2], "v": [3, 4], "sketch": [1, 2], "lists": [[1], [2]]})
    with pytest.raises(error, match=text):
        call(table)


def test_an_array_longer_than_a_slice_between_signal_checks():
    np = pytest.importorskip("numpy")
    n = (1 << 22) + 12345
    values = np.arange(n, dtype=np.int64) * 7919 % 1_000_003
    keys = np.arange(n, dtype=np.int64) % 3
    result = drisk.sketch_by(pa.table({"k": keys, "v": values}), "k", "v").to_pydict()
    for key, cell in zip(result["k"], result["sketch"], strict=True):
        expected = drisk.HyperLogLog(12)
        drisk.update_many(expected, values[keys == key])
        assert drisk.unpack(cell).to_bytes() == expected.to_bytes()


@pytest.mark.parametrize(
    "values",
    [
        [datetime.date(2024, 1, d) for d in range(1, 29)] * 3 + [None],
        pa.array([datetime.datetime(2024, 1, 1, h, m) for h in range(24) for m in (0, 30)], pa.timestamp("us")),
        pa.array([decimal.Decimal("1.25"), decimal.Decimal("3.10"), None, decimal.Decimal("-0.50")] * 5),
        pa.array([1.0, 2.5, float("nan"), 3.0, 0.01, -0.0, 1e300] * 4),
    ],
    ids=["date", "timestamp", "decimal", "float"],
)
def test_dates_times_decimals_and_floats_as_update_many_reads_them(values):
    column = values if isinstance(values, pa.Array) else pa.array(values)
    keys = pa.array([i % 3 for i in range(len(column))])
    result = drisk.sketch_by(pa.table({"k": keys, "v": column}), "k", "v").to_pydict()
    for key, cell in zip(result["k"], result["sketch"], strict=True):
        expected = drisk.HyperLogLog(12)
        drisk.update_many(expected, column.filter(pa.compute.equal(keys, key)))
        assert drisk.unpack(cell).to_bytes() == expected.to_bytes()


# Integer values are hashed a vector at a time where the CPU can, a scalar
# tail after the last whole vector. Each group's registers against the texts
# Python writes for its values: every width and sign, nulls, offsets into
# the buffers, lengths that leave a tail, values on every side of the
# lanes' cases (below 0, below 1000, up to 10^8, past it).
INTEGER_ROWS_CHECK = """
import sys
import numpy as np
import pyarrow as pa
import drisk
from drisk import HyperLogLog

edges = [s * (10**k + d) for k in range(0, 19) for d in range(-2, 3) for s in (1, -1)]
values = edges + list(range(-150, 1200)) + list(range(1, 10**8, 1_234_567)) + [2**63 - 1, -(2**63), 2**64 - 1]
rng = np.random.default_rng(7)
for dtype in [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]:
    info = np.iinfo(dtype)
    fit = np.array([v for v in values if info.min <= v <= info.max], dtype=dtype)
    column = np.concatenate([fit, rng.permutation(fit)])
    missing = rng.random(len(column)) < 0.15
    whole = pa.array(column, mask=missing)
    keys = pa.array(rng.integers(0, 5, len(column)))
    for start, stop in [(0, len(column)), (1, len(column)), (3, len(column) - 2), (5, 12), (7, 8)]:
        part, part_keys = whole.slice(start, stop - start), keys.slice(start, stop - start)
        result = drisk.sketch_by(pa.table({"k": part_keys, "v": part}), "k", "v").to_pydict()
        expected = {}
        for key, value in zip(part_keys.to_pylist(), part.to_pylist()):
            sketch = expected.setdefault(key, HyperLogLog(12))
            if value is not None:
                sketch.update_str(str(value))
        got = {k: drisk.unpack(cell).to_bytes() for k, cell in zip(result["k"], result["sketch"])}
        if got != {k: s.to_bytes() for k, s in expected.items()}:
            sys.exit(f"{dtype.__name__} rows {start}..{stop}: registers differ")
"""


@pytest.mark.parametrize("disabled", ["", "avx512", "avx512,avx2"])
def test_integer_values_hash_as_their_text_on_every_path(disabled):
    # Each vector path the CPU has, and the portable one, in a process of its own.
    import os
    import subprocess
    import sys

    pytest.importorskip("numpy")
    env = dict(os.environ, DRISK_DISABLE_CPU_FEATURES=disabled)
    result = subprocess.run([sys.executable, "-c", INTEGER_ROWS_CHECK], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-2000:]


@pytest.mark.parametrize("batches", [1, 2])
def test_a_dictionary_that_repeats_an_entry_is_one_key(batches):
    """Arrow lets a dictionary hold one text twice: rows of either entry are
    one key, alone in a batch as across batches."""
    dictionary = pa.array(["a", "b", "a"])
    rng = random.Random(11)
    chunks, keys, days, values = [], [], [], []
    for _ in range(batches):
        indices = [rng.choice([0, 1, 2, None]) for _ in range(400)]
        day = [rng.randrange(3) for _ in indices]
        value = [rng.randrange(300) for _ in indices]
        page = pa.DictionaryArray.from_arrays(pa.array(indices, pa.int8()), dictionary)
        chunks.append(pa.record_batch({"day": pa.array(day, pa.int32()), "page": page, "v": value}))
        keys += page.to_pylist()
        days += day
        values += value
    table = pa.Table.from_batches(chunks)
    assert result_dict(drisk.sketch_by(table, ["day", "page"], "v"), ["day", "page"]) == oracle([days, keys], values)
