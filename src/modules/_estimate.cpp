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

#include "entry.hpp"
#include "estimate_args.hpp"
#include "estimators.hpp"

namespace drisk {
namespace {

constexpr std::array<const char* const, 2> ESTIMATE_PARAMS{"sketch", "method"};
constexpr std::array<const char* const, 3> BOUNDS_PARAMS{"sketch", "confidence", "method"};
constexpr std::array<const char* const, 2> FOLD_PARAMS{"sketch", "p"};
constexpr FunctionDescription ESTIMATE_DESC{nullptr, "estimate", ESTIMATE_PARAMS, 1};
constexpr FunctionDescription BOUNDS_DESC{nullptr, "error_bounds", BOUNDS_PARAMS, 1};
constexpr FunctionDescription SUMMARY_DESC{nullptr, "summary", BOUNDS_PARAMS, 1};
constexpr FunctionDescription FOLD_DESC{nullptr, "fold", FOLD_PARAMS, 2};

[[gnu::cold, gnu::noinline]] PyErr precision_refused(std::string message) {
  return value_error(std::move(message)).with_argument_note("p");
}

// The target precision of fold: an int (or __index__); anything too large
// for a C long is out of range like any other bad precision.
Expected<unsigned> extract_target_precision(PyObject* obj, unsigned source_p) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    return fetch_for("p");
  }
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred() != nullptr) {
    return fetch_for("p");
  }
  if (overflow != 0 || value < 0 || value > 255) {
    return precision_refused(
        "p must be between " + std::to_string(MIN_PRECISION) + " and " +
        std::to_string(MAX_PRECISION) + " inclusive, got " +
        (overflow != 0 ? std::string(overflow > 0 ? "a huge number" : "a huge negative number")
                       : std::to_string(value)));
  }
  if (Refusal refusal = check_fold_precision(source_p, static_cast<unsigned>(value))) {
    return precision_refused(std::move(*refusal));
  }
  return static_cast<unsigned>(value);
}

// estimate(sketch, method="improved") -> float
PyObject* estimate_estimate(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return sketch_function<ESTIMATE_DESC, Access::shared>(
      args, nargs, kwnames,
      [](const HyperLogLogCore& core, Slots<ESTIMATE_DESC>& slots) -> Expected<PyObject*> {
        Expected<Method> method = extract_method(slots[1]);
        if (!method) {
          return std::move(method).error();
        }
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

template <std::size_t N>
Expected<BoundsRequest> extract_bounds_request(const std::array<PyObject*, N>& slots) {
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
                                PyObject* kwnames) {
  return sketch_function<BOUNDS_DESC, Access::shared>(
      args, nargs, kwnames,
      [](const HyperLogLogCore& core, Slots<BOUNDS_DESC>& slots) -> Expected<PyObject*> {
        Expected<BoundsRequest> request = extract_bounds_request(slots);
        if (!request) {
          return std::move(request).error();
        }
        const Assessment result = assess(core, request->method, request->confidence);
        return checked(Py_BuildValue("(dd)", result.bounds.lower, result.bounds.upper));
      });
}

// summary(sketch, confidence=0.95, method="improved") -> dict
PyObject* estimate_summary(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return sketch_function<SUMMARY_DESC, Access::shared>(
      args, nargs, kwnames,
      [](const HyperLogLogCore& core, Slots<SUMMARY_DESC>& slots) -> Expected<PyObject*> {
        Expected<BoundsRequest> request = extract_bounds_request(slots);
        if (!request) {
          return std::move(request).error();
        }
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
                        PyObject* kwnames) {
  return sketch_function<FOLD_DESC, Access::shared>(
      args, nargs, kwnames,
      [](const HyperLogLogCore& core, Slots<FOLD_DESC>& slots) -> Expected<PyObject*> {
        Expected<unsigned> p = extract_target_precision(slots[1], core.precision());
        if (!p) {
          return std::move(p).error();
        }
        HyperLogLogCore folded;
        if (Refusal refusal = fold(core, *p, folded)) {
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
                         PyObject* kwnames) {
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
    if (Refusal refusal = HyperLogLogCore::create(p, result)) {
      fail_invariant(std::move(*refusal));  // p is one of the sketches' own
    }
    for (const SketchView& view : views) {
      fold_max_into(*view.core, p, result.mutable_registers());
    }
    return create_class_object(std::move(result));
  });
}

PyMethodDef ESTIMATE_METHODS[] = {
    {"estimate", as_cfunction(estimate_estimate), METH_FASTCALL | METH_KEYWORDS,
     documented(
         ESTIMATE_DESC,
         "estimate(sketch, method='improved')\n--\n\n"
         "The distinct count: 'improved' (Ertl's improved raw estimator, the default), 'ml'\n"
         "(maximum likelihood) or 'classic' (the same float as sketch.count()).")},
    {"error_bounds", as_cfunction(estimate_error_bounds), METH_FASTCALL | METH_KEYWORDS,
     documented(BOUNDS_DESC,
                "error_bounds(sketch, confidence=0.95, method='improved')\n--\n\n"
                "(lower, upper): an interval holding the true distinct count with the given\n"
                "probability (0.5 to 0.999), around the estimate of `method`.")},
    {"summary", as_cfunction(estimate_summary), METH_FASTCALL | METH_KEYWORDS,
     documented(SUMMARY_DESC,
                "summary(sketch, confidence=0.95, method='improved')\n--\n\n"
                "Estimate, bounds and sketch facts in one dict, read from one snapshot.")},
    {"fold", as_cfunction(estimate_fold), METH_FASTCALL | METH_KEYWORDS,
     documented(FOLD_DESC,
                "fold(sketch, p)\n--\n\n"
                "A new sketch of precision p (at most the sketch's) with exactly the registers\n"
                "the same items would have given at p.")},
    {"union", as_cfunction(estimate_union), METH_FASTCALL | METH_KEYWORDS,
     "union(*sketches)\n--\n\n"
     "A new sketch of the union, at the smallest precision among the sketches."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

ModuleDefinition ESTIMATE_MODULE{
    "drisk._estimate",
    "Cardinality estimators, error bounds, folding and unions of HyperLogLog sketches.",
    ESTIMATE_METHODS};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__estimate(void) { return drisk::ESTIMATE_MODULE.init(); }
