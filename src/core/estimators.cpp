// drisk: cardinality estimators, error bounds and precision folding.
//
// Notation: p the precision, m = 2^p registers, q = 64 - p, so a register
// holds 0 (no item) or a rank 1 .. q + 1. C_k is the number of registers
// holding k (the histogram; values above q + 1 are counted as q + 1).
//
// Estimators
// ----------
// Both follow Otmar Ertl, "New cardinality estimation algorithms for
// HyperLogLog sketches" (2017, arXiv:1702.01284), and need nothing but the
// histogram: no bias tables, no thresholds.
//
// improved: with alpha = 1 / (2 ln 2),
//
//     n = alpha m^2 / (m sigma(C_0 / m) + sum_{k=1..q} C_k 2^-k
//                      + m tau(1 - C_{q+1} / m) 2^-q)
//
//   sigma(x) = x + sum_{k>=1} x^(2^k) 2^(k-1)
//   tau(x)   = sum_{k>=1} x^(2^-k) (1 - x^(2^-k)) 2^-k
//            (equal to (1 - x - sum_{k>=1} (1 - x^(2^-k))^2 2^-k) / 3).
//
// ml: the maximum-likelihood estimate under the Poisson model, the root of
// the paper's increasing concave function, found by its secant iteration
// from a lower bound, with the helper h(x) = 1 - x / (e^x - 1) evaluated by
// a Taylor series at the smallest argument and the doubling identity above
// it. We iterate to a relative step of 1e-10 rather than the paper's
// 0.01 / sqrt(m): a few more cheap iterations make the result a property of
// the histogram rather than of the stopping rule.
//
// Edge cases. Every register zero: both give 0. Every register saturated
// (C_{q+1} = m): the likelihood grows without bound, so we report the
// estimate of the state one step below, C_q = 1 and C_{q+1} = m - 1; both
// estimates grow with every register, so that is the largest finite value
// either ever returns. Registers above q + 1 count as saturated.
//
// Error bounds
// ------------
// Under the Poisson model (Ertl, section 2.3) the registers are independent
// with P(M <= k) = exp(-x / 2^k) for 0 <= k <= q, where x = n / m. One
// register's Fisher information about x is
//
//     I(x) = sum_k (dP_k/dx)^2 / P_k
//          = e^-x
//            + sum_{k=1..q} e^-a (2 e^-a - 1)^2 / (4^k (1 - e^-a)),  a = x / 2^k
//            + e^-2b / (4^q (1 - e^-b)),                             b = x / 2^q
//
// so an efficient estimator of the Poisson rate has variance m / I(x). That
// includes the Poisson scatter of the count itself, whose variance is n;
// for a fixed count (what the user has), by the law of total variance,
//
//     Var(n_hat | n) = m / I(x) - n = m (1 / I(x) - x).
//
// This tends to n^2 / (2m) for small x (exactly linear counting's variance,
// which is the variance of the number of items lost to collisions), and to
// about (1.03 n)^2 / m in the middle range: the relative standard error is
// not the constant 1.04 / sqrt(m) but falls to 0.71 / sqrt(m) as n / m goes
// to 0. Simulation puts the root mean square error of both estimators of
// this file within a few percent of sqrt(Var) (never more than about 4 %
// above it) at every x from 0.1 to 10^6, p = 10 to 16 (the accuracy
// benchmark measures it), the improved one a little above the ml one near
// x = 1; we take 1.03 sqrt(Var), at x = estimate / m, as
// their standard error, so that the interval does not rest on the bound
// being attained.
//
// The interval. In the very small range the count is an integer and the
// estimate follows the number of items lost to collisions, K = n - (non-zero
// registers), a Poisson variable of small mean: the estimate is about
// n - K + E[K]. There no interval that is a fixed function of the estimate
// covers the true count with the nominal probability (with 100 items in
// 65536 registers, one covering "no collision" covers 92.7 %, one that also
// covers "one collision" 99.7 %), and a symmetric one undercovers, K being
// skewed. So we model the error as v - K with K ~ Poisson(v), v the variance
// above (times 1.03^2), and randomize: with an offset J uniform in
// [-1/2, 1/2), K - J has a continuous distribution, and
//
//     [center + J + t_lo - v, center + J + t_hi - v],
//
// with t_lo, t_hi quantiles of it that leave 1 - confidence outside, covers
// with the nominal probability (a randomized interval, the textbook remedy
// for a discrete statistic). The two tails share 1 - confidence equally,
// except that the lower one gets only its fraction 1 - e^-v of its half:
// with no collision at all the count is exactly the number of registers in
// use, and the lower bound need not pass it. The quantiles are exact for
// v <= 200 and the Cornish-Fisher expansion above, where K - J is all but
// normal: t = v + z s + (z^2 - 1) v / (6 s^2), s^2 = v + 1/12. For large
// counts this is center -/+ z times the standard error, as one expects. The
// offset is a hash of the histogram, so a sketch always gets the same
// interval; beyond a few thousand items it is immaterial.
//
// Last, the true count is at least the number of non-zero registers (each
// needed an item of its own), so the lower bound never goes below it; with
// every register zero the count is exactly 0.
//
// Folding
// -------
// An item with hash h lands, at precision P, in register h >> (64 - P) with
// rank clz(h << P) + 1 (65 - P when h << P is zero). Going from P to p < P,
// with d = P - p: the new index is the old one shifted right by d, and the
// d bits dropped from the index (t, the old index's low bits) become the
// leading bits of the new remainder. So an item in old register (i << d) | t
// has, at precision p, rank clz_d(t) + 1 <= d when t != 0 (leading zeros of
// t as a d-bit number), and rank d + r when t = 0, where r is its old rank
// (this holds for the all-zero remainder too: d + 65 - P = 65 - p). New
// register i is the maximum over its 2^d sources: a non-zero source t > 0
// contributes clz_d(t) + 1, the source t = 0 contributes d + M[i << d] when
// non-zero, and that, being above d, wins whenever present. Otherwise the
// first non-zero source has the most leading zeros and wins.
#include "estimators.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <string>

#include "kernels.hpp"

namespace drisk {
namespace {

constexpr double ALPHA_INF = 0.7213475204444817;  // 1 / (2 ln 2)

unsigned remainder_bits(unsigned p) noexcept { return 64 - p; }

// ---------------------------------------------------------------------------
// Improved estimator
// ---------------------------------------------------------------------------

// sigma(x) for 0 <= x < 1: terms x^(2^k) 2^(k-1) until the sum stops moving.
double sigma(double x) noexcept {
  double y = 1.0;
  double z = x;
  for (;;) {
    x *= x;
    const double previous = z;
    z += x * y;
    y += y;
    if (z == previous) {
      return z;
    }
  }
}

// tau(x) for 0 <= x <= 1.
double tau(double x) noexcept {
  if (x == 0.0 || x == 1.0) {
    return 0.0;
  }
  double y = 1.0;
  double z = 0.0;
  for (;;) {
    x = std::sqrt(x);
    const double previous = z;
    y *= 0.5;
    z += (1.0 - x) * x * y;
    if (z == previous) {
      return z;
    }
  }
}

// A fully saturated histogram, replaced by the state one step below it.
RegisterHistogram desaturated(const RegisterHistogram& h) noexcept {
  RegisterHistogram out = h;
  if (out.count[h.q + 1] == h.m) {
    out.count[h.q + 1] = h.m - 1;
    out.count[h.q] += 1;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Maximum likelihood
// ---------------------------------------------------------------------------

// h(x) = 1 - x / (e^x - 1) for x <= 1/2 from its Taylor series, written in
// x' = x / 2 and x'' = x'^2: h = x' - x''/3 + x''^2 (1/45 - x''/472.5 +
// x''^2/4725) - O(x^10) (below 2e-11 here).
double helper_taylor(double half_x) noexcept {
  const double x2 = half_x * half_x;
  return half_x - x2 / 3.0 + (x2 * x2) * (1.0 / 45.0 - x2 / 472.5 + (x2 * x2) / 4725.0);
}

// h(4y) from h(2y): (y + h (1 - h)) / (y + 1 - h).
double helper_double(double y, double h2y) noexcept {
  return (y + h2y * (1.0 - h2y)) / (y + (1.0 - h2y));
}

constexpr double ML_RELATIVE_STEP = 1e-10;

// ---------------------------------------------------------------------------
// Error bounds
// ---------------------------------------------------------------------------

// One register's Fisher information about x = n / m (see the top comment).
double fisher_information(double x, unsigned q) noexcept {
  double info = std::exp(-x);
  double scale = 1.0;  // 4^-k
  for (unsigned k = 1; k <= q; ++k) {
    scale *= 0.25;
    const double a = std::ldexp(x, -static_cast<int>(k));
    const double ea = std::exp(-a);
    if (ea == 0.0) {
      continue;
    }
    const double d = 2.0 * ea - 1.0;
    info += ea * d * d * scale / -std::expm1(-a);
  }
  const double b = std::ldexp(x, -static_cast<int>(q));
  const double eb = std::exp(-b);
  info += eb * eb * scale / -std::expm1(-b);
  return info;
}

// How far above the Cramer-Rao variance the estimators' error may lie, as a
// factor on the standard error (see the top comment).
constexpr double EFFICIENCY_MARGIN = 1.03;

// Var(n_hat | n) / m at x = n / m: 1 / I(x) - x, never negative.
double fixed_count_variance_per_register(double x, unsigned q) noexcept {
  if (x <= 0.0) {
    return 0.0;
  }
  return std::max(1.0 / fisher_information(x, q) - x, 0.0);
}

// A value in [-1/2, 1/2) determined by the histogram (splitmix64 over the
// counts): the interval's offset (see the top comment).
double interval_offset(const RegisterHistogram& h) noexcept {
  std::uint64_t state = 0x9E3779B97F4A7C15ULL * (h.q + 1);
  for (std::size_t k = 0; k <= h.q + 1; ++k) {
    state += h.count[k] + 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    state = z ^ (z >> 31);
  }
  return std::ldexp(static_cast<double>(state >> 11), -53) - 0.5;
}

// Up to this variance the interval's quantiles are computed exactly.
constexpr double EXACT_POISSON_LIMIT = 200.0;

// The prob-quantile of K - J, K ~ Poisson(v), J uniform on [-1/2, 1/2):
// P(K - J <= t) = sum_k P(K = k) clamp(t - k + 1/2, 0, 1), which is linear
// in t between half-integers. For v <= EXACT_POISSON_LIMIT, 0 < prob < 1.
double jittered_poisson_quantile(double v, double prob) noexcept {
  double pk = std::exp(-v);
  double below = 0.0;
  const double last = v + 40.0 * std::sqrt(v) + 40.0;
  for (double k = 0.0;; k += 1.0) {
    if (below + pk > prob || k >= last) {
      return k - 0.5 + std::min((prob - below) / pk, 1.0);
    }
    below += pk;
    pk *= v / (k + 1.0);
  }
}

// Acklam's rational approximation of the normal quantile, then one Halley
// step on erfc, which brings it to full double accuracy.
double normal_quantile(double prob) noexcept {
  static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                                 -2.759285104469687e+02, 1.383577518672690e+02,
                                 -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                                 -1.556989798598866e+02, 6.680131188771972e+01,
                                 -1.328068155288572e+01};
  static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                                 -2.400758277161838e+00, -2.549732539343734e+00,
                                 4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01,
                                 2.445134137142996e+00, 3.754408661907416e+00};
  constexpr double low = 0.02425;
  double x;
  if (prob < low) {
    const double t = std::sqrt(-2.0 * std::log(prob));
    x = (((((c[0] * t + c[1]) * t + c[2]) * t + c[3]) * t + c[4]) * t + c[5]) /
        ((((d[0] * t + d[1]) * t + d[2]) * t + d[3]) * t + 1.0);
  } else if (prob <= 1.0 - low) {
    const double t = prob - 0.5;
    const double r = t * t;
    x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * t /
        (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
  } else {
    const double t = std::sqrt(-2.0 * std::log1p(-prob));
    x = -(((((c[0] * t + c[1]) * t + c[2]) * t + c[3]) * t + c[4]) * t + c[5]) /
        ((((d[0] * t + d[1]) * t + d[2]) * t + d[3]) * t + 1.0);
  }
  const double e = 0.5 * std::erfc(-x / std::sqrt(2.0)) - prob;
  const double u = e * std::sqrt(2.0 * std::numbers::pi) * std::exp(x * x / 2.0);
  return x - u / (1.0 + x * u / 2.0);
}

// ---------------------------------------------------------------------------
// Folding
// ---------------------------------------------------------------------------

// Folds `groups` groups of 2^d source registers into `into`, keeping the
// larger of each folded value and what `into` holds.
void fold_groups(const std::uint8_t* source, unsigned d, unsigned source_max_rank,
                 std::uint8_t* into, std::size_t groups) noexcept {
  const std::size_t width = std::size_t{1} << d;
  for (std::size_t i = 0; i < groups; ++i) {
    const std::uint8_t* group = source + i * width;
    unsigned value = 0;
    if (group[0] != 0) {
      value = std::min<unsigned>(group[0], source_max_rank) + d;
    } else {
      for (std::size_t t = 1; t < width; ++t) {
        if (group[t] != 0) {
          value = d + 1 - static_cast<unsigned>(std::bit_width(t));
          break;
        }
      }
    }
    into[i] = std::max(into[i], static_cast<std::uint8_t>(value));
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------------

RegisterHistogram register_histogram_sequential(const std::uint8_t* registers,
                                                unsigned p) noexcept {
  RegisterHistogram h;
  h.m = std::uint64_t{1} << p;
  h.q = remainder_bits(p);
  for (std::uint64_t j = 0; j < h.m; ++j) {
    h.count[std::min<unsigned>(registers[j], h.q + 1)] += 1;
  }
  return h;
}

RegisterHistogram register_histogram(const std::uint8_t* registers, unsigned p) noexcept {
  RegisterHistogram h;
  h.m = std::uint64_t{1} << p;
  h.q = remainder_bits(p);
  const auto top = static_cast<std::uint8_t>(h.q + 1);
  kernels().histogram(registers, static_cast<std::size_t>(h.m), top, h.count.data());
  return h;
}

RegisterHistogram register_histogram(const HyperLogLogCore& core) noexcept {
  return register_histogram(core.registers(), core.precision());
}

double improved_estimate(const RegisterHistogram& in) noexcept {
  if (in.count[0] == in.m) {
    return 0.0;
  }
  const RegisterHistogram h = desaturated(in);
  const double md = static_cast<double>(h.m);
  double z = md * tau(1.0 - static_cast<double>(h.count[h.q + 1]) / md);
  for (unsigned k = h.q; k >= 1; --k) {
    z = 0.5 * (z + static_cast<double>(h.count[k]));
  }
  z += md * sigma(static_cast<double>(h.count[0]) / md);
  return ALPHA_INF * md * md / z;
}

double ml_estimate(const RegisterHistogram& in) noexcept {
  if (in.count[0] == in.m) {
    return 0.0;
  }
  const RegisterHistogram h = desaturated(in);
  const int q = static_cast<int>(h.q);
  int k_min = 0;
  while (h.count[static_cast<std::size_t>(k_min)] == 0) {
    ++k_min;
  }
  int k_max = q + 1;
  while (h.count[static_cast<std::size_t>(k_max)] == 0) {
    --k_max;
  }
  const int lo = std::max(k_min, 1);
  const int hi = std::min(k_max, q);
  auto count = [&](int k) { return static_cast<double>(h.count[static_cast<std::size_t>(k)]); };

  double z = 0.0;  // sum_{k=lo..hi} C_k 2^-k
  for (int k = hi; k >= lo; --k) {
    z = 0.5 * z + count(k);
  }
  z = std::ldexp(z, -lo);
  const double occupied = static_cast<double>(h.m - h.count[0]);
  const double c = count(q + 1) + count(hi);
  const double a = z + count(0);                      // sum_{k=0..q} C_k 2^-k
  const double b = z + std::ldexp(count(q + 1), -q);  // ... with C_{q+1} at 2^-q

  double x = b <= 1.5 * a ? occupied / (0.5 * b + a) : occupied / b * std::log1p(b / a);
  double dx = x;
  double g_previous = 0.0;
  while (dx > x * ML_RELATIVE_STEP) {
    const int kappa = 2 + static_cast<int>(std::floor(std::log2(x)));
    double y = std::ldexp(x, -std::max(hi, kappa) - 1);
    double hv = helper_taylor(y);
    for (int k = kappa - 1; k >= hi; --k) {
      hv = helper_double(y, hv);
      y += y;
    }
    double g = c * hv;
    for (int k = hi - 1; k >= lo; --k) {
      hv = helper_double(y, hv);
      g += count(k) * hv;
      y += y;
    }
    g += x * a;
    if (g > g_previous && occupied >= g) {
      dx *= (occupied - g) / (g - g_previous);
    } else {
      dx = 0.0;
    }
    x += dx;
    g_previous = g;
  }
  return static_cast<double>(h.m) * x;
}

double estimate(const HyperLogLogCore& core, const RegisterHistogram& h, Method method) noexcept {
  switch (method) {
    case Method::classic:
      return core.estimate();
    case Method::ml:
      return ml_estimate(h);
    case Method::improved:
      break;
  }
  return improved_estimate(h);
}

double relative_standard_error(double estimate, const RegisterHistogram& h) noexcept {
  const double md = static_cast<double>(h.m);
  const double x = estimate / md;
  if (!(x > 0.0)) {
    return EFFICIENCY_MARGIN * std::sqrt(0.5 / md);  // the limit as x goes to 0
  }
  return EFFICIENCY_MARGIN * std::sqrt(fixed_count_variance_per_register(x, h.q) / md) / x;
}

double two_sided_quantile(double confidence) noexcept {
  return normal_quantile(0.5 + 0.5 * confidence);
}

Interval error_bounds(const RegisterHistogram& h, double center, double confidence) noexcept {
  const std::uint64_t occupied = h.m - h.count[0];
  if (occupied == 0) {
    return {0.0, 0.0};
  }
  const double md = static_cast<double>(h.m);
  const double v = EFFICIENCY_MARGIN * EFFICIENCY_MARGIN * md *
                   fixed_count_variance_per_register(center / md, h.q);
  double t_lo;
  double t_hi;
  if (v <= EXACT_POISSON_LIMIT) {
    // With no collision (probability e^-v) the count is exactly the number
    // of registers in use, which the lower bound never needs to pass: the
    // lower tail gets its share of 1 - confidence only in proportion to the
    // chance of a collision, the upper tail the rest.
    const double alpha = 1.0 - confidence;
    const double lower_tail = 0.5 * alpha * -std::expm1(-v);
    t_lo = jittered_poisson_quantile(v, lower_tail);
    t_hi = jittered_poisson_quantile(v, 1.0 - (alpha - lower_tail));
  } else {
    const double z = two_sided_quantile(confidence);
    const double s2 = v + 1.0 / 12.0;
    const double skew = (z * z - 1.0) * v / (6.0 * s2);
    t_lo = v - z * std::sqrt(s2) + skew;
    t_hi = v + z * std::sqrt(s2) + skew;
  }
  const double shifted = center + interval_offset(h) - v;
  double lower = std::max(shifted + t_lo, static_cast<double>(occupied));
  lower = std::max(std::min(lower, center), 0.0);
  const double upper = std::max(shifted + t_hi, center);
  return {lower, upper};
}

Assessment assess(const HyperLogLogCore& core, Method method, double confidence) noexcept {
  const RegisterHistogram h = register_histogram(core);
  const double value = estimate(core, h, method);
  if (method != Method::classic) {
    return {value, error_bounds(h, value, confidence)};
  }
  Interval bounds = error_bounds(h, improved_estimate(h), confidence);
  if (std::isfinite(value)) {
    bounds.lower = std::min(bounds.lower, value);
    bounds.upper = std::max(bounds.upper, value);
  }
  return {value, bounds};
}

Refusal check_fold_precision(unsigned source_p, unsigned target_p) {
  if (Refusal refusal = HyperLogLogCore::check_precision(target_p)) {
    return refusal;
  }
  if (target_p > source_p) {
    return "cannot fold a sketch of p=" + std::to_string(source_p) +
           " to the higher p=" + std::to_string(target_p) + "; folding only lowers the precision";
  }
  return std::nullopt;
}

void fold_max_into(const HyperLogLogCore& source, unsigned target_p, std::uint8_t* into) noexcept {
  fold_max_into(source.registers(), source.precision(), target_p, into);
}

void fold_max_into(const std::uint8_t* regs, unsigned source_p, unsigned target_p,
                   std::uint8_t* into) noexcept {
  const std::size_t m = std::size_t{1} << target_p;
  if (source_p == target_p) {
    for (std::size_t i = 0; i < m; ++i) {
      into[i] = std::max(into[i], regs[i]);
    }
    return;
  }
  fold_groups(regs, source_p - target_p, 65 - source_p, into, m);
}

Refusal fold(const HyperLogLogCore& source, unsigned p, HyperLogLogCore& out) {
  if (Refusal refusal = check_fold_precision(source.precision(), p)) {
    return refusal;
  }
  if (p == source.precision()) {
    out = source.clone();
    return std::nullopt;
  }
  HyperLogLogCore folded;
  HyperLogLogCore::create(p, folded);
  fold_max_into(source, p, folded.mutable_registers());
  out = std::move(folded);
  return std::nullopt;
}

}  // namespace drisk
