"""drisk.estimate, drisk.error_bounds and drisk.summary.

The estimators are checked against slow, independent Python versions of
Ertl's formulas ("New cardinality estimation algorithms for HyperLogLog
sketches", 2017): the improved estimator with tau in its closed form
(1 - x - sum (1 - x^(2^-k))^2 2^-k) / 3, and the maximum-likelihood estimate
found by bisection on the likelihood equation with the exact helper function.
The bounds are checked by a small coverage simulation of real sketches.
"""

import math
import random

import numpy
import pytest
from hypothesis import given
from hypothesis import strategies as st

import drisk
from _drisk import HyperLogLog

ALPHA_INF = 1 / (2 * math.log(2))


# ---------------------------------------------------------------------------
# Reference implementations
# ---------------------------------------------------------------------------


def histogram(p, regs):
    q = 64 - p
    counts = [0] * (q + 2)
    for r in regs:
        counts[min(r, q + 1)] += 1
    return counts


def desaturate(counts):
    """A fully saturated histogram is read as the state one step below."""
    m = sum(counts)
    if counts[-1] == m:
        counts = counts[:]
        counts[-1] -= 1
        counts[-2] += 1
    return counts


def sigma(x):
    if x == 1.0:
        return math.inf
    z, y = x, 1.0
    while True:
        x *= x
        previous = z
        z += x * y
        y += y
        if z == previous:
            return z


def tau(x):
    """The closed form: (1 - x - sum_k (1 - x^(2^-k))^2 2^-k) / 3."""
    if x in (0.0, 1.0):
        return 0.0
    z, y = 1.0 - x, 1.0
    while True:
        x = math.sqrt(x)
        previous = z
        y *= 0.5
        z -= (1.0 - x) ** 2 * y
        if z == previous:
            return z / 3.0


def improved_reference(p, regs):
    counts = histogram(p, regs)
    m, q = len(regs), 64 - p
    if counts[0] == m:
        return 0.0
    counts = desaturate(counts)
    denominator = m * sigma(counts[0] / m)
    denominator += sum(counts[k] * 2.0**-k for k in range(1, q + 1))
    denominator += m * tau(1 - counts[q + 1] / m) * 2.0**-q
    return ALPHA_INF * m * m / denominator


def helper(x):
    """h(x) = 1 - x / (e^x - 1), without cancellation for small x."""
    if x < 1e-4:
        return x / 2 - x * x / 12 + x**4 / 720
    if x > 700:
        return 1.0 - x * math.exp(-x)
    return 1.0 - x / math.expm1(x)


def ml_reference(p, regs):
    """Root of the likelihood equation (Ertl, section 4), by bisection."""
    counts = histogram(p, regs)
    m, q = len(regs), 64 - p
    if counts[0] == m:
        return 0.0
    counts = desaturate(counts)
    occupied = m - counts[0]
    a = sum(counts[k] * 2.0**-k for k in range(q + 1))

    def f(x):
        total = x * a + counts[q + 1] * helper(x * 2.0**-q)
        total += sum(counts[k] * helper(x * 2.0**-k) for k in range(1, q + 1) if counts[k])
        return total - occupied

    lo, hi = 0.0, occupied / a  # the paper's upper bound for the root
    while f(hi) < 0:
        hi *= 2
    for _ in range(200):
        mid = (lo + hi) / 2
        if f(mid) < 0:
            lo = mid
        else:
            hi = mid
    return m * (lo + hi) / 2


# ---------------------------------------------------------------------------
# Register arrays
# ---------------------------------------------------------------------------


def poisson_registers(p, x, seed):
    """Registers under the Poisson model at n / m = x: P(M <= k) = exp(-x 2^-k)."""
    rng = random.Random(seed)
    q = 64 - p
    regs = []
    for _ in range(2**p):
        u = 1.0 - rng.random()
        if u <= math.exp(-x):
            regs.append(0)
            continue
        k = math.ceil(math.log2(x / -math.log(u)))
        regs.append(min(max(k, 1), q + 1))
    return regs


def sketch_of(p, regs):
    return HyperLogLog.from_bytes(bytes([p]) + bytes(regs))


def edge_arrays():
    cases = []
    for p in (4, 5, 10, 14):
        m, top = 2**p, 65 - p
        cases += [
            (p, [0] * m, "all zero"),
            (p, [top] * m, "all saturated"),
            (p, [255] * m, "all above the largest rank"),
            (p, [top + 1] + [top] * (m - 1), "saturated, one above"),
            (p, [1] + [0] * (m - 1), "one register at 1"),
            (p, [0] * (m - 1) + [top], "one register saturated"),
            (p, [0] * (m // 2) + [top] * (m // 2), "half zero, half saturated"),
            (p, [top - 1] + [top] * (m - 1), "one below saturation"),
            (p, [k % 256 for k in range(m)], "every byte value"),
            (p, [k % (top + 1) for k in range(m)], "every rank"),
        ]
    return cases


def model_arrays():
    cases = []
    for p in (4, 6, 11, 14, 18):
        q = 64 - p
        for x in (0.0005, 0.05, 1.0, 2.5, 7.0, 1e3, 1e9, 2.0**q, 2.0**q * 50):
            if p == 18 and x not in (0.05, 2.5, 1e9):
                continue  # 2^18 Python draws an array: a few suffice
            cases.append((p, poisson_registers(p, x, seed=hash((p, x)) & 0xFFFF), f"x={x:g}"))
    return cases


ARRAYS = edge_arrays() + model_arrays()
ARRAY_IDS = [f"p{p}-{name}" for p, _, name in ARRAYS]


# ---------------------------------------------------------------------------
# Estimators
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("p, regs, name", ARRAYS, ids=ARRAY_IDS)
def test_improved_matches_the_formula(p, regs, name):
    got = drisk.estimate(sketch_of(p, regs))
    assert got == pytest.approx(improved_reference(p, regs), rel=1e-12, abs=0)
    assert drisk.estimate(sketch_of(p, regs), "improved") == got


@pytest.mark.parametrize("p, regs, name", ARRAYS, ids=ARRAY_IDS)
def test_ml_solves_the_likelihood_equation(p, regs, name):
    got = drisk.estimate(sketch_of(p, regs), method="ml")
    assert got == pytest.approx(ml_reference(p, regs), rel=1e-8, abs=1e-9)


@pytest.mark.parametrize("p, regs, name", ARRAYS, ids=ARRAY_IDS)
def test_classic_is_count_to_the_bit(p, regs, name):
    sketch = sketch_of(p, regs)
    got, expected = drisk.estimate(sketch, "classic"), sketch.count()
    assert got == expected or (math.isnan(got) and math.isnan(expected))


@pytest.mark.parametrize("p, regs, name", ARRAYS, ids=ARRAY_IDS)
def test_any_registers_give_finite_ordered_results(p, regs, name):
    sketch = sketch_of(p, regs)
    for method in ("improved", "ml"):
        value = drisk.estimate(sketch, method)
        assert math.isfinite(value) and value >= 0
        for confidence in (0.5, 0.95, 0.999):
            lower, upper = drisk.error_bounds(sketch, confidence, method)
            assert math.isfinite(upper)
            assert 0 <= lower <= value <= upper


def test_impossible_registers_read_as_saturated():
    p = 12
    top = 65 - p
    regs = poisson_registers(p, 3.0, seed=1)
    regs[:5] = [top] * 5
    above = regs[:]
    above[:5] = [top + 1, 100, 200, 254, 255]
    for method in ("improved", "ml"):
        assert drisk.estimate(sketch_of(p, above), method) == drisk.estimate(sketch_of(p, regs), method)


def test_saturation_gives_the_largest_estimate():
    p = 10
    top = 65 - p
    saturated = sketch_of(p, [top] * 2**p)
    below = sketch_of(p, [top - 1] + [top] * (2**p - 1))
    for method in ("improved", "ml"):
        assert drisk.estimate(saturated, method) == drisk.estimate(below, method)
        assert drisk.estimate(saturated, method) > drisk.estimate(sketch_of(p, [top - 2] + [top] * (2**p - 1)), method)


@pytest.mark.parametrize("method", ["improved", "ml"])
@pytest.mark.parametrize("n", [1, 2, 3])
def test_a_few_items_are_counted_almost_exactly(method, n):
    h = HyperLogLog(16)
    drisk.update_many(h, [b"item-%d" % i for i in range(n)])
    assert drisk.estimate(h, method) == pytest.approx(n, abs=0.01)


def test_near_the_linear_counting_threshold():
    """The issue's case: 2.5 m lines at p = 16, where count() is 2.2 % high."""
    h = HyperLogLog(16)
    drisk.update_lines(h, b"".join(b"%d\n" % i for i in range(1, 163841)))
    assert h.count() == pytest.approx(167478, abs=1)
    for method in ("improved", "ml"):
        assert drisk.estimate(h, method) == pytest.approx(163840, rel=3 * 1.04 / 256)
        lower, upper = drisk.error_bounds(h, method=method)
        assert lower <= 163840 <= upper


# ---------------------------------------------------------------------------
# Bounds
# ---------------------------------------------------------------------------


def test_empty_sketch_is_exactly_zero():
    h = HyperLogLog(12)
    for method in ("improved", "ml", "classic"):
        assert drisk.estimate(h, method) == 0.0
        assert drisk.error_bounds(h, method=method) == (0.0, 0.0)


def test_lower_bound_counts_every_used_register():
    """The count is at least the number of registers in use."""
    h = HyperLogLog(16)
    drisk.update_many(h, [b"%d" % i for i in range(40)])
    used = sum(1 for r in h.registers() if r)
    lower, upper = drisk.error_bounds(h, 0.999)
    assert used <= lower <= 40 <= upper


@pytest.mark.parametrize("confidence", [0.5, 0.8, 0.95, 0.999])
def test_higher_confidence_widens(confidence):
    h = HyperLogLog(12)
    drisk.update_many(h, [b"%d" % i for i in range(50000)])
    lower, upper = drisk.error_bounds(h, confidence)
    wider = drisk.error_bounds(h, min(confidence + 0.04, 0.999))
    assert wider[0] <= lower and upper <= wider[1]


def test_classic_bounds_hold_its_estimate():
    h = HyperLogLog(12)
    drisk.update_many(h, [b"%d" % i for i in range(10240)])  # 2.5 m: classic's bias peak
    lower, upper = drisk.error_bounds(h, method="classic")
    assert lower <= h.count() <= upper
    improved = drisk.error_bounds(h)
    assert lower <= improved[0] and improved[1] <= upper


def sketches_at(p, n, trials, salt):
    out = []
    for t in range(trials):
        h = HyperLogLog(p)
        # Distinct ints per (salt, trial): a column, so that 200 sketches of
        # 100,000 items each take a moment.
        start = (salt * 1000 + t) * 10**7
        drisk.update_many(h, numpy.arange(start, start + n, dtype=numpy.int64))
        out.append(h)
    return out


@pytest.mark.parametrize("p, n", [(8, 30), (8, 300), (8, 1500), (10, 5000), (6, 100000)])
def test_bounds_cover_the_true_count(p, n):
    """95 % intervals of 200 real sketches: about 190 hold the count."""
    trials = 200
    held = sum(lo <= n <= hi for lo, hi in map(drisk.error_bounds, sketches_at(p, n, trials, salt=n)))
    assert 0.90 * trials <= held <= 0.995 * trials


def test_summary_agrees_with_the_functions():
    h = HyperLogLog(11)
    drisk.update_many(h, [b"%d" % i for i in range(7000)])
    s = drisk.summary(h, 0.9, "ml")
    assert s["estimate"] == drisk.estimate(h, "ml")
    assert (s["lower"], s["upper"]) == drisk.error_bounds(h, 0.9, "ml")
    assert (s["p"], s["m"], s["confidence"], s["method"]) == (11, 2048, 0.9, "ml")
    assert s["registers_in_use"] == sum(1 for r in h.registers() if r)
    assert 0 < s["relative_standard_error"] < 2 * drisk.relative_error(h)


# ---------------------------------------------------------------------------
# Arguments
# ---------------------------------------------------------------------------

STORED_FORMS = {
    "packed": drisk.pack,
    "raw": lambda h: h.to_bytes(),
    "packed bytearray": lambda h: bytearray(drisk.pack(h)),
    "raw memoryview": lambda h: memoryview(h.to_bytes()),
}
SKETCH_CALLS = {
    "estimate": lambda s: drisk.estimate(s, "ml"),
    "error_bounds": lambda s: drisk.error_bounds(s, 0.9),
    "summary": drisk.summary,
    "fold": lambda s: drisk.fold(s, 9).to_bytes(),
    "union": lambda s: drisk.union(s, HyperLogLog(10)).to_bytes(),
    "union of stored only": lambda s: drisk.union(s, s).to_bytes(),
    "relative_error": drisk.relative_error,
}


@pytest.mark.parametrize("form", STORED_FORMS)
@pytest.mark.parametrize("call", SKETCH_CALLS)
def test_sketch_functions_take_stored_sketches(call, form):
    """Each gives for a sketch's stored bytes what it gives for the sketch."""
    h = HyperLogLog(11)
    drisk.update_many(h, range(5000))
    assert SKETCH_CALLS[call](STORED_FORMS[form](h)) == SKETCH_CALLS[call](h)


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda h: drisk.estimate(h, "fast"), ValueError, "method must be 'improved', 'ml' or 'classic', got 'fast'"),
        (lambda h: drisk.estimate(h, 3), TypeError, "'int' object is not an instance of 'str'"),
        (lambda h: drisk.estimate(b"sketch"), ValueError, "not a packed sketch"),
        (lambda h: drisk.union(h, bytearray(h.to_bytes()[:-1])), ValueError, "not a packed sketch"),
        (lambda h: drisk.estimate(), TypeError, "missing"),
        (lambda h: drisk.estimate(h, "ml", "x"), TypeError, "takes"),
        (lambda h: drisk.estimate(h, methd="ml"), TypeError, "unexpected keyword"),
        (
            lambda h: drisk.error_bounds(h, 0.4999),
            ValueError,
            "confidence must be between 0.5 and 0.999 inclusive, got 0.4999",
        ),
        (lambda h: drisk.error_bounds(h, 1), ValueError, "got 1.0"),
        (lambda h: drisk.error_bounds(h, 0.9991), ValueError, "got 0.9991"),
        (lambda h: drisk.error_bounds(h, math.nan), ValueError, "got nan"),
        (lambda h: drisk.error_bounds(h, "0.9"), TypeError, "must be real number"),
        (lambda h: drisk.error_bounds(h, method="mle"), ValueError, "got 'mle'"),
        (lambda h: drisk.error_bounds(None), TypeError, "'None' is not an instance of 'HyperLogLog'"),
        (lambda h: drisk.summary(h, confidence=2.0), ValueError, "confidence must be"),
    ],
)
def test_bad_arguments(call, exc, text):
    h = HyperLogLog(8)
    h.update(b"x")
    before = h.to_bytes()
    with pytest.raises(exc) as info:
        call(h)
    assert text in str(info.value)
    assert h.to_bytes() == before


@pytest.mark.parametrize("confidence", [0.5, 0.999, 1 / 2])
def test_confidence_limits_are_inclusive(confidence):
    h = HyperLogLog(8)
    h.update(b"x")
    drisk.error_bounds(h, confidence)


@given(st.integers(4, 7).flatmap(lambda p: st.tuples(st.just(p), st.binary(min_size=2**p, max_size=2**p))))
def test_arbitrary_register_bytes(case):
    """Whatever from_bytes accepts: finite estimates and ordered bounds."""
    p, regs = case
    sketch = sketch_of(p, regs)
    for method in ("improved", "ml"):
        value = drisk.estimate(sketch, method)
        lower, upper = drisk.error_bounds(sketch, 0.95, method)
        assert math.isfinite(value) and math.isfinite(upper)
        assert 0 <= lower <= value <= upper
    assert drisk.estimate(sketch) == pytest.approx(improved_reference(p, regs), rel=1e-12, abs=0)
