// drisk: how much two sketched sets overlap, by joint maximum likelihood.
//
// Two sketches A and B of the same precision say more together than their
// three estimates |A|, |B| and |A u B| do apart. Inclusion-exclusion,
// |A n B| = |A| + |B| - |A u B|, carries the error of the union into the
// intersection, which is large exactly when the intersection is small. Ertl
// ("Cardinality estimation of set intersections and complements", 2017)
// fits the three disjoint parts instead:
//
//   A only, at rate a     B only, at rate b     both, at rate x
//
// Under the Poisson model every register of A is the larger of two
// independent registers, one for "A only" and one for "both", and every
// register of B the larger of those for "B only" and "both". A register
// with rate r (elements per register) holds at most k with probability
//
//   F(k; r) = exp(-r s_k),   s_k = 2^-k for k = 0 .. q,  s_(q+1) = 0,
//
// so each pair of registers (A's value i, B's value j) has a probability
// in a, b and x:
//
//   i < j:   P(max(A only, both) = i) P(B only = j)
//   i > j:   P(A only = i) P(max(B only, both) = j)
//   i = j:   P(both = i) F(i; a) F(i; b) + F(i - 1; x) P(A only = i) P(B only = i)
//
// and the likelihood of the two sketches depends on their registers only
// through five histograms (PairCounts): for each value k, how many
// registers hold k in A and more in B, k in A and less in B, the same two
// for B, and k in both. One pass over the registers makes them; the fit
// (projected Newton on the log-likelihood, from the inclusion-exclusion
// estimates with the improved estimator) then works on at most 5 x 62
// numbers, whatever the precision.
//
// Nothing here allocates or knows the Python interpreter.
#ifndef DRISK_OVERLAP_HPP
#define DRISK_OVERLAP_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "estimators.hpp"

namespace drisk::overlap {

// The sufficient statistics of a pair of sketches of precision p: for each
// register value k,
//   a_below[k]  registers where A holds k and B more,
//   a_above[k]  registers where A holds k and B less,
//   b_below[k], b_above[k]  the same with A and B swapped,
//   equal[k]    registers where both hold k.
struct PairCounts {
  unsigned p = 0;
  std::array<std::uint32_t, HISTOGRAM_SLOTS> a_below{};
  std::array<std::uint32_t, HISTOGRAM_SLOTS> a_above{};
  std::array<std::uint32_t, HISTOGRAM_SLOTS> b_below{};
  std::array<std::uint32_t, HISTOGRAM_SLOTS> b_above{};
  std::array<std::uint32_t, HISTOGRAM_SLOTS> equal{};

  // The histograms of A, of B and of their union (register maxima).
  RegisterHistogram histogram_a() const noexcept;
  RegisterHistogram histogram_b() const noexcept;
  RegisterHistogram histogram_union() const noexcept;
  // The same pair seen from B.
  PairCounts swapped() const noexcept;
};

// Makes PairCounts, one pair of sketches at a time. It keeps the joint
// histogram of register pairs (cell (i << 6) | j counts the registers where
// A holds i and B holds j: one increment a register, no branch), cleared
// cell by cell after each pair rather than whole. Register values must be
// at most q + 1, as every sketch cell that opens for a union has them.
class PairCounter {
 public:
  // Two register arrays of 2^p registers each.
  PairCounts registers(const std::uint8_t* a, const std::uint8_t* b, unsigned p) noexcept;

  // Two sparse sketches' entries (index << 6 | value, indices strictly
  // ascending, as packed::read_entries() gives them).
  PairCounts entries(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                     unsigned p) noexcept;

  // One sketch's entries and the other's registers.
  PairCounts entries_registers(std::span<const std::uint32_t> a, const std::uint8_t* b,
                               unsigned p) noexcept;

 private:
  static constexpr unsigned SIDE = 64;

  void add(unsigned i, unsigned j) noexcept { ++cells_[0][(i << 6) | j]; }
  // Reads the counts off the cells of values low .. high on either side,
  // and clears those cells.
  PairCounts finish(unsigned p, unsigned low, unsigned high, std::uint32_t zero_pairs) noexcept;

  // Two tables, for even and odd registers, so that runs of equal pairs
  // do not wait on each other's increments. All zero between pairs.
  std::array<std::uint32_t, SIDE * SIDE> cells_[2]{};
};

// The fitted parts, in distinct elements. jaccard is intersection / union,
// NaN when both sketches are empty. With a confidence, the intervals are
// the observed information's normal intervals, clipped to what can be
// (at least 0; at most 1 for the Jaccard index); without, they are NaN.
struct Estimate {
  double a_only = 0.0;
  double b_only = 0.0;
  double intersection = 0.0;
  double union_size = 0.0;
  double jaccard = 0.0;
  Interval intersection_bounds{};
  Interval jaccard_bounds{};
};

// The joint maximum-likelihood fit of the counts; confidence in (0, 1), or
// 0 for no intervals. Always finite but the NaNs named above; mirrored
// exactly when the counts are swapped.
Estimate fit(const PairCounts& counts, double confidence) noexcept;

// Inclusion-exclusion with the improved estimator, the fit's starting point
// (and the baseline the bench compares it with).
Estimate inclusion_exclusion(const PairCounts& counts) noexcept;

}  // namespace drisk::overlap

#endif  // DRISK_OVERLAP_HPP
