// drisk: line splitting. Every version finds the same newlines and gives
// the same registers; they differ only in how: memchr from one newline to
// the next, a bit mask of the newlines of 64 bytes at a time, or that mask
// with the short lines hashed eight at a time in vector lanes.
#include "lines.hpp"

#include <bit>
#include <cstring>

#include "insert.hpp"
#include "splitter.hpp"

#if DRISK_X86_KERNELS
#include <immintrin.h>
#endif

namespace drisk {
namespace {

// The line state shared by the scans: where the current line starts, and how
// many lines went in.
struct LineCursor {
  std::uint8_t* regs;
  unsigned p;
  const std::uint8_t* begin;
  std::size_t line_start = 0;
  std::size_t lines = 0;

  // The line ending at the newline at `newline` (a "\r" before it dropped).
  void emit(std::size_t newline) noexcept {
    std::size_t len = newline - line_start;
    if (len > 0 && begin[newline - 1] == '\r') {
      --len;
    }
    insert(regs, p, begin + line_start, len);
    line_start = newline + 1;
    ++lines;
  }

  // From `pos`, every newline by memchr; then the last line when `final`.
  std::size_t finish(std::size_t pos, std::size_t size, bool final) noexcept {
    while (pos < size) {
      const void* hit = std::memchr(begin + pos, '\n', size - pos);
      if (hit == nullptr) {
        break;
      }
      const auto newline = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - begin);
      emit(newline);
      pos = newline + 1;
    }
    if (final && line_start < size) {
      // A last line without "\n" loses a trailing "\r" too: the same item as
      // if its "\r\n" had been complete.
      std::size_t len = size - line_start;
      if (begin[size - 1] == '\r') {
        --len;
      }
      insert(regs, p, begin + line_start, len);
      ++lines;
    }
    return lines;
  }
};

}  // namespace

std::size_t add_lines_portable(std::uint8_t* regs, unsigned p, std::span<const std::uint8_t> data,
                               bool final) noexcept {
  LineCursor cursor{regs, p, data.data()};
  return cursor.finish(0, data.size(), final);
}

#if DRISK_X86_KERNELS
std::size_t add_lines_sse2(std::uint8_t* regs, unsigned p, std::span<const std::uint8_t> data,
                           bool final) noexcept {
  LineCursor cursor{regs, p, data.data()};
  const std::uint8_t* const begin = data.data();
  const std::size_t size = data.size();
  std::size_t pos = 0;
  // 64 bytes at a time: a bit mask of the newlines, then one insert per bit.
  // Short lines are the common case, and this keeps the scan off the
  // per-line critical path.
  const __m128i newline = _mm_set1_epi8('\n');
  for (; pos + 64 <= size; pos += 64) {
    std::uint64_t mask = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + pos + 16 * k));
      const auto bits =
          static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, newline)));
      mask |= static_cast<std::uint64_t>(bits) << (16 * k);
    }
    while (mask != 0) {
      cursor.emit(pos + static_cast<std::size_t>(std::countr_zero(mask)));
      mask &= mask - 1;
    }
  }
  return cursor.finish(pos, size, final);
}

namespace {

// Short lines in vector lanes (AVX-512 F, DQ and BW).
//
// Files of identifiers, numbers and codes have lines of a few bytes, and
// there hashing is most of the cost: XXH3's 4-to-8 byte path is a handful of
// rotations and two multiplies, cheap in eight lanes at once. So the scan
// only notes where each line ends, LANE_BATCH lines at a time; then for
// eight lines at a time their starts are the ends before them plus one,
// their first eight bytes are gathered, and the lines of 4 to 8 bytes (after
// a "\r" is dropped) are hashed in the lanes, by the formula of
// integer_lanes_impl.hpp's hash_decimal with the text read from memory:
//   input64 = (last 4 bytes) + (first 4 bytes << 32), little-endian reads
//   h = input64 ^ (secret[8..16) ^ secret[16..24))
//   h ^= rotl(h, 49) ^ rotl(h, 24); h *= M; h ^= (h >> 35) + len; h *= M;
//   h ^= h >> 28
// Other lines (shorter, longer, or within eight bytes of the end of the
// data, where the gather would read past it) are hashed one by one. The
// registers are raised afterwards, in line order, one hash at a time.
//
// The scan writes eight ends per 64 bytes whether or not that many lines end
// there, so that the usual count (one to eight) costs no branch; ends past
// the true count are overwritten by the next block.
constexpr std::size_t LANE_BATCH = 64;
// Lines go to the lanes while they average at most SHORT_LINE_BYTES with
// their newline: most are then 4 to 8 bytes. Longer lines go one at a time,
// checked again every LINES_TRIAL_BYTES, so that a file of long lines pays
// nothing for the lanes (noting their ends took an access log twice the time).
constexpr std::size_t SHORT_LINE_BYTES = 12;
constexpr std::size_t LINES_TRIAL_BYTES = 4096;
constexpr std::uint64_t RRMXMX_M = 0x9FB21C651E98DF25ULL;  // XXH3's multiplier there

// GCC 12's AVX-512 intrinsics start from a deliberately undefined vector,
// which its flow analysis reports as maybe uninitialized once inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// hashes[k] = the XXH3 hash of the line that ends at the newline ends[k],
// for k < count; ends[-1] is the newline before the first line (or -1).
__attribute__((target("avx512f,avx512dq,avx512bw"))) void hash_line_batch(
    const std::uint8_t* begin, std::size_t size, const std::uint64_t* ends, std::size_t count,
    std::uint64_t* hashes) noexcept {
  const __m512i bitflip = _mm512_set1_epi64(
      static_cast<long long>(XXH_readLE64(XXH3_kSecret + 8) ^ XXH_readLE64(XXH3_kSecret + 16)));
  const __m512i multiplier = _mm512_set1_epi64(static_cast<long long>(RRMXMX_M));
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i four = _mm512_set1_epi64(4);
  const __m512i eight = _mm512_set1_epi64(8);
  const __m512i gather_limit = _mm512_set1_epi64(static_cast<long long>(size));
  for (std::size_t j = 0; j < count; j += 8) {
    const auto valid = static_cast<__mmask8>(count - j >= 8 ? 0xFF : (1u << (count - j)) - 1);
    const __m512i end = _mm512_loadu_si512(ends + j);
    const __m512i start = _mm512_add_epi64(_mm512_loadu_si512(ends + j - 1), one);
    __m512i len = _mm512_sub_epi64(end, start);
    __mmask8 lanes = valid & _mm512_cmpge_epu64_mask(len, four) &
                     _mm512_cmple_epu64_mask(len, eight) &
                     _mm512_cmple_epu64_mask(_mm512_add_epi64(start, eight), gather_limit);
    if (lanes != 0) {
      const __m512i text =
          _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), lanes, start, begin, 1);
      // A "\r" in the last byte is not part of the line.
      const __m512i last_byte = _mm512_and_si512(
          _mm512_srlv_epi64(text, _mm512_slli_epi64(_mm512_sub_epi64(len, one), 3)),
          _mm512_set1_epi64(0xFF));
      const __mmask8 cr = _mm512_cmpeq_epi64_mask(last_byte, _mm512_set1_epi64('\r'));
      len = _mm512_mask_sub_epi64(len, cr, len, one);
      lanes &= static_cast<__mmask8>(~cr | _mm512_cmpge_epu64_mask(len, four));
      const __m512i last4 = _mm512_and_si512(
          _mm512_srlv_epi64(text, _mm512_slli_epi64(_mm512_sub_epi64(len, four), 3)),
          _mm512_set1_epi64(0xFFFFFFFF));
      __m512i h = _mm512_xor_si512(_mm512_or_si512(last4, _mm512_slli_epi64(text, 32)), bitflip);
      h = _mm512_xor_si512(h, _mm512_xor_si512(_mm512_rol_epi64(h, 49), _mm512_rol_epi64(h, 24)));
      h = _mm512_mullo_epi64(h, multiplier);
      h = _mm512_xor_si512(h, _mm512_add_epi64(_mm512_srli_epi64(h, 35), len));
      h = _mm512_mullo_epi64(h, multiplier);
      h = _mm512_xor_si512(h, _mm512_srli_epi64(h, 28));
      _mm512_storeu_si512(hashes + j, h);
    }
    for (unsigned rest = valid & ~lanes; rest != 0; rest &= rest - 1) {
      const std::size_t k = j + static_cast<std::size_t>(std::countr_zero(rest));
      const std::size_t line_start = ends[k - 1] + 1;
      std::size_t len_k = ends[k] - line_start;
      if (len_k > 0 && begin[ends[k] - 1] == '\r') {
        --len_k;
      }
      hashes[k] = XXH3_64bits(begin + line_start, len_k);
    }
  }
}

// A bit per byte of the 64 at `at`: whether it is a newline.
__attribute__((target("avx512f,avx512bw"))) inline std::uint64_t newline_mask(
    const std::uint8_t* at) noexcept {
  return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(reinterpret_cast<const void*>(at)),
                                _mm512_set1_epi8('\n'));
}

}  // namespace

__attribute__((target("avx512f,avx512dq,avx512bw,popcnt,lzcnt,bmi,bmi2"))) std::size_t
add_lines_avx512(std::uint8_t* regs, unsigned p, std::span<const std::uint8_t> data,
                 bool final) noexcept {
  const std::uint8_t* const begin = data.data();
  const std::size_t size = data.size();
  const std::size_t blocks_end = size - size % 64;
  LineCursor cursor{regs, p, begin};
  // ends[-1] is the newline before the batch; ends[LANE_BATCH + 64) leaves
  // room for a block's 64 newlines after the batch is nearly full, and for
  // the unconditional eight.
  std::uint64_t end_slots[8 + LANE_BATCH + 64] = {};
  std::uint64_t* const ends = end_slots + 8;
  std::uint64_t hashes[LANE_BATCH + 64] = {};
  std::size_t pos = 0;
  bool short_lines = false;
  while (pos < blocks_end) {
    if (!short_lines) {
      // One line at a time, as add_lines_sse2 goes, for LINES_TRIAL_BYTES;
      // then short lines switch to the lanes.
      const std::size_t stop = std::min(blocks_end, pos + LINES_TRIAL_BYTES);
      const std::size_t lines_before = cursor.lines;
      for (; pos < stop; pos += 64) {
        for (std::uint64_t mask = newline_mask(begin + pos); mask != 0; mask &= mask - 1) {
          cursor.emit(pos + static_cast<std::size_t>(std::countr_zero(mask)));
        }
      }
      short_lines = (cursor.lines - lines_before) * SHORT_LINE_BYTES >= LINES_TRIAL_BYTES;
      continue;
    }
    // A batch of lines into the lanes; long lines switch back.
    ends[-1] = cursor.line_start - 1;  // wraps to all ones at 0: +1 is 0 again
    std::size_t pending = 0;
    for (; pos < blocks_end && pending < LANE_BATCH; pos += 64) {
      std::uint64_t mask = newline_mask(begin + pos);
      const auto count = static_cast<std::size_t>(std::popcount(mask));
      std::uint64_t* const out = ends + pending;
      for (std::size_t i = 0; i < 8; ++i) {
        out[i] = pos + static_cast<std::size_t>(std::countr_zero(mask | (std::uint64_t{1} << 63)));
        mask &= mask - 1;
      }
      for (std::size_t i = 8; i < count; ++i) {
        out[i] = pos + static_cast<std::size_t>(std::countr_zero(mask));
        mask &= mask - 1;
      }
      pending += count;
    }
    if (pending == 0) {
      continue;
    }
    hash_line_batch(begin, size, ends, pending, hashes);
    for (std::size_t k = 0; k < pending; ++k) {
      insert_hash(regs, p, hashes[k]);
    }
    cursor.lines += pending;
    cursor.line_start = ends[pending - 1] + 1;
    short_lines = ends[pending - 1] - ends[-1] <= pending * SHORT_LINE_BYTES;
  }
  return cursor.finish(pos, size, final);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

bool lines_starting_in(std::span<const std::uint8_t> data, std::size_t from, std::size_t to,
                       std::size_t& start, std::size_t& stop) noexcept {
  const std::uint8_t* const begin = data.data();
  const std::size_t size = data.size();
  start = 0;
  if (from > 0) {
    const void* newline = std::memchr(begin + from - 1, '\n', to - from + 1);
    if (newline == nullptr) {
      return false;  // inside a line that started earlier
    }
    start = static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - begin) + 1;
    if (start >= to) {
      return false;
    }
  }
  stop = size;
  if (to < size) {
    if (const void* newline = std::memchr(begin + to - 1, '\n', size - to + 1)) {
      stop = static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - begin) + 1;
    }
  }
  return true;
}

std::size_t add_lines_shared(HyperLogLogCore& core, HyperLogLogCore* helper,
                             std::span<const std::uint8_t> data, bool final) noexcept {
  struct Share {
    HyperLogLogCore* core;
    std::size_t lines = 0;
  };
  const std::size_t size = data.size();
  const auto chunk = [&](Share& share, std::size_t from, std::size_t to) noexcept {
    std::size_t start = 0;
    std::size_t stop = 0;
    if (!lines_starting_in(data, from, to, start, stop)) {
      return true;
    }
    share.lines += share.core->add_lines(data.subspan(start, stop - start), stop < size || final);
    return true;
  };
  Share own{&core};
  Share helped{helper};
  const SplitOutcome outcome =
      share_work(size, SHARED_LINES_CHUNK, own, helper != nullptr ? &helped : nullptr, chunk);
  if (outcome.helped) {
    core.merge_same_precision(*helper);
  }
  return own.lines + helped.lines;
}

}  // namespace drisk
