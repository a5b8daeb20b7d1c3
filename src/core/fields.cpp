// drisk: picking fields out of lines.
#include "fields.hpp"

#include <bit>
#include <cstring>

#include "lines.hpp"
#include "splitter.hpp"

#if DRISK_X86_KERNELS
#include <immintrin.h>
#endif

namespace drisk {

void FieldPicker::start_item() noexcept {
  used_ = 0;
  streaming_ = false;
}

void FieldPicker::append(const std::uint8_t* data, std::size_t len) noexcept {
  if (!streaming_) {
    if (used_ + len <= buf_.size()) {
      std::memcpy(buf_.data() + used_, data, len);
      used_ += len;
      return;
    }
    // Too long to join in place: hash what is joined so far, and the rest as
    // it comes (the same hash, see ItemHasher).
    (void)XXH3_64bits_reset(&state_);
    (void)XXH3_64bits_update(&state_, buf_.data(), used_);
    streaming_ = true;
  }
  (void)XXH3_64bits_update(&state_, data, len);
}

std::uint64_t FieldPicker::item_hash() noexcept {
  return streaming_ ? XXH3_64bits_digest(&state_) : XXH3_64bits(buf_.data(), used_);
}

bool FieldPicker::add(std::uint8_t* regs, unsigned p, std::span<const std::uint8_t> line) noexcept {
  const std::uint8_t* const begin = line.data();
  const std::size_t size = line.size();
  const std::uint8_t separator = choice_.separator();
  const bool single = choice_.count == 1;
  std::size_t next = 0;  // chosen fields found so far
  std::uint32_t field = 0;
  std::size_t pos = 0;
  if (!single) {
    start_item();
  }
  if (size == 0) {
    return false;
  }
  while (true) {
    std::size_t start = pos;
    std::size_t end = size;
    if (choice_.delimiter == BLANK_RUNS) {
      while (start < size && is_blank(begin[start])) {
        ++start;
      }
      if (start == size) {
        return false;  // no field left
      }
      end = field_end(begin, start, size, BLANK_RUNS);
    } else {
      end = field_end(begin, start, size, choice_.delimiter);
    }
    ++field;
    if (field == choice_.numbers[next]) {
      if (single) {
        insert(regs, p, begin + start, end - start);
        return true;
      }
      if (next > 0) {
        append(&separator, 1);
      }
      append(begin + start, end - start);
      if (++next == choice_.count) {
        insert_hash(regs, p, item_hash());
        return true;
      }
    }
    if (end == size) {
      return false;  // the line ended before the last chosen field
    }
    pos = end + 1;
  }
}

void FieldPicker::begin() noexcept {
  start_item();
  field_ = choice_.delimiter == BLANK_RUNS ? 0 : 1;
  next_ = 0;
  in_blanks_ = true;
}

void FieldPicker::feed(std::span<const std::uint8_t> piece) noexcept {
  const std::uint8_t separator = choice_.separator();
  for (const std::uint8_t byte : piece) {
    if (next_ == choice_.count) {
      return;  // every chosen field is complete
    }
    if (choice_.delimiter == BLANK_RUNS) {
      if (is_blank(byte)) {
        if (!in_blanks_ && field_ == choice_.numbers[next_]) {
          ++next_;
        }
        in_blanks_ = true;
        continue;
      }
      if (in_blanks_) {
        in_blanks_ = false;
        ++field_;
        if (field_ == choice_.numbers[next_] && next_ > 0) {
          append(&separator, 1);
        }
      }
    } else {
      in_blanks_ = false;  // here: the line is not empty
      if (byte == separator) {
        if (field_ == choice_.numbers[next_]) {
          ++next_;
        }
        ++field_;
        if (next_ < choice_.count && field_ == choice_.numbers[next_] && next_ > 0) {
          append(&separator, 1);
        }
        continue;
      }
    }
    if (field_ == choice_.numbers[next_]) {
      append(&byte, 1);
    }
  }
}

bool FieldPicker::finish(std::uint8_t* regs, unsigned p) noexcept {
  // The end of the line ends the field it is in.
  if (next_ < choice_.count && !in_blanks_ && field_ == choice_.numbers[next_]) {
    ++next_;
  }
  if (next_ < choice_.count) {
    return false;
  }
  insert_hash(regs, p, item_hash());
  return true;
}

FieldCounts add_field_lines(HyperLogLogCore& core, FieldPicker& picker,
                            std::span<const std::uint8_t> data, bool final) noexcept {
  std::uint8_t* const regs = core.mutable_registers();
  const unsigned p = core.precision();
  const std::uint8_t* const begin = data.data();
  const std::size_t size = data.size();
  FieldCounts counts;
  const auto line = [&](std::size_t start, std::size_t end) noexcept {
    if (end > start && begin[end - 1] == '\r') {
      --end;
    }
    if (picker.add(regs, p, data.subspan(start, end - start))) {
      ++counts.items;
    } else {
      ++counts.skipped;
    }
  };
  std::size_t pos = 0;   // where the current line starts
  std::size_t scan = 0;  // where the search for newlines goes on
#if DRISK_X86_KERNELS
  // As add_lines_sse2: a bit mask of the newlines of 64 bytes at a time.
  const __m128i newline = _mm_set1_epi8('\n');
  for (; scan + 64 <= size; scan += 64) {
    std::uint64_t mask = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128i bytes =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + scan + 16 * k));
      const auto bits =
          static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
      mask |= static_cast<std::uint64_t>(bits) << (16 * k);
    }
    while (mask != 0) {
      const std::size_t at = scan + static_cast<std::size_t>(std::countr_zero(mask));
      line(pos, at);
      pos = at + 1;
      mask &= mask - 1;
    }
  }
#endif
  while (scan < size) {
    const void* hit = std::memchr(begin + scan, '\n', size - scan);
    if (hit == nullptr) {
      break;
    }
    const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - begin);
    line(pos, at);
    pos = scan = at + 1;
  }
  if (final && pos < size) {
    line(pos, size);
  }
  return counts;
}

FieldCounts add_field_lines_shared(HyperLogLogCore& core, HyperLogLogCore* helper,
                                   const FieldChoice& choice, std::span<const std::uint8_t> data,
                                   bool final) noexcept {
  struct Share {
    HyperLogLogCore* core;
    FieldPicker picker;
    FieldCounts counts{};
  };
  const std::size_t size = data.size();
  // As in add_lines_shared: a chunk takes the lines that start in it.
  const auto chunk = [&](Share& share, std::size_t from, std::size_t to) noexcept {
    std::size_t start = 0;
    std::size_t stop = 0;
    if (!lines_starting_in(data, from, to, start, stop)) {
      return true;
    }
    const FieldCounts counts = add_field_lines(
        *share.core, share.picker, data.subspan(start, stop - start), stop < size || final);
    share.counts.items += counts.items;
    share.counts.skipped += counts.skipped;
    return true;
  };
  Share own{&core, FieldPicker(choice)};
  Share helped{helper, FieldPicker(choice)};
  const SplitOutcome outcome =
      share_work(size, SHARED_LINES_CHUNK, own, helper != nullptr ? &helped : nullptr, chunk);
  if (outcome.helped) {
    core.merge_same_precision(*helper);
  }
  return {own.counts.items + helped.counts.items, own.counts.skipped + helped.counts.skipped};
}

}  // namespace drisk
