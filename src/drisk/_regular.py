"""Lines of a regular file, read with pread() in blocks by two threads.

Never memory-mapped: a mapped file that another process truncates kills the
reader with SIGBUS, and some files (/proc, /sys, some network file systems)
cannot be mapped at all. Each thread claims blocks one after another and
hashes the whole lines inside each into its own sketch; the line that
straddles two blocks is read again by the calling thread, which puts the
blocks back in order and keeps track of where the current line began. The
second thread is started only when the core says the process may use a
second CPU (its affinity and its cgroup's quota).
"""

from __future__ import annotations

import itertools
import os
import threading
from collections.abc import Iterator

from _drisk import HyperLogLog
from drisk._bulk import update_joined, update_lines, usable_cpus
from drisk._streams import Progress, scratch_for

#: Bytes of a regular file read (and hashed) by one thread at a time. Under
#: update_lines' two-core split threshold, so the two readers each keep to
#: one core; small enough to stay in cache between read and hash.
BLOCK_SIZE = 1024 * 1024


class FileChangedError(OSError):
    """A regular file shrank while it was being read (e.g. truncated by
    logrotate's copytruncate), so its lines cannot be counted consistently."""

    def __init__(self, *args: object) -> None:  # arguments: for unpickling
        super().__init__(*(args or ("file changed while reading",)))


def pread_exact(fd: int, view: memoryview, offset: int) -> int:
    """Fills view from the file at offset, as far as the file goes."""
    done = 0
    while done < len(view):
        got = os.preadv(fd, [view[done:]], offset + done)
        if not got:
            break
        done += got
    return done


class RegularFile:
    """Lines of bytes start..size of a regular file, read in blocks by two
    threads. The caller's thread also puts the blocks back in order: it adds
    the line that straddles each pair of blocks and checks that the file did
    not shrink on the way."""

    def __init__(self, sketch: HyperLogLog, fd: int, start: int, size: int, progress: Progress | None) -> None:
        self.sketch = sketch  # the caller's thread hashes into this one
        self.fd, self.start, self.size = fd, start, size
        self.progress = progress
        self.blocks = -(-(size - start) // BLOCK_SIZE)
        self.claim = itertools.count().__next__  # atomic under the GIL
        self.done: dict[int, tuple[int, int, int, int]] = {}
        self.stop = False
        self.failure: BaseException | None = None
        self.lines = 0
        self.next_block = 0
        self.line_start = start  # where the line not yet added begins
        self.eof_at: int | None = None  # where the file turned out to end

    def run(self) -> tuple[int, int]:
        """Returns the line count and the offset just past what was read."""
        helper_sketch = scratch_for(self.sketch)
        helper = None
        if self.blocks > 1 and usable_cpus() > 1:
            # Not a daemon: should the caller give up waiting for it (a second
            # Ctrl-C), the interpreter still lets it finish its block rather
            # than ending it inside drisk's C++ code at exit.
            helper = threading.Thread(target=self._help, args=(helper_sketch,), name="drisk-reader", daemon=False)
            try:
                helper.start()
            except RuntimeError:  # no thread to be had: read alone
                helper = None
        try:
            self._work(self.sketch)
        finally:
            self.stop = True
            if helper is not None:
                helper.join()
        if self.failure is not None:
            raise self.failure
        self._put_in_order()
        end = self.size if self.eof_at is None else self.eof_at
        if self.eof_at is not None and os.fstat(self.fd).st_size < self.size:
            raise FileChangedError
        if self.line_start < end:
            self._add_line(self.line_start, end)
        self.sketch.merge(helper_sketch)
        return self.lines, end

    def _help(self, sketch: HyperLogLog) -> None:
        try:
            self._work(sketch)
        except BaseException as exc:  # noqa: BLE001 - handed to the calling thread
            self.failure = exc
            self.stop = True

    def _work(self, sketch: HyperLogLog) -> None:
        """Claims blocks one after another, hashes the whole lines inside each."""
        mine = sketch is self.sketch
        buf = bytearray(BLOCK_SIZE)
        with memoryview(buf) as view:
            while not self.stop:
                k = self.claim()
                if k >= self.blocks:
                    return
                offset = self.start + k * BLOCK_SIZE
                got = pread_exact(self.fd, view[: min(BLOCK_SIZE, self.size - offset)], offset)
                first = buf.find(b"\n", 0, got)
                last = buf.rfind(b"\n", 0, got)
                lines = update_lines(sketch, view[first + 1 : last + 1]) if last > first else 0
                self.done[k] = (got, first, last, lines)
                if mine:
                    self._put_in_order()

    def _put_in_order(self) -> None:
        while self.next_block in self.done:
            got, first, last, lines = self.done.pop(self.next_block)
            offset = self.start + self.next_block * BLOCK_SIZE
            self.next_block += 1
            self.lines += lines
            if self.progress is not None and got:
                self.progress(got)
            if self.eof_at is not None:
                if got:  # data past a point where the file had ended
                    raise FileChangedError
                continue
            if first >= 0:
                self._add_line(self.line_start, offset + first + 1)
                self.line_start = offset + last + 1
            if got < min(BLOCK_SIZE, self.size - offset):
                self.eof_at = offset + got

    def _add_line(self, start: int, end: int) -> None:
        """Adds the one line in bytes start..end: it ends with its newline, or
        at the end of the file."""
        if end - start <= BLOCK_SIZE:
            line = bytearray(end - start)
            with memoryview(line) as view:
                if pread_exact(self.fd, view, start) < len(line):
                    raise FileChangedError
            self.lines += update_lines(self.sketch, line)
            return
        # Too long to hold: hash it piece by piece, without its line ending.
        ending = os.pread(self.fd, 2, end - 2)
        if ending.endswith(b"\n"):
            end -= 2 if ending == b"\r\n" else 1
        elif ending.endswith(b"\r"):
            end -= 1
        buf = bytearray(BLOCK_SIZE)

        def parts() -> Iterator[memoryview]:
            with memoryview(buf) as view:
                for offset in range(start, end, BLOCK_SIZE):
                    piece = view[: min(BLOCK_SIZE, end - offset)]
                    if pread_exact(self.fd, piece, offset) < len(piece):
                        raise FileChangedError
                    yield piece

        update_joined(self.sketch, parts())
        self.lines += 1
