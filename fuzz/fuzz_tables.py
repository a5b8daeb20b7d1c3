"""Fuzz the tool's table reader: Arrow IPC (file and stream), Feather and
Parquet files, whole or mutated, through `drisk count --column` with and
without `--by`. Every run must end with exit status 0 or 2 (one line
`drisk: ...`), never a crash or a traceback."""

import contextlib
import io
import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    from drisk import cli

PATH = os.path.join(tempfile.mkdtemp(prefix="drisk-fuzz-tables-"), "input")
ARGUMENTS = (
    ["count", "-q", "--column", "v", PATH],
    ["count", "-q", "--column", "v", "--by", "k", PATH],
    ["count", "-q", "--column", "2", "--by", "1", "--json", PATH],
)


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    arguments = ARGUMENTS[fdp.ConsumeIntInRange(0, len(ARGUMENTS) - 1)]
    with open(PATH, "wb") as f:
        f.write(fdp.ConsumeBytes(fdp.remaining_bytes()))
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(arguments)
    assert status in (0, 2), (status, err.getvalue())
    if status == 2:
        assert err.getvalue().startswith("drisk: ") and err.getvalue().count("\n") == 1, err.getvalue()


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
