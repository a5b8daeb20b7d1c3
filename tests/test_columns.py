"""update_many on columns: Arrow (PyCapsule interface), NumPy, pandas, polars.

Oracles are independent of the column readers: registers of a sketch fed
each value's text one by one (update / update_str), exact counts of the
non-missing values, and Python's own str() and repr().
"""

import math
import os
import sys

import pytest
from test_columns_built import HandBuilt, int32s

import drisk
from drisk import HyperLogLog, update_many
from drisk._colread import update_arrow, update_buffer, update_times
from support import float_text

P = 16


def item_of(value):
    """The item a Python value stands for, or None when it is missing."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return None
    if isinstance(value, (bytes, str)):
        return value
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, int):
        return str(value)
    value = float(value)  # numpy and Arrow half floats come back as numpy scalars
    if math.isnan(value):
        return None
    return float_text(value)


def oracle(values, p=P):
    """(registers, count) of the non-missing values added one at a time."""
    h = HyperLogLog(p)
    count = 0
    for value in values:
        item = item_of(value)
        if item is None:
            continue
        count += 1
        if isinstance(item, bytes):
            h.update(item)
        else:
            h.update_str(item)
    return h.registers(), count


def fed(items, p=P):
    h = HyperLogLog(p)
    count = update_many(h, items)
    return h.registers(), count


# ---------------------------------------------------------------------------
# Arrow
# ---------------------------------------------------------------------------

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")

STRINGS = ["a", "", "été", None, "a", "longer than twelve bytes", "z" * 40, "0", None, "b"]
BINARIES = [b"a", b"", b"\x00\xff", None, b"a", b"longer than twelve bytes", b"\x80" * 33]
FLOATS = [0.0, -0.0, 1.5, math.nan, None, 1e16, 1e-5, -math.inf, 0.1, 1.0, 2.5]


def int_values(dtype):
    info = np.iinfo(dtype)
    return [0, 1, None, int(info.max), int(info.min), 42, 42, 10, None, int(info.max) // 3]


ARROW_COLUMNS = {
    "string": lambda: pa.array(STRINGS, pa.string()),
    "large_string": lambda: pa.array(STRINGS, pa.large_string()),
    "string_view": lambda: pa.array(STRINGS, pa.string_view()),
    "binary": lambda: pa.array(BINARIES, pa.binary()),
    "large_binary": lambda: pa.array(BINARIES, pa.large_binary()),
    "binary_view": lambda: pa.array(BINARIES, pa.binary_view()),
    "fixed_size_binary": lambda: pa.array([b"abc", None, b"\x00\x00\x01", b"abc", b"xyz"], pa.binary(3)),
    "bool": lambda: pa.array([True, None, False, True, None], pa.bool_()),
    "float16": lambda: pa.array(
        np.array([0.5, 1.0, -0.0, np.nan, 65504, 0.1, 3], dtype=np.float16),
        mask=np.array([0, 0, 0, 0, 1, 0, 0], dtype=bool),
    ),
    "float32": lambda: pa.array(FLOATS, pa.float32()),
    "float64": lambda: pa.array(FLOATS, pa.float64()),
    "null": lambda: pa.array([None, None, None], pa.null()),
    **{
        name: (lambda name=name: pa.array(int_values(np.dtype(name)), getattr(pa, name)()))
        for name in ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]
    },
}


def chunked(array):
    """The array cut into chunks, an empty one among them."""
    n = len(array)
    return pa.chunked_array([array[: n // 3], array[:0], array[n // 3 :]], type=array.type)


def dictionary(array):
    try:
        return array.dictionary_encode()
    except pa.ArrowNotImplementedError:
        pytest.skip(f"pyarrow cannot dictionary-encode {array.type}")


ARROW_SHAPES = {
    "array": lambda a: a,
    "slice": lambda a: a[2:],  # a non-zero offset
    "middle": lambda a: a[1:-1],
    "empty": lambda a: a[:0],
    "chunked": chunked,
    "dictionary": dictionary,
    "sliced dictionary": lambda a: dictionary(a)[1:],
    "table": lambda a: pa.table({"column": a}),
    "sliced table": lambda a: pa.table({"column": a}).slice(1),
    "record batch": lambda a: pa.record_batch({"column": a}),
}


@pytest.mark.parametrize("shape", ARROW_SHAPES)
@pytest.mark.parametrize("column", ARROW_COLUMNS)
def test_arrow_types_and_shapes(column, shape):
    data = ARROW_SHAPES[shape](ARROW_COLUMNS[column]())
    values = data.column(0).to_pylist() if hasattr(data, "column") else data.to_pylist()
    assert fed(data) == oracle(values)


def test_dictionary_with_null_entries_and_unused_entries():
    indices = pa.array([0, 1, None, 3, 0, 1], pa.int16())
    entries = pa.array(["x", None, "unused", "y"])
    data = pa.DictionaryArray.from_arrays(indices, entries)
    assert fed(data) == oracle(["x", None, None, "y", "x", None])


SPARSE_ENTRIES = {
    "string": lambda n: pa.array([None if i % 7 == 3 else f"s{i}" for i in range(n)]),
    "large_string": lambda n: pa.array([f"s{i}" for i in range(n)], pa.large_string()),
    "string_view": lambda n: pa.array([f"longer than twelve {i}" for i in range(n)], pa.string_view()),
    "int64": lambda n: pa.array(np.arange(n) * 1_000_003 - 10**9),
    "uint8 as int16": lambda n: pa.array(np.arange(n) % 200, pa.int16()),
    "float64": lambda n: pa.array([math.nan if i % 5 == 1 else (None if i % 5 == 2 else i / 3) for i in range(n)]),
    "fixed_size_binary": lambda n: pa.array([i.to_bytes(4, "big") for i in range(n)], pa.binary(4)),
    "bool": lambda n: pa.array([i % 3 == 0 for i in range(n)]),
}


@pytest.mark.parametrize("entries", list(SPARSE_ENTRIES))
def test_few_rows_of_a_large_dictionary(entries):
    # A few rows over many entries: each row's entry is read, not the whole
    # dictionary; null and NaN entries are still skipped and not counted.
    dictionary = SPARSE_ENTRIES[entries](50_000)
    rng = np.random.default_rng(11)
    indices = pa.array(rng.integers(0, len(dictionary), 40), pa.int32(), mask=rng.random(40) < 0.2)
    chunk = pa.DictionaryArray.from_arrays(indices, dictionary)
    # Beside a chunk with many rows over the same dictionary, and sliced.
    many = pa.DictionaryArray.from_arrays(pa.array(rng.integers(0, len(dictionary), 60_000), pa.int32()), dictionary)
    data = pa.chunked_array([chunk, many, chunk[7:]])
    assert fed(data) == oracle(data.to_pylist())


def test_few_rows_of_a_large_dictionary_check_their_indices():
    dictionary = pa.array(np.arange(50_000).astype(str))
    data = pa.DictionaryArray.from_arrays(pa.array([1, 2, 50_000], pa.int32()), dictionary, safe=False)
    h = HyperLogLog(8)
    with pytest.raises(ValueError, match="dictionary index is out of range"):
        update_many(h, data)
    assert not any(h.registers())


def test_chunks_sharing_a_large_dictionary_cost_their_rows():
    # 10**9 entries of zero bytes each (no memory): reading the whole
    # dictionary for each 5-row chunk would take seconds per chunk.
    import time

    entries = pa.FixedSizeBinaryArray.from_buffers(pa.binary(0), 10**9, [None, pa.py_buffer(b"")])
    rng = np.random.default_rng(2)
    chunks = [
        pa.DictionaryArray.from_arrays(pa.array(rng.integers(0, 10**9, 5), pa.int32()), entries) for _ in range(20)
    ]
    h = HyperLogLog(8)
    start = time.perf_counter()
    assert update_many(h, pa.chunked_array(chunks)) == 100
    assert time.perf_counter() - start < 5.0  # a generous bound: under a millisecond expected
    assert h.registers() == fed([b""], 8)[0]


def extension_array(storage):
    class Extension(pa.ExtensionType):
        def __init__(self):
            super().__init__(storage.type, "drisk.test")

        def __arrow_ext_serialize__(self):
            return b""

        @classmethod
        def __arrow_ext_deserialize__(cls, storage_type, serialized):
            return cls()

    return pa.ExtensionArray.from_storage(Extension(), storage)


def test_extension_types_are_refused_by_name_whatever_their_storage():
    # Over int64 or over a one-field struct (which would otherwise be read
    # as a one-column table), the same refusal, before anything is added.
    messages = []
    for storage in [pa.array([1, 2]), pa.StructArray.from_arrays([pa.array([1, 2])], ["x"])]:
        h = HyperLogLog(8)
        with pytest.raises(TypeError, match="extension type 'drisk.test'") as info:
            update_many(h, extension_array(storage))
        assert not any(h.registers())
        messages.append(str(info.value))
    assert messages[0] == messages[1]


@pytest.mark.parametrize(
    "entries", [pa.nulls(2), pa.nulls(2, pa.string()), pa.array([None, math.nan]), pa.nulls(50_000)]
)
def test_dictionary_of_missing_entries_adds_nothing(entries):
    data = pa.DictionaryArray.from_arrays(pa.array([0, 1, 0], pa.int32()), entries)
    h = HyperLogLog(8)
    assert update_many(h, data) == 0
    assert not any(h.registers())


@pytest.mark.parametrize("nulls", [False, True])
@pytest.mark.parametrize("column", ["string", "string_view", "int64", "int32", "float64", "uint64", "dictionary"])
def test_large_arrays_split_between_cores_give_the_same_sketch(column, nulls):
    n = 200_003
    rng = np.random.default_rng(5)
    ints = rng.integers(-(10**9), 10**12, n)
    mask = rng.random(n) < 0.1 if nulls else None
    if column in ("string", "string_view", "dictionary"):
        data = pa.array(ints.astype(str), mask=mask).cast(pa.string_view() if column == "string_view" else pa.string())
        if column == "dictionary":
            data = pa.array((ints % 1000).astype(str), mask=mask).dictionary_encode()
    elif column == "float64":
        data = pa.array(ints / 7, mask=mask)
    else:
        data = pa.array(ints, mask=mask).cast(getattr(pa, column)(), safe=False)
    data = data[1:]  # an offset too
    assert fed(data) == oracle(data.to_pylist())


def test_one_core_and_two_cores_agree():
    if not hasattr(os, "sched_setaffinity"):
        pytest.skip("no CPU affinity control here")
    data = pa.array(np.arange(300_000).astype(str))
    numbers = np.arange(300_000) * 3
    both = fed(data), fed(numbers)
    allowed = os.sched_getaffinity(0)
    try:
        os.sched_setaffinity(0, {min(allowed)})
        one = fed(data), fed(numbers)
    finally:
        os.sched_setaffinity(0, allowed)
    assert one == both


def test_column_of_a_multi_column_table():
    table = pa.table({"a": ["x", "y"], "b": [1, 2]})
    assert fed(table["b"]) == oracle([1, 2])
    assert fed(table.select(["a"])) == oracle(["x", "y"])


# ---------------------------------------------------------------------------
# One identity across paths
# ---------------------------------------------------------------------------


def via_lines(tmp_path, texts):
    path = tmp_path / "items.txt"
    path.write_text("".join(f"{t}\n" for t in texts))
    h = HyperLogLog(P)
    drisk.update_file(h, str(path))
    return h.registers()


def via_str(texts):
    h = HyperLogLog(P)
    for t in texts:
        h.update_str(t)
    return h.registers()


INTS = [0, 7, -7, 42, 10**8, -(10**12), 2**63 - 1, -(2**63), 123456789]
DOUBLES = [0.0, -0.0, 1.0, 1.5, -2.25, 1e16, 1e-5, 0.0001, 1e300, math.inf, -math.inf, 0.1 + 0.2]


@pytest.mark.parametrize(
    "values, texts, arrow_type, dtype",
    [
        (INTS, [str(x) for x in INTS], pa.int64(), np.int64),
        (
            DOUBLES,
            [
                "0",
                "0",
                "1",
                "1.5",
                "-2.25",
                "10000000000000000",
                "1e-05",
                "0.0001",
                str(int(1e300)),
                "inf",
                "-inf",
                "0.30000000000000004",
            ],
            pa.float64(),
            np.float64,
        ),
        ([True, False, True], ["True", "False"], pa.bool_(), np.bool_),
    ],
)
def test_one_identity_for_every_path(tmp_path, values, texts, arrow_type, dtype):
    expected = via_str(texts)
    assert fed(pa.array(values, arrow_type))[0] == expected
    assert fed(np.array(values, dtype=dtype))[0] == expected
    assert fed(list(values))[0] == expected  # Python int, float, bool
    assert fed(x for x in values)[0] == expected
    assert fed(pa.array(texts))[0] == expected  # the same items as text
    assert via_lines(tmp_path, texts) == expected


def test_missing_values_are_skipped_on_every_path():
    values = [1.5, None, math.nan, 2.5, None]
    assert fed(values) == fed(iter(values)) == fed(pa.array(values, from_pandas=True)) == oracle([1.5, 2.5])
    assert fed(values)[1] == 2


@pytest.mark.parametrize("value", [2**64, -(2**63) - 1, 10**30])
def test_python_ints_outside_64_bits_are_refused(value):
    h = HyperLogLog(8)
    with pytest.raises(TypeError, match="outside the 64-bit range"):
        update_many(h, [1, value])
    assert fed([2**64 - 1, -(2**63)]) == oracle([2**64 - 1, -(2**63)])


# ---------------------------------------------------------------------------
# NumPy
# ---------------------------------------------------------------------------


def numpy_layouts():
    base = np.arange(-500, 40_000, 7, dtype=np.int64)
    grid = np.arange(60_000, dtype=np.float64).reshape(300, 200) / 8
    unaligned = np.frombuffer(b"\x00" + np.arange(5000, dtype=np.int64).tobytes(), dtype=np.int64, offset=1)
    return {
        "contiguous": base,
        "every third": base[::3],
        "reversed": base[::-1],
        "C-order column": grid[:, 5],
        "F-order row": np.asfortranarray(grid)[7, :],
        "unaligned": unaligned,
        "byte-swapped": base.astype(">i8"),
        "byte-swapped floats": (base / 3).astype(">f8")[::2],
        "float32 strided": (base / 4).astype(np.float32)[1::2],
        "uint16": (base % 60_000).astype(np.uint16),
        "bool strided": (base % 3 == 0)[::5],
        "empty": base[:0],
        "one": base[:1],
    }


@pytest.mark.parametrize("layout", numpy_layouts())
def test_numpy_layouts(layout):
    array = numpy_layouts()[layout]
    assert fed(array) == oracle(array.tolist())


def test_numpy_nan_is_missing_and_not_counted():
    array = np.array([1.0, np.nan, 2.0, np.nan, -np.nan])
    assert fed(array) == oracle([1.0, 2.0])
    assert fed(array)[1] == 2


@pytest.mark.parametrize(
    "array",
    [
        np.array(["a", "bb", "a"]),  # fixed-width text: element by element
        np.array([b"a", b"bb"]),
        np.array(["x", "y", "z"], dtype=object),
    ],
)
def test_numpy_text_and_objects(array):
    assert fed(array) == oracle(array.tolist())


def test_numpy_masked_array():
    array = np.ma.array([1, 2, 3, 4], mask=[0, 1, 0, 1])
    assert fed(array) == oracle([1, 3])


def test_array_module_buffers():
    import array

    assert fed(array.array("q", [1, 2, 3])) == oracle([1, 2, 3])
    assert fed(array.array("d", [0.5, 0.5])) == oracle([0.5, 0.5])
    assert fed(array.array("u", "ab")) == oracle(["a", "b"])  # characters, one by one


# ---------------------------------------------------------------------------
# pandas and polars
# ---------------------------------------------------------------------------


def pandas_series():
    pd = pytest.importorskip("pandas")
    return {
        "str": lambda: pd.Series(["a", None, "b", "a"], dtype="str"),
        "string[python]": lambda: pd.Series(["a", None, "b"], dtype="string[python]"),
        "string[pyarrow]": lambda: pd.Series(["a", None, "b"], dtype="string[pyarrow]"),
        "arrow string": lambda: pd.Series(["a", None, "c"], dtype=pd.ArrowDtype(pa.string())),
        "object with None and NA": lambda: pd.Series(["a", None, b"b", pd.NA, pd.NaT, "a"], dtype=object),
        "int64": lambda: pd.Series([1, 2, 3, 1]),
        "sliced int64": lambda: pd.Series(np.arange(100)).iloc[3::4],
        "Int64 with NA": lambda: pd.Series([1, None, 3], dtype="Int64"),
        "UInt8": lambda: pd.Series([1, None, 255], dtype="UInt8"),
        "float with NaN": lambda: pd.Series([1.5, np.nan, 2.0]),
        "Float64 with NA": lambda: pd.Series([1.5, None, 2.0], dtype="Float64"),
        "float32": lambda: pd.Series([0.1, 0.2], dtype="float32"),
        "bool": lambda: pd.Series([True, False, True]),
        "boolean with NA": lambda: pd.Series([True, None, False], dtype="boolean"),
        "category": lambda: pd.Series(["x", "y", None, "x"], dtype="category"),
        "numeric category": lambda: pd.Series(pd.Categorical([3, 1, None, 3], categories=[1, 2, 3])),
        "index": lambda: pd.Index(["p", "q", "p"]),
        "categorical index": lambda: pd.CategoricalIndex(["p", "q", "p"]),
        "empty": lambda: pd.Series([], dtype="str"),
    }


@pytest.mark.parametrize("kind", list(pandas_series()))
def test_pandas_dtypes(kind):
    import pandas as pd

    series = pandas_series()[kind]()
    values = [None if pd.isna(v) else v for v in series.tolist()]
    registers, count = fed(series)
    assert (registers, count) == oracle(values)
    assert count == series.notna().sum()
    assert len({item_of(v) for v in values} - {None}) == series.nunique()


def test_polars_series():
    pl = pytest.importorskip("polars")
    cases = [
        pl.Series(["a", None, "b", "a", "a long string over twelve bytes"]),
        pl.Series(["x", "y", None, "x"], dtype=pl.Categorical),
        pl.Series([1, None, -3]),
        pl.Series([1.5, None, float("nan"), -0.0], dtype=pl.Float32),
        pl.Series([True, None, False]),
        pl.Series([b"a", None, b"b"]),
        pl.Series(range(1000))[10:20],
        pl.DataFrame({"only": ["a", "b"]}),
    ]
    for series in cases:
        values = series.to_series().to_list() if isinstance(series, pl.DataFrame) else series.to_list()
        assert fed(series) == oracle(values), series


def test_polars_lazy_frame_asks_for_collect():
    pl = pytest.importorskip("polars")
    h = HyperLogLog(10)
    lazy = pl.LazyFrame({"only": ["a", "b"]})
    with pytest.raises(TypeError, match=r"LazyFrame .*call \.collect\(\) first"):
        drisk.update_many(h, lazy)
    assert h.registers() == HyperLogLog(10).registers()
    assert fed(lazy.collect()) == oracle(["a", "b"])


def test_duckdb_relation():
    duckdb = pytest.importorskip("duckdb")
    relation = duckdb.sql("SELECT (range % 100)::VARCHAR AS v FROM range(1000)")
    assert fed(relation) == oracle([str(i % 100) for i in range(1000)])


# ---------------------------------------------------------------------------
# Leaks (slow: run with -m slow)
# ---------------------------------------------------------------------------


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def leak_cases():
    strings = pa.array(["a", None, "bc"] * 10)
    return {
        "arrow array": (lambda h: update_arrow(h, strings), None, strings),
        "arrow stream": (lambda h: update_arrow(h, CHUNKED), None, CHUNKED),
        "dictionary": (lambda h: update_arrow(h, DICTIONARY), None, DICTIONARY),
        "buffer": (lambda h: update_buffer(h, NUMBERS), None, NUMBERS),
        "strided buffer": (lambda h: update_buffer(h, NUMBERS[::3]), None, NUMBERS),
        "times": (lambda h: update_times(h, NUMBERS, "us", True), None, NUMBERS),
        "bad unit": (lambda h: update_times(h, NUMBERS, "h", False), ValueError, NUMBERS),
        "dates": (lambda h: update_arrow(h, DATES), None, DATES),
        "time outside the day": (lambda h: update_arrow(h, BAD_TIME), ValueError, BAD_TIME),
        "unsupported type": (lambda h: update_arrow(h, DURATIONS), TypeError, DURATIONS),
        "two columns": (lambda h: update_arrow(h, TWO_COLUMNS), TypeError, TWO_COLUMNS),
        "malformed": (lambda h: update_arrow(h, MALFORMED), ValueError, MALFORMED),
        "bad format": (lambda h: update_buffer(h, COMPLEX), TypeError, COMPLEX),
        "not exportable": (lambda h: update_arrow(h, strings.to_pylist()), TypeError, strings),
    }


CHUNKED = pa.chunked_array([["x", "y"], ["z"]])
DICTIONARY = pa.array(["x", "y", "x"]).dictionary_encode()
NUMBERS = np.arange(300, dtype=np.int64)
DURATIONS = pa.chunked_array([pa.array([0, 1], pa.duration("s"))])
DATES = pa.chunked_array([pa.array(np.arange(300), pa.int32()).cast(pa.date32())])
BAD_TIME = pa.Array.from_buffers(pa.time32("s"), 2, pa.array([0, 86400], pa.int32()).buffers())
TWO_COLUMNS = pa.table({"a": [1], "b": [2]})
MALFORMED = HandBuilt("u", 3, [None, int32s(0, 2, 1, 4), b"abcd"])
COMPLEX = np.zeros(4, dtype=np.complex64)


@pytest.mark.slow
@pytest.mark.parametrize("name", list(leak_cases()))
def test_no_leaks(name):
    call, expected, data = leak_cases()[name]
    h = HyperLogLog(10)
    calls = int(os.environ.get("DRISK_LEAK_CALLS", 1_000_000)) // 10

    def hammer(n):
        for _ in range(n):
            try:
                call(h)
            except Exception as error:  # noqa: BLE001
                if expected is None or not isinstance(error, expected):
                    raise
                MALFORMED.released.clear()

    hammer(1000)
    import gc

    gc.collect()
    refs = sys.getrefcount(data), sys.getrefcount(h)
    pool = pa.total_allocated_bytes()
    before = rss()
    hammer(calls)
    gc.collect()
    assert rss() - before < 16 * 1024 * 1024
    assert (sys.getrefcount(data), sys.getrefcount(h)) == refs
    assert pa.total_allocated_bytes() == pool


@pytest.mark.parametrize(("fmt", "kind"), [("l", "int64"), ("g", "float64"), ("u", "string"), ("tdD", "date32")])
@pytest.mark.parametrize("nulls", [False, True], ids=["no nulls", "nulls"])
@pytest.mark.parametrize("offset", [0, 3])
def test_a_null_count_left_unknown_is_read_from_the_bitmap(fmt, kind, nulls, offset):
    """An array may export a null count of -1 (not computed) with its
    validity bitmap: the bitmap decides, whether or not it holds nulls."""
    import datetime

    np = pytest.importorskip("numpy")

    def value(k):
        if kind == "date32":
            return datetime.date(2000, 1, 1) + datetime.timedelta(days=k)
        return {"int64": k * 7919, "float64": k / 8, "string": f"v{k}"}[kind]

    total = 3000
    values = [None if nulls and k % 5 == 3 else value(k) for k in range(total)]
    plain = pa.array(values, getattr(pa, kind)())
    bits = np.packbits([v is not None for v in values], bitorder="little").tobytes()
    buffers = [bits, *(bytes(b) for b in plain.buffers()[1:])]
    built = HandBuilt(fmt, total - offset, buffers, offset=offset, null_count=-1)
    kept = [v for v in values[offset:] if v is not None]
    got, want = HyperLogLog(), HyperLogLog()
    assert update_many(got, built) == len(kept)
    update_many(want, kept)
    assert got.to_bytes() == want.to_bytes()
