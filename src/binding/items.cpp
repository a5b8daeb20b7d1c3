// drisk: the items of a Python iterable absorbed into a sketch.
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
#include "items.hpp"

#include <algorithm>
#include <string>

#include "insert.hpp"
#include "item_text.hpp"
#include "platform.hpp"
#include "value_objects.hpp"

namespace drisk {
namespace {

// Pending signals (Ctrl-C) are checked every this many items, so that an
// endless iterator stays interruptible: about a millisecond of work.
constexpr std::size_t SIGNAL_CHECK_ITEMS = 4096;

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
// Viewing and absorbing
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
// the texts are written into `slot`, ITEM_TEXT_CAPACITY bytes. The view
// lives as long as the element and the slot.
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
  PyObject* items_[ITEM_BATCH];
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
  HyperLogLogCore::ItemView views[ITEM_BATCH];
  char arena[ITEM_BATCH][ITEM_TEXT_CAPACITY];
  std::size_t start = 0;
  std::size_t absorbed = 0;
  for (;;) {
    // Read afresh: a finalizer run by the last group may have changed it.
    const auto size = static_cast<std::size_t>(Size(seq));
    if (start >= size) {
      return absorbed;
    }
    const std::size_t n = std::min(ITEM_BATCH, size - start);
    // Addresses first, with their headers fetched in parallel; the
    // references are taken once the fetches are under way. No Python code
    // can run in between.
    PyObject* fetched[ITEM_BATCH];
    for (std::size_t k = 0; k < n; ++k) {
      fetched[k] = checked(Item(seq, static_cast<Py_ssize_t>(start + k)));
      drisk::prefetch(fetched[k]);
      drisk::prefetch(reinterpret_cast<const char*>(fetched[k]) + 48);
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
    if (start % SIGNAL_CHECK_ITEMS < ITEM_BATCH) {
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

}  // namespace

Status measure_bytes_layout() {
  if (BYTES_DATA_OFFSET < 0) {
    PyRef probe = PyRef::steal(checked(PyBytes_FromStringAndSize("probe", 5)));
    BYTES_DATA_OFFSET = PyBytes_AsString(probe.get()) - reinterpret_cast<char*>(probe.get());
  }
  return success();
}

Expected<std::size_t> absorb_items(HyperLogLogCore& core, PyObject* items) {
  return PyList_CheckExact(items)    ? absorb_sequence<PyList_Size, PyList_GetItem>(core, items)
         : PyTuple_CheckExact(items) ? absorb_sequence<PyTuple_Size, PyTuple_GetItem>(core, items)
         : is_single_item(items)     ? Expected<std::size_t>(single_item_error(items))
                                     : absorb_iterable(core, items);
}

}  // namespace drisk
