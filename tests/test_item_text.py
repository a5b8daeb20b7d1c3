"""The text a number or boolean is hashed as: str() of integers, of whole
floats as the integer they equal (2.0 as "2", -0.0 as "0", 1e20 as all its
digits), repr() of other floats (NaN never hashed), "True"/"False" for
booleans.

The oracle is Python itself: a sketch fed the values from a column must hold
the registers of a sketch fed their texts with update_str. At p=18 two
different texts land on the same register and rank about once in a million,
so equal registers mean equal texts.
"""

import math
import struct

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from drisk import HyperLogLog, update_many
from drisk._colread import update_buffer
from support import float_text

np = pytest.importorskip("numpy")


def python_text(value):
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, float):
        return float_text(value)
    return str(value)


def from_texts(values, p=18):
    h = HyperLogLog(p)
    for value in values:
        if not (isinstance(value, float) and math.isnan(value)):
            h.update_str(python_text(value))
    return h


def from_buffer(array, p=18):
    h = HyperLogLog(p)
    absorbed = update_buffer(h, array)
    return h, absorbed


def present(values):
    return [v for v in values if not (isinstance(v, float) and math.isnan(v))]


EDGE_DOUBLES = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    1.5,
    0.1,
    0.2 + 0.1,
    1e16,
    1e15,
    9999999999999998.0,
    1e17 - 16,
    1e-4,
    1e-5,
    0.00012345,
    123456789.123,
    1e22,
    1e23,
    2.0**53,
    2.0**53 + 2,
    2.0**63,
    2.0**64,
    5e-324,
    2.2250738585072014e-308,
    2.225073858507201e-308,
    1.7976931348623157e308,
    math.pi,
    -math.e,
    math.inf,
    -math.inf,
    math.nan,
    1 / 3,
    2 / 3,
    100.0,
    1234567890123456.7,
]


@given(st.lists(st.floats(), max_size=40))
@example(EDGE_DOUBLES)
def test_float64_is_repr(values):
    h, absorbed = from_buffer(np.array(values, dtype=np.float64))
    assert absorbed == len(present(values))
    assert h.registers() == from_texts(values).registers()


@pytest.mark.parametrize("width, dtype", [(32, np.float32), (16, np.float16)])
@given(data=st.data())
def test_narrow_floats_are_repr_of_their_double(width, dtype, data):
    values = data.draw(st.lists(st.floats(width=width), max_size=40))
    array = np.array(values, dtype=dtype)
    h, absorbed = from_buffer(array)
    # The item is the repr of the Python float holding the same value.
    widened = [float(x) for x in array]
    assert absorbed == len(present(widened))
    assert h.registers() == from_texts(widened).registers()


def test_every_bit_pattern_of_float16():
    bits = np.arange(2**16, dtype=np.uint16)
    halves = bits.view(np.float16)
    h, absorbed = from_buffer(halves)
    widened = [float(x) for x in halves]
    assert absorbed == len(present(widened))
    assert h.registers() == from_texts(widened).registers()


def test_random_bit_patterns_of_float64():
    rng = np.random.default_rng(11)
    patterns = rng.integers(0, 2**64, size=20_000, dtype=np.uint64, endpoint=False)
    for chunk in np.split(patterns.view(np.float64), 20):
        h, _ = from_buffer(chunk)
        assert h.registers() == from_texts(chunk.tolist()).registers()


def float_kinds(rng, n):
    """n doubles of each kind that takes its own way through the float writer:
    the shortest-digits search (16 and 17 digits, a power of two's narrower
    gap below, subnormals), the short digits of prices and readings, the
    layouts "123.456", "0.00123" and "1.23e-05" either side of their limits."""
    whole = rng.integers(1, 10**9, n)
    wiggle = rng.integers(-3000, 3000, n)
    sign = rng.choice([-1.0, 1.0], n)
    return {
        "bit patterns": rng.integers(0, 2**64, n, dtype=np.uint64).view(np.float64),
        "n / 7": whole / 7,
        "n / 3": whole / 3 * sign,
        "n / 100": whole / 100 * sign,
        "prices": rng.integers(1, 2 * 10**7, n) / 100,
        "n / 1000": whole / 1000,
        "about 1": 1 + wiggle * 2.0**-52,
        "about 1e-4": 1e-4 + wiggle * 2.0**-66,
        "about 1e-5": 1e-5 + wiggle * 2.0**-69,
        "about 2^-12": (2.0**-12 + wiggle * 2.0**-64) * sign,
        "about 2^51": 2.0**51 + wiggle / 4,
        "below 2^52": (2.0**52 - rng.integers(1, 6000, n) / 2) * sign,
        "subnormal": rng.integers(1, 2**52, n, dtype=np.uint64).view(np.float64) * sign,
        "powers of two": np.ldexp(sign, rng.integers(-1074, 1024, n)),
        "16 digits": np.round(rng.random(n), 16) * 10.0 ** rng.integers(-6, 16, n),
        "17 digits": rng.random(n) * 10.0 ** rng.integers(-6, 16, n),
        "few digits": rng.integers(1, 10**6, n) / 10.0 ** rng.integers(1, 12, n),
        "texts of 8 to 10 bytes": rng.integers(1, 10**5, n) / 10.0 ** rng.integers(1, 9, n) * sign,
        # A few units in the last place from 0.3 or 1200: 17 digits ending
        # in runs of nines or zeros, next to a multiple of 10^8 or 10^16.
        "next to short decimals": (
            (rng.integers(1, 1000, n) * 10.0 ** rng.integers(-4, 13, n)).view(np.int64) + rng.integers(-40, 41, n)
        ).view(np.float64)
        * sign,
    }


def assert_floats_are_repr(array, chunk=4096):
    # Each chunk as one column, so that the column reader's choices (cents,
    # short digits tried or not) are made as for real data; at p=18 a wrong
    # text among 4096 lands in an empty register almost surely.
    for start in range(0, len(array), chunk):
        part = array[start : start + chunk]
        h, _ = from_buffer(part)
        assert h.registers() == from_texts(part.tolist()).registers(), part[:8]


FLOAT_KINDS = list(float_kinds(np.random.default_rng(0), 1))


@pytest.mark.parametrize("kind", FLOAT_KINDS)
def test_floats_of_every_kind_are_repr(kind):
    values = float_kinds(np.random.default_rng(FLOAT_KINDS.index(kind)), 8192)[kind]
    assert_floats_are_repr(values)
    # The same values in a Python list take the item path, one at a time.
    h = HyperLogLog(18)
    update_many(h, values[:2048].tolist())
    assert h.registers() == from_texts(values[:2048].tolist()).registers()


def test_floats_of_mixed_kinds_are_repr():
    # Kinds interleaved at random: every chunk switches between ways.
    rng = np.random.default_rng(5)
    values = np.concatenate(list(float_kinds(rng, 4096).values()))
    assert_floats_are_repr(rng.permutation(values))


FLOAT_PATHS_CHECK = """
import sys
import numpy as np
sys.path.insert(0, sys.argv[1])
from test_item_text import assert_floats_are_repr, float_kinds

rng = np.random.default_rng(8)
kinds = float_kinds(rng, 4096)
for values in kinds.values():
    assert_floats_are_repr(values)
assert_floats_are_repr(rng.permutation(np.concatenate(list(kinds.values()))))
"""


@pytest.mark.parametrize("disabled", ["", "avx512", "avx512,avx2"])
def test_every_float_path_writes_repr(disabled):
    # Fractions are written and hashed in lanes of their own where the CPU
    # has AVX-512, and chunks split there: each path, and the portable one,
    # in a process of its own.
    import os
    import subprocess
    import sys

    env = dict(os.environ, DRISK_DISABLE_CPU_FEATURES=disabled)
    here = os.path.dirname(__file__)
    result = subprocess.run([sys.executable, "-c", FLOAT_PATHS_CHECK, here], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-2000:]


@pytest.mark.slow
def test_fractions_of_every_exponent_the_lanes_take_are_repr():
    # Random significands and signs at every binary exponent from 2^-14 to
    # 2^53 (the fraction lanes take 2^-12 to 2^52), full precision and
    # rounded to 1 to 17 digits.
    rng = np.random.default_rng(12)
    n = 1 << 20
    bits = rng.integers(0, 2**52, n, dtype=np.uint64) | (rng.integers(1009, 1077, n, dtype=np.uint64) << np.uint64(52))
    values = bits.view(np.float64) * rng.choice([-1.0, 1.0], n)
    quarter = values[: n // 4]
    places = rng.integers(0, 17, n // 4) - np.floor(np.log10(np.abs(quarter))).astype(int)
    rounded = np.array([round(v, int(d)) for v, d in zip(quarter, places)])
    assert_floats_are_repr(np.concatenate([values, rounded]), chunk=65536)


@pytest.mark.slow
def test_many_floats_of_every_kind_are_repr():
    rng = np.random.default_rng(6)
    for _ in range(20):
        for values in float_kinds(rng, 65536).values():
            assert_floats_are_repr(values)


INT_DTYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]


def edge_ints(dtype):
    info = np.iinfo(dtype)
    candidates = {
        info.min,
        info.max,
        0,
        1,
        9,
        10,
        99,
        100,
        10**7 - 1,
        10**7,
        10**8 - 1,
        10**8,
        10**15,
        10**16 - 1,
        10**16,
        10**18,
        2**63 - 1,
        -1,
        -9,
        -10,
        -(10**8),
        -(2**63),
    }
    return sorted(x for x in candidates if info.min <= x <= info.max)


@pytest.mark.parametrize("dtype", INT_DTYPES)
@given(data=st.data())
def test_integers_are_decimal(dtype, data):
    info = np.iinfo(dtype)
    values = data.draw(st.lists(st.integers(int(info.min), int(info.max)), max_size=40))
    values += edge_ints(dtype)
    # Runs of at least four, in and out of the 0..10^8 range, take the wide path.
    h, absorbed = from_buffer(np.array(values, dtype=dtype))
    assert absorbed == len(values)
    assert h.registers() == from_texts(values).registers()


@pytest.mark.parametrize("dtype", [np.int64, np.uint64, np.int32, np.uint32])
def test_integers_of_every_length(dtype):
    # Every length from 1 to 10 digits, each side of every power of ten, in
    # runs of four: the widths hashed in vector lanes and the ones next to them.
    edges = [10**k + d for k in range(1, 10) for d in range(-6, 6)]
    values = np.array(sorted(set(edges + list(range(1, 10**8, 99_991)))), dtype=np.int64)
    values = values[values <= np.iinfo(dtype).max].astype(dtype)
    h, _ = from_buffer(values)
    assert h.registers() == from_texts(values.tolist()).registers()


def test_all_integers_up_to_a_million():
    values = np.arange(-1000, 1_000_000, dtype=np.int64)
    h, _ = from_buffer(values)
    assert h.registers() == from_texts(range(-1000, 1_000_000), p=18).registers()


def test_booleans_are_true_and_false():
    h, absorbed = from_buffer(np.array([True, False, True]))
    assert absorbed == 3
    assert h.registers() == from_texts(["True", "False"]).registers()
    # Any non-zero byte is True.
    raw = np.frombuffer(bytes([0, 1, 2, 255]), dtype=np.bool_)
    h, _ = from_buffer(raw)
    assert h.registers() == from_texts(["True", "False"]).registers()


@pytest.mark.parametrize(
    "fmt, values",
    [
        ("<q", [1, -2, 10**12]),
        (">q", [1, -2, 10**12]),
        (">i", [5, -5, 2**31 - 1]),
        (">H", [1, 65535]),
        (">d", [1.5, -0.0, 1e300]),
        ("<e", [0.5, 65504.0]),
        (">f", [0.1, 3.0]),
    ],
)
def test_byte_order_follows_the_format(fmt, values):
    data = struct.pack(f"{fmt[0]}{len(values)}{fmt[1]}", *values)
    array = np.frombuffer(data, dtype=np.dtype(fmt))
    h, _ = from_buffer(array)
    assert h.registers() == from_texts([float(x) if fmt[1] in "efd" else int(x) for x in array]).registers()


@given(st.lists(st.one_of(st.floats(), st.integers(-(2**63), 2**64 - 1), st.booleans(), st.none()), max_size=40))
@example(EDGE_DOUBLES + [0, -1, 2**63, 2**64 - 1, -(2**63), True, False, None])
def test_python_values_in_a_list(values):
    h = HyperLogLog(18)
    assert update_many(h, values) == len([v for v in present(values) if v is not None])
    assert h.registers() == from_texts([v for v in values if v is not None]).registers()


INTEGER_PATHS_CHECK = """
import sys
import numpy as np
from drisk import HyperLogLog
from drisk._colread import update_buffer

edges = [10**k + d for k in range(1, 19) for d in range(-3, 4)] + [2**63 - 1, 2**63, 2**64 - 1]
values = sorted(set(edges + list(range(-300, 300)) + list(range(1, 10**8, 999_983))))
# Runs of one digit count each (whole vectors of 9 to 19 digits), then all
# of them shuffled together (every mix of lengths in a vector).
rng = np.random.default_rng(11)
by_digits = [rng.integers(10 ** (d - 1), min(10**d, 2**63), 400, dtype=np.int64).tolist() for d in range(1, 20)]
runs = [v for run in by_digits for v in run]
shuffled = rng.permutation(runs).tolist()
for dtype in [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]:
    info = np.iinfo(dtype)
    array = np.array([v for v in values + runs + shuffled if info.min <= v <= info.max], dtype=dtype)
    for part in (array, array[1:], array[::-1].copy()):
        h, texts = HyperLogLog(18), HyperLogLog(18)
        assert update_buffer(h, part) == len(part)
        for v in part.tolist():
            texts.update_str(str(v))
        if h.registers() != texts.registers():
            sys.exit(f"{dtype.__name__}: registers differ")

# The grouped path hashes each row on its own (the same lanes, the hashes
# stored in row order): per group, the registers of the group's texts.
import pyarrow as pa
import drisk
wide = np.array(runs + shuffled, dtype=np.int64)
groups = np.arange(len(wide)) % 3
table = drisk.sketch_by(pa.table({"g": groups, "v": wide}), "g", "v", p=16)
for g, sketch in zip(table.column("g").to_pylist(), table.column("sketch").to_pylist()):
    texts = HyperLogLog(16)
    for v in wide[groups == g].tolist():
        texts.update_str(str(v))
    if drisk.unpack(sketch).registers() != texts.registers():
        sys.exit(f"group {g}: registers differ")
"""


PRICES_CHECK = """
import sys
import numpy as np
from drisk import HyperLogLog
from drisk._colread import update_buffer

# Cents around each length of the price lanes' texts (10.01 to 99999.99) and
# outside them, with fractions of one and two digits, whole values among
# them, signs, in every order.
edges = [10**k + d for k in range(2, 9) for d in (-100, -11, -10, -9, -1, 0, 1, 9, 10, 11, 50, 100)]
rng = np.random.default_rng(3)
cents = np.array(edges + rng.integers(1, 2 * 10**7, 20_000).tolist() + (rng.integers(10, 10**5, 2_000) * 10).tolist())
for values in (cents / 100, -cents / 100, rng.permutation(np.concatenate([cents, -cents])) / 100):
    for part in (values, values[3:]):
        h, texts = HyperLogLog(18), HyperLogLog(18)
        update_buffer(h, part)
        for v in part.tolist():
            texts.update_str(str(int(v)) if v == int(v) else repr(v))
        if h.registers() != texts.registers():
            sys.exit("float registers differ")

# The same cents as decimals of scale 2 (whole ones too), by integer
# arithmetic; decimal128 values past the int64 range and nulls among them.
import pyarrow as pa
from decimal import Decimal
from drisk import update_many

def text(n):
    whole, cent = divmod(abs(n), 100)
    digits = str(whole) if cent == 0 else f"{whole}.{cent:02d}".rstrip("0")
    return "-" + digits if n < 0 else digits

# Mostly prices the lanes take, with others among them (a chunk of those
# goes to the lanes); then signed amounts of every size (a chunk of those
# does not).
in_lanes = cents[(cents >= 1000) & (cents < 10**7)]
prices = rng.permutation(np.concatenate([in_lanes, in_lanes[:2000] * 1000, -in_lanes[:2000]])).tolist()
mixed = rng.permutation(np.concatenate([cents, -cents])).tolist()
wide = prices[:500] + [10**30 + 5, -(10**25), 2**63, -(2**63) - 1] + prices[500:]
for numbers, kind, nulls in ((prices, pa.decimal128(18, 2), False), (mixed, pa.decimal128(18, 2), False),
                             (wide, pa.decimal128(38, 2), False), (prices, pa.decimal64(18, 2), False),
                             (prices[:5000], pa.decimal32(9, 2), False), (prices, pa.decimal128(18, 2), True)):
    if kind.bit_width == 32:
        numbers = [n for n in numbers if abs(n) < 10**9]
    items = [None if nulls and i % 7 == 0 else Decimal(f"{n}E-2") for i, n in enumerate(numbers)]
    h, texts = HyperLogLog(18), HyperLogLog(18)
    update_many(h, pa.array(items, kind))
    for n, item in zip(numbers, items):
        if item is not None:
            texts.update_str(text(n))
    if h.registers() != texts.registers():
        sys.exit(f"{kind} registers differ")
"""


@pytest.mark.parametrize("disabled", ["", "avx512", "avx512,avx2"])
def test_every_price_path_writes_repr(disabled):
    # Floats that are cents and decimals of scale 2 go to lanes of their own
    # where the CPU has AVX2 or AVX-512: each path, and the portable one, in
    # a process of its own.
    import os
    import subprocess
    import sys

    env = dict(os.environ, DRISK_DISABLE_CPU_FEATURES=disabled)
    result = subprocess.run([sys.executable, "-c", PRICES_CHECK], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-2000:]


@pytest.mark.parametrize("disabled", ["", "avx512", "avx512,avx2"])
def test_every_integer_path_writes_the_same_text(disabled):
    # Each vector path the CPU has, and the portable one, in a process of its own.
    import os
    import subprocess
    import sys

    env = dict(os.environ, DRISK_DISABLE_CPU_FEATURES=disabled)
    result = subprocess.run([sys.executable, "-c", INTEGER_PATHS_CHECK], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-2000:]
