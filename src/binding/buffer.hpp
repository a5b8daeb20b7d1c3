// drisk: buffer views and running native work with the interpreter lock
// released.
#ifndef DRISK_BUFFER_HPP
#define DRISK_BUFFER_HPP

#include <type_traits>
#include <utility>

#include "call_frame.hpp"

namespace drisk {

// A buffer view, released by the destructor.
class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    // Not on a thread being ended at shutdown: see may_touch_objects().
    if (held_ && may_touch_objects()) {
      PyBuffer_Release(&view_);
    }
  }

  // Takes a view with the given PyBUF_* flags; false with an exception
  // pending. May run Python code (__buffer__), so not noexcept.
  bool acquire(PyObject* obj, int flags = PyBUF_SIMPLE) {
    held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
    return held_;
  }

  // Gives the view back now, in the caller's normal flow (__release_buffer__
  // may run Python code; see PyRef::reset).
  void release() {
    if (std::exchange(held_, false) && may_touch_objects()) {
      PyBuffer_Release(&view_);
    }
  }
  std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

namespace detail {
// Takes the interpreter lock back. CPython ends a daemon thread here during
// shutdown (a forced unwind), which is why this is not a destructor.
void restore_thread(PyThreadState* state);
}  // namespace detail

// Runs `work`, which must not touch any Python object and cannot throw, with
// the interpreter lock released, so that other threads run meanwhile.
template <class Work>
auto without_gil(Work&& work) {
  static_assert(std::is_nothrow_invocable_v<Work&>, "work done without the lock cannot throw");
  PyThreadState* state = PyEval_SaveThread();
  if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
    work();
    detail::restore_thread(state);
  } else {
    auto result = work();
    detail::restore_thread(state);
    return result;
  }
}

}  // namespace drisk

#endif  // DRISK_BUFFER_HPP
