"""Helpers shared by the test files."""


def nonzero_registers(sketch):
    """{index: value} of the registers that are not zero."""
    return {i: r for i, r in enumerate(sketch.registers()) if r}
