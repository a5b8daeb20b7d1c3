"""The grouped store and columns of sketches (drisk._grouped): each group's
sketch against the same items fed to a plain sketch, estimates against
drisk.estimate, unions against drisk.union of the unpacked sketches."""

import math
import random

import pytest
import xxhash

import drisk
from drisk import _grouped, _groupprobe

pa = pytest.importorskip("pyarrow")


def plain_sketch(p, items):
    h = drisk.HyperLogLog(p)
    drisk.update_many(h, list(items))
    return h


def per_group(groups, items, p):
    """The oracle: each group's packed sketch from update_many on its items."""
    count = max(groups, default=-1) + 1
    return [drisk.pack(plain_sketch(p, [it for g, it in zip(groups, items) if g == k])) for k in range(count)]


def random_items(rng, n, distinct):
    return [rng.randrange(distinct).to_bytes(8, "little") for _ in range(n)]


def skewed_groups(rng, n, count):
    """Zipf-like group sizes: a few groups large enough to turn dense, most small."""
    return [min(int(rng.paretovariate(0.8)) - 1, count - 1) for _ in range(n)]


# ---------------------------------------------------------------------------
# The store
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("p", [4, 5, 6, 9, 12, 16])
@pytest.mark.parametrize("shape", ["skewed", "one group", "every item its own group", "uniform"])
def test_each_group_equals_its_items_alone(p, shape):
    rng = random.Random(p * 31 + len(shape))
    n = 6000
    items = random_items(rng, n, 4000)
    if shape == "skewed":
        groups = skewed_groups(rng, n, 300)
    elif shape == "one group":
        groups = [0] * n
    elif shape == "every item its own group":
        groups = list(range(n))
    else:
        groups = [rng.randrange(40) for _ in range(n)]
    assert _groupprobe.sketch_groups(groups, items, p) == per_group(groups, items, p)


def test_groups_without_items_are_empty_sketches():
    got = _groupprobe.sketch_groups([3], [b"x"], 12)
    empty = drisk.pack(drisk.HyperLogLog(12))
    assert got[:3] == [empty] * 3
    assert got[3] == drisk.pack(plain_sketch(12, [b"x"]))


def test_no_items_no_groups():
    assert _groupprobe.sketch_groups([], [], 12) == []


def test_a_group_that_fills_up_packs_dense():
    rng = random.Random(5)
    items = random_items(rng, 20000, 10**9)
    got = _groupprobe.sketch_groups([0] * len(items), items, 8)
    assert got == per_group([0] * len(items), items, 8)
    assert got[0][5] == 0  # the dense encoding


# ---------------------------------------------------------------------------
# Columns of sketches
# ---------------------------------------------------------------------------


def sample_sketches(rng, count, ps=(10, 12, 14)):
    """Packed sketches of several sizes and precisions, sparse and dense."""
    out = []
    for i in range(count):
        p = ps[i % len(ps)]
        n = rng.choice([0, 1, 5, 100, 2000, 50000])
        out.append(drisk.pack(plain_sketch(p, random_items(rng, n, 10**9))))
    return out


@pytest.mark.parametrize("method", ["improved", "ml", "classic"])
def test_estimates_equal_estimate_of_each_sketch(method):
    rng = random.Random(1)
    cells = sample_sketches(rng, 30)
    cells.append(plain_sketch(11, [b"a", b"b"]).to_bytes())  # the raw form too
    cells.append(None)
    expected = [math.nan if c is None else drisk.estimate(drisk.load(c), method) for c in cells]
    for column in [cells, tuple(cells), pa.array(cells, pa.binary()), pa.array(cells, pa.large_binary())]:
        got = drisk.estimates(column, method)
        assert got.dtype.name == "float64"
        assert [x if not math.isnan(x) else "nan" for x in got] == [x if not math.isnan(x) else "nan" for x in expected]


@pytest.mark.parametrize(
    "column_type", [pa.binary(), pa.large_binary(), pa.binary_view()], ids=["binary", "large", "view"]
)
def test_estimates_of_chunked_and_sliced_columns(column_type):
    rng = random.Random(2)
    cells = sample_sketches(rng, 12)
    chunked = pa.chunked_array([pa.array(cells[:5], column_type), pa.array(cells[5:], column_type)])
    expected = [drisk.estimate(drisk.unpack(c)) for c in cells]
    assert list(drisk.estimates(chunked)) == expected
    assert list(drisk.estimates(pa.array(cells, column_type).slice(3, 4))) == expected[3:7]


def lists_of(rng, cells, count):
    out = []
    for _ in range(count):
        kind = rng.random()
        if kind < 0.1:
            out.append(None)
        elif kind < 0.2:
            out.append([])
        else:
            out.append([rng.choice([*cells, None]) for _ in range(rng.randrange(1, 6))])
    return out


def expected_union(cells):
    present = [drisk.load(c) for c in cells if c is not None]
    return drisk.pack(drisk.union(*present)) if present else None


@pytest.mark.parametrize("list_type", [pa.list_, pa.large_list], ids=["list", "large_list"])
@pytest.mark.parametrize(
    "cell_type", [pa.binary(), pa.large_binary(), pa.binary_view()], ids=["binary", "large", "view"]
)
def test_union_of_each_list_equals_union_of_its_sketches(list_type, cell_type):
    rng = random.Random(3)
    cells = sample_sketches(rng, 18, ps=(4, 9, 12, 14))
    cells.append(plain_sketch(12, random_items(rng, 300, 10**9)).to_bytes())  # raw
    lists = lists_of(rng, cells, 60)
    column = pa.array(lists, list_type(cell_type))
    got = _tables_binary(_grouped.union_lists(column))
    assert got == [None if cells is None else expected_union(cells) for cells in lists]
    # A slice starts its lists at an offset.
    got = _tables_binary(_grouped.union_lists(column.slice(7, 20)))
    assert got == [None if cells is None else expected_union(cells) for cells in lists[7:27]]


def _tables_binary(buffers):
    from drisk._tables import binary_array, binary_list

    via_arrow = binary_array(buffers).to_pylist()
    assert binary_list(buffers) == via_arrow
    return via_arrow


def test_union_folds_to_the_smallest_precision_of_each_list():
    rng = random.Random(4)
    items = random_items(rng, 30000, 10**9)
    fine = plain_sketch(16, items[:20000])
    coarse = plain_sketch(10, items[10000:])
    column = pa.array([[drisk.pack(fine), drisk.pack(coarse)], [drisk.pack(fine)]], pa.list_(pa.binary()))
    got = _tables_binary(_grouped.union_lists(column))
    assert got[0] == drisk.pack(plain_sketch(10, items))
    assert got[1] == drisk.pack(fine)


# ---------------------------------------------------------------------------
# Refusals
# ---------------------------------------------------------------------------


def damaged(packed):
    return packed[:-1] + bytes([packed[-1] ^ 1])


@pytest.mark.parametrize(
    "bad, message",
    [
        (b"junk", "not a packed sketch"),
        (None, "checksum mismatch"),  # filled in below: a damaged sketch
        (b"\xe2HLL", "truncated packed sketch"),
    ],
)
def test_a_cell_that_is_not_a_sketch_is_refused_naming_its_row(bad, message):
    good = drisk.pack(plain_sketch(12, [b"a"]))
    if bad is None:
        bad = damaged(good)
    cells = [good, None, good, bad, good]
    with pytest.raises(ValueError, match=f"^row 3: .*{message}"):
        drisk.estimates(cells)
    with pytest.raises(ValueError, match=f"^row 3: .*{message}"):
        drisk.estimates(pa.array(cells))
    # Counted across the chunks of a column.
    with pytest.raises(ValueError, match=f"^row 3: .*{message}"):
        drisk.estimates(pa.chunked_array([pa.array(cells[:2]), pa.array(cells[2:])]))
    with pytest.raises(ValueError, match=f"^row 3: .*{message}"):
        _grouped.check(pa.array(cells))
    with pytest.raises(ValueError, match=f"^list 1, item 2: .*{message}"):
        _grouped.union_lists(pa.array([[good], [good, None, bad]]))


def test_a_damaged_sparse_entry_is_refused_in_unions():
    good = bytearray(drisk.pack(plain_sketch(12, [b"a", b"b", b"c"])))
    assert good[5] == 1  # sparse
    good[7] = 0xFF  # an entry running on, then the checksum fixed up to match
    body = bytes(good[:-8])
    bad = body + xxhash.xxh3_64_intdigest(body).to_bytes(8, "little")
    with pytest.raises(ValueError, match="^list 0, item 0: damaged packed sketch: "):
        _grouped.union_lists(pa.array([[bad]]))
    with pytest.raises(ValueError, match="^row 0: damaged packed sketch: "):
        _grouped.check(pa.array([bad]))


def test_a_raw_register_with_no_packed_form_is_refused_in_unions():
    raw = bytearray(drisk.HyperLogLog(8).to_bytes())
    raw[1 + 17] = 200
    raw = bytes(raw)
    assert drisk.estimates([raw])[0] == drisk.estimate(drisk.HyperLogLog.from_bytes(raw))
    with pytest.raises(ValueError, match="^list 0, item 0: cannot union this raw sketch: register 17 holds 200"):
        _grouped.union_lists(pa.array([[raw]]))


@pytest.mark.parametrize(
    "column", [pa.array([1, 2]), pa.array(["a"]), pa.array(["a"]).dictionary_encode()], ids=["int", "str", "dict"]
)
def test_a_column_of_other_values_is_a_type_error(column):
    with pytest.raises(TypeError, match="a sketch column must hold binary cells"):
        drisk.estimates(column)
    with pytest.raises(TypeError, match="sketch lists must be a list column"):
        _grouped.union_lists(column)


def test_a_method_not_known_is_refused():
    with pytest.raises(ValueError, match="method must be"):
        drisk.estimates([], "best")


def test_not_a_column_is_a_type_error():
    with pytest.raises(TypeError, match="neither __arrow_c_stream__ nor __arrow_c_array__"):
        _grouped.union_lists(42)


# ---------------------------------------------------------------------------
# Unions by group id
# ---------------------------------------------------------------------------


def union_by_ids(sketches, ids, count):
    from drisk._tables import binary_array

    return binary_array(_grouped.union_groups(sketches, pa.array(ids, pa.int32()), count)).to_pylist()


@pytest.mark.parametrize("rows", [0, 1, 50, 40000], ids=lambda n: f"{n} rows")
def test_union_of_each_group_equals_union_of_its_rows(rows):
    # From 16,384 rows the groups are shared between two cores.
    rng = random.Random(rows)
    owners = [rng.randrange(rows) for _ in range(3 * rows)]
    cells = _groupprobe.sketch_groups(owners, random_items(rng, 3 * rows, 10**9), 9)
    cells = [None if rng.random() < 0.05 else c for c in cells]
    count = max(1, rows // 7)
    ids = [rng.randrange(count) for _ in cells]
    members = [[] for _ in range(count)]
    for cell, group in zip(cells, ids):
        members[group].append(cell)
    expected = [expected_union(cells_of) for cells_of in members]
    column = pa.array(cells, pa.binary())
    assert union_by_ids(column, ids, count) == expected
    chunked = pa.chunked_array([column.slice(0, rows // 3), column.slice(rows // 3)], pa.binary())
    assert union_by_ids(chunked, ids, count) == expected


@pytest.mark.parametrize("order", ["shuffled", "grouped"])
def test_unions_of_groups_over_many_slices_between_signal_checks(order):
    """Unions are made a slice of groups at a time (about 65,536 rows of
    sketches each): a group larger than a slice, many small ones across
    slice ends, rows in group order or not, all as the unions of their rows."""
    rng = random.Random(21)
    rows = 200_000
    ids = [0 if rng.random() < 0.4 else rng.randrange(1, 5000) for _ in range(rows)]
    if order == "grouped":
        ids.sort()
    owners = [k % rows for k in range(2 * rows)]
    cells = _groupprobe.sketch_groups(owners, random_items(rng, 2 * rows, 10**9), 9)
    assert len(cells) == rows
    members = {}
    for cell, group in zip(cells, ids):
        members.setdefault(group, []).append(cell)
    expected = [expected_union(members.get(k, [])) for k in range(5000)]
    assert union_by_ids(pa.array(cells, pa.binary()), ids, 5000) == expected


@pytest.mark.parametrize("at", [3, 39990], ids=["first half", "second half"])
def test_union_of_groups_names_the_first_bad_row(at):
    rng = random.Random(8)
    cells = _groupprobe.sketch_groups(list(range(40000)), random_items(rng, 40000, 10**9), 9)
    cells[at] = damaged(cells[at])
    cells[at + 5] = b"junk"
    ids = [i % 100 for i in range(40000)]
    with pytest.raises(ValueError, match=f"^row {at}: damaged packed sketch: checksum mismatch"):
        union_by_ids(pa.array(cells), ids, 100)
    with pytest.raises(ValueError, match=f"^row {at}: damaged packed sketch: checksum mismatch"):
        _grouped.check(pa.array(cells))


@pytest.mark.parametrize(
    "ids, count, message",
    [
        ([0, 5], 5, "group ids must lie from 0 to the number of groups"),
        ([0, -1], 5, "group ids must lie from 0 to the number of groups"),
        ([0, None], 5, "group ids must not be null"),
        ([0], 5, "sketches has 2 rows but groups has 1"),
    ],
)
def test_union_of_groups_refuses_bad_group_ids(ids, count, message):
    cells = pa.array([drisk.pack(drisk.HyperLogLog(8))] * 2)
    with pytest.raises(ValueError, match=message):
        _grouped.union_groups(cells, pa.array(ids, pa.int64()), count)
    with pytest.raises(ValueError, match="count must not be negative"):
        _grouped.union_groups(cells, pa.array([0, 0]), -1)
    with pytest.raises(TypeError, match="group ids must be integers"):
        _grouped.union_groups(cells, pa.array(["a", "b"]), 1)


@pytest.mark.parametrize("chunks", [1, 2], ids=["one array", "two chunks"])
def test_uint32_group_ids_read_in_place_or_copied(chunks):
    # One uint32 array (what group_ids() gives) is read where it lies, here at
    # an offset; a chunked one is copied. Both are checked alike.
    rng = random.Random(chunks)
    cells = [drisk.pack(plain_sketch(8, random_items(rng, 20, 10**9))) for _ in range(6)]
    ids = pa.array([9, 0, 1, 0, 2, 1, 2], pa.uint32()).slice(1)
    if chunks == 2:
        ids = pa.chunked_array([ids.slice(0, 2), ids.slice(2)])
    expected = [expected_union([c for c, g in zip(cells, ids.to_pylist()) if g == k]) for k in range(3)]
    from drisk._tables import binary_array

    assert binary_array(_grouped.union_groups(pa.array(cells), ids, 3)).to_pylist() == expected
    values = pa.array([1, 2, 3, 4, 5, 6])
    sketches = binary_array(_grouped.sketch_rows(values, ids, 3, 8)).to_pylist()
    for k, cell in enumerate(sketches):
        expected_sketch = drisk.HyperLogLog(8)
        drisk.update_many(expected_sketch, [v for v, g in zip(values.to_pylist(), ids.to_pylist()) if g == k])
        assert drisk.unpack(cell).to_bytes() == expected_sketch.to_bytes()
    for call in (
        lambda: _grouped.union_groups(pa.array(cells), ids, 2),
        lambda: _grouped.sketch_rows(values, ids, 2, 8),
    ):
        with pytest.raises(ValueError, match="group ids must lie from 0 to the number of groups"):
            call()


# ---------------------------------------------------------------------------
# Combining sketches into the store
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("p", [4, 8, 12])
def test_combine_into_groups_equals_union_of_folded_sketches(p):
    rng = random.Random(p)
    cells = sample_sketches(rng, 40, ps=(p, p + 1, p + 4, 16))
    cells += [plain_sketch(p + 2, random_items(rng, 300, 10**9)).to_bytes(), drisk.HyperLogLog(p).to_bytes()]
    groups = [rng.randrange(6) for _ in cells]
    got = _groupprobe.combine_groups(groups, cells, p)
    for k in range(6):
        folded = [drisk.fold(drisk.load(c), p) for c, g in zip(cells, groups) if g == k]
        assert got[k] == drisk.pack(drisk.union(*folded) if folded else drisk.HyperLogLog(p))


def test_combine_refuses_a_smaller_precision_and_raw_registers_without_a_packed_form():
    with pytest.raises(ValueError, match="a sketch of p=10 cannot be combined into a store of p=12"):
        _groupprobe.combine_groups([0], [drisk.pack(drisk.HyperLogLog(10))], 12)
    raw = bytearray(drisk.HyperLogLog(8).to_bytes())
    raw[5] = 70
    with pytest.raises(ValueError, match="cannot pack this sketch: register 4 holds 70"):
        _groupprobe.combine_groups([0], [bytes(raw)], 8)


def repacked(data, encoding):
    """A packed sketch written in the other encoding than pack() would
    choose (valid, but not what pack() writes)."""
    sketch = drisk.unpack(data)
    if encoding == "dense":
        body = sketch.to_bytes()[1:]
    else:
        body, gap = bytearray(), 0
        for value in sketch.registers():
            if value == 0:
                gap += 1
                continue
            entry = gap << 6 | value
            while entry >= 0x80:
                body.append(entry & 0x7F | 0x80)
                entry >>= 7
            body.append(entry)
            gap = 0
    head = b"\xe2HLL\x01" + bytes([0 if encoding == "dense" else 1, len(sketch).bit_length() - 1])
    return head + body + xxhash.xxh3_64_intdigest(head + body).to_bytes(8, "little")


@pytest.mark.parametrize("items, encoding", [(3, "dense"), (40000, "sparse")])
def test_unions_write_what_pack_writes_whatever_the_input_encoding(items, encoding):
    rng = random.Random(items)
    canonical = drisk.pack(plain_sketch(10, random_items(rng, items, 10**9)))
    other = repacked(canonical, encoding)
    assert other != canonical and drisk.unpack(other).to_bytes() == drisk.unpack(canonical).to_bytes()
    assert _tables_binary(_grouped.union_lists(pa.array([[other]]))) == [canonical]
    assert union_by_ids(pa.array([other, None]), [0, 1], 2) == [canonical, None]


def test_a_cell_larger_than_any_sketch_is_refused_in_row_order():
    good = drisk.pack(drisk.HyperLogLog(8))
    cells = pa.array([good, b"\xe2HLL" + bytes(4 * 2**18 + 100), good, b"junk"], pa.large_binary())
    with pytest.raises(ValueError, match="^row 1: not a sketch: it is larger than any sketch"):
        union_by_ids(cells, [0, 0, 1, 1], 2)


@pytest.mark.parametrize("groups", [1, 100, 50000])
def test_batched_updates_equal_updates_one_by_one(groups):
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(groups)
    rows = 300_000
    ids = rng.integers(0, groups, rows, dtype=np.uint32)
    hashes = rng.integers(0, 2**64, rows, dtype=np.uint64)
    one_by_one = _groupprobe.store_footprint(ids, hashes, 11, False)
    batched = _groupprobe.store_footprint(ids, hashes, 11, True)
    assert batched == one_by_one
    with pytest.raises(TypeError, match="groups must be a one-dimensional buffer of uint32"):
        _groupprobe.store_footprint(ids.astype(np.int64), hashes, 11)


@pytest.mark.parametrize(
    "members, items, fine",
    [(40, 30, False), (40, 300, False), (200, 100, True)],
    ids=["sparse", "near the sparse limit", "dense, one folded"],
)
def test_unions_of_many_sparse_sketches_pack_as_pack_does(members, items, fine):
    # Unions of sparse sketches alone, past the registers a sparse body holds
    # or not, one of them folded from a finer precision.
    rng = random.Random(members * items)
    cells = [drisk.pack(plain_sketch(12, random_items(rng, items, 10**9))) for _ in range(members)]
    if fine:
        cells.append(drisk.pack(plain_sketch(14, random_items(rng, items, 10**9))))
    assert all(len(cell) < 4096 for cell in cells)
    expected = expected_union(cells)
    assert _tables_binary(_grouped.union_lists(pa.array([cells]))) == [expected]
    assert union_by_ids(pa.array(cells), [0] * len(cells), 1) == [expected]


def registers_union(cells):
    """The oracle: each register's largest value over the sketches, folded
    to the smallest precision among them, packed by drisk.pack."""
    sketches = [drisk.load(c) for c in cells if c is not None]
    p = min(len(s).bit_length() - 1 for s in sketches)
    registers = bytes(map(max, zip(*(drisk.fold(s, p).registers() for s in sketches))))
    return drisk.pack(drisk.HyperLogLog.from_bytes(bytes([p]) + registers))


def packed_of(p, items, dense=False):
    sketch = plain_sketch(p, items)
    return repacked(drisk.pack(sketch), "dense") if dense else drisk.pack(sketch)


@pytest.mark.parametrize(
    "shape",
    [
        "sparse result",
        "dense result",
        "folded once dense",
        "folded while sparse",
        "dense member last",
        "dense member first",
        "two large members",
    ],
)
def test_unions_past_the_entries_a_sparse_union_holds(shape):
    # A union of sparse sketches turns dense once their entries would pass
    # 2^p; before or after, alone or beside dense and coarser members, its
    # bytes are pack()'s of the element-wise maximum.
    rng = random.Random(shape)
    pool = random_items(rng, 60, 10**9)  # few registers in all: the union stays sparse
    known = lambda p, n: packed_of(p, rng.sample(pool, n))
    fresh = lambda p, n, dense=False: packed_of(p, random_items(rng, n, 10**9), dense)
    if shape == "sparse result":
        cells = [known(10, 25) for _ in range(80)]
    elif shape == "dense result":
        cells = [fresh(10, 30) for _ in range(80)]
    elif shape == "folded once dense":
        cells = [fresh(12, 40) for _ in range(120)] + [fresh(10, 40), known(9, 60)]
    elif shape == "folded while sparse":
        cells = [fresh(12, 40), known(10, 60)] + [known(11, 30) for _ in range(80)]
    elif shape == "dense member last":
        cells = [known(10, 25) for _ in range(80)] + [fresh(11, 5, dense=True)]
    elif shape == "dense member first":
        cells = [fresh(11, 5, dense=True)] + [known(10, 25) for _ in range(80)]
    else:
        cells = [fresh(10, 1500), fresh(10, 1500)]
    cells = [c for cell in cells for c in ([cell, None] if rng.random() < 0.1 else [cell])]
    sketches = [drisk.unpack(c) for c in cells if c is not None]
    p = min(len(s).bit_length() - 1 for s in sketches)
    assert sum(len(s.registers()) - s.registers().count(0) for s in sketches) > 2**p
    expected = registers_union(cells)
    if shape == "sparse result":
        assert expected[5] == 1
    assert _tables_binary(_grouped.union_lists(pa.array([cells, cells[:1]]))) == [expected, registers_union(cells[:1])]
    in_order = union_by_ids(pa.array(cells), [0] * len(cells), 1)
    shuffled = [rng.randrange(2) for _ in cells]
    in_two = union_by_ids(pa.array(cells + cells), shuffled + [1 - g for g in shuffled], 2)
    assert in_order == [expected] and in_two == [expected, expected]
    assert drisk.rollup(pa.table({"sketch": cells}), None).column("sketch").to_pylist() == [expected]
