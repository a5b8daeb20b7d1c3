// drisk: the lines of a regular file, block by block.
#include "file_lines.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "insert.hpp"
#include "platform.hpp"
#include "splitter.hpp"

namespace drisk {

FileReader::FileReader(HyperLogLogCore& core, const FieldChoice& choice, const FileSpan& span)
    : core_(core),
      choice_(choice),
      picker_(choice),
      span_(span),
      capacity_(span.block + 1 + std::min(span.block, LINE_TAIL_BYTES)),
      buf_(new std::uint8_t[capacity_]) {}

bool FileReader::read_exactly(std::uint64_t offset, std::size_t len) noexcept {
  std::size_t done = 0;
  while (done < len) {
    const std::int64_t got = read_at(span_.fd, buf_.get() + done, len - done, offset + done);
    if (got < 0) {
      if (errno == EINTR) {
        continue;  // signals are looked at between regions
      }
      error = errno;
      return false;
    }
    if (got == 0) {
      shrank = true;  // the file ends before the size it had at the start
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

void FileReader::add_lines(std::span<const std::uint8_t> lines) noexcept {
  // Every line here ends with a newline or at the end of the file: final.
  if (choice_.whole_line()) {
    counts.items += core_.add_lines(lines, true);
    return;
  }
  const FieldCounts added = add_field_lines(core_, picker_, lines, true);
  counts.items += added.items;
  counts.skipped += added.skipped;
}

bool FileReader::read_block(std::uint64_t from, std::uint64_t to) noexcept {
  const std::uint8_t* const buf = buf_.get();
  // One byte before the block tells whether a line starts at `from`.
  const std::uint64_t read_from = from > span_.start ? from - 1 : from;
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(span_.size, to + capacity_ - span_.block - 1) - read_from);
  if (!read_exactly(read_from, want)) {
    return false;
  }
  const auto cut = static_cast<std::size_t>(to - read_from);  // lines start before this
  std::size_t first = 0;
  if (read_from < from) {
    const void* newline = std::memchr(buf, '\n', cut);
    if (newline == nullptr) {
      return true;  // inside a line that started in an earlier block
    }
    first = static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - buf) + 1;
    if (first >= cut) {
      return true;
    }
  }
  // The last line starting in the block begins after the last newline before
  // `cut`.
  std::size_t last = first;
  if (const void* newline = find_last_byte(buf + first, '\n', cut - first)) {
    last = static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - buf) + 1;
  }
  if (last >= cut) {
    add_lines({buf + first, last - first});  // the block ends with a newline
    return true;
  }
  if (const void* newline = std::memchr(buf + last, '\n', want - last)) {
    const auto end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - buf) + 1;
    add_lines({buf + first, end - first});
    return true;
  }
  if (read_from + want == span_.size) {
    add_lines({buf + first, want - first});  // the last line of the file
    return true;
  }
  add_lines({buf + first, last - first});
  return add_long_line(last, want, read_from + want);
}

// The line starting at buf_[from], which runs past buf_[got) (file offset
// `next`) without a newline: hashed piece by piece. Its ending is left out
// as add_lines leaves it out, even when its "\r" and "\n" come in different
// reads; a "\r" right before the end of the file goes too.
bool FileReader::add_long_line(std::size_t from, std::size_t got, std::uint64_t next) noexcept {
  const std::uint8_t* const buf = buf_.get();
  const bool whole = choice_.whole_line();
  ItemHasher hasher;
  const auto feed = [&](const std::uint8_t* data, std::size_t len) noexcept {
    if (whole) {
      hasher.update(data, len);
    } else {
      picker_.feed({data, len});
    }
  };
  if (!whole) {
    picker_.begin();
  }
  static constexpr std::uint8_t CR = '\r';
  std::size_t begin = from;  // buf_[begin, got): a piece without a newline
  bool held_cr = false;      // a "\r" held back from the previous piece
  while (true) {
    if (got > begin) {
      if (held_cr) {
        feed(&CR, 1);
      }
      held_cr = buf[got - 1] == '\r';
      feed(buf + begin, got - begin - (held_cr ? 1 : 0));
    }
    if (next >= span_.size) {
      break;  // the end of the file ends the line; a held "\r" goes
    }
    const auto len = static_cast<std::size_t>(
        std::min<std::uint64_t>(span_.size - next, static_cast<std::uint64_t>(capacity_)));
    if (!read_exactly(next, len)) {
      return false;
    }
    next += len;
    begin = 0;
    got = len;
    if (const void* newline = std::memchr(buf, '\n', len)) {
      const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - buf);
      if (at > 0) {
        if (held_cr) {
          feed(&CR, 1);
        }
        feed(buf, at - (buf[at - 1] == '\r' ? 1 : 0));
      }
      break;
    }
  }
  if (whole) {
    core_.add_hash(hasher.digest());
    ++counts.items;
  } else if (picker_.finish(core_.mutable_registers(), core_.precision())) {
    ++counts.items;
  } else {
    ++counts.skipped;
  }
  return true;
}

RegionOutcome read_file_lines(const FileSpan& span, std::uint64_t from, std::uint64_t to,
                              FileReader& own, FileReader* helper) noexcept {
  // Without a helper, share_work hands over the whole region at once.
  const auto block = [from, &span](FileReader& reader, std::size_t begin,
                                   std::size_t end) noexcept {
    for (std::size_t at = begin; at < end; at += span.block) {
      if (!reader.read_block(from + at, from + std::min(end, at + span.block))) {
        return false;
      }
    }
    return true;
  };
  const SplitOutcome outcome =
      share_work(static_cast<std::size_t>(to - from), span.block, own, helper, block);
  return {outcome.helped, outcome.stopped};
}

}  // namespace drisk
