// drisk: distinct keys numbered in the order they first come, the one
// table every grouping uses (lines' fields, columns of keys).
//
// An open-addressing table of (hash, id) slots over the keys' bytes, kept
// once each in an arena. A slot matches only when the bytes match too, so
// two keys whose 64-bit hashes collide are still two groups. Callers hash
// keys with a seed drawn per table (fresh_seed), so that no input can be
// crafted to pile its keys onto one run of slots.
#ifndef DRISK_KEY_TABLE_HPP
#define DRISK_KEY_TABLE_HPP

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace drisk {

// Whether two keys of `len` bytes are equal.
bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t len) noexcept;

// A seed for key hashes that differs from run to run (`where`, an address
// of the caller's, and the clock).
std::uint64_t fresh_seed(const void* where) noexcept;

class KeyTable {
 public:
  // The id of the key whose hash is `hash`, new if it was not there yet.
  // May throw std::bad_alloc.
  std::uint32_t id(std::uint64_t hash, const std::uint8_t* key, std::size_t len);
  std::size_t size() const noexcept { return ends_.size(); }
  std::span<const std::uint8_t> key(std::size_t id) const noexcept;

 private:
  struct Slot {
    std::uint64_t hash;
    std::uint32_t id_plus_one;  // 0: empty
  };
  void grow();

  std::vector<Slot> slots_;  // a power of two, at most half full
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> ends_;  // where each key's bytes end
};

}  // namespace drisk

#endif  // DRISK_KEY_TABLE_HPP
