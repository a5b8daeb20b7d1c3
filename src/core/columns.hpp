// drisk: columns of values absorbed into a sketch without a Python object per
// value.
//
// Two sources: arrays of the Arrow C data interface (the ABI structs are
// declared below, as the interface's documentation asks consumers to do), and
// strided runs of fixed-width numbers such as a NumPy array's buffer. Every
// value is hashed as the item it stands for (see item_text.hpp); missing
// values (Arrow nulls, float NaN) are skipped and not counted.
//
// Nothing here knows the Python interpreter. Work happens in two steps: a
// column's type is checked and described first (describe_column,
// describe_buffer_format), so that an unsupported type is refused before
// anything is absorbed; then ColumnSink absorbs arrays or buffers of that
// type. A refusal is reported as a ColumnError, which the binding raises.
#ifndef DRISK_COLUMNS_HPP
#define DRISK_COLUMNS_HPP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "sketch_core.hpp"

// ---------------------------------------------------------------------------
// The Arrow C data interface ABI
// ---------------------------------------------------------------------------

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  // Array type description
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;

  // Release callback
  void (*release)(struct ArrowSchema*);
  // Opaque producer-specific data
  void* private_data;
};

struct ArrowArray {
  // Array data description
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;

  // Release callback
  void (*release)(struct ArrowArray*);
  // Opaque producer-specific data
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  // Callbacks providing stream functionality
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);

  // Release callback
  void (*release)(struct ArrowArrayStream*);

  // Opaque producer-specific data
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

#ifdef __cplusplus
}
#endif

namespace drisk {

// ---------------------------------------------------------------------------
// Owners of Arrow structures
// ---------------------------------------------------------------------------

// Owns one Arrow structure (schema, array or stream) moved out of its
// producer's hands, and releases it through its release callback when it
// goes. Released structures have a null release callback, and so do empty
// owners.
template <class Struct>
class ArrowOwner {
 public:
  ArrowOwner() noexcept = default;
  ArrowOwner(const ArrowOwner&) = delete;
  ArrowOwner& operator=(const ArrowOwner&) = delete;
  ~ArrowOwner() { reset(); }

  // Takes over *source and marks it released, so that its producer (a
  // capsule's destructor, say) does not release it a second time.
  void take(Struct* source) noexcept {
    reset();
    value_ = *source;
    source->release = nullptr;
  }

  // Releases the structure held, if any.
  void reset() noexcept {
    if (value_.release != nullptr) {
      value_.release(&value_);
      value_.release = nullptr;  // in case the callback forgot
    }
  }

  // Where a callback may write a new structure; it must be empty.
  Struct* out() noexcept { return &value_; }

  bool held() const noexcept { return value_.release != nullptr; }
  Struct& operator*() noexcept { return value_; }
  const Struct& operator*() const noexcept { return value_; }
  Struct* operator->() noexcept { return &value_; }

 private:
  Struct value_{};
};

using OwnedSchema = ArrowOwner<ArrowSchema>;
using OwnedArray = ArrowOwner<ArrowArray>;
using OwnedStream = ArrowOwner<ArrowArrayStream>;

// ---------------------------------------------------------------------------
// Refusals
// ---------------------------------------------------------------------------

// Why a column's type was refused: the kind of Python exception to raise and
// its message. Built only on failure paths.
struct ColumnError {
  enum class Kind { Type, Value };
  Kind kind;
  std::string message;
};
using ColumnFailure = std::optional<ColumnError>;

// What went wrong reading an array's values: null when nothing did, else a
// static message, which the binding raises as MemoryError when it is
// OUT_OF_MEMORY and as ValueError otherwise. Static, so that reporting it
// allocates nothing and cannot fail.
using ArrayFault = const char*;
extern const char OUT_OF_MEMORY[];

// ---------------------------------------------------------------------------
// Column types
// ---------------------------------------------------------------------------

// The physical kinds of value drisk reads.
enum class ValueKind : std::uint8_t {
  Null,      // Arrow "n": every value missing
  Bool,      // Arrow bit-packed booleans
  ByteBool,  // one byte per boolean (NumPy "?")
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float16,
  Float32,
  Float64,
  Binary,       // 32-bit offsets: binary and string
  LargeBinary,  // 64-bit offsets: large_binary and large_string
  BinaryView,   // binary_view and string_view
  FixedBinary,  // fixed_size_binary
};

// A column's checked description.
struct ColumnType {
  ValueKind values = ValueKind::Null;
  std::int32_t fixed_width = 0;       // FixedBinary only
  bool dictionary = false;            // values reached through integer indices
  ValueKind index = ValueKind::Null;  // the index kind when dictionary-encoded
  bool table = false;                 // a one-column table: a struct of one child
};

// Checks an Arrow schema and describes the column it holds. Refuses, with a
// TypeError naming the type, anything but text, binary, integers, floats,
// booleans, nulls and dictionaries of these; a struct is taken as a table
// and must have exactly one column.
ColumnFailure describe_column(const ArrowSchema& schema, ColumnType& out);

// A strided run of fixed-width numbers.
struct NumberLayout {
  ValueKind kind = ValueKind::Int64;  // a fixed-width kind: ByteBool, ints, floats
  bool swap_bytes = false;            // stored in the other byte order
};

// Reads a buffer-protocol format string (struct module syntax: an optional
// byte-order character, then one type code) with its item size. Refuses
// (TypeError) formats that are not a single integer, float or boolean.
ColumnFailure describe_buffer_format(const char* format, std::size_t itemsize, NumberLayout& out);

// ---------------------------------------------------------------------------
// Absorption
// ---------------------------------------------------------------------------

// Feeds one sketch from one call's worth of columns. Large arrays and buffers
// are hashed on two cores at once, in chunks both take from a shared
// counter, the second core's into a scratch core that finish() merges in;
// the registers come out the same as from one core. The absorb_* functions touch no Python object,
// allocate nothing on their hot paths and throw nothing, so callers may run
// them with the interpreter lock released.
class ColumnSink {
 public:
  // Rows from which an array or buffer is shared between two cores, and the
  // rows each core takes at a time.
  static constexpr std::size_t SPLIT_ROWS = 64 * 1024;
  static constexpr std::size_t SPLIT_CHUNK_ROWS = 16 * 1024;

  // `split`: whether a second core may be used at all.
  ColumnSink(HyperLogLogCore& target, bool split) noexcept : target_(target), split_(split) {}
  ColumnSink(const ColumnSink&) = delete;
  ColumnSink& operator=(const ColumnSink&) = delete;
  ~ColumnSink() { finish(); }

  // Makes ready for `rows` rows: the scratch core when they will be split.
  // The one step that may throw (std::bad_alloc); call it before absorbing.
  void prepare(std::size_t rows);

  // Absorbs the values of one array of a column of type `type` (checked by
  // describe_column) and adds the number absorbed to `absorbed`. Refuses an
  // array whose layout contradicts its type, such as too few buffers,
  // descending offsets or a dictionary index out of range; items absorbed
  // before that stay absorbed.
  ArrayFault absorb_array(const ColumnType& type, const ArrowArray& array,
                          std::size_t& absorbed) noexcept;

  // Absorbs count numbers at base, base + stride, ... (stride in bytes, any
  // sign, unaligned allowed) and adds the number absorbed (NaN skipped).
  void absorb_numbers(const NumberLayout& layout, const void* base, std::ptrdiff_t stride,
                      std::size_t count, std::size_t& absorbed) noexcept;

  // Merges what the second core absorbed into the target. Idempotent.
  void finish() noexcept;

 private:
  struct Rows {
    std::size_t absorbed;
    bool malformed;
  };
  template <class Body>
  Rows run_rows(std::size_t rows, Body&& body) noexcept;
  template <class View>
  Rows run_view(std::size_t rows, const std::uint8_t* validity, std::int64_t validity_offset,
                const View& view) noexcept;
  Rows run_numbers(const NumberLayout& layout, const std::uint8_t* base, std::ptrdiff_t stride,
                   std::size_t rows, const std::uint8_t* validity,
                   std::int64_t validity_offset) noexcept;
  ArrayFault absorb_values(ValueKind kind, std::int32_t width, const ArrowArray& array,
                           std::int64_t start, std::int64_t length, const std::uint8_t* validity,
                           std::int64_t validity_offset, std::size_t& absorbed) noexcept;
  ArrayFault absorb_dictionary(const ColumnType& type, const ArrowArray& array, std::int64_t start,
                               std::int64_t length, std::size_t& absorbed) noexcept;

  HyperLogLogCore& target_;
  HyperLogLogCore scratch_;
  bool split_;
  bool scratch_used_ = false;
};

}  // namespace drisk

#endif  // DRISK_COLUMNS_HPP
