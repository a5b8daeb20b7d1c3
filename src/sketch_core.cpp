// drisk: HyperLogLog sketch state and operations.
//
// Representation
// --------------
// A sketch of precision p keeps m = 2^p one-byte registers. Every item is
// hashed with XXH3-64 (seed 0, default secret). The hash h splits in two:
//
//   +----------- p bits -----------+--------------- 64 - p bits ---------------+
//   | register index j = h >> (64-p)| w = h << p: rank = leading zeros of w + 1 |
//   +-------------------------------+-------------------------------------------+
//
// The rank is the position of the first set bit in the bits after the index,
// 1 to 64 - p; an item whose remaining bits are all zero gets 65 - p, the
// largest rank an insertion can store. Register j keeps the largest rank seen
// among the items that chose it, so inserting is idempotent and two sketches
// of the same precision union by an element-wise maximum.
//
// Estimator
// ---------
// The classic HyperLogLog estimator (Flajolet, Fusy, Gandouet, Meunier,
// "HyperLogLog: the analysis of a near-optimal cardinality estimation
// algorithm", AofA 2007):
//
//   Z = sum_j 2^-M[j]          E = alpha_m * m^2 / Z
//
// with linear counting, m * ln(m / V), when E <= 2.5 m and V registers are
// still zero, and the 64-bit large-range correction -2^64 ln(1 - E / 2^64)
// when E > 2^64 / 30. The result is defined as the value of that formula with
// Z summed in ascending register order in IEEE doubles, and we return that
// double to the bit. Serialized sketches may carry any byte in a register, so
// every term 2^-255 .. 2^0 has to be handled.
//
// Fast summation: every term 2^-M[j] is a multiple of 2^-r_max, where r_max is
// the largest register, and Z <= m = 2^p. So when p + r_max <= 53 every
// partial sum is an integer multiple of 2^-r_max below 2^53: each is exact in
// a double, whatever the order. Then Z = S * 2^-r_max with the integer
// S = sum_j 2^(r_max - M[j]), which vectorises, where the sequential double
// sum is bound by the latency of one add per register. Insertion alone gives
// r_max <= 65 - p, so the bound holds for everything but sketches with very
// high registers; those take the sequential loop.
//
// Serialized form
// ---------------
// One byte p, then the m registers in order: m + 1 bytes, no header.

#include "sketch_core.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#define XXH_INLINE_ALL
#include <xxhash.h>

#if XXH_VERSION_NUMBER < 800
#error "drisk needs xxHash 0.8 or later for XXH3 (Debian/Ubuntu: apt-get install libxxhash-dev)"
#endif

// Function multi-versioning: the hot loops get an AVX2 clone where the CPU
// has it, chosen once at load time; the default clone is plain SSE2.
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#define DRISK_MULTIVERSION __attribute__((target_clones("avx2", "default")))
#else
#define DRISK_MULTIVERSION
#endif

// The scaled power sum needs a per-lane variable shift, which the compiler
// does not vectorise on its own; its AVX2 form is written out below.
#if defined(__x86_64__) && defined(__GNUC__)
#define DRISK_HAVE_AVX2_SUM 1
#define DRISK_HAVE_SSE2_SCAN 1
#include <immintrin.h>
#endif

namespace drisk {
namespace {

// Largest rank an insertion stores for precision p: all 64 - p remaining
// bits zero.
constexpr unsigned max_rank(unsigned p) noexcept { return 65 - p; }

// Inserts one item: hash, split into register index and rank, keep the
// larger. Shared by add(), add_batch() and add_lines() so that the hash is
// inlined into each loop.
inline void insert(std::uint8_t* registers, unsigned p, const void* data,
                   std::size_t len) noexcept {
  const std::uint64_t hash = XXH3_64bits(data, len);
  const std::size_t index = static_cast<std::size_t>(hash >> (64 - p));
  const std::uint64_t rest = hash << p;
  const unsigned rank =
      rest == 0 ? max_rank(p) : static_cast<unsigned>(std::countl_zero(rest)) + 1;
  // Branch-free maximum: whether a register grows is a coin toss early on,
  // and a mispredicted branch costs more than the store.
  std::uint8_t& reg = registers[index];
  reg = std::max(reg, static_cast<std::uint8_t>(rank));
}

// Alignment of register storage: one cache line.
constexpr std::size_t REGISTER_ALIGNMENT = 64;

// Doubles hold integers exactly up to 2^53: the bound of the fast summation.
constexpr unsigned EXACT_BITS = 53;

// Large-range correction. The threshold is 2^64 / 30 rounded to a double; the
// two constants are -2^-64 and -2^64, written out so that the correction is
// evaluated as ln(E * (-2^-64) + 1.0) * (-2^64) exactly as defined.
constexpr double LARGE_RANGE_THRESHOLD = 6.148914691236517e17;
constexpr double NEG_INV_TWO_POW_64 = -5.421010862427522e-20;
constexpr double NEG_TWO_POW_64 = -1.8446744073709552e19;

// The bias constant alpha_m. The first three are the published values for
// tiny sketches; from m = 128 on, the asymptotic formula.
double alpha(std::size_t m) noexcept {
  switch (m) {
    case 16:
      return 0.673;
    case 32:
      return 0.697;
    case 64:
      return 0.709;
    default:
      return 0.7213 / (1.0 + 1.079 / static_cast<double>(m));
  }
}

// 2^-k for every byte k, so the sequential loop does one load and one add.
struct NegativePowers {
  double value[256];
  constexpr NegativePowers() : value{} {
    double v = 1.0;
    for (double& slot : value) {
      slot = v;
      v /= 2.0;
    }
  }
};
constexpr NegativePowers NEGATIVE_POWERS{};

// From the indicator sum and the zero count to the estimate; `zeros` is only
// read when the small-range correction applies.
double finish_estimate(std::size_t m, double z, std::size_t zeros) noexcept {
  const double md = static_cast<double>(m);
  const double e = ((alpha(m) * md) * md) / z;
  if (e <= 2.5 * md) {
    if (zeros > 0) {
      return md * std::log(md / static_cast<double>(zeros));
    }
    return e;
  }
  if (e > LARGE_RANGE_THRESHOLD) {
    return std::log(e * NEG_INV_TWO_POW_64 + 1.0) * NEG_TWO_POW_64;
  }
  return e;
}

DRISK_MULTIVERSION
std::uint8_t max_register(const std::uint8_t* regs, std::size_t n) noexcept {
  std::uint8_t best = 0;
  for (std::size_t i = 0; i < n; ++i) {
    best = std::max(best, regs[i]);
  }
  return best;
}

// S = sum 2^(top - regs[i]) and the number of zero registers, in one pass.
// Precondition: every register <= top and n * 2^top <= 2^53.
struct ScaledSum {
  std::uint64_t sum;
  std::uint64_t zeros;
};

ScaledSum scaled_power_sum_scalar(const std::uint8_t* regs, std::size_t n,
                                  std::uint64_t top) noexcept {
  ScaledSum out{0, 0};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t r = regs[i];
    out.sum += std::uint64_t{1} << (top - r);
    out.zeros += r == 0;
  }
  return out;
}

#ifdef DRISK_HAVE_AVX2_SUM
// 32 registers an iteration: zeros by a byte compare and a popcount, the sum
// by widening 4 bytes at a time to 64-bit lanes and shifting 1 by top - r.
__attribute__((target("avx2,popcnt"))) ScaledSum
scaled_power_sum_avx2(const std::uint8_t* regs, std::size_t n, std::uint64_t top) noexcept {
  const __m256i vtop = _mm256_set1_epi64x(static_cast<long long>(top));
  const __m256i one = _mm256_set1_epi64x(1);
  const __m256i zero = _mm256_setzero_si256();
  __m256i acc[4] = {zero, zero, zero, zero};
  std::uint64_t zeros = 0;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(regs + i));
    const auto zero_mask =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(block, zero)));
    zeros += static_cast<std::uint64_t>(_mm_popcnt_u32(zero_mask));
    for (std::size_t k = 0; k < 32; k += 4) {
      std::int32_t four;
      std::memcpy(&four, regs + i + k, sizeof four);
      const __m256i r = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(four));
      __m256i& a = acc[(k / 4) % 4];
      a = _mm256_add_epi64(a, _mm256_sllv_epi64(one, _mm256_sub_epi64(vtop, r)));
    }
  }
  const __m256i total = _mm256_add_epi64(_mm256_add_epi64(acc[0], acc[1]),
                                         _mm256_add_epi64(acc[2], acc[3]));
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total);
  const ScaledSum tail = scaled_power_sum_scalar(regs + i, n - i, top);
  return {lanes[0] + lanes[1] + lanes[2] + lanes[3] + tail.sum, zeros + tail.zeros};
}
#endif

ScaledSum scaled_power_sum(const std::uint8_t* regs, std::size_t n, std::uint64_t top) noexcept {
#ifdef DRISK_HAVE_AVX2_SUM
  static const bool has_avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  if (has_avx2) {
    return scaled_power_sum_avx2(regs, n, top);
  }
#endif
  return scaled_power_sum_scalar(regs, n, top);
}

DRISK_MULTIVERSION
void elementwise_max(std::uint8_t* __restrict into, const std::uint8_t* __restrict from,
                     std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    into[i] = std::max(into[i], from[i]);
  }
}

}  // namespace

Refusal HyperLogLogCore::check_precision(unsigned p) {
  if (p < MIN_PRECISION || p > MAX_PRECISION) {
    return "p must be between " + std::to_string(MIN_PRECISION) + " and " +
           std::to_string(MAX_PRECISION) + " inclusive, got " + std::to_string(p);
  }
  return std::nullopt;
}

HyperLogLogCore HyperLogLogCore::allocate(unsigned p, bool zeroed) {
  const std::size_t m = std::size_t{1} << p;
  // Cache-line aligned, so the vector loops never split a load across lines.
  const std::size_t bytes = (m + REGISTER_ALIGNMENT - 1) / REGISTER_ALIGNMENT * REGISTER_ALIGNMENT;
  void* storage = std::aligned_alloc(REGISTER_ALIGNMENT, bytes);
  if (storage == nullptr) {
    throw std::bad_alloc();
  }
  if (zeroed) {
    std::memset(storage, 0, m);
  }
  HyperLogLogCore core;
  core.registers_.reset(static_cast<std::uint8_t*>(storage));
  core.m_ = m;
  core.p_ = static_cast<std::uint8_t>(p);
  return core;
}

Refusal HyperLogLogCore::create(unsigned p, HyperLogLogCore& out) {
  if (Refusal refusal = check_precision(p)) {
    return refusal;
  }
  out = allocate(p, /*zeroed=*/true);
  return std::nullopt;
}

Refusal HyperLogLogCore::decode(std::span<const std::uint8_t> data, HyperLogLogCore& out) {
  if (data.empty()) {
    return "empty byte buffer";
  }
  const unsigned p = data[0];
  if (Refusal refusal = check_precision(p)) {
    return refusal;
  }
  const std::size_t m = std::size_t{1} << p;
  if (data.size() != m + 1) {
    return "expected " + std::to_string(m) + " register bytes for p=" + std::to_string(p) +
           ", got " + std::to_string(data.size() - 1);
  }
  HyperLogLogCore core = allocate(p, /*zeroed=*/false);
  std::memcpy(core.registers_.get(), data.data() + 1, m);
  out = std::move(core);
  return std::nullopt;
}

HyperLogLogCore HyperLogLogCore::clone() const {
  HyperLogLogCore copy = allocate(p_, /*zeroed=*/false);
  std::memcpy(copy.registers_.get(), registers_.get(), m_);
  return copy;
}

void HyperLogLogCore::add(const void* data, std::size_t len) noexcept {
  insert(registers_.get(), p_, data, len);
}

void HyperLogLogCore::add_batch(const ItemView* items, std::size_t count) noexcept {
  std::uint8_t* const regs = registers_.get();
  const unsigned p = p_;
  for (std::size_t i = 0; i < count; ++i) {
    insert(regs, p, items[i].data, items[i].len);
  }
}

std::size_t HyperLogLogCore::add_lines(std::span<const std::uint8_t> data,
                                                      bool final) noexcept {
  std::uint8_t* const regs = registers_.get();
  const unsigned p = p_;
  const std::uint8_t* const begin = data.data();
  const std::size_t size = data.size();
  std::size_t line_start = 0;
  std::size_t lines = 0;
  auto emit = [&](std::size_t newline) {
    std::size_t len = newline - line_start;
    if (len > 0 && begin[newline - 1] == '\r') {
      --len;
    }
    insert(regs, p, begin + line_start, len);
    line_start = newline + 1;
    ++lines;
  };
  std::size_t pos = 0;
#ifdef DRISK_HAVE_SSE2_SCAN
  // 64 bytes at a time: a bit mask of the newlines, then one insert per bit.
  // Short lines are the common case, and this keeps the scan off the
  // per-line critical path.
  const __m128i newline = _mm_set1_epi8('\n');
  for (; pos + 64 <= size; pos += 64) {
    std::uint64_t mask = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128i block =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + pos + 16 * k));
      const auto bits =
          static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, newline)));
      mask |= static_cast<std::uint64_t>(bits) << (16 * k);
    }
    while (mask != 0) {
      emit(pos + static_cast<std::size_t>(std::countr_zero(mask)));
      mask &= mask - 1;
    }
  }
#endif
  while (pos < size) {
    const void* hit = std::memchr(begin + pos, '\n', size - pos);
    if (hit == nullptr) {
      break;
    }
    const auto newline = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - begin);
    emit(newline);
    pos = newline + 1;
  }
  if (final && line_start < size) {
    // A last line without "\n" loses a trailing "\r" too: the same item as
    // if its "\r\n" had been complete.
    std::size_t len = size - line_start;
    if (begin[size - 1] == '\r') {
      --len;
    }
    insert(regs, p, begin + line_start, len);
    ++lines;
    line_start = size;
  }
  return lines;
}

double HyperLogLogCore::estimate_sequential() const noexcept {
  double z = 0.0;
  std::size_t zeros = 0;
  for (std::size_t j = 0; j < m_; ++j) {
    z += NEGATIVE_POWERS.value[registers_[j]];
    zeros += registers_[j] == 0;
  }
  return finish_estimate(m_, z, zeros);
}

double HyperLogLogCore::estimate() const noexcept {
  const unsigned top = max_register(registers_.get(), m_);
  if (p_ + top > EXACT_BITS) {
    return estimate_sequential();
  }
  const ScaledSum s = scaled_power_sum(registers_.get(), m_, top);
  // s.sum <= 2^(p + top) <= 2^53: the conversion and the scaling are exact.
  const double z = std::ldexp(static_cast<double>(s.sum), -static_cast<int>(top));
  return finish_estimate(m_, z, static_cast<std::size_t>(s.zeros));
}

Refusal HyperLogLogCore::merge(const HyperLogLogCore& other) {
  if (other.p_ != p_) {
    return "cannot merge sketches with different p (" + std::to_string(p_) + " vs " +
           std::to_string(other.p_) + ")";
  }
  elementwise_max(registers_.get(), other.registers_.get(), m_);
  return std::nullopt;
}

void HyperLogLogCore::serialize(std::uint8_t* out) const noexcept {
  out[0] = p_;
  std::memcpy(out + 1, registers_.get(), m_);
}

}  // namespace drisk
