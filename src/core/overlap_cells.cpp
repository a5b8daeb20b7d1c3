// drisk: the overlap of two sketch columns, row by row (see
// overlap_cells.hpp).
#include "overlap_cells.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "splitter.hpp"

namespace drisk::cells {
namespace {

// Rows a thread claims at a time.
constexpr std::size_t CHUNK_ROWS = 256;

// A sketch's 2^p registers at target_p, in scratch when they must be
// decoded or folded.
Refusal registers_at(const Sketch& sketch, unsigned target_p, std::vector<std::uint32_t>& entries,
                     std::vector<std::uint8_t>& registers, const std::uint8_t*& out) {
  const std::size_t m = std::size_t{1} << sketch.p;
  const std::uint8_t* source = sketch.registers;
  if (sketch.sparse) {
    entries.resize(std::max(entries.size(), m));
    std::size_t n = 0;
    if (Refusal refusal = packed::read_entries(sketch.view, entries.data(), n)) {
      return refusal;
    }
    registers.assign(m + (std::size_t{1} << target_p), 0);
    for (std::size_t i = 0; i < n; ++i) {
      registers[entries[i] >> packed::ENTRY_VALUE_BITS] =
          static_cast<std::uint8_t>(entries[i] & ((1u << packed::ENTRY_VALUE_BITS) - 1));
    }
    source = registers.data();
  }
  if (target_p == sketch.p) {
    out = source;
    return std::nullopt;
  }
  // Folded after the decoded registers, in the same scratch.
  const std::size_t folded_at = sketch.sparse ? m : 0;
  if (!sketch.sparse) {
    registers.assign(std::size_t{1} << target_p, 0);
  }
  std::uint8_t* folded = registers.data() + folded_at;
  fold_max_into(source, sketch.p, target_p, folded);
  out = folded;
  return std::nullopt;
}

}  // namespace

Refusal pair_counts(const Sketch& a, const Sketch& b, PairScratch& scratch,
                    overlap::PairCounts& out, unsigned& side) {
  if (a.p == b.p && a.sparse && b.sparse) {
    const std::size_t m = std::size_t{1} << a.p;
    std::size_t n[2] = {0, 0};
    const Sketch* both[2] = {&a, &b};
    for (unsigned s = 0; s < 2; ++s) {
      scratch.entries[s].resize(std::max(scratch.entries[s].size(), m));
      if (Refusal refusal = packed::read_entries(both[s]->view, scratch.entries[s].data(), n[s])) {
        side = s;
        return refusal;
      }
    }
    out = scratch.counter.entries({scratch.entries[0].data(), n[0]},
                                  {scratch.entries[1].data(), n[1]}, a.p);
    return std::nullopt;
  }
  const unsigned p = std::min(a.p, b.p);
  if (a.p == b.p && (a.sparse || b.sparse)) {
    // One sparse, one dense: the sparse one's entries against the other's
    // registers.
    const Sketch& sparse = a.sparse ? a : b;
    const Sketch& dense = a.sparse ? b : a;
    const std::size_t m = std::size_t{1} << p;
    scratch.entries[0].resize(std::max(scratch.entries[0].size(), m));
    std::size_t n = 0;
    if (Refusal refusal = packed::read_entries(sparse.view, scratch.entries[0].data(), n)) {
      side = a.sparse ? 0 : 1;
      return refusal;
    }
    out = scratch.counter.entries_registers({scratch.entries[0].data(), n}, dense.registers, p);
    if (!a.sparse) {
      out = out.swapped();
    }
    return std::nullopt;
  }
  const std::uint8_t* registers[2] = {nullptr, nullptr};
  const Sketch* both[2] = {&a, &b};
  for (unsigned s = 0; s < 2; ++s) {
    if (Refusal refusal =
            registers_at(*both[s], p, scratch.entries[s], scratch.registers[s], registers[s])) {
      side = s;
      return refusal;
    }
  }
  out = scratch.counter.registers(registers[0], registers[1], p);
  return std::nullopt;
}

Failure OverlapColumns::resize(std::size_t rows, bool bounds) noexcept {
  try {
    for (std::vector<double>* column : {&a_only, &b_only, &intersection, &union_size, &jaccard}) {
      column->resize(rows);
    }
    if (bounds) {
      for (std::vector<double>* column :
           {&intersection_lower, &intersection_upper, &jaccard_lower, &jaccard_upper}) {
        column->resize(rows);
      }
    }
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  return {};
}

Failure overlap_rows(const CellColumn& a, const CellColumn& b, std::size_t begin, std::size_t end,
                     double confidence, bool two_threads, OverlapColumns& out) noexcept {
  struct State {
    PairScratch scratch;
    std::size_t failed_row = SIZE_MAX;
    std::string message;
    bool out_of_memory = false;
  };
  constexpr double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();
  const bool bounds = confidence > 0.0;
  auto body = [&](State& state, std::size_t from, std::size_t to) noexcept {
    try {
      for (std::size_t row = begin + from; row < begin + to; ++row) {
        overlap::Estimate e;
        if (!a.rows[row].present || !b.rows[row].present) {
          e = {NAN_VALUE,
               NAN_VALUE,
               NAN_VALUE,
               NAN_VALUE,
               NAN_VALUE,
               {NAN_VALUE, NAN_VALUE},
               {NAN_VALUE, NAN_VALUE}};
        } else {
          Sketch sa;
          Sketch sb;
          unsigned side = 0;
          Refusal refusal = a.open(row, sa);
          if (!refusal) {
            side = 1;
            refusal = b.open(row, sb);
          }
          overlap::PairCounts counts;
          if (!refusal) {
            refusal = pair_counts(sa, sb, state.scratch, counts, side);
          }
          if (refusal) {
            state.failed_row = row;
            state.message =
                "row " + std::to_string(row) + " of " + (side == 0 ? "a" : "b") + ": " + *refusal;
            return false;
          }
          e = overlap::fit(counts, confidence);
        }
        out.a_only[row] = e.a_only;
        out.b_only[row] = e.b_only;
        out.intersection[row] = e.intersection;
        out.union_size[row] = e.union_size;
        out.jaccard[row] = e.jaccard;
        if (bounds) {
          out.intersection_lower[row] = e.intersection_bounds.lower;
          out.intersection_upper[row] = e.intersection_bounds.upper;
          out.jaccard_lower[row] = e.jaccard_bounds.lower;
          out.jaccard_upper[row] = e.jaccard_bounds.upper;
        }
      }
    } catch (const std::bad_alloc&) {
      state.failed_row = begin + from;
      state.out_of_memory = true;
      return false;
    }
    return true;
  };
  State own;
  State helper;
  share_work(end - begin, CHUNK_ROWS, own, two_threads ? &helper : nullptr, body);
  const State& first = own.failed_row <= helper.failed_row ? own : helper;
  if (first.failed_row == SIZE_MAX) {
    return {};
  }
  if (first.out_of_memory) {
    return Failure::no_memory();
  }
  return Failure::refused(first.message);
}

}  // namespace drisk::cells
