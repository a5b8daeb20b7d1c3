"""update_many and the column entries refuse what they cannot count (types,
shapes, arguments) before anything is added, release every Arrow structure
on the way, and stay usable after a stream fails."""

import datetime

import pytest

from drisk import HyperLogLog, update_many
from drisk._colread import update_arrow, update_buffer, update_times

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")

NUMBERS = np.arange(300, dtype=np.int64)

# ---------------------------------------------------------------------------
# Refusals
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("items", ["text", b"bytes", bytearray(b"ab"), memoryview(b"ab")])
def test_single_strings_and_buffers_are_refused(items):
    with pytest.raises(TypeError, match="one item, not an iterable of items"):
        update_many(HyperLogLog(), items)


def unsupported_columns():

    pd = pytest.importorskip("pandas")
    return {
        "duration": (lambda: pa.array([datetime.timedelta(1)] * 3), "duration"),
        "interval": (lambda: pa.array([pa.MonthDayNano([1, 2, 3])], pa.month_day_nano_interval()), "interval"),
        "list": (lambda: pa.array([[1, 2]]), "list"),
        "struct in a table": (lambda: pa.table({"s": pa.array([{"a": 1}])}), "struct"),
        "dictionary of durations": (lambda: pa.array([datetime.timedelta(1)]).dictionary_encode(), "duration"),
        "extension": (lambda: pa.array(pd.Series(pd.period_range("2020", periods=2, freq="D"))), "pandas.period"),
        "pandas interval": (lambda: pd.Series(pd.interval_range(0, 5)), "extension type 'pandas.interval'"),
        "two columns": (lambda: pa.table({"a": [1], "b": [2]}), "2 columns"),
        "numpy timedelta": (lambda: np.array([1, 2], dtype="timedelta64[s]"), "timedelta64"),
        "numpy complex": (lambda: np.zeros(3, dtype=complex), "complex"),
        "pandas timedelta": (lambda: pd.Series(pd.to_timedelta([1, 2], unit="s")), "timedelta64"),
    }


@pytest.mark.parametrize("name", list(unsupported_columns()))
def test_unsupported_types_are_refused_before_anything_is_added(name):
    make, mentioned = unsupported_columns()[name]
    h = HyperLogLog(8)
    h.update(b"before")
    before = h.registers()
    with pytest.raises(TypeError, match=mentioned):
        update_many(h, make())
    assert h.registers() == before


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda h: update_buffer(h, np.zeros((2, 2))), ValueError, "2 dimensions"),
        (lambda h: update_many(h, np.zeros((2, 2))), ValueError, "2 dimensions"),
        (lambda h: update_buffer(h, np.float64(1.0)), ValueError, "0 dimensions"),
        (lambda h: update_buffer(h, memoryview(b"abc").cast("c")), TypeError, "format 'c'"),
        (lambda h: update_buffer(h, np.zeros(2, dtype=np.longdouble)), TypeError, "cannot be counted"),
        (lambda h: update_arrow(h, [1, 2]), TypeError, "neither __arrow_c_stream__ nor __arrow_c_array__"),
        (lambda h: update_times(h, NUMBERS, "h", False), ValueError, "unit must be 'D', 's', 'ms', 'us' or 'ns'"),
        (lambda h: update_times(h, NUMBERS, b"s", False), TypeError, "unit"),
        (lambda h: update_times(h, NUMBERS, "D", True), ValueError, "dates have no time zone"),
        (lambda h: update_times(h, NUMBERS.astype(np.int32), "s", False), TypeError, "int64 counts"),
        (lambda h: update_times(h, NUMBERS.astype(">i8"), "s", False), TypeError, "int64 counts"),
        (lambda h: update_times(h, np.zeros((2, 2), np.int64), "s", False), ValueError, "2 dimensions"),
        (lambda h: update_arrow(5, pa.array([1])), TypeError, "not an instance of 'HyperLogLog'"),
    ],
)
def test_argument_errors(call, error, message):
    h = HyperLogLog(8)
    with pytest.raises(error, match=message):
        call(h)
    assert not any(h.registers())


def test_arrow_structures_are_released_on_every_path():
    pool_before = pa.total_allocated_bytes()
    big = pa.array(np.arange(100_000).astype(str))
    update_many(HyperLogLog(), big)
    update_many(HyperLogLog(), pa.chunked_array([big, big]))
    durations = pa.array(np.arange(100_000), pa.duration("s"))
    for bad in [pa.table({"a": big, "b": big}), pa.chunked_array([durations, durations])]:
        with pytest.raises(TypeError):
            update_many(HyperLogLog(), bad)
    del big, bad, durations
    assert pa.total_allocated_bytes() == pool_before


def test_stream_errors_and_reentry():
    schema = pa.schema([("x", pa.string())])
    h = HyperLogLog(8)

    def failing():
        yield pa.record_batch([pa.array(["a"])], schema=schema)
        raise KeyError("boom")

    with pytest.raises(ValueError, match="boom"):
        update_many(h, pa.RecordBatchReader.from_batches(schema, failing()))
    assert not any(h.registers())  # all or nothing: not even the batches before the failure

    def touching():
        yield pa.record_batch([pa.array(["b"])], schema=schema)
        h.count()  # the sketch is held for the whole call

    with pytest.raises(ValueError, match="Already mutably borrowed"):
        update_many(h, pa.RecordBatchReader.from_batches(schema, touching()))
