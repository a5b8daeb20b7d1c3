// drisk: group ids and rows of values read for sketches per group (see
// group_inputs.hpp).
#include "group_inputs.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <string>
#include <string_view>

#include "arrow_import.hpp"
#include "buffer.hpp"
#include "columns/array_views.hpp"
#include "columns/schema.hpp"
#include "cpus.hpp"
#include "group_keys.hpp"

namespace drisk {
namespace {

// Rows from which an array is read with the interpreter lock released.
constexpr std::size_t RELEASE_GIL_ROWS = 4096;
// Rows of values read between two looks at pending signals (Ctrl-C): some
// tens of milliseconds' work.
constexpr std::size_t SLICE_ROWS = std::size_t{1} << 20;
// Rows of keys numbered between two looks at Ctrl-C: a few milliseconds.
constexpr std::size_t KEY_SLICE_ROWS = std::size_t{1} << 16;

// One key of integer_key_ids(): (column, low, width, nulls).
struct IntegerKey {
  PyObject* column;
  std::uint64_t low;
  std::uint32_t width;
  bool nulls;
};

Expected<IntegerKey> extract_integer_key(PyObject* item) {
  PyObject* column = nullptr;
  PyObject* low = nullptr;
  unsigned long long width = 0;
  int nulls = 0;
  // PyArg_ParseTuple takes tuples only: anything else is a SystemError there.
  if (!PyTuple_Check(item)) {
    return type_error("each key must be a tuple (column, low, width, nulls)")
        .with_argument_note("keys");
  }
  if (!PyArg_ParseTuple(item, "OOKp", &column, &low, &width, &nulls)) {
    return fetch_for("keys");
  }
  // Two's complement of a negative low: the folding subtracts modulo 2^64.
  const unsigned long long low_bits = PyLong_AsUnsignedLongLongMask(low);
  if (low_bits == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return fetch_for("keys");
  }
  if (width == 0 || width > std::numeric_limits<std::uint32_t>::max()) {
    return value_error("a key's width must be from 1 to 2**32 - 1").with_argument_note("keys");
  }
  return IntegerKey{column, low_bits, static_cast<std::uint32_t>(width), nulls != 0};
}

}  // namespace

PyErr bad_group_ids(const char* message) {
  if (message == OUT_OF_MEMORY) {
    PyErr_NoMemory();
    return PyErr::fetch();
  }
  if (message == cells::NOT_INTEGERS) {
    return type_error(message).with_argument_note("groups");
  }
  return value_error(message).with_argument_note("groups");
}

PyErr lengths_differ(std::size_t sketches, std::size_t groups) {
  return value_error("sketches has " + std::to_string(sketches) + " rows but groups has " +
                     std::to_string(groups));
}

Expected<std::size_t> extract_count(PyObject* obj) {
  const Py_ssize_t count = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
  if (count == -1 && PyErr_Occurred() != nullptr) {
    return fetch_for("count");
  }
  if (count < 0) {
    return value_error("count must not be negative").with_argument_note("count");
  }
  return static_cast<std::size_t>(count);
}

Status read_group_ids(PyObject* data, std::size_t groups, GroupIds& ids) {
  if (Status ok = import_arrow(data, "groups", ids.imported); !ok) {
    return ok;
  }
  bool first = true;
  if (Status ok = next_array(ids.imported, ids.array, first); !ok) {
    return ok;
  }
  if (!ids.array.held()) {
    return success();  // no rows
  }
  OwnedArray next;
  if (Status ok = next_array(ids.imported, next, first); !ok) {
    return ok;
  }
  const ArrowSchema& schema = *ids.imported.schema;
  const ArrowArray& array = *ids.array;
  const std::string_view format = schema.format != nullptr ? schema.format : "";
  if (!next.held() && format == "I" && groups <= std::numeric_limits<std::uint32_t>::max() &&
      array.length >= 0 && array.offset >= 0 && array.n_buffers == 2 && array.buffers != nullptr &&
      (array.null_count == 0 || array.buffers[0] == nullptr) && array.buffers[1] != nullptr) {
    // One array of uint32 without nulls: checked where it lies.
    const auto* values = static_cast<const std::uint32_t*>(array.buffers[1]) + array.offset;
    const auto size = static_cast<std::size_t>(array.length);
    std::uint32_t high = 0;
    for (std::size_t k = 0; k < size; ++k) {
      high = std::max(high, values[k]);
    }
    if (size > 0 && high >= groups) {
      return bad_group_ids("group ids must lie from 0 to the number of groups");
    }
    ids.data = values;
    ids.size = size;
    return success();
  }
  // Anything else is copied, an array at a time.
  if (const char* message = cells::append_group_ids(schema, array, groups, ids.copy)) {
    return bad_group_ids(message);
  }
  while (next.held()) {
    if (const char* message = cells::append_group_ids(schema, *next, groups, ids.copy)) {
      return bad_group_ids(message);
    }
    if (Status ok = next_array(ids.imported, next, first); !ok) {
      return ok;
    }
  }
  ids.data = ids.copy.data();
  ids.size = ids.copy.size();
  return success();
}

Expected<std::unique_ptr<GroupRows>> read_group_rows(PyObject* values, PyObject* groups,
                                                     PyObject* count_arg, PyObject* p_arg) {
  Expected<std::uint8_t> p = extract_u8(p_arg, "p");
  if (!p) {
    return std::move(p).error();
  }
  if (Refusal refusal = HyperLogLogCore::check_precision(*p)) {
    return value_error(std::move(*refusal)).with_argument_note("p");
  }
  Expected<std::size_t> count = extract_count(count_arg);
  if (!count) {
    return std::move(count).error();
  }
  ImportedArrow imported;
  if (Status ok = import_arrow(values, "values", imported); !ok) {
    return std::move(ok).error();
  }
  ColumnType type;
  if (ColumnFailure failure = describe_column(*imported.schema, type)) {
    return column_error(std::move(*failure)).with_argument_note("values");
  }
  GroupIds ids;
  if (Status ok = read_group_ids(groups, *count, ids); !ok) {
    return std::move(ok).error();
  }
  std::unique_ptr<GroupRows> rows;
  try {
    rows = std::make_unique<GroupRows>(*p, *count, std::max<std::size_t>(ids.size, 1),
                                       usable_cpus() > 1);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return PyErr::fetch();
  }
  if (Status ok = absorb_values(*rows, type, imported, ids.data, ids.size); !ok) {
    return std::move(ok).error();
  }
  return rows;
}

Status absorb_values(GroupRows& rows, const ColumnType& type, ImportedArrow& imported,
                     const std::uint32_t* ids, std::size_t size) {
  std::size_t seen = 0;
  // The array before is kept until the next one is read: its dictionary's
  // hashes are kept for the next array, and must not meet a new dictionary
  // at the same address.
  OwnedArray previous;
  for (bool first = true;;) {
    OwnedArray array;
    if (Status ok = next_array(imported, array, first); !ok) {
      return ok;
    }
    if (!array.held()) {
      break;
    }
    const auto length = static_cast<std::size_t>(std::max<std::int64_t>(array->length, 0));
    if (length > size - seen) {
      return lengths_differ(seen + length, size);
    }
    // A slice at a time, with Ctrl-C looked at in between.
    for (std::size_t begin = 0; begin < length; begin += SLICE_ROWS) {
      const std::size_t end = std::min(length, begin + SLICE_ROWS);
      const std::uint32_t* at = ids + seen + begin;
      const auto add = [&]() noexcept { return rows.add(type, *array, begin, end, at); };
      if (ArrayFault fault = end - begin >= RELEASE_GIL_ROWS ? without_gil(add) : add()) {
        return array_fault(fault);
      }
      if (end < length && PyErr_CheckSignals() < 0) {
        return PyErr::fetch();
      }
    }
    seen += length;
    previous.take(array.out());
    if (PyErr_CheckSignals() < 0) {
      return PyErr::fetch();
    }
  }
  if (seen != size) {
    return lengths_differ(seen, size);
  }
  return success();
}

Status integer_key_ids(PyObject* keys_arg, std::vector<std::uint32_t>& codes,
                       std::vector<std::int64_t>& first) {
  PyRef keys = PyRef::steal(PySequence_Tuple(keys_arg));
  if (!keys) {
    return fetch_for("keys");
  }
  std::uint64_t range = 1;
  for (Py_ssize_t k = 0; k < PyTuple_Size(keys.get()); ++k) {
    Expected<IntegerKey> key = extract_integer_key(PyTuple_GetItem(keys.get(), k));
    if (!key) {
      return std::move(key).error();
    }
    range *= key->width;
    if (range > std::numeric_limits<std::uint32_t>::max()) {
      return value_error("the keys' ranges multiply past 2**32 - 1").with_argument_note("keys");
    }
    ImportedArrow imported;
    if (Status ok = import_arrow(key->column, "keys", imported); !ok) {
      return std::move(ok).error();
    }
    std::size_t row = 0;
    for (bool first = true;;) {
      OwnedArray array;
      if (Status ok = next_array(imported, array, first); !ok) {
        return std::move(ok).error();
      }
      if (!array.held()) {
        break;
      }
      const auto length = static_cast<std::size_t>(std::max<std::int64_t>(array->length, 0));
      if (k == 0) {
        // Room for the rows, not yet touched: the first key column's slices
        // below write theirs as they go, so that the faulting in of a large
        // column's codes (seconds, on some virtual machines) is
        // spread between the looks at Ctrl-C too.
        try {
          if (codes.capacity() < codes.size() + length) {
            codes.reserve(std::max(codes.size() + length, 2 * codes.capacity()));
          }
        } catch (const std::bad_alloc&) {
          PyErr_NoMemory();
          return PyErr::fetch();
        }
      } else if (length > codes.size() - row) {
        return value_error("the key columns differ in length").with_argument_note("keys");
      }
      // A slice at a time, with Ctrl-C looked at in between.
      // Each slice without the interpreter lock, so that other threads run.
      for (std::size_t begin = 0; begin < length; begin += KEY_SLICE_ROWS) {
        const std::size_t end = std::min(length, begin + KEY_SLICE_ROWS);
        const auto fold = [&]() noexcept {
          if (k == 0) {
            codes.resize(row + end, 0);  // within the capacity reserved: cannot throw
          }
          return fold_integer_key(*imported.schema, *array, key->low, key->width, key->nulls,
                                  codes.data() + row, static_cast<std::int64_t>(begin),
                                  static_cast<std::int64_t>(end));
        };
        if (const char* message = end - begin >= RELEASE_GIL_ROWS ? without_gil(fold) : fold()) {
          return bad_group_ids(message);
        }
        if (PyErr_CheckSignals() < 0) {
          return PyErr::fetch();
        }
      }
      row += length;
    }
    if (row != codes.size()) {
      return value_error("the key columns differ in length").with_argument_note("keys");
    }
  }
  try {
    std::vector<std::uint32_t> number(static_cast<std::size_t>(range), UNNUMBERED);
    for (std::size_t begin = 0; begin < codes.size(); begin += KEY_SLICE_ROWS) {
      const std::size_t end = std::min(codes.size(), begin + KEY_SLICE_ROWS);
      bool no_memory = false;
      const auto step = [&]() noexcept {
        try {
          number_codes(codes.data(), begin, end, number, first);
        } catch (const std::bad_alloc&) {
          no_memory = true;
        }
      };
      if (end - begin >= RELEASE_GIL_ROWS) {
        without_gil(step);
      } else {
        step();
      }
      if (no_memory) {
        PyErr_NoMemory();
        return PyErr::fetch();
      }
      if (PyErr_CheckSignals() < 0) {
        return PyErr::fetch();
      }
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return PyErr::fetch();
  }
  return success();
}

Expected<std::vector<ColumnType>> key_types(const ArrowSchema& schema) {
  if (schema.format == nullptr || std::string_view(schema.format) != "+s" ||
      schema.n_children < 1 || schema.children == nullptr) {
    return type_error("keys must be a table of one or more key columns").with_argument_note("keys");
  }
  const auto count = static_cast<std::size_t>(schema.n_children);
  std::vector<ColumnType> types(count);
  for (std::size_t k = 0; k < count; ++k) {
    const ArrowSchema* child = schema.children[k];
    if (child == nullptr) {
      return type_error("keys must be a table of one or more key columns")
          .with_argument_note("keys");
    }
    if (ColumnFailure failure = describe_column(*child, types[k]); failure || types[k].table) {
      return type_error("key column " + std::to_string(k) + " cannot be grouped on")
          .with_argument_note("keys");
    }
  }
  return types;
}

Status number_keys(GroupKeys& table, ImportedArrow& imported, std::vector<std::uint32_t>& ids) {
  const ArrowSchema& schema = *imported.schema;
  const auto count = static_cast<std::size_t>(schema.n_children);
  std::vector<const ArrowArray*> arrays(count);
  std::vector<std::int64_t> firsts(count);
  std::size_t seen = 0;
  ids.clear();
  // The batch before is kept until the next one is read: its dictionaries'
  // entries are kept for the next batch, and must not meet new ones at the
  // same address.
  OwnedArray previous;
  for (bool first_array = true;;) {
    OwnedArray array;
    if (Status ok = next_array(imported, array, first_array); !ok) {
      return ok;
    }
    if (!array.held()) {
      break;
    }
    const ArrowArray& batch = *array;
    if (const char* fault = columns::shape_fault(batch)) {
      return array_fault(fault);
    }
    if (batch.n_children != schema.n_children || batch.children == nullptr) {
      return array_fault("malformed Arrow array: a batch's columns differ from its schema's");
    }
    for (std::size_t k = 0; k < count; ++k) {
      const ArrowArray* column = batch.children[k];
      if (column == nullptr) {
        return array_fault("malformed Arrow array: a batch's columns differ from its schema's");
      }
      if (const char* fault = columns::shape_fault(*column)) {
        return array_fault(fault);
      }
      if (column->length < batch.offset + batch.length) {
        return array_fault("malformed Arrow array: a table's column is shorter than the table");
      }
      arrays[k] = column;
      firsts[k] = column->offset + batch.offset;
    }
    const auto length = static_cast<std::size_t>(batch.length);
    try {
      ids.resize(seen + length);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return PyErr::fetch();
    }
    // A slice at a time, with Ctrl-C looked at in between.
    for (std::size_t begin = 0; begin < length; begin += KEY_SLICE_ROWS) {
      const std::size_t end = std::min(length, begin + KEY_SLICE_ROWS);
      const auto add = [&]() noexcept {
        return table.add(arrays.data(), firsts.data(), begin, end, ids.data() + seen + begin,
                         static_cast<std::int64_t>(seen));
      };
      if (ArrayFault fault = end - begin >= RELEASE_GIL_ROWS ? without_gil(add) : add()) {
        if (fault == OUT_OF_MEMORY) {
          PyErr_NoMemory();
          return PyErr::fetch();
        }
        return value_error(std::string(fault) + " (in the batch of keys from row " +
                           std::to_string(seen) + ")");
      }
      if (PyErr_CheckSignals() < 0) {
        return PyErr::fetch();
      }
    }
    seen += length;
    previous.take(array.out());
  }
  return success();
}

Status key_ids(PyObject* keys, std::vector<std::uint32_t>& ids, std::vector<std::int64_t>& first) {
  ImportedArrow imported;
  if (Status ok = import_arrow(keys, "keys", imported); !ok) {
    return ok;
  }
  Expected<std::vector<ColumnType>> types = key_types(*imported.schema);
  if (!types) {
    return std::move(types).error();
  }
  std::unique_ptr<GroupKeys> table;
  try {
    table = std::make_unique<GroupKeys>(*types);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return PyErr::fetch();
  }
  if (Status ok = number_keys(*table, imported, ids); !ok) {
    return ok;
  }
  try {
    first = table->first_rows();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return PyErr::fetch();
  }
  return success();
}

}  // namespace drisk
