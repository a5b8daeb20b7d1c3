// drisk._groupprobe: test and bench hooks of the grouped store (grouped.hpp).
//
// The store has no entry of its own yet; these feed it from Python, so that
// its steps can be checked against plain sketches (update and finalize
// against update_many per group, combine against unions of folded sketches)
// and its memory measured.
#include <array>
#include <string>
#include <vector>

#include "buffer.hpp"
#include "entry.hpp"
#include "grouped.hpp"
#include "sketch_cells.hpp"

namespace drisk {
namespace {

constexpr std::array<const char* const, 3> GROUPS_PARAMS{"groups", "items", "p"};
constexpr FunctionDescription GROUPS_DESC{nullptr, "sketch_groups", GROUPS_PARAMS, 3};
constexpr std::array<const char* const, 3> COMBINE_PARAMS{"groups", "sketches", "p"};
constexpr FunctionDescription COMBINE_DESC{nullptr, "combine_groups", COMBINE_PARAMS, 3};
constexpr std::array<const char* const, 4> FOOTPRINT_PARAMS{"groups", "hashes", "p", "batched"};
constexpr FunctionDescription FOOTPRINT_DESC{nullptr, "store_footprint", FOOTPRINT_PARAMS, 3};

PyObject* bytes_of(const void* data, std::size_t size) {
  return checked(
      PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

[[gnu::cold, gnu::noinline]] PyErr group_out_of_range() {
  return value_error("groups must be integers from 0 to 2**20 - 1").with_argument_note("groups");
}

// Every group of a store, packed, in a list.
Expected<PyObject*> finalized(GroupedSketches& store) {
  PyRef result = PyRef::steal(checked(PyList_New(0)));
  std::vector<std::uint8_t> out;
  for (std::size_t g = 0; g < store.groups(); ++g) {
    out.clear();
    if (Refusal refusal = store.finalize(g, out)) {
      return value_error(std::move(*refusal));
    }
    PyRef packed = PyRef::steal(bytes_of(out.data(), out.size()));
    if (PyList_Append(result.get(), packed.get()) < 0) {
      return PyErr::fetch();
    }
  }
  return result.release();
}

// A group id of the test hooks: an int from 0 to 2**20 - 1.
Expected<std::size_t> extract_group(PyObject* obj) {
  const unsigned long long g = PyLong_AsUnsignedLongLong(obj);
  if (PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return group_out_of_range();
  }
  if (g >= (1ull << 20)) {
    return group_out_of_range();
  }
  return static_cast<std::size_t>(g);
}

// The precision of a hook's store: an int that check_precision accepts.
Expected<std::uint8_t> store_precision(PyObject* obj) {
  Expected<std::uint8_t> p = extract_u8(obj, "p");
  if (!p) {
    return std::move(p).error();
  }
  if (Refusal refusal = HyperLogLogCore::check_precision(*p)) {
    return value_error(std::move(*refusal)).with_argument_note("p");
  }
  return *p;
}

// The walk of the two list hooks: groups and items of one length, then
// absorb(store, group, item) for each pair in order, the group's sketch
// already reserved; the store's groups packed at the end.
template <typename Absorb>
Expected<PyObject*> per_group(PyObject* groups, PyObject* items, PyObject* p_obj,
                              const char* mismatch, Absorb&& absorb) {
  Expected<std::uint8_t> p = store_precision(p_obj);
  if (!p) {
    return std::move(p).error();
  }
  const Py_ssize_t n = PySequence_Size(groups);
  if (n < 0) {
    return fetch_for("groups");
  }
  if (PySequence_Size(items) != n) {
    PyErr_Clear();
    return value_error(mismatch);
  }
  GroupedSketches store(*p);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef group = PyRef::steal(PySequence_GetItem(groups, i));
    PyRef item = group ? PyRef::steal(PySequence_GetItem(items, i)) : PyRef();
    if (!item) {
      return PyErr::fetch();
    }
    Expected<std::size_t> g = extract_group(group.get());
    if (!g) {
      return std::move(g).error();
    }
    store.reserve(*g + 1);
    if (Status ok = absorb(store, *g, item.get()); !ok) {
      return std::move(ok).error();
    }
  }
  return finalized(store);
}

// sketch_groups(groups, items, p) -> list of packed sketches, one per group
// 0 .. max(groups): each item (bytes) absorbed into its group's sketch.
PyObject* probe_sketch_groups(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return bound_call<GROUPS_DESC>(
      args, nargs, kwnames, [](Slots<GROUPS_DESC>& slots) -> Expected<PyObject*> {
        return per_group(slots[0], slots[1], slots[2], "groups and items must have the same length",
                         [](GroupedSketches& store, std::size_t g, PyObject* item) -> Status {
                           Expected<std::span<const std::uint8_t>> bytes =
                               extract_bytes(item, "items");
                           if (!bytes) {
                             return std::move(bytes).error();
                           }
                           store.update(g, XXH3_64bits(bytes->data(), bytes->size()));
                           return success();
                         });
      });
}

[[gnu::cold, gnu::noinline]] PyErr precision_below(unsigned source, unsigned target) {
  return value_error("a sketch of p=" + std::to_string(source) +
                     " cannot be combined into a store of p=" + std::to_string(target));
}

// combine_groups(groups, sketches, p) -> list of packed sketches, one per
// group 0 .. max(groups): each sketch (packed or raw) combined into its
// group's sketch.
PyObject* probe_combine_groups(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return bound_call<COMBINE_DESC>(
      args, nargs, kwnames, [](Slots<COMBINE_DESC>& slots) -> Expected<PyObject*> {
        std::vector<std::uint32_t> entries(std::size_t{1} << MAX_PRECISION);
        return per_group(
            slots[0], slots[1], slots[2], "groups and sketches must have the same length",
            [&entries](GroupedSketches& store, std::size_t g, PyObject* item) -> Status {
              BufferView view;
              if (!view.acquire(item)) {
                return fetch_for("sketches");
              }
              cells::Sketch sketch;
              if (Refusal refusal = cells::open(view.bytes(), sketch)) {
                return value_error(std::move(*refusal));
              }
              if (sketch.p < store.precision()) {
                return precision_below(sketch.p, store.precision());
              }
              if (sketch.sparse) {
                std::size_t count = 0;
                if (Refusal refusal = packed::read_entries(sketch.view, entries.data(), count)) {
                  return value_error(std::move(*refusal));
                }
                store.combine_entries(g, {entries.data(), count}, sketch.p);
              } else {
                store.combine_registers(g, sketch.registers, sketch.p);
              }
              return success();
            });
      });
}

[[gnu::cold, gnu::noinline]] PyErr not_a_run(const char* param, const char* what) {
  return type_error(std::string(param) + " must be a one-dimensional buffer of " + what)
      .with_argument_note(param);
}

// A one-dimensional contiguous buffer of `width`-byte unsigned integers.
Status unsigned_run(BufferView& view, PyObject* obj, const char* param, std::size_t width,
                    const char* what) {
  if (!view.acquire(obj, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) {
    return fetch_for(param);
  }
  const Py_buffer& b = view.view();
  const std::string_view format = b.format != nullptr ? b.format : "B";
  const bool is_unsigned = format.find_first_of("BHILQN") != std::string_view::npos;
  if (b.ndim != 1 || static_cast<std::size_t>(b.itemsize) != width || !is_unsigned) {
    return not_a_run(param, what);
  }
  return success();
}

// store_footprint(groups, hashes, p, batched=True)
//     -> (bytes in use, bytes reserved, [packed group, ...])
// Feeds hashes[i] (uint64, an item's hash) into group groups[i] (uint32) of
// one store and reports its register storage, then the size of all its
// groups packed: the memory of a grouped pass without the row reading.
PyObject* probe_store_footprint(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return bound_call<FOOTPRINT_DESC>(
      args, nargs, kwnames, [](Slots<FOOTPRINT_DESC>& slots) -> Expected<PyObject*> {
        Expected<std::uint8_t> p = store_precision(slots[2]);
        if (!p) {
          return std::move(p).error();
        }
        BufferView groups_view;
        BufferView hashes_view;
        if (Status ok = unsigned_run(groups_view, slots[0], "groups", 4, "uint32"); !ok) {
          return std::move(ok).error();
        }
        if (Status ok = unsigned_run(hashes_view, slots[1], "hashes", 8, "uint64"); !ok) {
          return std::move(ok).error();
        }
        const auto* groups = static_cast<const std::uint32_t*>(groups_view.view().buf);
        const auto* hashes = static_cast<const std::uint64_t*>(hashes_view.view().buf);
        const auto n = static_cast<std::size_t>(groups_view.view().shape[0]);
        if (static_cast<std::size_t>(hashes_view.view().shape[0]) != n) {
          return value_error("groups and hashes must have the same length");
        }
        std::uint32_t count = 0;
        for (std::size_t i = 0; i < n; ++i) {
          count = std::max(count, groups[i] + 1);
        }
        if (count > (1u << 24)) {
          return value_error("groups must be below 2**24").with_argument_note("groups");
        }
        GroupedSketches store(*p);
        store.reserve(count);
        if (PyObject_IsTrue(slots[3] != nullptr ? slots[3] : Py_True) == 1) {
          store.update_many(groups, hashes, n);
        } else {
          for (std::size_t i = 0; i < n; ++i) {
            store.update(groups[i], hashes[i]);
          }
        }
        const std::size_t in_use = store.bytes_in_use();
        const std::size_t reserved = store.bytes_reserved();
        Expected<PyObject*> packed = finalized(store);
        if (!packed) {
          return std::move(packed).error();
        }
        PyRef list = PyRef::steal(*packed);
        return checked(Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(in_use),
                                     static_cast<Py_ssize_t>(reserved), list.get()));
      });
}

PyMethodDef PROBE_METHODS[] = {
    {"sketch_groups", as_cfunction(probe_sketch_groups), METH_FASTCALL | METH_KEYWORDS,
     documented(GROUPS_DESC,
                "sketch_groups(groups, items, p)\n--\n\n"
                "The packed sketch of each group 0 .. max(groups), fed items[i]\n"
                "(bytes) into group groups[i] through the grouped store.")},
    {"combine_groups", as_cfunction(probe_combine_groups), METH_FASTCALL | METH_KEYWORDS,
     documented(COMBINE_DESC,
                "combine_groups(groups, sketches, p)\n--\n\n"
                "The packed sketch of each group 0 .. max(groups), combining\n"
                "sketches[i] (packed or raw, of precision p or more) into group groups[i]\n"
                "through the grouped store.")},
    {"store_footprint", as_cfunction(probe_store_footprint), METH_FASTCALL | METH_KEYWORDS,
     documented(FOOTPRINT_DESC,
                "store_footprint(groups, hashes, p, batched=True)\n--\n\n"
                "Feed hashes[i] (uint64 buffer) into group groups[i]\n"
                "(uint32 buffer) of one store, by update_many() (batched) or item by item;\n"
                "(register bytes in use, bytes taken from the system, [packed group, ...]).")},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

ModuleDefinition PROBE_MODULE{"drisk._groupprobe",
                              "Test and bench hooks of the grouped sketch store.", PROBE_METHODS,
                              nullptr};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__groupprobe(void) { return drisk::PROBE_MODULE.init(); }
