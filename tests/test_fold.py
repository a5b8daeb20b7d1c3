"""drisk.fold and drisk.union: sketches across precisions.

A folded sketch must equal, register for register, the sketch built directly
at the lower precision from the same items (hashed by HyperLogLog.update).
"""

import functools

import pytest

import drisk
from _drisk import HyperLogLog

PRECISIONS = range(4, 19)
PAIRS = [(high, low) for high in PRECISIONS for low in PRECISIONS if low <= high]
ITEM_SETS = {"empty": 0, "one": 1, "hundred": 100, "many": 30000}


def items(name):
    return [b"fold-%d" % i for i in range(ITEM_SETS[name])]


@functools.cache
def direct(p, name):
    h = HyperLogLog(p)
    drisk.update_many(h, items(name))
    return h.to_bytes()


@pytest.mark.parametrize("name", ITEM_SETS)
@pytest.mark.parametrize("high, low", PAIRS, ids=[f"{h}to{lo}" for h, lo in PAIRS])
def test_fold_equals_a_direct_build(high, low, name):
    source = HyperLogLog.from_bytes(direct(high, name))
    folded = drisk.fold(source, low)
    assert folded.to_bytes() == direct(low, name)
    assert source.to_bytes() == direct(high, name)


def test_fold_to_the_same_precision_is_an_independent_copy():
    h = HyperLogLog.from_bytes(direct(12, "hundred"))
    copy = drisk.fold(h, 12)
    assert copy is not h and copy.to_bytes() == h.to_bytes()
    copy.update(b"only in the copy")
    assert h.to_bytes() == direct(12, "hundred")


def test_fold_keeps_impossible_registers_at_the_largest_rank():
    """A register above 65 - p is read as 65 - p, as the estimators read it."""
    regs = bytearray(2**10)
    regs[0] = 255  # group 0 of the fold to p = 8, extra bits 00
    regs[4] = 55  # group 1: 55 is already the largest rank at p = 10
    regs[8 + 2] = 255  # group 2: only a source with extra bits 10
    folded = drisk.fold(HyperLogLog.from_bytes(bytes([10]) + bytes(regs)), 8).registers()
    assert folded[:3] == bytes([57, 57, 1])
    assert drisk.fold(HyperLogLog.from_bytes(bytes([10]) + bytes(regs)), 10).registers() == bytes(regs)


@pytest.mark.parametrize(
    "p, exc, text",
    [
        (13, ValueError, "cannot fold a sketch of p=12 to the higher p=13"),
        (3, ValueError, "p must be between 4 and 18 inclusive, got 3"),
        (19, ValueError, "p must be between 4 and 18 inclusive, got 19"),
        (-1, ValueError, "got -1"),
        (256, ValueError, "got 256"),
        (2**100, ValueError, "p must be between 4 and 18"),
        (-(2**100), ValueError, "p must be between 4 and 18"),
        ("8", TypeError, "'str' object cannot be interpreted as an integer"),
        (8.0, TypeError, "'float' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_fold_refuses_bad_precisions(p, exc, text):
    h = HyperLogLog.from_bytes(direct(12, "hundred"))
    with pytest.raises(exc) as info:
        drisk.fold(h, p)
    assert text in str(info.value)
    assert h.to_bytes() == direct(12, "hundred")


def test_fold_accepts_an_index():
    class Eight:
        def __index__(self):
            return 8

    h = HyperLogLog.from_bytes(direct(12, "many"))
    assert drisk.fold(h, Eight()).to_bytes() == direct(8, "many")


@pytest.mark.parametrize("not_a_sketch", [None, "\x0c" * 4097, 12])
def test_fold_wants_a_sketch(not_a_sketch):
    with pytest.raises(TypeError):
        drisk.fold(not_a_sketch, 8)


# ---------------------------------------------------------------------------
# union
# ---------------------------------------------------------------------------


def built(p, keys):
    h = HyperLogLog(p)
    drisk.update_many(h, keys)
    return h


@pytest.mark.parametrize("precisions", [(12,), (12, 12), (14, 10), (10, 14, 12), (18, 4, 11), (16, 16, 9, 9)])
def test_union_equals_a_direct_build_of_all_items(precisions):
    parts = [[b"u%d-%d" % (k % 3, i) for i in range(4000 * (k + 1))] for k in range(len(precisions))]
    sketches = [built(p, keys) for p, keys in zip(precisions, parts)]
    before = [s.to_bytes() for s in sketches]
    result = drisk.union(*sketches)
    low = min(precisions)
    assert result.to_bytes() == built(low, [x for keys in parts for x in keys]).to_bytes()
    assert [s.to_bytes() for s in sketches] == before
    assert all(result is not s for s in sketches)


def test_union_of_a_sketch_with_itself():
    h = built(12, [b"%d" % i for i in range(500)])
    assert drisk.union(h, h).to_bytes() == h.to_bytes()


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((), {}, "union() needs at least one sketch"),
        ((HyperLogLog(8), 3), {}, "'int' object is not an instance of 'HyperLogLog'"),
        ((None,), {}, "'None' is not an instance of 'HyperLogLog'"),
        ((HyperLogLog(8),), {"other": HyperLogLog(8)}, "keyword argument"),
    ],
)
def test_union_type_errors(args, kwargs, text):
    with pytest.raises(TypeError) as info:
        drisk.union(*args, **kwargs)
    assert text in str(info.value)


def test_union_names_the_bad_argument():
    with pytest.raises(TypeError) as info:
        drisk.union(HyperLogLog(8), HyperLogLog(9), "x")
    assert "while processing 'sketches[2]'" in getattr(info.value, "__notes__", [])[0]


@pytest.mark.parametrize("order", ["lower first", "higher first"])
@pytest.mark.parametrize("p", range(4, 18))
def test_union_one_precision_apart(p, order):
    """The higher sketch folds by one bit and each register takes the larger
    value: items of the lower sketch alone must survive it."""
    shared = [b"both-%d" % i for i in range(2000)]
    lower_only = [b"lower-%d" % i for i in range(2000)]
    higher_only = [b"higher-%d" % i for i in range(2000)]
    lower, higher = built(p, shared + lower_only), built(p + 1, shared + higher_only)
    expected = built(p, shared + lower_only + higher_only).to_bytes()
    sketches = [lower, higher] if order == "lower first" else [higher, lower]
    assert drisk.union(*sketches).to_bytes() == expected
    assert drisk.union(*sketches, built(p + 1, higher_only)).to_bytes() == expected
    folded = drisk.fold(higher, p)
    folded.merge(lower)
    assert folded.to_bytes() == expected
