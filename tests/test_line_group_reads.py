"""group_lines() and the read functions it calls: the buffer lent to read()
stays sound whatever read() does with the view."""

import subprocess
import sys

import pytest

from drisk._linegroups import group_lines

# A slice of the view (or an array over it) kept past the call, written to
# after group_lines() has returned and while it takes lines without the GIL.
KEPT = {
    "slice": "kept.append(view[:])",
    "cast": "kept.append(view.cast('B'))",
    "memoryview": "kept.append(memoryview(view))",
}


@pytest.mark.parametrize("keep", KEPT.values(), ids=KEPT.keys())
def test_view_kept_by_read_stays_valid(keep):
    script = f"""
import threading
from drisk._linegroups import group_lines
kept = []
pending = [b"".join(b"k%d v%d\\n" % (i % 7, i) for i in range(300_000))] * 3
done = False
def scribble():
    while not done:
        if kept:
            kept[0][0:4] = b"zzzz"
def read(view):
    if not kept:
        {keep}
    if not pending:
        return 0
    n = min(len(view), len(pending[0]))
    view[:n] = pending[0][:n]
    pending[0] = pending[0][n:]
    if not pending[0]:
        pending.pop(0)
    return n
thread = threading.Thread(target=scribble)
thread.start()
try:
    group_lines(read, (1,), (2,), -1, 12)
finally:
    done = True
    thread.join()
kept[0][0 : len(kept[0])] = b"x" * len(kept[0])
print(bytes(kept[0][:2]).decode())
"""
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "xx\n"


def test_read_cannot_resize_the_lent_buffer():
    failures = []

    def read(view):
        try:
            view.obj.clear()
        except BufferError as exc:
            failures.append(exc)
        return 0

    assert group_lines(read, (1,), (2,), -1, 12)[0] == []
    assert len(failures) == 1
