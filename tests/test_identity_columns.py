"""One identity for every value, through the column paths: dates,
timestamps, times of day and decimals from Arrow, NumPy, pandas and polars
columns are the items their Python values are (tests/test_identity.py has
the rules and the Python objects).

Column values are counts of a unit; the oracle turns a count into Python's
date, datetime or time and takes its isoformat(), extending Python's
calendar by whole 400-year cycles for years its date cannot hold. Sketches
are compared register for register through to_bytes().
"""

import datetime as dt
from decimal import Decimal

import pytest

from drisk import HyperLogLog, update_many
from support import decimal_text, float_text, of_items, of_texts

P = 16
UTC = dt.UTC


PER_SECOND = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}
INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


def fraction_text(nanos):
    """The fraction by the rule: none, six digits, or nine."""
    if nanos == 0:
        return ""
    return f".{nanos // 1000:06d}" if nanos % 1000 == 0 else f".{nanos:09d}"


def date_text(days):
    """date.isoformat() of the day `days` after 1970-01-01, for years Python's
    date cannot hold too: the calendar repeats every 400 years (146097 days),
    and the year is written as C's "%04d" writes it ("-001", "12345")."""
    cycles, rest = divmod(days + 719162, 146097)  # 719162: days from 0001-01-01 to 1970-01-01
    date = dt.date(1, 1, 1) + dt.timedelta(days=rest)
    return f"{date.year + 400 * cycles:04d}" + date.isoformat()[4:]


def timestamp_text(count, unit, utc=False):
    seconds, part = divmod(count, PER_SECOND[unit])
    days, second_of_day = divmod(seconds, 86400)
    clock = (dt.datetime(1, 1, 1) + dt.timedelta(seconds=second_of_day)).time().isoformat()
    text = date_text(days) + "T" + clock
    return text + fraction_text(part * 10**9 // PER_SECOND[unit]) + ("+00:00" if utc else "")


def time_text(count, unit):
    seconds, part = divmod(count, PER_SECOND[unit])
    clock = dt.time(seconds // 3600, seconds // 60 % 60, seconds % 60).isoformat()
    return clock + fraction_text(part * 10**9 // PER_SECOND[unit])


def counts_of(unit, moments):
    """Each moment (a naive datetime) as a count of unit, when it is whole."""
    per = PER_SECOND[unit]
    counts = []
    for moment in moments:
        delta = moment - dt.datetime(1970, 1, 1)
        micros = (delta.days * 86400 + delta.seconds) * 10**6 + delta.microseconds
        if (micros * per) % 10**6 == 0 and INT64_MIN <= micros * per // 10**6 <= INT64_MAX:
            counts.append(micros * per // 10**6)
    return counts


MOMENTS = [dt.datetime(1970, 1, 1), dt.datetime(2024, 1, 2, 3, 4, 5), dt.datetime(2024, 1, 2, 3, 4, 5, 120000)]
MOMENTS += [dt.datetime(1969, 12, 31, 23, 59, 59), dt.datetime(1900, 2, 28, 12), dt.datetime(1, 1, 1)]
MOMENTS += [dt.datetime(9999, 12, 31, 23, 59, 59, 999999), dt.datetime(2262, 4, 11), dt.datetime(1677, 9, 22)]


def timestamp_counts(unit, numpy_path=False):
    """Counts of every kind for a unit: moments Python holds, one unit either
    side of the epoch and of a day, nanosecond values, and the int64 ends
    (INT64_MIN is NumPy's NaT, so only Arrow has it)."""
    per = PER_SECOND[unit]
    counts = counts_of(unit, MOMENTS) + [1, -1, per - 1, -per, 86400 * per - 1, -86400 * per - 1]
    counts += [1_704_164_645 * per + 5 * per // 7, INT64_MAX, INT64_MIN + 1]
    counts += [] if numpy_path else [INT64_MIN]
    # ns values far from the epoch stay in range; others are whole moments.
    return [c for c in counts if INT64_MIN <= c <= INT64_MAX]


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("path", ["arrow", "arrow zoned", "dictionary", "numpy", "pandas", "pandas zoned", "polars"])
def test_a_timestamp_column_is_its_isoformat(unit, path):
    pa = pytest.importorskip("pyarrow")
    np = pytest.importorskip("numpy")
    numpy_path = path.startswith(("numpy", "pandas"))
    counts = timestamp_counts(unit, numpy_path)
    if path.startswith("pandas"):
        # pandas holds the years 1678 to 2262 in nanoseconds and refuses the rest.
        counts = [c for c in counts if abs(c) < 2**63 // 10**9 * PER_SECOND[unit]]
    zoned = path.endswith("zoned")
    expected = of_texts([timestamp_text(c, unit, utc=zoned) for c in counts])
    values = np.array(counts + [INT64_MIN] * numpy_path, dtype=np.int64).view(f"M8[{unit}]")
    if path == "arrow":
        items = pa.array(counts + [None], pa.timestamp(unit))
    elif path == "arrow zoned":
        kind = pa.timestamp(unit, "Asia/Kolkata")
        items = pa.chunked_array([pa.array(counts, kind), pa.array([None] * 3, kind)])
    elif path == "dictionary":
        items = pa.array(counts * 2 + [None], pa.timestamp(unit)).dictionary_encode()
    elif path == "numpy":
        items = values
    elif path == "pandas":
        pd = pytest.importorskip("pandas")
        items = pd.Series(values)
    elif path == "pandas zoned":
        pd = pytest.importorskip("pandas")
        items = pd.Series(values).dt.tz_localize("UTC").dt.tz_convert("America/New_York")
    else:
        # polars keeps seconds as milliseconds, so only the moments fit.
        pl = pytest.importorskip("polars")
        counts = counts_of(unit, MOMENTS)
        expected = of_texts([timestamp_text(c, unit) for c in counts])
        items = pl.from_arrow(pa.array(counts, pa.timestamp(unit)))
    assert of_items(items) == expected


def test_an_instant_is_one_item_in_every_unit_and_zone():
    pa = pytest.importorskip("pyarrow")
    np = pytest.importorskip("numpy")
    seconds = np.array([0, 1_704_164_645, -2_208_988_800], dtype=np.int64)
    naive = {of_items(seconds.view("M8[s]").astype(f"M8[{unit}]")) for unit in PER_SECOND}
    naive |= {of_items(pa.array(seconds * PER_SECOND[unit], pa.timestamp(unit))) for unit in PER_SECOND}
    assert len(naive) == 1
    zones = ["UTC", "+05:30", "America/St_Johns", "Pacific/Kiritimati", "-12:00"]
    zoned = {of_items(pa.array(seconds * PER_SECOND[u], pa.timestamp(u, zone))) for u in PER_SECOND for zone in zones}
    assert zoned == {of_texts([timestamp_text(s, "s", utc=True) for s in seconds.tolist()])}
    assert zoned != naive
    # The same values as Python datetimes in a list.
    moments = [dt.datetime(1970, 1, 1, tzinfo=UTC) + dt.timedelta(seconds=s) for s in seconds.tolist()]
    assert of_items(moments) in zoned


@pytest.mark.parametrize("unit", ["Y", "M", "W", "D", "h", "m", "s", "ms", "us", "ns", "ps", "fs", "as", "10s"])
def test_numpy_datetime64_of_any_unit(unit):
    np = pytest.importorskip("numpy")
    # Within the hundred days either side of 1970 that picoseconds reach, or
    # the nine seconds of attoseconds.
    values = ["1970-01-01", "1970-03-02T03:04:05.123456789", "1969-10-13T20:45:52", "NaT"]
    if unit in ("fs", "as"):
        values = ["1970-01-01", "1970-01-01T00:00:05.123456789", "1969-12-31T23:59:52.5", "NaT"]
    values = np.array(values, "M8[ns]")
    values = values.astype(f"M8[{unit}]")
    present = values[~np.isnat(values)]
    if unit in ("Y", "M", "W", "D"):
        # Calendar units are dates.
        texts = [str(d) for d in present.astype("M8[D]")]
        assert texts == [date.isoformat() for date in present.astype("M8[D]").tolist()]
    else:
        texts = [timestamp_text(int(n), "ns") for n in present.astype("M8[ns]").view(np.int64)]
    h = HyperLogLog(P)
    assert update_many(h, values) == len(present)
    assert h.to_bytes() == of_texts(texts)


def test_numpy_datetime64_finer_than_nanoseconds_must_be_whole_nanoseconds():
    np = pytest.importorskip("numpy")
    h = HyperLogLog(P)
    with pytest.raises(ValueError, match=r"datetime64\[ps\] finer than a nanosecond"):
        update_many(h, np.array([1000, 1001], "M8[ps]"))
    assert h.to_bytes() == HyperLogLog(P).to_bytes()
    assert of_items(np.array([1000, 0], "M8[ps]")) == of_texts(["1970-01-01T00:00:00.000000001", "1970-01-01T00:00:00"])


def test_swapped_and_strided_datetime64():
    np = pytest.importorskip("numpy")
    values = np.arange(-50, 50, dtype=np.int64) * 86_400_123_457
    expected = of_texts([timestamp_text(c, "ns") for c in values.tolist()[::3]])
    assert of_items(values.view("M8[ns]")[::3]) == expected
    assert of_items(values.astype(">i8").view(">M8[ns]")[::3]) == expected


DAYS = [0, 1, -1, 19724, -25567, -719162, 2932896, -719468, -719469, 2932897, 2**31 - 1, -(2**31)]


@pytest.mark.parametrize("path", ["date32", "date64", "dictionary", "numpy", "pandas arrow", "polars", "list"])
def test_a_date_column_is_its_isoformat(path):
    pa = pytest.importorskip("pyarrow")
    np = pytest.importorskip("numpy")
    days = DAYS if path in ("date32", "date64", "dictionary", "numpy") else DAYS[:7]
    expected = of_texts([date_text(d) for d in days])
    if path == "date32":
        items = pa.array(days + [None], pa.date32())
    elif path == "date64":
        # Milliseconds anywhere in the day count as the day.
        items = pa.array([d * 86_400_000 + 86_399_999 for d in days] + [None], pa.date64())
    elif path == "dictionary":
        items = pa.array(days * 3, pa.date32()).dictionary_encode()
    elif path == "numpy":
        items = np.array(days + [INT64_MIN], np.int64).view("M8[D]")
    elif path == "pandas arrow":
        pd = pytest.importorskip("pandas")
        items = pd.Series(pa.array(days + [None], pa.date32()).to_pandas(types_mapper=pd.ArrowDtype))
    elif path == "polars":
        pl = pytest.importorskip("polars")
        items = pl.Series([dt.date(1970, 1, 1) + dt.timedelta(days=d) for d in days])
    else:
        items = [dt.date(1970, 1, 1) + dt.timedelta(days=d) for d in days]
    assert of_items(items) == expected


def test_numpy_day_counts_at_the_ends_of_int64_are_their_dates():
    # Every int64 has a date; near INT64_MAX the shift to 0000-03-01 must
    # not overflow.
    np = pytest.importorskip("numpy")
    days = [INT64_MAX, INT64_MAX - 1, INT64_MAX - 719_467, INT64_MAX - 719_468, INT64_MIN + 1, INT64_MIN + 2]
    assert of_items(np.array(days, np.int64).view("M8[D]")) == of_texts([date_text(d) for d in days])


TIME_UNITS = [("s", "time32"), ("ms", "time32"), ("us", "time64"), ("ns", "time64")]


@pytest.mark.parametrize("unit, width", TIME_UNITS)
def test_a_time_column_is_its_isoformat(unit, width):
    pa = pytest.importorskip("pyarrow")
    per = PER_SECOND[unit]
    counts = [0, 1, per - 1, 3723 * per + per // 8, 86400 * per - 1, 45296 * per + per * 5 // 7]
    kind = getattr(pa, width)(unit)
    expected = of_texts([time_text(c, unit) for c in counts])
    assert of_items(pa.array(counts + [None], kind)) == expected
    assert of_items(pa.array(counts * 2, kind).dictionary_encode()) == expected
    if unit in ("us", "ns"):
        pl = pytest.importorskip("polars")
        assert of_items(pl.from_arrow(pa.array(counts, kind))) == expected
    # Times that Python holds are one item with the datetime.time objects.
    assert of_items(pa.array(counts, kind).to_pylist()) == expected or unit == "ns"


@pytest.mark.parametrize("unit, width", TIME_UNITS)
@pytest.mark.parametrize("count", [-1, 86400])
def test_a_time_outside_the_day_is_refused(unit, width, count):
    pa = pytest.importorskip("pyarrow")
    h = HyperLogLog(P)
    h.update_str("before")
    storage = pa.array([0, count * PER_SECOND[unit]], pa.int32() if width == "time32" else pa.int64())
    bad = pa.Array.from_buffers(getattr(pa, width)(unit), 2, storage.buffers())
    with pytest.raises(ValueError, match="a time of day outside"):
        update_many(h, bad)
    assert h.to_bytes() == of_texts(["before"])


DECIMAL_COLUMNS = [
    ("decimal32", 9, 2, ["1.50", "-0.01", "9999999.99", "-9999999.99", "0", "5.00"]),
    ("decimal64", 18, 2, ["1.50", "-0.01", "9999999999999999.99", "-9999999999999999.99", "100.10"]),
    ("decimal128", 18, 2, ["1.50", "5.00", "-5.00", "0.00", "-0.01", "9999999999999999.99", "123.45"]),
    ("decimal128", 38, 10, ["1.5", "-92233720368547758.08", "9999999999999999999999999999.9999999999"]),
    ("decimal128", 38, 0, ["92233720368547758070", "-99999999999999999999999999999999999999", "7"]),
    ("decimal128", 5, -3, ["1E+3", "-12345E+3", "0"]),
    ("decimal256", 76, 20, ["1.5", "-" + "9" * 56 + "." + "9" * 20, "0.00000000000000000001", "5"]),
    ("decimal256", 40, -10, ["1E+10", "-123E+10"]),
    ("decimal128", 38, 20, ["0.00000000000000000001", "-0.5", "123456789012345678.9"]),
]


@pytest.mark.parametrize("width, precision, scale, texts", DECIMAL_COLUMNS)
def test_a_decimal_column_is_its_plain_text(width, precision, scale, texts):
    pa = pytest.importorskip("pyarrow")
    if not hasattr(pa, width):
        pytest.skip(f"pyarrow has no {width}")
    values = [Decimal(t) for t in texts]
    kind = getattr(pa, width)(precision, scale)
    expected = of_texts([decimal_text(v) for v in values])
    assert of_items(pa.array(values + [None], kind)) == expected
    if width in ("decimal128", "decimal256"):
        assert of_items(pa.array(values * 3, kind).dictionary_encode()) == expected
    assert of_items(values) == expected
    if width == "decimal128" and scale >= 0:
        pl = pytest.importorskip("polars")
        assert of_items(pl.from_arrow(pa.array(values, kind))) == expected


def test_a_decimal_column_is_the_numbers_it_equals():
    pa = pytest.importorskip("pyarrow")
    decimals = pa.array([Decimal("5.00"), Decimal("1.50"), Decimal("-0.00"), Decimal("1E+20")], pa.decimal128(38, 2))
    assert of_items(decimals) == of_items([5, 1.5, 0, 1e20]) == of_items(pa.array([5.0, 1.5, -0.0, 1e20]))


def test_long_columns_on_two_cores_are_their_items():
    # Enough rows for the second core, in an order whose dates change often.
    pa = pytest.importorskip("pyarrow")
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(7)
    micros = np.sort(rng.integers(-(10**16), 10**16, 150_000)).astype(np.int64)
    micros[::5] = rng.integers(-(10**16), 10**16, len(micros[::5]))
    texts = np.datetime_as_string(micros.view("M8[us]"))
    expected = of_texts([t if "." not in t or t[-6:] != "000000" else t[:-7] for t in texts])
    assert of_items(micros.view("M8[us]")) == expected
    assert of_items(pa.array(micros, pa.timestamp("us"))) == expected
    cents = rng.integers(-(10**12), 10**12, 150_000)
    expected = of_texts([decimal_text(Decimal(int(c)).scaleb(-2)) for c in cents.tolist()])
    assert of_items(pa.array([Decimal(int(c)).scaleb(-2) for c in cents.tolist()], pa.decimal128(18, 2))) == expected


@pytest.mark.parametrize("scale", range(19))
def test_decimals_of_every_scale(scale):
    pa = pytest.importorskip("pyarrow")
    coefficients = [0, 1, -1, 7, 10**scale, -(10**scale) - 1, 123456789, 10**18 - 1, -(10**18) + 1, 2**63 - 1]
    coefficients += [-(2**63), 2**63, -(2**64) - 5, 10**17 * 3]
    values = [Decimal(c).scaleb(-scale) for c in coefficients]
    expected = of_texts([decimal_text(v) for v in values])
    assert of_items(pa.array(values, pa.decimal128(38, scale))) == expected
    assert of_items(pa.array(values, pa.decimal256(40, scale))) == expected
    small = [v for v, c in zip(values, coefficients, strict=True) if abs(c) < 10**18]
    if hasattr(pa, "decimal64"):
        assert of_items(pa.array(small, pa.decimal64(18, scale))) == of_texts([decimal_text(v) for v in small])


@pytest.mark.parametrize("scale", range(1, 9))
def test_small_decimals_of_short_scales(scale):
    # Coefficients below 10^8 (one group of digits) and just past it, with
    # every count of trailing zeros, integral ones and a zero whole part.
    pa = pytest.importorskip("pyarrow")
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(scale)
    coefficients = rng.integers(-(10**8), 10**8, 3000) // 10 ** rng.integers(0, 9, 3000)
    coefficients = np.concatenate([coefficients * 10 ** rng.integers(0, 4, 3000), [10**8 - 1, 10**8, -(10**8) - 7]])
    values = [Decimal(int(c)).scaleb(-scale) for c in coefficients.tolist()]
    expected = of_texts([decimal_text(v) for v in values])
    assert of_items(pa.array(values, pa.decimal128(18, scale))) == expected
    # The same numbers as float64 cents take the column reader's own path.
    if scale == 2:
        floats = coefficients[np.abs(coefficients) < 10**15] / 100
        assert of_items(floats) == of_texts([float_text(x) for x in floats.tolist()])


@pytest.mark.parametrize("path", ["arrow", "numpy"])
@pytest.mark.parametrize("kind", ["date", "timestamp"])
def test_runs_of_equal_values_are_their_items(kind, path):
    # Runs of one value (a day's rows, events of the same microsecond)
    # broken by missing rows and by values that differ only in their last
    # unit, long enough for the second core.
    pa = pytest.importorskip("pyarrow")
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(14)
    if kind == "date":
        starts = np.cumsum(rng.integers(0, 3, 4_000)) + 19_000
        unit, text = "D", date_text
    else:
        starts = np.cumsum(rng.integers(0, 3, 4_000)) + 1_704_067_200_000_000
        unit, text = "us", lambda count: timestamp_text(count, "us")
    counts = np.repeat(starts, rng.integers(1, 80, len(starts))).astype(np.int64)
    missing = rng.random(len(counts)) < 0.05
    present = counts[~missing].tolist()
    expected = of_texts([text(c) for c in present])
    if path == "arrow":
        column = pa.array(counts.astype(np.int32) if kind == "date" else counts, mask=missing)
        column = column.cast(pa.date32() if kind == "date" else pa.timestamp("us"))
    else:
        column = np.where(missing, INT64_MIN, counts).view(f"M8[{unit}]")
    h = HyperLogLog(P)
    assert update_many(h, column) == len(present)
    assert h.to_bytes() == expected


DATE_PATHS_CHECK = """
import sys
sys.path.insert(0, sys.argv[1])
from test_identity_columns import assert_dates_are_isoformat

for kind in ("random", "runs", "far years"):
    assert_dates_are_isoformat(kind)
"""


@pytest.mark.parametrize("disabled", ["", "avx512", "avx512,avx2"])
def test_date32_columns_without_nulls_are_their_isoformat(disabled):
    # Columns without nulls go a vector of dates at a time where the CPU can:
    # each vector path the CPU has, and the portable one, in a process of
    # its own.
    import os
    import subprocess
    import sys

    pytest.importorskip("pyarrow")
    pytest.importorskip("numpy")
    env = dict(os.environ, DRISK_DISABLE_CPU_FEATURES=disabled)
    here = os.path.dirname(__file__)
    result = subprocess.run([sys.executable, "-c", DATE_PATHS_CHECK, here], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-2000:]


def assert_dates_are_isoformat(kind):
    # Every month end and leap day of a few years, random days of the years
    # 0 to 9999 and just outside them, sorted runs, and years far outside,
    # in columns that are not whole vectors.
    import numpy as np
    import pyarrow as pa

    rng = np.random.default_rng(21)
    first, last = -719_468, 2_932_896  # 0000-03-01 and 9999-12-31
    if kind == "random":
        calendars = [(y - 1970) * 365 + (y - 1969) // 4 for y in (0, 1, 1900, 2000, 2023, 2024, 9999)]
        edges = np.concatenate([np.arange(c - 400, c + 400) for c in calendars] + [np.arange(first - 9, first + 9)])
        days = np.concatenate([edges, rng.integers(first - 2000, last + 2000, 30_001)])
        rng.shuffle(days)
    elif kind == "runs":
        days = np.repeat(np.sort(rng.integers(first, last, 3_000)), rng.integers(1, 20, 3_000))
    else:
        days = rng.choice([first, last, last + 1, first - 1, -(2**31), 2**31 - 1, 0, 20_000], 5_003)
    for part in (days, days[3:]):
        h = HyperLogLog(P)
        assert update_many(h, pa.array(part.astype(np.int32), pa.date32())) == len(part)
        assert h.to_bytes() == of_texts([date_text(int(d)) for d in part])
        # The same days as NumPy datetime64[D] (64-bit), with NaT among them.
        wide = part.astype(np.int64)
        wide[rng.random(len(wide)) < 0.01] = INT64_MIN
        present = wide[wide != INT64_MIN]
        h = HyperLogLog(P)
        assert update_many(h, wide.view("M8[D]")) == len(present)
        assert h.to_bytes() == of_texts([date_text(int(d)) for d in present])


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("zoned", [False, True])
def test_timestamp_columns_without_nulls_are_their_isoformat(unit, zoned):
    pytest.importorskip("pyarrow")
    pytest.importorskip("numpy")
    assert_timestamps_are_isoformat(unit, zoned)


TIMESTAMP_PATHS_CHECK = """
import sys
sys.path.insert(0, sys.argv[1])
from test_identity_columns import assert_timestamps_are_isoformat

for unit in ("s", "ms", "us", "ns"):
    for zoned in (False, True):
        assert_timestamps_are_isoformat(unit, zoned)
"""


@pytest.mark.parametrize("disabled", ["avx512", "avx512,avx2"])
def test_timestamp_columns_are_their_isoformat_on_every_path(disabled):
    # The AVX2 path and the portable one, each in a process of its own (the
    # test above runs the machine's best path).
    import os
    import subprocess
    import sys

    pytest.importorskip("pyarrow")
    pytest.importorskip("numpy")
    env = dict(os.environ, DRISK_DISABLE_CPU_FEATURES=disabled)
    here = os.path.dirname(__file__)
    check = [sys.executable, "-c", TIMESTAMP_PATHS_CHECK, here]
    result = subprocess.run(check, env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-2000:]


def assert_timestamps_are_isoformat(unit, zoned):
    # Columns without nulls go a vector of timestamps at a time where the
    # CPU can: random moments of the years 0 to 9999 (all of int64 in ns)
    # and past them, whole seconds, whole microseconds among nanoseconds,
    # the ends of days, runs of equal values, in columns that are not whole
    # vectors; NumPy's with NaT among them.
    import numpy as np
    import pyarrow as pa

    rng = np.random.default_rng(22)
    per = PER_SECOND[unit]
    first, last = -719_468 * 86400, 2_932_897 * 86400 - 1  # 0000-03-01 to 9999-12-31, in seconds
    low, high = max(first - 10**10, INT64_MIN // per + 1), min(last + 10**10, INT64_MAX // per - 1)
    seconds = rng.integers(low, high, 6_000).tolist()
    seconds += [s + d for s in (first, last, 0, 19_724 * 86400) for d in (-86401, -86400, -1, 0, 1, 86399)]
    seconds = [s for s in seconds if low <= s <= high]
    kinds = rng.integers(0, 3, len(seconds)).tolist()
    parts = [
        0 if k == 0 else int(rng.integers(0, per)) if k == 1 else int(rng.integers(0, 10**6)) * (per // 10**6)
        for k in kinds
    ]
    counts = np.array([s * per + p for s, p in zip(seconds, parts, strict=True)], np.int64)
    counts = np.repeat(counts, rng.integers(1, 4, len(counts)))
    # A run anywhere in int64: in ns, rows of nanoseconds alone.
    counts = np.concatenate([counts, rng.integers(INT64_MIN + 1, INT64_MAX, 200, np.int64, True), counts[:50]])
    kind = pa.timestamp(unit, "Europe/Paris" if zoned else None)
    for part in (counts, counts[5:]):
        expected = of_texts([timestamp_text(int(c), unit, utc=zoned) for c in part])
        assert of_items(pa.array(part, kind)) == expected
        if not zoned:
            wide = part.copy()
            wide[rng.random(len(wide)) < 0.01] = INT64_MIN
            present = wide[wide != INT64_MIN]
            h = HyperLogLog(P)
            assert update_many(h, wide.view(f"M8[{unit}]")) == len(present)
            assert h.to_bytes() == of_texts([timestamp_text(int(c), unit) for c in present])
