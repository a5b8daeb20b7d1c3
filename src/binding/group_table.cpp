// drisk: a group table fed batch by batch (see group_table.hpp).
#include "group_table.hpp"

#include <memory>
#include <new>
#include <vector>

#include "arrow_import.hpp"
#include "columns/schema.hpp"
#include "cpus.hpp"
#include "group_inputs.hpp"
#include "group_keys.hpp"
#include "sketch_core.hpp"

namespace drisk {
namespace {

constexpr const char* CAPSULE_NAME = "drisk._grouped.GroupTable";

struct GroupTable {
  explicit GroupTable(unsigned precision) noexcept : p(precision) {}

  unsigned p;
  std::vector<ColumnType> key_types;  // fixed by the first batch
  std::unique_ptr<GroupKeys> keys;
  std::unique_ptr<GroupRows> rows;
  std::vector<std::uint32_t> ids;     // one batch's group ids (of its key rows)
  std::vector<std::uint32_t> mapped;  // each row's, when the keys came a group a row
  BorrowFlag flag{0};
  bool broken = false;
};

void free_table(PyObject* capsule) noexcept {
  delete static_cast<GroupTable*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
}

Expected<GroupTable*> table_of(PyObject* capsule) {
  auto* table = static_cast<GroupTable*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
  if (table == nullptr) {
    PyErr_Clear();
    return type_error("table must be a group table").with_argument_note("table");
  }
  if (table->broken) {
    return value_error("the group table is unusable after a failed batch");
  }
  return table;
}

PyErr no_memory() {
  PyErr_NoMemory();
  return PyErr::fetch();
}

}  // namespace

Expected<PyObject*> new_group_table(PyObject* p_arg) {
  Expected<std::uint8_t> p = extract_u8(p_arg, "p");
  if (!p) {
    return std::move(p).error();
  }
  if (Refusal refusal = HyperLogLogCore::check_precision(*p)) {
    return value_error(std::move(*refusal)).with_argument_note("p");
  }
  auto* table = new (std::nothrow) GroupTable(*p);
  if (table == nullptr) {
    return no_memory();
  }
  PyObject* capsule = PyCapsule_New(table, CAPSULE_NAME, free_table);
  if (capsule == nullptr) {
    delete table;
    return PyErr::fetch();
  }
  return capsule;
}

Expected<PyObject*> add_to_group_table(PyObject* capsule, PyObject* keys_arg, PyObject* values_arg,
                                       PyObject* local_arg) {
  Expected<GroupTable*> found = table_of(capsule);
  if (!found) {
    return std::move(found).error();
  }
  GroupTable& table = **found;
  Expected<ExclusiveBorrow> borrow = try_borrow_mut(table.flag);
  if (!borrow) {
    return std::move(borrow).error();
  }
  // Everything is checked before the table changes: the key types against
  // the first batch's, the values' type.
  ImportedArrow keys;
  if (Status ok = import_arrow(keys_arg, "keys", keys); !ok) {
    return std::move(ok).error();
  }
  Expected<std::vector<ColumnType>> types = key_types(*keys.schema);
  if (!types) {
    return std::move(types).error();
  }
  if (table.keys != nullptr && *types != table.key_types) {
    return type_error("the key columns' types differ from the first batch's")
        .with_argument_note("keys");
  }
  ImportedArrow values;
  if (Status ok = import_arrow(values_arg, "values", values); !ok) {
    return std::move(ok).error();
  }
  ColumnType value_type;
  if (ColumnFailure failure = describe_column(*values.schema, value_type)) {
    return column_error(std::move(*failure)).with_argument_note("values");
  }
  try {
    if (table.keys == nullptr) {
      table.keys = std::make_unique<GroupKeys>(*types);
      table.key_types = std::move(*types);
      table.rows = std::make_unique<GroupRows>(table.p, 0, 1, usable_cpus() > 1);
    }
  } catch (const std::bad_alloc&) {
    table.keys.reset();
    table.rows.reset();
    return no_memory();
  }
  // From here a failure leaves groups numbered but not sketched.
  table.broken = true;
  // This batch's arrays may sit where the last batch's freed ones did.
  table.keys->forget_dictionaries();
  table.rows->forget_dictionary();
  const std::size_t before = table.keys->groups();
  if (Status ok = number_keys(*table.keys, keys, table.ids); !ok) {
    return std::move(ok).error();
  }
  const std::uint32_t* ids = table.ids.data();
  std::size_t rows = table.ids.size();
  GroupIds local;
  if (local_arg != nullptr && local_arg != Py_None) {
    // The keys were one row per group of the batch: each row's group is
    // the id its local group got.
    if (Status ok = read_group_ids(local_arg, table.ids.size(), local); !ok) {
      return std::move(ok).error();
    }
    try {
      table.mapped.resize(local.size);
    } catch (const std::bad_alloc&) {
      return no_memory();
    }
    for (std::size_t r = 0; r < local.size; ++r) {
      table.mapped[r] = table.ids[local.data[r]];
    }
    ids = table.mapped.data();
    rows = local.size;
  }
  try {
    table.rows->grow(table.keys->groups(), rows);
  } catch (const std::bad_alloc&) {
    return no_memory();
  }
  if (Status ok = absorb_values(*table.rows, value_type, values, ids, rows); !ok) {
    return std::move(ok).error();
  }
  table.broken = false;
  const std::vector<std::int64_t>& first = table.keys->first_rows();
  return checked(PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(first.data() + before),
      static_cast<Py_ssize_t>((first.size() - before) * sizeof(std::int64_t))));
}

Expected<GroupTableRows> group_table_rows(PyObject* capsule) {
  Expected<GroupTable*> found = table_of(capsule);
  if (!found) {
    return std::move(found).error();
  }
  Expected<ExclusiveBorrow> borrow = try_borrow_mut((*found)->flag);
  if (!borrow) {
    return std::move(borrow).error();
  }
  return GroupTableRows{(*found)->rows.get(), std::move(*borrow)};
}

}  // namespace drisk
