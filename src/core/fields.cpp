// drisk: picking fields out of lines.
#include "fields.hpp"

#include <cstring>

#include "lines.hpp"
#include "splitter.hpp"

namespace drisk {
namespace {

constexpr bool is_blank(std::uint8_t byte) noexcept { return byte == ' ' || byte == '\t'; }

}  // namespace

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
      end = start;
      while (end < size && !is_blank(begin[end])) {
        ++end;
      }
    } else if (const void* hit = std::memchr(begin + start, separator, size - start)) {
      end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - begin);
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
  std::size_t pos = 0;
  while (pos < size) {
    const void* hit = std::memchr(begin + pos, '\n', size - pos);
    if (hit == nullptr) {
      break;
    }
    const auto newline = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - begin);
    line(pos, newline);
    pos = newline + 1;
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
  const std::uint8_t* const begin = data.data();
  const std::size_t size = data.size();
  // As in add_lines_shared: a chunk takes the lines that start in it.
  const auto lines_starting_in = [&](Share& share, std::size_t from, std::size_t to) noexcept {
    std::size_t start = 0;
    if (from > 0) {
      const void* newline = std::memchr(begin + from - 1, '\n', to - from + 1);
      if (newline == nullptr) {
        return true;
      }
      start = static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - begin) + 1;
      if (start >= to) {
        return true;
      }
    }
    std::size_t stop = size;
    if (to < size) {
      if (const void* newline = std::memchr(begin + to - 1, '\n', size - to + 1)) {
        stop = static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - begin) + 1;
      }
    }
    const FieldCounts counts = add_field_lines(
        *share.core, share.picker, data.subspan(start, stop - start), stop < size || final);
    share.counts.items += counts.items;
    share.counts.skipped += counts.skipped;
    return true;
  };
  Share own{&core, FieldPicker(choice)};
  Share helped{helper, FieldPicker(choice)};
  const SplitOutcome outcome = share_work(size, SHARED_LINES_CHUNK, own,
                                          helper != nullptr ? &helped : nullptr, lines_starting_in);
  if (outcome.helped) {
    core.merge_same_precision(*helper);
  }
  return {own.counts.items + helped.counts.items, own.counts.skipped + helped.counts.skipped};
}

}  // namespace drisk
