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

#include <cmath>
#include <cstring>
#include <new>

#include "insert.hpp"
#include "kernels.hpp"

namespace drisk {
namespace {

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
  void* storage = aligned_allocate(REGISTER_ALIGNMENT, bytes);
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

std::size_t HyperLogLogCore::add_lines(std::span<const std::uint8_t> data, bool final) noexcept {
  return kernels().add_lines(registers_.get(), p_, data, final);
}

void HyperLogLogCore::add_hash(std::uint64_t hash) noexcept {
  insert_hash(registers_.get(), p_, hash);
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
  const Kernels& k = kernels();
  const unsigned top = k.max_register(registers_.get(), m_);
  if (p_ + top > EXACT_BITS) {
    return estimate_sequential();
  }
  const ScaledSum s = k.scaled_power_sum(registers_.get(), m_, top);
  // s.sum <= 2^(p + top) <= 2^53: the conversion and the scaling are exact.
  const double z = std::ldexp(static_cast<double>(s.sum), -static_cast<int>(top));
  return finish_estimate(m_, z, static_cast<std::size_t>(s.zeros));
}

Refusal HyperLogLogCore::merge(const HyperLogLogCore& other) {
  if (other.p_ != p_) {
    return "cannot merge sketches with different p (" + std::to_string(p_) + " vs " +
           std::to_string(other.p_) + ")";
  }
  merge_same_precision(other);
  return std::nullopt;
}

void HyperLogLogCore::merge_same_precision(const HyperLogLogCore& other) noexcept {
  kernels().elementwise_max(registers_.get(), other.registers_.get(), m_);
}

HyperLogLogCore HyperLogLogCore::empty_like() const { return allocate(p_, /*zeroed=*/true); }

void HyperLogLogCore::serialize(std::uint8_t* out) const noexcept {
  out[0] = p_;
  std::memcpy(out + 1, registers_.get(), m_);
}

}  // namespace drisk
