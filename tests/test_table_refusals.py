"""What the table functions take and refuse at their edges: sketch columns
that are dictionary-encoded or hold no sketch at all, pandas column labels
that are not text, duplicate and unreadable columns, struct columns, the one
size limit of a stored sketch, and the tool's CSV fields and merges."""

import math
import struct
import subprocess
import sys

import pytest

import drisk
from drisk import HyperLogLog, update_many

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")


def packed(items, p=12):
    h = HyperLogLog(p)
    update_many(h, items)
    return drisk.pack(h)


@pytest.mark.parametrize("index", [pa.int8(), pa.uint16(), pa.int32(), pa.int64()])
def test_dictionary_encoded_sketch_columns_are_read(index):
    cells = [packed(range(100)), packed(range(50, 300)), None, packed(range(100))]
    plain = pa.array(cells, pa.binary())
    encoded = pa.DictionaryArray.from_arrays(pa.array([0, 1, None, 0], index), pa.array(cells[:2], pa.binary()))
    np.testing.assert_array_equal(drisk.estimates(encoded), drisk.estimates(plain))
    table = pa.table({"k": [1, 1, 2, 2], "sketch": encoded})
    expected = drisk.rollup(pa.table({"k": [1, 1, 2, 2], "sketch": plain}), "k")
    assert drisk.rollup(table, "k").sort_by("k").equals(expected.sort_by("k"))


def test_dictionary_index_outside_the_dictionary_is_refused():
    values = pa.array([packed(range(10))], pa.binary())
    indices = pa.array([0, 0, 0], pa.int32())
    # An index past the dictionary, written over the buffer (pyarrow's own
    # constructor would check it).
    data = bytearray(indices.buffers()[1].to_pybytes())
    data[4:8] = struct.pack("<i", 7)
    bad = pa.DictionaryArray.from_buffers(
        pa.dictionary(pa.int32(), pa.binary()), 3, [None, pa.py_buffer(bytes(data))], values
    )
    with pytest.raises(ValueError, match="row 1"):
        drisk.estimates(bad)


def null_columns():
    out = [("arrow", pa.nulls(3))]
    try:
        import polars as pl
    except ImportError:
        pass
    else:
        out.append(("polars", pl.Series("sketch", [None] * 3, dtype=pl.Null)))
    try:
        import pandas as pd
    except ImportError:
        pass
    else:
        out.append(("pandas", pd.Series([None] * 3, dtype=object)))
    return out


@pytest.mark.parametrize(("kind", "column"), null_columns(), ids=[kind for kind, _ in null_columns()])
def test_a_column_without_any_sketch_is_missing_sketches(kind, column):
    assert all(math.isnan(v) for v in drisk.estimates(column))
    if kind == "arrow":
        table = pa.table({"k": [1, 1, 2], "sketch": column})
    elif kind == "polars":
        import polars as pl

        table = pl.DataFrame({"k": [1, 1, 2]}).with_columns(column)
    else:
        import pandas as pd

        table = pd.DataFrame({"k": [1, 1, 2], "sketch": column})
    rolled = drisk.rollup(table, "k")
    cells = {"arrow": lambda c: c.to_pylist(), "polars": lambda c: c.to_list(), "pandas": lambda c: c.tolist()}[kind](
        rolled["sketch"]
    )
    assert len(cells) == 2 and all(cell is None for cell in cells)


def test_polars_union_of_a_column_of_text_names_its_type():
    pl = pytest.importorskip("polars")
    import drisk.polars

    with pytest.raises(Exception, match="list of (large_)?string"):
        pl.DataFrame({"s": ["a", "b"]}).select(drisk.polars.union("s"))


@pytest.mark.parametrize("label", [0, 7, ("a", "b")])
def test_pandas_labels_that_are_not_text(label):
    pd = pytest.importorskip("pandas")
    rows = {label: [1, 1, 2, 2], "v": [1, 2, 3, 3]}
    frame = pd.DataFrame(rows)
    by_label = drisk.sketch_by(frame, [label] if isinstance(label, tuple) else label, "v")
    assert label in by_label.columns
    by_text = drisk.sketch_by(pd.DataFrame({"k": rows[label], "v": rows["v"]}), "k", "v")
    assert sorted(by_label["sketch"]) == sorted(by_text["sketch"])
    counted = drisk.count_by(frame, [label] if isinstance(label, tuple) else label, "v")
    assert sorted(counted["estimate"].round()) == [1.0, 2.0]
    rolled = drisk.rollup(by_label.assign(**{"sketch": by_label["sketch"]}), None)
    assert len(rolled) == 1


@pytest.mark.parametrize("function", ["rollup", "sketch_by", "count_by"])
def test_duplicate_column_names_are_named(function):
    table = pa.table(
        [pa.array([1, 2]), pa.array([1, 2]), pa.array([packed([1]), packed([2])])], names=["k", "k", "sketch"]
    )
    with pytest.raises(ValueError, match="2 columns named 'k'"):
        if function == "rollup":
            drisk.rollup(table, "k")
        else:
            getattr(drisk, function)(table, "k", "sketch")


def test_polars_column_without_an_arrow_type_is_named():
    pl = pytest.importorskip("polars")
    if not hasattr(pl, "Int128"):
        pytest.skip("no Int128 in this polars")
    frame = pl.DataFrame({"k": pl.Series([1, 2], dtype=pl.Int128), "v": [1, 2]})
    with pytest.raises(TypeError, match="'k' is Int128"):
        drisk.sketch_by(frame, "k", "v")


@pytest.mark.parametrize("fields", [1, 2])
def test_struct_columns_are_refused(fields):
    column = pa.array([{f"f{i}": row for i in range(fields)} for row in range(3)])
    with pytest.raises(TypeError, match="struct"):
        update_many(HyperLogLog(), column)
    with pytest.raises(TypeError, match="struct"):
        drisk.sketch_by(pa.table({"k": [1, 1, 2], "v": column}), "k", "v")
    # A table of one column is no struct column: it is counted.
    assert update_many(HyperLogLog(), pa.table({"v": [1, 2, 3]})) == 3


def long_sparse_sketch(p=12):
    """A packed sketch of p whose sparse body takes 4 bytes an entry, for
    every register: longer than the dense form, which drisk never writes
    but reads."""
    body = b"".join(bytes([0x80 | 1, 0x80, 0x80, 0x00]) for _ in range(2**p))
    head = bytes([0xE2, 0x48, 0x4C, 0x4C, 1, 1, p]) + body
    xxhash = pytest.importorskip("xxhash")
    return head + struct.pack("<Q", xxhash.xxh3_64_intdigest(head))


@pytest.mark.parametrize("p", [12, 18])
def test_the_longest_sparse_sketch_is_read_everywhere(p):
    data = long_sparse_sketch(p)
    sketch = drisk.unpack(data)
    assert drisk.estimates([data])[0] == drisk.estimate(sketch)
    rolled = drisk.rollup(pa.table({"sketch": pa.array([data], pa.binary())}), None)
    assert drisk.unpack(rolled["sketch"][0].as_py()).registers() == sketch.registers()


def run_tool(*args, cwd):
    return subprocess.run([sys.executable, "-m", "drisk", *map(str, args)], capture_output=True, cwd=cwd)


def test_tool_reads_long_csv_fields_and_the_longest_sketch(tmp_path):
    (tmp_path / "big.csv").write_text("user,page\n" + "x" * 300_000 + ",a\ny,b\n")
    proc = run_tool("count", "--csv", "--column", "user", "big.csv", cwd=tmp_path)
    assert proc.returncode == 0 and proc.stdout.strip() == b"2", proc.stderr
    (tmp_path / "long.hll").write_bytes(long_sparse_sketch(18))
    proc = run_tool("merge", "long.hll", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr


def test_tool_merge_notes_a_table_of_mixed_precisions(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    a, b = HyperLogLog(12), HyperLogLog(14)
    update_many(a, range(100))
    update_many(b, range(50, 200))
    pq.write_table(pa.table({"k": [1, 2], "sketch": [drisk.pack(a), b.to_bytes()]}), tmp_path / "mixed.parquet")
    proc = run_tool("merge", "mixed.parquet", cwd=tmp_path)
    assert proc.returncode == 0
    assert b"folded to p=12" in proc.stderr
    pq.write_table(pa.table({"k": [1], "sketch": [drisk.pack(a)]}), tmp_path / "one.parquet")
    assert run_tool("merge", "one.parquet", cwd=tmp_path).stderr == b""
