// drisk: line splitting. Both versions find the same newlines; they differ
// only in how: memchr from one newline to the next, or a bit mask of the
// newlines of 64 bytes at a time.
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
