"""A million calls of every entry point, failures included, leak nothing.

Slow (about a minute): run with `pytest -m slow`. DRISK_LEAK_CALLS overrides
the number of calls per entry point.
"""

import datetime
import decimal
import gc
import io
import os
import sys

import pytest

import drisk
import drisk._bulk
import drisk._grouped
import drisk._groupprobe
import drisk._linegroups
import drisk._pack
from drisk import HyperLogLog

pytestmark = pytest.mark.slow

CALLS = int(os.environ.get("DRISK_LEAK_CALLS", 1_000_000))
LIMIT = 16 * 1024 * 1024  # bytes of resident growth allowed per entry point
# Entry points whose every call costs 50-150 us (they start the second core
# and build their results through pyarrow): a tenth of the calls keeps the
# whole check within a few minutes. Their C++ allocations are also under
# LeakSanitizer in CI.
FEWER_CALLS = {"sketch_rows": 10, "count_rows": 10}


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


H = HyperLogLog(12)
G = HyperLogLog(12)
G.update(b"g")
P14 = HyperLogLog(14)
DATA = H.to_bytes()
PACKED = drisk.pack(G)
# The watched objects are the test's own, made at run time: a literal such as
# "text" is interned and shared with the interpreter and every library loaded,
# whose threads may take or drop references to it while a case runs.
ITEM = bytes(bytearray(b"item"))
TEXT = "".join(["te", "xt"])
ZONE = datetime.timezone(datetime.timedelta(hours=2))
DAY = datetime.date(2024, 1, 2)
MOMENT = datetime.datetime(2024, 1, 2, 3, 4, 5, 6)
AWARE = MOMENT.replace(tzinfo=ZONE)
CLOCK = datetime.time(3, 4, 5)
AMOUNT = decimal.Decimal("12.50")
LINES = bytes(bytearray(b"a\nb\r\nc"))
# This file, read by read_regular.
OWN_FD = os.open(__file__, os.O_RDONLY)
OWN_SIZE = os.fstat(OWN_FD).st_size


class Unprintable(str):
    def __str__(self):
        raise ValueError("no")


UNPRINTABLE = {Unprintable("zz"): 1}

CASES = {
    # success paths
    "new": (lambda: HyperLogLog(4), None),
    "update": (lambda: H.update(ITEM), None),
    "update_str": (lambda: H.update_str(TEXT), None),
    "count": (lambda: H.count(), None),
    "merge": (lambda: H.merge(G), None),
    "copy": (lambda: H.copy(), None),
    "registers": (lambda: H.registers(), None),
    "to_bytes": (lambda: H.to_bytes(), None),
    "from_bytes": (lambda: HyperLogLog.from_bytes(DATA), None),
    "len": (lambda: len(H), None),
    "repr": (lambda: repr(H), None),
    "update_many": (lambda: drisk.update_many(H, [ITEM, TEXT]), None),
    "update_lines": (lambda: drisk.update_lines(H, LINES), None),
    "update_joined": (lambda: drisk._bulk.update_joined(H, [ITEM, LINES]), None),
    "update_fields": (lambda: drisk._bulk.update_fields(H, LINES, (1, 2), ord(",")), None),
    "update_joined_fields": (lambda: drisk._bulk.update_joined_fields(H, [ITEM, LINES], (2,), -1), None),
    "read_regular": (
        lambda: drisk._bulk.read_regular(H, OWN_FD, 0, OWN_SIZE, 4096, 1 << 20, False, abs, (1,), -1),
        None,
    ),
    "many_str_group": (lambda: drisk.update_many(H, [TEXT, ITEM, TEXT]), None),
    "estimate": (lambda: drisk.estimate(G), None),
    "estimate_ml": (lambda: drisk.estimate(G, "ml"), None),
    "error_bounds": (lambda: drisk.error_bounds(G, 0.9), None),
    "summary": (lambda: drisk.summary(G), None),
    "fold": (lambda: drisk.fold(P14, 12), None),
    "union": (lambda: drisk.union(G, P14), None),
    "form": (lambda: drisk._pack.form(PACKED), None),
    "usable_cpus": (lambda: drisk._bulk.usable_cpus(), None),
    # failure paths
    "wrong_type_note": (lambda: H.update(TEXT), TypeError),
    "missing": (lambda: H.update(), TypeError),
    "too_many": (lambda: H.update(ITEM, ITEM), TypeError),
    "unexpected_kw": (lambda: H.update(x=ITEM), TypeError),
    "surrogate_kw": (lambda: H.update(**{"\udc80": 1}), TypeError),
    "bad_p": (lambda: HyperLogLog(3), ValueError),
    "overflow_p": (lambda: HyperLogLog(300), OverflowError),
    "float_p": (lambda: HyperLogLog(1.5), TypeError),
    "merge_self": (lambda: H.merge(H), RuntimeError),
    "merge_mismatch": (lambda: H.merge(P14), ValueError),
    "from_bytes_bad": (lambda: HyperLogLog.from_bytes(b"\x04"), ValueError),
    "surrogate_str": (lambda: H.update_str("\udc80"), UnicodeEncodeError),
    "many_bad": (lambda: drisk.update_many(H, [ITEM, 1j]), TypeError),
    "group_lines": (
        lambda: drisk._linegroups.group_lines(
            io.BytesIO(b"k v\nk w\nj v\r\nx").readinto, (1,), (2,), -1, 12, 0.95, True
        ),
        None,
    ),
    "many_numbers": (lambda: drisk.update_many(H, [1, -2.5, True, None, 2**64 - 1]), None),
    "many_int_out_of_range": (lambda: drisk.update_many(H, [ITEM, 2**64]), TypeError),
    "many_dates_and_decimals": (lambda: drisk.update_many(H, [DAY, MOMENT, AWARE, CLOCK, AMOUNT]), None),
    "many_aware_time": (lambda: drisk.update_many(H, [DAY, datetime.time(1, tzinfo=ZONE)]), ValueError),
    "many_long_decimal": (lambda: drisk.update_many(H, [AMOUNT, decimal.Decimal("1E+999")]), ValueError),
    "lines_bad": (lambda: drisk.update_lines(H, TEXT), TypeError),
    "many_single_item": (lambda: drisk.update_many(H, TEXT), TypeError),
    "many_bad_surrogate": (lambda: drisk.update_many(H, [TEXT, "\udc80"]), UnicodeEncodeError),
    "joined_bad": (lambda: drisk._bulk.update_joined(H, [ITEM, TEXT]), TypeError),
    "fields_bad": (lambda: drisk._bulk.update_fields(H, LINES, (2, 1), -1), ValueError),
    "group_lines_bad_read": (lambda: drisk._linegroups.group_lines(lambda view: -1, (1,), (2,), -1, 12), ValueError),
    "group_lines_read_fails": (lambda: drisk._linegroups.group_lines(TEXT.upper, (1,), (2,), -1, 12), TypeError),
    "joined_fields_bad": (lambda: drisk._bulk.update_joined_fields(H, [ITEM, TEXT], (1,), -1), TypeError),
    "read_regular_closed": (lambda: drisk._bulk.read_regular(H, 2**20, 0, 10, 8, 8, False, None, (), -1), OSError),
    "read_regular_progress_fails": (
        lambda: drisk._bulk.read_regular(H, OWN_FD, 0, OWN_SIZE, 512, 1024, False, TEXT.upper, (), -1),
        TypeError,
    ),
    "estimate_bad_method": (lambda: drisk.estimate(G, "best"), ValueError),
    "bounds_bad_confidence": (lambda: drisk.error_bounds(G, 2), ValueError),
    "fold_up": (lambda: drisk.fold(G, 14), ValueError),
    "union_bad": (lambda: drisk.union(G, 5), TypeError),
    "union_bad_bytes": (lambda: drisk.union(G, ITEM), ValueError),
    "estimate_stored": (lambda: drisk.estimate(PACKED), None),
    "form_neither": (lambda: drisk._pack.form(ITEM), ValueError),
    "form_not_a_buffer": (lambda: drisk._pack.form(TEXT), TypeError),
    # columns of sketches
    "estimates_list": (lambda: drisk._grouped.estimates([PACKED, None, DATA]), None),
    "estimates_bad": (lambda: drisk._grouped.estimates([PACKED, ITEM]), ValueError),
    "sketch_groups": (lambda: drisk._groupprobe.sketch_groups([0, 1, 0], [ITEM, ITEM, LINES], 8), None),
}

try:
    import pyarrow as pa
except ImportError:
    pass
else:
    SKETCHES = pa.array([PACKED, None, DATA], pa.binary())
    BAD_SKETCHES = pa.array([PACKED, ITEM], pa.binary())
    LISTS = pa.array([[PACKED, DATA], None, []], pa.list_(pa.binary()))
    IDS = pa.array([1, 0, 1], pa.int32())
    VALUES = pa.array(["a", None, "b"])
    CASES.update(
        {
            "estimates_arrow": (lambda: drisk._grouped.estimates(SKETCHES), None),
            "union_lists": (lambda: drisk._grouped.union_lists(LISTS), None),
            "union_groups": (lambda: drisk._grouped.union_groups(SKETCHES, IDS, 2), None),
            "union_groups_bad": (lambda: drisk._grouped.union_groups(BAD_SKETCHES, IDS[:2], 2), ValueError),
            "union_groups_bad_ids": (lambda: drisk._grouped.union_groups(SKETCHES, IDS, 1), ValueError),
            "check_bad": (lambda: drisk._grouped.check(BAD_SKETCHES), ValueError),
            "sketch_rows": (lambda: drisk._grouped.sketch_rows(VALUES, IDS, 2, 12), None),
            "count_rows": (lambda: drisk._grouped.count_rows(VALUES, IDS, 2, 12, 0.9), None),
            "sketch_rows_bad_type": (lambda: drisk._grouped.sketch_rows(LISTS, IDS, 2, 12), TypeError),
            "sketch_rows_bad_ids": (lambda: drisk._grouped.sketch_rows(VALUES, IDS, 1, 12), ValueError),
            "sketch_rows_lengths": (lambda: drisk._grouped.sketch_rows(VALUES, IDS[:2], 2, 12), ValueError),
            "integer_key_ids": (lambda: drisk._grouped.integer_key_ids([(IDS, 0, 2, False)]), None),
            "integer_key_ids_bad": (lambda: drisk._grouped.integer_key_ids([(IDS, 0, 1, False)]), ValueError),
        }
    )


OWN = [H, G, P14, DATA, PACKED, ITEM, TEXT, LINES]


def test_watched_objects_are_the_tests_own():
    # A shared object's count moves with code outside drisk: only objects
    # referenced from here and a few frames may be watched.
    assert all(sys.getrefcount(o) < 16 for o in OWN), [sys.getrefcount(o) for o in OWN]


def hammer(fn, expected, n):
    if expected is None:
        for _ in range(n):
            fn()
    else:
        for _ in range(n):
            try:
                fn()
            except expected:
                pass


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_growth(name):
    fn, expected = CASES[name]
    watched = [HyperLogLog, *OWN]
    hammer(fn, expected, 1000)  # warm caches, interned names, free lists
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    calls = CALLS // FEWER_CALLS.get(name, 1)
    before = rss()
    hammer(fn, expected, calls)
    gc.collect()
    grown = rss() - before
    print(f"\n{name}: {calls:,} calls, resident growth {grown / 1024:,.0f} KiB")
    assert grown < LIMIT, f"{name}: resident memory grew by {grown / 2**20:.1f} MiB"
    assert [sys.getrefcount(o) for o in watched] == refs


def test_unprintable_keyword_path(monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    fn = lambda: H.update(**UNPRINTABLE)  # noqa: E731
    hammer(fn, TypeError, 1000)
    before = rss()
    hammer(fn, TypeError, CALLS // 10)
    assert rss() - before < LIMIT
