"""sketch_by(), count_by() and rollup() of inputs read as a stream (a
RecordBatchReader, a DuckDB result, a pyarrow dataset or scanner), chunk by
chunk with roll-ups between: each group's sketch against update_many() of
that group's values alone, and against the same rows as a table in memory;
the refusals come before any batch is read; keys whose text passes 2 GiB."""

import math
import random

import pytest

import drisk
import drisk._stream

pa = pytest.importorskip("pyarrow")


@pytest.fixture
def small_chunks(monkeypatch):
    """Chunks of a few batches and roll-ups every few chunks, so that small
    inputs take every step of the stream path."""
    monkeypatch.setattr(drisk._stream, "CHUNK_BYTES", 3000)
    monkeypatch.setattr(drisk._stream, "TABLE_CHUNK_BYTES", 3000)
    monkeypatch.setattr(drisk._stream, "ROLLUP_ROWS", 20)


def group_key(value):
    """A key as groups have it: -0.0 is 0.0, every NaN one key, apart from None."""
    if isinstance(value, float):
        return "NaN" if math.isnan(value) else value + 0.0
    return value


def oracle(keys, values):
    """{key tuple: registers} by update_many() of each group's values."""
    groups = {}
    for i, value in enumerate(values):
        groups.setdefault(tuple(group_key(column[i]) for column in keys), []).append(value)
    out = {}
    for key, members in groups.items():
        sketch = drisk.HyperLogLog()
        drisk.update_many(sketch, [v for v in members if v is not None])
        out[key] = sketch.to_bytes()
    return out


def result_dict(table, keys):
    """{key tuple: registers} of a sketch table; each key once."""
    columns = table.to_pydict()
    out = {}
    for i, cell in enumerate(columns["sketch"]):
        key = tuple(group_key(columns[k][i]) for k in keys)
        assert key not in out, key
        out[key] = drisk.unpack(cell).to_bytes()
    return out


def event_rows(seed, n=6000):
    rng = random.Random(seed)
    pages = [f"/page/{i}" for i in range(40)] + [None]
    return {
        "page": [rng.choice(pages) for _ in range(n)],
        "size": [rng.choice([0.0, -0.0, 1.5, float("nan"), None, 2.25]) for _ in range(n)],
        "day": [rng.randrange(5) for _ in range(n)],
        "user": [f"u{rng.randrange(900)}" if rng.random() > 0.05 else None for _ in range(n)],
    }


def as_reader(table, rows=97):
    return pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=rows))


def inputs(table, tmp_path):
    """The same rows as each kind of stream."""
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq

    for i, start in enumerate(range(0, table.num_rows, 1500)):
        pq.write_table(table.slice(start, 1500), tmp_path / f"part{i}.parquet", row_group_size=200)
    yield "reader", as_reader(table)
    yield "dataset", ds.dataset(tmp_path, format="parquet")
    yield "scanner", ds.dataset(tmp_path, format="parquet").scanner(batch_size=128)
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    con.register("events", table)
    yield "duckdb", con.sql("SELECT * FROM events")


@pytest.mark.parametrize(
    "keys", [["page"], ["day", "page"], ["size"], ["page", "size", "day"]], ids=lambda keys: ",".join(keys)
)
def test_each_group_of_a_stream_has_the_registers_of_update_many(keys, small_chunks, tmp_path):
    rows = event_rows(seed=len(keys))
    table = pa.table(rows)
    expected = oracle([rows[k] for k in keys], rows["user"])
    in_memory = drisk.sketch_by(table, keys, "user")
    for kind, stream in inputs(table, tmp_path):
        got = drisk.sketch_by(stream, keys, "user")
        assert isinstance(got, pa.Table), kind
        assert got.schema == in_memory.schema, kind
        assert result_dict(got, keys) == expected, kind


def test_dictionary_keys_differing_between_batches(small_chunks):
    rng = random.Random(3)
    batches = []
    for b in range(40):
        words = [f"w{(b * 7 + i) % 60}" for i in range(12)]
        page = pa.array([rng.choice(words + [None]) for _ in range(50)]).dictionary_encode()
        batches.append(pa.record_batch({"page": page, "user": pa.array([rng.randrange(300) for _ in range(50)])}))
    table = pa.Table.from_batches(batches)
    rows = table.to_pydict()
    got = drisk.sketch_by(pa.RecordBatchReader.from_batches(table.schema, batches), "page", "user")
    assert got.schema.field("page").type == table.schema.field("page").type
    assert result_dict(got, ["page"]) == oracle([rows["page"]], rows["user"])


@pytest.mark.parametrize("values", ["user", "size"])
def test_dictionaries_new_in_every_batch(values, small_chunks):
    """As a Parquet file's row groups come: each batch with dictionaries of
    its own, of one length, their entries shuffled, for keys and values."""
    rng = random.Random(5)
    rows = {"page": [], "user": [], "size": []}

    def batches():
        for b in range(60):
            words = [f"w{(b * 5 + i) % 37}" for i in range(8)]
            rng.shuffle(words)
            chosen = [rng.randrange(8) for _ in range(40)]
            users = [rng.choice(words) for _ in range(40)]
            rows["page"] += [words[c] for c in chosen]
            rows["user"] += users
            rows["size"] += [rng.randrange(50) for _ in range(40)]
            yield pa.record_batch(
                {
                    "page": pa.DictionaryArray.from_arrays(pa.array(chosen, pa.int32()), pa.array(words)),
                    "user": pa.array(users).dictionary_encode(),
                    "size": pa.array(rows["size"][-40:]),
                }
            )

    schema = pa.schema(
        {
            "page": pa.dictionary(pa.int32(), pa.string()),
            "user": pa.dictionary(pa.int32(), pa.string()),
            "size": pa.int64(),
        }
    )
    got = drisk.sketch_by(pa.RecordBatchReader.from_batches(schema, batches()), "page", values)
    assert result_dict(got, ["page"]) == oracle([rows["page"]], rows[values])


def test_keys_only_pyarrow_groups_on(small_chunks):
    rng = random.Random(9)
    waits = [rng.choice([None, 1, 2, 3, 40]) for _ in range(3000)]
    users = [rng.randrange(500) for _ in range(3000)]
    table = pa.table({"wait": pa.array(waits, pa.duration("s")), "user": users})
    got = drisk.sketch_by(as_reader(table), "wait", "user")
    assert got.schema.field("wait").type == pa.duration("s")
    expected = oracle([table["wait"].to_pylist()], users)
    assert result_dict(got, ["wait"]) == expected
    counted = drisk.count_by(as_reader(table), "wait", "user", confidence=0.9).sort_by("wait")
    assert counted.to_pydict() == drisk.count_by(table, "wait", "user", confidence=0.9).sort_by("wait").to_pydict()


@pytest.mark.parametrize("confidence", [None, 0.9])
def test_count_by_of_a_stream_equals_count_by_of_the_table(confidence, small_chunks):
    table = pa.table(event_rows(seed=7))
    want = drisk.count_by(table, ["page", "day"], "user", confidence=confidence).sort_by(
        [("page", "ascending"), ("day", "ascending")]
    )
    got = drisk.count_by(as_reader(table), ["page", "day"], "user", confidence=confidence).sort_by(
        [("page", "ascending"), ("day", "ascending")]
    )
    assert got.column_names == want.column_names
    assert got.to_pydict() == want.to_pydict()


@pytest.mark.parametrize("by", [None, "page", ["page", "day"]], ids=["whole", "page", "page,day"])
def test_rollup_of_a_stream_equals_rollup_of_the_table(by, small_chunks, tmp_path):
    daily = drisk.sketch_by(pa.table(event_rows(seed=11)), ["day", "page"], "user").rename_columns(["day", "page", "s"])
    want = drisk.rollup(daily, by, sketch="s")
    keys = [] if by is None else [by] if isinstance(by, str) else by

    def cells(table):
        rows = table.to_pydict()
        return {tuple(rows[k][i] for k in keys): rows["s"][i] for i in range(table.num_rows)}

    for kind, stream in inputs(daily, tmp_path):
        got = drisk.rollup(stream, by, sketch="s")
        assert got.column_names == [*keys, "s"], kind
        assert cells(got) == cells(want), kind


def test_an_empty_stream_gives_an_empty_table_of_its_types():
    schema = pa.schema({"page": pa.string(), "user": pa.int64()})
    got = drisk.sketch_by(pa.RecordBatchReader.from_batches(schema, []), "page", "user")
    assert got.num_rows == 0 and got.schema.field("page").type == pa.string()
    assert drisk.count_by(pa.RecordBatchReader.from_batches(schema, []), "page", "user").num_rows == 0


def unread(schema):
    """A reader whose batches fail the test if any is read."""

    def batches():
        raise AssertionError("a batch was read before the arguments were checked")
        yield  # pragma: no cover

    return pa.RecordBatchReader.from_batches(schema, batches())


@pytest.mark.parametrize(
    ("call", "error", "text"),
    [
        (lambda r: drisk.sketch_by(r, "nope", "user"), ValueError, "no column named 'nope'"),
        (lambda r: drisk.count_by(r, "page", "nope"), ValueError, "no column named 'nope'"),
        (lambda r: drisk.sketch_by(r, "page", "user", p=30), ValueError, "p"),
        (lambda r: drisk.sketch_by(r, "page", "tags"), TypeError, "struct"),
        (lambda r: drisk.rollup(r, "nope", sketch="user"), ValueError, "no column named 'nope'"),
        (lambda r: drisk.rollup(r, "page", sketch="day"), TypeError, "binary cells"),
    ],
)
def test_refusals_come_before_any_batch_is_read(call, error, text):
    schema = pa.schema(
        {"page": pa.string(), "day": pa.int32(), "user": pa.binary(), "tags": pa.struct({"a": pa.int8()})}
    )
    with pytest.raises(error, match=text):
        call(unread(schema))


@pytest.mark.slow
def test_keys_whose_text_passes_two_gibibytes():
    """2.3 GiB of key text in one stream (a table in memory would overflow
    a string column's 32-bit offsets), generated batch by batch and never
    kept: 1,000 keys of 1,200 bytes, each of them on 2,000 rows."""
    keys = [(f"{k:05d}" * 240).encode() for k in range(1000)]
    schema = pa.schema({"key": pa.string(), "user": pa.int64()})

    def batches():
        for b in range(2000):
            start = b * 1000
            yield pa.record_batch(
                [
                    pa.array([keys[(start + i) % 1000].decode() for i in range(1000)]),
                    pa.array(range(start, start + 1000)),
                ],
                schema=schema,
            )

    got = drisk.sketch_by(pa.RecordBatchReader.from_batches(schema, batches()), "key", "user")
    assert got.num_rows == 1000 and got.schema.field("key").type == pa.string()
    first = got.filter(pa.compute.equal(got["key"], keys[0].decode()))["sketch"][0].as_py()
    want = drisk.HyperLogLog()
    drisk.update_many(want, range(0, 2_000_000, 1000))
    assert drisk.unpack(first).to_bytes() == want.to_bytes()


def test_rollup_of_a_polars_lazy_frame_equals_that_of_its_frame():
    pl = pytest.importorskip("polars")
    daily = pl.from_arrow(drisk.sketch_by(pa.table(event_rows(seed=5)), ["day", "page"], "user"))
    want = drisk.rollup(daily, "page").sort("page", nulls_last=True)
    got = drisk.rollup(daily.lazy(), "page")
    assert isinstance(got, pl.DataFrame)
    assert got.sort("page", nulls_last=True).equals(want)


@pytest.mark.parametrize("keys", [["page"], ["day", "page"], ["size", "day"]], ids=lambda keys: ",".join(keys))
def test_a_polars_lazy_frame_is_streamed(keys, small_chunks, monkeypatch, tmp_path):
    """A LazyFrame (Parquet files scanned, filtered) is read a batch at a
    time: each group's registers are update_many's of its values, and the
    result is a polars DataFrame as for its collected frame."""
    pl = pytest.importorskip("polars")
    if not hasattr(pl.LazyFrame, "collect_batches"):
        pytest.skip("this polars has no collect_batches()")
    import pyarrow.parquet as pq

    import drisk._rows

    monkeypatch.setattr(drisk._rows, "POLARS_BATCH_ROWS", 500)
    rows = event_rows(seed=21)
    table = pa.table(rows)
    for i, start in enumerate(range(0, table.num_rows, 2000)):
        pq.write_table(table.slice(start, 2000), tmp_path / f"part{i}.parquet")
    lazy = pl.scan_parquet(tmp_path / "*.parquet").filter(pl.col("day") != 4)
    kept = [i for i, day in enumerate(rows["day"]) if day != 4]
    expected = oracle([[rows[k][i] for i in kept] for k in keys], [rows["user"][i] for i in kept])
    got = drisk.sketch_by(lazy, keys, "user")
    assert isinstance(got, pl.DataFrame)
    assert result_dict(got.to_arrow(), keys) == expected
    counted = drisk.count_by(lazy, keys, "user", confidence=0.9)
    want = drisk.count_by(lazy.collect(), keys, "user", confidence=0.9)
    assert isinstance(counted, pl.DataFrame)
    assert counted.sort(keys, nulls_last=True).equals(want.sort(keys, nulls_last=True))


def test_a_lazy_frame_is_checked_before_it_is_run():
    pl = pytest.importorskip("polars")

    def boom(_):
        raise AssertionError("the query ran before its columns were checked")

    lazy = pl.LazyFrame({"page": ["a"], "user": [1]}).map_batches(boom, schema={"page": pl.String, "user": pl.Int64})
    with pytest.raises(ValueError, match="no column named 'nope'"):
        drisk.sketch_by(lazy, "page", "nope")


@pytest.mark.parametrize("shared", [False, True], ids=["own dictionaries", "dictionaries shared by batches"])
@pytest.mark.parametrize("null_entry", [False, True], ids=["null indices", "null entry and null indices"])
def test_dictionary_and_date_keys_numbered_as_integers(null_entry, shared):
    """Text dictionaries (by their indices into one unified dictionary) and
    date32 keys take the integer numbering; a null entry of a dictionary is
    the same key as a null index. Batches may share a dictionary, as those
    of a Parquet row group do."""
    import datetime

    entries = pa.array(["a", None, "b", "c"] if null_entry else ["a", "b", "c"])
    batches = []
    rows = {"day": [], "page": [], "user": []}
    rng = random.Random(8)
    for _ in range(6):
        order = list(range(len(entries)))
        rng.shuffle(order)  # each chunk its own dictionary
        dictionary = (
            batches[-1].column("page").dictionary if shared and len(batches) % 3 else entries.take(pa.array(order))
        )
        indices = [rng.choice([*range(len(entries)), None]) for _ in range(300)]
        page = pa.DictionaryArray.from_arrays(pa.array(indices, pa.int8()), dictionary)
        days = [datetime.date(2024, 1, 1 + rng.randrange(4)) if rng.random() > 0.1 else None for _ in range(300)]
        users = [rng.randrange(1000) for _ in range(300)]
        batches.append(pa.record_batch({"day": pa.array(days, pa.date32()), "page": page, "user": pa.array(users)}))
        rows["day"] += days
        rows["page"] += page.to_pylist()
        rows["user"] += users
    table = pa.Table.from_batches(batches)
    got = drisk.sketch_by(table, ["day", "page"], "user")
    assert got.schema.field("page").type == table.schema.field("page").type
    assert result_dict(got, ["day", "page"]) == oracle([rows["day"], rows["page"]], rows["user"])
