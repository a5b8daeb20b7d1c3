// drisk: unions of sketch cells (see unions.hpp).
#include "unions.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>
#include <string_view>

#include "cpus.hpp"
#include "platform.hpp"
#include "splitter.hpp"

namespace drisk::cells {
namespace {

constexpr std::uint32_t VALUE_MASK = (1u << packed::ENTRY_VALUE_BITS) - 1;

// Rows from which the unions of groups are shared between two cores, and
// the parts they are cut into then: enough that a core given less time by
// the machine holds up the other for a small part at most.
constexpr std::size_t SPLIT_ROWS = 16 * 1024;
constexpr std::size_t PARTS = 16;

// Cells fetched ahead of the union that takes them: enough misses in flight
// to hide the memory's latency behind a union of a few small sketches.
constexpr std::size_t PREFETCH_CELLS = 16;

constexpr char MALFORMED_LIST[] = "malformed Arrow array: a list's offsets lie outside its cells";

[[gnu::cold, gnu::noinline]] std::string at_item(std::size_t row, std::size_t item,
                                                 std::string what) {
  return "list " + std::to_string(row) + ", item " + std::to_string(item) + ": " + what;
}

Refusal open_for_union(const Cells& cells, std::size_t i, Sketch& out) {
  std::span<const std::uint8_t> bytes;
  if (!cells.cell(i, bytes)) {
    return MALFORMED_CELL;
  }
  return open_for_union(bytes, out);
}

// Entries of precision source_p folded in place to p = source_p - d: the
// index loses its low d bits, which become the top of the rank (see
// estimators.cpp). The indices stay in ascending order, with repeats.
void fold_entries(std::uint32_t* entries, std::size_t n, unsigned d) noexcept {
  const std::uint32_t low = (std::uint32_t{1} << d) - 1;
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint32_t index = entries[k] >> packed::ENTRY_VALUE_BITS;
    const std::uint32_t t = index & low;
    const unsigned rank =
        t == 0 ? d + (entries[k] & VALUE_MASK) : d + 1 - static_cast<unsigned>(std::bit_width(t));
    entries[k] = (index >> d) << packed::ENTRY_VALUE_BITS | rank;
  }
}

}  // namespace

std::size_t Unions::gather(std::size_t n, unsigned p) {
  // Each register's largest value is kept in held_, and its index marked
  // twice: a bit per register in marks_, a bit per word of marks_ in
  // summary_. The walk in index order then visits only the words holding
  // registers in use, so it costs the entries, not 2^p; every mark and
  // register is cleared on the way, ready for the next union.
  const std::size_t m = std::size_t{1} << p;
  const std::size_t words = (m + 63) / 64;
  const std::size_t summaries = (words + 63) / 64;
  // Each sized by its own need, so that a growth that fails leaves none of
  // them too small for the next union.
  held_.resize(std::max(held_.size(), m));
  marks_.resize(std::max(marks_.size(), words));
  summary_.resize(std::max(summary_.size(), summaries));
  std::uint8_t* const held = held_.data();
  std::uint64_t* const marks = marks_.data();
  std::uint64_t* const summary = summary_.data();
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint32_t index = entries_[k] >> packed::ENTRY_VALUE_BITS;
    const auto value = static_cast<std::uint8_t>(entries_[k] & VALUE_MASK);
    held[index] = std::max(held[index], value);
    marks[index / 64] |= std::uint64_t{1} << (index % 64);
    summary[index / 4096] |= std::uint64_t{1} << (index / 64 % 64);
  }
  std::size_t kept = 0;
  for (std::size_t s = 0; s < summaries; ++s) {
    for (std::uint64_t word_bits = summary[s]; word_bits != 0; word_bits &= word_bits - 1) {
      const std::size_t w = s * 64 + static_cast<std::size_t>(std::countr_zero(word_bits));
      for (std::uint64_t bits = marks[w]; bits != 0; bits &= bits - 1) {
        const std::size_t index = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
        entries_[kept++] =
            static_cast<std::uint32_t>(index << packed::ENTRY_VALUE_BITS) | held[index];
        held[index] = 0;
      }
      marks[w] = 0;
    }
    summary[s] = 0;
  }
  return kept;
}

Refusal Unions::union_of(std::span<const Member> members, BinaryBuilder& out,
                         std::size_t& bad_row) {
  unsigned p = MAX_PRECISION + 1;
  bool any_dense = false;
  std::size_t present = 0;
  for (const Member& member : members) {
    if (member.sketch != nullptr) {
      p = std::min<unsigned>(p, member.sketch->p);
      any_dense = any_dense || !member.sketch->sparse;
      present += 1;
    }
  }
  if (present == 0) {
    out.offsets.push_back(static_cast<std::int64_t>(out.data.size()));
    out.valid.push_back(0);
    out.nulls += 1;
    return std::nullopt;
  }
  // The registers in use of every sparse sketch, at p, one after another.
  std::size_t n = 0;
  std::size_t sparse_cells = 0;
  bool folded = false;
  for (const Member& member : members) {
    const Sketch* sketch = member.sketch;
    if (sketch == nullptr || !sketch->sparse) {
      continue;
    }
    bad_row = member.row;
    // An entry takes a byte at least, so the body bounds the entries.
    if (entries_.size() < n + sketch->view.body.size()) {
      entries_.resize(2 * (n + sketch->view.body.size()));
    }
    std::size_t count = 0;
    if (Refusal refusal = packed::read_entries(sketch->view, entries_.data() + n, count)) {
      return refusal;
    }
    if (sketch->p > p) {
      fold_entries(entries_.data() + n, count, sketch->p - p);
      folded = true;
    }
    sparse_cells += 1;
    n += count;
  }
  const std::size_t m = std::size_t{1} << p;
  const std::size_t at = out.data.size();
  if (present == 1) {
    // One packed sketch is its own union when it is packed as pack() packs
    // it (always, unless another writer chose the other encoding).
    const Sketch* only = nullptr;
    for (const Member& member : members) {
      only = member.sketch != nullptr ? member.sketch : only;
    }
    packed::Plan plan{};
    if (only->sparse && !folded) {
      plan = packed::plan_entries(p, {entries_.data(), n});
    } else if (!only->sparse && !only->raw && packed::plan(only->registers, p, plan)) {
      plan = {};  // not reached: open() checked the registers
    }
    if (!only->raw && !folded && plan.size == only->bytes.size() &&
        (plan.encoding == packed::Encoding::sparse) == only->sparse) {
      out.data.insert(out.data.end(), only->bytes.begin(), only->bytes.end());
      out.offsets.push_back(static_cast<std::int64_t>(out.data.size()));
      out.valid.push_back(1);
      return std::nullopt;
    }
  }
  if (any_dense) {
    // A dense sketch among them: the union in dense registers, packed as
    // pack() packs a sketch.
    registers_.assign(m, 0);
    std::uint8_t* regs = registers_.data();
    for (const Member& member : members) {
      if (member.sketch != nullptr && !member.sketch->sparse) {
        fold_max_into(member.sketch->registers, member.sketch->p, p, regs);
      }
    }
    for (std::size_t k = 0; k < n; ++k) {
      std::uint8_t& reg = regs[entries_[k] >> packed::ENTRY_VALUE_BITS];
      reg = std::max(reg, static_cast<std::uint8_t>(entries_[k] & VALUE_MASK));
    }
    packed::Plan plan{};
    if (Refusal refusal = packed::plan(regs, p, plan)) {
      return refusal;  // not reached: raw sketches were checked when opened
    }
    out.data.resize(at + plan.size);
    packed::write(regs, p, plan, out.data.data() + at);
  } else {
    // Sparse sketches only: their entries, in order, one per register (the
    // packing picks dense when that is smaller). One sketch's entries are in
    // order already, and one per register unless folded.
    if (sparse_cells > 1 || folded) {
      n = gather(n, p);
    }
    const std::span<const std::uint32_t> unique(entries_.data(), n);
    const packed::Plan plan = packed::plan_entries(p, unique);
    out.data.resize(at + plan.size);
    packed::write_entries(p, unique, plan, out.data.data() + at);
  }
  out.offsets.push_back(static_cast<std::int64_t>(out.data.size()));
  out.valid.push_back(1);
  return std::nullopt;
}

Failure Unions::lists(const Cells& cells, std::size_t row_base, BinaryBuilder& out) noexcept {
  try {
    for (std::size_t row = 0; row < cells.rows(); ++row) {
      if (cells.list_null(row)) {
        out.offsets.push_back(static_cast<std::int64_t>(out.data.size()));
        out.valid.push_back(0);
        out.nulls += 1;
        continue;
      }
      std::size_t first = 0;
      std::size_t last = 0;
      cells.list_range(row, first, last);
      if (first > last) {
        return Failure::refused(MALFORMED_LIST);
      }
      opened_.resize(last - first);
      members_.clear();
      for (std::size_t i = first; i < last; ++i) {
        if (cells.cell_null(i)) {
          members_.push_back(Member{nullptr, i});
          continue;
        }
        if (Refusal refusal = open_for_union(cells, i, opened_[i - first])) {
          return Failure::refused(at_item(row_base + row, i - first, std::move(*refusal)));
        }
        members_.push_back(Member{&opened_[i - first], i});
      }
      std::size_t bad = 0;
      if (Refusal refusal = union_of(members_, out, bad)) {
        return Failure::refused(at_item(row_base + row, bad - first, std::move(*refusal)));
      }
    }
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  return {};
}

namespace {

template <class T>
const char* append_ids(const ArrowArray& array, std::size_t groups,
                       LargeVector<std::uint32_t>& out) {
  const auto* values = static_cast<const T*>(array.buffers[1]);
  const std::size_t rows = static_cast<std::size_t>(std::max<std::int64_t>(array.length, 0));
  const std::size_t base = out.size();
  out.resize(base + rows);
  for (std::size_t i = 0; i < rows; ++i) {
    const T id = values[static_cast<std::size_t>(array.offset) + i];
    if (id < 0 || static_cast<std::uint64_t>(id) >= groups) {
      return "group ids must lie from 0 to the number of groups";
    }
    out[base + i] = static_cast<std::uint32_t>(id);
  }
  return nullptr;
}

}  // namespace

const char NOT_INTEGERS[] = "group ids must be integers";

const char* append_group_ids(const ArrowSchema& schema, const ArrowArray& array, std::size_t groups,
                             LargeVector<std::uint32_t>& out) noexcept {
  const std::string_view format = schema.format != nullptr ? schema.format : "";
  using Append = const char* (*)(const ArrowArray&, std::size_t, LargeVector<std::uint32_t>&);
  Append append = format == "c"   ? append_ids<std::int8_t>
                  : format == "C" ? append_ids<std::uint8_t>
                  : format == "s" ? append_ids<std::int16_t>
                  : format == "S" ? append_ids<std::uint16_t>
                  : format == "i" ? append_ids<std::int32_t>
                  : format == "I" ? append_ids<std::uint32_t>
                  : format == "l" ? append_ids<std::int64_t>
                  : format == "L" ? append_ids<std::uint64_t>
                                  : nullptr;
  if (append == nullptr) {
    return NOT_INTEGERS;
  }
  if (array.null_count != 0 && array.n_buffers > 0 && array.buffers != nullptr &&
      array.buffers[0] != nullptr) {
    return "group ids must not be null";
  }
  if (array.n_buffers != 2 || array.buffers == nullptr ||
      (array.buffers[1] == nullptr && array.length > 0)) {
    return "malformed Arrow array: an integer array needs validity and value buffers";
  }
  if (groups > std::numeric_limits<std::uint32_t>::max()) {
    return "too many groups";
  }
  try {
    return append(array, groups, out);
  } catch (const std::bad_alloc&) {
    return OUT_OF_MEMORY;
  }
}

Failure Unions::group_range(const CellColumn& column, const std::uint32_t* order,
                            const std::uint32_t* starts, std::size_t first, std::size_t last,
                            BinaryBuilder& out) noexcept {
  // The rows of a group lie anywhere in the column, so nearly every cell is
  // a cache miss: the cells a few groups ahead are fetched while this one
  // is made, and their row records further ahead still.
  const std::size_t end = starts[last];
  std::size_t fetched = starts[first];
  const auto fetch_ahead = [&](std::size_t upto) noexcept {
    for (upto = std::min(upto, end); fetched < upto; ++fetched) {
      if (fetched + PREFETCH_CELLS < end) {
        drisk::prefetch(&column.rows[order[fetched + PREFETCH_CELLS]]);
      }
      const CellColumn::Row& cell = column.rows[order[fetched]];
      drisk::prefetch(cell.data);
      if (cell.size > 64) {
        drisk::prefetch(cell.data + 64);
      }
    }
  };
  try {
    fetch_ahead(starts[first] + PREFETCH_CELLS);
    for (std::size_t g = first; g < last; ++g) {
      fetch_ahead(starts[g + 1] + PREFETCH_CELLS);
      const std::size_t size = starts[g + 1] - starts[g];
      opened_.resize(std::max(opened_.size(), size));
      members_.clear();
      for (std::size_t k = 0; k < size; ++k) {
        const std::uint32_t row = order[starts[g] + k];
        const CellColumn::Row& cell = column.rows[row];
        if (!cell.present) {
          members_.push_back(Member{nullptr, row});
          continue;
        }
        if (column.open(row, opened_[k])) {
          return Failure::refused({});
        }
        members_.push_back(Member{&opened_[k], row});
      }
      std::size_t bad = 0;
      if (union_of(members_, out, bad)) {
        return Failure::refused({});
      }
    }
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  return {};
}

Failure Unions::groups(const CellColumn& column, std::span<const std::uint32_t> group_of_row,
                       std::size_t groups, BinaryBuilder& out) noexcept {
  std::vector<std::uint32_t> starts;
  std::vector<std::uint32_t> order;
  if (group_of_row.size() > std::numeric_limits<std::uint32_t>::max()) {
    return Failure::refused("too many rows: a sketch column for unions holds at most 2**32 - 1");
  }
  try {
    // Unions of few sketches are about the size of their parts.
    std::size_t input = 0;
    for (const CellColumn::Row& row : column.rows) {
      input += row.size;
    }
    out.data.reserve(out.data.size() + input);
    out.offsets.reserve(out.offsets.size() + groups);
    out.valid.reserve(out.valid.size() + groups);
    // The rows of each group, in row order: a counting sort. starts[g + 1]
    // counts group g, then is where it starts, then (shifted) where it ends.
    starts.assign(groups + 1, 0);
    for (const std::uint32_t g : group_of_row) {
      starts[g + 1] += 1;
    }
    for (std::size_t g = 0; g < groups; ++g) {
      starts[g + 1] += starts[g];
    }
    order.resize(group_of_row.size());
    for (std::size_t row = 0; row < group_of_row.size(); ++row) {
      order[starts[group_of_row[row]]++] = static_cast<std::uint32_t>(row);
    }
    std::copy_backward(starts.begin(), starts.end() - 1, starts.end());
    starts[0] = 0;
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  if (group_of_row.size() < SPLIT_ROWS || usable_cpus() < 2) {
    Unions unions;
    Failure failure = unions.group_range(column, order.data(), starts.data(), 0, groups, out);
    return failure.failed && !failure.out_of_memory ? column.check() : failure;
  }
  // The groups cut into PARTS runs of about equal rows, which the two cores
  // claim in turn, each with scratch of its own. Part 0 goes to `out`, every
  // other part to a builder of its own, appended after in order.
  std::size_t bounds[PARTS + 1];
  bounds[0] = 0;
  bounds[PARTS] = groups;
  for (std::size_t k = 1; k < PARTS; ++k) {
    const std::size_t row = group_of_row.size() / PARTS * k;
    const auto after = static_cast<std::size_t>(
        std::upper_bound(starts.begin(), starts.end(), row) - starts.begin());
    bounds[k] = std::max(bounds[k - 1], std::min(after, groups));
  }
  std::vector<BinaryBuilder> rest;
  try {
    rest.resize(PARTS - 1);
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  Failure failures[PARTS];
  Unions own;
  Unions helper;
  share_work(PARTS, 1, own, &helper,
             [&](Unions& unions, std::size_t first_part, std::size_t last_part) noexcept {
               for (std::size_t part = first_part; part < last_part; ++part) {
                 failures[part] =
                     unions.group_range(column, order.data(), starts.data(), bounds[part],
                                        bounds[part + 1], part == 0 ? out : rest[part - 1]);
                 if (failures[part].failed) {
                   return false;
                 }
               }
               return true;
             });
  for (const Failure& failure : failures) {
    if (failure.failed) {
      return failure.out_of_memory ? failure : column.check();
    }
  }
  try {
    for (const BinaryBuilder& part : rest) {
      const auto shift = static_cast<std::int64_t>(out.data.size());
      out.data.insert(out.data.end(), part.data.begin(), part.data.end());
      for (std::size_t k = 1; k < part.offsets.size(); ++k) {
        out.offsets.push_back(part.offsets[k] + shift);
      }
      out.valid.insert(out.valid.end(), part.valid.begin(), part.valid.end());
      out.nulls += part.nulls;
    }
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  return {};
}

}  // namespace drisk::cells
