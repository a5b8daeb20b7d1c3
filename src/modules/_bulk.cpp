// drisk._bulk: many items into one sketch in one call.
//
// Built from the same sketch core and call frame as _drisk. The sketch
// argument is held exclusively for the whole call.
//
// Element lifetimes. A list may change under us whenever Python code runs,
// and Python code runs more often than it seems: a str that cannot be viewed
// as UTF-8 raises, raising allocates, an allocation may start the garbage
// collector, and the collector may run a finalizer that clears the list. So
// the list path takes a strong reference to every element of a group that
// holds anything but bytes (viewing bytes runs nothing) before viewing any,
// hashes the views, and only then lets the references go; the element
// errors are built only after the hashing; and the length is read afresh for
// every group. Nothing is hashed from an element that may have been freed.
#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>
#include <thread>

#include "buffer.hpp"
#include "cpus.hpp"
#include "entry.hpp"
#include "insert.hpp"
#include "item_text.hpp"
#include "value_objects.hpp"

namespace drisk {
namespace {

// Buffers at least this large are absorbed with the interpreter lock
// released, so other threads (feeding other sketches) run meanwhile.
constexpr std::size_t RELEASE_GIL_BYTES = 256 * 1024;

// Buffers at least this large are split between two cores, when the process
// may use two.
constexpr std::size_t SPLIT_BYTES = 4 * 1024 * 1024;

// Items are viewed in groups and hashed together (see add_batch).
constexpr std::size_t BATCH = 64;

// Pending signals (Ctrl-C) are checked every this many items, so that an
// endless iterator stays interruptible: about a millisecond of work.
constexpr std::size_t SIGNAL_CHECK_ITEMS = 4096;

constexpr std::array<const char* const, 2> MANY_PARAMS{"sketch", "items"};
constexpr std::array<const char* const, 3> LINES_PARAMS{"sketch", "buffer", "final"};
constexpr std::array<const char* const, 2> JOINED_PARAMS{"sketch", "parts"};
constexpr FunctionDescription UPDATE_MANY_DESC{nullptr, "update_many", MANY_PARAMS, 2};
constexpr FunctionDescription UPDATE_LINES_DESC{nullptr, "update_lines", LINES_PARAMS, 2};
constexpr FunctionDescription UPDATE_JOINED_DESC{nullptr, "update_joined", JOINED_PARAMS, 2};

// ---------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------

// "items[3]", the name under which one element's failure is reported.
std::string element_name(std::size_t index) { return "items[" + std::to_string(index) + "]"; }

std::string type_name_of(PyObject* obj) {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!type_name) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return lossy_utf8(type_name.get());
}

[[gnu::cold, gnu::noinline]] PyErr bad_element(PyObject* item, std::size_t index) {
  const std::string name = element_name(index);
  std::string message = "update_many() " + name + ": '" + type_name_of(item) +
                        "' object is not an instance of 'bytes', 'str', 'int', 'float', 'bool', "
                        "'date', 'datetime', 'time' or 'Decimal'";
  return type_error(std::move(message)).with_argument_note(name.c_str());
}

[[gnu::cold, gnu::noinline]] PyErr int_out_of_range(std::size_t index) {
  const std::string name = element_name(index);
  return type_error("update_many() " + name +
                    ": int outside the 64-bit range (-2**63 to 2**64 - 1); pass it as str")
      .with_argument_note(name.c_str());
}

// A pending signal's exception (KeyboardInterrupt for Ctrl-C), if any.
Status check_signals() {
  if (PyErr_CheckSignals() < 0) {
    return PyErr::fetch();
  }
  return success();
}

// ---------------------------------------------------------------------------
// update_many
// ---------------------------------------------------------------------------

// How viewing one element went: viewed, missing (None or NaN: skipped and
// not counted), the wrong type or an int out of range (nothing allocated
// yet, so nothing else has run), or an exception raised by the interpreter.
enum class Viewed { ok, missing, wrong_type, out_of_range, raised };

// Views an int as its decimal text, written into `slot`.
inline Viewed view_int(PyObject* item, HyperLogLogCore::ItemView& out, char* slot) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
  if (overflow == 0) {
    if (value == -1 && PyErr_Occurred() != nullptr) {
      return Viewed::raised;
    }
    out = {slot, format_int64(value, slot)};
    return Viewed::ok;
  }
  if (overflow > 0) {
    // Above the int64 range: an unsigned 64-bit value, or out of range.
    const unsigned long long value = PyLong_AsUnsignedLongLong(item);
    if (value != ~0ULL || PyErr_Occurred() == nullptr) {
      out = {slot, format_uint64(value, slot)};
      return Viewed::ok;
    }
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
      return Viewed::raised;
    }
    PyErr_Clear();
  }
  return Viewed::out_of_range;
}

// Views one element: bytes (or a subclass) as they are, str (or a subclass)
// as UTF-8, int and float (or subclasses) and bool by their item text
// (item_text.hpp), dates, times and decimals by theirs (value_objects.hpp);
// the texts are written into `slot`, ITEM_TEXT_CAPACITY bytes. The view lives as long as the
// element and the slot.
// Where an exact bytes object keeps its data, relative to the object: the
// same for every bytes object of the process, measured once at module
// execution (see bulk_exec), so the list path reads an element's data and
// length without a call per element.
std::ptrdiff_t BYTES_DATA_OFFSET = -1;

inline Viewed view_item(PyObject* item, HyperLogLogCore::ItemView& out, char* slot) {
  PyTypeObject* type = Py_TYPE(item);
  if (type == &PyBytes_Type && BYTES_DATA_OFFSET >= 0) {
    out = {reinterpret_cast<const char*>(item) + BYTES_DATA_OFFSET,
           static_cast<std::size_t>(Py_SIZE(item))};
    return Viewed::ok;
  }
  if (type == &PyBytes_Type || PyBytes_Check(item)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(item, &data, &size) < 0) {
      return Viewed::raised;
    }
    out = {data, static_cast<std::size_t>(size)};
    return Viewed::ok;
  }
  if (type == &PyUnicode_Type || PyUnicode_Check(item)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr) {
      return Viewed::raised;
    }
    out = {utf8, static_cast<std::size_t>(size)};
    return Viewed::ok;
  }
  if (item == Py_True || item == Py_False) {
    const std::string_view text = bool_text(item == Py_True);
    out = {text.data(), text.size()};
    return Viewed::ok;
  }
  if (type == &PyLong_Type || PyLong_Check(item)) {
    return view_int(item, out, slot);
  }
  if (type == &PyFloat_Type || PyFloat_Check(item)) {
    const double value = PyFloat_AsDouble(item);  // reads the value: runs no code
    if (value != value) {
      return Viewed::missing;  // NaN
    }
    out = {slot, format_double(value, slot)};
    return Viewed::ok;
  }
  if (item == Py_None) {
    return Viewed::missing;
  }
  std::size_t length = 0;
  switch (view_value_object(item, slot, length)) {
    case ObjectViewed::ok:
      out = {slot, length};
      return Viewed::ok;
    case ObjectViewed::missing:
      return Viewed::missing;
    case ObjectViewed::raised:
      return Viewed::raised;
    case ObjectViewed::unknown:
      break;
  }
  return Viewed::wrong_type;
}

// The error for element `index` whose viewing went `how`.
[[gnu::cold, gnu::noinline]] PyErr element_error(Viewed how, PyObject* item, std::size_t index) {
  if (how == Viewed::wrong_type) {
    return bad_element(item, index);
  }
  if (how == Viewed::out_of_range) {
    return int_out_of_range(index);
  }
  return PyErr::fetch().with_argument_note(element_name(index).c_str());
}

// Strong references to one group of elements, let go by the destructor.
class HeldGroup {
 public:
  HeldGroup() noexcept = default;
  HeldGroup(const HeldGroup&) = delete;
  HeldGroup& operator=(const HeldGroup&) = delete;
  ~HeldGroup() {
    // Once for the group, not per element: see may_touch_objects().
    if (!may_touch_objects()) {
      return;
    }
    for (std::size_t k = 0; k < size_; ++k) {
      Py_DECREF(items_[k]);
    }
  }
  // Lets the references go in the caller's normal flow: the last reference
  // to an element may run its finalizer (see PyRef::reset).
  void release() {
    const std::size_t n = std::exchange(size_, 0);
    for (std::size_t k = 0; k < n; ++k) {
      Py_DECREF(items_[k]);
    }
  }
  void hold(PyObject* item) noexcept {
    Py_INCREF(item);
    items_[size_++] = item;
  }

 private:
  PyObject* items_[BATCH];
  std::size_t size_ = 0;
};

// Walks a list or tuple by index, a group at a time: hold the group's
// elements, fetch their headers early (the elements of a large list are
// rarely in cache, and one miss at a time is what makes a loop slow), view
// them (numbers written as text into the group's arena), hash the views in
// one loop. On a bad element, the elements before it are absorbed and the
// error returned. Returns the number absorbed: missing elements (None, NaN)
// are skipped and not counted.
template <Py_ssize_t (*Size)(PyObject*), PyObject* (*Item)(PyObject*, Py_ssize_t)>
Expected<std::size_t> absorb_sequence(HyperLogLogCore& core, PyObject* seq) {
  HyperLogLogCore::ItemView views[BATCH];
  char arena[BATCH][ITEM_TEXT_CAPACITY];
  std::size_t start = 0;
  std::size_t absorbed = 0;
  for (;;) {
    // Read afresh: a finalizer run by the last group may have changed it.
    const auto size = static_cast<std::size_t>(Size(seq));
    if (start >= size) {
      return absorbed;
    }
    const std::size_t n = std::min(BATCH, size - start);
    // Addresses first, with their headers fetched in parallel; the
    // references are taken once the fetches are under way. No Python code
    // can run in between.
    PyObject* fetched[BATCH];
    for (std::size_t k = 0; k < n; ++k) {
      fetched[k] = checked(Item(seq, static_cast<Py_ssize_t>(start + k)));
      __builtin_prefetch(fetched[k]);
      __builtin_prefetch(reinterpret_cast<const char*>(fetched[k]) + 48);
    }
    // Viewing bytes runs nothing; viewing a str or an int may raise, and
    // raising may run the collector. Groups with anything but exact bytes
    // are held.
    HeldGroup group;
    bool bytes_only = true;
    for (std::size_t k = 0; k < n; ++k) {
      bytes_only &= Py_TYPE(fetched[k]) == &PyBytes_Type;
    }
    if (!bytes_only) {
      for (std::size_t k = 0; k < n; ++k) {
        group.hold(fetched[k]);
      }
    }
    std::size_t viewed = 0;
    std::size_t present = 0;
    Viewed how = Viewed::ok;
    for (; viewed < n; ++viewed) {
      how = view_item(fetched[viewed], views[present], arena[present]);
      if (how == Viewed::ok) {
        ++present;
      } else if (how != Viewed::missing) {
        break;
      }
    }
    core.add_batch(views, present);
    absorbed += present;
    if (viewed < n) {
      PyErr failed = element_error(how, fetched[viewed], start + viewed);
      group.release();
      return failed;
    }
    group.release();
    start += n;
    if (start % SIGNAL_CHECK_ITEMS < BATCH) {
      if (Status ok = check_signals(); !ok) {
        return std::move(ok).error();
      }
    }
  }
}

// Dropping an item or the iterator may run Python code (a finalizer, a
// generator's cleanup), so both are dropped in the normal flow, never by a
// destructor: see PyRef::reset.
Expected<std::size_t> absorb_iterator(HyperLogLogCore& core, PyObject* iterator) {
  char slot[ITEM_TEXT_CAPACITY];
  std::size_t index = 0;
  std::size_t absorbed = 0;
  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(iterator));
    if (!item) {
      break;
    }
    HyperLogLogCore::ItemView view{};
    const Viewed how = view_item(item.get(), view, slot);
    if (how == Viewed::ok) {
      core.add(view.data, view.len);
      ++absorbed;
    } else if (how != Viewed::missing) {
      PyErr failed = element_error(how, item.get(), index);
      item.reset();
      return failed;
    }
    item.reset();
    if (++index % SIGNAL_CHECK_ITEMS == 0) {
      if (Status ok = check_signals(); !ok) {
        return std::move(ok).error();
      }
    }
  }
  if (PyErr_Occurred() != nullptr) {
    return fetch_for("items");
  }
  return absorbed;
}

Expected<std::size_t> absorb_iterable(HyperLogLogCore& core, PyObject* iterable) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(iterable));
  if (!iterator) {
    return fetch_for("items");
  }
  Expected<std::size_t> absorbed = absorb_iterator(core, iterator.get());
  iterator.reset();
  return absorbed;
}

// A str, bytes, bytearray or memoryview given as `items` would add its
// characters (or byte values) one by one: never what is meant.
[[gnu::cold, gnu::noinline]] PyErr single_item_error(PyObject* items) {
  return type_error("update_many() items: '" + type_name_of(items) +
                    "' object is one item, not an iterable of items (to add it, use "
                    "[item] or the sketch's update methods)")
      .with_argument_note("items");
}

bool is_single_item(PyObject* items) noexcept {
  return PyUnicode_Check(items) || PyBytes_Check(items) || PyByteArray_Check(items) ||
         PyMemoryView_Check(items);
}

// update_many(sketch, items) -> int
PyObject* bulk_update_many(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return sketch_function<UPDATE_MANY_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<UPDATE_MANY_DESC>& slots) -> Expected<PyObject*> {
        PyObject* items = slots[1];
        Expected<std::size_t> absorbed =
            PyList_CheckExact(items) ? absorb_sequence<PyList_Size, PyList_GetItem>(core, items)
            : PyTuple_CheckExact(items)
                ? absorb_sequence<PyTuple_Size, PyTuple_GetItem>(core, items)
            : is_single_item(items) ? Expected<std::size_t>(single_item_error(items))
                                    : absorb_iterable(core, items);
        if (!absorbed) {
          return std::move(absorbed).error();
        }
        return checked(PyLong_FromSize_t(*absorbed));
      });
}

// ---------------------------------------------------------------------------
// update_lines
// ---------------------------------------------------------------------------

// Absorbs a large buffer's lines on two cores: the first half (cut just
// after a newline) into the sketch, the rest into a scratch core that is
// merged in afterwards. Touches no Python object. Falls back to one core
// when no thread can be started.
std::size_t add_lines_split(HyperLogLogCore& core, HyperLogLogCore& scratch,
                            std::span<const std::uint8_t> data, bool final) noexcept {
  const auto* middle = static_cast<const std::uint8_t*>(
      std::memchr(data.data() + data.size() / 2, '\n', data.size() - data.size() / 2));
  if (middle == nullptr) {
    return core.add_lines(data, final);
  }
  const std::size_t cut = static_cast<std::size_t>(middle - data.data()) + 1;
  std::size_t second_lines = 0;
  std::thread worker;
  try {
    worker = std::thread([&] { second_lines = scratch.add_lines(data.subspan(cut), final); });
  } catch (const std::system_error&) {
    second_lines = scratch.add_lines(data.subspan(cut), final);
  }
  const std::size_t first_lines = core.add_lines(data.first(cut), true);
  if (worker.joinable()) {
    worker.join();
  }
  core.merge_same_precision(scratch);
  return first_lines + second_lines;
}

// update_lines(sketch, buffer, final=True) -> int
PyObject* bulk_update_lines(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return sketch_function<UPDATE_LINES_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<UPDATE_LINES_DESC>& slots) -> Expected<PyObject*> {
        // `final` first: once the buffer is held, nothing runs Python code
        // until it is given back.
        bool final = true;
        if (slots[2] != nullptr) {
          const int truth = PyObject_IsTrue(slots[2]);
          if (truth < 0) {
            return fetch_for("final");
          }
          final = truth != 0;
        }
        BufferView view;
        if (!view.acquire(slots[1])) {
          return fetch_for("buffer");
        }
        const std::span<const std::uint8_t> data = view.bytes();
        std::size_t lines = 0;
        if (data.size() >= SPLIT_BYTES && usable_cpus() > 1) {
          HyperLogLogCore scratch = core.empty_like();
          lines =
              without_gil([&]() noexcept { return add_lines_split(core, scratch, data, final); });
        } else if (data.size() >= RELEASE_GIL_BYTES) {
          lines = without_gil([&]() noexcept { return core.add_lines(data, final); });
        } else {
          lines = core.add_lines(data, final);
        }
        view.release();  // may run Python code (__release_buffer__)
        return checked(PyLong_FromSize_t(lines));
      });
}

// ---------------------------------------------------------------------------
// update_joined
// ---------------------------------------------------------------------------

// update_joined(sketch, parts) -> None: one item, the parts joined; hashed
// as they come, so an item longer than memory costs no memory.
PyObject* bulk_update_joined(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return sketch_function<UPDATE_JOINED_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<UPDATE_JOINED_DESC>& slots) -> Expected<PyObject*> {
        PyRef iterator = PyRef::steal(PyObject_GetIter(slots[1]));
        if (!iterator) {
          return fetch_for("parts");
        }
        // Parts, views and the iterator are let go in the normal flow: each
        // may run Python code (see PyRef::reset).
        ItemHasher hasher;
        Status read = success();
        while (PyRef part = PyRef::steal(PyIter_Next(iterator.get()))) {
          BufferView view;
          if (!view.acquire(part.get())) {
            read = fetch_for("parts");
            part.reset();
            break;
          }
          hasher.update(view.bytes().data(), view.bytes().size());
          view.release();
          part.reset();
        }
        if (read && PyErr_Occurred() != nullptr) {
          read = fetch_for("parts");
        }
        iterator.reset();
        if (!read) {
          return std::move(read).error();
        }
        // Only now, with every part read: a failure above leaves the sketch
        // as it was.
        core.add_hash(hasher.digest());
        return none_result();
      });
}

// ---------------------------------------------------------------------------
// The module
// ---------------------------------------------------------------------------

int bulk_exec(PyObject* module) {
  return trampoline([&]() -> Expected<int> {
    if (Status imported = import_sketch_type(module); !imported) {
      return std::move(imported).error();
    }
    if (BYTES_DATA_OFFSET < 0) {
      PyRef probe = PyRef::steal(checked(PyBytes_FromStringAndSize("probe", 5)));
      BYTES_DATA_OFFSET = PyBytes_AsString(probe.get()) - reinterpret_cast<char*>(probe.get());
    }
    // The thresholds, for the tests and the curious.
    const std::pair<const char*, std::size_t> constants[] = {
        {"RELEASE_GIL_BYTES", RELEASE_GIL_BYTES}, {"SPLIT_BYTES", SPLIT_BYTES}, {"BATCH", BATCH}};
    for (const auto& [name, value] : constants) {
      if (PyModule_AddIntConstant(module, name, static_cast<long>(value)) < 0) {
        return PyErr::fetch();
      }
    }
    return 0;
  });
}

PyMethodDef BULK_METHODS[] = {
    {"update_many", as_cfunction(bulk_update_many), METH_FASTCALL | METH_KEYWORDS,
     documented(
         UPDATE_MANY_DESC,
         "update_many(sketch, items)\n--\n\n"
         "Add every item of an iterable of bytes, str, int, float, bool, date, datetime, time\n"
         "and Decimal; return how many were added (None and NaN are skipped and not counted).")},
    {"update_lines", as_cfunction(bulk_update_lines), METH_FASTCALL | METH_KEYWORDS,
     documented(
         UPDATE_LINES_DESC,
         "update_lines(sketch, buffer, final=True)\n--\n\n"
         "Add every line of a bytes-like buffer as one item; return how many lines were added.")},
    {"update_joined", as_cfunction(bulk_update_joined), METH_FASTCALL | METH_KEYWORDS,
     documented(
         UPDATE_JOINED_DESC,
         "update_joined(sketch, parts)\n--\n\n"
         "Add one item: the bytes-like parts joined, hashed as they come, in bounded memory.")},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef_Slot BULK_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(bulk_exec)}, {0, nullptr} /* sentinel */
};

PyModuleDef BULK_DEF = {
    PyModuleDef_HEAD_INIT,
    "drisk._bulk",
    "Bulk ingestion into HyperLogLog sketches.",
    0,
    BULK_METHODS,
    BULK_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__bulk(void) { return PyModuleDef_Init(&drisk::BULK_DEF); }
