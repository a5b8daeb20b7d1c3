// drisk: dates, datetimes, times and decimals given as Python objects.
//
// update_many() takes Python's datetime.date, datetime.datetime (and
// subclasses such as pandas.Timestamp, with its nanoseconds),
// datetime.time and decimal.Decimal beside bytes, str and numbers. There is
// no datetime C API under the limited API, so their fields are read as
// attributes, then written by the same writers as Arrow's and NumPy's
// values (item_time.hpp, item_decimal.hpp): one identity for each value,
// whichever way it comes.
#ifndef DRISK_VALUE_OBJECTS_HPP
#define DRISK_VALUE_OBJECTS_HPP

#include "call_frame.hpp"

namespace drisk {

// How viewing a Python object as one of these values went.
enum class ObjectViewed {
  ok,       // the text is in the slot, `length` bytes
  missing,  // Decimal NaN, pandas.NaT: skipped like float NaN
  unknown,  // not one of these types
  raised,   // an exception is set: a refused value, or one raised reading it
};

// Views `item` as its item text, written into `slot` (ITEM_TEXT_CAPACITY
// bytes). May run Python code (attribute access, utcoffset()): the caller
// holds a reference to `item`.
ObjectViewed view_value_object(PyObject* item, char* slot, std::size_t& length);

}  // namespace drisk

#endif  // DRISK_VALUE_OBJECTS_HPP
