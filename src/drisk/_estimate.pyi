from typing import Literal, TypedDict

from _drisk import HyperLogLog

Method = Literal["improved", "ml", "classic"]

class Summary(TypedDict):
    estimate: float
    lower: float
    upper: float
    confidence: float
    method: str
    relative_standard_error: float
    p: int
    m: int
    registers_in_use: int

def estimate(sketch: HyperLogLog, method: Method = "improved") -> float: ...
def error_bounds(sketch: HyperLogLog, confidence: float = 0.95, method: Method = "improved") -> tuple[float, float]: ...
def summary(sketch: HyperLogLog, confidence: float = 0.95, method: Method = "improved") -> Summary: ...
def fold(sketch: HyperLogLog, p: int) -> HyperLogLog: ...
def union(*sketches: HyperLogLog) -> HyperLogLog: ...
