// drisk._estimate: estimators, error bounds, folding and unions.
//
// Functions of sketches, built from the same sketch core and call frame as
// _drisk: the sketch arguments are checked against _drisk.HyperLogLog (the
// one type of the process, fetched when this module is executed) and held
// shared while they are read. All the arithmetic is in estimators.cpp.
#include <array>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "call_frame.hpp"
#include "estimators.hpp"

namespace drisk {
namespace {

// _drisk.HyperLogLog, a strong reference kept for the life of the process.
std::atomic<PyTypeObject*> SKETCH_TYPE{nullptr};

// stand-ins until the shared sketch-object helpers land -------------------

Expected<SketchView> extract_sketch(PyObject* obj, const char* param) {
  return drisk::extract_sketch(obj, SKETCH_TYPE.load(std::memory_order_acquire), param);
}

[[maybe_unused]] Expected<MutableSketchView> extract_sketch_mut(PyObject* obj, const char* param) {
  return drisk::extract_sketch_mut(obj, SKETCH_TYPE.load(std::memory_order_acquire), param);
}

// A new HyperLogLog owning `core`: object.__new__ on the sketch type, then
// the core and a free access flag constructed in the zero-filled record.
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

// end of stand-ins ---------------------------------------------------------

constexpr double MIN_CONFIDENCE = 0.5;
constexpr double MAX_CONFIDENCE = 0.999;
constexpr double DEFAULT_CONFIDENCE = 0.95;

constexpr std::array<const char* const, 2> ESTIMATE_PARAMS{"sketch", "method"};
constexpr std::array<const char* const, 3> BOUNDS_PARAMS{"sketch", "confidence", "method"};
constexpr std::array<const char* const, 2> FOLD_PARAMS{"sketch", "p"};
constexpr FunctionDescription ESTIMATE_DESC{nullptr, "estimate", ESTIMATE_PARAMS, 1};
constexpr FunctionDescription BOUNDS_DESC{nullptr, "error_bounds", BOUNDS_PARAMS, 1};
constexpr FunctionDescription SUMMARY_DESC{nullptr, "summary", BOUNDS_PARAMS, 1};
constexpr FunctionDescription FOLD_DESC{nullptr, "fold", FOLD_PARAMS, 2};

[[gnu::cold, gnu::noinline]] PyErr unknown_method(std::string_view given) {
  return value_error("method must be 'improved', 'ml' or 'classic', got '" + std::string(given) +
                     "'")
      .with_argument_note("method");
}

// The method argument: absent means "improved".
Expected<Method> extract_method(PyObject* obj) {
  if (obj == nullptr) {
    return Method::improved;
  }
  Expected<std::string_view> name = extract_str(obj, "method");
  if (!name) {
    return std::move(name).error();
  }
  if (*name == "improved") {
    return Method::improved;
  }
  if (*name == "ml") {
    return Method::ml;
  }
  if (*name == "classic") {
    return Method::classic;
  }
  return unknown_method(*name);
}

const char* method_name(Method method) noexcept {
  switch (method) {
    case Method::classic:
      return "classic";
    case Method::ml:
      return "ml";
    case Method::improved:
      break;
  }
  return "improved";
}

[[gnu::cold, gnu::noinline]] PyErr bad_confidence(double given) {
  PyRef shown = PyRef::steal(PyObject_Repr(PyRef::steal(checked(PyFloat_FromDouble(given))).get()));
  std::string text = shown ? lossy_utf8(shown.get()) : std::to_string(given);
  if (!shown) {
    PyErr_Clear();
  }
  return value_error("confidence must be between 0.5 and 0.999 inclusive, got " + text)
      .with_argument_note("confidence");
}

// The confidence argument: any real number (float, int, or anything with
// __float__ or __index__) from 0.5 to 0.999.
Expected<double> extract_confidence(PyObject* obj) {
  if (obj == nullptr) {
    return DEFAULT_CONFIDENCE;
  }
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    return PyErr::fetch().with_argument_note("confidence");
  }
  if (!(value >= MIN_CONFIDENCE && value <= MAX_CONFIDENCE)) {
    return bad_confidence(value);
  }
  return value;
}

[[gnu::cold, gnu::noinline]] PyErr precision_refused(std::string message) {
  return value_error(std::move(message)).with_argument_note("p");
}

// The target precision of fold: an int (or __index__); anything too large
// for a C long is out of range like any other bad precision.
Expected<unsigned> extract_target_precision(PyObject* obj, unsigned source_p) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    return PyErr::fetch().with_argument_note("p");
  }
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred() != nullptr) {
    return PyErr::fetch().with_argument_note("p");
  }
  if (overflow != 0 || value < 0 || value > 255) {
    return precision_refused("p must be between " + std::to_string(MIN_PRECISION) + " and " +
                             std::to_string(MAX_PRECISION) + " inclusive, got " +
                             (overflow != 0 ? std::string(overflow > 0 ? "a huge number"
                                                                       : "a huge negative number")
                                            : std::to_string(value)));
  }
  if (Refusal refusal = check_fold_precision(source_p, static_cast<unsigned>(value))) {
    return precision_refused(std::move(*refusal));
  }
  return static_cast<unsigned>(value);
}

// estimate(sketch, method="improved") -> float
PyObject* estimate_estimate(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[2] = {nullptr, nullptr};
    if (Status bound = ESTIMATE_DESC.bind_fastcall(args, nargs, kwnames, slots); !bound) {
      return std::move(bound).error();
    }
    Expected<Method> method = extract_method(slots[1]);
    if (!method) {
      return std::move(method).error();
    }
    Expected<SketchView> sketch = extract_sketch(slots[0], "sketch");
    if (!sketch) {
      return std::move(sketch).error();
    }
    const HyperLogLogCore& core = *sketch->core;
    if (*method == Method::classic) {
      return float_result(core.estimate());
    }
    return float_result(estimate(core, register_histogram(core), *method));
  });
}

// The arguments shared by error_bounds and summary.
struct BoundsRequest {
  Method method;
  double confidence;
};

Expected<BoundsRequest> bind_bounds(const FunctionDescription& desc, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  if (Status bound = desc.bind_fastcall(args, nargs, kwnames, slots); !bound) {
    return std::move(bound).error();
  }
  Expected<double> confidence = extract_confidence(slots[1]);
  if (!confidence) {
    return std::move(confidence).error();
  }
  Expected<Method> method = extract_method(slots[2]);
  if (!method) {
    return std::move(method).error();
  }
  return BoundsRequest{*method, *confidence};
}

// error_bounds(sketch, confidence=0.95, method="improved") -> (lower, upper)
PyObject* estimate_error_bounds(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[3] = {nullptr, nullptr, nullptr};
    Expected<BoundsRequest> request = bind_bounds(BOUNDS_DESC, args, nargs, kwnames, slots);
    if (!request) {
      return std::move(request).error();
    }
    Expected<SketchView> sketch = extract_sketch(slots[0], "sketch");
    if (!sketch) {
      return std::move(sketch).error();
    }
    const Assessment result = assess(*sketch->core, request->method, request->confidence);
    return checked(Py_BuildValue("(dd)", result.bounds.lower, result.bounds.upper));
  });
}

// summary(sketch, confidence=0.95, method="improved") -> dict
PyObject* estimate_summary(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[3] = {nullptr, nullptr, nullptr};
    Expected<BoundsRequest> request = bind_bounds(SUMMARY_DESC, args, nargs, kwnames, slots);
    if (!request) {
      return std::move(request).error();
    }
    Expected<SketchView> sketch = extract_sketch(slots[0], "sketch");
    if (!sketch) {
      return std::move(sketch).error();
    }
    const HyperLogLogCore& core = *sketch->core;
    const RegisterHistogram h = register_histogram(core);
    const Assessment result = assess(core, request->method, request->confidence);
    return checked(Py_BuildValue(
        "{s:d,s:d,s:d,s:d,s:s,s:d,s:I,s:n,s:n}", "estimate", result.estimate, "lower",
        result.bounds.lower, "upper", result.bounds.upper, "confidence", request->confidence,
        "method", method_name(request->method), "relative_standard_error",
        relative_standard_error(improved_estimate(h), h), "p",
        static_cast<unsigned>(core.precision()), "m", static_cast<Py_ssize_t>(core.size()),
        "registers_in_use", static_cast<Py_ssize_t>(h.m - h.count[0])));
  });
}

// fold(sketch, p) -> HyperLogLog
PyObject* estimate_fold(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    PyObject* slots[2] = {nullptr, nullptr};
    if (Status bound = FOLD_DESC.bind_fastcall(args, nargs, kwnames, slots); !bound) {
      return std::move(bound).error();
    }
    Expected<SketchView> sketch = extract_sketch(slots[0], "sketch");
    if (!sketch) {
      return std::move(sketch).error();
    }
    Expected<unsigned> p = extract_target_precision(slots[1], sketch->core->precision());
    if (!p) {
      return std::move(p).error();
    }
    HyperLogLogCore folded;
    if (Refusal refusal = fold(*sketch->core, *p, folded)) {
      return precision_refused(std::move(*refusal));
    }
    return create_class_object(std::move(folded));
  });
}

[[gnu::cold, gnu::noinline]] PyErr union_keywords() {
  return type_error("union() takes no keyword arguments");
}

[[gnu::cold, gnu::noinline]] PyErr union_empty() {
  return type_error("union() needs at least one sketch");
}

// union(*sketches) -> HyperLogLog at the smallest precision among them.
// Every argument is checked and held before anything is built.
PyObject* estimate_union(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return trampoline([&]() -> Expected<PyObject*> {
    if (kwnames != nullptr && PyTuple_Size(kwnames) > 0) {
      return union_keywords();
    }
    if (nargs <= 0) {
      return union_empty();
    }
    std::vector<SketchView> views;
    views.reserve(static_cast<std::size_t>(nargs));
    unsigned p = MAX_PRECISION;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      const std::string name = "sketches[" + std::to_string(i) + "]";
      Expected<SketchView> view = extract_sketch(args[i], name.c_str());
      if (!view) {
        return std::move(view).error();
      }
      p = std::min<unsigned>(p, view->core->precision());
      views.push_back(std::move(*view));
    }
    HyperLogLogCore result;
    HyperLogLogCore::create(p, result);
    for (const SketchView& view : views) {
      fold_max_into(*view.core, p, result.mutable_registers());
    }
    return create_class_object(std::move(result));
  });
}

int estimate_exec(PyObject* module) noexcept {
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

PyMethodDef ESTIMATE_METHODS[] = {
    {"estimate", as_cfunction(estimate_estimate), METH_FASTCALL | METH_KEYWORDS,
     "estimate(sketch, method='improved')\n--\n\n"
     "The distinct count: 'improved' (Ertl's improved raw estimator, the default), 'ml'\n"
     "(maximum likelihood) or 'classic' (the same float as sketch.count())."},
    {"error_bounds", as_cfunction(estimate_error_bounds), METH_FASTCALL | METH_KEYWORDS,
     "error_bounds(sketch, confidence=0.95, method='improved')\n--\n\n"
     "(lower, upper): an interval holding the true distinct count with the given\n"
     "probability (0.5 to 0.999), around the estimate of `method`."},
    {"summary", as_cfunction(estimate_summary), METH_FASTCALL | METH_KEYWORDS,
     "summary(sketch, confidence=0.95, method='improved')\n--\n\n"
     "Estimate, bounds and sketch facts in one dict, read from one snapshot."},
    {"fold", as_cfunction(estimate_fold), METH_FASTCALL | METH_KEYWORDS,
     "fold(sketch, p)\n--\n\n"
     "A new sketch of precision p (at most the sketch's) with exactly the registers\n"
     "the same items would have given at p."},
    {"union", as_cfunction(estimate_union), METH_FASTCALL | METH_KEYWORDS,
     "union(*sketches)\n--\n\n"
     "A new sketch of the union, at the smallest precision among the sketches."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef_Slot ESTIMATE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(estimate_exec)},
    {0, nullptr} /* sentinel */
};

PyModuleDef ESTIMATE_DEF = {
    PyModuleDef_HEAD_INIT,
    "drisk._estimate",
    "Cardinality estimators, error bounds, folding and unions of HyperLogLog sketches.",
    0,
    ESTIMATE_METHODS,
    ESTIMATE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__estimate(void) { return PyModuleDef_Init(&drisk::ESTIMATE_DEF); }
