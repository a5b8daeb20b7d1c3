// drisk: distinct keys numbered in the order they first come (see
// key_table.hpp).
#include "key_table.hpp"

#include <chrono>
#include <cstring>
#include <limits>
#include <new>

#include "insert.hpp"

namespace drisk {

// Most keys are short (a URL, a user id): up to 16 bytes they are compared
// as two overlapping words, each read inside the key, without a call to
// memcmp.
bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t len) noexcept {
  const auto word = [](const std::uint8_t* at) noexcept {
    std::uint64_t w = 0;
    std::memcpy(&w, at, sizeof w);
    return w;
  };
  if (len >= 8 && len <= 16) {
    return word(a) == word(b) && word(a + len - 8) == word(b + len - 8);
  }
  if (len < 8) {
    for (std::size_t k = 0; k < len; ++k) {
      if (a[k] != b[k]) {
        return false;
      }
    }
    return true;
  }
  return std::memcmp(a, b, len) == 0;
}

std::uint64_t fresh_seed(const void* where) noexcept {
  const auto now =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const std::uint64_t mixed[2] = {
      now, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(where))};
  return XXH3_64bits(mixed, sizeof mixed);
}

std::span<const std::uint8_t> KeyTable::key(std::size_t id) const noexcept {
  const std::size_t begin = id == 0 ? 0 : ends_[id - 1];
  return {bytes_.data() + begin, ends_[id] - begin};
}

void KeyTable::grow() {
  // Slots are picked by the low bits of the hash (the top bit chose the
  // table), probed linearly; doubled at half full.
  std::vector<Slot> larger(slots_.empty() ? 64 : slots_.size() * 2, Slot{0, 0});
  const std::size_t mask = larger.size() - 1;
  for (const Slot& slot : slots_) {
    if (slot.id_plus_one != 0) {
      std::size_t at = slot.hash & mask;
      while (larger[at].id_plus_one != 0) {
        at = (at + 1) & mask;
      }
      larger[at] = slot;
    }
  }
  slots_.swap(larger);
}

std::uint32_t KeyTable::id(std::uint64_t hash, const std::uint8_t* key, std::size_t len) {
  if (ends_.size() * 2 >= slots_.size()) {
    if (ends_.size() >= std::numeric_limits<std::uint32_t>::max() / 2) {
      throw std::bad_alloc();  // ids are 32-bit: more keys than that cannot be held
    }
    grow();
  }
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    Slot& slot = slots_[at];
    if (slot.id_plus_one == 0) {
      bytes_.insert(bytes_.end(), key, key + len);
      ends_.push_back(bytes_.size());
      slot = {hash, static_cast<std::uint32_t>(ends_.size())};
      return slot.id_plus_one - 1;
    }
    if (slot.hash == hash) {
      // Equal hashes are not enough: the bytes decide.
      const std::span<const std::uint8_t> held = this->key(slot.id_plus_one - 1);
      if (held.size() == len && same_bytes(held.data(), key, len)) {
        return slot.id_plus_one - 1;
      }
    }
  }
}

}  // namespace drisk
