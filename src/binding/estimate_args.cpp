// drisk: the estimating arguments (see estimate_args.hpp).
#include "estimate_args.hpp"

#include <string>
#include <string_view>

namespace drisk {
namespace {

[[gnu::cold, gnu::noinline]] PyErr unknown_method(std::string_view given) {
  return value_error("method must be 'improved', 'ml' or 'classic', got '" + std::string(given) +
                     "'")
      .with_argument_note("method");
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

}  // namespace

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

Expected<double> extract_confidence(PyObject* obj) {
  if (obj == nullptr) {
    return DEFAULT_CONFIDENCE;
  }
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    return fetch_for("confidence");
  }
  if (!(value >= MIN_CONFIDENCE && value <= MAX_CONFIDENCE)) {
    return bad_confidence(value);
  }
  return value;
}

}  // namespace drisk
