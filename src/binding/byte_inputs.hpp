// drisk: bytes-like inputs absorbed into a sketch: a buffer's lines
// (update_lines) and one item given in parts (update_joined).
#ifndef DRISK_BYTE_INPUTS_HPP
#define DRISK_BYTE_INPUTS_HPP

#include <cstddef>
#include <cstdint>
#include <span>

#include "buffer.hpp"
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

// Calls feed(bytes) with the bytes of each bytes-like part of the iterable
// `parts`, in order. Parts, views and the iterator are let go in the normal
// flow: each may run Python code (see PyRef::reset). On a failure, the
// parts after it are not read.
template <class Feed>
Status for_each_part(PyObject* parts, Feed&& feed) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(parts));
  if (!iterator) {
    return fetch_for("parts");
  }
  Status read = success();
  while (PyRef part = PyRef::steal(PyIter_Next(iterator.get()))) {
    BufferView view;
    if (!view.acquire(part.get())) {
      read = fetch_for("parts");
      part.reset();
      break;
    }
    feed(view.bytes());
    view.release();
    part.reset();
  }
  if (read && PyErr_Occurred() != nullptr) {
    read = fetch_for("parts");
  }
  iterator.reset();
  return read;
}

// Absorbs one item: the bytes-like parts of the iterable `parts` joined,
// hashed as they come, so an item longer than memory costs no memory. A
// failure leaves the sketch as it was.
Status absorb_joined(HyperLogLogCore& core, PyObject* parts);

}  // namespace drisk

#endif  // DRISK_BYTE_INPUTS_HPP
