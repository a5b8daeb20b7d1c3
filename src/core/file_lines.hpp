// drisk: the lines of a regular file, read with pread() by the calling
// thread and one helper.
//
// Never memory-mapped: a mapped file that another process truncates kills
// the reader with SIGBUS, and some files (/proc, /sys, some network file
// systems) cannot be mapped at all. The bytes [start, size) of the file are
// cut into blocks, which the two threads claim from one counter
// (splitter.hpp). A block takes the lines that start in it: it reads one byte
// before itself, to see whether a line starts at its first byte, and a little
// after, to finish its last line; a line that runs on past that is hashed
// piece by piece as further preads bring it (so a line longer than a block
// costs no memory, and gives the same item as update(line)). No state passes
// between blocks, so their order does not matter and nothing is stitched.
//
// The caller reads a file in regions of many blocks, one read_file_lines()
// call each, and between them takes back the interpreter lock, checks for
// signals and reports progress. A read that returns less than the size the
// file had at the start means that the file shrank meanwhile: the region
// stops with `shrank` set.
#ifndef DRISK_FILE_LINES_HPP
#define DRISK_FILE_LINES_HPP

#include <cstddef>
#include <cstdint>
#include <memory>

#include "fields.hpp"
#include "sketch_core.hpp"

namespace drisk {

// What to read: file offsets [start, size) of descriptor fd, in blocks of
// `block` bytes (at least 1).
struct FileSpan {
  int fd;
  std::uint64_t start;
  std::uint64_t size;
  std::size_t block;
};

// Bytes read past a block to finish its last line without a second pread:
// most lines are far shorter.
constexpr std::size_t LINE_TAIL_BYTES = 4096;

// One thread's share: its sketch core, its field picker and its buffer
// (block + 1 + tail bytes, allocated once by the caller).
class FileReader {
 public:
  FileReader(HyperLogLogCore& core, const FieldChoice& choice, const FileSpan& span);
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // The lines that start in the block [from, to) (file offsets). False when
  // the read stops: an error (`error` holds errno) or a file that shrank.
  bool read_block(std::uint64_t from, std::uint64_t to) noexcept;

  FieldCounts counts{};  // items (lines, or lines with the fields) and skipped lines
  int error = 0;
  bool shrank = false;

 private:
  // Reads [offset, offset + len) into buf_; false on a short read or error.
  bool read_exactly(std::uint64_t offset, std::size_t len) noexcept;
  void add_lines(std::span<const std::uint8_t> lines) noexcept;
  bool add_long_line(std::size_t from, std::size_t got, std::uint64_t next) noexcept;

  HyperLogLogCore& core_;
  const FieldChoice& choice_;
  FieldPicker picker_;
  const FileSpan& span_;
  std::size_t capacity_;
  std::unique_ptr<std::uint8_t[]> buf_;
};

struct RegionOutcome {
  bool helped;   // the helper read some blocks: merge its core
  bool stopped;  // an error or a shrunken file, in own or helper
};

// The lines that start in [from, to) (file offsets), on the calling thread
// with `own` and, when not null, a helper thread with *helper. Touches no
// Python object and cannot throw.
RegionOutcome read_file_lines(const FileSpan& span, std::uint64_t from, std::uint64_t to,
                              FileReader& own, FileReader* helper) noexcept;

}  // namespace drisk

#endif  // DRISK_FILE_LINES_HPP
