// drisk: splitting a buffer into lines, each absorbed as one item, on one
// thread or two.
#ifndef DRISK_LINES_HPP
#define DRISK_LINES_HPP

#include <cstddef>
#include <cstdint>
#include <span>

#include "cpu_features.hpp"
#include "sketch_core.hpp"

namespace drisk {

// Each line ends at "\n", which is not part of the item, nor is a "\r" right
// before it. With `final`, the bytes after the last "\n" (if any) are a last
// line too, less a trailing "\r"; without it they are left for the caller.
// Returns the number of lines absorbed. Allocates nothing.
std::size_t add_lines_portable(std::uint8_t* regs, unsigned p, std::span<const std::uint8_t> data,
                               bool final) noexcept;
#if DRISK_X86_KERNELS
// The same, finding newlines 64 bytes at a time with SSE2 compares.
std::size_t add_lines_sse2(std::uint8_t* regs, unsigned p, std::span<const std::uint8_t> data,
                           bool final) noexcept;
// The same, with lines of 4 to 8 bytes hashed eight at a time (AVX-512 F,
// DQ and BW; call it only on a CPU that has them).
std::size_t add_lines_avx512(std::uint8_t* regs, unsigned p, std::span<const std::uint8_t> data,
                             bool final) noexcept;
#endif

// Bytes of a buffer claimed at a time when two threads split its lines.
constexpr std::size_t SHARED_LINES_CHUNK = 512 * 1024;

// The bytes [start, stop) of the lines of data that start in [from, to),
// for the chunks of a shared pass: from just after the first newline at or
// after from - 1, to just after the first newline at or after to - 1 (or the
// end of data). False when no line starts there (a line that started
// earlier runs through the whole chunk).
bool lines_starting_in(std::span<const std::uint8_t> data, std::size_t from, std::size_t to,
                       std::size_t& start, std::size_t& stop) noexcept;

// core.add_lines(data, final), with the work shared with a helper thread
// (splitter.hpp) when `helper` is not null: the helper's lines go into
// *helper, a blank core of the same precision, which is then merged into
// core. The same lines, count and registers as one thread gives. A chunk
// takes the lines that start in it, so a line is never cut. Touches no
// Python object.
std::size_t add_lines_shared(HyperLogLogCore& core, HyperLogLogCore* helper,
                             std::span<const std::uint8_t> data, bool final) noexcept;

}  // namespace drisk

#endif  // DRISK_LINES_HPP
