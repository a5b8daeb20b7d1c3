// drisk._bulk: many items into one sketch in one call.
//
// Built from the same sketch core and call frame as _drisk. The sketch
// argument is checked against _drisk.HyperLogLog (the one type of the
// process, fetched when this module is executed) and held exclusively for the
// whole batch.
#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include "call_frame.hpp"

namespace drisk {
namespace {

// _drisk.HyperLogLog, a strong reference kept for the life of the process.
std::atomic<PyTypeObject*> SKETCH_TYPE{nullptr};

// Buffers at least this large are absorbed with the interpreter lock
// released, so other threads (feeding other sketches) run meanwhile.
constexpr std::size_t RELEASE_GIL_BYTES = 256 * 1024;

// Buffers at least this large are split between two cores.
constexpr std::size_t SPLIT_BYTES = 4 * 1024 * 1024;

constexpr std::array<const char* const, 2> MANY_PARAMS{"sketch", "items"};
constexpr std::array<const char* const, 3> LINES_PARAMS{"sketch", "buffer", "final"};
constexpr FunctionDescription UPDATE_MANY_DESC{nullptr, "update_many", MANY_PARAMS, 2};
constexpr FunctionDescription UPDATE_LINES_DESC{nullptr, "update_lines", LINES_PARAMS, 2};

// Whether a second core is there to use: the CPUs this process may run on,
// not merely those the machine has (a container or taskset may allow one).
bool second_core_available() noexcept {
#if defined(__linux__)
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    return CPU_COUNT(&allowed) > 1;
  }
#endif
  return std::thread::hardware_concurrency() > 1;
}

// The sketch argument, held exclusively until the view goes.
Expected<MutableSketchView> extract_target(PyObject* obj) {
  return extract_sketch_mut(obj, SKETCH_TYPE.load(std::memory_order_acquire), "sketch");
}

// "items[3]", the name under which one element's failure is reported.
std::string element_name(std::size_t index) { return "items[" + std::to_string(index) + "]"; }

[[gnu::cold, gnu::noinline]] PyErr bad_element(PyObject* item, std::size_t index) {
  const std::string name = element_name(index);
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(item)));
  std::string shown = "<failed to extract type name>";
  if (type_name) {
    shown = lossy_utf8(type_name.get());
  } else {
    PyErr_Clear();
  }
  std::string message = "update_many() " + name + ": ";
  message += item == Py_None ? "'None' is not" : "'" + shown + "' object is not";
  message += " an instance of 'bytes' or 'str'";
  return type_error(std::move(message)).with_argument_note(name.c_str());
}

// Items are viewed in batches and hashed together (see add_batch).
constexpr std::size_t BATCH = 64;

// Lists and tuples at least this long are hashed on two cores, a chunk of
// this many elements at a time (small enough to stay in cache between being
// viewed and being hashed).
constexpr std::size_t PARALLEL_ITEMS = 16 * 1024;
constexpr std::size_t PARALLEL_CHUNK = 2048;

// Views one element: bytes (or a subclass) as they are, str (or a subclass)
// as UTF-8. The view lives as long as the element.
inline Status view_item(PyObject* item, std::size_t index, HyperLogLogCore::ItemView& out) {
  PyTypeObject* type = Py_TYPE(item);
  if (type == &PyBytes_Type || PyBytes_Check(item)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(item, &data, &size) < 0) {
      return PyErr::fetch().with_argument_note(element_name(index).c_str());
    }
    out = {data, static_cast<std::size_t>(size)};
    return success();
  }
  if (type == &PyUnicode_Type || PyUnicode_Check(item)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr) {
      return PyErr::fetch().with_argument_note(element_name(index).c_str());
    }
    out = {utf8, static_cast<std::size_t>(size)};
    return success();
  }
  return bad_element(item, index);
}

// Views up to BATCH elements seq[start .. start+n) into `out`, fetching the
// headers of the whole group first: the elements of a large list are rarely
// in cache, and one miss at a time is what makes a loop slow. Returns how
// many were viewed before a bad element (n when all were good) and that
// element's error in `failed`.
template <PyObject* (*Item)(PyObject*, Py_ssize_t)>
std::size_t view_group(PyObject* seq, std::size_t start, std::size_t n,
                       HyperLogLogCore::ItemView* out, Status& failed) {
  PyObject* group[BATCH];
  for (std::size_t k = 0; k < n; ++k) {
    group[k] = Item(seq, static_cast<Py_ssize_t>(start + k));
    if (group[k] == nullptr) {
      fail_null_object();
    }
    __builtin_prefetch(group[k]);
    __builtin_prefetch(reinterpret_cast<const char*>(group[k]) + 48);
  }
  for (std::size_t k = 0; k < n; ++k) {
    failed = view_item(group[k], start + k, out[k]);
    if (!failed) {
      return k;
    }
  }
  return n;
}

// A second core that hashes item views into a core for the length of one
// call. Hand-offs are frequent and short, so both sides spin rather than
// sleep. The helper touches no Python object: the views point into elements
// that the caller's list or tuple keeps alive, and the caller holds the
// interpreter lock throughout, so no Python code can change the sequence.
class HashingHelper {
 public:
  // Throws std::system_error when no thread can be started.
  explicit HashingHelper(HyperLogLogCore& target) : target_(target), thread_([this] { run(); }) {}
  HashingHelper(const HashingHelper&) = delete;
  HashingHelper& operator=(const HashingHelper&) = delete;
  ~HashingHelper() {
    wait();
    state_.store(STOP, std::memory_order_release);
    thread_.join();
  }

  // Hands over views[0..count); they must stay untouched until wait().
  void submit(const HyperLogLogCore::ItemView* views, std::size_t count) noexcept {
    views_ = views;
    count_ = count;
    state_.store(BUSY, std::memory_order_release);
  }

  // Returns once the last batch handed over is hashed.
  void wait() noexcept { spin_while(BUSY); }

 private:
  enum : int { IDLE, BUSY, STOP };

  void spin_while(int value) noexcept {
    for (unsigned spins = 0; state_.load(std::memory_order_acquire) == value; ++spins) {
      if (spins < 1024) {
        relax();
      } else {
        std::this_thread::yield();
      }
    }
  }

  static void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  void run() noexcept {
    for (;;) {
      spin_while(IDLE);
      if (state_.load(std::memory_order_acquire) == STOP) {
        return;
      }
      target_.add_batch(views_, count_);
      state_.store(IDLE, std::memory_order_release);
    }
  }

  HyperLogLogCore& target_;
  const HyperLogLogCore::ItemView* views_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<int> state_{IDLE};
  std::thread thread_;
};

// Walks a list or tuple by index, viewing a batch of elements, then hashing
// the batch in one loop. On a bad element, the elements before it are
// absorbed and the error returned.
template <Py_ssize_t (*Size)(PyObject*), PyObject* (*Item)(PyObject*, Py_ssize_t)>
Expected<std::size_t> absorb_sequence_serial(HyperLogLogCore& core, PyObject* seq,
                                             std::size_t count) {
  HyperLogLogCore::ItemView views[BATCH];
  for (std::size_t start = 0; start < count; start += BATCH) {
    Status failed = success();
    const std::size_t viewed = view_group<Item>(seq, start, std::min(BATCH, count - start), views, failed);
    core.add_batch(views, viewed);
    if (!failed) {
      return std::move(failed).error();
    }
  }
  return count;
}

// The same on two cores: while this thread views chunk k + 1, the helper
// hashes chunk k into the sketch. Viewing an element (two calls into the
// interpreter and a likely cache miss) costs about as much as hashing it, so
// the two overlap well; giving this thread a share of the hashing as well
// measured slower.
template <Py_ssize_t (*Size)(PyObject*), PyObject* (*Item)(PyObject*, Py_ssize_t)>
Expected<std::size_t> absorb_sequence_parallel(PyObject* seq, std::size_t count,
                                               HyperLogLogCore::ItemView* views,
                                               HashingHelper& helper) {
  std::size_t turn = 0;
  for (std::size_t start = 0; start < count; start += PARALLEL_CHUNK, turn ^= 1) {
    const std::size_t n = std::min(PARALLEL_CHUNK, count - start);
    HyperLogLogCore::ItemView* out = views + turn * PARALLEL_CHUNK;
    Status failed = success();
    std::size_t viewed = 0;
    while (viewed < n && failed) {
      viewed += view_group<Item>(seq, start + viewed, std::min(BATCH, n - viewed), out + viewed, failed);
    }
    helper.wait();
    helper.submit(out, viewed);
    if (!failed) {
      return std::move(failed).error();
    }
  }
  return count;
}

template <Py_ssize_t (*Size)(PyObject*), PyObject* (*Item)(PyObject*, Py_ssize_t)>
Expected<std::size_t> absorb_sequence(HyperLogLogCore& core, PyObject* seq) {
  const auto count = static_cast<std::size_t>(Size(seq));
  if (count < PARALLEL_ITEMS || !second_core_available()) {
    return absorb_sequence_serial<Size, Item>(core, seq, count);
  }
  // Declared before the helper, so that the views outlive it on every way
  // out, a panic's unwinding included: its destructor waits for the last
  // batch.
  auto views = std::make_unique<HyperLogLogCore::ItemView[]>(2 * PARALLEL_CHUNK);
  std::unique_ptr<HashingHelper> helper;
  try {
    helper = std::make_unique<HashingHelper>(core);
  } catch (const std::system_error&) {
    return absorb_sequence_serial<Size, Item>(core, seq, count);
  }
  return absorb_sequence_parallel<Size, Item>(seq, count, views.get(), *helper);
}

Expected<std::size_t> absorb_iterable(HyperLogLogCore& core, PyObject* iterable) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(iterable));
  if (!iterator) {
    return PyErr::fetch().with_argument_note("items");
  }
  std::size_t index = 0;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    HyperLogLogCore::ItemView view{};
    if (Status ok = view_item(item.get(), index, view); !ok) {
      return std::move(ok).error();
    }
    core.add(view.data, view.len);
    ++index;
  }
  if (PyErr_Occurred() != nullptr) {
    return PyErr::fetch().with_argument_note("items");
  }
  return index;
}

// update_many(sketch, items) -> int
PyObject* bulk_update_many(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[2] = {nullptr, nullptr};
    if (Status bound = UPDATE_MANY_DESC.bind_fastcall(args, nargs, kwnames, slots); !bound) {
      return std::move(bound).error();
    }
    Expected<MutableSketchView> sketch = extract_target(slots[0]);
    if (!sketch) {
      return std::move(sketch).error();
    }
    PyObject* items = slots[1];
    Expected<std::size_t> absorbed =
        PyList_CheckExact(items)    ? absorb_sequence<PyList_Size, PyList_GetItem>(*sketch->core, items)
        : PyTuple_CheckExact(items) ? absorb_sequence<PyTuple_Size, PyTuple_GetItem>(*sketch->core, items)
                                    : absorb_iterable(*sketch->core, items);
    if (!absorbed) {
      return std::move(absorbed).error();
    }
    return checked(PyLong_FromSize_t(*absorbed));
  });
}

// A buffer view, released by the destructor.
class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }
  // Takes a simple (contiguous, byte) view; false with an exception pending.
  bool acquire(PyObject* obj) noexcept {
    held_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
    return held_;
  }
  std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Releases the interpreter lock for the life of the guard.
class AllowThreads {
 public:
  AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;
  ~AllowThreads() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Absorbs a large buffer's lines on two cores, with the interpreter lock
// released: the first half (cut just after a newline) into the sketch, the
// rest into a scratch core that is merged in afterwards. Falls back to one
// core when no thread can be started.
std::size_t add_lines_split(HyperLogLogCore& core, std::span<const std::uint8_t> data,
                            bool final) {
  const auto* middle = static_cast<const std::uint8_t*>(
      std::memchr(data.data() + data.size() / 2, '\n', data.size() - data.size() / 2));
  HyperLogLogCore scratch;
  HyperLogLogCore::create(core.precision(), scratch);
  if (middle == nullptr) {
    AllowThreads unlocked;
    return core.add_lines(data, final);
  }
  const std::size_t cut = static_cast<std::size_t>(middle - data.data()) + 1;
  std::size_t first_lines = 0;
  std::size_t second_lines = 0;
  {
    AllowThreads unlocked;
    std::thread worker;
    try {
      worker = std::thread([&] { second_lines = scratch.add_lines(data.subspan(cut), final); });
    } catch (const std::system_error&) {
      second_lines = scratch.add_lines(data.subspan(cut), final);
    }
    first_lines = core.add_lines(data.first(cut), true);
    if (worker.joinable()) {
      worker.join();
    }
  }
  core.merge(scratch);
  return first_lines + second_lines;
}

// update_lines(sketch, buffer, final=True) -> int
PyObject* bulk_update_lines(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[3] = {nullptr, nullptr, nullptr};
    if (Status bound = UPDATE_LINES_DESC.bind_fastcall(args, nargs, kwnames, slots); !bound) {
      return std::move(bound).error();
    }
    Expected<MutableSketchView> sketch = extract_target(slots[0]);
    if (!sketch) {
      return std::move(sketch).error();
    }
    BufferView view;
    if (!view.acquire(slots[1])) {
      return PyErr::fetch().with_argument_note("buffer");
    }
    bool final = true;
    if (slots[2] != nullptr) {
      const int truth = PyObject_IsTrue(slots[2]);
      if (truth < 0) {
        return PyErr::fetch().with_argument_note("final");
      }
      final = truth != 0;
    }
    const std::span<const std::uint8_t> data = view.bytes();
    std::size_t lines = 0;
    if (data.size() >= SPLIT_BYTES && second_core_available()) {
      lines = add_lines_split(*sketch->core, data, final);
    } else if (data.size() >= RELEASE_GIL_BYTES) {
      AllowThreads unlocked;
      lines = sketch->core->add_lines(data, final);
    } else {
      lines = sketch->core->add_lines(data, final);
    }
    return checked(PyLong_FromSize_t(lines));
  });
}

int bulk_exec(PyObject* module) noexcept {
  return trampoline([&]() -> Expected<int> {
    if (SKETCH_TYPE.load(std::memory_order_acquire) == nullptr) {
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
      PyTypeObject* expected = nullptr;
      auto* made = reinterpret_cast<PyTypeObject*>(type.get());
      if (SKETCH_TYPE.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        type.release();
      }
    }
    (void)module;
    return 0;
  });
}

PyMethodDef BULK_METHODS[] = {
    {"update_many", as_cfunction(bulk_update_many),
     METH_FASTCALL | METH_KEYWORDS,
     "update_many(sketch, items)\n--\n\n"
     "Add every item of an iterable of bytes or str; return how many were added."},
    {"update_lines", as_cfunction(bulk_update_lines),
     METH_FASTCALL | METH_KEYWORDS,
     "update_lines(sketch, buffer, final=True)\n--\n\n"
     "Add every line of a bytes-like buffer as one item; return how many lines were added."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef_Slot BULK_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(bulk_exec)},
    {0, nullptr} /* sentinel */
};

PyModuleDef BULK_DEF = {
    PyModuleDef_HEAD_INIT, "drisk._bulk", "Bulk ingestion into HyperLogLog sketches.", 0,
    BULK_METHODS, BULK_SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__bulk(void) { return PyModuleDef_Init(&drisk::BULK_DEF); }
