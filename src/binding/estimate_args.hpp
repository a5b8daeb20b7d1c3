// drisk: the arguments every estimating entry point shares: the estimator
// (`method`) and the confidence of an interval, converted and checked the
// same way in every module.
#ifndef DRISK_ESTIMATE_ARGS_HPP
#define DRISK_ESTIMATE_ARGS_HPP

#include "call_frame.hpp"
#include "estimators.hpp"

namespace drisk {

// Intervals are asked for at a confidence from MIN_CONFIDENCE to
// MAX_CONFIDENCE: below one half an interval says little, and past 0.999 the
// normal approximation behind it is no longer honest.
inline constexpr double MIN_CONFIDENCE = 0.5;
inline constexpr double MAX_CONFIDENCE = 0.999;
inline constexpr double DEFAULT_CONFIDENCE = 0.95;

// The method argument ('improved', 'ml' or 'classic'); absent means
// "improved".
Expected<Method> extract_method(PyObject* obj);

// The name of a method, as extract_method() takes it.
const char* method_name(Method method) noexcept;

// The confidence argument: any real number (float, int, or anything with
// __float__ or __index__) from MIN_CONFIDENCE to MAX_CONFIDENCE; absent
// means DEFAULT_CONFIDENCE.
Expected<double> extract_confidence(PyObject* obj);

}  // namespace drisk

#endif  // DRISK_ESTIMATE_ARGS_HPP
