// drisk: Arrow arrays and strided number buffers absorbed into a sketch.
//
// Every reader below is a small "view" functor that turns row r of a column
// into the bytes of its item: the column's own memory for text and binary,
// inserted at once (insert.hpp); for numbers, the item text (item_text.hpp)
// written into a per-batch arena on the stack and inserted once the batch is
// written. absorb_rows() and absorb_formatted() drive a view over a range of
// rows, skipping missing ones. Nothing in these loops allocates or locks.
//
// Layout checks that cost one comparison per row (offsets that must not go
// backwards, views that must stay inside their buffers) are made by the
// views; a row that fails one stops its range before anything is read
// through it. (The C data interface gives no buffer sizes except for views,
// so offsets that ascend past the end of their data cannot be caught: the
// producer is trusted for those, as every consumer of the interface must.)
#include "columns.hpp"

#include "kernels.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <thread>
#include <tuple>
#include <type_traits>

#include "insert.hpp"
#include "item_text.hpp"

// Integers are written and hashed in vector lanes where the CPU has AVX2 or
// AVX-512, chosen at run time; every other path is portable. DRISK_SIMD=OFF
// builds leave the vector paths out.
#if defined(__x86_64__) && defined(__GNUC__) && (!defined(DRISK_SIMD) || DRISK_SIMD)
#define DRISK_HAVE_AVX2_DIGITS 1
#include <immintrin.h>
#endif

namespace drisk {
namespace {

// ---------------------------------------------------------------------------
// Refusals
// ---------------------------------------------------------------------------

[[gnu::cold, gnu::noinline]] ColumnError type_refusal(std::string message) {
  return {ColumnError::Kind::Type, std::move(message)};
}

// A readable name for an Arrow format string, for messages.
[[gnu::cold, gnu::noinline]] std::string arrow_type_name(std::string_view format) {
  struct Name {
    std::string_view prefix;
    std::string_view name;
  };
  static constexpr Name NAMES[] = {
      {"tdD", "date32"},
      {"tdm", "date64"},
      {"tt", "time"},
      {"ts", "timestamp"},
      {"tD", "duration"},
      {"ti", "interval"},
      {"d:", "decimal"},
      {"+vl", "list_view"},
      {"+vL", "large_list_view"},
      {"+l", "list"},
      {"+L", "large_list"},
      {"+w:", "fixed_size_list"},
      {"+s", "struct"},
      {"+m", "map"},
      {"+ud:", "dense_union"},
      {"+us:", "sparse_union"},
      {"+r", "run_end_encoded"},
  };
  for (const Name& entry : NAMES) {
    if (format.starts_with(entry.prefix)) {
      return std::string(entry.name);
    }
  }
  return "unknown";
}

[[gnu::cold, gnu::noinline]] ColumnError unsupported_type(std::string_view format) {
  return type_refusal("Arrow values of type " + arrow_type_name(format) + " (format '" +
                      std::string(format) + "') cannot be counted: cast them to string first");
}

[[gnu::cold, gnu::noinline]] ColumnError unsupported_extension(std::string_view name) {
  return type_refusal("Arrow values of extension type '" + std::string(name) +
                      "' cannot be counted: cast them to string first");
}

[[gnu::cold, gnu::noinline]] ColumnError not_one_column(std::int64_t columns) {
  return type_refusal("a table of " + std::to_string(columns) +
                      " columns cannot be counted: pass one column");
}

// ---------------------------------------------------------------------------
// Schemas
// ---------------------------------------------------------------------------

// The kind of a plain (not dictionary-encoded) value format, with the byte
// width of fixed_size_binary; nothing for anything else.
std::optional<ValueKind> plain_kind(std::string_view format, std::int32_t& width) {
  if (format.size() == 1) {
    switch (format[0]) {
      case 'n':
        return ValueKind::Null;
      case 'b':
        return ValueKind::Bool;
      case 'c':
        return ValueKind::Int8;
      case 's':
        return ValueKind::Int16;
      case 'i':
        return ValueKind::Int32;
      case 'l':
        return ValueKind::Int64;
      case 'C':
        return ValueKind::UInt8;
      case 'S':
        return ValueKind::UInt16;
      case 'I':
        return ValueKind::UInt32;
      case 'L':
        return ValueKind::UInt64;
      case 'e':
        return ValueKind::Float16;
      case 'f':
        return ValueKind::Float32;
      case 'g':
        return ValueKind::Float64;
      case 'z':
      case 'u':
        return ValueKind::Binary;
      case 'Z':
      case 'U':
        return ValueKind::LargeBinary;
      default:
        return std::nullopt;
    }
  }
  if (format == "vz" || format == "vu") {
    return ValueKind::BinaryView;
  }
  if (format.starts_with("w:")) {
    std::int32_t parsed = 0;
    const char* end = format.data() + format.size();
    const auto [ptr, ec] = std::from_chars(format.data() + 2, end, parsed);
    if (ec == std::errc() && ptr == end && parsed >= 0) {
      width = parsed;
      return ValueKind::FixedBinary;
    }
  }
  return std::nullopt;
}

constexpr bool is_integer(ValueKind kind) noexcept {
  return kind >= ValueKind::Int8 && kind <= ValueKind::UInt64;
}

// Calls f.template operator()<K>() with K the fixed-width number kind
// `kind` (ByteBool to Float64, which are consecutive): the one place that
// turns a run-time kind into a compile-time one.
template <ValueKind K = ValueKind::ByteBool, class F>
decltype(auto) with_number_kind(ValueKind kind, F&& f) {
  if constexpr (K == ValueKind::Float64) {
    return f.template operator()<K>();
  } else {
    if (kind == K) {
      return f.template operator()<K>();
    }
    return with_number_kind<static_cast<ValueKind>(static_cast<unsigned>(K) + 1)>(
        kind, std::forward<F>(f));
  }
}

// The value of the "ARROW:extension:name" key of a schema's metadata (an
// int32 pair count, then each key and value as an int32 length and bytes).
std::optional<std::string_view> extension_name(const char* metadata) {
  if (metadata == nullptr) {
    return std::nullopt;
  }
  auto read_int = [&metadata]() {
    std::int32_t value = 0;
    std::memcpy(&value, metadata, sizeof value);
    metadata += sizeof value;
    return value;
  };
  auto read_text = [&](std::int32_t length) {
    const std::string_view text(metadata, static_cast<std::size_t>(length));
    metadata += length;
    return text;
  };
  const std::int32_t pairs = read_int();
  for (std::int32_t i = 0; i < pairs; ++i) {
    const std::int32_t key_length = read_int();
    if (key_length < 0) {
      return std::nullopt;
    }
    const std::string_view key = read_text(key_length);
    const std::int32_t value_length = read_int();
    if (value_length < 0) {
      return std::nullopt;
    }
    const std::string_view value = read_text(value_length);
    if (key == "ARROW:extension:name") {
      return value;
    }
  }
  return std::nullopt;
}

// Checks the values of one schema (not a table): a plain kind, or integer
// indices into a dictionary of a plain kind.
ColumnFailure describe_values(const ArrowSchema& schema, ColumnType& out) {
  if (schema.format == nullptr) {
    return type_refusal("malformed Arrow schema: no format string");
  }
  if (const auto name = extension_name(schema.metadata)) {
    return unsupported_extension(*name);
  }
  const std::string_view format = schema.format;
  const std::optional<ValueKind> kind = plain_kind(format, out.fixed_width);
  if (schema.dictionary == nullptr) {
    if (!kind) {
      return unsupported_type(format);
    }
    out.values = *kind;
    return std::nullopt;
  }
  if (!kind || !is_integer(*kind)) {
    return type_refusal("malformed Arrow schema: dictionary indices of format '" +
                        std::string(format) + "'");
  }
  const ArrowSchema& dictionary = *schema.dictionary;
  if (dictionary.format == nullptr) {
    return type_refusal("malformed Arrow schema: no format string");
  }
  if (const auto name = extension_name(dictionary.metadata)) {
    return unsupported_extension(*name);
  }
  const std::string_view value_format = dictionary.format;
  const std::optional<ValueKind> value_kind = plain_kind(value_format, out.fixed_width);
  if (!value_kind || dictionary.dictionary != nullptr) {
    return unsupported_type(value_format);
  }
  out.dictionary = true;
  out.index = *kind;
  out.values = *value_kind;
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Reading values
// ---------------------------------------------------------------------------

// What a view did with one row.
enum Seen : int { MALFORMED = -1, MISSING = 0, ABSORBED = 1 };

using ItemView = HyperLogLogCore::ItemView;

// The loops below are flattened: insert() and the hash are compiled into
// each of them rather than called per item.
//
// Numbers are written out as text a batch at a time, then hashed: hashing a
// text straight after writing it would read back bytes still on their way
// to the cache, and the processor stalls on such reads. The batch's texts
// and views (16 KiB) stay in the first-level cache.
constexpr std::size_t BATCH = 256;

// Rows ahead whose memory is requested before it is needed. The hardware
// prefetcher alone falls behind on some machines (virtual ones especially),
// and a loop that waits for memory wastes the second core too.
constexpr std::size_t PREFETCH_ROWS = 128;

inline bool bit_is_set(const std::uint8_t* bits, std::int64_t index) noexcept {
  return ((bits[index >> 3] >> (index & 7)) & 1) != 0;
}

template <class T>
T load(const std::uint8_t* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// IEEE half precision to double; exact for every half.
inline double half_to_double(std::uint16_t bits) noexcept {
  const double sign = (bits & 0x8000) != 0 ? -1.0 : 1.0;
  const int exponent = (bits >> 10) & 0x1F;
  const int fraction = bits & 0x3FF;
  if (exponent == 0x1F) {
    return fraction != 0 ? std::nan("") : sign * HUGE_VAL;
  }
  if (exponent == 0) {
    return sign * std::ldexp(fraction, -24);
  }
  return sign * std::ldexp(fraction + 1024, exponent - 25);
}

// The storage and meaning of each fixed-width number kind, in the order of
// ValueKind from ByteBool to Float64: Value is what the bits mean (a byte
// boolean and a half-precision float are read from their bits by hand), Bits
// the unsigned integer of the same width that is loaded and byte-swapped.
using NumberValues =
    std::tuple<std::uint8_t, std::int8_t, std::int16_t, std::int32_t, std::int64_t, std::uint8_t,
               std::uint16_t, std::uint32_t, std::uint64_t, std::uint16_t, float, double>;

template <ValueKind K>
struct NumberTraits {
  using Value = std::tuple_element_t<
      static_cast<std::size_t>(K) - static_cast<std::size_t>(ValueKind::ByteBool), NumberValues>;
  using Bits = std::conditional_t<
      sizeof(Value) == 1, std::uint8_t,
      std::conditional_t<sizeof(Value) == 2, std::uint16_t,
                         std::conditional_t<sizeof(Value) == 4, std::uint32_t, std::uint64_t>>>;
};

template <class T>
T byte_swapped(T value) noexcept {
  if constexpr (sizeof(T) == 1) {
    return value;
  } else if constexpr (sizeof(T) == 2) {
    return __builtin_bswap16(value);
  } else if constexpr (sizeof(T) == 4) {
    return __builtin_bswap32(value);
  } else {
    return __builtin_bswap64(value);
  }
}

// The decimal text of an integer of any width.
template <class Value>
inline std::size_t format_integer(Value value, char* out) noexcept {
  return std::is_signed_v<Value> ? format_int64(static_cast<std::int64_t>(value), out)
                                 : format_uint64(static_cast<std::uint64_t>(value), out);
}

inline void insert_text(std::uint8_t* registers, unsigned p, std::string_view text) noexcept {
  insert(registers, p, text.data(), text.size());
}

// Row r is the number at base + r * stride: its item text, written into
// `slot` (or a static text), or nothing for NaN.
template <ValueKind K, bool Swap>
struct NumberView {
  const std::uint8_t* base;
  std::ptrdiff_t stride;

  void prefetch(std::size_t row) const noexcept {
    __builtin_prefetch(base + static_cast<std::ptrdiff_t>(row) * stride);
  }

  bool operator()(std::size_t row, ItemView& out, char* slot) const noexcept {
    using Bits = typename NumberTraits<K>::Bits;
    Bits bits = load<Bits>(base + static_cast<std::ptrdiff_t>(row) * stride);
    if constexpr (Swap) {
      bits = byte_swapped(bits);
    }
    if constexpr (K == ValueKind::ByteBool) {
      const std::string_view text = bool_text(bits != 0);
      out = {text.data(), text.size()};
    } else if constexpr (K == ValueKind::Float16 || K == ValueKind::Float32 ||
                         K == ValueKind::Float64) {
      double real = 0.0;
      if constexpr (K == ValueKind::Float16) {
        real = half_to_double(bits);
      } else {
        real = static_cast<double>(std::bit_cast<typename NumberTraits<K>::Value>(bits));
      }
      if (std::isnan(real)) {
        return false;  // missing
      }
      out = {slot, format_double(real, slot)};
    } else {
      out = {slot, format_integer(static_cast<typename NumberTraits<K>::Value>(bits), slot)};
    }
    return true;
  }
};

// Arrow booleans, one bit each.
struct BitBoolView {
  const std::uint8_t* bits;
  std::int64_t first;

  void prefetch(std::size_t row) const noexcept {
    __builtin_prefetch(bits + ((first + static_cast<std::int64_t>(row)) >> 3));
  }

  Seen operator()(std::size_t row, std::uint8_t* registers, unsigned p) const noexcept {
    insert_text(registers, p, bool_text(bit_is_set(bits, first + static_cast<std::int64_t>(row))));
    return ABSORBED;
  }
};

// binary, string and their large forms: row r is data[offsets[r] .. offsets[r + 1]).
template <class Offset>
struct OffsetsView {
  const Offset* offsets;  // already advanced to the first row
  const char* data;

  // Reads offsets[row], so row must be a row of the range.
  void prefetch(std::size_t row) const noexcept {
    __builtin_prefetch(offsets + row + 4 * PREFETCH_ROWS);
    __builtin_prefetch(data + offsets[row]);
  }

  Seen operator()(std::size_t row, std::uint8_t* registers, unsigned p) const noexcept {
    const Offset begin = offsets[row];
    const Offset end = offsets[row + 1];
    if (begin < 0 || end < begin) {
      return MALFORMED;
    }
    insert(registers, p, data + begin, static_cast<std::size_t>(end - begin));
    return ABSORBED;
  }
};

// binary_view and string_view: 16-byte views, the bytes inline when at most
// 12 long, otherwise in one of the variadic data buffers.
struct ViewsView {
  const std::uint8_t* views;  // already advanced to the first row
  const char* const* buffers;
  const std::int64_t* sizes;
  std::int64_t buffer_count;

  // Reads view `row`, so row must be a row of the range.
  void prefetch(std::size_t row) const noexcept {
    __builtin_prefetch(views + (row + 4 * PREFETCH_ROWS) * 16);
    const std::uint8_t* view = views + row * 16;
    const std::int32_t length = load<std::int32_t>(view);
    const std::int32_t index = load<std::int32_t>(view + 8);
    if (length > 12 && index >= 0 && index < buffer_count) {
      __builtin_prefetch(buffers[index] + load<std::int32_t>(view + 12));
    }
  }

  Seen operator()(std::size_t row, std::uint8_t* registers, unsigned p) const noexcept {
    const std::uint8_t* view = views + row * 16;
    const std::int32_t length = load<std::int32_t>(view);
    if (length <= 12) {
      if (length < 0) {
        return MALFORMED;
      }
      insert(registers, p, view + 4, static_cast<std::size_t>(length));
      return ABSORBED;
    }
    const std::int32_t index = load<std::int32_t>(view + 8);
    const std::int32_t offset = load<std::int32_t>(view + 12);
    if (index < 0 || index >= buffer_count || offset < 0 ||
        std::int64_t{offset} + length > sizes[index]) {
      return MALFORMED;
    }
    insert(registers, p, buffers[index] + offset, static_cast<std::size_t>(length));
    return ABSORBED;
  }
};

struct FixedBinaryView {
  const std::uint8_t* data;  // already advanced to the first row
  std::size_t width;

  void prefetch(std::size_t row) const noexcept { __builtin_prefetch(data + row * width); }

  Seen operator()(std::size_t row, std::uint8_t* registers, unsigned p) const noexcept {
    insert(registers, p, data + row * width, width);
    return ABSORBED;
  }
};

// Bytes per value of a fixed-width number kind.
std::size_t number_width(ValueKind kind) noexcept {
  switch (kind) {
    case ValueKind::ByteBool:
    case ValueKind::Int8:
    case ValueKind::UInt8:
      return 1;
    case ValueKind::Int16:
    case ValueKind::UInt16:
    case ValueKind::Float16:
      return 2;
    case ValueKind::Int32:
    case ValueKind::UInt32:
    case ValueKind::Float32:
      return 4;
    default:
      return 8;
  }
}

// Calls f with the NumberView for a layout.
template <class F>
void visit_number_view(const NumberLayout& layout, const std::uint8_t* base, std::ptrdiff_t stride,
                       F&& f) {
  const auto with = [&]<ValueKind K>() {
    if (layout.swap_bytes) {
      f(NumberView<K, true>{base, stride});
    } else {
      f(NumberView<K, false>{base, stride});
    }
  };
  with_number_kind(layout.kind, with);  // describe_* gives only number kinds here
}

// Inserts rows [begin, end) of `view` into core; with Nullable, skips rows
// whose validity bit is clear. Stops at the first malformed row.
template <bool Nullable, class View>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_rows(HyperLogLogCore& core,
                                                          const std::uint8_t* validity,
                                                          std::int64_t validity_offset,
                                                          std::size_t begin, std::size_t end,
                                                          const View& view) noexcept {
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  std::size_t absorbed = 0;
  for (std::size_t row = begin; row < end; ++row) {
    if (row + PREFETCH_ROWS < end) {
      view.prefetch(row + PREFETCH_ROWS);
    }
    if constexpr (Nullable) {
      if (!bit_is_set(validity, validity_offset + static_cast<std::int64_t>(row))) {
        continue;
      }
    }
    const Seen seen = view(row, registers, p);
    if (seen == MALFORMED) {
      return {absorbed, true};
    }
    absorbed += static_cast<std::size_t>(seen);
  }
  return {absorbed, false};
}

// The same for views that write item texts (NumberView): each batch of rows
// is written out first, then inserted.
template <bool Nullable, class View>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_formatted(HyperLogLogCore& core,
                                                               const std::uint8_t* validity,
                                                               std::int64_t validity_offset,
                                                               std::size_t begin, std::size_t end,
                                                               const View& view) noexcept {
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  ItemView items[BATCH];
  char arena[BATCH][ITEM_TEXT_CAPACITY];
  std::size_t absorbed = 0;
  for (std::size_t row = begin; row < end;) {
    const std::size_t stop = std::min(row + BATCH, end);
    std::size_t n = 0;
    for (; row < stop; ++row) {
      if (row + PREFETCH_ROWS < end) {
        view.prefetch(row + PREFETCH_ROWS);
      }
      if constexpr (Nullable) {
        if (!bit_is_set(validity, validity_offset + static_cast<std::int64_t>(row))) {
          continue;
        }
      }
      n += view(row, items[n], arena[n]) ? 1 : 0;
    }
    for (std::size_t k = 0; k < n; ++k) {
      insert(registers, p, items[k].data, items[k].len);
    }
    absorbed += n;
  }
  return {absorbed, false};
}

#ifdef DRISK_HAVE_AVX2_DIGITS
// The vector path for integers, from the one place that asks the CPU (and
// honours DRISK_DISABLE_CPU_FEATURES): kernels.hpp.
enum class IntegerPath { portable, avx2, avx512 };

IntegerPath integer_path() noexcept {
  const CpuFeatures& cpu = cpu_features();
  return cpu.avx512 ? IntegerPath::avx512 : cpu.avx2 ? IntegerPath::avx2 : IntegerPath::portable;
}

// Four integers of kind K from `at`, widened to 64-bit lanes.
template <ValueKind K>
__attribute__((target("avx2"), always_inline)) inline __m256i load_four(
    const std::uint8_t* at) noexcept {
  if constexpr (K == ValueKind::Int64 || K == ValueKind::UInt64) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  } else if constexpr (K == ValueKind::Int32 || K == ValueKind::UInt32) {
    const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return K == ValueKind::Int32 ? _mm256_cvtepi32_epi64(four) : _mm256_cvtepu32_epi64(four);
  } else if constexpr (K == ValueKind::Int16 || K == ValueKind::UInt16) {
    const __m128i four = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
    return K == ValueKind::Int16 ? _mm256_cvtepi16_epi64(four) : _mm256_cvtepu16_epi64(four);
  } else {
    const __m128i four = _mm_cvtsi32_si128(load<std::int32_t>(at));
    return K == ValueKind::Int8 ? _mm256_cvtepi8_epi64(four) : _mm256_cvtepu8_epi64(four);
  }
}

// Four 64-bit lanes times a 64-bit constant, modulo 2^64, from 32-bit
// products (AVX2 has no 64-bit multiply): c_low and c_high hold the
// constant's halves.
__attribute__((target("avx2"), always_inline)) inline __m256i multiply_lanes(
    __m256i a, __m256i c_low, __m256i c_high) noexcept {
  const __m256i low_low = _mm256_mul_epu32(a, c_low);
  const __m256i high_low = _mm256_mul_epu32(_mm256_srli_epi64(a, 32), c_low);
  const __m256i low_high = _mm256_mul_epu32(a, c_high);
  return _mm256_add_epi64(low_low, _mm256_slli_epi64(_mm256_add_epi64(high_low, low_high), 32));
}

template <int R>
__attribute__((target("avx2"), always_inline)) inline __m256i rotate_left(__m256i x) noexcept {
  return _mm256_or_si256(_mm256_slli_epi64(x, R), _mm256_srli_epi64(x, 64 - R));
}

// The eight decimal digits of four integers below 10^8, leading zeros
// included, as ASCII, one 64-bit lane each with the most significant digit
// in the lowest byte: the digit splitting of format_uint64 (by 10^4, then
// 10^2, then 10), one lane per integer.
__attribute__((target("avx2"), always_inline)) inline __m256i eight_digits_four(
    __m256i v) noexcept {
  const __m256i by_10000 = _mm256_set1_epi64x(0xD1B71759);  // x / 10^4 = x * this >> 45
  const __m256i ten_thousand = _mm256_set1_epi64x(10000);
  const __m256i by_100 = _mm256_set1_epi16(5243);  // x / 100 = mulhi(x, this) >> 3
  const __m256i hundred = _mm256_set1_epi16(100);
  const __m256i by_10 = _mm256_set1_epi16(6554);  // x / 10 = mulhi(x, this)
  const __m256i ten = _mm256_set1_epi16(10);
  // [v / 10^4, v % 10^4] in 32-bit halves, then each half to [/100, %100]
  // in 16-bit quarters, then each quarter to [/10, %10] in bytes.
  const __m256i high = _mm256_srli_epi64(_mm256_mul_epu32(v, by_10000), 45);
  const __m256i low = _mm256_sub_epi64(v, _mm256_mul_epu32(high, ten_thousand));
  const __m256i halves = _mm256_or_si256(high, _mm256_slli_epi64(low, 32));
  const __m256i hundreds = _mm256_srli_epi16(_mm256_mulhi_epu16(halves, by_100), 3);
  const __m256i below_hundred = _mm256_sub_epi16(halves, _mm256_mullo_epi16(hundreds, hundred));
  const __m256i pairs = _mm256_or_si256(hundreds, _mm256_slli_epi32(below_hundred, 16));
  const __m256i tens = _mm256_mulhi_epu16(pairs, by_10);
  const __m256i ones = _mm256_sub_epi16(pairs, _mm256_mullo_epi16(tens, ten));
  return _mm256_add_epi8(_mm256_or_si256(tens, _mm256_slli_epi16(ones, 8)), _mm256_set1_epi8('0'));
}

// XXH3_64bits of the decimal text of four integers from 10^3 to 10^8 - 1,
// all at once. Such a text is 4 to 8 bytes long, so XXH3 takes its 4-to-8
// byte path (xxhash.h, XXH3_len_4to8_64b with seed 0):
//   input64 = (last 4 bytes) + (first 4 bytes << 32), little-endian reads
//   keyed   = input64 ^ (secret[8..16) ^ secret[16..24))
//   h ^= rotl(h, 49) ^ rotl(h, 24); h *= M; h ^= (h >> 35) + len; h *= M;
//   h ^= h >> 28                                        (rrmxmx, M below)
// Here the text never goes through memory: both reads are shifts of the
// digits lane. The tests hold this to XXH3_64bits over every length, and it
// was checked against it for every integer in the range.
__attribute__((target("avx2"), always_inline)) inline __m256i hash_decimal_four(
    __m256i v, __m256i bitflip) noexcept {
  const __m256i digits = eight_digits_four(v);
  // The text's length in bits: 8 * (4 + one per power of ten passed).
  __m256i length = _mm256_set1_epi64x(4);
  length = _mm256_sub_epi64(length, _mm256_cmpgt_epi64(v, _mm256_set1_epi64x(9999)));
  length = _mm256_sub_epi64(length, _mm256_cmpgt_epi64(v, _mm256_set1_epi64x(99999)));
  length = _mm256_sub_epi64(length, _mm256_cmpgt_epi64(v, _mm256_set1_epi64x(999999)));
  length = _mm256_sub_epi64(length, _mm256_cmpgt_epi64(v, _mm256_set1_epi64x(9999999)));
  const __m256i bits = _mm256_slli_epi64(length, 3);
  // The text alone in the low bytes (leading zeros shifted out), then its
  // first and last four bytes.
  const __m256i text = _mm256_srlv_epi64(digits, _mm256_sub_epi64(_mm256_set1_epi64x(64), bits));
  const __m256i last4 = _mm256_srlv_epi64(text, _mm256_sub_epi64(bits, _mm256_set1_epi64x(32)));
  __m256i h = _mm256_xor_si256(_mm256_or_si256(last4, _mm256_slli_epi64(text, 32)), bitflip);
  const __m256i m_low = _mm256_set1_epi64x(0x1E98DF25);  // M = 0x9FB21C651E98DF25
  const __m256i m_high = _mm256_set1_epi64x(0x9FB21C65);
  h = _mm256_xor_si256(h, _mm256_xor_si256(rotate_left<49>(h), rotate_left<24>(h)));
  h = multiply_lanes(h, m_low, m_high);
  h = _mm256_xor_si256(h, _mm256_add_epi64(_mm256_srli_epi64(h, 35), length));
  h = multiply_lanes(h, m_low, m_high);
  return _mm256_xor_si256(h, _mm256_srli_epi64(h, 28));
}

// Rows [begin, end) of a contiguous run of integers of kind K, inserted as
// their decimal text, four at a time. Four integers from 10^3 to 10^8 - 1
// are hashed in the vector lanes (hash_decimal_four); four from 0 to
// 10^8 - 1 have their texts written in the lanes and hashed one by one; any
// other four are written by format_*. Hashes and texts are kept for a batch
// and inserted after it (see BATCH).
template <ValueKind K>
__attribute__((target("avx2"), flatten)) std::pair<std::size_t, bool> absorb_integers_avx2(
    HyperLogLogCore& core, const std::uint8_t* base, std::size_t begin, std::size_t end) noexcept {
  using Value = typename NumberTraits<K>::Value;
  constexpr std::size_t width = sizeof(Value);
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  const __m256i bitflip = _mm256_set1_epi64x(
      static_cast<long long>(XXH_readLE64(XXH3_kSecret + 8) ^ XXH_readLE64(XXH3_kSecret + 16)));
  const __m256i below_zero = _mm256_set1_epi64x(-1);
  const __m256i below_1000 = _mm256_set1_epi64x(999);
  const __m256i limit = _mm256_set1_epi64x(100000000);
  alignas(32) std::uint64_t hashes[BATCH];
  alignas(32) char digits_text[BATCH][8];
  char arena[BATCH][ITEM_TEXT_CAPACITY];
  ItemView items[BATCH];
  for (std::size_t row = begin; row < end;) {
    const std::size_t n = std::min(BATCH, end - row);
    const std::uint8_t* at = base + row * width;
    std::size_t hashed = 0;
    std::size_t written = 0;
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
      __builtin_prefetch(at + (k + PREFETCH_ROWS) * width);
      const __m256i v = load_four<K>(at + k * width);
      const auto under_limit = _mm256_movemask_epi8(_mm256_cmpgt_epi64(limit, v));
      if ((_mm256_movemask_epi8(_mm256_cmpgt_epi64(v, below_1000)) & under_limit) == -1) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(hashes + hashed),
                            hash_decimal_four(v, bitflip));
        hashed += 4;
      } else if ((_mm256_movemask_epi8(_mm256_cmpgt_epi64(v, below_zero)) & under_limit) == -1) {
        const __m256i text = eight_digits_four(v);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(digits_text[written]), text);
        const auto zeros = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(text, _mm256_set1_epi8('0'))));
        for (unsigned j = 0; j < 4; ++j, ++written) {
          // Leading zeros skipped; the last digit always stays (0 is "0").
          const auto skip = static_cast<unsigned>(std::countr_zero((~zeros >> (8 * j)) | 0x80u));
          items[written] = {digits_text[written] + skip, 8 - skip};
        }
      } else {
        for (std::size_t j = k; j < k + 4; ++j, ++written) {
          items[written] = {arena[written],
                            format_integer(load<Value>(at + j * width), arena[written])};
        }
      }
    }
    for (; k < n; ++k, ++written) {
      items[written] = {arena[written],
                        format_integer(load<Value>(at + k * width), arena[written])};
    }
    for (std::size_t j = 0; j < hashed; ++j) {
      insert_hash(registers, p, hashes[j]);
    }
    for (std::size_t j = 0; j < written; ++j) {
      insert(registers, p, items[j].data, items[j].len);
    }
    row += n;
  }
  return {end - begin, false};
}

#define DRISK_AVX512 "avx512f,avx512dq,avx512bw"

// GCC 12's AVX-512 intrinsics start from a deliberately undefined vector,
// which its flow analysis reports as maybe uninitialized once inlined here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// The same three steps for eight integers at a time, where the CPU has
// AVX-512 (F, DQ, BW): 64-bit multiplies and rotations are single
// instructions there.
template <ValueKind K>
__attribute__((target(DRISK_AVX512), always_inline)) inline __m512i load_eight(
    const std::uint8_t* at) noexcept {
  if constexpr (K == ValueKind::Int64 || K == ValueKind::UInt64) {
    return _mm512_loadu_si512(at);
  } else if constexpr (K == ValueKind::Int32 || K == ValueKind::UInt32) {
    const __m256i eight = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    return K == ValueKind::Int32 ? _mm512_cvtepi32_epi64(eight) : _mm512_cvtepu32_epi64(eight);
  } else if constexpr (K == ValueKind::Int16 || K == ValueKind::UInt16) {
    const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return K == ValueKind::Int16 ? _mm512_cvtepi16_epi64(eight) : _mm512_cvtepu16_epi64(eight);
  } else {
    const __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
    return K == ValueKind::Int8 ? _mm512_cvtepi8_epi64(eight) : _mm512_cvtepu8_epi64(eight);
  }
}

__attribute__((target(DRISK_AVX512), always_inline)) inline __m512i eight_digits_eight(
    __m512i v) noexcept {
  const __m512i high = _mm512_srli_epi64(_mm512_mul_epu32(v, _mm512_set1_epi64(0xD1B71759)), 45);
  const __m512i low = _mm512_sub_epi64(v, _mm512_mul_epu32(high, _mm512_set1_epi64(10000)));
  const __m512i halves = _mm512_or_si512(high, _mm512_slli_epi64(low, 32));
  const __m512i hundreds =
      _mm512_srli_epi16(_mm512_mulhi_epu16(halves, _mm512_set1_epi16(5243)), 3);
  const __m512i below_hundred =
      _mm512_sub_epi16(halves, _mm512_mullo_epi16(hundreds, _mm512_set1_epi16(100)));
  const __m512i pairs = _mm512_or_si512(hundreds, _mm512_slli_epi32(below_hundred, 16));
  const __m512i tens = _mm512_mulhi_epu16(pairs, _mm512_set1_epi16(6554));
  const __m512i ones = _mm512_sub_epi16(pairs, _mm512_mullo_epi16(tens, _mm512_set1_epi16(10)));
  return _mm512_add_epi8(_mm512_or_si512(tens, _mm512_slli_epi16(ones, 8)), _mm512_set1_epi8('0'));
}

// hash_decimal_four for eight lanes.
__attribute__((target(DRISK_AVX512), always_inline)) inline __m512i hash_decimal_eight(
    __m512i v, __m512i bitflip) noexcept {
  const __m512i digits = eight_digits_eight(v);
  const __m512i one = _mm512_set1_epi64(1);
  __m512i length = _mm512_set1_epi64(4);
  length = _mm512_mask_add_epi64(length, _mm512_cmpgt_epi64_mask(v, _mm512_set1_epi64(9999)),
                                 length, one);
  length = _mm512_mask_add_epi64(length, _mm512_cmpgt_epi64_mask(v, _mm512_set1_epi64(99999)),
                                 length, one);
  length = _mm512_mask_add_epi64(length, _mm512_cmpgt_epi64_mask(v, _mm512_set1_epi64(999999)),
                                 length, one);
  length = _mm512_mask_add_epi64(length, _mm512_cmpgt_epi64_mask(v, _mm512_set1_epi64(9999999)),
                                 length, one);
  const __m512i bits = _mm512_slli_epi64(length, 3);
  const __m512i text = _mm512_srlv_epi64(digits, _mm512_sub_epi64(_mm512_set1_epi64(64), bits));
  const __m512i last4 = _mm512_srlv_epi64(text, _mm512_sub_epi64(bits, _mm512_set1_epi64(32)));
  __m512i h = _mm512_xor_si512(_mm512_or_si512(last4, _mm512_slli_epi64(text, 32)), bitflip);
  const __m512i m = _mm512_set1_epi64(static_cast<long long>(0x9FB21C651E98DF25ULL));
  h = _mm512_xor_si512(h, _mm512_xor_si512(_mm512_rol_epi64(h, 49), _mm512_rol_epi64(h, 24)));
  h = _mm512_mullo_epi64(h, m);
  h = _mm512_xor_si512(h, _mm512_add_epi64(_mm512_srli_epi64(h, 35), length));
  h = _mm512_mullo_epi64(h, m);
  return _mm512_xor_si512(h, _mm512_srli_epi64(h, 28));
}

// absorb_integers_avx2 eight at a time.
template <ValueKind K>
__attribute__((target(DRISK_AVX512), flatten)) std::pair<std::size_t, bool> absorb_integers_avx512(
    HyperLogLogCore& core, const std::uint8_t* base, std::size_t begin, std::size_t end) noexcept {
  using Value = typename NumberTraits<K>::Value;
  constexpr std::size_t width = sizeof(Value);
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  const __m512i bitflip = _mm512_set1_epi64(
      static_cast<long long>(XXH_readLE64(XXH3_kSecret + 8) ^ XXH_readLE64(XXH3_kSecret + 16)));
  const __m512i below_zero = _mm512_set1_epi64(-1);
  const __m512i below_1000 = _mm512_set1_epi64(999);
  const __m512i limit = _mm512_set1_epi64(100000000);
  alignas(64) std::uint64_t hashes[BATCH];
  alignas(64) char digits_text[BATCH][8];
  char arena[BATCH][ITEM_TEXT_CAPACITY];
  ItemView items[BATCH];
  for (std::size_t row = begin; row < end;) {
    const std::size_t n = std::min(BATCH, end - row);
    const std::uint8_t* at = base + row * width;
    std::size_t hashed = 0;
    std::size_t written = 0;
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
      __builtin_prefetch(at + (k + PREFETCH_ROWS) * width);
      const __m512i v = load_eight<K>(at + k * width);
      const __mmask8 under_limit = _mm512_cmplt_epi64_mask(v, limit);
      if ((_mm512_cmpgt_epi64_mask(v, below_1000) & under_limit) == 0xFF) {
        _mm512_storeu_si512(hashes + hashed, hash_decimal_eight(v, bitflip));
        hashed += 8;
      } else if ((_mm512_cmpgt_epi64_mask(v, below_zero) & under_limit) == 0xFF) {
        const __m512i text = eight_digits_eight(v);
        _mm512_storeu_si512(digits_text[written], text);
        const std::uint64_t zeros = _mm512_cmpeq_epi8_mask(text, _mm512_set1_epi8('0'));
        for (unsigned j = 0; j < 8; ++j, ++written) {
          // Leading zeros skipped; the last digit always stays (0 is "0").
          const auto skip = static_cast<unsigned>(
              std::countr_zero(static_cast<std::uint32_t>((~zeros >> (8 * j)) & 0xFF) | 0x80u));
          items[written] = {digits_text[written] + skip, 8 - skip};
        }
      } else {
        for (std::size_t j = k; j < k + 8; ++j, ++written) {
          items[written] = {arena[written],
                            format_integer(load<Value>(at + j * width), arena[written])};
        }
      }
    }
    for (; k < n; ++k, ++written) {
      items[written] = {arena[written],
                        format_integer(load<Value>(at + k * width), arena[written])};
    }
    for (std::size_t j = 0; j < hashed; ++j) {
      insert_hash(registers, p, hashes[j]);
    }
    for (std::size_t j = 0; j < written; ++j) {
      insert(registers, p, items[j].data, items[j].len);
    }
    row += n;
  }
  return {end - begin, false};
}
#pragma GCC diagnostic pop
#endif

// Marks, for each valid row of a dictionary-encoded slice, the dictionary
// entry it uses, unless that entry is missing (`present` bit clear); counts
// the rows marked. False when an index is outside the dictionary.
template <class Index>
bool mark_used_entries(const ArrowArray& indices, std::int64_t first, std::int64_t length,
                       const std::uint8_t* validity, std::int64_t entries_length,
                       const std::uint8_t* present, std::int64_t present_offset,
                       std::uint8_t* marks, std::size_t& counted) noexcept {
  const Index* index = static_cast<const Index*>(indices.buffers[1]) + first;
  const auto entries = static_cast<std::uint64_t>(entries_length);
  std::size_t count = 0;
  for (std::int64_t row = 0; row < length; ++row) {
    __builtin_prefetch(index + row + static_cast<std::int64_t>(PREFETCH_ROWS));
    if (validity != nullptr && !bit_is_set(validity, first + row)) {
      continue;
    }
    // Negative indices wrap to huge unsigned values and fail the same test.
    const auto entry = static_cast<std::uint64_t>(static_cast<std::int64_t>(index[row]));
    if (entry >= entries) {
      return false;
    }
    if (present != nullptr &&
        !bit_is_set(present, present_offset + static_cast<std::int64_t>(entry))) {
      continue;
    }
    marks[entry >> 3] |= static_cast<std::uint8_t>(1u << (entry & 7));
    ++count;
  }
  counted += count;
  return true;
}

// The validity bitmap to honour: null when the array says it has no nulls.
const std::uint8_t* validity_of(const ArrowArray& array) noexcept {
  if (array.null_count == 0 || array.n_buffers < 1 || array.buffers == nullptr) {
    return nullptr;
  }
  return static_cast<const std::uint8_t*>(array.buffers[0]);
}

// The basic shape every array must have; null when it has it.
const char* shape_fault(const ArrowArray& array) noexcept {
  if (array.length < 0 || array.offset < 0 || array.n_buffers < 0 || array.n_children < 0) {
    return "malformed Arrow array: negative length, offset or count";
  }
  if (array.length > INT64_MAX - array.offset) {
    return "malformed Arrow array: offset plus length overflows";
  }
  // (A null array has no buffers at all: every row is null by its type.)
  if (array.null_count > 0 && array.n_buffers > 0 && validity_of(array) == nullptr) {
    return "malformed Arrow array: nulls counted but no validity buffer";
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------------

ColumnFailure describe_column(const ArrowSchema& schema, ColumnType& out) {
  out = ColumnType{};
  if (schema.format != nullptr && std::string_view(schema.format) == "+s" &&
      schema.dictionary == nullptr) {
    if (schema.n_children != 1 || schema.children == nullptr || schema.children[0] == nullptr) {
      return not_one_column(schema.n_children);
    }
    out.table = true;
    return describe_values(*schema.children[0], out);
  }
  return describe_values(schema, out);
}

ColumnFailure describe_buffer_format(const char* format, std::size_t itemsize, NumberLayout& out) {
  std::string_view code = format != nullptr ? format : "B";
  bool big_endian = std::endian::native == std::endian::big;
  if (!code.empty() && std::string_view("@=<>!").find(code[0]) != std::string_view::npos) {
    if (code[0] == '<') {
      big_endian = false;
    } else if (code[0] == '>' || code[0] == '!') {
      big_endian = true;
    }
    code.remove_prefix(1);
  }
  std::optional<ValueKind> kind;
  if (code.size() == 1) {
    // The letter says signed, unsigned, float or bool; the item size says
    // how wide ('l' is 8 bytes natively here, 4 in standard sizes).
    constexpr ValueKind SIGNED[] = {ValueKind::Int8, ValueKind::Int16, ValueKind::Int32,
                                    ValueKind::Int64};
    constexpr ValueKind UNSIGNED[] = {ValueKind::UInt8, ValueKind::UInt16, ValueKind::UInt32,
                                      ValueKind::UInt64};
    const int width_log = itemsize == 1   ? 0
                          : itemsize == 2 ? 1
                          : itemsize == 4 ? 2
                          : itemsize == 8 ? 3
                                          : -1;
    const char letter = code[0];
    if (std::string_view("bhilqn").find(letter) != std::string_view::npos && width_log >= 0) {
      kind = SIGNED[width_log];
    } else if (std::string_view("BHILQN").find(letter) != std::string_view::npos &&
               width_log >= 0) {
      kind = UNSIGNED[width_log];
    } else if ((letter == 'e' && itemsize == 2) || (letter == 'f' && itemsize == 4) ||
               (letter == 'd' && itemsize == 8)) {
      kind = letter == 'e'   ? ValueKind::Float16
             : letter == 'f' ? ValueKind::Float32
                             : ValueKind::Float64;
    } else if (letter == '?' && itemsize == 1) {
      kind = ValueKind::ByteBool;
    }
  }
  if (!kind) {
    return type_refusal("buffer items of format '" + std::string(format != nullptr ? format : "B") +
                        "' (" + std::to_string(itemsize) +
                        " bytes each) cannot be counted: only integers, floats and booleans can");
  }
  out.kind = *kind;
  out.swap_bytes = itemsize > 1 && big_endian != (std::endian::native == std::endian::big);
  return std::nullopt;
}

const char OUT_OF_MEMORY[] = "out of memory";

// ---------------------------------------------------------------------------
// ColumnSink
// ---------------------------------------------------------------------------

void ColumnSink::prepare(std::size_t rows) {
  if (split_ && rows >= SPLIT_ROWS && scratch_.size() == 0) {
    scratch_ = target_.empty_like();
  }
}

void ColumnSink::finish() noexcept {
  if (scratch_used_) {
    target_.merge_same_precision(scratch_);
    scratch_used_ = false;
  }
}

template <class Body>
ColumnSink::Rows ColumnSink::run_rows(std::size_t rows, Body&& body) noexcept {
  if (!split_ || rows < SPLIT_ROWS || scratch_.size() == 0) {
    const auto [absorbed, bad] = body(target_, 0, rows);
    return {absorbed, bad};
  }
  // Both cores take chunks from one counter until none is left, so that
  // neither waits for the other when the machine gives them unequal time.
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  const auto work = [&](HyperLogLogCore& core) noexcept {
    Rows done{0, false};
    while (!stop.load(std::memory_order_relaxed)) {
      const std::size_t begin = next.fetch_add(SPLIT_CHUNK_ROWS, std::memory_order_relaxed);
      if (begin >= rows) {
        break;
      }
      const auto [absorbed, bad] = body(core, begin, std::min(begin + SPLIT_CHUNK_ROWS, rows));
      done.absorbed += absorbed;
      if (bad) {
        done.malformed = true;
        stop.store(true, std::memory_order_relaxed);
      }
    }
    return done;
  };
  Rows helped{0, false};
  std::thread helper;
  try {
    helper = std::thread([&]() noexcept { helped = work(scratch_); });
  } catch (...) {  // no thread to be had: this core does it all
    return work(target_);
  }
  const Rows done = work(target_);
  helper.join();
  scratch_used_ = true;
  return {done.absorbed + helped.absorbed, done.malformed || helped.malformed};
}

template <class View>
ColumnSink::Rows ColumnSink::run_view(std::size_t rows, const std::uint8_t* validity,
                                      std::int64_t validity_offset, const View& view) noexcept {
  if (validity != nullptr) {
    return run_rows(rows, [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
      return absorb_rows<true>(core, validity, validity_offset, begin, end, view);
    });
  }
  return run_rows(rows, [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
    return absorb_rows<false>(core, nullptr, 0, begin, end, view);
  });
}

ColumnSink::Rows ColumnSink::run_numbers(const NumberLayout& layout, const std::uint8_t* base,
                                         std::ptrdiff_t stride, std::size_t rows,
                                         const std::uint8_t* validity,
                                         std::int64_t validity_offset) noexcept {
#ifdef DRISK_HAVE_AVX2_DIGITS
  // Contiguous integers without nulls, in this machine's byte order: four
  // or eight at a time.
  const IntegerPath path = integer_path();
  if (validity == nullptr && !layout.swap_bytes && is_integer(layout.kind) &&
      stride == static_cast<std::ptrdiff_t>(number_width(layout.kind)) &&
      path != IntegerPath::portable) {
    return with_number_kind(layout.kind, [&]<ValueKind K>() {
      // Checked above: K is an integer kind; the others are never run here.
      constexpr ValueKind I = is_integer(K) ? K : ValueKind::UInt64;
      return run_rows(
          rows, [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
            return path == IntegerPath::avx512 ? absorb_integers_avx512<I>(core, base, begin, end)
                                               : absorb_integers_avx2<I>(core, base, begin, end);
          });
    });
  }
#endif
  Rows done{0, false};
  visit_number_view(layout, base, stride, [&](const auto& view) {
    if (validity != nullptr) {
      done =
          run_rows(rows, [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
            return absorb_formatted<true>(core, validity, validity_offset, begin, end, view);
          });
    } else {
      done =
          run_rows(rows, [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
            return absorb_formatted<false>(core, nullptr, 0, begin, end, view);
          });
    }
  });
  return done;
}

void ColumnSink::absorb_numbers(const NumberLayout& layout, const void* base, std::ptrdiff_t stride,
                                std::size_t count, std::size_t& absorbed) noexcept {
  absorbed += run_numbers(layout, static_cast<const std::uint8_t*>(base), stride, count, nullptr, 0)
                  .absorbed;
}

ArrayFault ColumnSink::absorb_values(ValueKind kind, std::int32_t width, const ArrowArray& array,
                                     std::int64_t start, std::int64_t length,
                                     const std::uint8_t* validity, std::int64_t validity_offset,
                                     std::size_t& absorbed) noexcept {
  if (kind == ValueKind::Null || length == 0) {
    return nullptr;
  }
  const std::int64_t first = array.offset + start;
  const auto rows = static_cast<std::size_t>(length);
  const auto buffer = [&](std::int64_t i) {
    return static_cast<const std::uint8_t*>(array.buffers[i]);
  };
  // `count` buffers, every one after the validity bitmap present.
  const auto has_buffers = [&](std::int64_t count) {
    if (array.n_buffers != count || array.buffers == nullptr) {
      return false;
    }
    for (std::int64_t i = 1; i < count; ++i) {
      if (array.buffers[i] == nullptr) {
        return false;
      }
    }
    return true;
  };
  Rows done{0, false};
  switch (kind) {
    case ValueKind::Binary:
    case ValueKind::LargeBinary: {
      if (array.n_buffers != 3 || array.buffers == nullptr || array.buffers[1] == nullptr) {
        return "malformed Arrow array: a binary or string array needs validity, offsets and data "
               "buffers";
      }
      static const char EMPTY[1] = {};
      const char* data =
          array.buffers[2] != nullptr ? static_cast<const char*>(array.buffers[2]) : EMPTY;
      const auto run = [&]<class Offset>() -> ArrayFault {
        const Offset* offsets = static_cast<const Offset*>(array.buffers[1]) + first;
        if (array.buffers[2] == nullptr && offsets[length] != offsets[0]) {
          return "malformed Arrow array: a binary or string array has no data buffer";
        }
        done = run_view(rows, validity, validity_offset, OffsetsView<Offset>{offsets, data});
        return nullptr;
      };
      if (ArrayFault fault = kind == ValueKind::Binary ? run.template operator()<std::int32_t>()
                                                       : run.template operator()<std::int64_t>()) {
        return fault;
      }
      break;
    }
    case ValueKind::BinaryView: {
      if (array.n_buffers < 3 || array.buffers == nullptr || array.buffers[1] == nullptr) {
        return "malformed Arrow array: a view array needs validity, views and buffer-size buffers";
      }
      const std::int64_t count = array.n_buffers - 3;
      const auto* sizes = static_cast<const std::int64_t*>(array.buffers[array.n_buffers - 1]);
      if (count > 0 && sizes == nullptr) {
        return "malformed Arrow array: a view array has no buffer sizes";
      }
      for (std::int64_t i = 0; i < count; ++i) {
        if (array.buffers[2 + i] == nullptr && sizes[i] != 0) {
          return "malformed Arrow array: a view array has a missing data buffer";
        }
      }
      done = run_view(
          rows, validity, validity_offset,
          ViewsView{buffer(1) + first * 16, reinterpret_cast<const char* const*>(array.buffers + 2),
                    sizes, count});
      break;
    }
    case ValueKind::FixedBinary: {
      if (array.n_buffers != 2 || array.buffers == nullptr ||
          (array.buffers[1] == nullptr && width > 0)) {
        return "malformed Arrow array: a fixed_size_binary array needs validity and data buffers";
      }
      const auto w = static_cast<std::size_t>(width);
      done = run_view(rows, validity, validity_offset,
                      FixedBinaryView{buffer(1) + static_cast<std::size_t>(first) * w, w});
      break;
    }
    case ValueKind::Bool:
      if (!has_buffers(2)) {
        return "malformed Arrow array: a boolean array needs validity and value buffers";
      }
      done = run_view(rows, validity, validity_offset, BitBoolView{buffer(1), first});
      break;
    default: {
      if (!has_buffers(2)) {
        return "malformed Arrow array: a numeric array needs validity and value buffers";
      }
      // Arrow numbers are a run whose stride is their width.
      const auto stride = static_cast<std::ptrdiff_t>(number_width(kind));
      done = run_numbers(NumberLayout{kind, false}, buffer(1) + first * stride, stride, rows,
                         validity, validity_offset);
      break;
    }
  }
  absorbed += done.absorbed;
  if (done.malformed) {
    return kind == ValueKind::BinaryView
               ? "malformed Arrow array: a view points outside its data buffer"
               : "malformed Arrow array: its offsets go backwards";
  }
  return nullptr;
}

ArrayFault ColumnSink::absorb_dictionary(const ColumnType& type, const ArrowArray& array,
                                         std::int64_t start, std::int64_t length,
                                         std::size_t& absorbed) noexcept {
  if (array.dictionary == nullptr) {
    return "malformed Arrow array: a dictionary-encoded array has no dictionary";
  }
  const ArrowArray& dictionary = *array.dictionary;
  if (const char* fault = shape_fault(dictionary)) {
    return fault;
  }
  if (length == 0) {
    return nullptr;
  }
  if (array.n_buffers != 2 || array.buffers == nullptr || array.buffers[1] == nullptr) {
    return "malformed Arrow array: dictionary indices need validity and index buffers";
  }
  // The dictionary's entries in use, each absorbed once: the sketch is the
  // same as from every row (absorbing an item twice changes nothing), and
  // the count is the rows'.
  const auto entries = static_cast<std::size_t>(dictionary.length);
  std::unique_ptr<std::uint8_t[]> marks(new (std::nothrow) std::uint8_t[entries / 8 + 1]());
  if (!marks) {
    return OUT_OF_MEMORY;
  }
  const std::int64_t first = array.offset + start;
  const std::uint8_t* validity = validity_of(array);
  // The entries that are there: not null, and for floats not NaN either.
  const std::uint8_t* present = validity_of(dictionary);
  std::int64_t present_offset = dictionary.offset;
  std::unique_ptr<std::uint8_t[]> floats_present;
  if (type.values == ValueKind::Float16 || type.values == ValueKind::Float32 ||
      type.values == ValueKind::Float64) {
    if (dictionary.n_buffers != 2 || dictionary.buffers == nullptr ||
        dictionary.buffers[1] == nullptr) {
      return "malformed Arrow array: a numeric array needs validity and value buffers";
    }
    floats_present.reset(new (std::nothrow) std::uint8_t[entries / 8 + 1]());
    if (!floats_present) {
      return OUT_OF_MEMORY;
    }
    const auto* values = static_cast<const std::uint8_t*>(dictionary.buffers[1]);
    for (std::size_t i = 0; i < entries; ++i) {
      const std::int64_t at = dictionary.offset + static_cast<std::int64_t>(i);
      if (present != nullptr && !bit_is_set(present, at)) {
        continue;
      }
      const double value =
          type.values == ValueKind::Float16   ? half_to_double(load<std::uint16_t>(values + at * 2))
          : type.values == ValueKind::Float32 ? static_cast<double>(load<float>(values + at * 4))
                                              : load<double>(values + at * 8);
      if (!std::isnan(value)) {
        floats_present[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
      }
    }
    present = floats_present.get();
    present_offset = 0;
  }
  std::size_t counted = 0;
  const auto mark = [&]<class Index>() {
    return mark_used_entries<Index>(array, first, length, validity, dictionary.length, present,
                                    present_offset, marks.get(), counted);
  };
  bool in_range = false;
  switch (type.index) {
    case ValueKind::Int8:
      in_range = mark.template operator()<std::int8_t>();
      break;
    case ValueKind::Int16:
      in_range = mark.template operator()<std::int16_t>();
      break;
    case ValueKind::Int32:
      in_range = mark.template operator()<std::int32_t>();
      break;
    case ValueKind::Int64:
      in_range = mark.template operator()<std::int64_t>();
      break;
    case ValueKind::UInt8:
      in_range = mark.template operator()<std::uint8_t>();
      break;
    case ValueKind::UInt16:
      in_range = mark.template operator()<std::uint16_t>();
      break;
    case ValueKind::UInt32:
      in_range = mark.template operator()<std::uint32_t>();
      break;
    default:
      in_range = mark.template operator()<std::uint64_t>();
      break;
  }
  if (!in_range) {
    return "malformed Arrow array: a dictionary index is out of range";
  }
  std::size_t entries_absorbed = 0;
  const ArrayFault fault = absorb_values(type.values, type.fixed_width, dictionary, 0,
                                         dictionary.length, marks.get(), 0, entries_absorbed);
  if (fault == nullptr) {
    absorbed += counted;
  }
  return fault;
}

ArrayFault ColumnSink::absorb_array(const ColumnType& type, const ArrowArray& array,
                                    std::size_t& absorbed) noexcept {
  if (const char* fault = shape_fault(array)) {
    return fault;
  }
  const ArrowArray* column = &array;
  std::int64_t start = 0;
  if (type.table) {
    // A one-column table: the rows [offset, offset + length) of its child.
    if (array.n_children != 1 || array.children == nullptr || array.children[0] == nullptr) {
      return "malformed Arrow array: a table's array does not have exactly one child";
    }
    if (validity_of(array) != nullptr) {
      return "a struct array with null rows cannot be counted: pass one column";
    }
    column = array.children[0];
    if (const char* fault = shape_fault(*column)) {
      return fault;
    }
    if (column->length < array.offset + array.length) {
      return "malformed Arrow array: a table's column is shorter than the table";
    }
    start = array.offset;
  }
  if (type.dictionary) {
    return absorb_dictionary(type, *column, start, array.length, absorbed);
  }
  return absorb_values(type.values, type.fixed_width, *column, start, array.length,
                       validity_of(*column), column->offset + start, absorbed);
}

}  // namespace drisk
