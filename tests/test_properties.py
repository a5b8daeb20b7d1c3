"""Property tests: laws that hold for every sketch and every input."""

import pickle

from hypothesis import given
from hypothesis import strategies as st

import drisk
from drisk import HyperLogLog

precisions = st.integers(min_value=4, max_value=10)
items = st.lists(st.one_of(st.binary(max_size=300), st.text(max_size=50)), max_size=60)


@st.composite
def raw_sketches(draw, p=None):
    """A sketch with arbitrary register bytes, as from_bytes may receive."""
    p = draw(precisions) if p is None else p
    return HyperLogLog.from_bytes(bytes([p]) + draw(st.binary(min_size=2**p, max_size=2**p)))


@st.composite
def sketch_triples(draw):
    p = draw(precisions)
    return [draw(raw_sketches(p)) for _ in range(3)]


def merged(*sketches):
    out = sketches[0].copy()
    for s in sketches[1:]:
        out.merge(s)
    return out.registers()


@given(sketch_triples())
def test_merge_is_commutative_associative_idempotent(triple):
    a, b, c = triple
    assert merged(a, b) == merged(b, a)
    assert merged(merged_sketch(a, b), c) == merged(a, merged_sketch(b, c))
    assert merged(a, a) == a.registers()


def merged_sketch(a, b):
    out = a.copy()
    out.merge(b)
    return out


@given(raw_sketches())
def test_serialization_round_trips(h):
    data = h.to_bytes()
    again = HyperLogLog.from_bytes(data)
    assert again.to_bytes() == data
    assert again.registers() == h.registers()
    assert pickle.loads(pickle.dumps(h)).to_bytes() == data


@given(raw_sketches())
def test_count_never_raises_nor_changes_the_sketch(h):
    before = h.to_bytes()
    assert isinstance(h.count(), float)
    assert h.to_bytes() == before


@given(precisions, items)
def test_update_many_equals_a_loop(p, xs):
    bulk, loop = HyperLogLog(p), HyperLogLog(p)
    assert drisk.update_many(bulk, xs) == len(xs)
    for x in xs:
        (loop.update_str if isinstance(x, str) else loop.update)(x)
    assert bulk.registers() == loop.registers()


@given(
    precisions,
    st.lists(st.binary(max_size=40).filter(lambda b: b"\n" not in b), max_size=40),
    st.lists(st.sampled_from([b"\n", b"\r\n"]), min_size=40, max_size=40),
)
def test_update_lines_equals_a_loop(p, lines, endings):
    data = b"".join(line.rstrip(b"\r") + end for line, end in zip(lines, endings))
    bulk, loop = HyperLogLog(p), HyperLogLog(p)
    assert drisk.update_lines(bulk, data) == len(lines)
    for line in lines:
        loop.update(line.rstrip(b"\r"))
    assert bulk.registers() == loop.registers()


# Each call either succeeds or raises; a call that raises leaves every sketch
# byte for byte as it was.
ANY_VALUE = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.binary(max_size=20),
    st.text(max_size=10),
    st.lists(st.binary(max_size=4), max_size=3),
    st.builds(bytearray, st.binary(max_size=8)),
    st.just(HyperLogLog(4)),
    st.just(HyperLogLog(12)),
)

CALLS = {
    "update": lambda h, v: h.update(v),
    "update_str": lambda h, v: h.update_str(v),
    "merge": lambda h, v: h.merge(v),
    "merge_self": lambda h, v: h.merge(h),
    "update_many": lambda h, v: drisk.update_many(h, v),
    "update_lines": lambda h, v: drisk.update_lines(h, v),
    "kw": lambda h, v: h.update(data=v, other=v),
}


@given(raw_sketches(), st.sampled_from(sorted(CALLS)), ANY_VALUE)
def test_failed_calls_change_nothing(h, call, value):
    before = h.to_bytes()
    try:
        CALLS[call](h, value)
    except (TypeError, ValueError, RuntimeError, OverflowError, UnicodeError) as exc:
        assert h.to_bytes() == before, exc
    h.update(b"still usable")
