// drisk: the HyperLogLog sketch state and its operations.
//
// This file knows nothing about the Python interpreter. Every operation here
// either cannot fail, or reports a refusal as a message text that the caller
// raises as ValueError. Running out of memory for register storage is
// signalled with std::bad_alloc.
#ifndef DRISK_SKETCH_CORE_HPP
#define DRISK_SKETCH_CORE_HPP

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform.hpp"

namespace drisk {

// Precision bounds. Below 4 the estimator's alpha table has no entry and the
// error is useless; above 18 a sketch would weigh more than most of the sets
// it is meant to replace.
inline constexpr unsigned MIN_PRECISION = 4;
inline constexpr unsigned MAX_PRECISION = 18;
inline constexpr unsigned DEFAULT_PRECISION = 12;

// A core operation's refusal: empty when the operation went ahead, otherwise
// the message to report. Building the message is the only allocation on a
// refusal path; the accepted path allocates nothing.
using Refusal = std::optional<std::string>;

class HyperLogLogCore {
 public:
  // An empty core (no storage). Only a moved-from or not yet created core is
  // empty; every sketch object holds a created one.
  HyperLogLogCore() noexcept = default;
  HyperLogLogCore(HyperLogLogCore&&) noexcept = default;
  HyperLogLogCore& operator=(HyperLogLogCore&&) noexcept = default;
  HyperLogLogCore(const HyperLogLogCore&) = delete;
  HyperLogLogCore& operator=(const HyperLogLogCore&) = delete;

  // The refusal for a precision outside MIN_PRECISION..MAX_PRECISION.
  static Refusal check_precision(unsigned p);

  // A new core with 2^p zero registers, or the precision refusal.
  // One allocation; throws std::bad_alloc if the storage cannot be had.
  static Refusal create(unsigned p, HyperLogLogCore& out);

  // Rebuilds a core from its serialized form (one precision byte, then 2^p
  // register bytes). Checks the buffer is non-empty, then the precision, then
  // the length; register values are taken as they are. Copies the registers
  // once; throws std::bad_alloc if the storage cannot be had.
  static Refusal decode(std::span<const std::uint8_t> data, HyperLogLogCore& out);

  // An independent core with the same precision and registers. One allocation.
  HyperLogLogCore clone() const;

  // Absorbs one item of any length. Allocates nothing; cannot fail.
  void add(const void* data, std::size_t len) noexcept;

  // Absorbs an item given by its XXH3-64 hash (see ItemHasher): the same as
  // add() of the item's bytes. Allocates nothing; cannot fail.
  void add_hash(std::uint64_t hash) noexcept;

  // Absorbs items[0..count), each as add() would. Hashing a batch in one
  // loop lets the processor overlap the items' hash computations.
  struct ItemView {
    const void* data;
    std::size_t len;
  };
  void add_batch(const ItemView* items, std::size_t count) noexcept;

  // Absorbs every line of `data` as one item: each line ends at "\n", which is
  // not part of the item, nor is a "\r" right before it. With `final`, the
  // bytes after the last "\n" (if any) are a last line too, less a trailing
  // "\r"; without it they are left for the caller to carry into the next
  // chunk. Allocates nothing.
  // Returns the number of lines absorbed.
  std::size_t add_lines(std::span<const std::uint8_t> data, bool final) noexcept;

  // The cardinality estimate. Reads only; allocates nothing.
  double estimate() const noexcept;

  // The same estimate, computed by the plain sequential definition. Kept as
  // the reference that estimate() must match bit for bit.
  double estimate_sequential() const noexcept;

  // In-place union with a sketch of the same precision. Refuses a precision
  // mismatch before it touches a register. Allocates nothing on success.
  Refusal merge(const HyperLogLogCore& other);

  // The union without the check, for callers that made `other` themselves
  // with this precision (see empty_like). Allocates nothing.
  void merge_same_precision(const HyperLogLogCore& other) noexcept;

  // A core of the same precision with every register zero: the scratch
  // sketch of a split job. One allocation; throws std::bad_alloc.
  HyperLogLogCore empty_like() const;

  // Serialized size (m + 1) and writer; out must hold serialized_size() bytes.
  std::size_t serialized_size() const noexcept { return m_ + 1; }
  void serialize(std::uint8_t* out) const noexcept;

  std::uint8_t precision() const noexcept { return p_; }
  std::size_t size() const noexcept { return m_; }
  const std::uint8_t* registers() const noexcept { return registers_.get(); }
  // Write access for code that builds a sketch register by register (such
  // as folding); every byte written must be a value insertion could store.
  std::uint8_t* mutable_registers() noexcept { return registers_.get(); }

 private:
  struct FreeDeleter {
    void operator()(std::uint8_t* ptr) const noexcept { aligned_release(ptr); }
  };
  static HyperLogLogCore allocate(unsigned p, bool zeroed);

  std::unique_ptr<std::uint8_t[], FreeDeleter> registers_;
  std::size_t m_ = 0;
  std::uint8_t p_ = 0;
};

}  // namespace drisk

#endif  // DRISK_SKETCH_CORE_HPP
