"""drisk count --by: distinct values per group, against per-group sketches
made with update() and against exact counts."""

import gzip
import json
import random
import subprocess
import sys

import pytest

import drisk

DRISK = [sys.executable, "-m", "drisk"]


def run(*args, input=None):
    proc = subprocess.run([*DRISK, *map(str, args)], input=input, capture_output=True)
    assert b"Traceback" not in proc.stderr
    return proc


def error_line(proc):
    err = proc.stderr.decode()
    assert err.count("\n") == 1 and err.startswith("drisk: "), err
    return err.strip()


def fields_of(line, delimiter):
    """A line's fields as awk (no delimiter: runs of blanks) or cut (-d)
    split them; an empty line has none."""
    if not line:
        return []
    return line.split(delimiter) if delimiter is not None else line.replace(b"\t", b" ").split()


def oracle(data, key, values, delimiter, p):
    """Per key: a sketch updated with each line's value, as the tool picks
    them; and the lines skipped."""
    sep = delimiter if delimiter is not None else b" "
    sketches, skipped = {}, 0
    for line in data.split(b"\n")[:-1] if data.endswith(b"\n") else data.split(b"\n"):
        line = line.removesuffix(b"\r")
        fields = fields_of(line, delimiter)
        if len(fields) < max(key + values):
            skipped += 1
            continue
        k = sep.join(fields[n - 1] for n in key)
        sketches.setdefault(k, drisk.HyperLogLog(p)).update(sep.join(fields[n - 1] for n in values))
    return sketches, skipped


def saved_groups(path, column="key"):
    import pyarrow.parquet as pq

    table = pq.read_table(path)
    keys = table.column(column).to_pylist()
    return {
        k.encode() if isinstance(k, str) else k: drisk.unpack(s)
        for k, s in zip(keys, table.column("sketch").to_pylist())
    }


def random_lines(seed, n, delimiter):
    rng = random.Random(seed)
    sep = delimiter.decode() if delimiter is not None else None
    words = ["a", "bb", "ccc", "é", "x y" if sep else "xy", "", "1,2"]
    out = []
    for i in range(n):
        fields = [f"k{rng.randrange(40)}", rng.choice(words), f"v{rng.randrange(3000)}", rng.choice(words)]
        fields = fields[: rng.choice([4, 4, 4, 3, 2, 1, 0])]
        if sep is None:
            fields = [f or "z" for f in fields]
            line = "".join(
                f"{' ' * rng.randrange(1, 3) if j or rng.random() < 0.2 else ''}{f}" for j, f in enumerate(fields)
            )
            line += "\t" if rng.random() < 0.1 else ""
        else:
            line = sep.join(fields)
        out.append(line + ("\r" if i % 11 == 0 else ""))
    return ("\n".join(out) + "\n").encode()


@pytest.mark.parametrize("delimiter", [None, b",", b"\t"])
@pytest.mark.parametrize(("key", "values"), [("1", "3"), ("1,2", "3"), ("1", "3,4"), ("2", "1-3"), ("4", "1")])
def test_groups_are_register_for_register_the_oracle(tmp_path, delimiter, key, values):
    """Each group's saved sketch has exactly the registers of a sketch fed
    update() with that group's values (split as awk or cut would), and the
    skipped lines are those without the key or the value."""
    pytest.importorskip("pyarrow")
    from drisk._cli_inputs import parse_fields

    data = random_lines(len(key) * 7 + len(values), 30_000, delimiter)
    source, saved = tmp_path / "in.txt", tmp_path / "groups.parquet"
    source.write_bytes(data)
    d = ["-d", "\\t" if delimiter == b"\t" else delimiter.decode()] if delimiter else []
    proc = run("count", *d, "--by", key, "-f", values, "-p", 10, "--save", saved, source)
    assert proc.returncode == 0, proc.stderr
    expected, skipped = oracle(data, parse_fields(key), parse_fields(values), delimiter, 10)
    got = saved_groups(saved)
    assert got.keys() == expected.keys()
    for k, sketch in expected.items():
        assert got[k].registers() == sketch.registers(), k
    if skipped:
        assert f"skipped {skipped} of ".encode() in proc.stderr
    printed = proc.stdout.decode().splitlines()
    assert len(printed) == len(expected)


def test_estimates_order_and_exact_counts(tmp_path):
    """One line per group, "estimate<TAB>key", largest first and equal
    estimates by key; every exact count within --json's bounds."""
    rng = random.Random(3)
    sizes = {f"g{k:03d}": rng.choice([1, 2, 5, 40, 200, 3000]) for k in range(120)}
    lines = [f"{g} {g}-{v}" for g, n in sizes.items() for v in range(n) for _ in range(2)]
    rng.shuffle(lines)
    source = tmp_path / "in.txt"
    source.write_text("\n".join(lines) + "\n")
    proc = run("count", "--by", 1, "-f", 2, source)
    assert proc.returncode == 0 and proc.stderr == b""
    rows = [line.split("\t") for line in proc.stdout.decode().splitlines()]
    assert sorted(key for _, key in rows) == sorted(sizes)
    assert rows == sorted(rows, key=lambda r: (-int(r[0]), r[1]))
    for estimate, key in rows:
        if sizes[key] <= 5:
            assert int(estimate) == sizes[key]  # a handful of values: no two share a register
    objects = [json.loads(line) for line in run("count", "--json", "--by", 1, "-f", 2, source).stdout.splitlines()]
    assert [o["key"] for o in objects] == [key for _, key in rows]
    for o in objects:
        assert set(o) == {"key", "estimate", "lower", "upper"}
        assert o["lower"] <= o["estimate"] <= o["upper"]
        assert round(o["estimate"]) == int(dict((k, e) for e, k in rows)[o["key"]])
    # A 95 % interval: about one group in twenty may miss its exact count.
    assert sum(o["lower"] <= sizes[o["key"]] <= o["upper"] for o in objects) >= 0.85 * len(objects)
    top = run("count", "--by", 1, "-f", 2, "--top", 7, source).stdout.decode().splitlines()
    assert top == proc.stdout.decode().splitlines()[:7]


def test_figures_are_those_of_the_library(tmp_path):
    """The estimate and the bounds of a group are drisk.summary()'s of its
    sketch (improved estimator, 95 %)."""
    pytest.importorskip("pyarrow")
    source, saved = tmp_path / "in.txt", tmp_path / "g.parquet"
    source.write_text("".join(f"{i % 7} {i * 7919 % 100_003}\n" for i in range(60_000)))
    proc = run("count", "--json", "--by", 1, "-f", 2, "--save", saved, source)
    sketches = saved_groups(saved)
    for line in proc.stdout.splitlines():
        o = json.loads(line)
        info = drisk.summary(sketches[o["key"].encode()], 0.95, "improved")
        assert (o["estimate"], o["lower"], o["upper"]) == (info["estimate"], info["lower"], info["upper"])


def test_inputs_do_not_run_into_each_other(tmp_path):
    """Several inputs, compressed or not and standard input, are one count;
    a last line without a newline ends with its input."""
    first, second = tmp_path / "a.txt", tmp_path / "b.gz"
    first.write_bytes(b"k 1\nk 2")
    second.write_bytes(gzip.compress(b"k 3\nj 1\n"))
    proc = run("count", "--json", "--by", 1, "-f", 2, first, second, "-", input=b"k 2\r\nj 9")
    assert proc.returncode == 0, proc.stderr
    got = {o["key"]: round(o["estimate"]) for o in map(json.loads, proc.stdout.splitlines())}
    assert got == {"k": 3, "j": 2}


def test_keys_are_shown_on_one_line(tmp_path):
    """Keys that are not UTF-8 or hold control characters are escaped in
    the text output; --json gives the text with \\xNN for bad bytes."""
    source = tmp_path / "in.txt"
    source.write_bytes(b"caf\xe9,1\nx\ty,2\ncaf\xc3\xa9,3\n")
    text = run("count", "-d", ",", "--by", 1, "-f", 2, source).stdout.decode()
    assert sorted(text.splitlines()) == ["1\tcaf\\xe9", "1\tcafé", "1\tx\\ty"]
    keys = {
        json.loads(line)["key"]
        for line in run("count", "-d", ",", "--json", "--by", 1, "-f", 2, source).stdout.splitlines()
    }
    assert keys == {"caf\\xe9", "café", "x\ty"}


def test_many_keys_each_their_own_group(tmp_path):
    """200,000 distinct keys: as many groups, each with its one value."""
    source = tmp_path / "in.txt"
    source.write_text("".join(f"key{i} {i}\n" for i in range(200_000)))
    rows = run("count", "--by", 1, "-f", 2, source).stdout.decode().splitlines()
    assert len(rows) == 200_000 and {r.split("\t")[0] for r in rows} == {"1"}


def test_save_merge_and_show(tmp_path):
    """--save writes the key and packed sketches; merge unions every group of
    the tables (and plain sketch files) into one; show summarises a table."""
    pytest.importorskip("pyarrow")
    source, saved, plain = tmp_path / "in.txt", tmp_path / "g.parquet", tmp_path / "p.hll"
    source.write_text("".join(f"{i % 3} {i}\n" for i in range(3000)))
    assert run("count", "--by", 1, "-f", 2, "--save", saved, source).returncode == 0
    h = drisk.HyperLogLog()
    h.update(b"other")
    plain.write_bytes(drisk.pack(h))
    merged = json.loads(run("merge", "--json", saved, plain).stdout)
    whole = drisk.HyperLogLog()
    drisk.update_many(whole, [str(i).encode() for i in range(3000)] + [b"other"])
    assert merged["estimate"] == drisk.estimate(whole)
    shown = json.loads(run("show", "--json", saved).stdout)
    assert shown["groups"] == 3 and shown["form"] == "table" and shown["key_columns"] == ["key"]
    assert "groups: 3" in run("show", saved).stdout.decode()


@pytest.mark.parametrize(("kind", "n"), [("csv", 40_000), ("parquet", 40_000), ("csv", 700_000)])
def test_columns_by_against_exact_counts(tmp_path, kind, n):
    """--csv --column X --by Y and a table's columns: exact counts within the
    bounds, the groups of several inputs put together (CSV's also past a
    batch of rows a file)."""
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    rng = random.Random(5)
    rows = [(f"u{rng.randrange(5000)}", f"p{rng.randrange(30)}") for _ in range(n)]
    exact = {}
    for user, page in rows:
        exact.setdefault(page, set()).add(user)
    files = [tmp_path / f"part{k}.{kind}" for k in range(2)]
    for k, path in enumerate(files):
        part = rows[k::2]
        if kind == "csv":
            path.write_text("user,page\n" + "".join(f"{u},{p}\n" for u, p in part))
        else:
            pq.write_table(pa.table({"user": [u for u, _ in part], "page": [p for _, p in part]}), path)
    csv = ["--csv"] if kind == "csv" else []
    saved = tmp_path / "g.parquet"
    proc = run("count", *csv, "--column", "user", "--by", "page", "--json", "--save", saved, *files)
    assert proc.returncode == 0, proc.stderr
    got = {o["key"]: o for o in map(json.loads, proc.stdout.splitlines())}
    assert got.keys() == exact.keys()
    inside = sum(got[k]["lower"] <= len(v) <= got[k]["upper"] for k, v in exact.items())
    assert inside >= 0.9 * len(exact)
    table = pq.read_table(saved)
    assert table.column_names == ["page", "sketch"] and table.num_rows == len(exact)
    # Register for register, as update_many() of the group's str values.
    for page, cell in zip(table.column("page").to_pylist(), table.column("sketch").to_pylist()):
        h = drisk.HyperLogLog(12)
        drisk.update_many(h, sorted(exact[page]))
        assert drisk.unpack(cell).registers() == h.registers()


@pytest.mark.parametrize("kind", ["csv", "parquet", "arrow"])
def test_several_key_columns_against_the_library(tmp_path, kind):
    """--by names (or numbers) several columns of CSV and tables: one group
    per combination, a missing key its own, register for register as
    sketch_by() of the same rows; the saved table has every key column."""
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    rng = random.Random(11)
    n = 5000
    table = pa.table(
        {
            "user": [f"u{rng.randrange(900)}" for _ in range(n)],
            "page": [rng.choice(["/a", "/b", "/c", None if kind != "csv" else "/d"]) for _ in range(n)],
            "day": [str(rng.randrange(3)) for _ in range(n)],
        }
    )
    path = tmp_path / f"t.{kind}"
    if kind == "csv":
        path.write_text("user,page,day\n" + "".join(f"{u},{p},{d}\n" for u, p, d in zip(*table.to_pydict().values())))
    elif kind == "parquet":
        pq.write_table(table, path, row_group_size=700)
    else:
        with pa.ipc.new_file(path, table.schema) as out:
            for batch in table.to_batches(max_chunksize=900):
                out.write_batch(batch)
    csv = ["--csv"] if kind == "csv" else []
    saved = tmp_path / "g.parquet"
    proc = run("count", *csv, "--column", "user", "--by", "day,page", "--json", "--save", saved, path)
    assert proc.returncode == 0, proc.stderr
    want = drisk.sketch_by(table, ["day", "page"], "user")
    expected = dict(zip(zip(want["day"].to_pylist(), want["page"].to_pylist()), want["sketch"].to_pylist()))
    got = pq.read_table(saved)
    assert got.column_names == ["day", "page", "sketch"]
    assert dict(zip(zip(got["day"].to_pylist(), got["page"].to_pylist()), got["sketch"].to_pylist())) == expected
    shown = {tuple(o["key"]) for o in map(json.loads, proc.stdout.splitlines())}
    assert shown == set(expected)
    by_number = run("count", *csv, "--column", "1", "--by", "3,page", path)
    assert by_number.returncode == 0, by_number.stderr
    assert len(by_number.stdout.splitlines()) == len(expected)


@pytest.mark.parametrize("by", [["page"], ["day", "page"]], ids=["page", "day,page"])
def test_table_files_of_differing_types_share_groups(tmp_path, by):
    """Several table files whose groups recur: keys and values of other
    types from file to file (text as string and large_string, a Parquet
    file's and an Arrow file's, ids as int64 and int32), a file whose
    columns have other names (--by and --column by number). Each group's
    registers are those of sketch_by() of all the rows."""
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    rng = random.Random(17)
    parts = []
    for _ in range(5):
        n = 3000
        parts.append(
            {
                "day": [rng.randrange(3) for _ in range(n)],
                "page": [rng.choice([f"/p{i}" for i in range(60)] + [None]) for _ in range(n)],
                "user": [rng.randrange(2000) for _ in range(n)],
            }
        )
    paths = []
    for k, rows in enumerate(parts):
        text = pa.large_string() if k == 2 else pa.string()
        ids = pa.int32() if k == 3 else pa.int64()
        table = pa.table(
            {"day": rows["day"], "page": pa.array(rows["page"], text), "user": pa.array(rows["user"], ids)}
        )
        path = tmp_path / f"part{k}.{'arrow' if k == 4 else 'parquet'}"
        if k == 4:
            with pa.ipc.new_file(path, table.schema) as out:
                out.write_table(table, max_chunksize=700)
        else:
            pq.write_table(table, path, row_group_size=900)
        paths.append(path)
    # A file with the first one's rows under other names: the same groups.
    renamed = tmp_path / "renamed.parquet"
    pq.write_table(pa.table({"d": parts[0]["day"], "p": parts[0]["page"], "u": parts[0]["user"]}), renamed)
    whole = pa.table({name: sum((rows[name] for rows in parts), []) for name in ["day", "page", "user"]})
    want = drisk.sketch_by(whole, by, "user")
    expected = dict(zip(zip(*(want[k].to_pylist() for k in by)), want["sketch"].to_pylist()))

    def groups(saved):
        got = pq.read_table(saved)
        assert got.column_names == [*by, "sketch"]
        return dict(zip(zip(*(got[k].to_pylist() for k in by)), got["sketch"].to_pylist()))

    proc = run("count", "--column", "user", "--by", ",".join(by), "--save", tmp_path / "g.parquet", *paths)
    assert proc.returncode == 0, proc.stderr
    assert groups(tmp_path / "g.parquet") == expected
    numbers = ",".join({"day": "1", "page": "2"}[k] for k in by)
    proc = run("count", "--column", "3", "--by", numbers, "--save", tmp_path / "n.parquet", *paths, renamed)
    assert proc.returncode == 0, proc.stderr
    assert groups(tmp_path / "n.parquet") == expected


@pytest.mark.parametrize("by", [["page"], ["day", "page"]], ids=["page", "day,page"])
def test_merge_by_rolls_tables_up_as_rollup_does(tmp_path, by):
    """merge --by over daily tables of group sketches (one at a smaller p):
    the groups and the written table are rollup()'s of all of them, and the
    fold is noted."""
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    rng = random.Random(4)
    days = []
    for day in range(3):
        rows = pa.table(
            {
                "day": [day % 2] * 2000,
                "page": [rng.choice(["/a", "/b", None]) for _ in range(2000)],
                "user": [rng.randrange(3000) for _ in range(2000)],
            }
        )
        days.append(drisk.sketch_by(rows, ["day", "page"], "user", p=11 if day == 2 else 12))
    paths = []
    for k, table in enumerate(days):
        paths.append(tmp_path / f"day{k}.parquet")
        pq.write_table(table, paths[-1], row_group_size=2)
    out = tmp_path / "rolled.parquet"
    proc = run("merge", "--by", ",".join(by), "--json", "-o", out, *paths)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.decode().strip() == "drisk: note: folded to p=11 (the smallest precision among the inputs)"
    want = drisk.rollup(pa.concat_tables(days), by)

    def cells(table):
        keys = zip(*(table.column(name).to_pylist() for name in by))
        return dict(zip(keys, table.column("sketch").to_pylist()))

    got = pq.read_table(out)
    assert got.column_names == [*by, "sketch"]
    assert cells(got) == cells(want)
    lines = [json.loads(line) for line in proc.stdout.splitlines()]
    shown = {tuple(o["key"]) if len(by) > 1 else (o["key"],): o["estimate"] for o in lines}
    assert shown == {key: drisk.estimate(cell) for key, cell in cells(want).items()}


@pytest.mark.parametrize(
    ("by", "name", "fragment"),
    [
        ("nope", "a.parquet", "no column 'nope'"),
        ("k", "note.txt", "is not a table of group sketches"),
        ("k,,k", "a.parquet", "--by names key columns, each once"),
    ],
    ids=["unknown-key", "not-a-table", "bad-list"],
)
def test_merge_by_refusals(tmp_path, by, name, fragment):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    pq.write_table(drisk.sketch_by(pa.table({"k": ["x"], "v": [1]}), "k", "v"), tmp_path / "a.parquet")
    (tmp_path / "note.txt").write_text("x\n")
    proc = run("merge", "--by", by, tmp_path / name)
    assert proc.returncode == 2
    assert fragment in error_line(proc)


def test_every_table_column_is_checked_before_any_file_is_read(tmp_path):
    """A name that the second file lacks is reported, not the damage that
    reading the first file would find."""
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"k": ["a"], "v": ["x"]}), tmp_path / "good.parquet")
    pq.write_table(pa.table({"k": ["a"], "w": ["x"]}), tmp_path / "other.parquet")
    damaged = bytearray((tmp_path / "good.parquet").read_bytes())
    damaged[4:40] = bytes(36)  # the first column chunk's pages, not the footer
    (tmp_path / "damaged.parquet").write_bytes(bytes(damaged))
    proc = run("count", "--column", "v", "--by", "k", tmp_path / "damaged.parquet", tmp_path / "other.parquet")
    assert proc.returncode == 2
    assert "other.parquet': no column 'v'" in error_line(proc)


@pytest.mark.parametrize(
    ("args", "fragment"),
    [
        (["--by", "1"], "--by counts per group a field (--field) or a column (--column)"),
        (["--column", "a", "--by", "b,,a", "t.parquet"], "--by names or numbers key columns, separated by commas"),
        (["--column", "a", "--by", "b,b", "t.parquet"], "--by names a column twice"),
        (["--top", "3", "-f", "1"], "--top goes with --by"),
        (["--by", "1", "-f", "2", "--top", "0"], "argument --top: expected a positive whole number"),
        (["--by", "1", "-f", "2", "--top", "x"], "argument --top: expected a positive whole number"),
        (["--by", "0", "-f", "2"], "invalid field list '0'"),
        (["--by", "1", "-f", "2", "--estimator", "ml"], "--by reports the improved estimator's figures"),
        (["--by", "1", "-f", "2", "missing.txt"], "cannot read 'missing.txt': No such file or directory"),
        (["--by", "1", "-f", "2", "bad.gz"], "'bad.gz': truncated gzip data"),
        (["--by", "1", "-f", "2", "t.parquet"], "is a Parquet file, not text"),
        (["--csv", "--column", "a", "--by", "nope", "t.csv"], "no column 'nope' (columns: a, b)"),
        (["--column", "a", "--by", "a", "t.parquet"], "--by and --column name the same column"),
    ],
)
def test_errors_are_one_line_with_status_2(tmp_path, monkeypatch, args, fragment):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    monkeypatch.chdir(tmp_path)
    (tmp_path / "bad.gz").write_bytes(gzip.compress(b"a 1\n" * 1000)[:-30])
    (tmp_path / "t.csv").write_text("a,b\n1,2\n")
    pq.write_table(pa.table({"a": [1], "b": [2]}), tmp_path / "t.parquet")
    proc = run("count", *args, input=b"a 1\n")
    assert proc.returncode == 2
    assert fragment in error_line(proc)
    assert proc.stdout == b""


def test_save_without_pyarrow_fails_before_reading(tmp_path):
    """--save with --by needs pyarrow: one line naming the extra, status 2,
    before any input is read (standard input is left unread)."""
    code = (
        "import sys; sys.modules['pyarrow'] = None\n"
        "from drisk.cli import main\n"
        "sys.exit(main(['count', '--by', '1', '-f', '2', '--save', sys.argv[1]]))\n"
    )
    proc = subprocess.run(
        [sys.executable, "-c", code, str(tmp_path / "g.parquet")], input=b"a 1\n", capture_output=True
    )
    assert proc.returncode == 2
    assert error_line(proc) == "drisk: --save with --by needs pyarrow (pip install 'drisk[arrow]')"
    assert not list(tmp_path.iterdir())


def test_failed_run_leaves_the_saved_table(tmp_path):
    """All or nothing: an input failing part-way leaves an existing table as
    it was, and no temporary file behind."""
    pytest.importorskip("pyarrow")
    source, saved = tmp_path / "in.txt", tmp_path / "g.parquet"
    source.write_text("a 1\n")
    saved.write_bytes(b"old")
    proc = run("count", "--by", 1, "-f", 2, "--save", saved, source, tmp_path / "missing")
    assert proc.returncode == 2
    assert saved.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["g.parquet", "in.txt"]


def test_bad_tables_for_merge_and_show(tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    no_sketch, bad_cell = tmp_path / "a.parquet", tmp_path / "b.parquet"
    pq.write_table(pa.table({"k": [1]}), no_sketch)
    pq.write_table(pa.table({"k": [1], "sketch": pa.array([b"nope"], pa.binary())}), bad_cell)
    for command in ("merge", "show"):
        assert "is not a valid sketch table: no 'sketch' column" in error_line(run(command, no_sketch))
        proc = run(command, bad_cell)
        assert proc.returncode == 2 and "is not a valid sketch table: row 0" in error_line(proc)


def test_ctrl_c_while_grouping_exits_130(tmp_path):
    """Ctrl-C in the middle of a long input: status 130 within a moment, and
    no table written (nor a temporary file left)."""
    pytest.importorskip("pyarrow")
    import signal
    import time

    saved = tmp_path / "g.parquet"
    proc = subprocess.Popen(
        [*DRISK, "count", "-q", "--by", "1", "-f", "2", "--save", str(saved)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    chunk = b"".join(b"k%d v%d\n" % (i % 1000, i) for i in range(100_000))
    for _ in range(20):
        proc.stdin.write(chunk)  # the tool is busy grouping these
    proc.stdin.flush()
    proc.send_signal(signal.SIGINT)
    started = time.monotonic()
    _, err = proc.communicate(timeout=30)
    assert time.monotonic() - started < 5
    assert proc.returncode == 130
    assert err.decode().strip() == "drisk: interrupted"
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("long", ["key", "value"])
def test_lines_longer_than_the_buffer(tmp_path, long):
    """A line longer than the reading buffer (8 MiB) is one line all the
    same: its key and value are those of the oracle."""
    pytest.importorskip("pyarrow")
    big = b"x" * (20 * 1024 * 1024)
    key, value = (big, b"v") if long == "key" else (b"k", big)
    data = b"a 1\n" + key + b" " + value + b"\r\nk w\na 2"
    source, saved = tmp_path / "in.txt", tmp_path / "g.parquet"
    source.write_bytes(data)
    assert run("count", "--by", 1, "-f", 2, "--save", saved, source).returncode == 0
    expected, _ = oracle(data, (1,), (2,), None, 12)
    got = saved_groups(saved)
    assert got.keys() == expected.keys()
    assert all(got[k].registers() == expected[k].registers() for k in expected)


@pytest.mark.parametrize("by", [[], ["--by", "page"], ["--by", "day,page"]], ids=["count", "by text", "by two"])
def test_tables_are_counted_without_pandas(tmp_path, by):
    """pyarrow imports pandas for some of its calls (pa.array of Python
    objects, Schema.empty_table): a third of a second of the tool's time
    that no table read needs."""
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    path = tmp_path / "t.parquet"
    rows = 50_000
    table = pa.table(
        {
            "day": pa.array([k % 3 for k in range(rows)], pa.int32()),
            "page": pa.array([f"p{k % 7}" for k in range(rows)]).dictionary_encode(),
            "user": pa.array(range(rows), pa.int64()),
        }
    )
    pq.write_table(table, path, row_group_size=10_000)
    code = "import sys; from drisk import cli; status = cli.main(sys.argv[1:]); print('pandas' in sys.modules)"
    proc = subprocess.run(
        [sys.executable, "-c", code, "count", "--quiet", "--column", "user", *by, str(path), str(path)],
        capture_output=True,
        text=True,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1] == "False"


@pytest.mark.parametrize("by", [[], ["--by", "page"]], ids=["count", "by text"])
def test_the_tool_reads_tables_without_numpy(tmp_path, capsys, by):
    """pyarrow imports numpy where it is installed, a tenth of a second
    that nothing the tool does needs; the tool's process leaves it out where
    the installed pyarrow can do without it, with the same counts."""
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    from drisk import cli

    path = tmp_path / "t.parquet"
    pq.write_table(
        pa.table({"page": [f"p{k % 7}" for k in range(30_000)], "user": list(range(30_000))}),
        path,
        row_group_size=7_000,
    )
    code = (
        "import atexit, sys; atexit.register(lambda: print(sys.modules.get('numpy', 'absent') is None));"
        "from drisk.cli import entry; entry()"
    )
    proc = subprocess.run(
        [sys.executable, "-c", code, "count", "--column", "user", *by, str(path)], capture_output=True, text=True
    )
    assert proc.returncode == 0, proc.stderr
    *counts, left_out = proc.stdout.splitlines()
    assert left_out == str(not cli.needs_numpy(cli.arrow_config()))
    # The same run in this process, numpy imported.
    assert "numpy" in sys.modules
    assert cli.main(["count", "--column", "user", *by, str(path)]) == 0
    assert counts == capsys.readouterr().out.splitlines()


@pytest.mark.parametrize(
    ("lines", "needs"),
    [
        (["#define ARROW_VERSION_MAJOR 26", "#define ARROW_JEMALLOC"], False),
        (["#define ARROW_VERSION_MAJOR 18"], False),
        (["#define ARROW_VERSION_MAJOR 17"], True),
        (['#define ARROW_VERSION_STRING "26.0.1"'], True),
        ([], True),
    ],
)
def test_numpy_is_left_out_only_for_a_pyarrow_known_to_do_without(lines, needs):
    from drisk import cli

    assert cli.needs_numpy(lines) is needs


@pytest.mark.parametrize("command", [["show"], ["merge", "--by", "page", "-o", "{out}"]], ids=["show", "merge --by"])
def test_sketch_tables_are_read_without_pandas(tmp_path, command):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    source, saved = tmp_path / "t.parquet", tmp_path / "s.parquet"
    pq.write_table(pa.table({"page": [f"p{k % 7}" for k in range(5000)], "user": list(range(5000))}), source)
    made = run("count", "--column", "user", "--by", "page", "--save", saved, source)
    assert made.returncode == 0, made.stderr
    args = [part.format(out=tmp_path / "m.parquet") for part in command]
    code = "import sys; from drisk import cli; status = cli.main(sys.argv[1:]); print('pandas' in sys.modules)"
    proc = subprocess.run([sys.executable, "-c", code, *args, str(saved)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1] == "False"
