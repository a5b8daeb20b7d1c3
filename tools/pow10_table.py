"""Writes src/core/pow10_table.hpp, the powers of ten of the float writer.

For every e from -292 to 324, the 128-bit g = ceil(10^e / 2^r), so that
(g - 1) 2^r < 10^e <= g 2^r, with r = floor(log2(10^e)) - 127 putting g in
[2^127, 2^128); stored as two 64-bit halves, high first. Exact where 10^e is
(0 <= e <= 55): a product that is an exact tie must stay one. Run from the repository root:

    python3 tools/pow10_table.py > src/core/pow10_table.hpp
"""

from fractions import Fraction

E_MIN, E_MAX = -292, 324


def entry(e: int) -> int:
    r = ((e * 913124641741) >> 38) - 127  # floor(log2(10^e)) - 127
    g = Fraction(10) ** e / Fraction(2) ** r
    value = -(-g.numerator // g.denominator)
    assert 2**127 <= value < 2**128
    return value


def main() -> None:
    print("// drisk: 10^e as 128-bit multipliers for the shortest float text (float_text.cpp).")
    print("// Written by tools/pow10_table.py; do not edit by hand.")
    print("// Row e - POW10_E_MIN: g = ceil(10^e / 2^r) in [2^127, 2^128), r = floor(log2(10^e)) - 127.")
    print("#ifndef DRISK_POW10_TABLE_HPP")
    print("#define DRISK_POW10_TABLE_HPP")
    print()
    print("#include <cstdint>")
    print()
    print("namespace drisk::float_text_detail {")
    print()
    print(f"inline constexpr int POW10_E_MIN = {E_MIN};")
    print(f"inline constexpr int POW10_E_MAX = {E_MAX};")
    print()
    print(f"inline constexpr std::uint64_t POW10[{E_MAX - E_MIN + 1}][2] = {{")
    for e in range(E_MIN, E_MAX + 1):
        g = entry(e)
        print(f"    {{0x{g >> 64:016X}, 0x{g & (2**64 - 1):016X}}},  // {e}")
    print("};")
    print()
    print("}  // namespace drisk::float_text_detail")
    print()
    print("#endif  // DRISK_POW10_TABLE_HPP")


if __name__ == "__main__":
    main()
