// drisk: lines read through a Python function into sketches per key
// (line_groups.hpp), for `drisk count --by`.
#ifndef DRISK_LINE_GROUP_INPUTS_HPP
#define DRISK_LINE_GROUP_INPUTS_HPP

#include "call_frame.hpp"
#include "line_groups.hpp"

namespace drisk {

// What group_lines() gives back besides the groups.
struct LineGroupRequest {
  PyObject* read;     // read(memoryview) -> bytes written into it, 0 at the end
  unsigned p;         // checked
  double confidence;  // of the bounds; 0 for none
  bool sketches;      // pack each group's sketch too
};

// Reads every line that `read` gives, a buffer at a time: the buffer is
// lent to read() as a writable memoryview of a bytearray (released when it
// returns; a view read() keeps holds the bytearray, never our bytes), the
// lines it completes are taken with the lock released, and signals are
// looked at between reads. A line longer than the buffer grows it. Returns
// (keys, estimates, lower, upper, sketches, items, skipped): the groups in
// no particular order, the bounds None without a confidence, the packed
// sketches None unless asked for.
Expected<PyObject*> group_lines(const LineGroupRequest& request, const LineGroupChoice& choice);

}  // namespace drisk

#endif  // DRISK_LINE_GROUP_INPUTS_HPP
