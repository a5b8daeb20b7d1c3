// drisk: fields of buffered lines, and regular files read in C++.
#include "file_inputs.hpp"

#include <algorithm>
#include <optional>

#include "buffer.hpp"
#include "byte_inputs.hpp"
#include "cpus.hpp"
#include "file_lines.hpp"

namespace drisk {

Expected<FieldChoice> extract_field_choice(PyObject* fields, PyObject* delimiter) {
  FieldChoice choice;
  if (!PyTuple_Check(fields)) {
    return type_error("fields must be a tuple of field numbers").with_argument_note("fields");
  }
  const Py_ssize_t count = PyTuple_Size(fields);
  if (count > static_cast<Py_ssize_t>(MAX_FIELDS)) {
    return value_error("at most " + std::to_string(MAX_FIELDS) + " fields can be chosen")
        .with_argument_note("fields");
  }
  for (Py_ssize_t k = 0; k < count; ++k) {
    const long number = PyLong_AsLong(PyTuple_GetItem(fields, k));
    if (number == -1 && PyErr_Occurred() != nullptr) {
      return fetch_for("fields");
    }
    const std::uint32_t previous = k > 0 ? choice.numbers[static_cast<std::size_t>(k - 1)] : 0;
    if (number <= static_cast<long>(previous) || number > 0xFFFFFFFFL) {
      return value_error("field numbers must be positive, distinct and ascending")
          .with_argument_note("fields");
    }
    choice.numbers[static_cast<std::size_t>(k)] = static_cast<std::uint32_t>(number);
  }
  choice.count = static_cast<std::size_t>(count);
  const long byte = PyLong_AsLong(delimiter);
  if (byte == -1 && PyErr_Occurred() != nullptr) {
    return fetch_for("delimiter");
  }
  if (byte < BLANK_RUNS || byte > 255 || byte == '\n') {
    return value_error(
               "delimiter must be a byte value other than a newline, or -1 for runs of blanks")
        .with_argument_note("delimiter");
  }
  choice.delimiter = static_cast<int>(byte);
  return choice;
}

Expected<FieldCounts> absorb_buffer_fields(HyperLogLogCore& core, PyObject* buffer,
                                           const FieldChoice& choice, bool final) {
  BufferView view;
  if (!view.acquire(buffer)) {
    return fetch_for("buffer");
  }
  const std::span<const std::uint8_t> data = view.bytes();
  FieldCounts counts;
  if (choice.whole_line()) {
    counts.items = core.add_lines(data, final);
  } else if (data.size() >= SPLIT_BYTES && usable_cpus() > 1) {
    HyperLogLogCore helper = core.empty_like();
    counts = without_gil(
        [&]() noexcept { return add_field_lines_shared(core, &helper, choice, data, final); });
  } else if (data.size() >= RELEASE_GIL_BYTES) {
    FieldPicker picker(choice);
    counts = without_gil([&]() noexcept { return add_field_lines(core, picker, data, final); });
  } else {
    FieldPicker picker(choice);
    counts = add_field_lines(core, picker, data, final);
  }
  view.release();  // may run Python code (__release_buffer__)
  return counts;
}

Expected<bool> absorb_joined_fields(HyperLogLogCore& core, PyObject* parts,
                                    const FieldChoice& choice) {
  if (choice.whole_line()) {
    if (Status joined = absorb_joined(core, parts); !joined) {
      return std::move(joined).error();
    }
    return true;
  }
  FieldPicker picker(choice);
  picker.begin();
  Status read =
      for_each_part(parts, [&](std::span<const std::uint8_t> bytes) { picker.feed(bytes); });
  if (!read) {
    return std::move(read).error();
  }
  // Only now, with every part read: a failure above leaves the sketch as it
  // was.
  return picker.finish(core.mutable_registers(), core.precision());
}

Expected<RegularCounts> absorb_regular_file(HyperLogLogCore& core, const RegularRead& read,
                                            const FieldChoice& choice) {
  const FileSpan span{read.fd, read.start, read.size, read.block};
  RegularCounts result{};
  std::optional<HyperLogLogCore> helper_core;
  std::optional<FileReader> helper;
  FileReader own(core, choice, span);
  if (read.helper && read.size - read.start > read.block) {
    helper_core.emplace(core.empty_like());
    helper.emplace(*helper_core, choice, span);
  }
  FileReader* const helping = helper ? &*helper : nullptr;
  for (std::uint64_t from = read.start; from < read.size;) {
    const std::uint64_t to = std::min(read.size, from + read.region);
    const RegionOutcome outcome =
        without_gil([&]() noexcept { return read_file_lines(span, from, to, own, helping); });
    result.helped = result.helped || outcome.helped;
    if (outcome.stopped) {
      const int error = own.error != 0 ? own.error : (helper ? helper->error : 0);
      if (error != 0) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return PyErr::fetch();
      }
      result.shrank = true;
      break;
    }
    if (PyErr_CheckSignals() < 0) {
      return PyErr::fetch();
    }
    if (read.progress != Py_None) {
      PyRef done = PyRef::steal(PyLong_FromUnsignedLongLong(to - from));
      if (!done) {
        return PyErr::fetch();
      }
      PyRef called = PyRef::steal(PyObject_CallFunctionObjArgs(read.progress, done.get(), nullptr));
      if (!called) {
        return PyErr::fetch();
      }
      called.reset();
    }
    from = to;
  }
  result.counts = own.counts;
  if (helper) {
    result.counts.items += helper->counts.items;
    result.counts.skipped += helper->counts.skipped;
    core.merge_same_precision(*helper_core);
  }
  return result;
}

}  // namespace drisk
