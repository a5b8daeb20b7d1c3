// drisk: fields of a line, as cut and awk pick them.
//
// A line is split either at each occurrence of one delimiter byte (as
// `cut -d C` and `awk -F C` do: "a,,b" has three fields, the second empty)
// or, with no delimiter, at runs of blanks (space, tab), leading and trailing
// blanks ignored (as awk does by default). The item is the chosen fields
// joined with the delimiter (one space for runs of blanks), in ascending
// order of their numbers, as cut prints them. A line with fewer fields than
// the largest number chosen is no item: it is skipped and counted as such.
// An empty line has no fields at all, under either rule (awk's NF is 0).
//
// Two ways to the same item: FieldPicker::add() takes a whole line at once
// (the common case, no copy when one field is chosen), and the begin(),
// feed(), finish() sequence takes a line in pieces, for lines longer than a
// reader's buffer. tests/test_fields.py holds both to awk and cut.
#ifndef DRISK_FIELDS_HPP
#define DRISK_FIELDS_HPP

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "cpu_features.hpp"
#include "insert.hpp"
#include "sketch_core.hpp"

#if DRISK_X86_KERNELS
#include <immintrin.h>
#endif

namespace drisk {

// Enough for any key a person types on a command line.
constexpr std::size_t MAX_FIELDS = 16;
// No delimiter: fields are separated by runs of blanks.
constexpr int BLANK_RUNS = -1;

struct FieldChoice {
  std::array<std::uint32_t, MAX_FIELDS> numbers{};  // 1-based, ascending, distinct
  std::size_t count = 0;                            // 0: the whole line is the item
  int delimiter = BLANK_RUNS;                       // a byte value, or BLANK_RUNS

  bool whole_line() const noexcept { return count == 0; }
  std::uint8_t separator() const noexcept {
    return delimiter == BLANK_RUNS ? std::uint8_t{' '} : static_cast<std::uint8_t>(delimiter);
  }
};

constexpr bool is_blank(std::uint8_t byte) noexcept { return byte == ' ' || byte == '\t'; }

// The first byte at or after `pos` that ends a field (the delimiter, or a
// blank under BLANK_RUNS), or `size`. Fields are short: with SSE2 (part of
// every x86-64), 16 bytes are looked at per step, the scalar loop finishing
// what is left; the portable build has only the scalar loop. Inline: every
// field of every line passes here.
inline std::size_t field_end(const std::uint8_t* line, std::size_t pos, std::size_t size,
                             int delimiter) noexcept {
#if DRISK_X86_KERNELS
  const __m128i first = _mm_set1_epi8(static_cast<char>(delimiter == BLANK_RUNS ? ' ' : delimiter));
  const __m128i second =
      _mm_set1_epi8(static_cast<char>(delimiter == BLANK_RUNS ? '\t' : delimiter));
  for (; pos + 16 <= size; pos += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + pos));
    const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(bytes, first), _mm_cmpeq_epi8(bytes, second));
    if (const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits)); mask != 0) {
      return pos + static_cast<std::size_t>(std::countr_zero(mask));
    }
  }
#endif
  if (delimiter == BLANK_RUNS) {
    while (pos < size && !is_blank(line[pos])) {
      ++pos;
    }
    return pos;
  }
  const void* hit = std::memchr(line + pos, delimiter, size - pos);
  return hit == nullptr ? size
                        : static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - line);
}

struct FieldCounts {
  std::size_t items = 0;    // lines that had the fields, added
  std::size_t skipped = 0;  // lines without them
};

// The chosen fields of lines into registers. One per thread: it holds the
// buffer in which several fields are joined. Allocates nothing.
class FieldPicker {
 public:
  explicit FieldPicker(const FieldChoice& choice) noexcept : choice_(choice) {}
  FieldPicker(const FieldPicker&) = delete;
  FieldPicker& operator=(const FieldPicker&) = delete;

  // One line, without its ending: true if it had the fields and was added.
  bool add(std::uint8_t* regs, unsigned p, std::span<const std::uint8_t> line) noexcept;

  // One line in pieces: begin(), feed() each piece (the line's ending left
  // out), then finish(), which adds the item and returns true if the line had
  // the fields.
  void begin() noexcept;
  void feed(std::span<const std::uint8_t> piece) noexcept;
  bool finish(std::uint8_t* regs, unsigned p) noexcept;

 private:
  // The joined item: kept in buf_ while it fits, hashed in pieces after.
  void start_item() noexcept;
  void append(const std::uint8_t* data, std::size_t len) noexcept;
  std::uint64_t item_hash() noexcept;

  const FieldChoice& choice_;
  std::array<std::uint8_t, 512> buf_{};
  std::size_t used_ = 0;
  bool streaming_ = false;
  XXH3_state_t state_{};
  // Where a line given in pieces is: the field it is in (1-based; 0 before
  // the first under runs of blanks), whether that field is chosen, how many
  // chosen fields it has passed, and whether the last byte was a blank.
  std::uint32_t field_ = 0;
  std::size_t next_ = 0;
  bool in_blanks_ = true;
};

// The chosen fields of every line of `data` (line endings as add_lines takes
// them; with `final`, the bytes after the last newline are a line too).
FieldCounts add_field_lines(HyperLogLogCore& core, FieldPicker& picker,
                            std::span<const std::uint8_t> data, bool final) noexcept;

// The same with the work shared with a helper thread (see add_lines_shared);
// *helper is a blank core of the same precision, merged into core after.
FieldCounts add_field_lines_shared(HyperLogLogCore& core, HyperLogLogCore* helper,
                                   const FieldChoice& choice, std::span<const std::uint8_t> data,
                                   bool final) noexcept;

}  // namespace drisk

#endif  // DRISK_FIELDS_HPP
