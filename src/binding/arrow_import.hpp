// drisk: taking Arrow data from Python objects through the Arrow PyCapsule
// interface (__arrow_c_stream__, __arrow_c_array__).
//
// The exported structures are moved out of their capsules into owners that
// release them on every way out; the producer's capsules then hold released
// structures and do nothing when they go.
#ifndef DRISK_ARROW_IMPORT_HPP
#define DRISK_ARROW_IMPORT_HPP

#include "call_frame.hpp"
#include "columns/arrow_abi.hpp"
#include "columns/value_kinds.hpp"

namespace drisk {

// What an exporter handed over: a stream with its schema, or one array with
// its schema.
struct ImportedArrow {
  OwnedSchema schema;
  OwnedStream stream;
  OwnedArray array;
  bool is_stream = false;
};

// Whether `data` exports Arrow data at all (has either method). Never fails.
bool exports_arrow(PyObject* data) noexcept;

// Imports `data`, preferring the stream; `param` names the argument in the
// errors.
Status import_arrow(PyObject* data, const char* param, ImportedArrow& out);

// The next array of an imported stream into `out` (not held at the end of
// the stream), or of an imported array (given once).
Status next_array(ImportedArrow& imported, OwnedArray& out, bool& first);

// The failures of Arrow reading, raised as Python exceptions.
[[gnu::cold, gnu::noinline]] PyErr column_error(ColumnError error);
[[gnu::cold, gnu::noinline]] PyErr array_fault(ArrayFault fault);

}  // namespace drisk

#endif  // DRISK_ARROW_IMPORT_HPP
