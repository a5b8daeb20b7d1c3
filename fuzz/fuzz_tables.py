"""Fuzz the tool's table reader: Arrow IPC (file and stream), Feather and
Parquet files, whole or mutated, through `drisk count --column` with and
without `--by`. Every run must end with exit status 0 or 2 (one line
`drisk: ...`), never a crash or a traceback."""

import atexit
import contextlib
import io
import os
import shutil
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    from drisk import cli

SCRATCH = tempfile.mkdtemp(prefix="drisk-fuzz-tables-")
atexit.register(shutil.rmtree, SCRATCH, True)
PATH = os.path.join(SCRATCH, "input")
ARGUMENTS = (
    ["count", "-q", "--column", "v", PATH],
    ["count", "-q", "--column", "v", "--by", "k", PATH],
    ["count", "-q", "--column", "2", "--by", "1", "--json", PATH],
)


def TestOneInput(data: bytes) -> None:
    # The first byte picks the arguments, the rest is the file: read by
    # hand, as the seeds are laid out (a FuzzedDataProvider takes integers
    # from the end of the input in some atheris versions, and would cut a
    # seed's last byte instead).
    arguments = ARGUMENTS[data[0] % len(ARGUMENTS)] if data else ARGUMENTS[0]
    with open(PATH, "wb") as f:
        f.write(data[1:])
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(arguments)
    assert status in (0, 2), (status, err.getvalue())
    if status == 2:
        assert err.getvalue().startswith("drisk: ") and err.getvalue().count("\n") == 1, err.getvalue()


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
