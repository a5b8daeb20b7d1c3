// drisk._probe: drives the call frame's rarely taken paths for the test
// suite, which cannot reach them through HyperLogLog without fault injection.
// Built from the same call frame as every other module of the package; each
// module has its own PanicException type.
#include <array>
#include <bit>
#include <cmath>

#include "buffer.hpp"
#include "cpu_features.hpp"
#include "cpus.hpp"
#include "entry.hpp"
#include "kernels.hpp"

namespace drisk {
namespace {

constexpr std::array<const char* const, 1> MESSAGE_PARAMS{"message"};
constexpr std::array<const char* const, 1> FN_PARAMS{"fn"};
constexpr FunctionDescription PANIC_DESC{nullptr, "panic", MESSAGE_PARAMS, 0};
constexpr FunctionDescription CALL_DESC{nullptr, "call", FN_PARAMS, 1};
constexpr FunctionDescription PANIC_BYTES_DESC{nullptr, "panic_bytes", MESSAGE_PARAMS, 1};

// panic(message=None): fails an internal check with that text (or none).
PyObject* probe_panic(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return bound_call<PANIC_DESC>(
      args, nargs, kwnames, [](Slots<PANIC_DESC>& slots) -> Expected<PyObject*> {
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
                            PyObject* kwnames) {
  return bound_call<PANIC_BYTES_DESC>(
      args, nargs, kwnames, [](Slots<PANIC_BYTES_DESC>& slots) -> Expected<PyObject*> {
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
                     PyObject* kwnames) {
  return bound_call<CALL_DESC>(args, nargs, kwnames,
                               [](Slots<CALL_DESC>& slots) -> Expected<PyObject*> {
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
PyObject* probe_unraisable_panic(PyObject* /*module*/, PyObject* /*unused*/) {
  trampoline_unraisable([] { fail_invariant("failure during deallocation"); });
  return none_result();
}

// ---------------------------------------------------------------------------
// Kernels, one set at a time, so that the tests can hold the portable and
// vector versions against each other
// ---------------------------------------------------------------------------

constexpr std::array<const char* const, 3> KERNEL_PARAMS{"kernel_set", "registers", "arg"};
constexpr FunctionDescription KERNEL_DESC{nullptr, "kernel", KERNEL_PARAMS, 2};

// The kernel set named "portable", "x86_vector" or "x86_avx512", or null (None) when it is
// not compiled in or the CPU lacks it.
Expected<const Kernels*> kernel_set_named(PyObject* name) {
  Expected<std::string_view> text = extract_str(name, "kernel_set");
  if (!text) {
    return std::move(text).error();
  }
  if (*text == "portable") {
    return kernels_for(KernelSet::portable);
  }
  if (*text == "x86_vector") {
    return kernels_for(KernelSet::x86_vector);
  }
  if (*text == "x86_avx512") {
    return kernels_for(KernelSet::x86_avx512);
  }
  return value_error("unknown kernel set '" + std::string(*text) + "'");
}

// Calls one kernel of a set on register bytes (a copy: the kernels write).
template <class Run>
PyObject* probe_kernel(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Run&& run) {
  return bound_call<KERNEL_DESC>(
      args, nargs, kwnames, [&](Slots<KERNEL_DESC>& slots) -> Expected<PyObject*> {
        Expected<const Kernels*> set = kernel_set_named(slots[0]);
        if (!set) {
          return std::move(set).error();
        }
        if (*set == nullptr) {
          return none_result();
        }
        Expected<std::span<const std::uint8_t>> regs = extract_bytes(slots[1], "registers");
        if (!regs) {
          return std::move(regs).error();
        }
        std::string copy(regs->begin(), regs->end());
        return run(**set, reinterpret_cast<std::uint8_t*>(copy.data()), copy.size(), slots[2]);
      });
}

// max_register(kernel_set, registers) -> int
PyObject* probe_max_register(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return probe_kernel(
      args, nargs, kwnames,
      [](const Kernels& k, std::uint8_t* regs, std::size_t n, PyObject*) -> Expected<PyObject*> {
        return checked(PyLong_FromLong(k.max_register(regs, n)));
      });
}

// scaled_power_sum(kernel_set, registers, top) -> (sum, zeros)
PyObject* probe_scaled_power_sum(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return probe_kernel(args, nargs, kwnames,
                      [](const Kernels& k, std::uint8_t* regs, std::size_t n,
                         PyObject* arg) -> Expected<PyObject*> {
                        Expected<std::uint8_t> top = extract_u8(arg, "arg");
                        if (!top) {
                          return std::move(top).error();
                        }
                        if (k.max_register(regs, n) > *top || n == 0 || (n << *top) >> *top != n ||
                            static_cast<double>(n) * std::ldexp(1.0, *top) > std::ldexp(1.0, 53)) {
                          return value_error("registers above top, or n * 2^top above 2^53");
                        }
                        const ScaledSum s = k.scaled_power_sum(regs, n, *top);
                        return checked(Py_BuildValue("(KK)", static_cast<unsigned long long>(s.sum),
                                                     static_cast<unsigned long long>(s.zeros)));
                      });
}

// elementwise_max(kernel_set, registers, other) -> bytes
PyObject* probe_elementwise_max(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return probe_kernel(args, nargs, kwnames,
                      [](const Kernels& k, std::uint8_t* regs, std::size_t n,
                         PyObject* arg) -> Expected<PyObject*> {
                        Expected<std::span<const std::uint8_t>> other = extract_bytes(arg, "arg");
                        if (!other) {
                          return std::move(other).error();
                        }
                        if (other->size() != n) {
                          return value_error("registers and other differ in length");
                        }
                        k.elementwise_max(regs, other->data(), n);
                        return checked(PyBytes_FromStringAndSize(
                            reinterpret_cast<const char*>(regs), static_cast<Py_ssize_t>(n)));
                      });
}

// add_lines(kernel_set, registers, data) -> (registers, lines): the data's
// lines (final) into the registers, whose length 2^p gives p. The data is
// read where it lies (any contiguous buffer), so that a test can put it
// right before memory that faults when touched.
PyObject* probe_add_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return probe_kernel(
      args, nargs, kwnames,
      [](const Kernels& k, std::uint8_t* regs, std::size_t n,
         PyObject* arg) -> Expected<PyObject*> {
        BufferView data;
        if (!data.acquire(arg)) {
          return fetch_for("arg");
        }
        if (n < 16 || (n & (n - 1)) != 0 || n > (std::size_t{1} << MAX_PRECISION)) {
          return value_error("registers must be 2^p bytes");
        }
        const auto p = static_cast<unsigned>(std::countr_zero(n));
        const std::size_t lines = k.add_lines(regs, p, data.bytes(), true);
        PyRef out = PyRef::steal(checked(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(regs), static_cast<Py_ssize_t>(n))));
        return checked(Py_BuildValue("(On)", out.get(), static_cast<Py_ssize_t>(lines)));
      });
}

// histogram(kernel_set, registers, top) -> list: counts of min(register, top)
PyObject* probe_histogram(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return probe_kernel(args, nargs, kwnames,
                      [](const Kernels& k, std::uint8_t* regs, std::size_t n,
                         PyObject* arg) -> Expected<PyObject*> {
                        Expected<std::uint8_t> top = extract_u8(arg, "arg");
                        if (!top) {
                          return std::move(top).error();
                        }
                        std::array<std::uint64_t, 256> counts{};
                        k.histogram(regs, n, *top, counts.data());
                        PyRef out = PyRef::steal(checked(PyList_New(*top + 1)));
                        for (unsigned v = 0; v <= *top; ++v) {
                          PyList_SetItem(out.get(), v,
                                         checked(PyLong_FromUnsignedLongLong(counts[v])));
                        }
                        return out.release();
                      });
}

// usable_cpus() -> int
PyObject* probe_usable_cpus(PyObject* /*module*/, PyObject* /*unused*/) {
  return trampoline(
      []() -> Expected<PyObject*> { return checked(PyLong_FromUnsignedLong(usable_cpus())); });
}

// cpu_features() -> (avx2, avx512, avx512_vbmi2), as the core found them
PyObject* probe_cpu_features(PyObject* /*module*/, PyObject* /*unused*/) {
  return trampoline([]() -> Expected<PyObject*> {
    const CpuFeatures& found = cpu_features();
    return checked(Py_BuildValue("(OOO)", found.avx2 ? Py_True : Py_False,
                                 found.avx512 ? Py_True : Py_False,
                                 found.avx512_vbmi2 ? Py_True : Py_False));
  });
}

PyMethodDef PROBE_METHODS[] = {
    {"panic", as_cfunction(probe_panic), METH_FASTCALL | METH_KEYWORDS,
     "panic(message=None)\n--\n\n"},
    {"panic_bytes", as_cfunction(probe_panic_bytes), METH_FASTCALL | METH_KEYWORDS,
     "panic_bytes(message)\n--\n\n"},
    {"call", as_cfunction(probe_call), METH_FASTCALL | METH_KEYWORDS, "call(fn)\n--\n\n"},
    {"unraisable_panic", probe_unraisable_panic, METH_NOARGS, "unraisable_panic()\n--\n\n"},
    {"max_register", as_cfunction(probe_max_register), METH_FASTCALL | METH_KEYWORDS,
     "max_register(kernel_set, registers)\n--\n\n"},
    {"scaled_power_sum", as_cfunction(probe_scaled_power_sum), METH_FASTCALL | METH_KEYWORDS,
     "scaled_power_sum(kernel_set, registers, arg)\n--\n\n"},
    {"elementwise_max", as_cfunction(probe_elementwise_max), METH_FASTCALL | METH_KEYWORDS,
     "elementwise_max(kernel_set, registers, arg)\n--\n\n"},
    {"add_lines", as_cfunction(probe_add_lines), METH_FASTCALL | METH_KEYWORDS,
     "add_lines(kernel_set, registers, arg)\n--\n\n"},
    {"histogram", as_cfunction(probe_histogram), METH_FASTCALL | METH_KEYWORDS,
     "histogram(kernel_set, registers, arg)\n--\n\n"},
    {"usable_cpus", probe_usable_cpus, METH_NOARGS, "usable_cpus()\n--\n\n"},
    {"cpu_features", probe_cpu_features, METH_NOARGS, "cpu_features()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

ModuleDefinition PROBE_MODULE{"drisk._probe", "Test hooks for the call frame.", PROBE_METHODS,
                              nullptr};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__probe(void) { return drisk::PROBE_MODULE.init(); }
