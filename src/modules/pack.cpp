// drisk._pack: the packed form of a sketch (see packed.hpp).
//
// Built from the same sketch core and call frame as _drisk. Sketch arguments
// are checked against _drisk.HyperLogLog, the one type of the process,
// fetched when this module is executed; new sketches are objects of that type.
#include <array>

#include "call_frame.hpp"
#include "packed.hpp"

namespace drisk {
namespace {

// ---------------------------------------------------------------------------
// stand-ins until the shared sketch-object helpers land
// ---------------------------------------------------------------------------

// _drisk.HyperLogLog, a strong reference kept for the life of the process.
std::atomic<PyTypeObject*> SKETCH_TYPE{nullptr};

// A sketch argument, held under shared access for as long as the view lives.
Expected<SketchView> extract_sketch(PyObject* obj, const char* param) {
  return drisk::extract_sketch(obj, SKETCH_TYPE.load(std::memory_order_acquire), param);
}

// A new HyperLogLog owning `core`: object.__new__ gives a zero-filled record
// of the type, and the core and a free access flag are constructed in it.
Expected<PyObject*> create_class_object(HyperLogLogCore&& core) {
  PyTypeObject* type = SKETCH_TYPE.load(std::memory_order_acquire);
  auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  if (base_new == nullptr) {
    return type_error("base type without tp_new");
  }
  PyRef no_args = PyRef::steal(checked(PyTuple_New(0)));
  PyObject* obj = base_new(type, no_args.get(), nullptr);
  if (obj == nullptr) {
    return PyErr::fetch();
  }
  PyHyperLogLog* sketch = as_sketch(obj);
  new (&sketch->core) HyperLogLogCore(std::move(core));
  new (&sketch->borrow_flag) BorrowFlag(0);
  return obj;
}

// ---------------------------------------------------------------------------

constexpr std::array<const char* const, 1> PACK_PARAMS{"sketch"};
constexpr std::array<const char* const, 1> UNPACK_PARAMS{"data"};
constexpr FunctionDescription PACK_DESC{nullptr, "pack", PACK_PARAMS, 1};
constexpr FunctionDescription UNPACK_DESC{nullptr, "unpack", UNPACK_PARAMS, 1};

// A simple (contiguous, byte) buffer view, released by the destructor.
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
  // False with an exception pending when obj exposes no such buffer.
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

// pack(sketch) -> bytes
PyObject* pack_pack(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[1] = {nullptr};
    if (Status bound = PACK_DESC.bind_fastcall(args, nargs, kwnames, slots); !bound) {
      return std::move(bound).error();
    }
    Expected<SketchView> sketch = extract_sketch(slots[0], "sketch");
    if (!sketch) {
      return std::move(sketch).error();
    }
    packed::Plan plan{};
    if (Refusal refusal = packed::plan(*sketch->core, plan)) {
      return value_error(std::move(*refusal));
    }
    PyObject* out = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.size)));
    packed::write(*sketch->core, plan, reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out)));
    return out;
  });
}

// unpack(data) -> HyperLogLog
PyObject* pack_unpack(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[1] = {nullptr};
    if (Status bound = UNPACK_DESC.bind_fastcall(args, nargs, kwnames, slots); !bound) {
      return std::move(bound).error();
    }
    BufferView view;
    if (!view.acquire(slots[0])) {
      return PyErr::fetch().with_argument_note("data");
    }
    HyperLogLogCore core;
    if (Refusal refusal = packed::unpack(view.bytes(), core)) {
      return value_error(std::move(*refusal));
    }
    return create_class_object(std::move(core));
  });
}

int pack_exec(PyObject* module) noexcept {
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

PyMethodDef PACK_METHODS[] = {
    {"pack", as_cfunction(pack_pack), METH_FASTCALL | METH_KEYWORDS,
     "pack(sketch)\n--\n\n"
     "The packed form of a sketch: self-describing, checksummed, and sparse while\n"
     "that is smaller. Raises ValueError for a sketch holding a register value\n"
     "that insertion cannot produce."},
    {"unpack", as_cfunction(pack_unpack), METH_FASTCALL | METH_KEYWORDS,
     "unpack(data)\n--\n\n"
     "Rebuild a sketch from pack() output (any bytes-like object). Raises\n"
     "ValueError for anything else: truncated, altered or foreign data."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef_Slot PACK_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(pack_exec)},
    {0, nullptr} /* sentinel */
};

PyModuleDef PACK_DEF = {
    PyModuleDef_HEAD_INIT, "drisk._pack", "The packed form of HyperLogLog sketches.", 0,
    PACK_METHODS, PACK_SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__pack(void) { return PyModuleDef_Init(&drisk::PACK_DEF); }
