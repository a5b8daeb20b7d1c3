"""Lines of a regular file, read with pread() in C++ (_bulk.read_regular).

Never memory-mapped: a mapped file that another process truncates kills the
reader with SIGBUS, and some files (/proc, /sys, some network file systems)
cannot be mapped at all. The calling thread and, when the core says the
process may use a second CPU (its affinity and its cgroup's quota), one
helper thread claim blocks of BLOCK_SIZE bytes; each block takes the lines
that start in it, so no line is cut and none is read twice. The interpreter
lock is released for a region of REGION_SIZE bytes at a time; between
regions, signals are checked (Ctrl-C) and progress is reported.
"""

from __future__ import annotations

import os

from _drisk import HyperLogLog
from drisk._bulk import read_regular, usable_cpus
from drisk._streams import WHOLE_LINES, Fields, Progress

#: Bytes of a regular file read (and hashed) by one thread at a time: small
#: enough to stay in a core's second-level cache between read and hash (with
#: 1 MiB, 100 million short lines took some 7 % longer), large enough that
#: the system calls cost well under 1 %.
BLOCK_SIZE = 256 * 1024
#: Bytes read between two looks at signals and progress: about 10 ms of
#: work from the page cache (some 100 ms from a slow disk), so Ctrl-C is
#: honoured quickly; starting the helper thread once per region costs well
#: under 1 % of that.
REGION_SIZE = 16 * 1024 * 1024


class FileChangedError(OSError):
    """A regular file shrank while it was being read (e.g. truncated by
    logrotate's copytruncate), so its lines cannot be counted consistently.

    An OSError, raised by update_file() and the tool; its message defaults
    to "file changed while reading". The sketch being added to is left as it
    was.
    """

    def __init__(self, *args: object) -> None:  # arguments: for unpickling
        super().__init__(*(args or ("file changed while reading",)))


def read_regular_file(
    sketch: HyperLogLog, fd: int, start: int, size: int, progress: Progress | None, fields: Fields = WHOLE_LINES
) -> tuple[int, int] | None:
    """Adds the lines (or their fields) of bytes start..size of the file into
    `sketch`, a scratch sketch: on failure it is partly filled. Returns the
    item count and the count of lines skipped for lack of a field.

    Raises FileChangedError if the file shrank while it was read. Returns
    None if it held less than its size says without shrinking (sysfs files
    claim 4096 bytes whatever they hold): the caller reads it as a stream."""
    block = max(1, BLOCK_SIZE)
    helper = size - start > block and usable_cpus() > 1
    region = max(REGION_SIZE, block)
    items, skipped, shrank, _ = read_regular(sketch, fd, start, size, block, region, helper, progress, *fields)
    if shrank:
        if os.fstat(fd).st_size < size:
            raise FileChangedError
        return None
    return items, skipped
