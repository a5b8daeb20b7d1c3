// drisk: how one item reaches a register.
//
// Every path that absorbs items (one at a time, in batches, line by line,
// column by column) goes through insert() below, so that the hash is inlined
// into each loop and every path agrees on what an item does to a sketch.
#ifndef DRISK_INSERT_HPP
#define DRISK_INSERT_HPP

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#define XXH_INLINE_ALL
#include <xxhash.h>

#if XXH_VERSION_NUMBER < 800
#error "drisk needs xxHash 0.8 or later for XXH3 (third_party/xxhash)"
#endif

namespace drisk {

// Largest rank an insertion stores for precision p: all 64 - p remaining
// bits zero.
constexpr unsigned max_rank(unsigned p) noexcept { return 65 - p; }

// The top p bits of a hash pick the register, the rank is the position of
// the first set bit after them.
struct RegisterUpdate {
  std::size_t index;
  unsigned rank;
};

// The register `hash` chooses at precision p and the rank it offers there.
// The bit below the shifted hash (bit p - 1, under the p zeros the shift
// brought in) stops the count of leading zeros at max_rank(p) - 1 when the
// rest is all zeros, and changes nothing otherwise: no branch for it.
constexpr RegisterUpdate register_update(std::uint64_t hash, unsigned p) noexcept {
  const std::uint64_t rest = (hash << p) | (std::uint64_t{1} << (p - 1));
  return {static_cast<std::size_t>(hash >> (64 - p)),
          static_cast<unsigned>(std::countl_zero(rest)) + 1};
}

// The rest all zeros, at both ends of the precisions, and a first set bit
// right after the index and at the very end.
static_assert(register_update(0xFFF0000000000000, 12).rank == max_rank(12));
static_assert(register_update(0xF000000000000000, 4).rank == max_rank(4));
static_assert(register_update(0xFFFFC00000000000, 18).rank == max_rank(18));
static_assert(register_update(0x0008000000000000, 12).rank == 1);
static_assert(register_update(0x0000000000000001, 12).rank == max_rank(12) - 1);
static_assert(register_update(0xABC0000000000001, 12).index == 0xABC);

// Raises the register chosen by `hash` to the hash's rank.
inline void insert_hash(std::uint8_t* registers, unsigned p, std::uint64_t hash) noexcept {
  const RegisterUpdate update = register_update(hash, p);
  // Branch-free maximum: whether a register grows is a coin toss early on,
  // and a mispredicted branch costs more than the store.
  std::uint8_t& reg = registers[update.index];
  reg = std::max(reg, static_cast<std::uint8_t>(update.rank));
}

// Inserts one item: XXH3-64 of its bytes (seed 0, default secret).
inline void insert(std::uint8_t* registers, unsigned p, const void* data,
                   std::size_t len) noexcept {
  insert_hash(registers, p, XXH3_64bits(data, len));
}

// The hash of one item whose bytes arrive in pieces: the same value as
// XXH3_64bits over the pieces joined, in memory bounded by the state (576
// bytes), however long the item.
class ItemHasher {
 public:
  ItemHasher() noexcept { XXH3_64bits_reset(&state_); }
  ItemHasher(const ItemHasher&) = delete;
  ItemHasher& operator=(const ItemHasher&) = delete;

  void update(const void* data, std::size_t len) noexcept {
    (void)XXH3_64bits_update(&state_, data, len);  // fails only on a null state
  }
  std::uint64_t digest() const noexcept { return XXH3_64bits_digest(&state_); }

 private:
  XXH3_state_t state_;
};

}  // namespace drisk

#endif  // DRISK_INSERT_HPP
