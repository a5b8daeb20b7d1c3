// drisk: dates, datetimes, times and decimals given as Python objects.
//
// The types are looked up once, when the first object that is not bytes,
// str or a number arrives (so `import drisk` imports neither datetime nor
// decimal), and kept for the life of the process: a module's types outlive
// every object of theirs.
#include "value_objects.hpp"

#include <cstring>

#include "item_decimal.hpp"
#include "item_time.hpp"

namespace drisk {
namespace {

struct ValueTypes {
  PyObject* date = nullptr;
  PyObject* datetime = nullptr;
  PyObject* time = nullptr;
  PyObject* decimal = nullptr;
  PyObject* decimal_str = nullptr;  // Decimal.__str__, whatever a subclass does
};

// Written once, with the interpreter lock held.
const ValueTypes* VALUE_TYPES = nullptr;

// The attribute names, interned once.
WriteOnce<PyObject> YEAR, MONTH, DAY, HOUR, MINUTE, SECOND, MICROSECOND, NANOSECOND, TZINFO,
    UTCOFFSET, DAYS, SECONDS, MICROSECONDS;

void release_value_types(ValueTypes* types) {
  for (PyObject* held :
       {types->date, types->datetime, types->time, types->decimal, types->decimal_str}) {
    Py_XDECREF(held);
  }
  delete types;
}

// Looks the types up, importing their modules the first time. Never
// released: see the top of the file.
const ValueTypes* value_types() {
  if (VALUE_TYPES != nullptr) {
    return VALUE_TYPES;
  }
  PyRef datetime_module = PyRef::steal(PyImport_ImportModule("datetime"));
  if (!datetime_module) {
    return nullptr;
  }
  PyRef decimal_module = PyRef::steal(PyImport_ImportModule("decimal"));
  if (!decimal_module) {
    return nullptr;
  }
  auto* types = new (std::nothrow) ValueTypes;
  if (types == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  types->date = PyObject_GetAttrString(datetime_module.get(), "date");
  types->datetime = PyObject_GetAttrString(datetime_module.get(), "datetime");
  types->time = PyObject_GetAttrString(datetime_module.get(), "time");
  types->decimal = PyObject_GetAttrString(decimal_module.get(), "Decimal");
  types->decimal_str =
      types->decimal != nullptr ? PyObject_GetAttrString(types->decimal, "__str__") : nullptr;
  if (types->date == nullptr || types->datetime == nullptr || types->time == nullptr ||
      types->decimal == nullptr || types->decimal_str == nullptr) {
    release_value_types(types);
    return nullptr;
  }
  // The imports may have let another thread in, which filled it meanwhile.
  if (VALUE_TYPES != nullptr) {
    release_value_types(types);
    return VALUE_TYPES;
  }
  VALUE_TYPES = types;
  return types;
}

bool is_instance(PyObject* item, PyObject* type) {
  return Py_TYPE(item) == reinterpret_cast<PyTypeObject*>(type) ||
         PyType_IsSubtype(Py_TYPE(item), reinterpret_cast<PyTypeObject*>(type));
}

// The outcome of reading one integer attribute.
enum class Field { ok, missing, raised };

// item.<name> as an integer. A float NaN there (pandas.NaT's fields) makes
// the value missing.
Field int_attribute(PyObject* item, WriteOnce<PyObject>& cell, const char* name, long long& value) {
  PyObject* attribute_name = interned(cell, name);
  PyRef field = PyRef::steal(PyObject_GetAttr(item, attribute_name));
  if (!field) {
    return Field::raised;
  }
  if (PyFloat_Check(field.get())) {
    const double real = PyFloat_AsDouble(field.get());
    if (real != real) {
      return Field::missing;
    }
  }
  value = PyLong_AsLongLong(field.get());
  if (value == -1 && PyErr_Occurred() != nullptr) {
    return Field::raised;
  }
  return Field::ok;
}

// Reads several integer attributes; the first failure ends it.
template <std::size_t N>
Field int_attributes(PyObject* item, const std::pair<WriteOnce<PyObject>*, const char*> (&names)[N],
                     long long (&values)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (const Field got = int_attribute(item, *names[i].first, names[i].second, values[i]);
        got != Field::ok) {
      return got;
    }
  }
  return Field::ok;
}

ObjectViewed from_field(Field field) {
  return field == Field::missing ? ObjectViewed::missing : ObjectViewed::raised;
}

// The UTC offset of an aware datetime or time in microseconds, or
// `aware = false` when it has none (tzinfo None, or utcoffset() None).
bool utc_offset_micros(PyObject* item, bool& aware, long long& micros) {
  aware = false;
  PyRef tzinfo = PyRef::steal(PyObject_GetAttr(item, interned(TZINFO, "tzinfo")));
  if (!tzinfo) {
    return false;
  }
  if (tzinfo.get() == Py_None) {
    return true;
  }
  PyRef offset =
      PyRef::steal(PyObject_CallMethodObjArgs(item, interned(UTCOFFSET, "utcoffset"), nullptr));
  if (!offset) {
    return false;
  }
  if (offset.get() == Py_None) {
    return true;
  }
  long long parts[3] = {};
  const std::pair<WriteOnce<PyObject>*, const char*> names[3] = {
      {&DAYS, "days"}, {&SECONDS, "seconds"}, {&MICROSECONDS, "microseconds"}};
  if (int_attributes(offset.get(), names, parts) != Field::ok) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_TypeError, "update_many(): utcoffset() returned no whole timedelta");
    }
    return false;
  }
  aware = true;
  micros = (parts[0] * 86400 + parts[1]) * 1000000 + parts[2];
  return true;
}

ObjectViewed view_date(PyObject* item, char* slot, std::size_t& length) {
  long long fields[3] = {};
  const std::pair<WriteOnce<PyObject>*, const char*> names[3] = {
      {&YEAR, "year"}, {&MONTH, "month"}, {&DAY, "day"}};
  if (const Field got = int_attributes(item, names, fields); got != Field::ok) {
    return from_field(got);
  }
  const std::int64_t days = item_time_detail::days_from_civil(
      fields[0], static_cast<unsigned>(fields[1]), static_cast<unsigned>(fields[2]));
  length = format_date(days, slot);
  return ObjectViewed::ok;
}

ObjectViewed view_datetime(PyObject* item, bool exact, char* slot, std::size_t& length) {
  long long f[7] = {};
  const std::pair<WriteOnce<PyObject>*, const char*> names[7] = {{&YEAR, "year"},
                                                                 {&MONTH, "month"},
                                                                 {&DAY, "day"},
                                                                 {&HOUR, "hour"},
                                                                 {&MINUTE, "minute"},
                                                                 {&SECOND, "second"},
                                                                 {&MICROSECOND, "microsecond"}};
  if (const Field got = int_attributes(item, names, f); got != Field::ok) {
    return from_field(got);
  }
  // pandas.Timestamp has nanoseconds below the microseconds; other
  // subclasses have none.
  long long nanosecond = 0;
  if (!exact) {
    if (int_attribute(item, NANOSECOND, "nanosecond", nanosecond) != Field::ok) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return ObjectViewed::raised;
      }
      PyErr_Clear();
      nanosecond = 0;
    }
  }
  bool aware = false;
  long long offset = 0;
  if (!utc_offset_micros(item, aware, offset)) {
    return ObjectViewed::raised;
  }
  const std::int64_t days = item_time_detail::days_from_civil(f[0], static_cast<unsigned>(f[1]),
                                                              static_cast<unsigned>(f[2]));
  // In microseconds (years 1..9999 fit easily), the offset taken off; the
  // nanoseconds join the fraction.
  const std::int64_t micros =
      (((days * 24 + f[3]) * 60 + f[4]) * 60 + f[5]) * 1000000 + f[6] - (aware ? offset : 0);
  const auto [seconds, micro_part] = item_time_detail::floor_div(micros, 1000000);
  length = format_timestamp_parts(seconds, micro_part * 1000 + nanosecond, aware, slot);
  return ObjectViewed::ok;
}

ObjectViewed view_time(PyObject* item, char* slot, std::size_t& length) {
  long long f[4] = {};
  const std::pair<WriteOnce<PyObject>*, const char*> names[4] = {
      {&HOUR, "hour"}, {&MINUTE, "minute"}, {&SECOND, "second"}, {&MICROSECOND, "microsecond"}};
  if (const Field got = int_attributes(item, names, f); got != Field::ok) {
    return from_field(got);
  }
  bool aware = false;
  long long offset = 0;
  if (!utc_offset_micros(item, aware, offset)) {
    return ObjectViewed::raised;
  }
  if (aware) {
    PyErr_SetString(PyExc_ValueError,
                    "update_many(): a datetime.time with a UTC offset is not counted (an offset "
                    "means nothing without a date); pass a datetime, or the time without tzinfo");
    return ObjectViewed::raised;
  }
  const std::int64_t micros = ((f[0] * 60 + f[1]) * 60 + f[2]) * 1000000 + f[3];
  length = format_time_of_day(micros, TimeUnit::micro, slot);
  return ObjectViewed::ok;
}

// A Decimal through its own text: [-]digits[.digits][E[+-]exponent], or
// Infinity, NaN, sNaN.
ObjectViewed view_decimal(PyObject* item, PyObject* decimal_str, char* slot, std::size_t& length) {
  PyRef text = PyRef::steal(PyObject_CallFunctionObjArgs(decimal_str, item, nullptr));
  if (!text) {
    return ObjectViewed::raised;
  }
  Py_ssize_t size = 0;
  const char* p = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (p == nullptr) {
    return ObjectViewed::raised;
  }
  const char* const end = p + size;
  const bool negative = p < end && *p == '-';
  p += negative ? 1 : 0;
  if (p < end && (*p == 'N' || *p == 's')) {
    return ObjectViewed::missing;  // NaN and sNaN, as float NaN
  }
  if (p < end && *p == 'I') {
    const std::string_view inf = negative ? "-inf" : "inf";
    std::memcpy(slot, inf.data(), inf.size());
    length = inf.size();
    return ObjectViewed::ok;
  }
  // The digits without the point, and how many followed it. Zeros past the
  // buffer are dropped (a whole one counting as a power of ten); any other
  // digit there makes the text too long.
  char digits[ITEM_TEXT_CAPACITY];
  std::size_t count = 0;
  std::int64_t after_point = 0;
  std::int64_t dropped_whole = 0;
  bool seen_point = false;
  bool too_many = false;
  for (; p < end && *p != 'E' && *p != 'e'; ++p) {
    if (*p == '.') {
      seen_point = true;
    } else if (count < sizeof digits) {
      digits[count++] = *p;
      after_point += seen_point ? 1 : 0;
    } else if (*p != '0') {
      too_many = true;
    } else {
      dropped_whole += seen_point ? 0 : 1;
    }
  }
  std::int64_t exponent = 0;
  if (p < end) {
    ++p;  // the 'E'
    const bool minus = *p == '-';
    p += (*p == '-' || *p == '+') ? 1 : 0;
    for (; p < end && exponent < (std::int64_t{1} << 50); ++p) {
      exponent = exponent * 10 + (*p - '0');
    }
    exponent = minus ? -exponent : exponent;
  }
  exponent += dropped_whole - after_point;
  length = too_many ? 0 : format_decimal(negative, digits, count, exponent, slot);
  if (length == 0) {
    PyErr_Format(PyExc_ValueError,
                 "update_many(): Decimal('%U') is over %d characters written out in full; pass "
                 "it as str",
                 text.get(), static_cast<int>(ITEM_TEXT_CAPACITY));
    return ObjectViewed::raised;
  }
  return ObjectViewed::ok;
}

}  // namespace

ObjectViewed view_value_object(PyObject* item, char* slot, std::size_t& length) {
  const ValueTypes* types = value_types();
  if (types == nullptr) {
    return ObjectViewed::raised;
  }
  // datetime before date: every datetime is a date.
  if (Py_TYPE(item) == reinterpret_cast<PyTypeObject*>(types->datetime)) {
    return view_datetime(item, true, slot, length);
  }
  if (Py_TYPE(item) == reinterpret_cast<PyTypeObject*>(types->date)) {
    return view_date(item, slot, length);
  }
  if (is_instance(item, types->decimal)) {
    return view_decimal(item, types->decimal_str, slot, length);
  }
  if (is_instance(item, types->datetime)) {
    return view_datetime(item, false, slot, length);
  }
  if (is_instance(item, types->date)) {
    return view_date(item, slot, length);
  }
  if (is_instance(item, types->time)) {
    return view_time(item, slot, length);
  }
  return ObjectViewed::unknown;
}

}  // namespace drisk
