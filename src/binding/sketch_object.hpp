// drisk: the sketch object as every extension module of the package sees it.
//
// _drisk defines the HyperLogLog type; the other modules (bulk ingestion,
// estimators, the packed form, ...) take sketches as arguments and make new
// ones. They share this record layout, the argument conversions and object
// creation, against the one HyperLogLog type of the process: _drisk
// publishes the type it creates, and every other module imports it from
// _drisk when it is executed.
#ifndef DRISK_SKETCH_OBJECT_HPP
#define DRISK_SKETCH_OBJECT_HPP

#include <thread>

#include "call_frame.hpp"

namespace drisk {

// The record of a HyperLogLog object. The core and the flag are constructed in
// place once the interpreter has allocated (and zero-filled) the record.
struct PyHyperLogLog {
  PyObject ob_base;
  HyperLogLogCore core;
  BorrowFlag borrow_flag;
};

inline PyHyperLogLog* as_sketch(PyObject* obj) noexcept {
  return reinterpret_cast<PyHyperLogLog*>(obj);
}

// The HyperLogLog type of the process, or null before it is published.
PyTypeObject* sketch_type() noexcept;

// Publishes a newly made type (a new reference); the first one wins and is
// returned.
PyTypeObject* publish_sketch_type(PyTypeObject* made) noexcept;

// For modules other than _drisk, at execution: imports _drisk.HyperLogLog and
// publishes it, and arranges for held access to be given up in a forked child
// (see HoldRecord).
Status import_sketch_type(PyObject* module);

// The Py_mod_exec step of a module whose only setup is the above.
int exec_sketch_module(PyObject* module);

// ---------------------------------------------------------------------------
// Access held across Python code
// ---------------------------------------------------------------------------

// The bulk functions hold a sketch while they run Python code (an iterator's
// __next__, a finalizer) or run with the interpreter lock released; in
// either case another thread may call os.fork(). The child has only the
// forking thread, so access held by any other thread would never be given
// back there. Each such hold is recorded in a list (changed only under the
// interpreter lock), and after a fork the child gives up every hold whose
// thread is not the forking one.
class HoldRecord {
 public:
  HoldRecord() noexcept = default;
  HoldRecord(BorrowFlag* flag, bool exclusive) noexcept;
  HoldRecord(HoldRecord&& other) noexcept;
  HoldRecord& operator=(HoldRecord&&) = delete;
  ~HoldRecord();

  // After fork, in the child: true when the access was given up there, so
  // the guard must not give it up a second time.
  bool orphaned() const noexcept { return flag_ == nullptr; }

  static void reset_after_fork() noexcept;

 private:
  void link() noexcept;
  void unlink() noexcept;

  BorrowFlag* flag_ = nullptr;
  bool exclusive_ = false;
  std::thread::id owner_{};
  HoldRecord* prev_ = nullptr;
  HoldRecord* next_ = nullptr;
};

// Another sketch, held under shared access for as long as the view lives.
struct SketchView {
  HoldRecord record;
  SharedBorrow borrow;
  const HyperLogLogCore* core;
};

// Another sketch, held under exclusive access for as long as the view lives.
struct MutableSketchView {
  HoldRecord record;
  ExclusiveBorrow borrow;
  HyperLogLogCore* core;
};

// A sketch argument (an instance of the process's HyperLogLog type), held
// shared or exclusive. A wrong type is a TypeError, a conflict the flag's
// RuntimeError; both carry the note "while processing '<param>'".
Expected<SketchView> extract_sketch(PyObject* obj, const char* param);
Expected<MutableSketchView> extract_sketch_mut(PyObject* obj, const char* param);

// ---------------------------------------------------------------------------
// New sketch objects
// ---------------------------------------------------------------------------

// object.__new__(subtype): a zero-filled record holding a reference to its
// type, from the allocator the type inherits.
Expected<PyObject*> into_new_object(PyTypeObject* subtype);

// Moves a core into a fresh record with a free access flag.
PyObject* adopt_core(PyObject* obj, HyperLogLogCore&& core) noexcept;

// A new HyperLogLog owning `core`. On failure the core's storage is released
// with it.
Expected<PyObject*> create_class_object(HyperLogLogCore&& core);

}  // namespace drisk

#endif  // DRISK_SKETCH_OBJECT_HPP
