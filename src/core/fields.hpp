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
#include <cstddef>
#include <cstdint>
#include <span>

#include "insert.hpp"
#include "sketch_core.hpp"

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
