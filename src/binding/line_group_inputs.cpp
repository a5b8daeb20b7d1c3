// drisk: lines read through a Python function into sketches per key.
#include "line_group_inputs.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "buffer.hpp"
#include "cpus.hpp"
#include "platform.hpp"

namespace drisk {
namespace {

// The buffer lent to read() grows from FIRST_BUFFER_BYTES to WORKING_BUFFER_BYTES,
// doubling each time a read fills it: a small input (a test, a short pipe)
// costs 64 KiB, not 8 MiB zeroed. The working size is large enough that the
// two cores' start is paid for many times over, small enough to stay in the
// last-level cache's neighbourhood. A line that does not fit doubles it past
// that.
constexpr std::size_t FIRST_BUFFER_BYTES = 64 * 1024;
constexpr std::size_t WORKING_BUFFER_BYTES = 8 * 1024 * 1024;

// The buffer lent to read(): a bytearray, so that a view of it that read()
// keeps (a slice, an array over it) holds the memory alive rather than
// pointing at freed memory once the call is over. It stays pinned by our own
// view from start to end, so nothing can resize it (and move the bytes)
// while the lines are taken without the lock.
class LentBuffer {
 public:
  // A bytearray of `capacity` bytes, starting with the current one's.
  Status allocate(std::size_t capacity) {
    PyRef array =
        PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
    if (!array) {
      return PyErr::fetch();
    }
    // Zeroed beyond the current bytes: a read() that claims more than it
    // wrote finds no earlier contents of the heap.
    char* const into = PyByteArray_AsString(array.get());
    if (data_ != nullptr) {
      std::memcpy(into, data_, size_);
    }
    std::memset(into + size_, 0, capacity - size_);
    pin_.release();
    array_ = std::move(array);
    data_ = nullptr;
    if (!pin_.acquire(array_.get(), PyBUF_WRITABLE)) {
      return PyErr::fetch();
    }
    data_ = static_cast<std::uint8_t*>(pin_.view().buf);
    size_ = capacity;
    return success();
  }
  std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  PyObject* array() const noexcept { return array_.get(); }

 private:
  PyRef array_;
  BufferView pin_;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// One read into the buffer's bytes from `keep` on: the bytes written.
Expected<std::size_t> read_into(PyObject* read, const LentBuffer& buf, std::size_t keep) {
  const std::size_t room = buf.size() - keep;
  PyRef whole = PyRef::steal(PyMemoryView_FromObject(buf.array()));
  if (!whole) {
    return PyErr::fetch();
  }
  PyRef from = PyRef::steal(PyLong_FromSize_t(keep));
  PyRef slice = PyRef::steal(from ? PySlice_New(from.get(), nullptr, nullptr) : nullptr);
  PyRef view = PyRef::steal(slice ? PyObject_GetItem(whole.get(), slice.get()) : nullptr);
  if (!view) {
    return PyErr::fetch();
  }
  PyRef got = PyRef::steal(PyObject_CallFunctionObjArgs(read, view.get(), nullptr));
  std::optional<PyErr> failed;
  if (!got) {
    failed = PyErr::fetch();  // read()'s own exception, reported whatever follows
  }
  // Whatever read() kept of the view holds the bytearray, never our bytes.
  PyRef released = PyRef::steal(PyObject_CallMethod(view.get(), "release", nullptr));
  PyRef released_whole = PyRef::steal(PyObject_CallMethod(whole.get(), "release", nullptr));
  if (failed) {
    PyErr_Clear();
    return std::move(*failed);
  }
  if (!released || !released_whole) {
    return PyErr::fetch();
  }
  const Py_ssize_t n = PyLong_Check(got.get()) ? PyLong_AsSsize_t(got.get()) : -1;
  if (n == -1 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
  }
  if (n < 0 || static_cast<std::size_t>(n) > room) {
    return value_error(
        "read() must return the number of bytes it wrote, from 0 to the "
        "memoryview's length");
  }
  return static_cast<std::size_t>(n);
}

// Sets list[k] to obj (stolen); false with an exception pending when obj is
// null.
bool set_item(PyObject* list, std::size_t k, PyObject* obj) {
  return obj != nullptr && PyList_SetItem(list, static_cast<Py_ssize_t>(k), obj) == 0;
}

PyObject* bytes_of(std::span<const std::uint8_t> data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                   static_cast<Py_ssize_t>(data.size()));
}

// The groups as Python objects.
Expected<PyObject*> results(LineGroups& groups, const LineGroupRequest& request) {
  const std::size_t n = groups.groups();
  const bool bounds = request.confidence > 0;
  PyRef keys = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  PyRef estimates = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  PyRef lows = PyRef::steal(bounds ? PyList_New(static_cast<Py_ssize_t>(n)) : Py_NewRef(Py_None));
  PyRef highs = PyRef::steal(bounds ? PyList_New(static_cast<Py_ssize_t>(n)) : Py_NewRef(Py_None));
  PyRef sketches =
      PyRef::steal(request.sketches ? PyList_New(static_cast<Py_ssize_t>(n)) : Py_NewRef(Py_None));
  if (!keys || !estimates || !lows || !highs || !sketches) {
    return PyErr::fetch();
  }
  std::vector<std::uint8_t> packed;
  for (std::size_t g = 0; g < n; ++g) {
    const RegisterHistogram h = groups.histogram(g);
    const double estimate = improved_estimate(h);
    if (!set_item(keys.get(), g, bytes_of(groups.key(g))) ||
        !set_item(estimates.get(), g, PyFloat_FromDouble(estimate))) {
      return PyErr::fetch();
    }
    if (bounds) {
      const Interval interval = error_bounds(h, estimate, request.confidence);
      if (!set_item(lows.get(), g, PyFloat_FromDouble(interval.lower)) ||
          !set_item(highs.get(), g, PyFloat_FromDouble(interval.upper))) {
        return PyErr::fetch();
      }
    }
    if (request.sketches) {
      packed.clear();
      if (Refusal refusal = groups.finalize(g, packed)) {
        return value_error(std::move(*refusal));
      }
      if (!set_item(sketches.get(), g, bytes_of(packed))) {
        return PyErr::fetch();
      }
    }
  }
  const FieldCounts& counts = groups.counts();
  // Out of memory here is a MemoryError like any other, not a broken
  // invariant.
  PyObject* out = Py_BuildValue("(OOOOOnn)", keys.get(), estimates.get(), lows.get(), highs.get(),
                                sketches.get(), static_cast<Py_ssize_t>(counts.items),
                                static_cast<Py_ssize_t>(counts.skipped));
  if (out == nullptr) {
    return PyErr::fetch();
  }
  return out;
}

}  // namespace

Expected<PyObject*> group_lines(const LineGroupRequest& request, const LineGroupChoice& choice) {
  auto groups = std::make_unique<LineGroups>(request.p, choice, usable_cpus() > 1);
  LentBuffer buf;
  if (Status made = buf.allocate(FIRST_BUFFER_BYTES); !made) {
    return std::move(made).error();
  }
  std::size_t keep = 0;  // bytes of an unfinished line at the front of buf
  const auto take = [&](std::size_t size) -> Status {
    const std::span<const std::uint8_t> lines{buf.data(), size};
    if (!without_gil([&]() noexcept { return groups->add(lines, true); })) {
      return PyErr::described_without_argument(PyExc_MemoryError);
    }
    return success();
  };
  while (true) {
    Expected<std::size_t> got = read_into(request.read, buf, keep);
    if (!got) {
      return std::move(got).error();
    }
    if (PyErr_CheckSignals() < 0) {
      return PyErr::fetch();
    }
    if (*got == 0) {
      break;
    }
    const std::size_t end = keep + *got;
    const bool filled = end == buf.size();
    const void* newline = find_last_byte(buf.data() + keep, '\n', *got);
    if (newline == nullptr) {
      keep = end;
      if (keep == buf.size()) {
        // A line longer than the buffer: it has to be held whole, for its key.
        if (Status grown = buf.allocate(buf.size() * 2); !grown) {
          return std::move(grown).error();
        }
      }
      continue;
    }
    const auto cut =
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - buf.data()) + 1;
    if (Status taken = take(cut); !taken) {
      return std::move(taken).error();
    }
    std::memmove(buf.data(), buf.data() + cut, end - cut);
    keep = end - cut;
    if (filled && buf.size() < WORKING_BUFFER_BYTES) {
      if (Status grown = buf.allocate(buf.size() * 2); !grown) {
        return std::move(grown).error();
      }
    }
  }
  if (keep > 0) {
    if (Status taken = take(keep); !taken) {
      return std::move(taken).error();
    }
  }
  return results(*groups, request);
}

}  // namespace drisk
