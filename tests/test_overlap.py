"""Overlaps of two sketches: overlap() and overlaps() against exact set
sizes, edge cases, symmetry, precision folding, the stored forms, columns
against pairs, and the DuckDB functions, polars expressions and the tool's
`overlap` command on the real engines."""

import json
import math
import subprocess
import sys

import pytest

import drisk
from drisk import HyperLogLog, update_many

np = pytest.importorskip("numpy")

DRISK = [sys.executable, "-m", "drisk"]
FIVE = ("intersection", "a_only", "b_only", "union", "jaccard")


def sets(only_a, only_b, both, p=12, start=0):
    """Two sketches of integer sets with the given part sizes, and the truth."""
    a, b = HyperLogLog(p), HyperLogLog(p)
    shared = range(start, start + both)
    update_many(a, range(start + both, start + both + only_a))
    update_many(a, shared)
    update_many(b, range(start + both + only_a, start + both + only_a + only_b))
    update_many(b, shared)
    return a, b


def figures(result):
    return tuple(getattr(result, name) for name in FIVE)


def same(x, y):
    return all(u == v or (math.isnan(u) and math.isnan(v)) for u, v in zip(x, y, strict=True))


@pytest.mark.parametrize(
    ("only_a", "only_b", "both", "p"),
    [
        (50_000, 50_000, 0, 12),  # disjoint
        (50_000, 50_000, 1_000, 12),  # a small overlap: inclusion-exclusion's weak spot
        (40_000, 60_000, 20_000, 12),
        (100_000, 0, 10_000, 14),  # B inside A
        (0, 0, 30_000, 12),  # the same set
        (300, 200, 100, 12),  # small sets, sparse sketches
        (2_000_000, 1_000_000, 500_000, 12),
    ],
)
def test_against_exact_sets(only_a, only_b, both, p):
    a, b = sets(only_a, only_b, both, p)
    result = drisk.overlap(a, b, 0.999)
    low, high = result.intersection_bounds
    assert low <= both <= high
    union = only_a + only_b + both
    se = 1.04 / math.sqrt(2**p)
    # The parts are within a few standard errors of the union (the scale of
    # every part's error), and the union within a few of itself.
    for estimate, truth in ((result.intersection, both), (result.a_only, only_a), (result.b_only, only_b)):
        assert abs(estimate - truth) <= 4 * se * union + 2
    assert abs(result.union - union) <= 4 * se * union + 2
    assert result.union == pytest.approx(result.a_only + result.b_only + result.intersection)
    assert abs(result.jaccard - both / union) <= 4 * se + 1e-3
    j_low, j_high = result.jaccard_bounds
    assert 0 <= j_low <= result.jaccard <= j_high <= 1


def test_union_is_the_union_sketch_estimate():
    a, b = sets(70_000, 30_000, 10_000)
    result = drisk.overlap(a, b)
    assert result.union == pytest.approx(drisk.estimate(drisk.union(a, b)), rel=0.02)


def test_edge_cases():
    empty = HyperLogLog(12)
    result = drisk.overlap(empty, HyperLogLog(12), 0.95)
    assert figures(result)[:4] == (0, 0, 0, 0) and math.isnan(result.jaccard)
    assert result.intersection_bounds == (0, 0)

    a, _ = sets(5_000, 0, 0)
    result = drisk.overlap(a, empty, 0.95)
    assert result.intersection == 0 and result.b_only == 0 and result.jaccard == 0
    assert result.a_only == pytest.approx(drisk.estimate(a), rel=0.01)

    # The same sketch twice: nothing on one side only.
    result = drisk.overlap(a, a.copy(), 0.95)
    assert result.a_only == 0 and result.b_only == 0 and result.jaccard == 1
    assert result.intersection == pytest.approx(drisk.estimate(a), rel=0.01)
    low, high = result.intersection_bounds
    assert low <= 5_000 <= high


@pytest.mark.parametrize("p", [4, 12, 18])
def test_saturated_registers_stay_finite(p):
    full = bytes([p]) + bytes([65 - p]) * 2**p
    half = bytes([p]) + bytes([65 - p, 0]) * 2 ** (p - 1)
    for a, b in ((full, full), (full, half), (half, HyperLogLog(p))):
        result = drisk.overlap(a, b, 0.95)
        values = [*figures(result), *result.intersection_bounds, *result.jaccard_bounds]
        assert all(math.isfinite(v) and v >= 0 for v in values)


@pytest.mark.parametrize(("only_a", "only_b", "both"), [(9_000, 100, 500), (100, 9_000, 0), (400, 300, 200)])
def test_swapping_the_sketches_mirrors_the_result(only_a, only_b, both):
    a, b = sets(only_a, only_b, both)
    ab, ba = drisk.overlap(a, b, 0.9), drisk.overlap(b, a, 0.9)
    assert (ab.intersection, ab.a_only, ab.b_only, ab.union, ab.jaccard) == (
        ba.intersection,
        ba.b_only,
        ba.a_only,
        ba.union,
        ba.jaccard,
    )
    assert ab.intersection_bounds == ba.intersection_bounds and ab.jaccard_bounds == ba.jaccard_bounds


@pytest.mark.parametrize("items", [300, 60_000])
def test_precision_is_folded_to_the_smaller(items):
    a, b = sets(items, items, items // 3, p=14)
    b12 = drisk.fold(b, 12)
    folded = drisk.overlap(drisk.fold(a, 12), b12, 0.95)
    assert same(figures(drisk.overlap(a, b12, 0.95)), figures(folded))
    assert same(figures(drisk.overlap(b12, a, 0.95)), figures(drisk.overlap(b12, drisk.fold(a, 12), 0.95)))


@pytest.mark.parametrize("items", [40, 700, 50_000])
def test_every_stored_form_gives_the_same_fit(items):
    """Packed sparse (or dense) and raw cells, in every combination: the
    pairs are counted from entries, from registers or from one of each."""
    a, b = sets(items, items // 2, items // 4)
    forms_a = (a, drisk.pack(a), a.to_bytes())
    forms_b = (b, drisk.pack(b), b.to_bytes())
    reference = figures(drisk.overlap(a, b, 0.95))
    for x in forms_a:
        for y in forms_b:
            assert same(figures(drisk.overlap(x, y, 0.95)), reference)


def sketch_column(count, seed, p=12):
    """Packed sketches of random sets, with a None every fifth row."""
    rng = np.random.default_rng(seed)
    out = []
    for i in range(count):
        if i % 5 == 4:
            out.append(None)
            continue
        h = HyperLogLog(p)
        update_many(h, rng.integers(0, 3_000, size=int(rng.integers(0, 2_000))))
        out.append(drisk.pack(h))
    return out


def per_pair(column_a, column_b, confidence):
    rows = []
    for x, y in zip(column_a, column_b):
        if x is None or y is None:
            rows.append((math.nan,) * (5 + 4 * (confidence is not None)))
            continue
        r = drisk.overlap(x, y, confidence)
        bounds = (*r.intersection_bounds, *r.jaccard_bounds) if confidence is not None else ()
        rows.append((*figures(r), *bounds))
    return rows


@pytest.mark.parametrize("kind", ["list", "pyarrow", "chunked", "polars", "pandas"])
@pytest.mark.parametrize("confidence", [None, 0.95])
def test_columns_match_pairs(kind, confidence):
    column_a, column_b = sketch_column(700, 1), sketch_column(700, 2)
    if kind == "list":
        given = column_a, column_b
    elif kind in ("pyarrow", "chunked"):
        pa = pytest.importorskip("pyarrow")
        if kind == "pyarrow":
            given = pa.array(column_a, pa.binary()), pa.array(column_b, pa.large_binary())
        else:  # chunked differently on the two sides
            given = (
                pa.chunked_array([column_a[:100], column_a[100:650], column_a[650:]], pa.binary()),
                pa.chunked_array([column_b[:333], column_b[333:]], pa.binary()),
            )
    elif kind == "polars":
        pl = pytest.importorskip("polars")
        given = pl.Series(column_a, dtype=pl.Binary), pl.Series(column_b, dtype=pl.Binary)
    else:
        pd = pytest.importorskip("pandas")
        given = pd.Series(column_a, dtype=object), pd.Series([math.nan if c is None else c for c in column_b])
    result = drisk.overlaps(*given, confidence=confidence)
    names = list(FIVE) + (
        ["intersection_lower", "intersection_upper", "jaccard_lower", "jaccard_upper"] if confidence else []
    )
    assert list(result) == names
    assert all(v.dtype == np.float64 and len(v) == 700 for v in result.values())
    expected = np.array(per_pair(column_a, column_b, confidence))
    np.testing.assert_array_equal(np.column_stack([result[n] for n in names]), expected)


def test_refusals():
    good = drisk.pack(HyperLogLog(12))
    with pytest.raises(ValueError, match="a has 1 rows but b has 2"):
        drisk.overlaps([good], [good, None])
    damaged = bytearray(drisk.pack(sets(100, 0, 0)[0]))
    damaged[10] ^= 0xFF
    with pytest.raises(ValueError, match="row 2 of b: .*checksum"):
        drisk.overlaps([good] * 3, [good, good, bytes(damaged)])
    with pytest.raises(ValueError, match="row 0 of a: not a packed sketch"):
        drisk.overlaps([b"nonsense"], [good])
    with pytest.raises(TypeError, match="b must be a sketch"):
        drisk.overlap(HyperLogLog(), 42)
    with pytest.raises(ValueError, match="confidence"):
        drisk.overlap(HyperLogLog(), HyperLogLog(), 0.2)


def test_duckdb_functions():
    duckdb = pytest.importorskip("duckdb")
    pa = pytest.importorskip("pyarrow")
    import drisk.duckdb

    column_a, column_b = sketch_column(3_000, 3), sketch_column(3_000, 4)
    con = duckdb.connect()
    drisk.duckdb.register(con)
    table = pa.table({"i": range(3_000), "a": pa.array(column_a, pa.binary()), "b": pa.array(column_b, pa.binary())})
    con.register("t", table)
    rows = con.sql("SELECT i, drisk_intersection(a, b), drisk_jaccard(a, b) FROM t ORDER BY i").fetchall()
    expected = drisk.overlaps(column_a, column_b)
    for i, intersection, jaccard in rows:
        if column_a[i] is None or column_b[i] is None:
            assert intersection is None and jaccard is None
        else:
            assert intersection == expected["intersection"][i]
            assert jaccard == expected["jaccard"][i] or (math.isnan(jaccard) and math.isnan(expected["jaccard"][i]))


def test_polars_expressions():
    pl = pytest.importorskip("polars")
    import drisk.polars

    column_a, column_b = sketch_column(500, 5), sketch_column(500, 6)
    frame = pl.DataFrame({"a": column_a, "b": column_b}, schema={"a": pl.Binary, "b": pl.Binary})
    out = frame.select(
        drisk.polars.intersection("a", "b").alias("i"), drisk.polars.jaccard(pl.col("a"), "b").alias("j")
    )
    expected = drisk.overlaps(column_a, column_b)
    np.testing.assert_array_equal(out["i"].to_numpy(), expected["intersection"])
    np.testing.assert_array_equal(out["j"].to_numpy(), expected["jaccard"])


def run_tool(*args):
    proc = subprocess.run([*DRISK, *map(str, args)], capture_output=True)
    assert b"Traceback" not in proc.stderr
    return proc


def test_tool_overlap_of_two_files(tmp_path):
    a, b = sets(20_000, 10_000, 5_000)
    (tmp_path / "a.hll").write_bytes(drisk.pack(a))
    (tmp_path / "b.hll").write_bytes(b.to_bytes())
    expected = drisk.overlap(a, b, 0.95)
    proc = run_tool("overlap", tmp_path / "a.hll", tmp_path / "b.hll")
    assert proc.returncode == 0
    lines = dict(line.split(": ", 1) for line in proc.stdout.decode().splitlines())
    assert list(lines) == list(FIVE)
    assert int(lines["intersection"].split()[0]) == round(expected.intersection)
    assert int(lines["b_only"]) == round(expected.b_only)
    data = json.loads(run_tool("overlap", "--json", tmp_path / "a.hll", tmp_path / "b.hll").stdout)
    assert {name: data[name] for name in FIVE} == {name: getattr(expected, name) for name in FIVE}
    assert (data["intersection_lower"], data["intersection_upper"]) == expected.intersection_bounds


def test_tool_overlap_by_key(tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    first = pa.table({"page": ["x"] * 3_000 + ["y"] * 3_000 + ["z"] * 10, "user": [*range(3_000)] * 2 + [*range(10)]})
    last = pa.table(
        {
            "page": ["x"] * 3_000 + ["y"] * 1_000 + ["w"] * 5,
            "user": [*range(1_500, 4_500), *range(2_000, 3_000), *range(5)],
        }
    )
    sketched = [drisk.sketch_by(t, "page", "user") for t in (first, last)]
    for name, table in zip(("a", "b"), sketched):
        pq.write_table(table, tmp_path / f"{name}.parquet")
    proc = run_tool("overlap", "--by", "page", "--json", tmp_path / "a.parquet", tmp_path / "b.parquet")
    assert proc.returncode == 0, proc.stderr
    got = {row["key"]: row for row in map(json.loads, proc.stdout.decode().splitlines())}
    assert set(got) == {"x", "y", "z", "w"}
    cells = [{p: s for p, s in zip(t["page"].to_pylist(), t["sketch"].to_pylist())} for t in sketched]
    for page in ("x", "y"):
        expected = drisk.overlap(cells[0][page], cells[1][page])
        assert got[page]["intersection"] == expected.intersection and got[page]["jaccard"] == expected.jaccard
    # A page one table lacks meets an empty sketch: nothing in common.
    assert got["z"]["intersection"] == 0 and got["z"]["b_only"] == 0 and got["z"]["a_only"] > 9
    assert got["w"]["intersection"] == 0 and got["w"]["a_only"] == 0
    text = run_tool("overlap", "--by", "page", tmp_path / "a.parquet", tmp_path / "b.parquet").stdout.decode()
    assert [line.split("\t")[-1] for line in text.splitlines()] == ["x", "y", "w", "z"]  # largest intersection first
    for args, message in (
        (["--by", "nope"], "has no key column 'nope'"),
        (["--by", "page,page"], "each once"),
    ):
        proc = run_tool("overlap", *args, tmp_path / "a.parquet", tmp_path / "b.parquet")
        assert proc.returncode == 2 and message in proc.stderr.decode()
    (tmp_path / "c.hll").write_bytes(drisk.pack(HyperLogLog()))
    proc = run_tool("overlap", "--by", "page", tmp_path / "a.parquet", tmp_path / "c.hll")
    assert proc.returncode == 2 and "is a sketch file" in proc.stderr.decode()
