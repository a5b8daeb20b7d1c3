"""drisk count on fields, CSV columns and tables, run as a subprocess: the
estimate's sketch (--save) held to the items picked by an independent
reader (awk, the csv module, pyarrow) and added one by one."""

import csv
import gzip
import io
import json
import random
import shutil
import subprocess
import sys

import pytest

import drisk
from support import one_by_one

DRISK = [sys.executable, "-m", "drisk"]
P = 10


def run(*args, input=None):
    proc = subprocess.run([*DRISK, *map(str, args)], input=input, capture_output=True)
    assert b"Traceback" not in proc.stderr
    return proc


def counted(tmp_path, *args, input=None):
    """The saved sketch's registers and the --json object of one count."""
    out = tmp_path / "s.hll"
    proc = run("count", "-p", P, "--json", "--save", out, *args, input=input)
    assert proc.returncode == 0, proc.stderr
    return drisk.load(out.read_bytes()).registers(), json.loads(proc.stdout)


def error_line(proc):
    err = proc.stderr.decode()
    assert proc.returncode == 2 and err.count("\n") == 1 and err.startswith("drisk: "), err
    return err.strip()


# --- fields -------------------------------------------------------------------------

LINE = '10.0.{a}.{b} - - [07/Dec/2026:10:00:{s:02d} +0000] "GET /p/{p} HTTP/1.1" 200 {n}\r\n'
LOG = "".join(LINE.format(a=i % 7, b=i % 13, s=i % 60, p=i % 31, n=i) for i in range(3000)).encode() + b"\n  \nshort\n"


@pytest.mark.skipif(shutil.which("awk") is None, reason="no awk here")
@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize("listed, program", [("1", "NF >= 1 { print $1 }"), ("1,7", "NF >= 7 { print $1, $7 }")])
def test_field_of_a_log_matches_awk(tmp_path, compress, listed, program):
    path = tmp_path / ("access.log.gz" if compress else "access.log")
    path.write_bytes(gzip.compress(LOG) if compress else LOG)
    text = LOG.replace(b"\r\n", b"\n")
    out = subprocess.run(["awk", program], input=text, capture_output=True, check=True, env={"LC_ALL": "C"}).stdout
    items = out.split(b"\n")[:-1]
    registers, info = counted(tmp_path, "-f", listed, path)
    assert registers == one_by_one(P, items).registers()
    assert (info["lines"], info["items"], info["skipped"]) == (
        text.count(b"\n"),
        len(items),
        text.count(b"\n") - len(items),
    )


def test_skipped_lines_are_noted(tmp_path):
    proc = run("count", "-d", ",", "-f", "2", input=b"a,b\nno comma\n\nc,d\n")
    assert proc.returncode == 0 and proc.stdout == b"2\n"
    assert proc.stderr == b"drisk: note: skipped 2 of 4 lines without field 2\n"
    assert run("count", "-f", "1", input=b"a\nb\n").stderr == b""


def test_named_pipe_loses_no_bytes(tmp_path):
    """Looking for a table's magic bytes reads nothing from a named pipe."""
    proc = subprocess.run(
        ["bash", "-c", f"{sys.executable} -m drisk count --json -f 2 <(printf 'a b\\nc d\\n')"], capture_output=True
    )
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)["items"] == 2
    assert round(json.loads(proc.stdout)["estimate"]) == 2


def test_tab_delimiter_by_name(tmp_path):
    data = b"a\tb\nc\td\n"
    assert counted(tmp_path, "-d", "\\t", "-f", "2", input=data)[0] == one_by_one(P, [b"b", b"d"]).registers()
    assert counted(tmp_path, "-d", "\t", "-f", "2", input=data)[0] == one_by_one(P, [b"b", b"d"]).registers()


# --- CSV ----------------------------------------------------------------------------

QUOTED_ROWS = [
    ["user", "note", "n"],
    ["plain", "x", "1"],
    ['with "quotes"', "y", "2"],
    ["with,comma", "z", "3"],
    ["with\nnewline", "w", "4"],
    ["with\r\ncrlf", "v", "5"],
    ["", "empty", "6"],
    ["  spaced  ", "u", "7"],
    ["zéro ünïcode", "t", "8"],
    ["plain", "dup", "9"],
]


def csv_bytes(rows, delimiter=",", short=()):
    text = io.StringIO(newline="")
    writer = csv.writer(text, delimiter=delimiter, quoting=csv.QUOTE_MINIMAL, lineterminator="\r\n")
    writer.writerows(rows)
    return text.getvalue().encode() + b"".join(short)


def csv_column(data, index, delimiter=","):
    """The column as the csv module reads it, header row included."""
    rows = csv.reader(io.StringIO(data.decode(), newline=""), delimiter=delimiter)
    return [row[index] for row in rows if len(row) > index]


@pytest.mark.parametrize("delimiter", [",", ";", "\t"])
@pytest.mark.parametrize("column", ["user", "1", "n"])
def test_csv_column_matches_the_csv_module(tmp_path, delimiter, column):
    data = csv_bytes(QUOTED_ROWS, delimiter, short=[b"\r\n"])  # a last empty row is skipped
    path = tmp_path / "data.csv"
    path.write_bytes(data)
    index = {"user": 0, "1": 0, "n": 2}[column]
    values = csv_column(data, index, delimiter)
    if column != "1":
        values = values[1:]  # a name means a header row
    expected = drisk.HyperLogLog(P)
    drisk.update_many(expected, values)
    registers, info = counted(tmp_path, "--csv", "-d", delimiter, "--column", column, path)
    assert registers == expected.registers()
    assert (info["rows"], info["items"], info["skipped"]) == (len(values) + 1, len(values), 1)


@pytest.mark.parametrize("compress", [gzip.compress, lambda data: b"\xef\xbb\xbf" + data])
def test_compressed_csv_and_a_byte_order_mark(tmp_path, compress):
    data = csv_bytes(QUOTED_ROWS)
    path = tmp_path / "data.csv.gz"
    path.write_bytes(compress(data))
    expected = drisk.HyperLogLog(P)
    drisk.update_many(expected, csv_column(data, 0)[1:])
    assert counted(tmp_path, "--csv", "--column", "user", path)[0] == expected.registers()


def test_truncated_compressed_csv(tmp_path):
    data = gzip.compress(csv_bytes(QUOTED_ROWS * 50))
    proc = run("count", "--csv", "--column", "user", input=data[: len(data) // 2])
    assert error_line(proc).startswith("drisk: standard input: truncated gzip data: ")


def test_csv_from_standard_input_with_a_numbered_header(tmp_path):
    data = csv_bytes(QUOTED_ROWS)
    expected = drisk.HyperLogLog(P)
    drisk.update_many(expected, csv_column(data, 2)[1:])
    assert counted(tmp_path, "--csv", "--header", "--column", "3", input=data)[0] == expected.registers()


@pytest.mark.parametrize(
    "args, data, message",
    [
        (["--csv"], b"a\n", "--csv needs --column NAME or --column N"),
        (["--csv", "--column", "b"], b"a\n1\n", "drisk: standard input: no column 'b' (columns: a)"),
        (["--csv", "--column", "b"], b"", "drisk: standard input: no header row: the input is empty"),
        (["--csv", "--column", "2", "--header"], b"a\n", "drisk: standard input: no column 2: the header has 1"),
        (["--csv", "--column", "a"], b'a\n"x"y\n', "drisk: standard input: bad CSV: ',' expected after '\"'"),
        (["--csv", "--column", "a"], b"a\n\xff\n", "drisk: standard input: a value is not valid UTF-8"),
        (["--csv", "--column", "0"], b"a\n", "drisk: columns are numbered from 1"),
        (["--column", "a"], b"a\n", "drisk: standard input: --column reads CSV (with --csv) or Parquet"),
        (["-f", "1", "--csv", "--column", "a"], b"a\n", "drisk: --field picks a field of text lines"),
        (["-d", ","], b"a\n", "drisk: --delimiter goes with --field or --csv"),
        (["--header", "--column", "a"], b"a\n", "drisk: --header goes with --csv"),
        (["-f", "0"], b"a\n", "drisk: invalid field list '0': fields are numbered from 1"),
        (["-f", "x"], b"a\n", "drisk: invalid field list 'x': expected numbers from 1"),
        (["-f", "1-17"], b"a\n", "drisk: too many fields in '1-17': at most 16"),
        (["-f", "1", "-d", "ab"], b"a\n", "drisk: the delimiter must be one ASCII character"),
        (["-f", "1", "-d", "é"], b"a\n", "drisk: the delimiter must be one ASCII character"),
    ],
)
def test_option_errors(args, data, message):
    if not message.startswith("drisk: "):
        message = f"drisk: {message}"
    assert error_line(run("count", *args, input=data)).startswith(message)


# --- tables -------------------------------------------------------------------------


def write_tables(tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.feather as feather
    import pyarrow.parquet as pq

    rng = random.Random(3)
    users = [rng.choice(["ann", "bob", "zéro", ""]) + str(rng.randrange(50)) for _ in range(5000)]
    users = [None if rng.random() < 0.1 else user for user in users]
    table = pa.table({"id": list(range(5000)), "user": users})
    paths = {
        "parquet": tmp_path / "t.parquet",
        "feather": tmp_path / "t.feather",
        "ipc-stream": tmp_path / "t.arrows",
    }
    pq.write_table(table, paths["parquet"], row_group_size=1000)
    feather.write_feather(table, paths["feather"], chunksize=700)
    with pa.ipc.new_stream(paths["ipc-stream"], table.schema) as writer:
        writer.write_table(table, max_chunksize=900)
    return table, paths


@pytest.mark.parametrize("kind", ["parquet", "feather", "ipc-stream"])
@pytest.mark.parametrize("column", ["user", "2", "id"])
def test_table_column_matches_update_many(tmp_path, kind, column):
    table, paths = write_tables(tmp_path)
    name = {"2": "user"}.get(column, column)
    values = table.column(name).to_pylist()
    expected = drisk.HyperLogLog(P)
    drisk.update_many(expected, values)
    registers, info = counted(tmp_path, "--column", column, paths[kind])
    assert registers == expected.registers()
    nulls = values.count(None)
    assert (info["rows"], info["items"], info["skipped"]) == (len(values), len(values) - nulls, nulls)


@pytest.mark.parametrize("by", [[], ["--by", "id"]], ids=["count", "count --by"])
def test_each_file_read_ahead_is_counted_at_its_turn(tmp_path, by):
    """Table files are read a file ahead: every file is counted once, in
    its turn, a text file and a repeated file among them; a file that
    fails is reported by name at its turn, after those before it."""
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    table, paths = write_tables(tmp_path)
    other = tmp_path / "other.parquet"
    pq.write_table(pa.table({"id": [7, 8, 9], "user": ["x", "y", None]}), other)
    inputs = [paths["parquet"], other, paths["feather"], paths["parquet"], other]
    expected = drisk.HyperLogLog(P)
    drisk.update_many(expected, [*table.column("user").to_pylist(), "x", "y", None])
    if not by:
        registers, info = counted(tmp_path, "--column", "user", *inputs)
        assert registers == expected.registers()
        assert info["rows"] == 3 * 5000 + 2 * 3
    else:
        proc = run("count", "--column", "user", "--by", "id", "--save", tmp_path / "g.parquet", *inputs)
        assert proc.returncode == 0, proc.stderr
        saved = pq.read_table(tmp_path / "g.parquet")
        assert saved.num_rows == 5000
        nulls = 3 * table.column("user").null_count + 2
        assert f"skipped {nulls} of {3 * 5000 + 2 * 3} rows" in proc.stderr.decode()
    broken, missing = tmp_path / "broken.parquet", tmp_path / "no-user.parquet"
    broken.write_bytes(b"PAR1" + b"\0" * 100)
    pq.write_table(pa.table({"id": [1]}), missing)
    line = error_line(run("count", "--column", "user", *by, paths["parquet"], broken, paths["parquet"]))
    assert line.startswith(f"drisk: '{broken}': ")
    line = error_line(run("count", "--column", "user", *by, paths["parquet"], paths["parquet"], missing))
    assert f"'{missing}': no column 'user'" in line


@pytest.mark.parametrize("kind", ["parquet", "feather", "ipc-stream"])
def test_tables_are_never_counted_as_lines(tmp_path, kind):
    paths = write_tables(tmp_path)[1]
    proc = run("count", paths[kind])
    assert "pass --column NAME (or N) to count one of its columns" in error_line(proc)
    assert "not text: pick one of its columns with --column alone" in error_line(run("count", "-f", "1", paths[kind]))
    assert "no column 'nope' (columns: id, user)" in error_line(run("count", "--column", "nope", paths[kind]))


@pytest.mark.parametrize(
    "data, binary",
    [
        (b"a\0b\nc\n", True),
        (b"plain\ntext\n", False),
        (gzip.compress(b"a\nb\n"), False),  # compressed data holds NUL bytes, its lines none
    ],
    ids=["nul bytes", "text", "gzip"],
)
def test_binary_files_are_counted_with_a_note(tmp_path, data, binary):
    path = tmp_path / "input"
    path.write_bytes(data)
    proc = run("count", path)
    assert proc.returncode == 0 and proc.stdout.strip() == b"2"
    assert (b"NUL bytes" in proc.stderr) == binary


def test_tables_without_pyarrow(tmp_path):
    path = write_tables(tmp_path)[1]["parquet"]
    code = "import sys; sys.modules['pyarrow'] = None\nfrom drisk.cli import main\nraise SystemExit(main(sys.argv[1:]))"
    proc = subprocess.run([sys.executable, "-c", code, "count", "--column", "user", path], capture_output=True)
    assert error_line(proc) == (
        f"drisk: '{path}' is a Parquet file: reading it needs pyarrow (pip install 'drisk[arrow]')"
    )


def test_parquet_through_a_pipe_and_a_redirect(tmp_path):
    path = write_tables(tmp_path)[1]["parquet"]
    proc = subprocess.run([*DRISK, "count", "--column", "user"], stdin=path.open("rb"), capture_output=True)
    assert proc.returncode == 0 and proc.stdout == run("count", "--column", "user", path).stdout
    proc = run("count", "--column", "user", input=path.read_bytes())
    assert "is a Parquet file, which cannot be read through a pipe: pass its path" in error_line(proc)


def test_broken_table(tmp_path):
    path = tmp_path / "bad.parquet"
    path.write_bytes(b"PAR1" + b"\0" * 100)
    pytest.importorskip("pyarrow")
    assert error_line(run("count", "--column", "a", path)).startswith(f"drisk: '{path}': cannot read a Parquet file: ")


@pytest.mark.parametrize("named", [None, "system"], ids=["the tool's choice", "the user's"])
def test_the_tool_takes_a_memory_pool_pyarrow_has(tmp_path, named):
    """The tool names jemalloc to pyarrow (before importing it) only where
    pyarrow has it, as pyarrow itself says: naming one it lacks prints a
    warning. A pool the user names is kept."""
    pa = pytest.importorskip("pyarrow")
    import os

    import pyarrow.parquet as pq

    try:
        pa.jemalloc_memory_pool()
        has = True
    except NotImplementedError:
        has = False
    path = tmp_path / "t.parquet"
    pq.write_table(pa.table({"user": ["a", "b", None]}), path)
    env = {k: v for k, v in os.environ.items() if k != "ARROW_DEFAULT_MEMORY_POOL"}
    if named:
        env["ARROW_DEFAULT_MEMORY_POOL"] = named
    code = (
        "import sys; from drisk import cli; status = cli.main(sys.argv[1:]); import pyarrow as pa;"
        "print(pa.default_memory_pool().backend_name, file=sys.stderr); sys.exit(status)"
    )
    proc = subprocess.run(
        [sys.executable, "-c", code, "count", "--column", "user", path], env=env, capture_output=True, text=True
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "2\n"
    assert proc.stderr.splitlines()[-1] == (named or ("jemalloc" if has else "system"))
    assert "Unsupported backend" not in proc.stderr


def test_the_program_waits_for_its_reading_ahead_to_end():
    """A command that ends (here failing) while a file is read ahead: the
    read-ahead thread is stopped and waited for before the interpreter's
    shutdown, which would end it in the middle of what it frees (inside a
    pyarrow reader's destructor, an abort)."""
    code = (
        "import time\n"
        "from drisk import _cli_inputs, cli\n"
        "def batches():\n"
        "    try:\n"
        "        yield from range(10)\n"
        "    finally:\n"
        "        time.sleep(0.3)\n"
        "        print('freed', flush=True)\n"
        "taken = _cli_inputs.prefetched(batches())\n"
        "next(taken)\n"
        "del taken\n"
        "cli.main = lambda argv=None: 2\n"
        "cli.entry()\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2, proc.stderr
    assert proc.stdout == "freed\n"
