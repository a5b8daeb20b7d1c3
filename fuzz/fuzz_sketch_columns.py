"""Fuzz the functions over sketch columns: estimates, rollup, the list
unions and overlaps, on columns of stored sketches that are whole, altered
or foreign, in every binary layout, some with damaged offsets."""

import sys

import atheris

with atheris.instrument_imports():
    import pyarrow as pa

    import drisk
    import drisk._grouped as _grouped

ALLOWED = (ValueError, TypeError)


def sketch_cells(fdp: atheris.FuzzedDataProvider) -> list[bytes | None]:
    """A few cells: packed sketches (sparse or dense) and raw ones of fuzzed
    items, some with a byte changed, some cut short, some arbitrary."""
    cells: list[bytes | None] = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        choice = fdp.ConsumeIntInRange(0, 5)
        if choice == 0:
            cells.append(None)
            continue
        if choice == 5:
            cells.append(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64)))
            continue
        h = drisk.HyperLogLog(fdp.ConsumeIntInRange(4, 10))
        drisk.update_many(h, [fdp.ConsumeBytes(4) for _ in range(fdp.ConsumeIntInRange(0, 300))])
        cell = bytearray(drisk.pack(h) if choice != 4 else h.to_bytes())
        if choice == 2 and cell:
            cell[fdp.ConsumeIntInRange(0, len(cell) - 1)] = fdp.ConsumeIntInRange(0, 255)
        if choice == 3:
            del cell[fdp.ConsumeIntInRange(0, len(cell)) :]
        cells.append(bytes(cell))
    return cells


def column(fdp: atheris.FuzzedDataProvider, cells: list[bytes | None]) -> pa.Array:
    """The cells in one of the binary layouts, possibly dictionary-encoded,
    or with a middle offset overwritten (as a damaged file gives it)."""
    layout = fdp.ConsumeIntInRange(0, 4)
    if layout == 0:
        return pa.array(cells, pa.binary())
    if layout == 1:
        return pa.array(cells, pa.large_binary())
    if layout == 2:
        return pa.array(cells, pa.binary_view())
    if layout == 3:
        return pa.array(cells, pa.binary()).dictionary_encode()
    plain = pa.array([c if c is not None else b"" for c in cells], pa.binary())
    offsets = bytearray(plain.buffers()[1].to_pybytes())
    if len(offsets) > 8:
        at = 4 * fdp.ConsumeIntInRange(1, len(offsets) // 4 - 2) if len(offsets) >= 12 else 4
        offsets[at : at + 4] = fdp.ConsumeIntInRange(-(2**31), 2**31 - 1).to_bytes(4, "little", signed=True)
    data = plain.buffers()[2]
    return pa.Array.from_buffers(pa.binary(), len(plain), [None, pa.py_buffer(bytes(offsets)), data])


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    cells = sketch_cells(fdp)
    sketches = column(fdp, cells)
    try:
        values = drisk.estimates(sketches)
    except ALLOWED:
        values = None
    if values is not None and fdp.ConsumeBool():
        # Where every cell opens on its own, the column gives the same.
        try:
            one_by_one = [drisk.estimate(drisk.load(c)) if c is not None else None for c in cells]
        except ALLOWED:
            one_by_one = None
        if one_by_one is not None and sketches.type == pa.binary() and sketches.null_count == cells.count(None):
            for got, want in zip(values, one_by_one):
                assert (want is None and got != got) or got == want, (got, want)
    keys = [fdp.ConsumeIntInRange(0, 2) for _ in range(len(sketches))]
    for call in (
        lambda: drisk.rollup(pa.table({"k": keys, "sketch": sketches}), "k"),
        lambda: drisk.rollup(pa.table({"sketch": sketches}), None),
        lambda: _grouped.union_lists(pa.ListArray.from_arrays(pa.array([0, len(sketches)], pa.int32()), sketches)),
        lambda: drisk.overlaps(sketches, pa.array(cells[::-1], pa.binary())),
    ):
        try:
            call()
        except ALLOWED:
            pass


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
