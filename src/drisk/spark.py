"""Sketches per group on Spark, and SQL functions over stored sketches::

    import drisk.spark

    daily = drisk.spark.sketch_by(events, ["day", "page"], "user")   # keys + sketch
    daily.write.parquet("daily/")
    monthly = drisk.spark.rollup(spark.read.parquet("daily/"), "page")
    drisk.spark.estimates(monthly)                                  # + estimate
    drisk.spark.count_by(events, "page", "user", confidence=0.95)   # + estimate, lower, upper
    drisk.spark.nunique(events, "user")                             # one float
    drisk.spark.register(spark)   # SQL: drisk_estimate, drisk_union, drisk_intersection, drisk_jaccard

sketch_by and count_by run in two steps, each one Python call per
partition over Arrow batches (``mapInArrow``), with drisk's C++ doing the
work on whole columns, never a Python object per row (estimates is one such
step, nunique one step and a merge of a sketch per partition on the driver):

1. each partition of the input becomes a partial sketch table, one row per key
   in that partition (:func:`drisk.sketch_by` on its batches);
2. the partial tables are shuffled by key (a hash repartition: only one small
   packed sketch per key and partition crosses the network) and each shuffled
   partition is rolled up with :func:`drisk.rollup`.

rollup takes step 2 alone: its input is a table of sketches already, one
small sketch a row, shuffled as it is (rolled up to one row, each partition
is rolled up first, so that one sketch per partition meets in the last).

Every group's sketch is therefore byte for byte the one ``drisk.sketch_by``
gives on the same rows in one process. Values and keys follow drisk's
identity rules as the Arrow batches that Spark hands to Python carry them,
which are the batches of ``DataFrame.toArrow()``: a ``TimestampType`` value
is an instant, counted in UTC (``"2024-01-02T03:04:05+00:00"``, whatever the
session's time zone), a ``TimestampNTZType`` value has no suffix, and a
decimal keeps its scale. (``toPandas()`` would turn timestamps into naive
local times, and so into other items.) Missing keys are a group of their own,
missing values are skipped. Unknown columns, values of a type drisk cannot
count, keys it cannot group on and a bad ``p`` are refused on the driver,
from the DataFrame's schema, before any job runs.

Needs pyspark 3.5 or later and pyarrow (``pip install drisk[spark]``);
``import drisk`` does not, and this module imports pyspark only when one of
its functions is called.
"""

from __future__ import annotations

import functools
import importlib
import inspect
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

import drisk
from drisk._tables import check_columns, key_names

if TYPE_CHECKING:
    import pyarrow as pa
    from pyspark.sql import DataFrame, SparkSession

    from drisk._estimate import Method

__all__ = ["count_by", "estimates", "nunique", "register", "rollup", "sketch_by"]

#: Input batches gathered (in bytes of Arrow data) before drisk sketches them
#: at once: one large call costs less than many small ones, and the budget
#: bounds a worker's memory however large its partition.
CHUNK_BYTES = 128 << 20

#: Rows per output batch handed back to Spark.
OUTPUT_ROWS = 1 << 15


def _pyspark() -> Any:
    try:
        return importlib.import_module("pyspark.sql.functions")
    except ImportError as error:
        raise ImportError("drisk.spark needs pyspark, which is not installed: pip install drisk[spark]") from error


def _pyarrow() -> Any:
    try:
        return importlib.import_module("pyarrow")
    except ImportError as error:
        raise ImportError("drisk.spark needs pyarrow, which is not installed: pip install drisk[spark]") from error


def _check_frame(df: Any, what: str) -> None:
    _pyspark()
    from pyspark.sql import DataFrame as SparkFrame

    kinds: tuple[type, ...] = (SparkFrame,)
    connect = sys.modules.get("pyspark.sql.connect.dataframe")  # Spark Connect, where it is in use
    if connect is not None:
        kinds += (connect.DataFrame,)
    if not isinstance(df, kinds):
        raise TypeError(f"{what} takes a Spark DataFrame, not {type(df).__name__}")


def _quoted(name: str) -> Any:
    """A column by its exact name (dots and backticks in it are not paths)."""
    functions = _pyspark()
    return functions.col("`" + name.replace("`", "``") + "`")


def _arrow_schema(df: DataFrame, names: Sequence[str]) -> pa.Schema:
    """The Arrow schema of those columns as Spark hands them to Python;
    a column Spark cannot send through Arrow is refused, by name."""
    pa = _pyarrow()
    from pyspark.sql.pandas.types import to_arrow_type

    # Spark 4 asks for the time zone of timestamps; which one does not
    # matter to the checks this schema is for.
    zone: dict[str, Any] = {"timezone": "UTC"} if "timezone" in inspect.signature(to_arrow_type).parameters else {}
    fields = {field.name: field for field in df.schema.fields}
    arrow_fields = []
    for name in names:
        spark_type = fields[name].dataType
        try:
            arrow_type = to_arrow_type(spark_type, **zone)
        except TypeError as error:  # pyspark's own errors derive from TypeError
            raise TypeError(
                f"the column {name!r} of Spark type {spark_type.simpleString()} cannot be read through Arrow"
            ) from error
        arrow_fields.append(pa.field(name, arrow_type))
    return pa.schema(arrow_fields)


def _check_values(df: DataFrame, schema: pa.Schema, values: str, p: int, what: str) -> None:
    """The values column and p as drisk checks them, on an empty column of
    the type Spark will send; a type drisk cannot count is refused naming
    the column and its Spark type."""
    arrow_type = schema.field(values).type
    spark_type = {field.name: field.dataType for field in df.schema.fields}[values].simpleString()
    pa = _pyarrow()
    if pa.types.is_struct(arrow_type):
        raise TypeError(
            f"{what}: the values column {values!r} is a struct ({spark_type}): drisk counts one column of "
            "plain values, so select one field of it"
        )
    try:
        drisk.sketch_by(pa.table({values: pa.array([], arrow_type)}), [], values, p)
    except TypeError as error:
        if "p must be" in str(error):
            raise
        raise TypeError(f"{what}: the values column {values!r} of Spark type {spark_type}: {error}") from None


def _key_fields(df: DataFrame, keys: Sequence[str]) -> list[Any]:
    from pyspark.sql.types import StructField

    fields = {field.name: field for field in df.schema.fields}
    return [StructField(name, fields[name].dataType, True) for name in keys]


# ---------------------------------------------------------------------------
# The work of one partition (module-level, so that Spark pickles them by name)
# ---------------------------------------------------------------------------


def _chunks(batches: Iterable[pa.RecordBatch], budget: int) -> Iterator[pa.Table]:
    """The partition's batches gathered into tables of about `budget` bytes."""
    pa = _pyarrow()
    pending: list[Any] = []
    size = 0
    for batch in batches:
        if batch.num_rows == 0:
            continue
        pending.append(batch)
        size += batch.nbytes
        if size >= budget:
            yield pa.Table.from_batches(pending)
            pending, size = [], 0
    if pending:
        yield pa.Table.from_batches(pending)


def _concat(tables: list[pa.Table]) -> pa.Table:
    """Tables of the same columns, the sketches binary in some (Spark's
    batches) and large_binary in others (drisk's results)."""
    pa = _pyarrow()
    return pa.concat_tables(tables, promote_options="permissive")


def _rolled(tables: Iterable[pa.Table], keys: list[str], sketch: str, budget: int, ready: bool) -> pa.Table | None:
    """Sketch tables unioned by key: as they come, whenever they pass the
    budget (so that memory stays near it), then once over what is left. One
    row per key, or None when there was no table. `ready`: each table holds
    one row per key already, so one table alone is the answer."""
    kept: list[pa.Table] = []
    size = 0
    whole = ready
    for table in tables:
        kept.append(table)
        size += table.nbytes
        whole = ready and len(kept) == 1
        if size >= budget and len(kept) > 1:
            kept = [drisk.rollup(_concat(kept), keys, sketch)]
            size, whole = kept[0].nbytes, True
    if not kept:
        return None
    if len(kept) == 1 and whole:
        return kept[0]
    return drisk.rollup(_concat(kept), keys, sketch)


def _to_spark(table: pa.Table, sketch: str | None) -> Iterator[pa.RecordBatch]:
    """The table as batches for Spark: sketches as plain binary (Spark's
    BinaryType), in slices of OUTPUT_ROWS rows."""
    pa = _pyarrow()
    if sketch is not None:
        index = table.column_names.index(sketch)
        table = table.set_column(index, sketch, table.column(index).cast(pa.binary()))
    yield from table.to_batches(max_chunksize=OUTPUT_ROWS)


def _sketch_partition(
    batches: Iterator[pa.RecordBatch], keys: list[str], values: str, p: int, budget: int
) -> Iterator[pa.RecordBatch]:
    """A partition's rows into one sketch per key present (step 1)."""
    partials = (drisk.sketch_by(chunk, keys, values, p) for chunk in _chunks(batches, budget))
    table = _rolled(partials, keys, "sketch", budget, ready=True)
    if table is not None:
        yield from _to_spark(table, "sketch")


def _rollup_partition(batches: Iterator[pa.RecordBatch], keys: list[str], sketch: str, budget: int) -> Any:
    """A partition of a sketch table rolled up by key (step 1 of rollup)."""
    table = _rolled(_chunks(batches, budget), keys, sketch, budget, ready=False)
    if table is not None:
        yield from _to_spark(table, sketch)


def _merge_partition(
    batches: Iterator[pa.RecordBatch],
    keys: list[str],
    sketch: str,
    budget: int,
    empty: pa.Table | None,
    finish: Callable[[pa.Table], pa.Table] | None,
) -> Iterator[pa.RecordBatch]:
    """A shuffled partition of partial sketch tables: one row per key (step
    2). Without keys there is one partition, and `empty` is the row it gives
    when no partial table reached it. `finish` turns the sketches into what
    the caller asked for (estimates), else the sketches are the result."""
    table = _rolled(_chunks(batches, budget), keys, sketch, budget, ready=False)
    if table is None:
        if empty is None:
            return
        table = empty
    if finish is not None:
        yield from _to_spark(finish(table), None)
    else:
        yield from _to_spark(table, sketch)


def _with_estimates(table: pa.Table, keys: list[str], sketch: str, confidence: float | None) -> pa.Table:
    """The table's keys with the estimate of each sketch (as count_by() gives
    it), and its bounds at `confidence` when given."""
    pa = _pyarrow()
    cells = table.column(sketch)
    out = table.select(keys).append_column("estimate", pa.array(drisk.estimates(cells), pa.float64()))
    if confidence is not None:
        lower, upper = [], []
        for cell in cells.to_pylist():  # one per group: the bounds have no column form
            low, high = drisk.error_bounds(drisk.unpack(cell), confidence)
            lower.append(low)
            upper.append(high)
        out = out.append_column("lower", pa.array(lower, pa.float64()))
        out = out.append_column("upper", pa.array(upper, pa.float64()))
    return out


def _estimate_partition(batches: Iterator[pa.RecordBatch], sketch: str, method: Method) -> Iterator[pa.RecordBatch]:
    """Every batch with the estimate of each of its sketches appended."""
    pa = _pyarrow()
    for batch in batches:
        values = drisk.estimates(batch.column(sketch), method=method)
        yield pa.RecordBatch.from_arrays(
            [*batch.columns, pa.array(values, pa.float64())], names=[*batch.schema.names, "estimate"]
        )


def _sketch_values(batches: Iterator[pa.RecordBatch], values: str, p: int) -> Iterator[pa.RecordBatch]:
    """One sketch of a partition's values."""
    pa = _pyarrow()
    sketch = drisk.HyperLogLog(p)
    for batch in batches:
        drisk.update_many(sketch, batch.column(values))
    yield pa.RecordBatch.from_arrays([pa.array([drisk.pack(sketch)], pa.binary())], names=["sketch"])


# ---------------------------------------------------------------------------
# Tables of sketches
# ---------------------------------------------------------------------------


def _shuffled(partial: DataFrame, keys: list[str]) -> DataFrame:
    """The partial tables brought together by key: a hash repartition on the
    keys, or one partition when there are none. The merge is one Python
    task per partition, whose start costs more than the small sketches it
    merges: as many partitions as the cluster has cores (the default
    parallelism; Spark's own choice under Spark Connect, which does not
    tell it)."""
    if not keys:
        return partial.repartition(1)
    columns = [_quoted(name) for name in keys]
    try:
        cores = int(partial.sparkSession.sparkContext.defaultParallelism)
    except (AttributeError, NotImplementedError):  # Spark Connect has no SparkContext
        return partial.repartition(*columns)
    return partial.repartition(max(cores, 1), *columns)


def _grouped(
    df: DataFrame,
    by: str | Sequence[str] | None,
    values: str,
    p: int,
    what: str,
    finish: Callable[[pa.Table], pa.Table] | None,
    finish_fields: Sequence[tuple[str, Any]],
) -> DataFrame:
    """sketch_by() and count_by(): the checks on the driver, then the two steps."""
    _check_frame(df, what)
    from pyspark.sql.types import BinaryType, StructField, StructType

    if by is None:
        raise TypeError(f"{what} needs by: a column name or a list of names")
    keys = key_names(by)
    if not isinstance(values, str):
        raise TypeError(f"values must be a column name (str), got {type(values).__name__}")
    check_columns(df.columns, [*keys, values], what)
    schema = _arrow_schema(df, [*keys, values])
    _check_values(df, schema, values, p, what)
    # drisk's own checks (types, names, p) on an empty table of that schema.
    # Without keys, its one row (an empty sketch) is the answer for no rows.
    checked = drisk.sketch_by(schema.empty_table(), keys, values, p)
    if finish is not None:
        drisk.count_by(schema.empty_table(), keys, values, p)
    empty = None if keys else checked

    sketched = StructType([*_key_fields(df, keys), StructField("sketch", BinaryType(), True)])
    budget = CHUNK_BYTES
    partial = df.select(*[_quoted(name) for name in [*keys, values]]).mapInArrow(
        functools.partial(_sketch_partition, keys=keys, values=values, p=p, budget=budget), sketched
    )
    result = sketched
    if finish is not None:
        result = StructType([*_key_fields(df, keys), *(StructField(name, kind, True) for name, kind in finish_fields)])
    return _shuffled(partial, keys).mapInArrow(
        functools.partial(_merge_partition, keys=keys, sketch="sketch", budget=budget, empty=empty, finish=finish),
        result,
    )


def sketch_by(df: DataFrame, by: str | Sequence[str], values: str, p: int = 12) -> DataFrame:
    """A Spark DataFrame of sketches per group, as :func:`drisk.sketch_by`
    makes them: the ``by`` columns (a name or a list of names; ``[]`` gives
    one row for the whole frame) and ``sketch``, the packed sketch of
    precision ``p`` of each group's ``values`` (binary). Each group's sketch
    is byte for byte the one ``drisk.sketch_by`` gives for the same rows in
    one process. Lazy: nothing runs until the result is used. Unknown columns
    (ValueError), values drisk cannot count and keys it cannot group on
    (TypeError) and a bad ``p`` are refused here, before any job runs.

    Args:
        df: a Spark DataFrame of raw rows.
        by: the key column: a name, or a list of names ([] for one row).
        values: the name of the column whose distinct values are sketched.
        p: the precision of the sketches, 4 to 18 (12 by default).

    Returns:
        A Spark DataFrame of the ``by`` columns and ``sketch`` (binary).

    Raises:
        ValueError: for unknown columns or a bad ``p``, before any job runs.
        TypeError: for values drisk cannot count and keys it cannot group on,
            before any job runs.

    Example:
        ``spark`` is a SparkSession.

        >>> import drisk, drisk.spark
        >>> rows = [(1, "/", "ann"), (1, "/", "bob"), (1, "/a", "bob"), (2, "/", "cid")]
        >>> events = spark.createDataFrame(rows, "day int, page string, user string")
        >>> table = drisk.spark.sketch_by(events, "page", "user")
        >>> sorted((row.page, round(drisk.estimate(drisk.unpack(row.sketch)))) for row in table.collect())
        [('/', 3), ('/a', 1)]
    """
    return _grouped(df, by, values, p, "sketch_by", None, ())


def count_by(
    df: DataFrame, by: str | Sequence[str], values: str, p: int = 12, confidence: float | None = None
) -> DataFrame:
    """The estimated number of distinct ``values`` per group, as
    :func:`drisk.count_by` gives it: the ``by`` columns and ``estimate``
    (double), plus ``lower`` and ``upper``, the bounds of the interval at
    ``confidence`` (0.5 to 0.999), when one is given. The sketches are made
    as :func:`sketch_by` makes them and are not kept.

    Args:
        df: a Spark DataFrame of raw rows.
        by: the key column: a name, or a list of names.
        values: the name of the column whose distinct values are counted.
        p: the precision of the sketches, 4 to 18 (12 by default).
        confidence: if given (0.5 to 0.999), ``lower`` and ``upper`` are
            added.

    Returns:
        A Spark DataFrame of the ``by`` columns and ``estimate``, plus ``lower``
        and ``upper`` with a confidence.

    Raises:
        ValueError: as :func:`sketch_by` does, and for a confidence outside 0.5
            to 0.999.
        TypeError: as :func:`sketch_by` does.

    Example:
        ``spark`` is a SparkSession.

        >>> import drisk, drisk.spark
        >>> rows = [(1, "/", "ann"), (1, "/", "bob"), (1, "/a", "bob"), (2, "/", "cid")]
        >>> events = spark.createDataFrame(rows, "day int, page string, user string")
        >>> counts = drisk.spark.count_by(events, "page", "user", confidence=0.95)
        >>> sorted((row.page, round(row.estimate), row.lower <= row.estimate <= row.upper) for row in counts.collect())
        [('/', 3, True), ('/a', 1, True)]
    """
    from pyspark.sql.types import DoubleType

    if confidence is not None and not (isinstance(confidence, (int, float)) and 0.5 <= confidence <= 0.999):
        raise ValueError(f"confidence must be between 0.5 and 0.999 inclusive, got {confidence!r}")
    keys = key_names(by) if by is not None else []
    finish = functools.partial(_with_estimates, keys=keys, sketch="sketch", confidence=confidence)
    names = ["estimate"] if confidence is None else ["estimate", "lower", "upper"]
    return _grouped(df, by, values, p, "count_by", finish, [(name, DoubleType()) for name in names])


def rollup(df: DataFrame, by: str | Sequence[str] | None = None, sketch: str = "sketch") -> DataFrame:
    """Union the sketches of a Spark DataFrame of sketches (a table that
    :func:`sketch_by` made, or any with key columns and a binary column of
    packed sketches, read from Parquet, say) by coarser keys, as
    :func:`drisk.rollup` does: one row per distinct combination of the ``by``
    columns (``None`` or ``[]``: one row for the whole frame) with those
    columns and ``sketch``. A union is at the smallest precision among its
    sketches; null sketches are skipped and a group without any gets null.
    Unknown columns and a sketch column that is not binary are refused here;
    a cell that is not a sketch fails the job with drisk's ValueError naming
    its row.

    Args:
        df: a Spark DataFrame of sketches: key columns and a binary column of
            stored sketches.
        by: the coarser keys: a column name or a list of them; None or [] for
            one row.
        sketch: the name of the sketch column.

    Returns:
        A Spark DataFrame of the ``by`` columns and ``sketch`` (binary).

    Raises:
        ValueError: for unknown columns, before any job runs.
        TypeError: for a sketch column that is not binary, before any job
            runs.

    Example:
        ``spark`` is a SparkSession.

        >>> import drisk, drisk.spark
        >>> rows = [(1, "/", "ann"), (1, "/", "bob"), (1, "/a", "bob"), (2, "/", "cid")]
        >>> events = spark.createDataFrame(rows, "day int, page string, user string")
        >>> daily = drisk.spark.sketch_by(events, ["day", "page"], "user")
        >>> monthly = drisk.spark.rollup(daily, "page")
        >>> sorted((row.page, round(drisk.estimate(drisk.unpack(row.sketch)))) for row in monthly.collect())
        [('/', 3), ('/a', 1)]
    """
    _check_frame(df, "rollup")
    from pyspark.sql.types import BinaryType, StructField, StructType

    keys = key_names(by)
    if not isinstance(sketch, str):
        raise TypeError(f"sketch must be a column name (str), got {type(sketch).__name__}")
    if sketch in keys:
        raise ValueError(f"the sketch column {sketch!r} cannot be a key too")
    check_columns(df.columns, [*keys, sketch], "rollup")
    kind = {field.name: field.dataType for field in df.schema.fields}[sketch]
    if not isinstance(kind, BinaryType):
        raise TypeError(f"the sketch column {sketch!r} is of Spark type {kind.simpleString()}: sketches are binary")
    schema = _arrow_schema(df, [*keys, sketch])
    empty = drisk.rollup(schema.empty_table(), keys, sketch)  # drisk's own checks of the keys
    result = StructType([*_key_fields(df, keys), StructField(sketch, BinaryType(), True)])
    budget = CHUNK_BYTES
    partial = df.select(*[_quoted(name) for name in [*keys, sketch]])
    if not keys:
        # Everything to one row: each partition is rolled up where it is, so
        # that one small sketch per partition meets in the last one.
        partial = partial.mapInArrow(
            functools.partial(_rollup_partition, keys=keys, sketch=sketch, budget=budget), result
        )
    # With keys, the stored sketches are shuffled as they are: each is one
    # row already, and rolling up a partition first (a pass through Python
    # of every row) costs more than it saves when its keys rarely repeat
    # (a table stored by day and read a day a partition).
    return _shuffled(partial, keys).mapInArrow(
        functools.partial(
            _merge_partition, keys=keys, sketch=sketch, budget=budget, empty=None if keys else empty, finish=None
        ),
        result,
    )


def estimates(df: DataFrame, sketch: str = "sketch", method: Method = "improved") -> DataFrame:
    """The DataFrame with a column ``estimate`` (double) appended: the
    estimate of each row's sketch, as :func:`drisk.estimates` gives it (NaN
    for a null sketch), computed a batch of rows at a time.

    Args:
        df: a Spark DataFrame with a binary column of stored sketches.
        sketch: the name of that column.
        method: the estimator, as for :func:`drisk.estimate`.

    Returns:
        The Spark DataFrame with ``estimate`` (double) appended.

    Raises:
        ValueError: for an unknown column or ``method``, or a frame with a
            column named ``estimate`` already.
        TypeError: for a sketch column that is not binary.

    Example:
        ``spark`` is a SparkSession.

        >>> import drisk, drisk.spark
        >>> rows = [(1, "/", "ann"), (1, "/", "bob"), (1, "/a", "bob"), (2, "/", "cid")]
        >>> events = spark.createDataFrame(rows, "day int, page string, user string")
        >>> table = drisk.spark.estimates(drisk.spark.sketch_by(events, "page", "user"))
        >>> sorted((row.page, round(row.estimate)) for row in table.collect())
        [('/', 3), ('/a', 1)]
    """
    _check_frame(df, "estimates")
    from pyspark.sql.types import BinaryType, DoubleType, StructField, StructType

    if not isinstance(sketch, str):
        raise TypeError(f"sketch must be a column name (str), got {type(sketch).__name__}")
    check_columns(df.columns, [sketch], "estimates")
    if "estimate" in df.columns:
        raise ValueError("estimates: the DataFrame has a column named 'estimate' already")
    kind = {field.name: field.dataType for field in df.schema.fields}[sketch]
    if not isinstance(kind, BinaryType):
        raise TypeError(f"the sketch column {sketch!r} is of Spark type {kind.simpleString()}: sketches are binary")
    drisk.estimates([], method=method)  # a bad method fails here
    _arrow_schema(df, df.columns)  # every column travels through Arrow
    result = StructType([*df.schema.fields, StructField("estimate", DoubleType(), True)])
    return df.mapInArrow(functools.partial(_estimate_partition, sketch=sketch, method=method), result)


def nunique(df: DataFrame, column: str, p: int = 12) -> float:
    """The estimated number of distinct values of one column (missing
    values not counted): one sketch per partition, made where it lives,
    merged on the driver. The sketch is register for register the one
    :func:`drisk.update_many` makes of the whole column in one process.

    Args:
        df: a Spark DataFrame.
        column: the name of the column whose distinct values are counted.
        p: the precision of the sketch, 4 to 18 (12 by default).

    Returns:
        The estimate, a float (Ertl's improved estimator).

    Raises:
        ValueError: for an unknown column or a bad ``p``.
        TypeError: for a column drisk cannot count.

    Example:
        ``spark`` is a SparkSession.

        >>> import drisk, drisk.spark
        >>> rows = [(1, "/", "ann"), (1, "/", "bob"), (1, "/a", "bob"), (2, "/", "cid")]
        >>> events = spark.createDataFrame(rows, "day int, page string, user string")
        >>> round(drisk.spark.nunique(events, "user"))
        3
    """
    _check_frame(df, "nunique")
    from pyspark.sql.types import BinaryType, StructField, StructType

    if not isinstance(column, str):
        raise TypeError(f"column must be a column name (str), got {type(column).__name__}")
    check_columns(df.columns, [column], "nunique")
    schema = _arrow_schema(df, [column])
    _check_values(df, schema, column, p, "nunique")
    parts = df.select(_quoted(column)).mapInArrow(
        functools.partial(_sketch_values, values=column, p=p), StructType([StructField("sketch", BinaryType(), True)])
    )
    total = drisk.HyperLogLog(p)
    for row in parts.collect():
        total.merge(drisk.unpack(row[0]))
    return drisk.estimate(total)


# ---------------------------------------------------------------------------
# SQL
# ---------------------------------------------------------------------------


def _sql_estimate_arrow(sketches: Any) -> Any:
    """drisk_estimate over an Arrow column: NULL for a NULL sketch."""
    pa = _pyarrow()
    pc = importlib.import_module("pyarrow.compute")
    values = pa.array(drisk.estimates(sketches), pa.float64())
    return pc.if_else(pc.is_null(sketches), pa.scalar(None, pa.float64()), values)


def _sql_union_arrow(sketches: Any) -> Any:
    """drisk_union over one group's Arrow column of sketches."""
    pa = _pyarrow()
    return drisk.rollup(pa.table({"sketch": sketches}), None).column("sketch")[0].as_py()


def _sql_overlap_arrow(figure: str) -> Callable[[Any, Any], Any]:
    """A function of two Arrow columns of sketches giving one of
    drisk.overlaps' figures per row: NULL where either sketch is NULL."""

    def overlap(a: Any, b: Any) -> Any:
        pa = _pyarrow()
        pc = importlib.import_module("pyarrow.compute")
        values = pa.array(drisk.overlaps(a, b)[figure], pa.float64())
        return pc.if_else(pc.or_(pc.is_null(a), pc.is_null(b)), pa.scalar(None, pa.float64()), values)

    return overlap


def _sql_overlap_pandas(figure: str) -> Callable[[Any, Any], Any]:
    def overlap(a: Any, b: Any) -> Any:
        pandas = importlib.import_module("pandas")
        values = pandas.Series(drisk.overlaps(a, b)[figure], index=a.index, dtype="Float64")
        return values.mask(a.isna() | b.isna())

    return overlap


def _sql_estimate_pandas(sketches: Any) -> Any:
    pandas = importlib.import_module("pandas")
    values = pandas.Series(drisk.estimates(sketches), index=sketches.index, dtype="Float64")
    return values.mask(sketches.isna())


def _sql_union_pandas(sketches: Any) -> Any:
    pa = _pyarrow()
    cells = [None if cell is None else bytes(cell) for cell in sketches.tolist()]
    return drisk.rollup(pa.table({"sketch": pa.array(cells, pa.binary())}), None).column("sketch")[0].as_py()


def register(spark: SparkSession) -> None:
    """Add two SQL functions to a Spark session::

        drisk_estimate(BINARY) -> DOUBLE   the estimate of a sketch (Ertl's
                                           improved estimator); NULL for NULL
        drisk_union(BINARY) -> BINARY      an aggregate: the packed union of
                                           a group's sketches, at the smallest
                                           precision among them; NULL sketches
                                           are skipped, a group without any
                                           gives NULL
        drisk_intersection(BINARY, BINARY) -> DOUBLE
                                           how many items two sketches share,
                                           by joint maximum likelihood (as
                                           drisk.overlap); NULL when either
                                           is NULL
        drisk_jaccard(BINARY, BINARY) -> DOUBLE
                                           their Jaccard index, the same way
                                           (NaN for two empty sketches)

    so that ``SELECT page, drisk_estimate(drisk_union(sketch)) FROM days
    GROUP BY page`` works. Both are Arrow UDFs where Spark has them (4.1 and
    later), pandas UDFs before: drisk_estimate is called once per batch of
    rows, drisk_union once per group, the overlaps once per batch of pairs
    of sketches (``drisk.overlaps`` over the batch)."""
    functions = _pyspark()
    _pyarrow()
    arrow = hasattr(functions, "arrow_udf")
    _register(spark, arrow=arrow)


def _register(spark: SparkSession, arrow: bool) -> None:
    functions = _pyspark()
    pa = _pyarrow()
    from pyspark.sql.types import BinaryType, DoubleType

    if arrow:
        make = functions.arrow_udf
        # The kind of UDF is read from the annotations (a column of a group
        # in, one value out: an aggregate), which are set here, where the
        # column type is at hand.
        _sql_estimate_arrow.__annotations__ = {"sketches": pa.Array, "return": pa.Array}
        _sql_union_arrow.__annotations__ = {"sketches": pa.Array, "return": bytes}
        estimate, union = _sql_estimate_arrow, _sql_union_arrow
        pair = {"a": pa.Array, "b": pa.Array, "return": pa.Array}
        overlap = _sql_overlap_arrow
    else:
        pandas = importlib.import_module("pandas")
        make = functions.pandas_udf
        _sql_estimate_pandas.__annotations__ = {"sketches": pandas.Series, "return": pandas.Series}
        _sql_union_pandas.__annotations__ = {"sketches": pandas.Series, "return": bytes}
        estimate, union = _sql_estimate_pandas, _sql_union_pandas
        pair = {"a": pandas.Series, "b": pandas.Series, "return": pandas.Series}
        overlap = _sql_overlap_pandas
    spark.udf.register("drisk_estimate", make(estimate, DoubleType()))
    spark.udf.register("drisk_union", make(union, BinaryType()))
    for name, figure in (("drisk_intersection", "intersection"), ("drisk_jaccard", "jaccard")):
        function = overlap(figure)
        function.__annotations__ = pair
        spark.udf.register(name, make(function, DoubleType()))
