// drisk: the sketch record, sketch arguments, new sketch objects, and giving
// up held access in a forked child.
#include "sketch_object.hpp"

#include <string>

namespace drisk {
namespace {

WriteOnce<PyTypeObject> TYPE_OBJECT;

// The holds of this module, newest first. Changed only under the
// interpreter lock.
HoldRecord* HOLDS = nullptr;

// The type check shared by both sketch conversions: exact type first, then
// subtypes.
bool is_sketch(PyObject* obj, PyTypeObject* type) noexcept {
  return Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type) != 0;
}

// Type check, then the access `take` grants on the flag; both failures carry
// the parameter's note.
template <class View, class Borrow>
Expected<View> extract_sketch_with(PyObject* obj, const char* param,
                                   Expected<Borrow> (*take)(BorrowFlag&), bool exclusive) {
  PyTypeObject* type = sketch_type();
  if (type == nullptr) {
    fail_invariant("the HyperLogLog type is not published");
  }
  if (!is_sketch(obj, type)) {
    return type_mismatch(obj, type).with_argument_note(param);
  }
  PyHyperLogLog* sketch = as_sketch(obj);
  Expected<Borrow> borrow = take(sketch->borrow_flag);
  if (!borrow) {
    return std::move(borrow).error().with_argument_note(param);
  }
  return View{HoldRecord(&sketch->borrow_flag, exclusive), std::move(*borrow), &sketch->core};
}

// os.register_at_fork(after_in_child=...) calls this in the child.
PyObject* after_fork_in_child(PyObject* /*module*/, PyObject* /*unused*/) {
  HoldRecord::reset_after_fork();
  return none_result();
}

PyMethodDef AFTER_FORK_DEF = {"_after_fork_in_child", after_fork_in_child, METH_NOARGS,
                              "Give up sketch access held by threads that are not in this "
                              "process."};

}  // namespace

PyTypeObject* sketch_type() noexcept { return TYPE_OBJECT.get(); }

PyTypeObject* publish_sketch_type(PyTypeObject* made) noexcept { return TYPE_OBJECT.fill(made); }

Status import_sketch_type(PyObject* module) {
  if (Status watched = watch_shutdown(); !watched) {
    return watched;
  }
  if (sketch_type() == nullptr) {
    PyRef drisk = PyRef::steal(PyImport_ImportModule("_drisk"));
    if (!drisk) {
      return PyErr::fetch();
    }
    PyRef type = PyRef::steal(PyObject_GetAttrString(drisk.get(), "HyperLogLog"));
    if (!type) {
      return PyErr::fetch();
    }
    if (!PyType_Check(type.get())) {
      return type_mismatch(type.get(), &PyType_Type);
    }
    publish_sketch_type(reinterpret_cast<PyTypeObject*>(type.release()));
  }
  PyRef reset = PyRef::steal(checked(PyCFunction_New(&AFTER_FORK_DEF, module)));
  PyRef os = PyRef::steal(PyImport_ImportModule("os"));
  if (!os) {
    return PyErr::fetch();
  }
  PyRef register_at_fork = PyRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
  if (!register_at_fork) {
    // A platform without fork has nothing to reset.
    PyErr_Clear();
    return success();
  }
  PyRef no_args = PyRef::steal(checked(PyTuple_New(0)));
  PyRef kwargs = PyRef::steal(checked(PyDict_New()));
  if (PyDict_SetItemString(kwargs.get(), "after_in_child", reset.get()) < 0) {
    return PyErr::fetch();
  }
  PyRef done = PyRef::steal(PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get()));
  if (!done) {
    return PyErr::fetch();
  }
  return success();
}

int exec_sketch_module(PyObject* module) {
  return trampoline([&]() -> Expected<int> {
    if (Status imported = import_sketch_type(module); !imported) {
      return std::move(imported).error();
    }
    return 0;
  });
}

// ---------------------------------------------------------------------------
// Hold records
// ---------------------------------------------------------------------------

HoldRecord::HoldRecord(BorrowFlag* flag, bool exclusive) noexcept
    : flag_(flag), exclusive_(exclusive), owner_(std::this_thread::get_id()) {
  link();
}

HoldRecord::HoldRecord(HoldRecord&& other) noexcept
    : flag_(other.flag_), exclusive_(other.exclusive_), owner_(other.owner_) {
  if (flag_ != nullptr) {
    // Take the other's place in the list.
    prev_ = other.prev_;
    next_ = other.next_;
    (prev_ != nullptr ? prev_->next_ : HOLDS) = this;
    if (next_ != nullptr) {
      next_->prev_ = this;
    }
    other.flag_ = nullptr;
    other.prev_ = other.next_ = nullptr;
  }
}

HoldRecord::~HoldRecord() {
  // A thread ended by a forced unwind during shutdown does not hold the
  // interpreter lock that guards the list; no fork can follow anyway.
  if (flag_ != nullptr && may_touch_objects()) {
    unlink();
  }
}

// The list holds the addresses of records on the holders' stacks; each
// record takes itself out before it goes (or is taken out by a fork).
#if defined(DRISK_GCC)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
void HoldRecord::link() noexcept {
  next_ = HOLDS;
  if (next_ != nullptr) {
    next_->prev_ = this;
  }
  HOLDS = this;
}
#if defined(DRISK_GCC)
#pragma GCC diagnostic pop
#endif

void HoldRecord::unlink() noexcept {
  (prev_ != nullptr ? prev_->next_ : HOLDS) = next_;
  if (next_ != nullptr) {
    next_->prev_ = prev_;
  }
  prev_ = next_ = nullptr;
  flag_ = nullptr;
}

void HoldRecord::reset_after_fork() noexcept {
  const std::thread::id self = std::this_thread::get_id();
  HoldRecord* record = HOLDS;
  while (record != nullptr) {
    HoldRecord* next = record->next_;
    if (record->owner_ != self) {
      // Its thread is not in this process and will never give it back.
      if (record->exclusive_) {
        record->flag_->store(0, std::memory_order_release);
      } else {
        record->flag_->fetch_sub(1, std::memory_order_release);
      }
      record->unlink();
    }
    record = next;
  }
}

Expected<SketchView> extract_sketch(PyObject* obj, const char* param) {
  return extract_sketch_with<SketchView, SharedBorrow>(obj, param, try_borrow, false);
}

Expected<MutableSketchView> extract_sketch_mut(PyObject* obj, const char* param) {
  return extract_sketch_with<MutableSketchView, ExclusiveBorrow>(obj, param, try_borrow_mut, true);
}

// ---------------------------------------------------------------------------
// New sketch objects
// ---------------------------------------------------------------------------

Expected<PyObject*> into_new_object(PyTypeObject* subtype) {
  auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  if (base_new == nullptr) {
    return type_error("base type without tp_new");
  }
  PyRef no_args = PyRef::steal(checked(PyTuple_New(0)));
  PyObject* obj = base_new(subtype, no_args.get(), nullptr);
  if (obj == nullptr) {
    return PyErr::fetch();
  }
  return obj;
}

PyObject* adopt_core(PyObject* obj, HyperLogLogCore&& core) noexcept {
  PyHyperLogLog* sketch = as_sketch(obj);
  new (&sketch->core) HyperLogLogCore(std::move(core));
  new (&sketch->borrow_flag) BorrowFlag(0);
  return obj;
}

Expected<PyObject*> create_class_object(HyperLogLogCore&& core) {
  PyTypeObject* type = sketch_type();
  if (type == nullptr) {
    fail_invariant("failed to create type object for `HyperLogLog`");
  }
  Expected<PyObject*> obj = into_new_object(type);
  if (!obj) {
    return obj;
  }
  return adopt_core(*obj, std::move(core));
}

}  // namespace drisk
