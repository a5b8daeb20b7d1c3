// drisk: the `_drisk` extension module and its `HyperLogLog` type.
//
// Laid out in the order the interpreter meets things: the sketch object's
// life (allocation and deallocation), its members, the slot and method
// tables, the type spec, then the module definition and its execution step.
// Every entry point runs its steps inside the barrier of call_frame.hpp,
// through the helpers of entry.hpp.
#include <array>
#include <cstring>

#include "entry.hpp"

namespace drisk {
namespace {

constexpr const char* CLASS_NAME = "HyperLogLog";
// From pyproject.toml, through CMake.
constexpr const char* VERSION = DRISK_VERSION;

WriteOnce<PyObject> ALL_NAME;

// ---------------------------------------------------------------------------
// Object life
// ---------------------------------------------------------------------------

// Releases the registers, frees the record through the inherited tp_free and
// drops the instance's reference to its heap type.
void hll_dealloc(PyObject* self) noexcept {
  trampoline_unraisable([&] {
    PyHyperLogLog* sketch = as_sketch(self);
    sketch->core.~HyperLogLogCore();
    sketch->borrow_flag.~BorrowFlag();
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free_slot == nullptr) {
      fail_invariant("PyBaseObject_Type should have tp_free");
    }
    free_slot(self);
    Py_DECREF(type);
  });
}

// ---------------------------------------------------------------------------
// Members
// ---------------------------------------------------------------------------

constexpr std::array<const char* const, 1> P_PARAMS{"p"};
constexpr std::array<const char* const, 1> DATA_PARAMS{"data"};
constexpr std::array<const char* const, 1> S_PARAMS{"s"};
constexpr std::array<const char* const, 1> OTHER_PARAMS{"other"};

constexpr FunctionDescription NEW_DESC{CLASS_NAME, "__new__", P_PARAMS, 0};
constexpr FunctionDescription UPDATE_DESC{CLASS_NAME, "update", DATA_PARAMS, 1};
constexpr FunctionDescription UPDATE_STR_DESC{CLASS_NAME, "update_str", S_PARAMS, 1};
constexpr FunctionDescription MERGE_DESC{CLASS_NAME, "merge", OTHER_PARAMS, 1};
constexpr FunctionDescription FROM_BYTES_DESC{CLASS_NAME, "from_bytes", DATA_PARAMS, 1};

// HyperLogLog(p=12)
PyObject* hll_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[1] = {nullptr};
    if (Status bound = NEW_DESC.bind_tuple_dict(args, kwargs, slots); !bound) {
      return std::move(bound).error();
    }
    unsigned p = DEFAULT_PRECISION;
    if (slots[0] != nullptr) {
      Expected<std::uint8_t> converted = extract_u8(slots[0], "p");
      if (!converted) {
        return std::move(converted).error();
      }
      p = *converted;
    }
    HyperLogLogCore core;
    if (Refusal refusal = HyperLogLogCore::create(p, core)) {
      return value_error(std::move(*refusal));
    }
    Expected<PyObject*> obj = into_new_object(subtype);
    if (!obj) {
      return obj;
    }
    return adopt_core(*obj, std::move(core));
  });
}

// update(data) and update_str(s): absorb one item, viewed in place by
// `Extract` (bytes as they are, str as its cached UTF-8).
template <const FunctionDescription& Desc, auto Extract>
PyObject* hll_add_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return sketch_method<Desc, Access::exclusive>(
      self, args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<Desc>& slots) -> Expected<PyObject*> {
        auto item = Extract(slots[0], Desc.positional_names[0]);
        if (!item) {
          return std::move(item).error();
        }
        core.add(item->data(), item->size());
        return none_result();
      });
}

constexpr auto hll_update = hll_add_one<UPDATE_DESC, extract_bytes>;
constexpr auto hll_update_str = hll_add_one<UPDATE_STR_DESC, extract_str>;

// count(): the cardinality estimate.
PyObject* hll_count(PyObject* self, PyObject* /*unused*/) {
  return sketch_reader<Access::shared>(self,
                                       [](const HyperLogLogCore& core) -> Expected<PyObject*> {
                                         return float_result(core.estimate());
                                       });
}

// merge(other): in-place union; `other` is held shared and never modified.
PyObject* hll_merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return sketch_method<MERGE_DESC, Access::exclusive>(
      self, args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<MERGE_DESC>& slots) -> Expected<PyObject*> {
        Expected<SketchView> other = extract_sketch(slots[0], "other");
        if (!other) {
          return std::move(other).error();
        }
        if (Refusal refusal = core.merge(*other->core)) {
          return value_error(std::move(*refusal));
        }
        return none_result();
      });
}

// copy(): an independent sketch with the same registers.
PyObject* hll_copy(PyObject* self, PyObject* /*unused*/) {
  return sketch_reader<Access::shared>(self,
                                       [](const HyperLogLogCore& core) -> Expected<PyObject*> {
                                         return create_class_object(core.clone());
                                       });
}

// registers(): the register bytes, copied straight into a new bytes object.
PyObject* hll_registers(PyObject* self, PyObject* /*unused*/) {
  return sketch_reader<Access::shared>(
      self, [](const HyperLogLogCore& core) -> Expected<PyObject*> {
        return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(core.registers()),
                                                 static_cast<Py_ssize_t>(core.size())));
      });
}

// to_bytes(): p, then the registers, written straight into the result.
PyObject* hll_to_bytes(PyObject* self, PyObject* /*unused*/) {
  return sketch_reader<Access::shared>(
      self, [](const HyperLogLogCore& core) -> Expected<PyObject*> {
        PyObject* out = checked(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(core.serialized_size())));
        core.serialize(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out)));
        return out;
      });
}

// from_bytes(data): static; rebuilds a sketch from to_bytes() output.
PyObject* hll_from_bytes(PyObject* /*null*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return bound_call<FROM_BYTES_DESC>(
      args, nargs, kwnames, [](Slots<FROM_BYTES_DESC>& slots) -> Expected<PyObject*> {
        Expected<std::span<const std::uint8_t>> data = extract_bytes(slots[0], "data");
        if (!data) {
          return std::move(data).error();
        }
        HyperLogLogCore core;
        if (Refusal refusal = HyperLogLogCore::decode(*data, core)) {
          return value_error(std::move(*refusal));
        }
        return create_class_object(std::move(core));
      });
}

// len(h): the register count m.
Py_ssize_t hll_length(PyObject* self) {
  return trampoline([&]() -> Expected<Py_ssize_t> {
    PyHyperLogLog* sketch = as_sketch(self);
    std::size_t m = 0;
    {
      Expected<SharedBorrow> guard = try_borrow(sketch->borrow_flag);
      if (!guard) {
        return std::move(guard).error();
      }
      m = sketch->core.size();
    }
    if (m > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      return PyErr::described_without_argument(PyExc_OverflowError);
    }
    return static_cast<Py_ssize_t>(m);
  });
}

// repr(h): "HyperLogLog(p=12)".
PyObject* hll_repr(PyObject* self) {
  return sketch_reader<Access::shared>(
      self, [](const HyperLogLogCore& core) -> Expected<PyObject*> {
        return str_result(std::string(CLASS_NAME) + "(p=" + std::to_string(core.precision()) + ")");
      });
}

// ---------------------------------------------------------------------------
// Tables and the type spec
// ---------------------------------------------------------------------------

PyMethodDef HLL_METHODS[] = {
    {"update", as_cfunction(hll_update), METH_FASTCALL | METH_KEYWORDS,
     documented(UPDATE_DESC, "update($self, data)\n--\n\nAdd a single item.")},
    {"update_str", as_cfunction(hll_update_str), METH_FASTCALL | METH_KEYWORDS,
     documented(UPDATE_STR_DESC,
                "update_str($self, s)\n--\n\n"
                "Convenience: `str` -> utf8 -> `update`, avoids `.encode()` at call sites.")},
    {"count", as_cfunction(hll_count), METH_NOARGS, "count($self)\n--\n\n"},
    {"merge", as_cfunction(hll_merge), METH_FASTCALL | METH_KEYWORDS,
     documented(MERGE_DESC,
                "merge($self, other)\n--\n\nIn-place union with another sketch of the same `p`.")},
    {"copy", as_cfunction(hll_copy), METH_NOARGS, "copy($self)\n--\n\n"},
    {"registers", as_cfunction(hll_registers), METH_NOARGS,
     "registers($self)\n--\n\nRaw register bytes, exposed for debugging/serialization."},
    {"to_bytes", as_cfunction(hll_to_bytes), METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"from_bytes", as_cfunction(hll_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     documented(FROM_BYTES_DESC, "from_bytes(data)\n--\n\n")},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyType_Slot HLL_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(documented(NEW_DESC,
                                             "HyperLogLog(p=12)\n--\n\n"
                                             "Thin PyO3 wrapper around [`HyperLogLogCore`]."))},
    {Py_tp_new, reinterpret_cast<void*>(hll_new)},
    {Py_mp_length, reinterpret_cast<void*>(hll_length)},
    {Py_tp_repr, reinterpret_cast<void*>(hll_repr)},
    {Py_tp_methods, HLL_METHODS},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(hll_dealloc)},
    {0, nullptr} /* sentinel */
};

PyType_Spec HLL_SPEC = {
    "builtins.HyperLogLog",  // no module of its own
    static_cast<int>(sizeof(PyHyperLogLog)),
    0,  // fixed-size objects
    0,  // not subclassable, not GC-tracked
    HLL_SLOTS,
};

// The type of the process: created on first need, then read without locking.
Expected<PyTypeObject*> get_type_object() {
  if (PyTypeObject* ready = sketch_type()) {
    return ready;
  }
  PyObject* made = PyType_FromSpec(&HLL_SPEC);
  if (made == nullptr) {
    return runtime_error(std::string("An error occurred while initializing class ") + CLASS_NAME)
        .caused_by(PyErr::fetch());
  }
  return publish_sketch_type(reinterpret_cast<PyTypeObject*>(made));
}

// ---------------------------------------------------------------------------
// The module
// ---------------------------------------------------------------------------

// Sets module.<name> = value and appends name to the module's __all__,
// creating that list when the module has none.
Status add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyObject* all_name = interned(ALL_NAME, "__all__");
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    PyErr err = PyErr::fetch();
    if (!err.matches(PyExc_AttributeError)) {
      return err;
    }
    all = PyRef::steal(checked(PyList_New(0)));
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) {
      return PyErr::fetch();
    }
  } else if (!PyList_Check(all.get())) {
    return type_mismatch(all.get(), &PyList_Type);
  }
  PyRef name_obj = PyRef::steal(checked(PyUnicode_FromString(name)));
  if (PyList_Append(all.get(), name_obj.get()) < 0) {
    PyErr_Clear();
    fail_invariant("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name_obj.get(), value) < 0) {
    return PyErr::fetch();
  }
  return success();
}

int module_exec(PyObject* module) {
  return trampoline([&]() -> Expected<int> {
    if (module == nullptr) {
      return PyErr::fetch();
    }
    if (!PyModule_Check(module)) {
      return type_mismatch(module, &PyModule_Type);
    }
    if (Status watched = watch_shutdown(); !watched) {
      return std::move(watched).error();
    }
    Expected<PyTypeObject*> type = get_type_object();
    if (!type) {
      return std::move(type).error();
    }
    if (Status added = add_to_module(module, CLASS_NAME, reinterpret_cast<PyObject*>(*type));
        !added) {
      return std::move(added).error();
    }
    PyRef version = PyRef::steal(checked(PyUnicode_FromString(VERSION)));
    if (Status added = add_to_module(module, "__version__", version.get()); !added) {
      return std::move(added).error();
    }
    return 0;
  });
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)}, {0, nullptr} /* sentinel */
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_drisk",
    "",       // __doc__ is the empty string, not None
    0,        // no per-module state
    nullptr,  // no module-level functions
    MODULE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__drisk(void) { return PyModuleDef_Init(&drisk::MODULE_DEF); }
