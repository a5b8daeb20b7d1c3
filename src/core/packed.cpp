// drisk: writing and reading the packed form (layout in packed.hpp).
#include "packed.hpp"

#include "kernels.hpp"
#include "platform.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#define XXH_INLINE_ALL
#include <xxhash.h>

// The register scans get AVX-512 and AVX2 clones, chosen once at load time:
// each is bound by one vector min or max per block, so wider blocks pay.
#if defined(DRISK_X86_64) && defined(DRISK_LINUX) && defined(DRISK_GCC)
#define DRISK_PACKED_MULTIVERSION \
  __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define DRISK_PACKED_MULTIVERSION
#endif

namespace drisk::packed {

namespace detail {
#ifdef DRISK_XXH3_DISPATCH
// XXH3_64bits built for AVX2 (xxh3_avx2.cpp) and AVX-512 (xxh3_avx512.cpp).
std::uint64_t xxh3_avx2(const void* data, std::size_t len) noexcept;
std::uint64_t xxh3_avx512(const void* data, std::size_t len) noexcept;
#endif
}  // namespace detail

namespace {

// Largest rank an insertion stores for precision p.
constexpr unsigned max_rank(unsigned p) noexcept { return 65 - p; }

// A sparse entry keeps the register value in its low 6 bits.
constexpr unsigned VALUE_BITS = 6;
constexpr std::uint32_t VALUE_MASK = (1u << VALUE_BITS) - 1;
static_assert(65 - MIN_PRECISION <= VALUE_MASK, "a rank must fit in an entry's value bits");
// gap < 2^MAX_PRECISION, so an entry is below 2^(18 + 6) = 2^24: 4 varint bytes.
static_assert(MAX_PRECISION + VALUE_BITS <= 7 * MAX_ENTRY_BYTES);

constexpr std::size_t varint_size(std::uint32_t v) noexcept {
  return v < (1u << 7) ? 1 : v < (1u << 14) ? 2 : v < (1u << 21) ? 3 : 4;
}

inline std::uint8_t* write_varint(std::uint8_t* out, std::uint32_t v) noexcept {
  while (v >= 0x80) {
    *out++ = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(v);
  return out;
}

inline std::uint64_t load_u64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store_le64(std::uint8_t* out, std::uint64_t v) noexcept {
  for (int i = 0; i < 8; ++i) {
    out[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

inline std::uint64_t load_le64(const std::uint8_t* in) noexcept {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) {
    v |= static_cast<std::uint64_t>(in[i]) << (8 * i);
  }
  return v;
}

// The smallest and largest register in one pass.
struct Extremes {
  std::uint8_t low;
  std::uint8_t high;
};

DRISK_PACKED_MULTIVERSION
Extremes extremes(const std::uint8_t* regs, std::size_t n) noexcept {
  std::uint8_t low = 0xFF;
  std::uint8_t high = 0;
  for (std::size_t i = 0; i < n; ++i) {
    low = std::min(low, regs[i]);
    high = std::max(high, regs[i]);
  }
  return {low, high};
}

DRISK_PACKED_MULTIVERSION
std::uint8_t highest(const std::uint8_t* regs, std::size_t n) noexcept {
  std::uint8_t high = 0;
  for (std::size_t i = 0; i < n; ++i) {
    high = std::max(high, regs[i]);
  }
  return high;
}

DRISK_PACKED_MULTIVERSION
std::size_t count_zeros(const std::uint8_t* regs, std::size_t n) noexcept {
  // Byte-wide counts over blocks of 128 registers vectorise; one wide sum
  // per block.
  constexpr std::size_t BLOCK = 128;
  std::size_t zeros = 0;
  std::size_t i = 0;
  for (; i + BLOCK <= n; i += BLOCK) {
    std::uint8_t block = 0;  // at most BLOCK = 128
    for (std::size_t k = 0; k < BLOCK; ++k) {
      block += regs[i + k] == 0;
    }
    zeros += block;
  }
  for (; i < n; ++i) {
    zeros += regs[i] == 0;
  }
  return zeros;
}

// 0x80 in each byte of x that is not zero, 0 elsewhere.
constexpr std::uint64_t nonzero_bytes(std::uint64_t x) noexcept {
  constexpr std::uint64_t LOW7 = 0x7F7F7F7F7F7F7F7FULL;
  return (((x & LOW7) + LOW7) | x) & ~LOW7;
}

// Zero registers are stepped over this many at a time.
constexpr std::size_t SKIP_BLOCK = 256;

// Whether SKIP_BLOCK registers are all zero; a fixed-length OR vectorises.
inline bool all_zero(const std::uint8_t* regs) noexcept {
  std::uint64_t any = 0;
  for (std::size_t k = 0; k < SKIP_BLOCK; k += 8) {
    any |= load_u64(regs + k);
  }
  return any == 0;
}

// Registers i .. i + 8 as a word whose lowest byte is register i.
inline std::uint64_t load_registers(const std::uint8_t* regs) noexcept {
  const std::uint64_t word = load_u64(regs);
  if constexpr (std::endian::native == std::endian::big) {
    return byteswap64(word);
  }
  return word;
}

// Calls visit(index, value) for every non-zero register in ascending order:
// blocks of SKIP_BLOCK zero registers are stepped over with one test, and the
// registers in use among 8 are found from a bit mask, not one by one.
// m is a power of two, at least 16.
template <class Visit>
inline void for_each_nonzero(const std::uint8_t* regs, std::size_t m, Visit&& visit) noexcept {
  const std::size_t step = std::min(SKIP_BLOCK, m);
  for (std::size_t block = 0; block < m; block += step) {
    if (step == SKIP_BLOCK && all_zero(regs + block)) {
      continue;
    }
    for (std::size_t i = block; i < block + step; i += 8) {
      for (std::uint64_t mask = nonzero_bytes(load_registers(regs + i)); mask != 0;
           mask &= mask - 1) {
        const std::size_t index = i + static_cast<std::size_t>(std::countr_zero(mask)) / 8;
        visit(index, regs[index]);
      }
    }
  }
}

// The size of the sparse body.
std::size_t sparse_body_size(const std::uint8_t* regs, std::size_t m) noexcept {
  std::size_t size = 0;
  std::size_t next = 0;
  for_each_nonzero(regs, m, [&](std::size_t i, std::uint8_t value) {
    size += varint_size(static_cast<std::uint32_t>((i - next) << VALUE_BITS) | value);
    next = i + 1;
  });
  return size;
}

// XXH3-64 of the whole sketch is most of the cost of packing and unpacking a
// dense one, so it runs on the widest vector unit the CPU has: the builds of
// XXH3 for AVX2 and AVX-512 live in files of their own, compiled for those
// instruction sets, and one is chosen on first use. Every build gives the
// same hash.
using HashFn = std::uint64_t (*)(const void*, std::size_t) noexcept;

std::uint64_t xxh3_baseline(const void* data, std::size_t len) noexcept {
  return XXH3_64bits(data, len);
}

HashFn pick_checksum() noexcept {
#ifdef DRISK_XXH3_DISPATCH
  const CpuFeatures& cpu = cpu_features();  // the one place that asks the CPU
  if (cpu.avx512) {
    return detail::xxh3_avx512;
  }
  if (cpu.avx2) {
    return detail::xxh3_avx2;
  }
#endif
  return xxh3_baseline;
}

std::uint64_t checksum(const std::uint8_t* data, std::size_t len) noexcept {
  static const HashFn hash = pick_checksum();
  return hash(data, len);
}

std::string precision_text(unsigned p) { return "p=" + std::to_string(p); }

// The first register above the largest rank, for the refusal messages.
[[gnu::cold, gnu::noinline]] std::string register_too_high(const std::uint8_t* regs, std::size_t m,
                                                           unsigned p) {
  std::size_t i = 0;
  while (i < m && regs[i] <= max_rank(p)) {
    ++i;
  }
  return "register " + std::to_string(i) + " holds " + std::to_string(i < m ? regs[i] : 0) +
         ", above " + std::to_string(max_rank(p)) + ", the largest value insertion stores at " +
         precision_text(p);
}

[[gnu::cold, gnu::noinline]] Refusal cannot_pack(const std::uint8_t* regs, std::size_t m,
                                                 unsigned p) {
  return "cannot pack this sketch: " + register_too_high(regs, m, p);
}

[[gnu::cold, gnu::noinline]] Refusal damaged(std::string what) {
  return "damaged packed sketch: " + what;
}

[[gnu::cold, gnu::noinline]] Refusal bad_start(std::span<const std::uint8_t> data) {
  const std::size_t shown = std::min(data.size(), MAGIC.size());
  if (std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(shown), MAGIC.begin())) {
    return "truncated packed sketch: " + std::to_string(data.size()) +
           " bytes, the smallest packed sketch has " + std::to_string(MIN_SIZE);
  }
  std::string message = "not a packed sketch: it does not start with the magic number E2 48 4C 4C";
  if (!data.empty() && data[0] >= MIN_PRECISION && data[0] <= MAX_PRECISION &&
      data.size() == (std::size_t{1} << data[0]) + 1) {
    message +=
        " (it has the length of a raw to_bytes() sketch; read that with "
        "HyperLogLog.from_bytes or drisk.load)";
  }
  return message;
}

[[gnu::cold, gnu::noinline]] Refusal too_short(std::size_t size) {
  return "truncated packed sketch: " + std::to_string(size) +
         " bytes, the smallest packed sketch has " + std::to_string(MIN_SIZE);
}

[[gnu::cold, gnu::noinline]] Refusal unknown_version(unsigned version) {
  return "packed sketch of format version " + std::to_string(version) +
         ", this drisk reads version " + std::to_string(FORMAT_VERSION) +
         " (written by a newer drisk, or damaged)";
}

[[gnu::cold, gnu::noinline]] Refusal bad_checksum() {
  return damaged("checksum mismatch (the data was truncated or altered)");
}

[[gnu::cold, gnu::noinline]] Refusal unknown_encoding(unsigned encoding) {
  return damaged("unknown encoding " + std::to_string(encoding));
}

[[gnu::cold, gnu::noinline]] Refusal bad_dense_size(std::size_t got, unsigned p) {
  return damaged("dense body of " + std::to_string(got) + " bytes, " + precision_text(p) +
                 " needs " + std::to_string(std::size_t{1} << p));
}

[[gnu::cold, gnu::noinline]] Refusal dense_register_too_high(const std::uint8_t* regs,
                                                             std::size_t m, unsigned p) {
  return damaged(register_too_high(regs, m, p));
}

[[gnu::cold, gnu::noinline]] Refusal entry_cut_short(std::size_t offset) {
  return damaged("sparse entry at offset " + std::to_string(offset) + " is cut short");
}

[[gnu::cold, gnu::noinline]] Refusal entry_too_long(std::size_t offset) {
  return damaged("sparse entry at offset " + std::to_string(offset) + " runs past " +
                 std::to_string(MAX_ENTRY_BYTES) + " bytes");
}

[[gnu::cold, gnu::noinline]] Refusal index_out_of_range(std::size_t offset, std::size_t index,
                                                        unsigned p) {
  return damaged("sparse entry at offset " + std::to_string(offset) + " names register " +
                 std::to_string(index) + ", past the last of " + precision_text(p) + " (" +
                 std::to_string((std::size_t{1} << p) - 1) + ")");
}

[[gnu::cold, gnu::noinline]] Refusal bad_entry_value(std::size_t offset, std::size_t index,
                                                     unsigned value, unsigned p) {
  if (value == 0) {
    return damaged("sparse entry at offset " + std::to_string(offset) + " gives register " +
                   std::to_string(index) + " the value 0");
  }
  return damaged("register " + std::to_string(index) + " holds " + std::to_string(value) +
                 ", above " + std::to_string(max_rank(p)) +
                 ", the largest value insertion stores at " + precision_text(p));
}

// The entry in the first `length` (1 .. 4) bytes of a little-endian word:
// its 7-bit groups gathered without a loop.
inline std::uint32_t entry_in(std::uint32_t word, unsigned length) noexcept {
  const std::uint32_t entry =
      (word & 0x7Fu) | (word >> 1 & 0x3F80u) | (word >> 2 & 0x1FC000u) | (word >> 3 & 0xFE00000u);
  return entry & (length == 4 ? 0xFFFFFFFu : (1u << (7 * length)) - 1);
}

// Calls store(index, value) for each entry of a sparse body, in order, or
// refuses it. `base` is the body's offset in the packed data, for the
// messages.
template <class Store>
Refusal decode_sparse(std::span<const std::uint8_t> body, std::size_t base, unsigned p,
                      Store&& store) {
  const std::size_t m = std::size_t{1} << p;
  const unsigned top = max_rank(p);
  const std::uint8_t* const begin = body.data();
  const std::uint8_t* const end = begin + body.size();
  const std::uint8_t* in = begin;
  std::size_t next = 0;
  // The checks every entry gets, then the entry stored; false once refused.
  Refusal refusal;
  const auto take = [&](const std::uint8_t* start, std::uint32_t entry) {
    const std::size_t index = next + (entry >> VALUE_BITS);
    const unsigned value = entry & VALUE_MASK;
    if (index >= m) [[unlikely]] {
      refusal = index_out_of_range(base + static_cast<std::size_t>(start - begin), index, p);
      return false;
    }
    if (value == 0 || value > top) [[unlikely]] {
      refusal = bad_entry_value(base + static_cast<std::size_t>(start - begin), index, value, p);
      return false;
    }
    store(index, value);
    next = index + 1;
    return true;
  };
  if constexpr (std::endian::native == std::endian::little) {
    // Eight bytes at a time while eight remain: one load shows where every
    // entry ending among them ends (the bytes without the continuation bit),
    // so the entries of a word are cut out by shifts side by side, not each
    // waiting on the last one's length. An entry still going at the word's
    // end is taken up again by the next word, or by the loop after this one.
    while (end - in >= 8) {
      std::uint64_t word;
      std::memcpy(&word, in, sizeof word);
      std::uint64_t stops = ~word & 0x8080808080808080ULL;
      unsigned used = 0;  // bytes of the word in entries already taken
      do {
        // No stop at all gives last = 8: an entry longer than 4 bytes.
        const unsigned last = static_cast<unsigned>(std::countr_zero(stops)) / 8;
        const unsigned length = last + 1 - used;
        if (length > MAX_ENTRY_BYTES) {
          return entry_too_long(base + static_cast<std::size_t>(in + used - begin));
        }
        if (!take(in + used, entry_in(static_cast<std::uint32_t>(word >> (8 * used)), length))) {
          return refusal;
        }
        used = last + 1;
        stops &= stops - 1;
      } while (stops != 0);
      in += used;
    }
  }
  // The last bytes (every byte on a big-endian machine) one at a time.
  while (in < end) {
    const std::uint8_t* const start = in;
    std::uint32_t entry = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (shift == 7 * MAX_ENTRY_BYTES) {
        return entry_too_long(base + static_cast<std::size_t>(start - begin));
      }
      if (in == end) {
        return entry_cut_short(base + static_cast<std::size_t>(start - begin));
      }
      const std::uint8_t byte = *in++;
      entry |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) {
        break;
      }
    }
    if (!take(start, entry)) {
      return refusal;
    }
  }
  return std::nullopt;
}

// Fills the zeroed registers from a sparse body, or refuses it.
Refusal read_sparse(std::span<const std::uint8_t> body, std::size_t base, unsigned p,
                    std::uint8_t* regs) {
  return decode_sparse(body, base, p, [regs](std::size_t index, unsigned value) {
    regs[index] = static_cast<std::uint8_t>(value);
  });
}

// Where the checksum goes, once the rest is written.
void seal(std::uint8_t* out, std::size_t size) noexcept {
  const std::size_t covered = size - CHECKSUM_SIZE;
  store_le64(out + covered, checksum(out, covered));
}

void write_header(std::uint8_t* out, Encoding encoding, unsigned p) noexcept {
  std::memcpy(out, MAGIC.data(), MAGIC.size());
  out[4] = FORMAT_VERSION;
  out[5] = static_cast<std::uint8_t>(encoding);
  out[6] = static_cast<std::uint8_t>(p);
}

}  // namespace

Refusal plan(const HyperLogLogCore& core, Plan& out) {
  return plan(core.registers(), core.precision(), out);
}

Refusal plan(const std::uint8_t* regs, unsigned p, Plan& out) {
  const std::size_t m = std::size_t{1} << p;
  const Extremes seen = extremes(regs, m);
  if (seen.high > max_rank(p)) {
    return cannot_pack(regs, m, p);
  }
  // Sparse only while it saves more than a 32nd of the dense body: a sketch
  // about to fill up would save a few bytes and cost a slow walk each time.
  const std::size_t limit = m - m / 32;
  std::size_t body = m;
  Encoding encoding = Encoding::dense;
  // Every sparse entry takes a byte at least, so the sparse body can only be
  // below the limit with more zero registers than m - limit.
  if (seen.low == 0 && count_zeros(regs, m) > m - limit) {
    const std::size_t sparse = sparse_body_size(regs, m);
    if (sparse < limit) {
      body = sparse;
      encoding = Encoding::sparse;
    }
  }
  out = Plan{encoding, HEADER_SIZE + body + CHECKSUM_SIZE};
  return std::nullopt;
}

void write(const HyperLogLogCore& core, const Plan& plan, std::uint8_t* out) noexcept {
  write(core.registers(), core.precision(), plan, out);
}

void write(const std::uint8_t* regs, unsigned p, const Plan& plan, std::uint8_t* out) noexcept {
  const std::size_t m = std::size_t{1} << p;
  write_header(out, plan.encoding, p);
  if (plan.encoding == Encoding::dense) {
    std::memcpy(out + HEADER_SIZE, regs, m);
  } else {
    std::uint8_t* body = out + HEADER_SIZE;
    std::size_t next = 0;
    for_each_nonzero(regs, m, [&](std::size_t i, std::uint8_t value) {
      body = write_varint(body, static_cast<std::uint32_t>((i - next) << VALUE_BITS) | value);
      next = i + 1;
    });
  }
  seal(out, plan.size);
}

Form form(std::span<const std::uint8_t> data) noexcept {
  if (data.size() >= MIN_SIZE && std::equal(MAGIC.begin(), MAGIC.end(), data.begin())) {
    switch (static_cast<Encoding>(data[5])) {
      case Encoding::dense:
        return Form::packed_dense;
      case Encoding::sparse:
        return Form::packed_sparse;
    }
    return Form::neither;
  }
  // The magic's first byte is never a valid p, so the two cannot overlap.
  if (!data.empty() && data[0] >= MIN_PRECISION && data[0] <= MAX_PRECISION &&
      data.size() == 1 + (std::size_t{1} << data[0])) {
    return Form::raw;
  }
  return Form::neither;
}

static_assert(ENTRY_VALUE_BITS == VALUE_BITS);

Plan plan_entries(unsigned p, std::span<const std::uint32_t> entries) noexcept {
  const std::size_t m = std::size_t{1} << p;
  const std::size_t limit = m - m / 32;  // as in plan()
  std::size_t sparse = 0;
  std::size_t next = 0;
  for (const std::uint32_t entry : entries) {
    const std::size_t index = entry >> VALUE_BITS;
    sparse += varint_size(static_cast<std::uint32_t>((index - next) << VALUE_BITS) |
                          (entry & VALUE_MASK));
    next = index + 1;
    if (sparse >= limit) {
      return Plan{Encoding::dense, HEADER_SIZE + m + CHECKSUM_SIZE};
    }
  }
  return Plan{Encoding::sparse, HEADER_SIZE + sparse + CHECKSUM_SIZE};
}

void write_entries(unsigned p, std::span<const std::uint32_t> entries, const Plan& plan,
                   std::uint8_t* out) noexcept {
  write_header(out, plan.encoding, p);
  std::uint8_t* body = out + HEADER_SIZE;
  if (plan.encoding == Encoding::dense) {
    std::memset(body, 0, std::size_t{1} << p);
    for (const std::uint32_t entry : entries) {
      body[entry >> VALUE_BITS] = static_cast<std::uint8_t>(entry & VALUE_MASK);
    }
  } else {
    std::size_t next = 0;
    for (const std::uint32_t entry : entries) {
      const std::size_t index = entry >> VALUE_BITS;
      body = write_varint(
          body, static_cast<std::uint32_t>((index - next) << VALUE_BITS) | (entry & VALUE_MASK));
      next = index + 1;
    }
  }
  seal(out, plan.size);
}

Refusal open(std::span<const std::uint8_t> data, View& out) {
  if (data.size() < MAGIC.size() || !std::equal(MAGIC.begin(), MAGIC.end(), data.begin())) {
    return bad_start(data);
  }
  if (data.size() < MIN_SIZE) {
    return too_short(data.size());
  }
  if (data[4] != FORMAT_VERSION) {
    return unknown_version(data[4]);
  }
  const std::size_t covered = data.size() - CHECKSUM_SIZE;
  if (checksum(data.data(), covered) != load_le64(data.data() + covered)) {
    return bad_checksum();
  }
  const unsigned encoding = data[5];
  const unsigned p = data[6];
  if (Refusal refusal = HyperLogLogCore::check_precision(p)) {
    return damaged(std::move(*refusal));
  }
  const std::span<const std::uint8_t> body = data.subspan(HEADER_SIZE, covered - HEADER_SIZE);
  const std::size_t m = std::size_t{1} << p;
  if (encoding == static_cast<unsigned>(Encoding::dense)) {
    if (body.size() != m) {
      return bad_dense_size(body.size(), p);
    }
    if (highest(body.data(), m) > max_rank(p)) {
      return dense_register_too_high(body.data(), m, p);
    }
  } else if (encoding != static_cast<unsigned>(Encoding::sparse)) {
    return unknown_encoding(encoding);
  }
  out = View{p, static_cast<Encoding>(encoding), body};
  return std::nullopt;
}

Refusal read_entries(const View& view, std::uint32_t* out, std::size_t& count) {
  std::size_t n = 0;
  Refusal refusal =
      decode_sparse(view.body, HEADER_SIZE, view.p, [out, &n](std::size_t index, unsigned value) {
        out[n++] = static_cast<std::uint32_t>(index << VALUE_BITS) | value;
      });
  count = n;
  return refusal;
}

Refusal unpack(std::span<const std::uint8_t> data, HyperLogLogCore& out) {
  View view;
  if (Refusal refusal = open(data, view)) {
    return refusal;
  }
  HyperLogLogCore core;
  if (view.encoding == Encoding::dense) {
    // p and the registers, as to_bytes() writes them: decode copies them in.
    if (Refusal refusal = HyperLogLogCore::decode(data.subspan(6, 1 + view.body.size()), core)) {
      return damaged(std::move(*refusal));
    }
  } else {
    if (Refusal refusal = HyperLogLogCore::create(view.p, core)) {
      return damaged(std::move(*refusal));
    }
    if (Refusal refusal = read_sparse(view.body, HEADER_SIZE, view.p, core.mutable_registers())) {
      return refusal;
    }
  }
  out = std::move(core);
  return std::nullopt;
}

}  // namespace drisk::packed
