// drisk: the grouped store (representation in grouped.hpp).
#include "grouped.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "estimators.hpp"
#include "platform.hpp"

namespace drisk {
namespace {

constexpr unsigned VALUE_BITS = packed::ENTRY_VALUE_BITS;
constexpr std::uint32_t VALUE_MASK = (1u << VALUE_BITS) - 1;
constexpr unsigned MIN_SLOTS_LOG = 2;
static_assert(GroupedSketches::MIN_SLOTS == std::size_t{1} << MIN_SLOTS_LOG);
static_assert(GroupedSketches::CHUNK_BYTES >= std::size_t{1} << MAX_PRECISION);
// A table's block is 4 bytes a slot.
constexpr unsigned ENTRY_BYTES_LOG = 2;
// Entries of a batch whose slot is fetched ahead of its update: enough
// misses in flight to cover the memory's latency.
constexpr std::size_t PREFETCH_ENTRIES = 16;

// Whether a table of 2^slots_log slots may take one more entry and stay at
// most 3/4 full.
constexpr bool has_room(std::uint32_t used, unsigned slots_log) noexcept {
  return (std::size_t{used} + 1) * 4 <= (std::size_t{3} << slots_log);
}

// The home slot of a register index: Fibonacci hashing, the top bits of the
// product.
inline std::size_t home(std::uint32_t index, unsigned slots_log) noexcept {
  return static_cast<std::uint32_t>(index * 0x9E3779B1u) >> (32 - slots_log);
}

}  // namespace

void GroupedSketches::FreeDeleter::operator()(std::uint8_t* ptr) const noexcept { std::free(ptr); }

GroupedSketches::GroupedSketches(unsigned p) noexcept
    : p_(p), max_slots_log_(p >= 3 ? p - 3 : 0), sparse_pays_(p >= 3 && p - 3 >= MIN_SLOTS_LOG) {}

void GroupedSketches::reserve(std::size_t count) {
  if (count > groups_.size()) {
    groups_.resize(count);
  }
}

// A free block starts with the address of the next free block of its size.
constexpr std::size_t FREE_LINK_BYTES = sizeof(std::uint8_t*);

std::uint8_t* GroupedSketches::allocate(unsigned size_log) {
  const std::size_t size = std::size_t{1} << size_log;
  std::uint8_t* block = free_[size_log];
  if (block != nullptr) {
    std::memcpy(&free_[size_log], block, FREE_LINK_BYTES);
  } else {
    if (bump_left_ < size) {
      chunks_.emplace_back(static_cast<std::uint8_t*>(std::malloc(CHUNK_BYTES)));
      if (!chunks_.back()) {
        chunks_.pop_back();
        throw std::bad_alloc();
      }
      bump_ = chunks_.back().get();
      bump_left_ = CHUNK_BYTES;
    }
    block = bump_;
    bump_ += size;
    bump_left_ -= size;
  }
  in_use_ += size;
  std::memset(block, 0, size);
  return block;
}

void GroupedSketches::release(std::uint8_t* block, unsigned size_log) noexcept {
  std::memcpy(block, &free_[size_log], FREE_LINK_BYTES);
  free_[size_log] = block;
  in_use_ -= std::size_t{1} << size_log;
}

void GroupedSketches::start(Group& g) {
  if (!sparse_pays_) {
    make_dense(g);
    return;
  }
  g.block = allocate(MIN_SLOTS_LOG + ENTRY_BYTES_LOG);
  g.slots_log = MIN_SLOTS_LOG;
}

bool GroupedSketches::insert_entry(std::uint32_t* slots, unsigned slots_log, std::uint32_t index,
                                   unsigned value) noexcept {
  const std::size_t mask = (std::size_t{1} << slots_log) - 1;
  const std::uint32_t entry = index << VALUE_BITS | value;
  for (std::size_t pos = home(index, slots_log);; pos = (pos + 1) & mask) {
    const std::uint32_t held = slots[pos];
    if (held == 0) {
      slots[pos] = entry;
      return true;
    }
    if ((held >> VALUE_BITS) == index) {
      if ((held & VALUE_MASK) < value) {
        slots[pos] = entry;
      }
      return false;
    }
  }
}

void GroupedSketches::grow(Group& g) {
  if (g.slots_log + 1u > max_slots_log_) {
    make_dense(g);
    return;
  }
  const unsigned old_log = g.slots_log;
  const unsigned new_log = old_log + 1;
  auto* fresh = reinterpret_cast<std::uint32_t*>(allocate(new_log + ENTRY_BYTES_LOG));
  const auto* old = reinterpret_cast<const std::uint32_t*>(g.block);
  for (std::size_t i = 0, n = std::size_t{1} << old_log; i < n; ++i) {
    if (old[i] != 0) {
      insert_entry(fresh, new_log, old[i] >> VALUE_BITS, old[i] & VALUE_MASK);
    }
  }
  release(g.block, old_log + ENTRY_BYTES_LOG);
  g.block = reinterpret_cast<std::uint8_t*>(fresh);
  g.slots_log = static_cast<std::uint8_t>(new_log);
}

void GroupedSketches::make_dense(Group& g) {
  std::uint8_t* regs = allocate(p_);
  if (g.block != nullptr) {
    const auto* slots = reinterpret_cast<const std::uint32_t*>(g.block);
    for (std::size_t i = 0, n = std::size_t{1} << g.slots_log; i < n; ++i) {
      if (slots[i] != 0) {
        regs[slots[i] >> VALUE_BITS] = static_cast<std::uint8_t>(slots[i] & VALUE_MASK);
      }
    }
    release(g.block, g.slots_log + ENTRY_BYTES_LOG);
  }
  g.block = regs;
  g.slots_log = 0;
  g.dense = true;
}

void GroupedSketches::raise(std::size_t group, std::uint32_t index, unsigned value) {
  Group& g = groups_[group];
  if (g.block == nullptr) {
    start(g);
  }
  if (!g.dense) {
    if (!has_room(g.used, g.slots_log)) {
      // Grow before probing: a full table must not be probed for a miss.
      // An update of a register already held grows it one step early, which
      // costs nothing the next new register would not.
      grow(g);
    }
  }
  if (g.dense) {
    std::uint8_t& reg = g.block[index];
    g.used += reg == 0;
    reg = std::max(reg, static_cast<std::uint8_t>(value));
    return;
  }
  g.used += insert_entry(reinterpret_cast<std::uint32_t*>(g.block), g.slots_log, index, value);
}

void GroupedSketches::update_many(const std::uint32_t* groups, const std::uint64_t* hashes,
                                  std::size_t n) {
  const std::size_t count = groups_.size();
  batch_starts_.resize(count + 1);
  for (std::size_t begin = 0; begin < n; begin += BATCH_ROWS) {
    const std::size_t end = std::min(n, begin + BATCH_ROWS);
    const std::size_t rows = end - begin;
    if (rows < count / 4) {
      // Fewer items than groups: counting them would cost more than the
      // cache misses it saves.
      for (std::size_t k = begin; k < end; ++k) {
        update(groups[k], hashes[k]);
      }
      continue;
    }
    // Each item ordered by group as the entry it makes (index << 6 | rank,
    // 4 bytes where group and hash take 12): batch_starts_[g + 1] counts
    // group g, then batch_starts_[g] is where it starts, then where it ends.
    std::fill(batch_starts_.begin(), batch_starts_.end(), 0);
    for (std::size_t k = begin; k < end; ++k) {
      batch_starts_[groups[k] + 1] += 1;
    }
    for (std::size_t g = 0; g < count; ++g) {
      batch_starts_[g + 1] += batch_starts_[g];
    }
    batch_entries_.resize(rows);
    std::uint32_t* const entries = batch_entries_.data();
    for (std::size_t k = begin; k < end; ++k) {
      const RegisterUpdate u = register_update(hashes[k], p_);
      entries[batch_starts_[groups[k]]++] =
          static_cast<std::uint32_t>(u.index) << VALUE_BITS | u.rank;
    }
    // Each entry's slot or register is a cache miss more often than not
    // (the groups' blocks lie all over the arena): the one a few entries
    // ahead is fetched while this one is raised. `ahead` is that entry,
    // `ahead_group` its group.
    std::size_t ahead = 0;
    std::size_t ahead_group = 0;
    const auto fetch_ahead = [&](std::size_t upto) noexcept {
      for (upto = std::min(upto, rows); ahead < upto; ++ahead) {
        while (batch_starts_[ahead_group] <= ahead) {
          ++ahead_group;
        }
        const Group& h = groups_[ahead_group];
        if (h.block != nullptr) {
          const std::uint32_t index = entries[ahead] >> VALUE_BITS;
          drisk::prefetch(h.dense ? h.block + index
                                  : h.block + (home(index, h.slots_log) << ENTRY_BYTES_LOG));
        }
      }
    };
    std::size_t at = 0;
    for (std::size_t g = 0; g < count; ++g) {
      for (const std::size_t stop = batch_starts_[g]; at < stop; ++at) {
        fetch_ahead(at + PREFETCH_ENTRIES);
        raise(g, entries[at] >> VALUE_BITS, entries[at] & VALUE_MASK);
      }
    }
  }
}

void GroupedSketches::combine_registers(std::size_t group, const std::uint8_t* registers,
                                        unsigned source_p) {
  const std::size_t m = std::size_t{1} << p_;
  const std::uint8_t* regs = registers;
  if (source_p > p_) {
    if (!folded_) {
      folded_.reset(new std::uint8_t[m]);
    }
    std::memset(folded_.get(), 0, m);
    fold_max_into(registers, source_p, p_, folded_.get());
    regs = folded_.get();
  }
  Group& g = groups_[group];
  if (!g.dense) {
    // A whole sketch's registers: dense unless few are in use.
    std::size_t in_use = 0;
    std::uint8_t high = 0;
    for (std::size_t i = 0; i < m; ++i) {
      in_use += regs[i] != 0;
      high = std::max(high, regs[i]);
    }
    // A register above what an entry holds (only raw bytes give one) stays
    // in a dense group, for finalize() to refuse.
    if (!sparse_pays_ || high > VALUE_MASK ||
        (g.used + in_use) * 4 > (std::size_t{3} << max_slots_log_)) {
      make_dense(g);
    } else {
      for (std::size_t i = 0; i < m; ++i) {
        if (regs[i] != 0) {
          raise(group, static_cast<std::uint32_t>(i), regs[i]);
        }
      }
      return;
    }
  }
  std::uint8_t* into = g.block;
  std::uint32_t used = 0;
  for (std::size_t i = 0; i < m; ++i) {
    into[i] = std::max(into[i], regs[i]);
    used += into[i] != 0;
  }
  g.used = used;
}

void GroupedSketches::combine_entries(std::size_t group, std::span<const std::uint32_t> entries,
                                      unsigned source_p) {
  Group& g = groups_[group];
  if (!g.dense && (g.used + entries.size()) * 4 > (std::size_t{3} << max_slots_log_)) {
    make_dense(g);
  }
  if (source_p == p_) {
    for (const std::uint32_t entry : entries) {
      raise(group, entry >> VALUE_BITS, entry & VALUE_MASK);
    }
    return;
  }
  // Folding entry by entry (see estimators.cpp): register i << d | t of
  // precision p + d lands in register i; its rank there is d + value when
  // t is 0, and the leading zeros of t as a d-bit number, plus one, else.
  const unsigned d = source_p - p_;
  const std::uint32_t low = (std::uint32_t{1} << d) - 1;
  for (const std::uint32_t entry : entries) {
    const std::uint32_t index = entry >> VALUE_BITS;
    const std::uint32_t t = index & low;
    const unsigned rank =
        t == 0 ? d + (entry & VALUE_MASK) : d + 1 - static_cast<unsigned>(std::bit_width(t));
    raise(group, index >> d, rank);
  }
}

RegisterHistogram GroupedSketches::histogram(std::size_t group) const noexcept {
  const Group& g = groups_[group];
  if (g.dense) {
    return register_histogram(g.block, p_);
  }
  RegisterHistogram h;
  h.m = std::uint64_t{1} << p_;
  h.q = 64 - p_;
  if (g.block != nullptr) {
    const auto* slots = reinterpret_cast<const std::uint32_t*>(g.block);
    for (std::size_t i = 0, n = std::size_t{1} << g.slots_log; i < n; ++i) {
      if (slots[i] != 0) {
        h.count[std::min<std::uint32_t>(slots[i] & VALUE_MASK, h.q + 1)] += 1;
      }
    }
  }
  h.count[0] = h.m - g.used;
  return h;
}

Refusal GroupedSketches::finalize(std::size_t group, std::vector<std::uint8_t>& out) {
  const Group& g = groups_[group];
  const std::size_t at = out.size();
  if (g.dense) {
    packed::Plan plan{};
    if (Refusal refusal = packed::plan(g.block, p_, plan)) {
      return refusal;
    }
    out.resize(at + plan.size);
    packed::write(g.block, p_, plan, out.data() + at);
    return std::nullopt;
  }
  if (!sorted_) {
    sorted_.reset(new std::uint32_t[std::size_t{1} << max_slots_log_]);
  }
  std::size_t n = 0;
  if (g.block != nullptr) {
    const auto* slots = reinterpret_cast<const std::uint32_t*>(g.block);
    for (std::size_t i = 0, size = std::size_t{1} << g.slots_log; i < size; ++i) {
      if (slots[i] != 0) {
        sorted_[n++] = slots[i];
      }
    }
  }
  const std::span<const std::uint32_t> entries(sorted_.get(), n);
  std::sort(sorted_.get(), sorted_.get() + n);
  const packed::Plan plan = packed::plan_entries(p_, entries);
  out.resize(at + plan.size);
  packed::write_entries(p_, entries, plan, out.data() + at);
  return std::nullopt;
}

void GroupedSketches::clear(std::size_t group) noexcept {
  Group& g = groups_[group];
  if (g.block != nullptr) {
    release(g.block, g.dense ? p_ : g.slots_log + ENTRY_BYTES_LOG);
  }
  g = Group{};
}

}  // namespace drisk
