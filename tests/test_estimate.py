"""count(): the estimator, bit for bit, for any register contents."""

import math
import random

import pytest

from _drisk import HyperLogLog


def c_log(x):
    """The C library's log, including its answers outside the domain."""
    if x > 0:
        return math.log(x)
    return -math.inf if x == 0 else math.nan


def reference_count(regs: bytes) -> float:
    """The estimator as defined: sequential sum in ascending register order."""
    m = len(regs)
    md = float(m)
    z = 0.0
    for r in regs:
        z += 2.0**-r
    alpha = {16: 0.673, 32: 0.697, 64: 0.709}.get(m, 0.7213 / (1.0 + 1.079 / md))
    e = ((alpha * md) * md) / z
    if e <= 2.5 * md:
        zeros = regs.count(0)
        return md * math.log(md / zeros) if zeros else e
    if e > 6.148914691236517e17:
        return c_log(e * -5.421010862427522e-20 + 1.0) * -1.8446744073709552e19
    return e


def same_float(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def sketch_of(p, regs):
    return HyperLogLog.from_bytes(bytes([p]) + bytes(regs))


@pytest.mark.parametrize(
    "build, expected",
    [
        (lambda: HyperLogLog(), 0.0),
        (lambda: fed(12, [b""]), 1.0001220901843502),
        (lambda: fed(4, [b""]), 1.0326163382011386),
        (lambda: fed(12, [b"", b"a"]), 2.0004884402538363),
        (lambda: fed(12, [str(i).encode() for i in range(10000)]), 9926.096209733603),
        (lambda: sketch_of(12, [1] * 4096), 5907.333444534509),
        (lambda: sketch_of(12, [48] * 4096), 8.507008910765307e17),
        (lambda: sketch_of(12, [47] * 4096), 4.1569163593060755e17),
        (lambda: sketch_of(4, [2] * 16), 43.072),
        (lambda: sketch_of(12, [53] * 4096), math.nan),
        (lambda: sketch_of(12, [255] * 4096), math.nan),
        (lambda: sketch_of(18, [255] * 262144), math.nan),
    ],
)
def test_documented_values(build, expected):
    h = build()
    assert same_float(h.count(), expected)
    assert same_float(h.count(), expected)  # reading changes nothing


def fed(p, items):
    h = HyperLogLog(p)
    for item in items:
        h.update(item)
    return h


def test_ten_thousand_items_leave_363_zero_registers():
    h = fed(12, [str(i).encode() for i in range(10000)])
    assert h.registers().count(0) == 363


def adversarial_registers(rng, p):
    m = 2**p
    kind = rng.choice(["low", "mid", "edge", "high", "mixed"])
    pools = {
        "low": [0, 1, 2, 3],
        "mid": list(range(0, 30)),
        "edge": list(range(53 - p - 2, 53 - p + 3)),  # around the exactness bound
        "high": list(range(53, 66)) + [255],
        "mixed": [0, 5, 17, 30] + list(range(53, 66)) + [128, 254, 255],
    }[kind]
    regs = [rng.choice(pools) for _ in range(m)]
    if rng.random() < 0.5:
        regs.sort(reverse=rng.random() < 0.5)
    return regs


@pytest.mark.parametrize("p", [4, 5, 6, 7, 8, 10, 12, 14])
def test_fast_path_matches_sequential_reference(p):
    rng = random.Random(1000 + p)
    for _ in range(60):
        regs = adversarial_registers(rng, p)
        h = sketch_of(p, regs)
        assert same_float(h.count(), reference_count(bytes(regs))), regs


@pytest.mark.parametrize("p", [16, 18])
def test_fast_path_matches_reference_at_large_p(p):
    rng = random.Random(p)
    for _ in range(3):
        regs = adversarial_registers(rng, p)
        assert same_float(sketch_of(p, regs).count(), reference_count(bytes(regs)))


@pytest.mark.parametrize("p", [4, 12, 18])
def test_exactness_bound_boundary(p):
    """One register right at, and one just past, the bound p + r_max <= 53."""
    m = 2**p
    for top in (53 - p, 54 - p):
        regs = [1] * (m - 2) + [top, 0]
        h = sketch_of(p, regs)
        assert same_float(h.count(), reference_count(bytes(regs)))


@pytest.mark.parametrize("p, n", [(10, 100), (12, 5000), (14, 100_000), (16, 300_000)])
def test_accuracy_on_real_items(p, n):
    h = fed(p, [f"item-{i}".encode() for i in range(n)])
    bound = 3 * 1.04 / math.sqrt(2**p)
    assert abs(h.count() - n) / n < bound
    assert h.count() == reference_count(h.registers())
