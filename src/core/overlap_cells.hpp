// drisk: the overlap of two sketch columns, row by row.
//
// Row i of the result is the joint fit (overlap.hpp) of cell i of column A
// and cell i of column B, each in either stored form, folded to the smaller
// precision of the two when they differ. A null cell on either side gives
// NaN throughout, as a null cell's estimate does. Work is shared with one
// helper thread when the columns are long enough to pay for it.
//
// Nothing here knows the Python interpreter; failures come back as texts
// naming the column and the row.
#ifndef DRISK_OVERLAP_CELLS_HPP
#define DRISK_OVERLAP_CELLS_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "overlap.hpp"
#include "sketch_cells.hpp"

namespace drisk::cells {

// What a pair of cells takes apart: room for two sketches' entries and
// registers at the largest precision, reused from pair to pair.
struct PairScratch {
  overlap::PairCounter counter;
  std::vector<std::uint32_t> entries[2];
  std::vector<std::uint8_t> registers[2];
};

// The counts of two opened sketches, folded to the smaller precision. On
// refusal (a damaged sparse body), `side` says whose: 0 for a, 1 for b.
Refusal pair_counts(const Sketch& a, const Sketch& b, PairScratch& scratch,
                    overlap::PairCounts& out, unsigned& side);

// The columns of the result: one value per row each; the interval columns
// are filled only when a confidence is given.
struct OverlapColumns {
  std::vector<double> a_only, b_only, intersection, union_size, jaccard;
  std::vector<double> intersection_lower, intersection_upper, jaccard_lower, jaccard_upper;

  // Room for `rows` rows, with the interval columns when `bounds`.
  Failure resize(std::size_t rows, bool bounds) noexcept;
};

// Fits rows [begin, end) of two aligned columns into `out` (resized to
// their length, with the interval columns when confidence is given);
// confidence in (0, 1), or 0 for no intervals. With `two_threads`, a helper
// thread takes part of the rows.
Failure overlap_rows(const CellColumn& a, const CellColumn& b, std::size_t begin, std::size_t end,
                     double confidence, bool two_threads, OverlapColumns& out) noexcept;

}  // namespace drisk::cells

#endif  // DRISK_OVERLAP_CELLS_HPP
