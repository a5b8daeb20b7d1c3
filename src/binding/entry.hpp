// drisk: the shape of an entry point.
//
// An entry is a few lines: name its FunctionDescription, then
//
//   PyObject* hll_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
//                        PyObject* kwnames) {
//     return sketch_method<UPDATE_DESC, Access::exclusive>(
//         self, args, nargs, kwnames, [](HyperLogLogCore& core, auto& slots) { ... });
//   }
//
// The helpers run, inside the entry barrier, in this order:
//   1. bind the arguments into one slot per parameter (the slot count comes
//      from the description at compile time);
//   2. for a method, take the sketch's access flag shared or exclusive;
//   3. run the body, which converts the slots it needs and returns the result
//      object or the failure;
//   4. give the access back (guards) and map the failure to one exception.
#ifndef DRISK_ENTRY_HPP
#define DRISK_ENTRY_HPP

#include <string_view>

#include "sketch_object.hpp"

namespace drisk {

// ---------------------------------------------------------------------------
// Docstrings
// ---------------------------------------------------------------------------

namespace detail {
// Whether a docstring's signature line, "name($self, a, b=default)\n--\n",
// names the description's callable and its parameters in order ("$self" and
// "$type" stand for the receiver and are skipped).
consteval bool signature_matches(std::string_view doc, const FunctionDescription& desc) {
  const std::string_view name =
      std::string_view(desc.func_name) == "__new__" ? desc.cls_name : desc.func_name;
  if (!doc.starts_with(name) || doc.substr(name.size(), 1) != "(") {
    return false;
  }
  const std::size_t close = doc.find(')');
  if (close == std::string_view::npos || doc.substr(close, 5) != ")\n--\n") {
    return false;
  }
  std::string_view params = doc.substr(name.size() + 1, close - name.size() - 1);
  std::size_t index = 0;
  while (!params.empty()) {
    const std::size_t comma = params.find(',');
    std::string_view param = params.substr(0, comma);
    params = comma == std::string_view::npos ? std::string_view() : params.substr(comma + 1);
    while (param.starts_with(' ')) {
      param.remove_prefix(1);
    }
    param = param.substr(0, param.find('='));
    if (param.starts_with('$')) {
      continue;
    }
    if (index >= desc.positional_names.size() || param != desc.positional_names[index]) {
      return false;
    }
    ++index;
  }
  return index == desc.positional_names.size();
}
}  // namespace detail

// A docstring whose signature line is checked, at compile time, against the
// description the entry binds with: the text signature (what
// inspect.signature shows) cannot drift from the binding.
consteval const char* documented(const FunctionDescription& desc, const char* doc) {
  if (!detail::signature_matches(doc, desc)) {
    throw "the docstring's signature line does not match the FunctionDescription";
  }
  return doc;
}

// One slot per parameter of `Desc`.
template <const FunctionDescription& Desc>
using Slots = std::array<PyObject*, Desc.positional_names.size()>;

// A METH_FASTCALL | METH_KEYWORDS entry: binds, then body(slots).
template <const FunctionDescription& Desc, class Body>
PyObject* bound_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return trampoline([&]() -> Expected<PyObject*> {
    Slots<Desc> slots{};
    if (Status bound = Desc.bind_fastcall(args, nargs, kwnames, slots.data()); !bound) {
      return std::move(bound).error();
    }
    return body(slots);
  });
}

enum class Access { shared, exclusive };

template <Access A>
auto take_access(BorrowFlag& flag) {
  if constexpr (A == Access::shared) {
    return try_borrow(flag);
  } else {
    return try_borrow_mut(flag);
  }
}

template <Access A>
using CoreRef = std::conditional_t<A == Access::shared, const HyperLogLogCore&, HyperLogLogCore&>;

// A method of the sketch `self`: binds, takes self's flag, then
// body(core, slots).
template <const FunctionDescription& Desc, Access A, class Body>
PyObject* sketch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        Body&& body) {
  return bound_call<Desc>(args, nargs, kwnames, [&](Slots<Desc>& slots) -> Expected<PyObject*> {
    PyHyperLogLog* sketch = as_sketch(self);
    auto guard = take_access<A>(sketch->borrow_flag);
    if (!guard) {
      return std::move(guard).error();
    }
    return body(static_cast<CoreRef<A>>(sketch->core), slots);
  });
}

// A METH_NOARGS method of the sketch `self`: takes self's flag, then
// body(core).
template <Access A, class Body>
PyObject* sketch_reader(PyObject* self, Body&& body) {
  return trampoline([&]() -> Expected<PyObject*> {
    PyHyperLogLog* sketch = as_sketch(self);
    auto guard = take_access<A>(sketch->borrow_flag);
    if (!guard) {
      return std::move(guard).error();
    }
    return body(static_cast<CoreRef<A>>(sketch->core));
  });
}

// A module function whose first parameter is a sketch: binds, takes that
// sketch shared or exclusive, then body(core, slots).
template <const FunctionDescription& Desc, Access A, class Body>
PyObject* sketch_function(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return bound_call<Desc>(args, nargs, kwnames, [&](Slots<Desc>& slots) -> Expected<PyObject*> {
    const char* param = Desc.positional_names[0];
    if constexpr (A == Access::shared) {
      Expected<SketchView> sketch = extract_sketch(slots[0], param);
      if (!sketch) {
        return std::move(sketch).error();
      }
      return body(static_cast<const HyperLogLogCore&>(*sketch->core), slots);
    } else {
      Expected<MutableSketchView> sketch = extract_sketch_mut(slots[0], param);
      if (!sketch) {
        return std::move(sketch).error();
      }
      return body(*sketch->core, slots);
    }
  });
}

// A count as the entry's result: an int, or the failure that stood in for it.
inline Expected<PyObject*> count_result(Expected<std::size_t>&& count) {
  if (!count) {
    return std::move(count).error();
  }
  return checked(PyLong_FromSize_t(*count));
}

// ---------------------------------------------------------------------------
// Module definitions
// ---------------------------------------------------------------------------

// The definition of one extension module, the same shape for every module:
// its dotted name, docstring, method table (ending in the sentinel row) and
// the step run when it is executed, by default importing the sketch type
// (exec_sketch_module); null for none. One static object per module, whose
// address the interpreter keeps:
//
//   ModuleDefinition BULK_MODULE{"drisk._bulk", "Bulk ingestion ...", BULK_METHODS};
//   PyMODINIT_FUNC PyInit__bulk(void) { return drisk::BULK_MODULE.init(); }
class ModuleDefinition {
 public:
  ModuleDefinition(const char* name, const char* doc, PyMethodDef* methods,
                   int (*exec)(PyObject*) = exec_sketch_module) noexcept
      : slots_{{exec != nullptr ? Py_mod_exec : 0, reinterpret_cast<void*>(exec)},
               {0, nullptr} /* sentinel */},
        def_{PyModuleDef_HEAD_INIT, name, doc, 0, methods, slots_, nullptr, nullptr, nullptr} {}
  ModuleDefinition(const ModuleDefinition&) = delete;
  ModuleDefinition& operator=(const ModuleDefinition&) = delete;

  PyObject* init() noexcept { return PyModuleDef_Init(&def_); }

 private:
  PyModuleDef_Slot slots_[2];
  PyModuleDef def_;
};

}  // namespace drisk

#endif  // DRISK_ENTRY_HPP
