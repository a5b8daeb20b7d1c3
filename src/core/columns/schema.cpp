// drisk: Arrow format strings, extension names and buffer formats, read.
#include "schema.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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
                      std::string(format) + "') cannot be counted");
}

[[gnu::cold, gnu::noinline]] ColumnError unsupported_extension(std::string_view name) {
  return type_refusal("Arrow values of extension type '" + std::string(name) +
                      "' cannot be counted");
}

[[gnu::cold, gnu::noinline]] ColumnError not_one_column(std::int64_t columns) {
  return type_refusal("a table of " + std::to_string(columns) +
                      " columns cannot be counted: pass one column");
}

// ---------------------------------------------------------------------------
// Arrow schemas
// ---------------------------------------------------------------------------

// A time unit letter of Arrow's formats: s, m(illi), u (micro), n(ano).
std::optional<TimeUnit> time_unit(char letter) {
  switch (letter) {
    case 's':
      return TimeUnit::second;
    case 'm':
      return TimeUnit::milli;
    case 'u':
      return TimeUnit::micro;
    case 'n':
      return TimeUnit::nano;
    default:
      return std::nullopt;
  }
}

// Reads a whole non-negative decimal number from the front of `text`.
std::optional<std::int32_t> leading_number(std::string_view& text) {
  std::int32_t parsed = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec != std::errc() || ptr == text.data()) {
    return std::nullopt;
  }
  text.remove_prefix(static_cast<std::size_t>(ptr - text.data()));
  return parsed;
}

// "d:precision,scale" or "d:precision,scale,bits" (128 when left out; 32,
// 64 and 256 too): the scale and the bytes per value into out.
std::optional<ValueKind> decimal_kind(std::string_view format, ColumnType& out) {
  std::string_view rest = format.substr(2);
  const auto precision = leading_number(rest);
  if (!precision || !rest.starts_with(',')) {
    return std::nullopt;
  }
  rest.remove_prefix(1);
  const bool negative = rest.starts_with('-');
  if (negative) {
    rest.remove_prefix(1);
  }
  const auto scale = leading_number(rest);
  if (!scale) {
    return std::nullopt;
  }
  std::int32_t bits = 128;
  if (rest.starts_with(',')) {
    rest.remove_prefix(1);
    const auto given = leading_number(rest);
    if (!given) {
      return std::nullopt;
    }
    bits = *given;
  }
  if (!rest.empty() || (bits != 32 && bits != 64 && bits != 128 && bits != 256)) {
    return std::nullopt;
  }
  out.scale = negative ? -*scale : *scale;
  out.fixed_width = bits / 8;
  return ValueKind::Decimal;
}

// The kind of a date, time or timestamp format ("tdD", "tts", "tsu:UTC"...),
// with its unit and zone into out.
std::optional<ValueKind> temporal_kind(std::string_view format, ColumnType& out) {
  if (format == "tdD") {
    return ValueKind::Date32;
  }
  if (format == "tdm") {
    return ValueKind::Date64;
  }
  if (format.size() == 3 && format.starts_with("tt")) {
    const auto unit = time_unit(format[2]);
    if (!unit) {
      return std::nullopt;
    }
    out.unit = *unit;
    const bool narrow = *unit == TimeUnit::second || *unit == TimeUnit::milli;
    return narrow ? ValueKind::Time32 : ValueKind::Time64;
  }
  if (format.size() >= 4 && format.starts_with("ts") && format[3] == ':') {
    const auto unit = time_unit(format[2]);
    if (!unit) {
      return std::nullopt;
    }
    out.unit = *unit;
    // Any zone: the values count from the UTC epoch, and are written in UTC.
    out.utc = format.size() > 4;
    return ValueKind::Timestamp;
  }
  return std::nullopt;
}

// The kind of a plain (not dictionary-encoded) value format, with what else
// describes it (fixed_size_binary's width, a decimal's scale, a timestamp's
// unit) into out; nothing for anything else.
std::optional<ValueKind> plain_kind(std::string_view format, ColumnType& out) {
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
      out.fixed_width = parsed;
      return ValueKind::FixedBinary;
    }
  }
  if (format.starts_with("d:")) {
    return decimal_kind(format, out);
  }
  if (format.starts_with("t")) {
    return temporal_kind(format, out);
  }
  return std::nullopt;
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
  const std::optional<ValueKind> kind = plain_kind(format, out);
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
  const std::optional<ValueKind> value_kind = plain_kind(value_format, out);
  if (!value_kind || dictionary.dictionary != nullptr) {
    return unsupported_type(value_format);
  }
  out.dictionary = true;
  out.index = *kind;
  out.values = *value_kind;
  return std::nullopt;
}

}  // namespace

ColumnFailure describe_column(const ArrowSchema& schema, ColumnType& out) {
  out = ColumnType{};
  // An extension type is refused by its name, whatever its storage: a
  // one-field struct (pandas' interval, say) is no one-column table.
  if (const auto name = extension_name(schema.metadata)) {
    return unsupported_extension(*name);
  }
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

}  // namespace drisk
