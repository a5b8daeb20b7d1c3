from typing_extensions import Buffer

from _drisk import HyperLogLog
from drisk._columns import ArrowArrayExportable, ArrowStreamExportable

def update_arrow(sketch: HyperLogLog, data: ArrowStreamExportable | ArrowArrayExportable) -> int: ...
def update_buffer(sketch: HyperLogLog, data: Buffer) -> int: ...
