// drisk: the joint maximum-likelihood fit of two sketches' overlap (see
// overlap.hpp for the model).
#include "overlap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace drisk::overlap {
namespace {

constexpr unsigned VALUE_BITS = 6;  // an entry's value bits (packed.hpp)
constexpr std::uint32_t VALUE_MASK = (1u << VALUE_BITS) - 1;

RegisterHistogram histogram_of(unsigned p, const std::array<std::uint32_t, HISTOGRAM_SLOTS>& x,
                               const std::array<std::uint32_t, HISTOGRAM_SLOTS>& y,
                               const std::array<std::uint32_t, HISTOGRAM_SLOTS>& z) noexcept {
  RegisterHistogram h;
  h.m = std::uint64_t{1} << p;
  h.q = 64 - p;
  for (std::size_t k = 0; k < HISTOGRAM_SLOTS; ++k) {
    h.count[k] = std::uint64_t{x[k]} + y[k] + z[k];
  }
  return h;
}

// ---------------------------------------------------------------------------
// The log-likelihood
// ---------------------------------------------------------------------------
//
// With per-register rates (a, b, x) and, for a register value k >= 1,
// d_k = s_(k-1) - s_k (2^-k, and 2^-q for k = q + 1), a rate r holds
// exactly k with probability exp(-r s_k) (1 - exp(-r d_k)); exactly 0 with
// exp(-r). The log-likelihood is then a linear part,
//   -(a La + b Lb + x Lx),
// with La, Lb and Lx sums of counts times s_k, and one non-linear term per
// count and value k >= 1:
//   a_below: log w(a + x)   a_above: log w(a)   b_below: log w(b + x)
//   b_above: log w(b)       equal:   log(w(x) + v(x) w(a) w(b))
// where v(r) = exp(-r d_k) and w(r) = 1 - v(r).

enum Rate : unsigned { RATE_A = 0, RATE_B = 1, RATE_X = 2 };

// The rates the terms take: a, b, x, a + x and b + x.
constexpr unsigned RATES = 5;
enum Combined : unsigned { SUM_AX = 3, SUM_BX = 4 };

// The counts of one fit as the likelihood reads them: the single-rate
// terms by the rate they take (a + x for a_below, a for a_above, b + x for
// b_below, b for b_above), the equal terms, for values lo .. hi (all >= 1;
// the value 0 is linear only).
struct Model {
  double single[4][HISTOGRAM_SLOTS] = {};
  double equal[HISTOGRAM_SLOTS] = {};
  unsigned lo = 1;
  unsigned hi = 0;  // lo > hi: no non-linear term
  unsigned q = 0;
  double linear[3] = {0.0, 0.0, 0.0};
  double m = 0.0;
};

constexpr unsigned SINGLE_RATE[4] = {SUM_AX, RATE_A, SUM_BX, RATE_B};

Model model_of(const PairCounts& c) noexcept {
  Model model;
  const unsigned q = 64 - c.p;
  model.q = q;
  model.m = std::ldexp(1.0, static_cast<int>(c.p));
  model.lo = q + 2;
  for (unsigned k = 0; k <= q + 1; ++k) {
    const double s = k <= q ? std::ldexp(1.0, -static_cast<int>(k)) : 0.0;
    const double ab = c.a_below[k], aa = c.a_above[k], bb = c.b_below[k], ba = c.b_above[k];
    const double e = c.equal[k];
    model.linear[RATE_A] += s * (ab + aa + e);
    model.linear[RATE_B] += s * (bb + ba + e);
    model.linear[RATE_X] += s * (ab + bb + e);
    if (k == 0 || ab + aa + bb + ba + e == 0.0) {
      continue;
    }
    model.single[0][k] = ab;
    model.single[1][k] = aa;
    model.single[2][k] = bb;
    model.single[3][k] = ba;
    model.equal[k] = e;
    model.lo = std::min(model.lo, k);
    model.hi = k;
  }
  return model;
}

struct Derivatives {
  double g[3] = {0.0, 0.0, 0.0};
  double h[3][3] = {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}};
};

// v = exp(-r d_k) and w = 1 - v for each rate and value lo .. hi. Going
// down one value doubles d_k, so v squares and w becomes w (1 + v); a
// fresh expm1 every few values keeps the rounding from piling up. d_(q+1)
// equals d_q.
struct Powers {
  double v[RATES][HISTOGRAM_SLOTS];
  double w[RATES][HISTOGRAM_SLOTS];
};

constexpr unsigned FRESH_EVERY = 8;

inline double d_of(unsigned k, unsigned q) noexcept {
  return std::ldexp(1.0, -static_cast<int>(std::min(k, q)));
}

void powers_of(const Model& model, const double rate[RATES], Powers& out) noexcept {
  for (unsigned t = 0; t < RATES; ++t) {
    double v = 0.0;
    double w = 0.0;
    for (unsigned k = model.hi, step = 0; k >= model.lo; --k, ++step) {
      if (k == model.q && model.hi == model.q + 1) {
        // the same d as q + 1: v and w carry over
      } else if (step % FRESH_EVERY == 0) {
        w = -std::expm1(-rate[t] * d_of(k, model.q));
        v = 1.0 - w;
      } else {
        w *= 1.0 + v;
        v *= v;
      }
      out.v[t][k] = v;
      out.w[t][k] = w;
    }
  }
}

// The log-likelihood at rates r (-infinity where it is 0), and with `out`
// its gradient and Hessian in the rates, in which case the log-likelihood
// is not computed (0 is returned unless it is -infinity).
double evaluate(const Model& model, const double r[3], Derivatives* out) noexcept {
  constexpr double MINUS_INFINITY = -std::numeric_limits<double>::infinity();
  const double rate[RATES] = {r[RATE_A], r[RATE_B], r[RATE_X], r[RATE_A] + r[RATE_X],
                              r[RATE_B] + r[RATE_X]};
  Powers pw;
  powers_of(model, rate, pw);
  double ll = 0.0;
  if (out == nullptr) {
    ll = -(model.linear[RATE_A] * r[RATE_A] + model.linear[RATE_B] * r[RATE_B] +
           model.linear[RATE_X] * r[RATE_X]);
    for (unsigned k = model.lo; k <= model.hi; ++k) {
      for (unsigned t = 0; t < 4; ++t) {
        const double c = model.single[t][k];
        if (c != 0.0) {
          const double w = pw.w[SINGLE_RATE[t]][k];
          if (!(w > 0.0)) {
            return MINUS_INFINITY;
          }
          ll += c * std::log(w);
        }
      }
      const double e = model.equal[k];
      if (e != 0.0) {
        const double big_d = pw.w[RATE_X][k] + pw.v[RATE_X][k] * pw.w[RATE_A][k] * pw.w[RATE_B][k];
        if (!(big_d > 0.0)) {
          return MINUS_INFINITY;
        }
        ll += e * std::log(big_d);
      }
    }
    return ll;
  }
  *out = Derivatives{};
  for (unsigned i = 0; i < 3; ++i) {
    out->g[i] = -model.linear[i];
  }
  // Which rates each single-rate term is the sum of.
  static constexpr bool uses[4][3] = {
      {true, false, true}, {true, false, false}, {false, true, true}, {false, true, false}};
  double single_g[4] = {0.0, 0.0, 0.0, 0.0};
  double single_h[4] = {0.0, 0.0, 0.0, 0.0};
  for (unsigned k = model.lo; k <= model.hi; ++k) {
    const double d = d_of(k, model.q);
    for (unsigned t = 0; t < 4; ++t) {
      const double c = model.single[t][k];
      if (c != 0.0) {
        const double w = pw.w[SINGLE_RATE[t]][k];
        if (!(w > 0.0)) {
          return MINUS_INFINITY;
        }
        const double dv_w = d * pw.v[SINGLE_RATE[t]][k] / w;
        single_g[t] += c * dv_w;
        single_h[t] -= c * dv_w * (d / w);
      }
    }
    const double e = model.equal[k];
    if (e == 0.0) {
      continue;
    }
    const double va = pw.v[RATE_A][k], wa = pw.w[RATE_A][k];
    const double vb = pw.v[RATE_B][k], wb = pw.w[RATE_B][k];
    const double vx = pw.v[RATE_X][k], wx = pw.w[RATE_X][k];
    const double big_d = wx + vx * wa * wb;
    if (!(big_d > 0.0)) {
      return MINUS_INFINITY;
    }
    // D's derivatives in (a, b, x), then those of log D.
    const double dd = d * d;
    const double gd[3] = {d * vx * va * wb, d * vx * vb * wa, d * vx * (1.0 - wa * wb)};
    const double hd[3][3] = {{-dd * vx * va * wb, dd * vx * va * vb, -dd * vx * va * wb},
                             {dd * vx * va * vb, -dd * vx * vb * wa, -dd * vx * vb * wa},
                             {-dd * vx * va * wb, -dd * vx * vb * wa, -dd * vx * (1.0 - wa * wb)}};
    const double inv = 1.0 / big_d;
    for (unsigned i = 0; i < 3; ++i) {
      out->g[i] += e * gd[i] * inv;
      for (unsigned j = 0; j < 3; ++j) {
        out->h[i][j] += e * (hd[i][j] * inv - gd[i] * gd[j] * inv * inv);
      }
    }
  }
  for (unsigned t = 0; t < 4; ++t) {
    for (unsigned i = 0; i < 3; ++i) {
      if (!uses[t][i]) {
        continue;
      }
      out->g[i] += single_g[t];
      for (unsigned j = 0; j < 3; ++j) {
        out->h[i][j] += uses[t][j] ? single_h[t] : 0.0;
      }
    }
  }
  return 0.0;
}

// Solves m z = y for a symmetric positive definite m of size n <= 3 by
// Cholesky; false when m is not positive definite.
bool solve_spd(double m[3][3], const double y[3], double z[3], unsigned n) noexcept {
  double l[3][3] = {};
  for (unsigned i = 0; i < n; ++i) {
    for (unsigned j = 0; j <= i; ++j) {
      double sum = m[i][j];
      for (unsigned k = 0; k < j; ++k) {
        sum -= l[i][k] * l[j][k];
      }
      if (i == j) {
        if (!(sum > 0.0)) {
          return false;
        }
        l[i][i] = std::sqrt(sum);
      } else {
        l[i][j] = sum / l[j][j];
      }
    }
  }
  double t[3];
  for (unsigned i = 0; i < n; ++i) {
    double sum = y[i];
    for (unsigned k = 0; k < i; ++k) {
      sum -= l[i][k] * t[k];
    }
    t[i] = sum / l[i][i];
  }
  for (unsigned i = n; i-- > 0;) {
    double sum = t[i];
    for (unsigned k = i + 1; k < n; ++k) {
      sum -= l[k][i] * z[k];
    }
    z[i] = sum / l[i][i];
  }
  return true;
}

// The inverse of a symmetric positive definite 3 x 3 matrix restricted to
// the rates in `free` (others get zero rows); false when it is not
// positive definite there.
bool invert_spd(const double m[3][3], const bool free[3], double out[3][3]) noexcept {
  unsigned index[3];
  unsigned n = 0;
  for (unsigned i = 0; i < 3; ++i) {
    if (free[i]) {
      index[n++] = i;
    }
  }
  double sub[3][3] = {};
  for (unsigned i = 0; i < n; ++i) {
    for (unsigned j = 0; j < n; ++j) {
      sub[i][j] = m[index[i]][index[j]];
    }
  }
  for (unsigned i = 0; i < 3; ++i) {
    for (unsigned j = 0; j < 3; ++j) {
      out[i][j] = 0.0;
    }
  }
  for (unsigned c = 0; c < n; ++c) {
    double e[3] = {0.0, 0.0, 0.0};
    e[c] = 1.0;
    double z[3] = {0.0, 0.0, 0.0};
    double copy[3][3];
    for (unsigned i = 0; i < 3; ++i) {
      for (unsigned j = 0; j < 3; ++j) {
        copy[i][j] = sub[i][j];
      }
    }
    if (!solve_spd(copy, e, z, n)) {
      return false;
    }
    for (unsigned i = 0; i < n; ++i) {
      out[index[i]][index[c]] = z[i];
    }
  }
  return true;
}

// Whether a's counts come before b's in a fixed order of pairs: the fit
// always runs on the first of (counts, counts swapped), so that swapping
// the sketches mirrors the result exactly.
bool canonical(const PairCounts& c) noexcept {
  for (std::size_t k = 0; k < HISTOGRAM_SLOTS; ++k) {
    if (c.a_below[k] != c.b_below[k]) {
      return c.a_below[k] < c.b_below[k];
    }
    if (c.a_above[k] != c.b_above[k]) {
      return c.a_above[k] < c.b_above[k];
    }
  }
  return true;
}

Estimate mirrored(Estimate e) noexcept {
  std::swap(e.a_only, e.b_only);
  return e;
}

Estimate fit_canonical(const PairCounts& counts, double confidence) noexcept;

}  // namespace

RegisterHistogram PairCounts::histogram_a() const noexcept {
  return histogram_of(p, a_below, a_above, equal);
}

RegisterHistogram PairCounts::histogram_b() const noexcept {
  return histogram_of(p, b_below, b_above, equal);
}

RegisterHistogram PairCounts::histogram_union() const noexcept {
  return histogram_of(p, a_above, b_above, equal);
}

PairCounts PairCounts::swapped() const noexcept {
  PairCounts out = *this;
  std::swap(out.a_below, out.b_below);
  std::swap(out.a_above, out.b_above);
  return out;
}

PairCounts PairCounter::finish(unsigned p, unsigned low, unsigned high,
                               std::uint32_t zero_pairs) noexcept {
  PairCounts out;
  out.p = p;
  for (unsigned i = low; i <= high; ++i) {
    for (unsigned j = low; j <= high; ++j) {
      const std::uint32_t n =
          std::exchange(cells_[0][(i << 6) | j], 0) + std::exchange(cells_[1][(i << 6) | j], 0);
      if (i < j) {
        out.a_below[i] += n;
        out.b_above[j] += n;
      } else if (i > j) {
        out.a_above[i] += n;
        out.b_below[j] += n;
      } else {
        out.equal[i] += n;
      }
    }
  }
  out.equal[0] += zero_pairs;
  return out;
}

PairCounts PairCounter::registers(const std::uint8_t* a, const std::uint8_t* b,
                                  unsigned p) noexcept {
  const std::size_t m = std::size_t{1} << p;
  for (std::size_t r = 0; r < m; r += 2) {
    ++cells_[0][(unsigned{a[r]} << 6) | b[r]];
    ++cells_[1][(unsigned{a[r + 1]} << 6) | b[r + 1]];
  }
  // The range of values, in a loop the compiler vectorises.
  std::uint8_t low = a[0];
  std::uint8_t high = a[0];
  for (std::size_t r = 0; r < m; ++r) {
    low = std::min({low, a[r], b[r]});
    high = std::max({high, a[r], b[r]});
  }
  return finish(p, low, high, 0);
}

PairCounts PairCounter::entries(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                                unsigned p) noexcept {
  std::size_t i = 0;
  std::size_t j = 0;
  std::uint32_t either = 0;  // registers set in either sketch
  unsigned high = 0;
  while (i < a.size() || j < b.size()) {
    const std::uint32_t ia = i < a.size() ? a[i] >> VALUE_BITS : UINT32_MAX;
    const std::uint32_t ib = j < b.size() ? b[j] >> VALUE_BITS : UINT32_MAX;
    unsigned va = 0;
    unsigned vb = 0;
    if (ia <= ib) {
      va = a[i++] & VALUE_MASK;
    }
    if (ib <= ia) {
      vb = b[j++] & VALUE_MASK;
    }
    add(va, vb);
    high = std::max({high, va, vb});
    ++either;
  }
  return finish(p, 0, high, static_cast<std::uint32_t>((std::size_t{1} << p) - either));
}

PairCounts PairCounter::entries_registers(std::span<const std::uint32_t> a, const std::uint8_t* b,
                                          unsigned p) noexcept {
  const std::size_t m = std::size_t{1} << p;
  std::size_t next = 0;
  unsigned high = 0;
  for (std::size_t r = 0; r < m; ++r) {
    unsigned va = 0;
    if (next < a.size() && (a[next] >> VALUE_BITS) == r) {
      va = a[next++] & VALUE_MASK;
    }
    add(va, b[r]);
    high = std::max({high, va, unsigned{b[r]}});
  }
  return finish(p, 0, high, 0);
}

Estimate inclusion_exclusion(const PairCounts& counts) noexcept {
  const double na = improved_estimate(counts.histogram_a());
  const double nb = improved_estimate(counts.histogram_b());
  const double nu = std::max({improved_estimate(counts.histogram_union()), na, nb});
  Estimate e;
  e.intersection = std::max(0.0, na + nb - nu);
  e.a_only = nu - nb;
  e.b_only = nu - na;
  e.union_size = nu;
  e.jaccard = nu > 0.0 ? e.intersection / nu : std::numeric_limits<double>::quiet_NaN();
  constexpr double NOT_ASKED = std::numeric_limits<double>::quiet_NaN();
  e.intersection_bounds = {NOT_ASKED, NOT_ASKED};
  e.jaccard_bounds = {NOT_ASKED, NOT_ASKED};
  return e;
}

Estimate fit(const PairCounts& counts, double confidence) noexcept {
  return canonical(counts) ? fit_canonical(counts, confidence)
                           : mirrored(fit_canonical(counts.swapped(), confidence));
}

namespace {

Estimate fit_canonical(const PairCounts& counts, double confidence) noexcept {
  constexpr double NOT_ASKED = std::numeric_limits<double>::quiet_NaN();
  const Model model = model_of(counts);
  const double m = model.m;
  const unsigned q = 64 - counts.p;
  Estimate start = inclusion_exclusion(counts);
  if (start.union_size == 0.0) {  // both empty
    Estimate e;
    e.jaccard = std::numeric_limits<double>::quiet_NaN();
    e.intersection_bounds = confidence > 0.0 ? Interval{0.0, 0.0} : Interval{NOT_ASKED, NOT_ASKED};
    e.jaccard_bounds = {NOT_ASKED, NOT_ASKED};
    return e;
  }
  // Per-register rates, started inside the domain (every part at least a
  // hundredth of the union, where the likelihood is finite).
  const double floor = 0.01 * start.union_size / m;
  const double ceiling = std::ldexp(1.0, static_cast<int>(q) + 6);
  double r[3] = {std::max(start.a_only / m, floor), std::max(start.b_only / m, floor),
                 std::max(start.intersection / m, floor)};
  double ll = evaluate(model, r, nullptr);
  Derivatives der;
  constexpr unsigned MAX_ITERATIONS = 200;
  // Newton's decrement (the log-likelihood the step would gain, twice)
  // below which the fit stops: the rates are then within about
  // sqrt(CLOSE_ENOUGH) standard errors of the maximum.
  constexpr double CLOSE_ENOUGH = 1e-6;
  // The least share of the model's variance an interval keeps.
  constexpr double VARIANCE_FLOOR = 1.0 / 64.0;
  for (unsigned iteration = 0; iteration < MAX_ITERATIONS; ++iteration) {
    evaluate(model, r, &der);
    // Rates held at zero by a gradient pointing below it stay there.
    bool free[3];
    unsigned index[3];
    unsigned n = 0;
    for (unsigned i = 0; i < 3; ++i) {
      free[i] = !(r[i] <= 0.0 && der.g[i] <= 0.0) && !(r[i] >= ceiling && der.g[i] >= 0.0);
      if (free[i]) {
        index[n++] = i;
      }
    }
    if (n == 0) {
      break;
    }
    // Newton's step on the free rates, damped (Levenberg) until the
    // negated Hessian is positive definite.
    double step[3] = {0.0, 0.0, 0.0};
    double y[3];
    double z[3] = {0.0, 0.0, 0.0};
    for (unsigned i = 0; i < n; ++i) {
      y[i] = der.g[index[i]];
    }
    bool solved = false;
    for (double mu = 0.0; !solved && mu < 1e30; mu = mu == 0.0 ? 1e-9 : mu * 10.0) {
      double mat[3][3] = {};
      for (unsigned i = 0; i < n; ++i) {
        for (unsigned j = 0; j < n; ++j) {
          mat[i][j] = -der.h[index[i]][index[j]];
        }
        mat[i][i] += mu * (std::fabs(der.h[index[i]][index[i]]) + 1.0);
      }
      solved = solve_spd(mat, y, z, n);
    }
    if (!solved) {
      break;
    }
    double decrement = 0.0;  // Newton's decrement: what the step would gain, squared, twice
    for (unsigned i = 0; i < n; ++i) {
      step[index[i]] = z[i];
      decrement += y[i] * z[i];
    }
    if (decrement < CLOSE_ENOUGH) {
      // Within a small fraction of a standard error of the maximum, where
      // Newton's step is as good as exact: taken as it is, and done.
      for (unsigned i = 0; i < 3; ++i) {
        r[i] = std::clamp(r[i] + step[i], 0.0, ceiling);
      }
      break;
    }
    // Backtracking along the projected step until the likelihood grows.
    bool moved = false;
    double change = 0.0;
    for (double t = 1.0; t > 1e-12; t *= 0.5) {
      double next[3];
      for (unsigned i = 0; i < 3; ++i) {
        next[i] = std::clamp(r[i] + t * step[i], 0.0, ceiling);
      }
      const double next_ll = evaluate(model, next, nullptr);
      if (next_ll >= ll) {
        change = 0.0;
        for (unsigned i = 0; i < 3; ++i) {
          change = std::max(change, std::fabs(next[i] - r[i]));
          r[i] = next[i];
        }
        moved = next_ll > ll || change > 0.0;
        ll = next_ll;
        break;
      }
    }
    if (!moved || change <= 1e-12 * (r[0] + r[1] + r[2])) {
      break;
    }
  }

  Estimate e;
  e.a_only = m * r[RATE_A];
  e.b_only = m * r[RATE_B];
  e.intersection = m * r[RATE_X];
  e.union_size = e.a_only + e.b_only + e.intersection;
  e.jaccard =
      e.union_size > 0.0 ? e.intersection / e.union_size : std::numeric_limits<double>::quiet_NaN();
  e.intersection_bounds = {NOT_ASKED, NOT_ASKED};
  e.jaccard_bounds = {NOT_ASKED, NOT_ASKED};
  if (!(confidence > 0.0)) {
    return e;
  }
  // Normal intervals from the observed information (the negated Hessian in
  // the rates), by the delta method for the Jaccard index.
  evaluate(model, r, &der);
  double information[3][3];
  for (unsigned i = 0; i < 3; ++i) {
    for (unsigned j = 0; j < 3; ++j) {
      information[i][j] = -der.h[i][j];
    }
  }
  double cov[3][3];
  // A one-sided part fitted at zero (one set inside the other) is held
  // there: the intersection then varies as that set's own estimate does.
  // The intersection's own rate always varies, so that an intersection
  // fitted at zero still has an upper bound.
  bool free[3];
  for (unsigned i = 0; i < 3; ++i) {
    free[i] = r[i] > 0.0 || i == RATE_X;
  }
  if (!invert_spd(information, free, cov)) {
    for (auto& row : cov) {
      for (double& v : row) {
        v = 0.0;
      }
    }
  }
  // The Poisson model lets each part's count vary too (by its own size,
  // in variance); the sets at hand have fixed counts, so that share comes
  // off, as it does in the single sketch's bounds. What is left is kept to
  // at least a floor of the model's variance, for the rounding.
  double fixed[3][3];
  for (unsigned i = 0; i < 3; ++i) {
    for (unsigned j = 0; j < 3; ++j) {
      fixed[i][j] = cov[i][j];
    }
    if (free[i]) {
      fixed[i][i] = std::max(cov[i][i] - r[i] / m, VARIANCE_FLOOR * cov[i][i]);
    }
  }
  // Normal intervals, cut at 0; one around a fit of exactly 0 (the
  // boundary) can no longer miss below, so it runs from 0 to the one-sided
  // bound, the whole of 1 - confidence in its upper tail.
  const double z = two_sided_quantile(confidence);
  const double z_one_sided = two_sided_quantile(2.0 * confidence - 1.0);
  const auto interval = [&](double center, double sd, double top) {
    if (center > 0.0) {
      return Interval{std::max(center - z * sd, 0.0), std::min(center + z * sd, top)};
    }
    return Interval{0.0, std::min(z_one_sided * sd, top)};
  };
  const double sd_x = m * std::sqrt(std::max(fixed[RATE_X][RATE_X], 0.0));
  e.intersection_bounds = interval(e.intersection, sd_x, std::numeric_limits<double>::infinity());
  const double u = r[RATE_A] + r[RATE_B] + r[RATE_X];
  const double grad[3] = {-r[RATE_X] / (u * u), -r[RATE_X] / (u * u),
                          (r[RATE_A] + r[RATE_B]) / (u * u)};
  double var_j = 0.0;
  double var_j_model = 0.0;
  for (unsigned i = 0; i < 3; ++i) {
    for (unsigned j = 0; j < 3; ++j) {
      var_j += grad[i] * fixed[i][j] * grad[j];
      var_j_model += grad[i] * cov[i][j] * grad[j];
    }
  }
  const double sd_j = std::sqrt(std::max(var_j, VARIANCE_FLOOR * var_j_model));
  e.jaccard_bounds = interval(e.jaccard, sd_j, 1.0);
  return e;
}

}  // namespace
}  // namespace drisk::overlap
