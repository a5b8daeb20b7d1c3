// drisk: cardinality estimators, error bounds and precision folding.
//
// Everything here works on the registers of a HyperLogLogCore and knows
// nothing about the Python interpreter. Nothing allocates except fold(),
// which creates the new sketch it returns.
#ifndef DRISK_ESTIMATORS_HPP
#define DRISK_ESTIMATORS_HPP

#include <array>
#include <cstddef>
#include <cstdint>

#include "sketch_core.hpp"

namespace drisk {

// Register values are 0 .. q + 1 with q = 64 - p, so at most 62 of them
// (p = 4 gives q + 1 = 61).
inline constexpr std::size_t HISTOGRAM_SLOTS = 62;

// How many registers hold each value: count[k] = C_k for k = 0 .. q + 1.
// A register above q + 1 (which no insertion stores, but from_bytes
// accepts) is counted as q + 1: it says "saturated", the most an insertion
// could ever have recorded.
struct RegisterHistogram {
  std::array<std::uint64_t, HISTOGRAM_SLOTS> count{};
  std::uint64_t m = 0;  // number of registers, 2^p
  unsigned q = 0;       // 64 - p
};

// One pass over the registers (vectorised where the CPU allows).
RegisterHistogram register_histogram(const std::uint8_t* registers, unsigned p) noexcept;
RegisterHistogram register_histogram(const HyperLogLogCore& core) noexcept;

// The same histogram by the plain loop: the reference the fast pass must
// match exactly.
RegisterHistogram register_histogram_sequential(const std::uint8_t* registers, unsigned p) noexcept;

enum class Method { classic, improved, ml };

// Ertl's improved raw estimator. Finite and non-negative for every
// histogram; 0 when every register is zero.
double improved_estimate(const RegisterHistogram& h) noexcept;

// Ertl's maximum-likelihood estimator (secant method). Finite and
// non-negative for every histogram; 0 when every register is zero.
double ml_estimate(const RegisterHistogram& h) noexcept;

// The estimate of `method`; classic is the core's own estimate().
double estimate(const HyperLogLogCore& core, const RegisterHistogram& h, Method method) noexcept;

// Relative standard error of an estimate at fixed cardinality, as a function
// of the estimate itself (see estimators.cpp for the derivation).
double relative_standard_error(double estimate, const RegisterHistogram& h) noexcept;

struct Interval {
  double lower;
  double upper;
};

// The two-sided normal quantile z with P(|Z| <= z) = confidence, for
// confidence in (0, 1).
double two_sided_quantile(double confidence) noexcept;

// A confidence interval for the true count around `center` (the estimate of
// the chosen method), built from the histogram. Always
// 0 <= lower <= center <= upper, all finite.
Interval error_bounds(const RegisterHistogram& h, double center, double confidence) noexcept;

// The estimate of `method` and its interval at `confidence`, from one pass
// over the registers. For classic, whose bias near the linear-counting
// threshold the interval of its own estimate would not cover, the interval
// is that of the improved estimator widened to include count()'s value
// (when that is finite: count() gives NaN or infinity for some impossible
// register contents).
struct Assessment {
  double estimate;
  Interval bounds;
};
Assessment assess(const HyperLogLogCore& core, Method method, double confidence) noexcept;

// The refusal for a fold target: p outside MIN_PRECISION..MAX_PRECISION, or
// above the source precision.
Refusal check_fold_precision(unsigned source_p, unsigned target_p);

// Writes into `into` (2^target_p registers) the element-wise maximum of its
// registers and those of `source` folded to target_p. With a zeroed `into`
// that is exactly the sketch of precision target_p that the same items give.
// Precondition: target_p <= source.precision(). Allocates nothing.
void fold_max_into(const HyperLogLogCore& source, unsigned target_p, std::uint8_t* into) noexcept;

// The same for bare registers: 2^source_p of them at `registers`.
void fold_max_into(const std::uint8_t* registers, unsigned source_p, unsigned target_p,
                   std::uint8_t* into) noexcept;

// A new core of precision p holding `source` folded to p, or the refusal.
// Throws std::bad_alloc when the storage cannot be had.
Refusal fold(const HyperLogLogCore& source, unsigned p, HyperLogLogCore& out);

}  // namespace drisk

#endif  // DRISK_ESTIMATORS_HPP
