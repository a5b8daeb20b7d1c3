"""Ctrl-C during one large column: update_many stops soon and adds nothing.

Each case runs in a subprocess that sends itself SIGINT from a timer thread
while update_many reads a column that would take tens of seconds. The
columns cost no memory: a NumPy array broadcast from one value (stride 0)
and an Arrow fixed_size_binary(0) array, whose rows have no bytes at all.
"""

import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")

COLUMNS = {
    "numpy int64": "np.broadcast_to(np.int64(12345678), (3 * 10**9,))",
    "numpy float64": "np.broadcast_to(np.float64(0.25), (10**9,))",
    "arrow fixed_size_binary": (
        "pa.FixedSizeBinaryArray.from_buffers(pa.binary(0), 5 * 10**9, [None, pa.py_buffer(b'')])"
    ),
    "arrow one-column table": (
        "pa.table({'x': pa.FixedSizeBinaryArray.from_buffers(pa.binary(0), 5 * 10**9, [None, pa.py_buffer(b'')])})"
    ),
    # The first chunk is read whole before the second is interrupted: the
    # call adds nothing at all, not the chunks before the interruption.
    "arrow chunked": (
        "pa.chunked_array([pa.FixedSizeBinaryArray.from_buffers(pa.binary(0), 1, [None, pa.py_buffer(b'')]), "
        "pa.FixedSizeBinaryArray.from_buffers(pa.binary(0), 5 * 10**9, [None, pa.py_buffer(b'')])])"
    ),
}

SCRIPT = """
import os, signal, threading, time
import numpy as np
import pyarrow as pa
from drisk import HyperLogLog, update_many

data = {column}
h = HyperLogLog(12)
h.update(b"before")
before = h.registers()
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
start = time.monotonic()
try:
    update_many(h, data)
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - start, h.registers() == before)
else:
    print("finished", time.monotonic() - start, h.registers() == before)
"""


@pytest.mark.parametrize("name", list(COLUMNS))
def test_ctrl_c_stops_a_large_column_and_leaves_the_sketch_unchanged(name):
    code = textwrap.dedent(SCRIPT).format(column=COLUMNS[name])
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=25)
    assert proc.returncode == 0, proc.stderr
    outcome, elapsed, unchanged = proc.stdout.split()
    assert outcome == "interrupted"
    assert unchanged == "True"
    # SIGINT comes at 0.3 s; the reader looks at signals every few
    # milliseconds, so this bound only catches "after the whole column".
    assert float(elapsed) < 5.0


# Sketch columns that cost no memory either: every row the index 0 into a
# dictionary of one empty sketch, the indices calloc'ed zeros never touched
# before they are read.
SKETCH_CALLS = {
    "estimates": ("2 * 10**9", "0", "drisk.estimates(column)"),
    # Each row takes an output row here: fewer of them, of sketches that
    # take a fit of some microseconds.
    "overlaps": ("2 * 10**6", "100_000", "drisk.overlaps(column, other)"),
}

SKETCH_SCRIPT = """
import os, signal, threading, time
import numpy as np
import pyarrow as pa
import drisk

rows = {rows}


def repeated(first):
    sketch = drisk.HyperLogLog(12)
    drisk.update_many(sketch, range(first, first + {items}))
    return pa.DictionaryArray.from_buffers(
        pa.dictionary(pa.int8(), pa.binary()), rows, [None, pa.py_buffer(np.zeros(rows, np.int8))],
        pa.array([drisk.pack(sketch)], pa.binary()),
    )


column, other = repeated(0), repeated({items} // 2)
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
start = time.monotonic()
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - start)
else:
    print("finished", time.monotonic() - start)
"""


@pytest.mark.parametrize("name", list(SKETCH_CALLS))
def test_ctrl_c_stops_a_large_sketch_column(name):
    rows, items, call = SKETCH_CALLS[name]
    code = textwrap.dedent(SKETCH_SCRIPT).format(rows=rows, items=items, call=call)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    outcome, elapsed = proc.stdout.split()
    assert outcome == "interrupted"
    assert float(elapsed) < 5.0


# Key columns that cost no memory: every row the index 0 into a dictionary
# of one long text (so that numbering a row's key takes a while), the
# indices calloc'ed zeros.
KEYS_SCRIPT = """
import os, signal, threading, time
import numpy as np
import pyarrow as pa
import drisk

rows = 10**8


def repeated(kind, entry):
    indices = pa.py_buffer(np.zeros(rows, np.int8))
    kind_of_column = pa.dictionary(pa.int8(), kind)
    return pa.DictionaryArray.from_buffers(kind_of_column, rows, [None, indices], pa.array([entry], kind))


sketch = drisk.HyperLogLog(12)
drisk.update_many(sketch, range(100))
table = pa.table({{"k": repeated(pa.string(), "k" * 2048), "v": repeated(pa.int64(), 7),
                   "sketch": repeated(pa.binary(), drisk.pack(sketch))}})
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
start = time.monotonic()
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - start)
else:
    print("finished", time.monotonic() - start)
"""


@pytest.mark.parametrize(
    "call",
    [
        'drisk.sketch_by(table, "k", "v")',
        'drisk.count_by(table, ["k"], "v")',
        'drisk.rollup(table, "k")',
        # One group of 10^8 sketches: its union alone takes over a minute.
        "drisk.rollup(table, None)",
    ],
)
def test_ctrl_c_stops_the_numbering_of_keys(call):
    code = textwrap.dedent(KEYS_SCRIPT).format(call=call)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    outcome, elapsed = proc.stdout.split()
    assert outcome == "interrupted"
    # Numbering these keys, or uniting the sketches, takes tens of seconds.
    assert float(elapsed) < 5.0
