// drisk: the call frame between the interpreter and the sketch core.
//
// Every call from Python passes through here: argument binding
// (FunctionDescription), conversion of each argument, the per-object access
// flag, conversion of results, and the mapping of every failure to exactly one
// Python exception. Failures travel as values (PyErr inside Expected) up to the
// entry point; internal invariant failures travel as the one C++ exception type
// InvariantFailure and are caught only by the entry barrier (trampoline), which
// turns them into PanicException. No C++ exception ever reaches the
// interpreter.
//
// One thing does pass through the barrier on purpose: a thread's forced
// unwind (abi::__forced_unwind). CPython ends a daemon thread that tries to
// take the interpreter lock back during shutdown with pthread_exit(), which
// unwinds the thread's stack, our frames included; swallowing that unwind
// aborts the process. The entry points and the barrier are therefore not
// declared noexcept (a noexcept frame would turn the unwind into
// std::terminate), and nothing here holds the interpreter lock in a
// destructor's hands: the lock is given back and taken again in the normal
// flow of without_gil() (buffer.hpp). References still held when a thread is
// ended this way are left alone rather than released without the lock.
#ifndef DRISK_CALL_FRAME_HPP
#define DRISK_CALL_FRAME_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "platform.hpp"

#if defined(DRISK_FORCED_UNWIND)
#include <cxxabi.h>
#endif

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "sketch_core.hpp"

// A forced unwind carries no C++ object: the reference a handler binds to it
// is null, which UBSan reports. Functions that catch it (only to rethrow)
// are exempt from that one check.
#if defined(DRISK_GCC)
#define DRISK_FORCED_UNWIND_CATCH __attribute__((no_sanitize("null")))
#else
#define DRISK_FORCED_UNWIND_CATCH
#endif

namespace drisk {

// ---------------------------------------------------------------------------
// Owned references
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Shutdown
// ---------------------------------------------------------------------------

namespace detail {
bool on_shutdown_thread() noexcept;
}  // namespace detail

// Whether this thread may touch Python objects. Always while the interpreter
// runs; during shutdown only on the thread that shuts it down, which holds
// the interpreter lock throughout (finalizers run there). Any other thread
// still running drisk code then is being ended by a forced unwind, without
// the lock and possibly after the interpreter is gone: it must leave objects
// alone, as CPython's own frames do when such a thread ends.
inline bool may_touch_objects() noexcept {
  return Py_IsInitialized() || detail::on_shutdown_thread();
}

// Drops one reference, unless this thread may not touch objects (see above).
inline void release_reference(PyObject* obj) noexcept {
  if (obj != nullptr && may_touch_objects()) {
    Py_DECREF(obj);
  }
}

// A move-only owner of one strong reference (or of nothing).
class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(PyRef&& other) noexcept : ptr_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(ptr_, other.release());
    Py_XDECREF(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { release_reference(ptr_); }

  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* ptr) noexcept { return PyRef(ptr); }
  // Adds a reference to a borrowed one.
  static PyRef borrow(PyObject* ptr) noexcept {
    Py_XINCREF(ptr);
    return PyRef(ptr);
  }

  PyObject* get() const noexcept { return ptr_; }
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  // Drops the reference now, in the normal flow of the caller. Use it where
  // dropping may run Python code (a finalizer, a generator's cleanup): if the
  // thread is ended meanwhile, the forced unwind must not start in a
  // destructor.
  void reset() {
    PyObject* old = release();
    if (old != nullptr && may_touch_objects()) {
      Py_DECREF(old);
    }
  }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  explicit PyRef(PyObject* ptr) noexcept : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

// ---------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------

// An internal invariant failure: something that cannot be reported as a
// value, such as the interpreter handing back a null object. Thrown only
// through fail_invariant(); caught only by the entry barrier.
struct InvariantFailure {
  std::string message;  // empty: the barrier's default text
};

[[noreturn]] void fail_invariant(std::string message);

// The interpreter returned null for a result or auxiliary object: report any
// pending exception as unraisable, then fail with "PyObject pointer is null".
[[noreturn]] void fail_null_object();

// Returns obj, or fails with fail_null_object() when it is null.
inline PyObject* checked(PyObject* obj) {
  if (obj == nullptr) {
    fail_null_object();
  }
  return obj;
}

// One Python exception on its way to the interpreter. Either fetched from the
// interpreter (type, value, traceback, unchanged) or described (a type and a
// message, instantiated only when raised or annotated). The state lives on the
// heap so that Expected stays two words wide on the success path.
class PyErr {
 public:
  // The exception pending in the interpreter, cleared from it. With none
  // pending: SystemError "attempted to fetch exception but none was set". A
  // PanicException coming back from Python code is reported and rethrown as an
  // InvariantFailure.
  static PyErr fetch();

  // A described failure of the given (static) exception type.
  static PyErr described(PyObject* type, std::string message);
  // A described failure raised with no argument at all.
  static PyErr described_without_argument(PyObject* type);

  // Instantiates the exception and adds "while processing '<param>'" to its
  // notes through add_note; a failing add_note is dropped.
  PyErr with_argument_note(const char* param) &&;

  // Instantiates this exception and sets `cause` (instantiated too) as its
  // __cause__.
  PyErr caused_by(PyErr cause) &&;

  // True when the exception is an instance of `type` (or a subclass).
  bool matches(PyObject* type) const noexcept;

  // Sets the exception in the interpreter. May throw InvariantFailure when the
  // message object cannot be created.
  void restore() &&;

 private:
  struct State;
  explicit PyErr(std::unique_ptr<State> state) noexcept;

 public:
  PyErr(PyErr&&) noexcept;
  PyErr& operator=(PyErr&&) noexcept;
  ~PyErr();

 private:
  void normalize();
  std::unique_ptr<State> state_;
};

// The exception pending in the interpreter, with the note
// "while processing '<param>'"; a KeyboardInterrupt (Ctrl-C while Python code
// ran for the conversion) passes as it is.
[[gnu::cold, gnu::noinline]] PyErr fetch_for(const char* param);

// Cold constructors of the common described failures.
[[gnu::cold, gnu::noinline]] PyErr type_error(std::string message);
[[gnu::cold, gnu::noinline]] PyErr value_error(std::string message);
[[gnu::cold, gnu::noinline]] PyErr runtime_error(std::string message);
[[gnu::cold, gnu::noinline]] PyErr overflow_error(std::string message);

// The type-mismatch TypeError: "'<qualname of type(value)>' object is not an
// instance of '<qualname of target>'", or "'None' is not an instance of ...".
[[gnu::cold, gnu::noinline]] PyErr type_mismatch(PyObject* value, PyTypeObject* target);

// A value of type T, or the PyErr that stopped it.
template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) noexcept(std::is_nothrow_move_constructible_v<T>)
      : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(PyErr error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const noexcept { return state_.index() == 0; }
  T& operator*() noexcept { return *std::get_if<0>(&state_); }
  T* operator->() noexcept { return std::get_if<0>(&state_); }
  PyErr&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, PyErr> state_;
};

using Status = Expected<std::monostate>;
inline Status success() noexcept { return std::monostate{}; }

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

// The UTF-8 of a str, with lone surrogates turned into U+FFFD (three per
// surrogate, one per invalid byte of its surrogatepass encoding).
std::string lossy_utf8(PyObject* str);

// ---------------------------------------------------------------------------
// Argument binding
// ---------------------------------------------------------------------------

// The parameters of one callable. No callable here has positional-only or
// keyword-only parameters, nor *args or **kwargs.
struct FunctionDescription {
  const char* cls_name;  // may be null
  const char* func_name;
  std::span<const char* const> positional_names;
  std::size_t required_positional;

  // Binds a vectorcall: args[0..nargs) positional, then one value per name in
  // kwnames. slots must hold positional_names.size() entries set to null;
  // bound slots receive borrowed references. Allocates nothing on success.
  Status bind_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** slots) const;

  // Binds a tuple-and-dictionary call (kwargs may be null), the dictionary
  // taken in iteration order.
  Status bind_tuple_dict(PyObject* args, PyObject* kwargs, PyObject** slots) const;

  // "HyperLogLog.update()"
  std::string display_name() const;

 private:
  Status bind_keyword(PyObject* name, PyObject* value, PyObject** slots) const;
  Status check_required(std::size_t nargs, PyObject** slots) const;
  [[gnu::cold, gnu::noinline]] PyErr too_many_positional(std::size_t given) const;
  [[gnu::cold, gnu::noinline]] PyErr unexpected_keyword(PyObject* name) const;
  [[gnu::cold, gnu::noinline]] PyErr multiple_values(const char* param) const;
  [[gnu::cold, gnu::noinline]] PyErr missing_required(PyObject** slots) const;
};

// ---------------------------------------------------------------------------
// Access flag
// ---------------------------------------------------------------------------

// 0 free, n > 0 shared holders, -1 one exclusive holder. Never waited on.
using BorrowFlag = std::atomic<std::int64_t>;
inline constexpr std::int64_t BORROW_EXCLUSIVE = -1;

// Access held on a flag, shared or exclusive, released by the destructor.
template <bool Exclusive>
class Borrow {
 public:
  explicit Borrow(BorrowFlag* flag) noexcept : flag_(flag) {}
  Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  Borrow& operator=(Borrow&&) = delete;
  ~Borrow() {
    if (flag_ == nullptr) {
      return;
    }
    if constexpr (Exclusive) {
      flag_->store(0, std::memory_order_release);
    } else {
      flag_->fetch_sub(1, std::memory_order_release);
    }
  }

 private:
  BorrowFlag* flag_;
};
using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

// Shared access, or RuntimeError "Already mutably borrowed".
inline Expected<SharedBorrow> try_borrow(BorrowFlag& flag) {
  std::int64_t seen = flag.load(std::memory_order_relaxed);
  while (seen != BORROW_EXCLUSIVE) {
    if (flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                   std::memory_order_relaxed)) {
      return SharedBorrow(&flag);
    }
  }
  return runtime_error("Already mutably borrowed");
}

// Exclusive access, or RuntimeError "Already borrowed".
inline Expected<ExclusiveBorrow> try_borrow_mut(BorrowFlag& flag) {
  std::int64_t expected = 0;
  if (flag.compare_exchange_strong(expected, BORROW_EXCLUSIVE, std::memory_order_acquire,
                                   std::memory_order_relaxed)) {
    return ExclusiveBorrow(&flag);
  }
  return runtime_error("Already borrowed");
}

// ---------------------------------------------------------------------------
// Conversions (each failure carries the note "while processing '<param>'")
// ---------------------------------------------------------------------------

// `bytes` or a subclass, viewed in place.
Expected<std::span<const std::uint8_t>> extract_bytes(PyObject* obj, const char* param);

// `str` or a subclass, viewed as its cached UTF-8 in place.
Expected<std::string_view> extract_str(PyObject* obj, const char* param);

// An int (or anything with __index__) from 0 to 255.
Expected<std::uint8_t> extract_u8(PyObject* obj, const char* param);

// A METH_FASTCALL or METH_NOARGS entry as the PyCFunction a method table holds.
template <class F>
PyCFunction as_cfunction(F* fn) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// ---------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------

PyObject* none_result() noexcept;
PyObject* float_result(double value);
PyObject* str_result(std::string_view text);

// ---------------------------------------------------------------------------
// Interned names and the PanicException type (created once per process)
// ---------------------------------------------------------------------------

// A process-wide object created on first need and kept for the life of the
// process. Filled under the interpreter lock; the first writer wins and a
// duplicate made meanwhile (by a racing thread, or by re-entrant Python code)
// is released.
template <class T>
class WriteOnce {
 public:
  T* get() const noexcept { return cell_.load(std::memory_order_acquire); }
  // Stores `made` (a new reference) unless the cell is filled; returns the
  // cell's object either way.
  T* fill(T* made) noexcept {
    T* current = nullptr;
    if (!cell_.compare_exchange_strong(current, made, std::memory_order_acq_rel)) {
      Py_DECREF(reinterpret_cast<PyObject*>(made));
      return current;
    }
    return made;
  }

 private:
  std::atomic<T*> cell_{nullptr};
};

PyObject* interned(WriteOnce<PyObject>& cell, const char* text);

// At module execution: arranges (through atexit, which runs on the thread
// that shuts the interpreter down, just before it starts) to know that
// thread; see may_touch_objects().
Status watch_shutdown();
PyObject* panic_exception_type();

// ---------------------------------------------------------------------------
// The entry barrier
// ---------------------------------------------------------------------------

namespace detail {
// Sets the exception for whatever was thrown out of an entry's steps. If that
// fails too, reports "uncaught panic at ffi boundary" and aborts. A forced
// unwind that starts meanwhile passes.
void raise_current_exception();

template <class T>
constexpr T failure_value() noexcept {
  if constexpr (std::is_pointer_v<T>) {
    return nullptr;
  } else {
    return -1;
  }
}
}  // namespace detail

// Runs an entry's steps. On success returns the value; on failure sets exactly
// one exception and returns the failure value (null, or -1). Access taken by
// the steps is released by the guards on the way out, whatever happens. A
// forced unwind is let through (see the top of this file).
template <class Body>
DRISK_FORCED_UNWIND_CATCH auto trampoline(Body&& body) {
  using Result = decltype(*body());
  using Value = std::remove_cvref_t<Result>;
  try {
    auto result = body();
    if (result) {
      return *result;
    }
    std::move(result).error().restore();
#if defined(DRISK_FORCED_UNWIND)
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (...) {
    detail::raise_current_exception();
  }
  return detail::failure_value<Value>();
}

// The deallocator's barrier: a failure is reported through the unraisable
// hook and the call returns normally.
template <class Body>
void trampoline_unraisable(Body&& body) noexcept {
  try {
    body();
    return;
  } catch (...) {
    detail::raise_current_exception();
  }
  PyErr_WriteUnraisable(nullptr);
}

}  // namespace drisk

#endif  // DRISK_CALL_FRAME_HPP
