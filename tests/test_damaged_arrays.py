"""Binary and string columns with one damaged offset between sound first and
last ones (pyarrow's IPC and Feather readers take such columns, checking
only those two): every reader refuses them with ValueError, and a sketch
being updated is left as it was. Each case runs in its own interpreter, as a
read through such an offset can kill the process."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("numpy")
pytest.importorskip("pyarrow")

PRELUDE = """
import numpy as np, pyarrow as pa, drisk
from drisk import _grouped

FAR = 1 << 30  # far past any data buffer here

def damaged(kind, data, wide, sliced):
    # Three rows of data, the offset after the first row pointing far past
    # the data; as a slice, that offset lies after the slice's first row.
    n = len(data)
    offsets = [0, n, FAR, 2 * n, 3 * n] if sliced else [0, FAR, 2 * n, 3 * n]
    kind = {"binary": pa.large_binary(), "string": pa.large_string()}[kind] if wide else getattr(pa, kind)()
    raw = np.array(offsets, np.int64 if wide else np.int32).tobytes()
    array = pa.Array.from_buffers(kind, len(offsets) - 1, [None, pa.py_buffer(raw), pa.py_buffer(data * 3)])
    return array.slice(1) if sliced else array

def outcome(call):
    try:
        call()
    except ValueError as error:
        print("refused:", error)
    else:
        print("accepted")
"""


def run(code: str) -> str:
    done = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, f"exit status {done.returncode}: {done.stderr[-2000:]}"
    return done.stdout


CELLS = "cells = damaged('binary', drisk.pack(drisk.HyperLogLog()), wide, sliced)\n"
TEXTS = "texts = damaged('string', b'abc', wide, sliced)\n"
LISTS = "lists = pa.ListArray.from_arrays(pa.array([0, 1, 3], pa.int32()), cells)\n"


@pytest.mark.parametrize(
    "setup, call",
    [
        (CELLS, "drisk.estimates(cells)"),
        (CELLS, "drisk.estimates(pa.chunked_array([cells]))"),
        (CELLS + LISTS, "_grouped.union_lists(lists)"),
        (TEXTS, "drisk.update_many(drisk.HyperLogLog(), pa.chunked_array([texts]))"),
        (TEXTS, "drisk.sketch_by(pa.table({'k': [1, 2, 1], 'v': texts}), 'k', 'v')"),
        (TEXTS, "drisk.count_by(pa.table({'k': [1, 2, 1], 'v': texts}), 'k', 'v')"),
        (TEXTS, "drisk.sketch_by(pa.table({'k': texts, 'v': [1, 2, 1]}), 'k', 'v')"),
    ],
    ids=["estimates", "estimates-chunked", "union-lists", "update-many-chunked", "sketch-by", "count-by", "key"],
)
@pytest.mark.parametrize(
    "wide, sliced", [(False, False), (True, False), (False, True)], ids=["int32", "int64", "slice"]
)
def test_far_offset_refused(setup: str, call: str, wide: bool, sliced: bool) -> None:
    out = run(f"wide, sliced = {wide}, {sliced}\n{setup}outcome(lambda: {call})")
    assert out.startswith("refused:"), out


@pytest.mark.parametrize(
    "keys",
    [
        "pa.DictionaryArray.from_arrays(pa.array([0, 1, 2], pa.int8()), texts)",
        "pa.DictionaryArray.from_arrays(pa.array([0, 1, 2], pa.int8()), pa.array(['a', 'b']), safe=False)",
    ],
    ids=["damaged-dictionary", "index-past-the-dictionary"],
)
def test_dictionary_keys_refused(keys: str) -> None:
    """Text dictionary keys are numbered by their indices after pyarrow unifies
    the dictionaries, which trusts them: a damaged dictionary or an index past
    its end is refused first."""
    out = run(
        f"""
        wide, sliced = False, False
        texts = damaged('string', b'abc', wide, sliced)
        other = pa.DictionaryArray.from_arrays(pa.array([0], pa.int8()), pa.array(['x']))
        keys = pa.chunked_array([{keys}, other])
        outcome(lambda: drisk.sketch_by(pa.table({{'k': keys, 'v': [1, 2, 3, 4]}}), 'k', 'v'))
        """
    )
    assert out.startswith("refused:") and "'k'" in out, out


@pytest.mark.parametrize(
    "column",
    ["texts", "pa.chunked_array([pa.array(['x', 'y']), texts])"],
    ids=["array", "after-sound-chunk"],
)
def test_sketch_unchanged(column: str) -> None:
    # Long enough to be read on both cores, the damage near the end.
    out = run(
        f"""
        rows = 300_000
        offsets = np.arange(rows + 1, dtype=np.int32)
        offsets[rows - 2] = FAR
        texts = pa.Array.from_buffers(
            pa.string(), rows, [None, pa.py_buffer(offsets.tobytes()), pa.py_buffer(b"x" * rows)]
        )
        column = {column}
        sketch = drisk.HyperLogLog()
        drisk.update_many(sketch, ["kept"])
        before = drisk.pack(sketch)
        outcome(lambda: drisk.update_many(sketch, column))
        print(drisk.pack(sketch) == before)
        """
    )
    assert out.startswith("refused:") and out.endswith("True\n"), out


@pytest.mark.parametrize("by", [None, "k"])
@pytest.mark.parametrize("damaged_column", ["k", "v"])
def test_the_tool_refuses_a_file_with_a_damaged_column(tmp_path, by, damaged_column):
    """An IPC stream whose key or value column has a wild middle offset: one
    line naming the column, exit status 2, whichever column is counted."""
    path = tmp_path / "damaged.arrows"
    run(
        f"""
        good = pa.array(["aa", "bb", "cc"])
        bad = damaged("string", b"xyz", False, False)
        columns = {{"k": good, "v": good}}
        columns[{damaged_column!r}] = bad
        table = pa.table(columns)
        with pa.ipc.new_stream({str(path)!r}, table.schema) as out:
            out.write_table(table)
        """
    )
    args = [sys.executable, "-m", "drisk", "count", "--column", "v", *(["--by", by] if by else []), str(path)]
    done = subprocess.run(args, capture_output=True, text=True, timeout=60)
    if damaged_column == "k" and by is None:
        assert done.returncode == 0, done.stderr  # the key column is not read
        return
    assert done.returncode == 2, done.stderr
    assert done.stderr.count("\n") == 1 and f"the column '{damaged_column}' is damaged" in done.stderr


def _int8_schema_as(make, width):
    """make(int8), an encoded schema, with the Int type's bit width (8) set
    to `width`: the bytes where the int8 and int16 encodings differ."""
    a, b = make("int8"), make("int16")
    differ = [i for i in range(len(a)) if a[i] != b[i]]
    assert len(a) == len(b) and differ and all(a[i] == 8 for i in differ)
    out = bytearray(a)
    for i in differ:  # an IPC file holds the schema twice
        out[i] = width
    return bytes(out)


def _ipc(kind, file):
    import io

    import pyarrow as pa

    out = io.BytesIO()
    opened = pa.ipc.new_file if file else pa.ipc.new_stream
    with opened(out, pa.schema([("k", pa.string()), ("v", getattr(pa, kind)())])):
        pass
    return out.getvalue()


def _parquet(width):
    """A Parquet file of an int8 column whose stored Arrow schema says the
    integer has `width` bits."""
    import base64
    import io

    import pyarrow as pa
    import pyarrow.parquet as pq

    def written(kind):
        out = io.BytesIO()
        pq.write_table(pa.table({"k": ["a", "b"], "v": pa.array([1, 2], getattr(pa, kind)())}), out)
        data = out.getvalue()
        return data, pq.read_metadata(io.BytesIO(data)).metadata[b"ARROW:schema"]

    (data, meta), (_, wider) = written("int8"), written("int16")
    encoded = {"int8": base64.b64decode(meta), "int16": base64.b64decode(wider)}
    patched = base64.b64encode(_int8_schema_as(encoded.get, width))
    assert len(patched) == len(meta)
    return data.replace(meta, patched)


@pytest.mark.parametrize("by", [[], ["--by", "k"]], ids=["plain", "by"])
@pytest.mark.parametrize(
    "make",
    [
        lambda: _int8_schema_as(lambda kind: _ipc(kind, False), 4),
        lambda: _int8_schema_as(lambda kind: _ipc(kind, False), 128),
        lambda: _int8_schema_as(lambda kind: _ipc(kind, True), 4),
        lambda: _parquet(4),
        lambda: _parquet(128),
    ],
    ids=["stream-int4", "stream-int128", "ipc-file-int4", "parquet-int4", "parquet-int128"],
)
def test_the_tool_refuses_a_schema_pyarrow_cannot_read(tmp_path, make, by):
    """A stored schema naming an integer of 4 or 128 bits makes pyarrow raise
    NotImplementedError, which derives from none of ValueError, TypeError
    and OSError: one line and exit status 2, not a traceback (found by
    fuzzing the tool's table reader)."""
    path = tmp_path / "odd"
    path.write_bytes(make())
    args = [sys.executable, "-m", "drisk", "count", "-q", "--column", "v", *by, str(path)]
    done = subprocess.run(args, capture_output=True, text=True, timeout=60)
    assert done.returncode == 2, done.stderr
    assert done.stderr.count("\n") == 1 and "not implemented" in done.stderr


@pytest.mark.parametrize("by", [[], ["--by", "k"]], ids=["plain", "by"])
def test_the_tool_refuses_feather_version_1(tmp_path, by):
    """pyarrow reads Feather's first version unchecked (a mutated one crashed
    the process inside its reader): the tool refuses the format, whole or
    damaged, before pyarrow opens it."""
    import warnings

    import pyarrow as pa
    import pyarrow.feather as feather

    path = tmp_path / "old.feather"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        feather.write_feather(pa.table({"k": ["a", "b"], "v": ["x", "y"]}), path, version=1)
    assert path.read_bytes()[:4] == b"FEA1"
    args = [sys.executable, "-m", "drisk", "count", "-q", "--column", "v", *by, str(path)]
    done = subprocess.run(args, capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "Feather version 1 file" in done.stderr, done.stderr
