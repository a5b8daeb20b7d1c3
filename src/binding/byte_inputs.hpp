// drisk: bytes-like inputs absorbed into a sketch: a buffer's lines
// (update_lines) and one item given in parts (update_joined).
#ifndef DRISK_BYTE_INPUTS_HPP
#define DRISK_BYTE_INPUTS_HPP

#include <cstddef>

#include "call_frame.hpp"

namespace drisk {

// Buffers at least this large are absorbed with the interpreter lock
// released, so other threads (feeding other sketches) run meanwhile.
inline constexpr std::size_t RELEASE_GIL_BYTES = 256 * 1024;

// Buffers at least this large are split between two cores (splitter.hpp),
// when the process may use two.
inline constexpr std::size_t SPLIT_BYTES = 4 * 1024 * 1024;

// Absorbs every line of the bytes-like `buffer` (see add_lines); returns how
// many. Without `final`, the bytes after the last newline are left.
Expected<std::size_t> absorb_buffer_lines(HyperLogLogCore& core, PyObject* buffer, bool final);

// Absorbs one item: the bytes-like parts of the iterable `parts` joined,
// hashed as they come, so an item longer than memory costs no memory. A
// failure leaves the sketch as it was.
Status absorb_joined(HyperLogLogCore& core, PyObject* parts);

}  // namespace drisk

#endif  // DRISK_BYTE_INPUTS_HPP
