// drisk: the digits of a double, for the item texts of item_text.hpp.
//
// Two jobs, both exact:
//
//   shortest_decimal(v)   the fewest decimal digits that read back as v, and
//                         of those the ones closest to v (ties to even):
//                         what repr() shows. Schubfach (R. Giulietti, "The
//                         Schubfach way to render doubles", 2020): the two
//                         rounding boundaries of v are scaled by one power
//                         of ten, taken from a table of 128-bit multipliers
//                         (pow10_table.hpp), and the digits fall out of a
//                         few comparisons. No loop over digits, no division
//                         but by constants, no allocation: about three times
//                         faster than std::to_chars, which is what a float
//                         column costs.
//   write_whole_double(v) the decimal text of a whole double of 2^63 or
//                         more in magnitude, up to the 309 digits of
//                         DBL_MAX: the exact integer the double holds, as
//                         str(int(v)) gives it. Such values are rare, so
//                         this is a plain big-integer loop in float_text.cpp.
#ifndef DRISK_FLOAT_TEXT_HPP
#define DRISK_FLOAT_TEXT_HPP

#include <bit>
#include <cstddef>
#include <cstdint>

#include "platform.hpp"
#include "pow10_table.hpp"

namespace drisk {

// digits x 10^exponent; digits may end in zeros (the caller strips them).
struct ShortestDecimal {
  std::uint64_t digits;
  int exponent;
};

namespace float_text_detail {

// floor(q log10(2)), floor(q log10(3/4 2^q)) and floor(e log2(10)): exact
// over every exponent a double has (checked against exact arithmetic over
// -1200..1200).
constexpr int floor_log10_pow2(int q) noexcept {
  return static_cast<int>((q * std::int64_t{661971961083}) >> 41);
}
constexpr int floor_log10_three_quarters_pow2(int q) noexcept {
  return static_cast<int>((q * std::int64_t{661971961083} - std::int64_t{274743187321}) >> 41);
}
constexpr int floor_log2_pow10(int e) noexcept {
  return static_cast<int>((e * std::int64_t{913124641741}) >> 38);
}

// Three 64-bit words of a 192-bit number, most significant first.
struct Wide192 {
  std::uint64_t high;
  std::uint64_t middle;
  std::uint64_t low;
};

// g x cp exactly.
inline Wide192 multiply(const std::uint64_t* g, std::uint64_t cp) noexcept {
  const Wide128 low = multiply_wide(g[1], cp);
  const Wide128 high = wide_add(multiply_wide(g[0], cp), {0, low.high});
  return {high.high, high.low, low.low};
}

// g x 2^shift exactly (1 <= shift <= 63).
inline Wide192 shifted(const std::uint64_t* g, int shift) noexcept {
  return {g[0] >> (64 - shift), (g[0] << shift) | (g[1] >> (64 - shift)), g[1] << shift};
}

// The two lower words as one 128-bit number.
constexpr Wide128 low_words(Wide192 w) noexcept { return {w.middle, w.low}; }

// a + b and a - b with the carries; the results fit in 192 bits.
inline Wide192 plus(Wide192 a, Wide192 b) noexcept {
  const Wide128 low = wide_add(low_words(a), low_words(b));
  const std::uint64_t carry = wide_less(low, low_words(a)) ? 1 : 0;
  return {a.high + b.high + carry, low.high, low.low};
}

inline Wide192 minus(Wide192 a, Wide192 b) noexcept {
  const std::uint64_t borrow = wide_less(low_words(a), low_words(b)) ? 1 : 0;
  const Wide128 low = wide_subtract(low_words(a), low_words(b));
  return {a.high - b.high - borrow, low.high, low.low};
}

// A product g x cp / 2^128, rounded to odd: the floor, with its lowest bit
// set when a fraction was cut off. g is 10^e rounded up, by less than one
// unit in its last place, so the product is too large by less than cp <
// 2^64: the low 64 bits of the product are that error and are left out of
// the test. What remains is exact, because a true fraction is never that
// close to 0 or 1 (the proof is the algorithm's, for 126-bit multipliers;
// ours have 128).
inline std::uint64_t round_to_odd(Wide192 product) noexcept {
  return product.high | static_cast<std::uint64_t>(product.middle != 0);
}

// The decimal of c x 2^q (c the significand, with the hidden bit; q the
// binary exponent). LowerCloser when the gap below v is half the gap above
// (v a power of two, not the smallest normal): rare, and compiled apart so
// that the usual case has no test of it.
template <bool LowerCloser>
ShortestDecimal schubfach(std::uint64_t c, int q, int dk) noexcept {
  const std::uint64_t out = c & 1;  // odd significands exclude their boundaries
  const std::uint64_t cb = c << 2;
  const int k = LowerCloser ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
  // 10^-k as g 2^r (g rounded up), r = floor(log2(10^-k)) - 127; the scaled
  // boundaries cb 2^q 10^-k are then g (cb << h) / 2^128, and 1 <= h <= 4.
  const int h = q + floor_log2_pow10(-k) + 1;
  const std::uint64_t* g = POW10[-k - POW10_E_MIN];
  // The three products g (cb << h), g ((cb - 2) << h) (g ((cb - 1) << h)
  // when the lower gap is the smaller) and g ((cb + 2) << h) differ by g
  // shifted left, so one is multiplied and the others added: the same bits
  // as three multiplications, with two multiply instructions instead of six.
  const Wide192 middle = multiply(g, cb << h);
  const Wide192 upper_gap = shifted(g, h + 1);
  const Wide192 lower_gap = LowerCloser ? shifted(g, h) : upper_gap;
  const std::uint64_t vb = round_to_odd(middle);
  const std::uint64_t vbl = round_to_odd(minus(middle, lower_gap));
  const std::uint64_t vbr = round_to_odd(plus(middle, upper_gap));
  const std::uint64_t s = vb >> 2;
  // Whether a candidate lies inside the rounding interval is a coin toss for
  // the many digits of an arbitrary double, so the choices below are made
  // with masks, not branches (a compiler turns the plain conditionals into
  // jumps, each mispredicted half the time).
  const std::uint64_t t = s + 1;
  const std::uint64_t u_inside = vbl + out <= s << 2;
  const std::uint64_t w_inside = (t << 2) + out <= vbr;
  // Both inside: the closer one, ties to even.
  const auto cmp = static_cast<std::int64_t>(vb - ((s + t) << 1));
  const std::uint64_t closer_up =
      static_cast<std::uint64_t>(cmp > 0) | (static_cast<std::uint64_t>(cmp == 0) & s);
  // Exactly one inside: that one (the mask is 1 then, and picks w_inside).
  const std::uint64_t either = u_inside ^ w_inside;
  const std::uint64_t up = (closer_up & 1) ^ (((closer_up & 1) ^ w_inside) & either);
  const std::uint64_t digits = s + up;
  // One digit fewer, when exactly one of its two neighbours is inside.
  const std::uint64_t sp10 = s / 10 * 10;
  const std::uint64_t up10_inside = vbl + out <= sp10 << 2;
  const std::uint64_t wp10_inside = ((sp10 + 10) << 2) + out <= vbr;
  const std::uint64_t fewer_digits = sp10 + 10 - 10 * up10_inside;
  const std::uint64_t fewer = std::uint64_t{0} - ((s >= 10) & (up10_inside ^ wp10_inside));
  return {digits ^ ((digits ^ fewer_digits) & fewer), k + dk};
}

}  // namespace float_text_detail

namespace float_text_detail {

// 10^0 .. 10^22, every one exact as a double.
inline constexpr double EXACT_POW10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                           1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Most fractions in data were written with a few digits (prices, readings):
// 12.34 is the double nearest 1234 / 100. For those there is a shorter way
// than Schubfach. Scale v to fifteen digits before the point, N = round(v x
// 10^d); if N / 10^d gives v back, N x 10^-d is a decimal of at most fifteen
// digits that reads back as v, and it is the only one: two such decimals
// are at least 10^-15 apart relative to v, while the doubles that read back
// as v span at most 2^-52 of it. So it is the shortest, N without its
// trailing zeros. Both 10^d and N are exact doubles and the division is
// correctly rounded, as reading the text would be. Returns false when v
// has more digits (or is too small or large for an exact 10^d).
inline bool short_decimal(double value, ShortestDecimal& out) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const int binary_exponent = static_cast<int>(bits >> 52) - 1023;  // floor(log2(v)) for normals
  // floor(log10(v)) or one less: then N has sixteen digits, and one power
  // of ten less is taken.
  int d = 14 - floor_log10_pow2(binary_exponent);
  if (d < 1 || d > 22) {
    return false;
  }
  // Rounded by conversion (one instruction; round() is a library call):
  // a wrong neighbour would only fail the check below.
  auto n = static_cast<std::int64_t>(value * EXACT_POW10[d] + 0.5);
  if (n >= 1000000000000000) {
    --d;
    n = static_cast<std::int64_t>(value * EXACT_POW10[d] + 0.5);
  }
  if (static_cast<double>(n) / EXACT_POW10[d] != value) {
    return false;
  }
  out = {static_cast<std::uint64_t>(n), -d};
  return true;
}

}  // namespace float_text_detail

// The shortest decimal of a finite double greater than zero.
inline ShortestDecimal shortest_decimal(double value) noexcept {
  using namespace float_text_detail;
  constexpr int BIAS_AND_WIDTH = 1075;  // exponent bias 1023 + 52 fraction bits
  constexpr std::uint64_t HIDDEN = std::uint64_t{1} << 52;
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const std::uint64_t fraction = bits & (HIDDEN - 1);
  const auto biased = static_cast<int>(bits >> 52) & 0x7FF;
  if (fraction == 0 && biased > 1) {
    return schubfach<true>(HIDDEN, biased - BIAS_AND_WIDTH, 0);
  }
  if (biased != 0) {
    return schubfach<false>(HIDDEN | fraction, biased - BIAS_AND_WIDTH, 0);
  }
  // Subnormal. The two smallest (5e-324, 1e-323) are scaled by ten first:
  // their boundaries are too close to zero for the table's precision.
  constexpr int Q_MIN = 1 - BIAS_AND_WIDTH;
  return fraction < 3 ? schubfach<false>(fraction * 10, Q_MIN, -1)
                      : schubfach<false>(fraction, Q_MIN, 0);
}

// The exact decimal text of a whole double with |value| >= 2^63 (a "-" when
// negative); at most 310 bytes. Defined in float_text.cpp.
std::size_t write_whole_double(double value, char* out) noexcept;

}  // namespace drisk

#endif  // DRISK_FLOAT_TEXT_HPP
