"""One identity for every value: the same value is the same item on every path.

The oracle is the text Python itself gives for the value, added with
update_str: str(int(x)) for a float equal to an integer, repr(x) for any
other float, d.isoformat() for dates, times and timestamps (aware ones taken
to UTC first), format(d.normalize(), "f") for decimals. Sketches are compared
register for register through to_bytes(); at p=16 two different texts land
on the same register and rank about once in a hundred thousand, so equal
bytes mean equal texts.
"""

import datetime as dt
import math
import sys
from decimal import Decimal

import pytest
from hypothesis import given
from hypothesis import strategies as st

from drisk import HyperLogLog, update_many
from support import decimal_text, float_text, of_items, of_texts

P = 16
UTC = dt.UTC


def one_at_a_time(items):
    """update_many over each item alone: the per-item path, as an oracle for batches."""
    h = HyperLogLog(P)
    for item in items:
        update_many(h, [item])
    return h.to_bytes()


# ---------------------------------------------------------------------------
# Floats: a whole float is its integer
# ---------------------------------------------------------------------------

WHOLE = [
    0.0,
    -0.0,
    1.0,
    2.0,
    -7.0,
    1189456.0,
    1e15,
    1e16,
    1e20,
    2.0**53,
    2.0**53 + 2,
    2.0**63,
    -(2.0**63),
    2.0**64,
    1e22,
    1e23,
    1e300,
    sys.float_info.max,
    -sys.float_info.max,
]
FRACTIONS = [0.5, -2.25, 0.1, 0.1 + 0.2, 1e-5, 0.0001, 1234567.891, 5e-324, -1e-310, 2.2250738585072014e-308, math.pi]
INFINITIES = [math.inf, -math.inf]


@pytest.mark.parametrize("value", WHOLE + FRACTIONS + INFINITIES)
def test_a_python_float_is_its_text(value):
    assert of_items([value]) == of_texts([float_text(value)])


def test_whole_floats_are_the_integers_they_equal():
    # The independent oracle is Python's own int(): 2**63 as a float is
    # "9223372036854775808", DBL_MAX all of its 309 digits.
    assert of_items(WHOLE) == of_texts([str(int(x)) for x in WHOLE])
    assert float_text(2.0**63) == "9223372036854775808"
    in_range = [x for x in WHOLE if -(2**63) <= x < 2**64]
    assert of_items(in_range) == of_items([int(x) for x in in_range])


COLUMN_VALUES = WHOLE + FRACTIONS + INFINITIES


@pytest.mark.parametrize("path", ["numpy", "arrow", "pandas", "polars", "iterator"])
def test_floats_are_one_item_on_every_path(path):
    expected = of_texts([float_text(x) for x in COLUMN_VALUES])
    if path == "numpy":
        np = pytest.importorskip("numpy")
        items = np.array(COLUMN_VALUES, dtype=np.float64)
    elif path == "arrow":
        pa = pytest.importorskip("pyarrow")
        items = pa.array(COLUMN_VALUES, pa.float64())
    elif path == "pandas":
        pd = pytest.importorskip("pandas")
        items = pd.Series(COLUMN_VALUES, dtype="float64")
    elif path == "polars":
        pl = pytest.importorskip("polars")
        items = pl.Series(COLUMN_VALUES, dtype=pl.Float64)
    else:
        items = iter(COLUMN_VALUES)
    assert of_items(items) == expected


@pytest.mark.parametrize("dtype", ["float16", "float32", "float64"])
def test_narrow_whole_floats_are_integers(dtype):
    np = pytest.importorskip("numpy")
    values = np.array([0, -0.0, 1, 2, -3, 2048, 65504, 0.5, 1.25], dtype=dtype)
    assert of_items(values) == of_texts([float_text(float(x)) for x in values])


def test_pandas_ints_with_a_missing_value_are_the_arrow_ints():
    # pandas turns an int64 column with a missing value into float64.
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    assert of_items(pd.Series([1, 2, None])) == of_items(pa.array([1, 2, None])) == of_texts(["1", "2"])
    ids = list(range(-50_000, 50_000, 7))
    with_gap = pd.Series(ids + [None])
    assert with_gap.dtype == "float64"
    assert of_items(with_gap) == of_items(pa.array(ids)) == of_items(ids)


@given(st.lists(st.floats(allow_nan=False), max_size=30))
def test_any_float_in_a_list(values):
    assert of_items(values) == of_texts([float_text(x) for x in values])


# ---------------------------------------------------------------------------
# Dates, timestamps and times as Python objects
# ---------------------------------------------------------------------------

DATES = [dt.date(1970, 1, 1), dt.date(2024, 1, 2), dt.date(2024, 2, 29), dt.date(1, 1, 1), dt.date(9999, 12, 31)]
DATES += [dt.date(1969, 12, 31), dt.date(1600, 2, 29), dt.date(1900, 3, 1), dt.date(999, 5, 6)]


@pytest.mark.parametrize("value", DATES)
def test_a_date_is_its_isoformat(value):
    assert of_items([value]) == of_texts([value.isoformat()])


def plus(hours, minutes=0):
    return dt.timezone(dt.timedelta(hours=hours, minutes=minutes))


DATETIMES = [
    dt.datetime(2024, 1, 2, 3, 4, 5),
    dt.datetime(2024, 1, 2, 3, 4, 5, 120000),
    dt.datetime(2024, 1, 2, 3, 4, 5, 5912),
    dt.datetime(1969, 12, 31, 23, 59, 59, 999999),
    dt.datetime(1, 1, 1),
    dt.datetime(9999, 12, 31, 23, 59, 59, 999999),
    dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC),
    dt.datetime(2024, 1, 2, 3, 4, 5, 5912, tzinfo=plus(5, 30)),
    dt.datetime(2024, 1, 1, 22, 0, tzinfo=plus(-3)),
    dt.datetime(1900, 1, 1, 0, 0, 30, tzinfo=plus(0, 45)),
]


def datetime_text(value):
    """datetime.isoformat() of the value, in UTC when it has a time zone."""
    if value.utcoffset() is not None:
        value = value.astimezone(UTC)
    return value.isoformat()


@pytest.mark.parametrize("value", DATETIMES)
def test_a_datetime_is_its_isoformat_in_utc(value):
    assert of_items([value]) == of_texts([datetime_text(value)])


def test_an_instant_is_one_item_in_every_time_zone():
    instant = dt.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=UTC)
    zones = [plus(h, m) for h in range(-12, 15, 3) for m in (0, 30)]
    assert of_items([instant.astimezone(zone) for zone in zones]) == of_texts(["2024-01-02T03:04:05.000006+00:00"])
    # Naive and aware values are unequal in Python, and different items here.
    assert of_items([instant.replace(tzinfo=None)]) != of_items([instant])


@given(st.lists(st.datetimes(min_value=dt.datetime(2, 1, 1), max_value=dt.datetime(9998, 12, 31)), max_size=20))
def test_any_naive_datetime(values):
    assert of_items(values) == of_texts([v.isoformat() for v in values])


@given(
    st.lists(
        st.datetimes(
            min_value=dt.datetime(2, 1, 1),
            max_value=dt.datetime(9998, 12, 31),
            timezones=st.builds(plus, st.integers(-23, 23), st.integers(0, 59)),
        ),
        max_size=20,
    )
)
def test_any_aware_datetime(values):
    assert of_items(values) == of_texts([datetime_text(v) for v in values])


@given(st.lists(st.dates(), max_size=20))
def test_any_date(values):
    assert of_items(values) == of_texts([v.isoformat() for v in values])


@given(st.lists(st.times(), max_size=20))
def test_any_time(values):
    assert of_items(values) == of_texts([v.isoformat() for v in values])


@pytest.mark.parametrize("value", [dt.time(0, 0), dt.time(3, 4, 5), dt.time(3, 4, 5, 120000), dt.time(23, 59, 59, 1)])
def test_a_time_is_its_isoformat(value):
    assert of_items([value]) == of_texts([value.isoformat()])


PANDAS_TIMESTAMPS = [
    ("2024-01-02 03:04:05", None),
    ("2024-01-02 03:04:05.12", None),
    ("2024-01-02 03:04:05.005912", None),
    ("2024-01-02 03:04:05.005912001", None),
    ("1677-09-21 00:12:43.145224193", None),
    ("2262-04-11 23:47:16.854775807", None),
    ("1969-12-31 23:59:59.999999999", None),
    ("2024-01-02 03:04:05.000000001", "Europe/Paris"),
    ("2024-07-02 03:04:05.5", "America/New_York"),
    ("2024-01-02 03:04:05", "UTC"),
]


@pytest.mark.parametrize("text, zone", PANDAS_TIMESTAMPS)
def test_a_pandas_timestamp_keeps_its_nanoseconds(text, zone):
    pd = pytest.importorskip("pandas")
    value = pd.Timestamp(text, tz=zone)
    expected = (value.tz_convert("UTC") if zone else value).isoformat()
    assert of_items([value]) == of_texts([expected])
    if value.nanosecond == 0:
        # Then it is the datetime it stands for.
        assert of_items([value]) == of_items([value.to_pydatetime()])


def test_missing_dates_and_decimals_are_skipped():
    pd = pytest.importorskip("pandas")
    h = HyperLogLog(P)
    assert update_many(h, [pd.NaT, Decimal("NaN"), Decimal("-sNaN"), None, dt.date(2024, 1, 2)]) == 1
    assert h.to_bytes() == of_texts(["2024-01-02"])


# ---------------------------------------------------------------------------
# Decimals
# ---------------------------------------------------------------------------


DECIMALS = ["5", "5.00", "-5.00", "1.50", "0.1", "-0", "0E-10", "0E+5", "1E+2", "1.2E+5", "-1.2E-7"]
DECIMALS += ["123.4500", "12345678901234567890123456789.123", "1" + "0" * 300, "0." + "0" * 300 + "1"]
DECIMALS += ["1" + "0" * 400 + "E-400", "9.99999999999999999999999999999999999999E+37"]


@pytest.mark.parametrize("text", DECIMALS)
def test_a_decimal_is_its_plain_text(text):
    value = Decimal(text)
    assert of_items([value]) == of_texts([decimal_text(value)])


@pytest.mark.parametrize(
    "value, same",
    [
        (Decimal("5.00"), 5),
        (Decimal("5"), 5.0),
        (Decimal("-0.0"), 0),
        (Decimal("1.50"), 1.5),
        (Decimal("0.1"), 0.1),
        (Decimal("1E+20"), 1e20),
        (Decimal("Infinity"), math.inf),
        (Decimal("-Infinity"), -math.inf),
    ],
)
def test_a_decimal_is_the_number_with_its_text(value, same):
    # Equal in Python too, except 0.1: the float only reads as 0.1.
    assert value == same or repr(same) == str(value)
    assert of_items([value]) == of_items([same])


@given(st.lists(st.decimals(allow_nan=False), max_size=20))
def test_any_decimal(values):
    expected = [("inf" if v > 0 else "-inf") if v.is_infinite() else decimal_text(v) for v in values]
    assert of_items(values) == of_texts(expected)


# ---------------------------------------------------------------------------
# Batches, refusals
# ---------------------------------------------------------------------------


def test_a_mixed_batch_is_its_items_one_at_a_time():
    pd = pytest.importorskip("pandas")
    items = [b"x", "y", 3, 4.0, 4.5, True, dt.date(2024, 1, 2), dt.datetime(2024, 1, 2, tzinfo=plus(1))]
    items += [dt.time(1, 2), Decimal("1.50"), pd.Timestamp("2024-01-02 00:00:00.000000001"), None]
    items = items * 13  # more than one group
    assert of_items(items) == of_items(iter(items)) == one_at_a_time(items)


@pytest.mark.parametrize(
    "bad, message",
    [
        (dt.time(1, 2, tzinfo=plus(2)), "a datetime.time with a UTC offset is not counted"),
        (Decimal("1E+400"), r"Decimal\('1E\+400'\) is over 320 characters"),
        (Decimal("1." + "1" * 400), "is over 320 characters"),
    ],
)
def test_values_without_a_text_are_refused(bad, message):
    h = HyperLogLog(P)
    with pytest.raises(ValueError, match=message) as info:
        update_many(h, ["before", bad, "after"])
    assert info.value.__notes__ == ["while processing 'items[1]'"]
    assert h.to_bytes() == of_texts(["before"])


@pytest.mark.parametrize("nulls", [False, True])
def test_long_float_columns_of_every_kind_are_their_texts(nulls):
    # Chunks all whole, all fractions, and mixed (NaN, infinities, values
    # beyond the int64 range, -0.0), on two cores.
    np = pytest.importorskip("numpy")
    pa = pytest.importorskip("pyarrow")
    rng = np.random.default_rng(11)
    whole = rng.integers(-(2**62), 2**62, 100_000).astype(np.float64) // 1024
    fractions = rng.standard_normal(100_000) * 1e6
    mixed = rng.integers(-1000, 1000, 100_000).astype(np.float64)
    special = [math.nan, math.inf, -math.inf, 2.0**63, -(2.0**63), 1e300, -0.0, 0.5, 5e-324]
    mixed[rng.integers(0, len(mixed), 300)] = rng.choice(special, 300)
    values = np.concatenate([whole, fractions, mixed])
    mask = rng.random(len(values)) < 0.1 if nulls else np.zeros(len(values), dtype=bool)
    present = [x for x, gone in zip(values.tolist(), mask.tolist(), strict=True) if not gone and x == x]
    expected = of_texts([float_text(x) for x in present])
    column = pa.array(values, mask=mask) if nulls else values
    h = HyperLogLog(P)
    assert update_many(h, column) == len(present)
    assert h.to_bytes() == expected


def test_long_columns_of_prices_are_their_texts():
    # Hundredths of every size, runs where they are few (then the next
    # chunks do not look for them) and runs where they come back, near
    # misses such as 0.1 + 0.2, and the largest hundredths written so.
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(12)
    prices = rng.integers(-(10**15) + 1, 10**15, 60_000) / 100
    small = rng.integers(-100_000, 100_000, 60_000) / 100
    thirds = rng.integers(1, 10**9, 20_000) / 3
    edges = [0.01, -0.01, 0.07, 0.3, 0.1 + 0.2, 9999999999999.99, -9999999999999.99, 1e13, 1e13 + 0.5, 0.005]
    values = np.concatenate([prices, thirds, small, np.array(edges * 100), thirds[:5000], small[:30_000]])
    expected = of_texts([float_text(x) for x in values.tolist()])
    assert of_items(values) == expected
    assert of_items(values[::-1].copy()) == expected


def test_short_fractions_after_full_precision_ones_are_their_texts():
    # Full-precision values first, so that the column reader stops looking
    # for short digits; then fractions that have them (thousandths, eighths,
    # small steps written with an exponent), read the long way, then again.
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(13)
    thirds = rng.integers(1, 10**9, 8_000) / 3
    thousandths = rng.integers(-(10**9), 10**9, 20_000) / 1000
    eighths = rng.integers(-(10**6), 10**6, 20_000) / 8
    tiny = rng.integers(1, 10**4, 5_000) * 1e-7
    values = np.concatenate([thirds, thousandths, thirds, eighths, tiny, thirds, thousandths])
    expected = of_texts([float_text(x) for x in values.tolist()])
    assert of_items(values) == expected
