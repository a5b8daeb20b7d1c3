// drisk: fields of buffered lines, and the lines (or fields) of a regular
// file read in C++.
#ifndef DRISK_FILE_INPUTS_HPP
#define DRISK_FILE_INPUTS_HPP

#include <cstddef>
#include <cstdint>

#include "call_frame.hpp"
#include "fields.hpp"

namespace drisk {

// The field choice from Python: `fields` a tuple of field numbers (empty for
// whole lines), `delimiter` a byte value or -1 for runs of blanks.
Expected<FieldChoice> extract_field_choice(PyObject* fields, PyObject* delimiter);

// The chosen fields of every line of the bytes-like `buffer`.
Expected<FieldCounts> absorb_buffer_fields(HyperLogLogCore& core, PyObject* buffer,
                                           const FieldChoice& choice, bool final);

// The chosen fields of one line given as bytes-like parts (its ending left
// out); true if the line had them and was added.
Expected<bool> absorb_joined_fields(HyperLogLogCore& core, PyObject* parts,
                                    const FieldChoice& choice);

// How a regular file is read: from `start` to `size`, in blocks, regions of
// `region` bytes between which the lock is taken back, signals are checked
// and progress(bytes) is called (progress may be None).
struct RegularRead {
  int fd;
  std::uint64_t start;
  std::uint64_t size;
  std::size_t block;
  std::uint64_t region;
  bool helper;  // share the work with a helper thread
  PyObject* progress;
};

struct RegularCounts {
  FieldCounts counts;
  bool shrank;  // the file ended early: the counts are incomplete
  bool helped;  // a helper thread took part
};

// The lines (or their chosen fields) of a regular file, into `core`; an
// error or interrupt part-way leaves core partly filled, so callers pass a
// scratch core.
Expected<RegularCounts> absorb_regular_file(HyperLogLogCore& core, const RegularRead& read,
                                            const FieldChoice& choice);

}  // namespace drisk

#endif  // DRISK_FILE_INPUTS_HPP
