// drisk: the packed form of a sketch, compact and checked.
//
// The raw form (one byte p, then the 2^p registers) is what to_bytes() and
// from_bytes() exchange: always 1 + 2^p bytes, and anything of the right
// length passes for a sketch. The packed form is meant for storage and the
// wire: it names itself, stores only the registers in use while that is
// smaller, and carries a checksum, so that a truncated, altered or foreign
// buffer is refused instead of read as a wrong sketch.
//
// Layout (all multi-byte integers little-endian):
//
//   offset  size  field
//   0       4     magic E2 48 4C 4C ("\xE2HLL")
//   4       1     format version, 1
//   5       1     encoding: 0 dense, 1 sparse
//   6       1     p, MIN_PRECISION to MAX_PRECISION
//   7       n     body
//   7 + n   8     XXH3-64 (seed 0) of bytes 0 .. 7 + n
//
// Dense body: the 2^p registers, one byte each (n = 2^p). Bytes 6 .. 7 + n
// of a dense sketch are then exactly its raw form.
//
// Sparse body: one entry per non-zero register, in ascending register order,
// each the LEB128 varint (7 bits a byte, low group first, high bit set on
// every byte but the last) of
//
//   gap << 6 | value
//
// where value is the register (1 .. 65 - p, which fits in 6 bits) and gap is
// the number of zero registers skipped since the previous entry (or since
// register 0). An entry takes 1 byte when its register directly follows the
// previous one or skips one zero, and at most 4 bytes (gap < 2^18). The body
// ends where the checksum starts.
//
// The writer picks the sparse body while it is smaller than the dense one by
// more than a 32nd (2^p / 32 bytes), so an empty sketch packs to 15 bytes and
// a full one to 2^p + 15. The magic's first byte is never a valid p, so the
// packed and raw forms cannot be confused.
#ifndef DRISK_PACKED_HPP
#define DRISK_PACKED_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "sketch_core.hpp"

namespace drisk::packed {

inline constexpr std::array<std::uint8_t, 4> MAGIC{0xE2, 0x48, 0x4C, 0x4C};
inline constexpr std::uint8_t FORMAT_VERSION = 1;
inline constexpr std::size_t HEADER_SIZE = 7;
inline constexpr std::size_t CHECKSUM_SIZE = 8;
// The smallest packed sketch: header and checksum around an empty body.
inline constexpr std::size_t MIN_SIZE = HEADER_SIZE + CHECKSUM_SIZE;

enum class Encoding : std::uint8_t { dense = 0, sparse = 1 };

// An entry of a sparse body takes at most this many bytes (gap < 2^18).
inline constexpr std::size_t MAX_ENTRY_BYTES = 4;

// The most bytes a packed sketch of precision p that open() accepts can
// take: the writer's choice never passes the dense size, 2^p + 15, but a
// sparse body written by another rule may hold an entry for every register
// at the longest entry. Every reader of stored cells takes this one limit.
constexpr std::size_t max_packed_size(unsigned p) noexcept {
  return HEADER_SIZE + MAX_ENTRY_BYTES * (std::size_t{1} << p) + CHECKSUM_SIZE;
}

// What a sketch packs to: the encoding and the whole packed size.
struct Plan {
  Encoding encoding;
  std::size_t size;
};

// Chooses the encoding of a sketch. Refuses a sketch holding a register value
// that insertion cannot produce at its precision (above 65 - p; such a sketch
// can only come from raw bytes). Reads only; allocates nothing unless it
// refuses.
Refusal plan(const HyperLogLogCore& core, Plan& out);
// The same for the 2^p bare registers at `registers`.
Refusal plan(const std::uint8_t* registers, unsigned p, Plan& out);

// Writes the packed form chosen by plan(); out must hold plan.size bytes.
void write(const HyperLogLogCore& core, const Plan& plan, std::uint8_t* out) noexcept;
void write(const std::uint8_t* registers, unsigned p, const Plan& plan, std::uint8_t* out) noexcept;

// A sketch given by its registers in use alone: entries `index << 6 | value`
// (ENTRY_VALUE_BITS below), strictly ascending, every value 1 .. 65 - p.
// plan_entries() and write_entries() choose and write exactly the bytes that
// plan() and write() give for the same registers held densely.
inline constexpr unsigned ENTRY_VALUE_BITS = 6;
Plan plan_entries(unsigned p, std::span<const std::uint32_t> entries) noexcept;
void write_entries(unsigned p, std::span<const std::uint32_t> entries, const Plan& plan,
                   std::uint8_t* out) noexcept;

// A packed sketch checked and read in place, without copying its registers:
// its precision, its encoding and its body (the 2^p registers when dense).
struct View {
  unsigned p = 0;
  Encoding encoding = Encoding::dense;
  std::span<const std::uint8_t> body;
};

// Opens a packed sketch: every check of unpack() but those of a sparse
// body's entries, which read_entries() makes as it decodes them. Allocates
// nothing unless it refuses.
Refusal open(std::span<const std::uint8_t> data, View& out);

// Decodes the sparse body of an opened sketch into entries (the form above)
// at out[0 .. count), refusing a damaged entry as unpack() does. `out` must
// hold 2^p entries: indices ascend strictly, so there are at most that many.
Refusal read_entries(const View& view, std::uint32_t* out, std::size_t& count);

// Rebuilds a sketch from its packed form. Checks, in order: the magic, the
// length, the version, the checksum, p, the encoding, then the body (every
// register value 1 .. 65 - p, every index below 2^p). One allocation for the
// registers (std::bad_alloc if it cannot be had); a refusal leaves `out`
// untouched.
Refusal unpack(std::span<const std::uint8_t> data, HyperLogLogCore& out);

// The stored form a buffer is in, told from its first bytes and its length
// alone, as load() tells them apart: raw (a valid p, then exactly 2^p
// registers) or packed (the magic number, room for a header and checksum,
// and a known encoding). Checks nothing else: unpack() and decode() do.
enum class Form : std::uint8_t { raw, packed_dense, packed_sparse, neither };

Form form(std::span<const std::uint8_t> data) noexcept;

}  // namespace drisk::packed

#endif  // DRISK_PACKED_HPP
