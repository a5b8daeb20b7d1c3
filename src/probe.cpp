// drisk._probe: drives the call frame's rarely taken paths for the test
// suite, which cannot reach them through HyperLogLog without fault injection.
// Built from the same call frame as every other module of the package; each
// module has its own PanicException type.
#include <array>

#include "call_frame.hpp"

namespace drisk {
namespace {

constexpr std::array<const char* const, 1> MESSAGE_PARAMS{"message"};
constexpr std::array<const char* const, 1> FN_PARAMS{"fn"};
constexpr FunctionDescription PANIC_DESC{nullptr, "panic", MESSAGE_PARAMS, 0};
constexpr FunctionDescription CALL_DESC{nullptr, "call", FN_PARAMS, 1};
constexpr FunctionDescription PANIC_BYTES_DESC{nullptr, "panic_bytes", MESSAGE_PARAMS, 1};

// panic(message=None): fails an internal check with that text (or none).
PyObject* probe_panic(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[1] = {nullptr};
    if (Status bound = PANIC_DESC.bind_fastcall(args, nargs, kwnames, slots); !bound) {
      return std::move(bound).error();
    }
    std::string message;
    if (slots[0] != nullptr && slots[0] != Py_None) {
      Expected<std::string_view> text = extract_str(slots[0], "message");
      if (!text) {
        return std::move(text).error();
      }
      message = *text;
    }
    fail_invariant(std::move(message));
  });
}

// panic_bytes(message): fails an internal check with raw bytes for its text.
// Bytes that are not UTF-8 make raising the PanicException itself fail, which
// is the one case the barrier cannot report: the process aborts.
PyObject* probe_panic_bytes(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[1] = {nullptr};
    if (Status bound = PANIC_BYTES_DESC.bind_fastcall(args, nargs, kwnames, slots); !bound) {
      return std::move(bound).error();
    }
    Expected<std::span<const std::uint8_t>> text = extract_bytes(slots[0], "message");
    if (!text) {
      return std::move(text).error();
    }
    fail_invariant(std::string(text->begin(), text->end()));
  });
}

// call(fn): calls fn() and passes its exception on as the frame does for any
// exception fetched from the interpreter.
PyObject* probe_call(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[1] = {nullptr};
    if (Status bound = CALL_DESC.bind_fastcall(args, nargs, kwnames, slots); !bound) {
      return std::move(bound).error();
    }
    PyRef no_args = PyRef::steal(checked(PyTuple_New(0)));
    PyObject* result = PyObject_Call(slots[0], no_args.get(), nullptr);
    if (result == nullptr) {
      return PyErr::fetch();
    }
    return result;
  });
}

// unraisable_panic(): a failure inside a deallocator-style barrier; reported
// through sys.unraisablehook, returns None.
PyObject* probe_unraisable_panic(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  trampoline_unraisable([] { fail_invariant("failure during deallocation"); });
  return none_result();
}

PyMethodDef PROBE_METHODS[] = {
    {"panic", as_cfunction(probe_panic),
     METH_FASTCALL | METH_KEYWORDS, "panic(message=None)\n--\n\n"},
    {"panic_bytes", as_cfunction(probe_panic_bytes), METH_FASTCALL | METH_KEYWORDS,
     "panic_bytes(message)\n--\n\n"},
    {"call", as_cfunction(probe_call),
     METH_FASTCALL | METH_KEYWORDS, "call(fn)\n--\n\n"},
    {"unraisable_panic", probe_unraisable_panic, METH_NOARGS, "unraisable_panic()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef_Slot PROBE_SLOTS[] = {
    {0, nullptr} /* sentinel */
};

PyModuleDef PROBE_DEF = {
    PyModuleDef_HEAD_INIT, "drisk._probe", "Test hooks for the call frame.", 0, PROBE_METHODS,
    PROBE_SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__probe(void) { return PyModuleDef_Init(&drisk::PROBE_DEF); }
