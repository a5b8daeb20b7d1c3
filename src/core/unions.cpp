// drisk: unions of sketch cells (see unions.hpp).
#include "unions.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
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

// The largest union: a dense sketch of the largest precision (unions are
// packed sparse only when that is smaller).
constexpr std::size_t LARGEST_UNION =
    packed::HEADER_SIZE + (std::size_t{1} << MAX_PRECISION) + packed::CHECKSUM_SIZE;

constexpr char MALFORMED_LIST[] = "malformed Arrow array: a list's offsets lie outside its cells";

[[gnu::cold, gnu::noinline]] std::string at_item(std::size_t row, std::size_t item,
                                                 std::string what) {
  return "list " + std::to_string(row) + ", item " + std::to_string(item) + ": " + what;
}

[[gnu::cold, gnu::noinline]] std::string at_list(std::size_t row, std::string what) {
  return "list " + std::to_string(row) + ": " + what;
}

Refusal open_for_union(const Cells& cells, std::size_t i, Sketch& out) {
  std::span<const std::uint8_t> bytes;
  if (!cells.cell(i, bytes)) {
    return MALFORMED_CELL;
  }
  return open_for_union(bytes, out);
}

// The refusal of a list whose item `bad` (of first .. last) has damaged
// entries. Every item is opened (form, checksum) before any entries are
// held against it: a later item that does not open is the one named.
[[gnu::cold, gnu::noinline]] Failure refused_entries(const Cells& cells, std::size_t row,
                                                     std::size_t first, std::size_t bad,
                                                     std::size_t last, std::string what) {
  for (std::size_t i = bad + 1; i < last; ++i) {
    Sketch sketch;
    if (Refusal refusal = cells.cell_null(i) ? std::nullopt : open_for_union(cells, i, sketch)) {
      return Failure::refused(at_item(row, i - first, std::move(*refusal)));
    }
  }
  return Failure::refused(at_item(row, bad - first, std::move(what)));
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

// Each register named by entries[0 .. n) (at the registers' precision)
// raised to the entry's value.
void max_into(const std::uint32_t* entries, std::size_t n, std::uint8_t* registers) noexcept {
  for (std::size_t k = 0; k < n; ++k) {
    std::uint8_t& reg = registers[entries[k] >> packed::ENTRY_VALUE_BITS];
    reg = std::max(reg, static_cast<std::uint8_t>(entries[k] & VALUE_MASK));
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

void Unions::begin() noexcept {
  holds_ = Held::nothing;
  members_ = 0;
  count_ = 0;
  repeats_ = false;
}

Refusal Unions::read(const Sketch& sketch, std::size_t at, std::size_t& count) {
  // An entry takes a byte at least and names a register of its own, so the
  // body and the precision both bound the entries.
  const std::size_t most = std::min(sketch.view.body.size(), std::size_t{1} << sketch.p);
  if (entries_.size() < at + most) {
    entries_.resize(2 * (at + most));
  }
  if (Refusal refusal = packed::read_entries(sketch.view, entries_.data() + at, count)) {
    return refusal;
  }
  if (sketch.p > p_) {
    fold_entries(entries_.data() + at, count, sketch.p - p_);
    repeats_ = true;
  }
  return std::nullopt;
}

void Unions::to_registers() {
  const std::size_t m = std::size_t{1} << p_;
  registers_.resize(std::max(registers_.size(), m));
  std::uint8_t* const regs = registers_.data();
  if (holds_ == Held::lone) {
    std::memcpy(regs, first_.registers, m);
  } else {
    std::memset(regs, 0, m);
    max_into(entries_.data(), count_, regs);
  }
  count_ = 0;
  holds_ = Held::registers;
}

void Unions::lower(unsigned p) {
  if (holds_ == Held::entries) {
    fold_entries(entries_.data(), count_, p_ - p);
    repeats_ = true;
  } else {
    const std::size_t m = std::size_t{1} << p;
    spare_.resize(std::max(spare_.size(), m));
    std::memset(spare_.data(), 0, m);
    fold_max_into(registers_.data(), p_, p, spare_.data());
    registers_.swap(spare_);
  }
  p_ = p;
}

Refusal Unions::add(const Sketch& sketch) {
  members_ += 1;
  if (holds_ == Held::nothing) {
    first_ = sketch;
    p_ = sketch.p;
    if (!sketch.sparse) {
      holds_ = Held::lone;
      return std::nullopt;
    }
    holds_ = Held::entries;
    return read(sketch, 0, count_);
  }
  if (holds_ == Held::lone) {
    to_registers();
  }
  if (sketch.p < p_) {
    lower(sketch.p);
  }
  if (!sketch.sparse) {
    if (holds_ == Held::entries) {
      to_registers();
    }
    fold_max_into(sketch.registers, sketch.p, p_, registers_.data());
    return std::nullopt;
  }
  if (holds_ == Held::entries) {
    if (count_ == 0 || count_ + sketch.view.body.size() <= (std::size_t{1} << p_)) {
      std::size_t count = 0;
      Refusal refusal = read(sketch, count_, count);
      count_ += count;
      repeats_ = true;
      return refusal;
    }
    to_registers();
  }
  std::size_t count = 0;
  if (Refusal refusal = read(sketch, 0, count)) {
    return refusal;
  }
  max_into(entries_.data(), count, registers_.data());
  return std::nullopt;
}

Refusal Unions::finish(BinaryBuilder& out) {
  if (holds_ == Held::nothing) {
    out.offsets.push_back(static_cast<std::int64_t>(out.data.size()));
    out.valid.push_back(0);
    out.nulls += 1;
    return std::nullopt;
  }
  const std::size_t at = out.data.size();
  packed::Plan plan{};
  if (holds_ == Held::entries) {
    // One sketch's entries are in order already, and one per register.
    if (repeats_) {
      count_ = gather(count_, p_);
    }
    const std::span<const std::uint32_t> unique(entries_.data(), count_);
    plan = packed::plan_entries(p_, unique);
    if (members_ == 1 && plan.size == first_.bytes.size() &&
        plan.encoding == packed::Encoding::sparse) {
      // One packed sketch is its own union when it is packed as pack()
      // packs it (always, unless another writer chose the other encoding).
      out.data.insert(out.data.end(), first_.bytes.begin(), first_.bytes.end());
    } else {
      out.data.resize(at + plan.size);
      packed::write_entries(p_, unique, plan, out.data.data() + at);
    }
  } else {
    const std::uint8_t* const regs = holds_ == Held::lone ? first_.registers : registers_.data();
    if (Refusal refusal = packed::plan(regs, p_, plan)) {
      return refusal;  // not reached: raw sketches were checked when opened
    }
    if (holds_ == Held::lone && !first_.raw && plan.size == first_.bytes.size() &&
        plan.encoding == packed::Encoding::dense) {
      out.data.insert(out.data.end(), first_.bytes.begin(), first_.bytes.end());
    } else {
      out.data.resize(at + plan.size);
      packed::write(regs, p_, plan, out.data.data() + at);
    }
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
      begin();
      for (std::size_t i = first; i < last; ++i) {
        if (cells.cell_null(i)) {
          continue;
        }
        Sketch sketch;
        if (Refusal refusal = open_for_union(cells, i, sketch)) {
          return Failure::refused(at_item(row_base + row, i - first, std::move(*refusal)));
        }
        if (Refusal refusal = add(sketch)) {
          return refused_entries(cells, row_base + row, first, i, last, std::move(*refusal));
        }
      }
      if (Refusal refusal = finish(out)) {
        return Failure::refused(at_list(row_base + row, std::move(*refusal)));
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
                       std::vector<std::uint32_t>& out) {
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
                             std::vector<std::uint32_t>& out) noexcept {
  const std::string_view format = schema.format != nullptr ? schema.format : "";
  using Append = const char* (*)(const ArrowArray&, std::size_t, std::vector<std::uint32_t>&);
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
  const auto row_at = [order](std::size_t k) noexcept {
    return order != nullptr ? order[k] : static_cast<std::uint32_t>(k);
  };
  // The rows of a group lie anywhere in the column, so nearly every cell is
  // a cache miss: the cells a few rows ahead in group order (in the groups
  // after, when this one is small) are fetched while one is taken, and
  // their row records further ahead still.
  const std::size_t end = starts[last];
  std::size_t fetched = starts[first];
  const auto fetch_ahead = [&](std::size_t upto) noexcept {
    for (upto = std::min(upto, end); fetched < upto; ++fetched) {
      if (fetched + PREFETCH_CELLS < end) {
        drisk::prefetch(&column.rows[row_at(fetched + PREFETCH_CELLS)]);
      }
      const CellColumn::Row& cell = column.rows[row_at(fetched)];
      drisk::prefetch(cell.data);
      if (cell.size > 64) {
        drisk::prefetch(cell.data + 64);
      }
    }
  };
  try {
    fetch_ahead(starts[first] + PREFETCH_CELLS);
    for (std::size_t g = first; g < last; ++g) {
      begin();
      for (std::size_t k = starts[g]; k < starts[g + 1]; ++k) {
        fetch_ahead(k + 1 + PREFETCH_CELLS);
        const std::uint32_t row = row_at(k);
        if (!column.rows[row].present) {
          continue;
        }
        Sketch sketch;
        if (column.open(row, sketch) || add(sketch)) {
          return Failure::refused({});
        }
      }
      if (finish(out)) {
        return Failure::refused({});
      }
    }
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  return {};
}

Failure Unions::plan(const CellColumn& column, std::span<const std::uint32_t> group_of_row,
                     std::size_t groups, GroupPlan& plan) noexcept {
  if (group_of_row.size() > std::numeric_limits<std::uint32_t>::max()) {
    return Failure::refused("too many rows: a sketch column for unions holds at most 2**32 - 1");
  }
  plan.groups = groups;
  plan.input = 0;
  for (const CellColumn::Row& row : column.rows) {
    plan.input += row.size;
  }
  try {
    // The rows of each group, in row order: a counting sort. starts[g + 1]
    // counts group g, then is where it starts, then (shifted) where it ends.
    // Rows whose ids never go down (one group, or rows grouped already) are
    // in that order as they stand, and no order is kept.
    plan.starts.assign(groups + 1, 0);
    bool ascending = true;
    std::uint32_t previous = 0;
    for (const std::uint32_t g : group_of_row) {
      plan.starts[g + 1] += 1;
      ascending = ascending && g >= previous;
      previous = g;
    }
    for (std::size_t g = 0; g < groups; ++g) {
      plan.starts[g + 1] += plan.starts[g];
    }
    plan.order.clear();
    if (!ascending) {
      plan.order.resize(group_of_row.size());
      for (std::size_t row = 0; row < group_of_row.size(); ++row) {
        plan.order[plan.starts[group_of_row[row]]++] = static_cast<std::uint32_t>(row);
      }
      std::copy_backward(plan.starts.begin(), plan.starts.end() - 1, plan.starts.end());
      plan.starts[0] = 0;
    }
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  return {};
}

std::size_t Unions::GroupPlan::end_of_slice(std::size_t first, std::size_t rows) const noexcept {
  if (first >= groups) {
    return groups;
  }
  // The first group whose rows end past `rows` rows from `first`'s start,
  // and at least one group.
  const std::size_t limit = std::size_t{starts[first]} + rows;
  const auto after = static_cast<std::size_t>(
      std::upper_bound(starts.begin() + static_cast<std::ptrdiff_t>(first) + 1, starts.end(),
                       limit) -
      starts.begin());
  return std::clamp(after - 1, first + 1, groups);
}

Failure Unions::group_slice(const CellColumn& column, const GroupPlan& plan, std::size_t first,
                            std::size_t last, BinaryBuilder& out) noexcept {
  const std::size_t groups = plan.groups;
  last = std::min(last, groups);
  first = std::min(first, last);
  const std::uint32_t* const starts = plan.starts.data();
  const std::size_t rows = first < last ? starts[last] - starts[first] : 0;
  try {
    if (first == 0) {
      // Unions of few sketches are about the size of their parts, and none
      // is larger than a dense sketch.
      const std::size_t input = plan.input;
      out.data.reserve(out.data.size() +
                       (groups < input / LARGEST_UNION ? groups * LARGEST_UNION : input));
      out.offsets.reserve(out.offsets.size() + groups);
      out.valid.reserve(out.valid.size() + groups);
    }
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  const std::uint32_t* const by_group = plan.order.empty() ? nullptr : plan.order.data();
  if (rows < SPLIT_ROWS || usable_cpus() < 2) {
    Unions unions;
    Failure failure = unions.group_range(column, by_group, starts, first, last, out);
    return failure.failed && !failure.out_of_memory ? column.check() : failure;
  }
  // The groups cut into PARTS runs of about equal rows, which the two cores
  // claim in turn, each with scratch of its own. Part 0 goes to `out`, every
  // other part to a builder of its own, appended after in order.
  std::size_t bounds[PARTS + 1];
  bounds[0] = first;
  bounds[PARTS] = last;
  for (std::size_t k = 1; k < PARTS; ++k) {
    const std::size_t row = starts[first] + rows / PARTS * k;
    const auto after = static_cast<std::size_t>(
        std::upper_bound(plan.starts.begin(), plan.starts.end(), row) - plan.starts.begin());
    bounds[k] = std::max(bounds[k - 1], std::min(after, last));
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
                     unions.group_range(column, by_group, starts, bounds[part], bounds[part + 1],
                                        part == 0 ? out : rest[part - 1]);
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

Failure Unions::groups(const CellColumn& column, std::span<const std::uint32_t> group_of_row,
                       std::size_t groups, BinaryBuilder& out) noexcept {
  GroupPlan plan;
  if (Failure failure = Unions::plan(column, group_of_row, groups, plan); failure.failed) {
    return failure;
  }
  return group_slice(column, plan, 0, groups, out);
}

}  // namespace drisk::cells
