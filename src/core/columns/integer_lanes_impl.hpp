// drisk: the integer-column algorithm over vector lanes of any width.
//
// Included only by the files compiled for one instruction set
// (integer_lanes_avx2.cpp, integer_lanes_avx512.cpp), each of which supplies
// a Lanes class: the vector type, its lane count and the handful of
// operations below, as single instructions where the set has them. Lanes are
// 64 bits wide; Lanes classes live in an unnamed namespace, so every
// template instantiated over one stays inside its file, and absorb_integers
// is flattened, so that no inline function of a shared header is emitted
// there out of line (the linker could otherwise pick that copy, built for
// the wider instruction set, for the whole library).
//
// A Lanes class L provides, for its vector type L::Vec of L::COUNT lanes:
//   load<K>(at)          COUNT integers of kind K from `at`, widened to 64 bits
//   store(to, v)         v to unaligned memory
//   splat64/16/8(x)      x in every lane of that width
//   add64, sub64, sub16, add8, and_, or_, xor_, shifts by constants and srlv64
//   mul_low32(a, b)      64-bit products of the low 32 bits of each lane
//   mulhi16, mullo16     16-bit lane products, high and low halves
//   mul64(a, c)          each lane times the constant c, modulo 2^64
//   rotl<R>(x)           each lane rotated left by R
//   sllv64(a, count)     each lane shifted left by its count (0 from 64 on)
//   byte_swap64(a)       each lane's bytes in reverse order
//   greater(a, b)        a bit per lane: a > b (signed)
//   select_greater(v, t, a, b)   a in the lanes where v > t, b elsewhere
//   count_greater(n, v, t)   n + 1 in the lanes where v > t
//   bytes_equal(a, b)    a bit per byte: a == b
//   compress_store(to, v, lanes)   the lanes named by the bit mask `lanes`,
//                        in order, to the start of `to` (COUNT lanes stored)
#ifndef DRISK_COLUMNS_INTEGER_LANES_IMPL_HPP
#define DRISK_COLUMNS_INTEGER_LANES_IMPL_HPP

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "integer_lanes.hpp"
#include "item_decimal.hpp"
#include "platform.hpp"
#include "row_views.hpp"
#include "value_views.hpp"

namespace drisk::columns {
namespace {

// The eight decimal digits of integers below 10^8, leading zeros included,
// as ASCII, one 64-bit lane each with the most significant digit in the
// lowest byte: the digit splitting of format_uint64 (by 10^4, then 10^2,
// then 10), one lane per integer.
template <class L>
[[gnu::always_inline]] inline typename L::Vec eight_digits(typename L::Vec v) noexcept {
  // [v / 10^4, v % 10^4] in 32-bit halves, then each half to [/100, %100]
  // in 16-bit quarters, then each quarter to [/10, %10] in bytes.
  //   x / 10^4 = x * 0xD1B71759 >> 45;  x / 100 = mulhi(x, 5243) >> 3;
  //   x / 10 = mulhi(x, 6554)           (exact in the ranges met here)
  const auto high = L::template srli64<45>(L::mul_low32(v, L::splat64(0xD1B71759)));
  const auto low = L::sub64(v, L::mul_low32(high, L::splat64(10000)));
  const auto halves = L::or_(high, L::template slli64<32>(low));
  const auto hundreds = L::template srli16<3>(L::mulhi16(halves, L::splat16(5243)));
  const auto below_hundred = L::sub16(halves, L::mullo16(hundreds, L::splat16(100)));
  const auto pairs = L::or_(hundreds, L::template slli32<16>(below_hundred));
  const auto tens = L::mulhi16(pairs, L::splat16(6554));
  const auto ones = L::sub16(pairs, L::mullo16(tens, L::splat16(10)));
  return L::add8(L::or_(tens, L::template slli16<8>(ones)), L::splat8('0'));
}

// XXH3_64bits of texts of 4 to 8 bytes, a lane each: lane k holds its text
// in its low bytes (the first byte lowest, the bytes above the text zero)
// and its length in `length`. Such a text takes XXH3's 4-to-8 byte path
// (xxhash.h, XXH3_len_4to8_64b with seed 0):
//   input64 = (last 4 bytes) + (first 4 bytes << 32), little-endian reads
//   keyed   = input64 ^ (secret[8..16) ^ secret[16..24))
//   h ^= rotl(h, 49) ^ rotl(h, 24); h *= M; h ^= (h >> 35) + len; h *= M;
//   h ^= h >> 28                                        (rrmxmx, M below)
// Here the text never goes through memory: both reads are shifts of the
// lane. The tests hold this to XXH3_64bits over every length.
template <class L>
[[gnu::always_inline]] inline typename L::Vec hash_4to8(typename L::Vec text,
                                                        typename L::Vec length,
                                                        typename L::Vec bitflip) noexcept {
  constexpr std::uint64_t M = 0x9FB21C651E98DF25ULL;
  const auto last4 = L::srlv64(text, L::sub64(L::template slli64<3>(length), L::splat64(32)));
  auto h = L::xor_(L::or_(last4, L::template slli64<32>(text)), bitflip);
  h = L::xor_(h, L::xor_(L::template rotl<49>(h), L::template rotl<24>(h)));
  h = L::mul64(h, M);
  h = L::xor_(h, L::add64(L::template srli64<35>(h), length));
  h = L::mul64(h, M);
  return L::xor_(h, L::template srli64<28>(h));
}

// XXH3_64bits of the decimal text of integers from 10^3 to 10^8 - 1, a lane
// each, given their eight digits: a text of 4 to 8 bytes. It was checked
// against XXH3_64bits for every integer in the range.
template <class L>
[[gnu::always_inline]] inline typename L::Vec hash_decimal(typename L::Vec v,
                                                           typename L::Vec digits,
                                                           typename L::Vec bitflip) noexcept {
  // The text's length: 4, plus one per power of ten passed.
  auto length = L::splat64(4);
  length = L::count_greater(length, v, L::splat64(9999));
  length = L::count_greater(length, v, L::splat64(99999));
  length = L::count_greater(length, v, L::splat64(999999));
  length = L::count_greater(length, v, L::splat64(9999999));
  // The text alone in the low bytes: the leading zeros shifted out.
  const auto text = L::srlv64(digits, L::sub64(L::splat64(64), L::template slli64<3>(length)));
  return hash_4to8<L>(text, length, bitflip);
}

template <class L>
[[gnu::always_inline]] inline typename L::Vec hash_decimal(typename L::Vec v,
                                                           typename L::Vec bitflip) noexcept {
  return hash_decimal<L>(v, eight_digits<L>(v), bitflip);
}

// The full 128-bit products a * b, per lane, from four 32-bit products:
// the low halves in `low`, the high ones in `high`.
template <class L>
[[gnu::always_inline]] inline void multiply_128(typename L::Vec a, typename L::Vec b,
                                                typename L::Vec& low,
                                                typename L::Vec& high) noexcept {
  const auto low32 = L::splat64(0xFFFFFFFF);
  const auto a_high = L::template srli64<32>(a);
  const auto b_high = L::template srli64<32>(b);
  const auto low_low = L::mul_low32(a, b);
  const auto low_high = L::mul_low32(a, b_high);
  const auto high_low = L::mul_low32(a_high, b);
  const auto high_high = L::mul_low32(a_high, b_high);
  // The middle column: below 3 * 2^32, so no carry is lost.
  const auto middle = L::add64(L::add64(L::template srli64<32>(low_low), L::and_(low_high, low32)),
                               L::and_(high_low, low32));
  low = L::or_(L::and_(low_low, low32), L::template slli64<32>(middle));
  high = L::add64(L::add64(high_high, L::template srli64<32>(low_high)),
                  L::add64(L::template srli64<32>(high_low), L::template srli64<32>(middle)));
}

// Each lane (any unsigned 64-bit value) divided by a constant: the high
// half of its product with MAGIC, shifted by SHIFT. For 10^8, MAGIC is
// ceil(2^90 / 10^8) and SHIFT 26; for 10^16, ceil(2^115 / 10^16) and 51:
// exact for every 64-bit value, checked against Python's integers at the
// multiples of the divisor and on 2 * 10^6 random values.
// A divisor with PRE trailing zero bits divides the value shifted by PRE
// first (the timestamps' units below).
template <class L, std::uint64_t MAGIC, int SHIFT, int PRE = 0>
[[gnu::always_inline]] inline typename L::Vec divide_by(typename L::Vec v) noexcept {
  typename L::Vec low;
  typename L::Vec high;
  if constexpr (PRE != 0) {
    v = L::template srli64<PRE>(v);
  }
  multiply_128<L>(v, L::splat64(static_cast<long long>(MAGIC)), low, high);
  return L::template srli64<SHIFT>(high);
}

template <class L>
[[gnu::always_inline]] inline typename L::Vec divide_1e8(typename L::Vec v) noexcept {
  return divide_by<L, 0xABCC77118461CEFDULL, 26>(v);
}

template <class L>
[[gnu::always_inline]] inline typename L::Vec divide_1e16(typename L::Vec v) noexcept {
  return divide_by<L, 0x39A5652FB1137857ULL, 51>(v);
}

// XXH3's 128-bit multiply folded: the low and high halves of a * b xored.
template <class L>
[[gnu::always_inline]] inline typename L::Vec multiply_fold(typename L::Vec a,
                                                            typename L::Vec b) noexcept {
  typename L::Vec low;
  typename L::Vec high;
  multiply_128<L>(a, b, low, high);
  return L::xor_(low, high);
}

// The secret's eight bytes at `offset`, in every lane.
template <class L>
[[gnu::always_inline]] inline typename L::Vec secret_at(std::size_t offset) noexcept {
  return L::splat64(static_cast<long long>(XXH_readLE64(XXH3_kSecret + offset)));
}

// The number of decimal digits of each lane, from 1 to the digits of
// 10^(LIMIT_DIGITS - 1), the lanes' largest power of ten.
template <class L, int LIMIT_DIGITS>
[[gnu::always_inline]] inline typename L::Vec digit_count(typename L::Vec v) noexcept {
  auto count = L::splat64(1);
  long long bound = 9;
  for (int k = 1; k < LIMIT_DIGITS; ++k, bound = bound * 10 + 9) {
    count = L::count_greater(count, v, L::splat64(bound));
  }
  return count;
}

// XXH3's avalanche, the last step of its paths for 9 to 240 bytes.
template <class L>
[[gnu::always_inline]] inline typename L::Vec avalanche(typename L::Vec h) noexcept {
  h = L::xor_(h, L::template srli64<37>(h));
  h = L::mul64(h, 0x165667919E3779F9ULL);
  return L::xor_(h, L::template srli64<32>(h));
}

// XXH3_64bits of texts of 9 to 16 bytes, a lane each, given their first
// and last eight bytes and their length: XXH3's 9 to 16 byte path
// (xxhash.h, XXH3_len_9to16_64b with seed 0):
//   lo = (first 8 bytes) ^ (secret[24..32) ^ secret[32..40))
//   hi = (last 8 bytes) ^ (secret[40..48) ^ secret[48..56))
//   h = avalanche(len + bswap64(lo) + hi + multiply_fold(lo, hi))
// hash_9to16_digits: the decimal text of integers from 10^8 to 10^16 - 1,
// given v = q * 10^8 + r and the eight digits of both. The last eight bytes
// are r's digits; the first eight are q's digits (its leading zeros shifted
// out) followed by the first of r's.
template <class L>
[[gnu::always_inline]] inline typename L::Vec hash_9to16(typename L::Vec first8,
                                                         typename L::Vec last8,
                                                         typename L::Vec length) noexcept {
  const auto lo = L::xor_(first8, L::xor_(secret_at<L>(24), secret_at<L>(32)));
  const auto hi = L::xor_(last8, L::xor_(secret_at<L>(40), secret_at<L>(48)));
  return avalanche<L>(
      L::add64(L::add64(length, L::byte_swap64(lo)), L::add64(hi, multiply_fold<L>(lo, hi))));
}

template <class L>
[[gnu::always_inline]] inline typename L::Vec hash_9to16_digits(typename L::Vec q,
                                                                typename L::Vec q_digits,
                                                                typename L::Vec r_digits) noexcept {
  const auto q_bits = L::template slli64<3>(digit_count<L, 8>(q));
  const auto first8 =
      L::or_(L::srlv64(q_digits, L::sub64(L::splat64(64), q_bits)), L::sllv64(r_digits, q_bits));
  return hash_9to16<L>(first8, r_digits, L::add64(L::template srli64<3>(q_bits), L::splat64(8)));
}

// XXH3_64bits of the decimal text of integers from 10^16 to 2^63 - 1, a
// lane each, given v = a * 10^16 + q * 10^8 + r: 17 to 19 bytes, which take
// XXH3's 17 to 128 byte path (XXH3_len_17to128_64b with seed 0; two of its
// 16-byte mixes for texts up to 32 bytes):
//   mix(at, s) = multiply_fold(read(at) ^ secret[s..s+8),
//                              read(at + 8) ^ secret[s+8..s+16))
//   h = avalanche(len * PRIME64_1 + mix(0, 0) + mix(len - 16, 16))
// The text is a's n digits, then q's eight, then r's eight: its last 16
// bytes are q's and r's digits, its first 16 a's text and the 16 - n
// digits after it.
template <class L>
[[gnu::always_inline]] inline typename L::Vec hash_17to19(typename L::Vec a, typename L::Vec q,
                                                          typename L::Vec r) noexcept {
  const auto q_digits = eight_digits<L>(q);
  const auto r_digits = eight_digits<L>(r);
  const auto a_count = digit_count<L, 3>(a);
  const auto a_bits = L::template slli64<3>(a_count);
  const auto a_shift = L::sub64(L::splat64(64), a_bits);
  const auto a_text = L::srlv64(eight_digits<L>(a), a_shift);
  const auto word0 = L::or_(a_text, L::sllv64(q_digits, a_bits));
  const auto word1 = L::or_(L::srlv64(q_digits, a_shift), L::sllv64(r_digits, a_bits));
  const auto length = L::add64(a_count, L::splat64(16));
  auto h = L::mul64(length, XXH_PRIME64_1);
  h = L::add64(h,
               multiply_fold<L>(L::xor_(word0, secret_at<L>(0)), L::xor_(word1, secret_at<L>(8))));
  h = L::add64(h, multiply_fold<L>(L::xor_(q_digits, secret_at<L>(16)),
                                   L::xor_(r_digits, secret_at<L>(24))));
  return avalanche<L>(h);
}

// XXH3_64bits of the decimal text of integers from 10^3 to 2^63 - 1, a lane
// each: hash_decimal below 10^8, hash_9to16 below 10^16, hash_17to19 from
// there, each worked out only when a lane needs it.
template <class L>
[[gnu::always_inline]] inline typename L::Vec hash_wide_decimal(typename L::Vec v,
                                                                typename L::Vec bitflip) noexcept {
  constexpr unsigned all = (1u << L::COUNT) - 1;
  const auto below_1e8 = L::splat64(99999999);
  const auto below_1e16 = L::splat64(9999999999999999);
  const unsigned long_lanes = L::greater(v, below_1e16);
  typename L::Vec long_hashes = v;
  auto rest = v;
  if (long_lanes != 0) {
    const auto a = divide_1e16<L>(v);
    const auto b = L::sub64(v, L::mul64(a, 10000000000000000ULL));
    const auto q = divide_1e8<L>(b);
    long_hashes = hash_17to19<L>(a, q, L::sub64(b, L::mul_low32(q, L::splat64(100000000))));
    if (long_lanes == all) {
      return long_hashes;
    }
    // The long lanes' hashes are picked at the end: the rest hashed with
    // a lane of 10^8 in their place.
    rest = L::select_greater(v, below_1e16, L::splat64(100000000), v);
  }
  const auto q = divide_1e8<L>(rest);
  const auto r = L::sub64(rest, L::mul_low32(q, L::splat64(100000000)));
  const auto r_digits = eight_digits<L>(r);
  const unsigned mid_lanes = L::greater(rest, below_1e8);
  auto h = hash_9to16_digits<L>(q, eight_digits<L>(q), r_digits);
  if (mid_lanes != all) {
    h = L::select_greater(rest, below_1e8, h, hash_decimal<L>(rest, r_digits, bitflip));
  }
  return long_lanes == 0 ? h : L::select_greater(v, below_1e16, long_hashes, h);
}

// Prices: XXH3_64bits of the text of n / 100 as repr() writes it, for n from
// 1000 to 10^7 - 1 that is not a multiple of 100 (10.01 to 99999.99, not
// whole), a lane each: the whole part (2 to 5 digits), a point, and the
// fraction's one or two digits, 4 to 8 bytes in all. With n's eight digits
// d0..d7 (d0 = '0', as n < 10^7), the lane is first laid out as
// d1..d5 '.' d6 d7, then shifted by the whole part's leading zeros, and cut
// after d6 when d7 is '0'. Returns the bit mask of the lanes whose n is such
// a value; the others' hashes mean nothing.
template <class L>
[[gnu::always_inline]] inline unsigned hash_cents(typename L::Vec v, typename L::Vec bitflip,
                                                  typename L::Vec& hashes) noexcept {
  const auto digits = eight_digits<L>(v);
  // d6 in the low byte, d7 above it: above "00" when the fraction is not
  // zero, above "09" (as a number) when d7 is not '0'.
  const auto fraction = L::template srli64<48>(digits);
  const unsigned priced = L::greater(v, L::splat64(PRICE_LANES_FIRST - 1)) &
                          L::greater(L::splat64(PRICE_LANES_END), v) &
                          L::greater(fraction, L::splat64(0x3030));
  const auto laid_out =
      L::or_(L::or_(L::and_(L::template srli64<8>(digits), L::splat64(0xFFFFFFFFFF)),
                    L::splat64(std::int64_t{'.'} << 40)),
             L::and_(digits, L::splat64(static_cast<long long>(0xFFFF000000000000ULL))));
  auto whole_digits = L::splat64(2);
  whole_digits = L::count_greater(whole_digits, v, L::splat64(9999));
  whole_digits = L::count_greater(whole_digits, v, L::splat64(99999));
  whole_digits = L::count_greater(whole_digits, v, L::splat64(999999));
  const auto length =
      L::add64(whole_digits, L::count_greater(L::splat64(2), fraction, L::splat64(0x3039)));
  const auto text =
      L::srlv64(laid_out, L::sub64(L::splat64(40), L::template slli64<3>(whole_digits)));
  // Nothing above the text: a cut '0' goes too.
  const auto kept =
      L::srlv64(L::splat64(-1), L::sub64(L::splat64(64), L::template slli64<3>(length)));
  hashes = hash_4to8<L>(L::and_(text, kept), length, bitflip);
  return priced;
}

// Which of four ways a vector of integers goes: all from 10^3 to 10^8 - 1
// (hash_decimal), all from 10^3 to 2^63 - 1 (hash_wide_decimal), all from
// 0 to 10^8 - 1 (eight_digits, then a hash per lane), or any other
// (format_integer, a row at a time).
enum class LaneCase { hashed, wide, digits, formatted };

template <class L>
struct LaneCases {
  typename L::Vec below_zero = L::splat64(-1);
  typename L::Vec below_1000 = L::splat64(999);
  typename L::Vec limit = L::splat64(100000000);
  typename L::Vec bitflip = L::splat64(
      static_cast<long long>(XXH_readLE64(XXH3_kSecret + 8) ^ XXH_readLE64(XXH3_kSecret + 16)));

  LaneCase of(typename L::Vec v) const noexcept {
    constexpr unsigned all = (1u << L::COUNT) - 1;
    const unsigned under_limit = L::greater(limit, v);
    const unsigned from_1000 = L::greater(v, below_1000);
    if ((from_1000 & under_limit) == all) {
      return LaneCase::hashed;
    }
    if (from_1000 == all) {
      return LaneCase::wide;
    }
    return (L::greater(v, below_zero) & under_limit) == all ? LaneCase::digits
                                                            : LaneCase::formatted;
  }
};

// Where lane j's text starts in its eight digits, given the bit mask of the
// bytes that are '0': leading zeros skipped, the last digit always kept (0
// is "0").
inline unsigned text_start(std::uint64_t zeros, unsigned j) noexcept {
  return static_cast<unsigned>(
      std::countr_zero(static_cast<std::uint32_t>((~zeros >> (8 * j)) & 0xFF) | 0x80u));
}

// Rows [begin, end) of a contiguous run of integers of kind K, inserted as
// their decimal text, a vector at a time. A vector of integers from 10^3 to
// 10^8 - 1 is hashed in the lanes (hash_decimal); one of integers from 0 to
// 10^8 - 1 has its texts written in the lanes and hashed one by one; any
// other is written by format_*. Hashes and texts are kept for a batch and
// inserted after it (see BATCH).
template <class L, ValueKind K>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_integers(HyperLogLogCore& core,
                                                              const std::uint8_t* base,
                                                              std::size_t begin,
                                                              std::size_t end) noexcept {
  using Value = typename NumberTraits<K>::Value;
  constexpr std::size_t width = sizeof(Value);
  constexpr std::size_t lanes = L::COUNT;
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  const LaneCases<L> cases;
  alignas(64) std::uint64_t hashes[BATCH];
  alignas(64) char digits_text[BATCH][8];
  char arena[BATCH][ITEM_TEXT_CAPACITY];
  ItemView items[BATCH];
  for (std::size_t row = begin; row < end;) {
    const std::size_t n = std::min(BATCH, end - row);
    const std::uint8_t* at = base + row * width;
    std::size_t hashed = 0;
    std::size_t written = 0;
    std::size_t k = 0;
    for (; k + lanes <= n; k += lanes) {
      drisk::prefetch(at + (k + PREFETCH_ROWS) * width);
      const auto v = L::template load<K>(at + k * width);
      const LaneCase lane_case = cases.of(v);
      if (lane_case == LaneCase::hashed) {
        L::store(hashes + hashed, hash_decimal<L>(v, cases.bitflip));
        hashed += lanes;
      } else if (lane_case == LaneCase::wide) {
        L::store(hashes + hashed, hash_wide_decimal<L>(v, cases.bitflip));
        hashed += lanes;
      } else if (lane_case == LaneCase::digits) {
        const auto text = eight_digits<L>(v);
        L::store(digits_text[written], text);
        const std::uint64_t zeros = L::bytes_equal(text, L::splat8('0'));
        for (unsigned j = 0; j < lanes; ++j, ++written) {
          const unsigned skip = text_start(zeros, j);
          items[written] = {digits_text[written] + skip, 8 - skip};
        }
      } else {
        for (std::size_t j = k; j < k + lanes; ++j, ++written) {
          items[written] = {arena[written],
                            format_integer(load<Value>(at + j * width), arena[written])};
        }
      }
    }
    for (; k < n; ++k, ++written) {
      items[written] = {arena[written],
                        format_integer(load<Value>(at + k * width), arena[written])};
    }
    for (std::size_t j = 0; j < hashed; ++j) {
      insert_hash(registers, p, hashes[j]);
    }
    for (std::size_t j = 0; j < written; ++j) {
      insert(registers, p, items[j].data, items[j].len);
    }
    row += n;
  }
  return {end - begin, false};
}

// Rows [begin, end) of a contiguous run of integers of kind K, each row's
// hash written to hashes[row - begin]: absorb_integers' three cases, the
// hashes stored in row order instead of inserted.
template <class L, ValueKind K>
[[gnu::flatten]] void hash_integers(const std::uint8_t* base, std::size_t begin, std::size_t end,
                                    std::uint64_t* hashes) noexcept {
  using Value = typename NumberTraits<K>::Value;
  constexpr std::size_t width = sizeof(Value);
  constexpr std::size_t lanes = L::COUNT;
  const LaneCases<L> cases;
  alignas(64) char digits_text[lanes][8];
  char arena[ITEM_TEXT_CAPACITY];
  const std::uint8_t* const at = base + begin * width;
  const std::size_t n = end - begin;
  std::size_t k = 0;
  for (; k + lanes <= n; k += lanes) {
    drisk::prefetch(at + (k + PREFETCH_ROWS) * width);
    const auto v = L::template load<K>(at + k * width);
    const LaneCase lane_case = cases.of(v);
    if (lane_case == LaneCase::hashed) {
      L::store(hashes + k, hash_decimal<L>(v, cases.bitflip));
    } else if (lane_case == LaneCase::wide) {
      L::store(hashes + k, hash_wide_decimal<L>(v, cases.bitflip));
    } else if (lane_case == LaneCase::digits) {
      const auto text = eight_digits<L>(v);
      L::store(digits_text, text);
      const std::uint64_t zeros = L::bytes_equal(text, L::splat8('0'));
      for (unsigned j = 0; j < lanes; ++j) {
        const unsigned skip = text_start(zeros, j);
        hashes[k + j] = XXH3_64bits(digits_text[j] + skip, 8 - skip);
      }
    } else {
      for (std::size_t j = k; j < k + lanes; ++j) {
        hashes[j] = XXH3_64bits(arena, format_integer(load<Value>(at + j * width), arena));
      }
    }
  }
  for (; k < n; ++k) {
    hashes[k] = XXH3_64bits(arena, format_integer(load<Value>(at + k * width), arena));
  }
}

// Rows [begin, end) of a contiguous run of int64 n, each standing for
// n / 100 (a float price, or a decimal of scale 2), inserted as the text
// repr() and the decimal writer give it (the same: "12.5", "-3.07", and for
// whole values the integer, "1200"): the prices from 10.01 to 99999.99 of
// each vector in the lanes (hash_cents), the other rows by the decimal
// writer.
template <class L>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_cents(HyperLogLogCore& core,
                                                           const std::uint8_t* base,
                                                           std::size_t begin,
                                                           std::size_t end) noexcept {
  constexpr std::size_t lanes = L::COUNT;
  constexpr unsigned all = (1u << lanes) - 1;
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  const LaneCases<L> cases;
  alignas(64) std::uint64_t hashes[BATCH + lanes];
  // The longest text is "-92233720368547758.08" (21 bytes), and the
  // writer's last store ends within 24: 32 bytes a row keep the batch's
  // texts in the first-level cache, where a full item's room would not.
  char arena[BATCH][32];
  std::size_t lengths[BATCH];
  const auto write = [&](std::size_t row, std::size_t slot) noexcept {
    const std::int64_t n = load<std::int64_t>(base + row * sizeof(std::int64_t));
    const std::uint64_t magnitude =
        n < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    lengths[slot] = item_decimal_detail::write_fixed_point<2>(magnitude, n < 0, arena[slot]);
  };
  for (std::size_t row = begin; row < end;) {
    const std::size_t n = std::min(BATCH, end - row);
    const std::uint8_t* at = base + row * sizeof(std::int64_t);
    std::size_t hashed = 0;
    std::size_t written = 0;
    std::size_t k = 0;
    for (; k + lanes <= n; k += lanes) {
      typename L::Vec h;
      const unsigned priced = hash_cents<L>(
          L::template load<ValueKind::Int64>(at + k * sizeof(std::int64_t)), cases.bitflip, h);
      L::compress_store(hashes + hashed, h, priced);
      hashed += static_cast<std::size_t>(std::popcount(priced));
      for (unsigned rest = all & ~priced; rest != 0; rest &= rest - 1) {
        write(row + k + static_cast<std::size_t>(std::countr_zero(rest)), written++);
      }
    }
    for (; k < n; ++k) {
      write(row + k, written++);
    }
    for (std::size_t j = 0; j < hashed; ++j) {
      insert_hash(registers, p, hashes[j]);
    }
    for (std::size_t j = 0; j < written; ++j) {
      insert(registers, p, arena[j], lengths[j]);
    }
    row += n;
  }
  return {end - begin, false};
}

// Dates: date.isoformat(), "YYYY-MM-DD", of day counts from 0000-03-01 to
// 9999-12-31, a lane each, by the calendar arithmetic of item_time.hpp's
// short_date (C. Neri and L. Schneider's; each division by a constant a
// 32-bit multiply and a shift, exact over those days, checked for every
// day):
//   n1 / 146097        = n1 * 30103606 >> 42                   (n1 < 2^24)
//   (p2 mod 2^32) / 4 / 2939745 = (p2 mod 2^32 >> 2) * 1531969483 >> 52
//   (n3 mod 2^16) / 2141 = (n3 mod 2^16) * 31345 >> 26
// then four pairs of ASCII digits (tens by v * 103 >> 10) placed in a word
// "YYYY-MM-" and a tail "DD", hashed as ten bytes by hash_9to16.
inline constexpr std::int64_t FIRST_SHORT_DAY = -item_time_detail::DAYS_FROM_MARCH_OF_YEAR_0;
inline constexpr std::int64_t LAST_SHORT_DAY = item_time_detail::LAST_DAY_OF_9999;

// The ASCII digits of v < 100 in each lane: tens in the low byte.
template <class L>
[[gnu::always_inline]] inline typename L::Vec digit_pair(typename L::Vec v) noexcept {
  const auto tens = L::template srli64<10>(L::mul_low32(v, L::splat64(103)));
  const auto ones = L::sub64(v, L::mul_low32(tens, L::splat64(10)));
  return L::add64(L::or_(tens, L::template slli64<8>(ones)), L::splat64(0x3030));
}

// "YYYY-MM-" in `head`, the day's two digits in the low bytes of `day_digits`.
template <class L>
[[gnu::always_inline]] inline void date_words(typename L::Vec days, typename L::Vec& head,
                                              typename L::Vec& day_digits) noexcept {
  const auto n1 =
      L::add64(L::template slli64<2>(L::sub64(days, L::splat64(FIRST_SHORT_DAY))), L::splat64(3));
  const auto century = L::template srli64<42>(L::mul_low32(n1, L::splat64(30103606)));
  const auto day_of_century =
      L::template srli64<2>(L::sub64(n1, L::mul_low32(century, L::splat64(146097))));
  const auto p2 = L::mul_low32(L::add64(L::template slli64<2>(day_of_century), L::splat64(3)),
                               L::splat64(2939745));
  const auto year_of_century = L::template srli64<32>(p2);
  const auto day_of_year = L::template srli64<52>(L::mul_low32(
      L::template srli64<2>(L::and_(p2, L::splat64(0xFFFFFFFF))), L::splat64(1531969483)));
  const auto n3 = L::add64(L::mul_low32(day_of_year, L::splat64(2141)), L::splat64(197913));
  // January and February (day_of_year from 306) belong to the next year.
  const auto march_year = L::add64(L::mul_low32(century, L::splat64(100)), year_of_century);
  const auto year = L::count_greater(march_year, day_of_year, L::splat64(305));
  const auto march_month = L::template srli64<16>(n3);
  const auto month = L::select_greater(day_of_year, L::splat64(305),
                                       L::sub64(march_month, L::splat64(12)), march_month);
  const auto day = L::add64(
      L::template srli64<26>(L::mul_low32(L::and_(n3, L::splat64(0xFFFF)), L::splat64(31345))),
      L::splat64(1));
  const auto hundreds = L::template srli64<19>(L::mul_low32(year, L::splat64(5243)));
  const auto below_hundred = L::sub64(year, L::mul_low32(hundreds, L::splat64(100)));
  const auto dashes =
      L::splat64(static_cast<long long>(std::uint64_t{'-'} << 32 | std::uint64_t{'-'} << 56));
  head =
      L::or_(L::or_(digit_pair<L>(hundreds), L::template slli64<16>(digit_pair<L>(below_hundred))),
             L::or_(dashes, L::template slli64<40>(digit_pair<L>(month))));
  day_digits = digit_pair<L>(day);
}

template <class L>
[[gnu::always_inline]] inline typename L::Vec hash_dates(typename L::Vec days) noexcept {
  typename L::Vec head;
  typename L::Vec day_digits;
  date_words<L>(days, head, day_digits);
  // The last eight of the ten bytes: bytes 2 to 9.
  const auto last8 = L::or_(L::template srli64<16>(head), L::template slli64<48>(day_digits));
  return hash_9to16<L>(head, last8, L::splat64(10));
}

// The loop the date and timestamp kernels share: a vector of LANES rows at
// a time from `begin`, step(row, to, absorbed) handling the vector at `row`
// (the hashes it wants inserted written at `to`, their count returned, the
// rows it absorbed otherwise added to `absorbed`); the hashes inserted a
// batch at a time, the last rows, fewer than a vector, through
// tail_row(row) (1 when it absorbed the row).
template <std::size_t LANES, class Step, class TailRow>
[[gnu::always_inline]] inline std::pair<std::size_t, bool> absorb_vectors(
    std::uint8_t* registers, unsigned p, std::size_t begin, std::size_t end, Step&& step,
    TailRow&& tail_row) noexcept {
  alignas(64) std::uint64_t hashes[BATCH + LANES];
  std::size_t absorbed = 0;
  std::size_t row = begin;
  while (row + LANES <= end) {
    std::size_t hashed = 0;
    for (; row + LANES <= end && hashed < BATCH; row += LANES) {
      hashed += step(row, hashes + hashed, absorbed);
    }
    for (std::size_t k = 0; k < hashed; ++k) {
      insert_hash(registers, p, hashes[k]);
    }
    absorbed += hashed;
  }
  for (; row < end; ++row) {
    absorbed += tail_row(row);
  }
  return {absorbed, false};
}

// Rows [begin, end) of contiguous day counts of type T (int32 for Arrow
// date32; int64 for NumPy datetime64[D], whose NaT is missing), inserted as
// dates: a vector whose days all lie from 0000-03-01 to 9999-12-31 in the
// lanes, any other (NaT among them, and the last rows) through the row
// view, which writes the same text. A vector equal in every lane to the
// row before it is skipped: a sorted column repeats its dates, and an item
// inserted again changes nothing.
template <class L, class T, bool Nat>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_dates(HyperLogLogCore& core,
                                                           const std::uint8_t* base,
                                                           std::size_t begin,
                                                           std::size_t end) noexcept {
  constexpr std::size_t lanes = L::COUNT;
  constexpr unsigned all = (1u << lanes) - 1;
  constexpr ValueKind KIND = sizeof(T) == 4 ? ValueKind::Int32 : ValueKind::Int64;
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  const auto before_first = L::splat64(FIRST_SHORT_DAY - 1);
  const auto after_last = L::splat64(LAST_SHORT_DAY + 1);
  DateView<T, 1, Nat> rows{{base, sizeof(T)}};
  const auto insert_row = [&](std::size_t r) noexcept {
    return static_cast<std::size_t>(rows.insert_row(r, registers, p));
  };
  // No day served is INT64_MIN.
  std::int64_t previous = std::numeric_limits<std::int64_t>::min();
  const auto step = [&](std::size_t row, std::uint64_t* to, std::size_t& absorbed) noexcept {
    drisk::prefetch(base + (row + PREFETCH_ROWS) * sizeof(T));
    const auto days = L::template load<KIND>(base + row * sizeof(T));
    const bool served = (L::greater(days, before_first) & L::greater(after_last, days)) == all;
    const auto same = L::splat64(previous);
    if (served && L::greater(days, same) == 0 && L::greater(same, days) == 0) {
      absorbed += lanes;  // the same date as the row before, in every lane
      return std::size_t{0};
    }
    previous = static_cast<std::int64_t>(load<T>(base + (row + lanes - 1) * sizeof(T)));
    if (!served) {
      for (std::size_t r = row; r < row + lanes; ++r) {
        absorbed += insert_row(r);
      }
      return std::size_t{0};
    }
    L::store(to, hash_dates<L>(days));
    return lanes;
  };
  return absorb_vectors<lanes>(registers, p, begin, end, step, insert_row);
}

// Timestamps: datetime.isoformat() of counts of unit U since
// 1970-01-01T00:00:00 (value_views.hpp's TimestampView), a lane each:
//
//   split    the count plus BIAS (a whole number of days, so that every
//            count served is not negative and every count at all stays
//            below 2^64) into days, second of the day and the fraction:
//            unsigned divisions by constants (divide_by), hours, minutes
//            and seconds by 32-bit multiplies and shifts;
//   text     date_words()'s "YYYY-MM-", then "DDTHH:MM", ":SS", ".ffffff"
//            when the fraction is not zero, "+00:00" for a zoned column:
//            19, 25, 26 or 32 bytes in four words;
//   hash     XXH3_64bits of 17 to 32 bytes (XXH3_len_17to128_64b, seed 0):
//            len * PRIME64_1 + multiply_fold of the first two words and of
//            the last two (read at offsets the length fixes, both lengths'
//            words made and the lane's kept), then the avalanche.
//
// Served: days from 0000-03-01 to 9999-12-31, and for nanosecond counts a
// fraction of whole microseconds (nine fraction digits make 29 or 35
// bytes). Other rows (NaT among them) go through the row view.
template <TimeUnit U>
struct TimestampUnit {
  static constexpr std::int64_t PER = PER_SECOND<U>;
  // The bias in days: back to 0000-03-01, except for nanoseconds, whose
  // counts reach back only to 1677 (INT64_MIN is 1677-09-21): there a bias
  // of 106,752 days, just past 2^63 nanoseconds.
  static constexpr std::uint64_t BIAS_DAYS =
      U == TimeUnit::nano ? 106752 : static_cast<std::uint64_t>(-FIRST_SHORT_DAY);
  static constexpr std::uint64_t BIAS =
      BIAS_DAYS * static_cast<std::uint64_t>(PER) * item_time_detail::DAY_SECONDS;

  // Counts (biased) to whole seconds, the rest in units in `part`.
  template <class L>
  [[gnu::always_inline]] static typename L::Vec seconds(typename L::Vec v,
                                                        typename L::Vec& part) noexcept {
    typename L::Vec q = v;
    if constexpr (U == TimeUnit::milli) {
      q = divide_by<L, 0x20C49BA5E353F7CFULL, 4, 3>(v);
    } else if constexpr (U == TimeUnit::micro) {
      q = divide_by<L, 0x218DEF416BDB1A7ULL, 7, 6>(v);
    } else if constexpr (U == TimeUnit::nano) {
      q = divide_by<L, 0x44B82FA09B5A53ULL, 11, 9>(v);
    }
    part = L::sub64(v, L::mul64(q, static_cast<std::uint64_t>(PER)));
    return q;
  }
};

// The word at byte `at` of the text in words x[0..3], `at` a constant.
template <class L, int At>
[[gnu::always_inline]] inline typename L::Vec word_at(const typename L::Vec* x) noexcept {
  if constexpr (At % 8 == 0) {
    return x[At / 8];
  } else {
    return L::or_(L::template srli64<8 * (At % 8)>(x[At / 8]),
                  L::template slli64<64 - 8 * (At % 8)>(x[At / 8 + 1]));
  }
}

// XXH3_64bits of datetime.isoformat() for a vector of counts of U, into
// `hashes`; returns the bit mask of the lanes served (see above).
template <class L, TimeUnit U, bool Utc>
[[gnu::always_inline]] inline unsigned hash_timestamps(typename L::Vec counts,
                                                       typename L::Vec& hashes) noexcept {
  using Unit = TimestampUnit<U>;
  const auto biased = L::add64(counts, L::splat64(static_cast<long long>(Unit::BIAS)));
  typename L::Vec part = L::splat64(0);
  const auto seconds = Unit::template seconds<L>(biased, part);
  // Seconds to days: 86,400 = 2^7 * 675.
  const auto biased_days = divide_by<L, 0xC22E450672894BULL, 1, 7>(seconds);
  const auto second_of_day = L::sub64(seconds, L::mul64(biased_days, 86400));
  const auto days = L::sub64(biased_days, L::splat64(static_cast<long long>(Unit::BIAS_DAYS)));
  unsigned served = L::greater(days, L::splat64(FIRST_SHORT_DAY - 1)) &
                    L::greater(L::splat64(LAST_SHORT_DAY + 1), days);
  // The fraction in microseconds.
  auto micros = part;
  if constexpr (U == TimeUnit::milli) {
    micros = L::mul_low32(part, L::splat64(1000));
  } else if constexpr (U == TimeUnit::nano) {
    micros = divide_by<L, 0x20C49BA5E353F7CFULL, 4, 3>(part);
    const auto nanos = L::sub64(part, L::mul_low32(micros, L::splat64(1000)));
    served &= L::greater(L::splat64(1), nanos);
  }
  // Hours (x / 3600 = x * 1193047 >> 32 below 86400), minutes (x / 60 =
  // x * 71582789 >> 32 below 3600) and seconds.
  const auto hours = L::template srli64<32>(L::mul_low32(second_of_day, L::splat64(1193047)));
  const auto second_of_hour = L::sub64(second_of_day, L::mul_low32(hours, L::splat64(3600)));
  const auto minutes = L::template srli64<32>(L::mul_low32(second_of_hour, L::splat64(71582789)));
  const auto second = L::sub64(second_of_hour, L::mul_low32(minutes, L::splat64(60)));
  typename L::Vec x[4];
  typename L::Vec day_digits;
  date_words<L>(days, x[0], day_digits);
  x[1] = L::or_(L::or_(day_digits, L::splat64(static_cast<long long>(std::uint64_t{'T'} << 16 |
                                                                     std::uint64_t{':'} << 40))),
                L::or_(L::template slli64<24>(digit_pair<L>(hours)),
                       L::template slli64<48>(digit_pair<L>(minutes))));
  // ":SS", then ".ffffff" (the six low digits of eight, after a point).
  const auto clock = L::or_(L::splat64(':'), L::template slli64<8>(digit_pair<L>(second)));
  const auto point_digits = L::or_(
      L::splat64('.'), L::template slli64<8>(L::template srli64<16>(eight_digits<L>(micros))));
  // Lanes with a fraction: micros above 0.
  const auto zero = L::splat64(0);
  x[2] =
      L::select_greater(micros, zero, L::or_(clock, L::template slli64<24>(point_digits)), clock);
  x[3] = L::select_greater(micros, zero, L::template srli64<40>(point_digits), zero);
  if constexpr (Utc) {
    constexpr std::uint64_t ZONE = 0x30303A30302BULL;  // "+00:00"
    // After ":SS" (byte 19), or after the fraction (byte 26).
    x[2] = L::select_greater(micros, zero, x[2],
                             L::or_(x[2], L::splat64(static_cast<long long>(ZONE << 24))));
    x[3] =
        L::or_(x[3], L::select_greater(micros, zero, L::splat64(static_cast<long long>(ZONE << 16)),
                                       L::splat64(static_cast<long long>(ZONE >> 40))));
  }
  // The lengths without and with a fraction, and their last two words.
  constexpr int PLAIN = Utc ? 25 : 19;
  const auto length = L::select_greater(micros, zero, L::splat64(PLAIN + 7), L::splat64(PLAIN));
  const auto before_last =
      L::select_greater(micros, zero, word_at<L, PLAIN - 9>(x), word_at<L, PLAIN - 16>(x));
  const auto last =
      L::select_greater(micros, zero, word_at<L, PLAIN - 1>(x), word_at<L, PLAIN - 8>(x));
  auto h = L::mul64(length, XXH_PRIME64_1);
  h = L::add64(h, multiply_fold<L>(L::xor_(x[0], secret_at<L>(0)), L::xor_(x[1], secret_at<L>(8))));
  h = L::add64(
      h, multiply_fold<L>(L::xor_(before_last, secret_at<L>(16)), L::xor_(last, secret_at<L>(24))));
  hashes = avalanche<L>(h);
  return served;
}

// Rows [begin, end) of contiguous int64 counts of U, inserted as
// timestamps; NaT skipped (when Nat) and not counted. The served lanes'
// hashes are kept for a batch, the others go through the row view. A
// vector equal in every lane to the row before it is skipped: logs repeat
// their timestamps, and an item inserted again changes nothing.
template <class L, TimeUnit U, bool Nat, bool Utc>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_timestamps(HyperLogLogCore& core,
                                                                const std::uint8_t* base,
                                                                std::size_t begin,
                                                                std::size_t end) noexcept {
  constexpr std::size_t lanes = L::COUNT;
  constexpr unsigned all = (1u << lanes) - 1;
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  TimestampView<U, Nat> rows{{base, 8}, Utc};
  const auto insert_row = [&](std::size_t row) noexcept {
    char text[ITEM_TEXT_CAPACITY];
    ItemView item{};
    if (rows(row, item, text) == MISSING) {
      return std::size_t{0};
    }
    insert(registers, p, item.data, item.len);
    return std::size_t{1};
  };
  std::int64_t previous = std::numeric_limits<std::int64_t>::min();
  const auto step = [&](std::size_t row, std::uint64_t* to, std::size_t& absorbed) noexcept {
    drisk::prefetch(base + (row + PREFETCH_ROWS) * 8);
    const auto counts = L::template load<ValueKind::Int64>(base + row * 8);
    const auto same = L::splat64(previous);
    const bool repeated = L::greater(counts, same) == 0 && L::greater(same, counts) == 0;
    previous = load<std::int64_t>(base + (row + lanes - 1) * 8);
    typename L::Vec h;
    const unsigned served = hash_timestamps<L, U, Utc>(counts, h);
    if (repeated && served == all) {
      absorbed += lanes;  // the same timestamp as the row before, in every lane
      return std::size_t{0};
    }
    L::compress_store(to, h, served);
    for (unsigned left = all & ~served; left != 0; left &= left - 1) {
      absorbed += insert_row(row + static_cast<std::size_t>(std::countr_zero(left)));
    }
    return static_cast<std::size_t>(std::popcount(served));
  };
  return absorb_vectors<lanes>(registers, p, begin, end, step, insert_row);
}

// The run for a timestamp column of unit `unit`.
template <class L>
IntegerRun timestamp_run_for(TimeUnit unit, bool nat, bool utc) noexcept {
  const auto of_unit = [&]<TimeUnit U>() noexcept -> IntegerRun {
    if (nat) {
      return utc ? &absorb_timestamps<L, U, true, true> : &absorb_timestamps<L, U, true, false>;
    }
    return utc ? &absorb_timestamps<L, U, false, true> : &absorb_timestamps<L, U, false, false>;
  };
  switch (unit) {
    case TimeUnit::second:
      return of_unit.template operator()<TimeUnit::second>();
    case TimeUnit::milli:
      return of_unit.template operator()<TimeUnit::milli>();
    case TimeUnit::micro:
      return of_unit.template operator()<TimeUnit::micro>();
    case TimeUnit::nano:
      return of_unit.template operator()<TimeUnit::nano>();
  }
  return nullptr;
}

// The run for an integer kind, null for any other.
template <class L>
IntegerRun integer_run_for(ValueKind kind) noexcept {
  return with_number_kind(kind, []<ValueKind K>() -> IntegerRun {
    if constexpr (is_integer(K)) {
      return &absorb_integers<L, K>;
    } else {
      return nullptr;
    }
  });
}

// The hashing for an integer kind, null for any other.
template <class L>
IntegerHashes integer_hashes_for(ValueKind kind) noexcept {
  return with_number_kind(kind, []<ValueKind K>() -> IntegerHashes {
    if constexpr (is_integer(K)) {
      return &hash_integers<L, K>;
    } else {
      return nullptr;
    }
  });
}

}  // namespace
}  // namespace drisk::columns

#endif  // DRISK_COLUMNS_INTEGER_LANES_IMPL_HPP
