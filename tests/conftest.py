import pytest

import _drisk


@pytest.fixture
def HyperLogLog():
    return _drisk.HyperLogLog


def nonzero_registers(sketch):
    """{index: value} of the registers that are not zero."""
    return {i: r for i, r in enumerate(sketch.registers()) if r}
