// drisk: splitting a buffer into lines, each absorbed as one item.
#ifndef DRISK_LINES_HPP
#define DRISK_LINES_HPP

#include <cstddef>
#include <cstdint>
#include <span>

#include "cpu_features.hpp"

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
#endif

}  // namespace drisk

#endif  // DRISK_LINES_HPP
