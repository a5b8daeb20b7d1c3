// drisk: line splitting. Every version finds the same newlines and gives
// the same registers; they differ only in how: memchr from one newline to
// the next, a bit mask of the newlines of 64 bytes at a time, or that mask
// with the short lines hashed eight at a time in vector lanes.
#include "lines.hpp"

#include <bit>
#include <cstring>

#include "cpu_features.hpp"
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
//
// CPUs with AVX-512 VBMI and VBMI2 (Ice Lake and Zen 4 on) do two steps with
// fewer instructions: one compress packs the offsets of a block's newlines,
// sixteen of which are widened and stored whatever the count, and one byte
// permutation takes eight lines' first bytes from the 128 bytes where they
// start, in place of the gather's eight loads. On big.txt in memory (lines
// of 8 digits) that took a third off the time of the other way.
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
#if defined(DRISK_GCC)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Short-line hashing in lanes, split in three so that the two ways of
// fetching the text share the rest: which of eight lines go to the lanes,
// the hash from their first eight bytes, and the others one at a time.
#define DRISK_LANES_TARGET "avx512f,avx512dq,avx512bw"

// The lanes of the eight lines from j that hold lines of the batch's
// `count`: all eight but in the last group.
inline __mmask8 group_lines(std::size_t j, std::size_t count) noexcept {
  return static_cast<__mmask8>(count - j >= 8 ? 0xFF : (1u << (count - j)) - 1);
}

// Of the lines j..j+7 in `lines`, those that are 4 to 8 bytes long (with
// any "\r") and can be read eight bytes from their start; their starts and
// lengths in `start` and `len`.
__attribute__((target(DRISK_LANES_TARGET), always_inline)) inline __mmask8 short_lanes(
    std::size_t size, const std::uint64_t* ends, std::size_t j, __mmask8 lines, __m512i& start,
    __m512i& len) noexcept {
  start = _mm512_add_epi64(_mm512_loadu_si512(ends + j - 1), _mm512_set1_epi64(1));
  len = _mm512_sub_epi64(_mm512_loadu_si512(ends + j), start);
  const __m512i eight = _mm512_set1_epi64(8);
  return lines & _mm512_cmpge_epu64_mask(len, _mm512_set1_epi64(4)) &
         _mm512_cmple_epu64_mask(len, eight) &
         _mm512_cmple_epu64_mask(_mm512_add_epi64(start, eight),
                                 _mm512_set1_epi64(static_cast<long long>(size)));
}

// XXH3 of each lane's line from its first eight bytes `text` and length
// `len`, into hashes[j..j+8); a lane whose line is under 4 bytes once its
// "\r" is dropped leaves `lanes`.
__attribute__((target(DRISK_LANES_TARGET), always_inline)) inline void hash_short_lanes(
    __m512i text, __m512i len, __mmask8& lanes, std::uint64_t* hashes) noexcept {
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i four = _mm512_set1_epi64(4);
  const __m512i multiplier = _mm512_set1_epi64(static_cast<long long>(RRMXMX_M));
  const __m512i bitflip = _mm512_set1_epi64(
      static_cast<long long>(XXH_readLE64(XXH3_kSecret + 8) ^ XXH_readLE64(XXH3_kSecret + 16)));
  // A "\r" in the last byte is not part of the line.
  const __m512i last_byte =
      _mm512_and_si512(_mm512_srlv_epi64(text, _mm512_slli_epi64(_mm512_sub_epi64(len, one), 3)),
                       _mm512_set1_epi64(0xFF));
  const __mmask8 cr = _mm512_cmpeq_epi64_mask(last_byte, _mm512_set1_epi64('\r'));
  len = _mm512_mask_sub_epi64(len, cr, len, one);
  lanes &= static_cast<__mmask8>(~cr | _mm512_cmpge_epu64_mask(len, four));
  const __m512i last4 =
      _mm512_and_si512(_mm512_srlv_epi64(text, _mm512_slli_epi64(_mm512_sub_epi64(len, four), 3)),
                       _mm512_set1_epi64(0xFFFFFFFF));
  __m512i h = _mm512_xor_si512(_mm512_or_si512(last4, _mm512_slli_epi64(text, 32)), bitflip);
  h = _mm512_xor_si512(h, _mm512_xor_si512(_mm512_rol_epi64(h, 49), _mm512_rol_epi64(h, 24)));
  h = _mm512_mullo_epi64(h, multiplier);
  h = _mm512_xor_si512(h, _mm512_add_epi64(_mm512_srli_epi64(h, 35), len));
  h = _mm512_mullo_epi64(h, multiplier);
  h = _mm512_xor_si512(h, _mm512_srli_epi64(h, 28));
  _mm512_storeu_si512(hashes, h);
}

// The lines j + k for the bits k of `rest`, one at a time.
__attribute__((target(DRISK_LANES_TARGET), always_inline)) inline void hash_other_lines(
    const std::uint8_t* begin, const std::uint64_t* ends, std::size_t j, unsigned rest,
    std::uint64_t* hashes) noexcept {
  for (; rest != 0; rest &= rest - 1) {
    const std::size_t k = j + static_cast<std::size_t>(std::countr_zero(rest));
    const std::size_t line_start = ends[k - 1] + 1;
    std::size_t len = ends[k] - line_start;
    if (len > 0 && begin[ends[k] - 1] == '\r') {
      --len;
    }
    hashes[k] = XXH3_64bits(begin + line_start, len);
  }
}

using HashLines = void (*)(const std::uint8_t* begin, std::size_t size, const std::uint64_t* ends,
                           std::size_t count, std::uint64_t* hashes) noexcept;

// hashes[k] = the XXH3 hash of the line that ends at the newline ends[k],
// for k < count; ends[-1] is the newline before the first line (or -1).
// Each line's first eight bytes are gathered.
__attribute__((target(DRISK_LANES_TARGET))) void hash_lines_gather(const std::uint8_t* begin,
                                                                   std::size_t size,
                                                                   const std::uint64_t* ends,
                                                                   std::size_t count,
                                                                   std::uint64_t* hashes) noexcept {
  for (std::size_t j = 0; j < count; j += 8) {
    __m512i start;
    __m512i len;
    const __mmask8 lines = group_lines(j, count);
    __mmask8 lanes = short_lanes(size, ends, j, lines, start, len);
    if (lanes != 0) {
      const __m512i text =
          _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), lanes, start, begin, 1);
      hash_short_lanes(text, len, lanes, hashes + j);
    }
    hash_other_lines(begin, ends, j, lines & ~lanes, hashes);
  }
}

// The same, with the eight lines' bytes taken from the 128 bytes at the first
// one's start by one byte permutation (AVX-512 VBMI), when they lie there:
// cheaper than a gather's eight loads.
__attribute__((target(DRISK_LANES_TARGET ",avx512vbmi"))) void hash_lines_permute(
    const std::uint8_t* begin, std::size_t size, const std::uint64_t* ends, std::size_t count,
    std::uint64_t* hashes) noexcept {
  // Byte b of lane k picks byte b of lane k's offset from the first start.
  const __m512i spread = _mm512_set_epi64(0x0808080808080808, 0, 0x0808080808080808, 0,
                                          0x0808080808080808, 0, 0x0808080808080808, 0);
  const __m512i steps = _mm512_set1_epi64(0x0706050403020100);
  for (std::size_t j = 0; j < count; j += 8) {
    __m512i start;
    __m512i len;
    const __mmask8 lines = group_lines(j, count);
    __mmask8 lanes = short_lanes(size, ends, j, lines, start, len);
    if (lanes != 0) {
      const std::uint64_t first = ends[j - 1] + 1;
      const std::uint64_t last = ends[std::min(count, j + 8) - 2] + 1;
      __m512i text;
      if (last + 8 <= first + 128 && first + 128 <= size) {
        const __m512i offsets =
            _mm512_sub_epi64(start, _mm512_set1_epi64(static_cast<long long>(first)));
        const __m512i index = _mm512_add_epi8(_mm512_shuffle_epi8(offsets, spread), steps);
        text = _mm512_permutex2var_epi8(_mm512_loadu_si512(begin + first), index,
                                        _mm512_loadu_si512(begin + first + 64));
      } else {
        text = _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), lanes, start, begin, 1);
      }
      hash_short_lanes(text, len, lanes, hashes + j);
    }
    hash_other_lines(begin, ends, j, lines & ~lanes, hashes);
  }
}
#undef DRISK_LANES_TARGET

// A bit per byte of the 64 at `at`: whether it is a newline.
__attribute__((target("avx512f,avx512bw"))) inline std::uint64_t newline_mask(
    const std::uint8_t* at) noexcept {
  return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(reinterpret_cast<const void*>(at)),
                                _mm512_set1_epi8('\n'));
}

// The ends of the lines of the 64-byte blocks from `pos`, into ends[pending..),
// until at least LANE_BATCH are noted or the blocks run out; returns how many
// are noted and moves `pos` past the blocks read. Two versions: bit by bit
// from the mask, and (AVX-512 VBMI2) the newlines' offsets packed by one
// compress instruction.
using NoteEnds = std::size_t (*)(const std::uint8_t* begin, std::size_t& pos,
                                 std::size_t blocks_end, std::uint64_t* ends) noexcept;

__attribute__((target("avx512f,avx512bw,popcnt,bmi,bmi2"))) std::size_t note_ends_bits(
    const std::uint8_t* begin, std::size_t& pos, std::size_t blocks_end,
    std::uint64_t* ends) noexcept {
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
  return pending;
}

__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt"))) std::size_t
note_ends_compress(const std::uint8_t* begin, std::size_t& pos, std::size_t blocks_end,
                   std::uint64_t* ends) noexcept {
  const __m512i offsets = _mm512_set_epi8(
      63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41,
      40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
      17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  std::size_t pending = 0;
  for (; pos < blocks_end && pending < LANE_BATCH; pos += 64) {
    const std::uint64_t mask = newline_mask(begin + pos);
    const auto count = static_cast<std::size_t>(std::popcount(mask));
    const __m512i packed = _mm512_maskz_compress_epi8(mask, offsets);
    const __m512i base = _mm512_set1_epi64(static_cast<long long>(pos));
    std::uint64_t* const out = ends + pending;
    const __m128i low = _mm512_castsi512_si128(packed);
    _mm512_storeu_si512(out, _mm512_add_epi64(_mm512_cvtepu8_epi64(low), base));
    _mm512_storeu_si512(out + 8,
                        _mm512_add_epi64(_mm512_cvtepu8_epi64(_mm_srli_si128(low, 8)), base));
    if (count > 16) [[unlikely]] {
      alignas(64) std::uint8_t bytes[64];
      _mm512_store_si512(bytes, packed);
      for (std::size_t i = 16; i < count; ++i) {
        out[i] = pos + bytes[i];
      }
    }
    pending += count;
  }
  return pending;
}

}  // namespace

__attribute__((target("avx512f,avx512dq,avx512bw,popcnt,lzcnt,bmi,bmi2"))) std::size_t
add_lines_avx512(std::uint8_t* regs, unsigned p, std::span<const std::uint8_t> data,
                 bool final) noexcept {
  static const bool vbmi2 = cpu_features().avx512_vbmi2;
  const NoteEnds note_ends = vbmi2 ? note_ends_compress : note_ends_bits;
  const HashLines hash_lines = vbmi2 ? hash_lines_permute : hash_lines_gather;
  const std::uint8_t* const begin = data.data();
  const std::size_t size = data.size();
  const std::size_t blocks_end = size - size % 64;
  LineCursor cursor{regs, p, begin};
  // ends[-1] is the newline before the batch; ends[LANE_BATCH + 64) leaves
  // room for a block's 64 newlines after the batch is nearly full, and for
  // the unconditional eight or sixteen.
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
    const std::size_t pending = note_ends(begin, pos, blocks_end, ends);
    if (pending == 0) {
      continue;
    }
    hash_lines(begin, size, ends, pending, hashes);
    for (std::size_t k = 0; k < pending; ++k) {
      insert_hash(regs, p, hashes[k]);
    }
    cursor.lines += pending;
    cursor.line_start = ends[pending - 1] + 1;
    short_lines = ends[pending - 1] - ends[-1] <= pending * SHORT_LINE_BYTES;
  }
  return cursor.finish(pos, size, final);
}
#if defined(DRISK_GCC)
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
