// drisk: each row's hash through the column reader's views.
#include "row_hashes.hpp"

#include <algorithm>
#include <new>
#include <type_traits>

#include "array_views.hpp"
#include "insert.hpp"
#include "integer_lanes.hpp"

namespace drisk {

using namespace columns;

namespace {

// present[k] = the validity bit of row k (at validity_offset + k), all 1
// without a bitmap.
void mark_present(const std::uint8_t* validity, std::int64_t validity_offset, std::size_t rows,
                  std::uint8_t* present) noexcept {
  if (validity == nullptr) {
    std::fill(present, present + rows, std::uint8_t{1});
    return;
  }
  for (std::size_t k = 0; k < rows; ++k) {
    present[k] = bit_is_set(validity, validity_offset + static_cast<std::int64_t>(k)) ? 1 : 0;
  }
}

// Hashes of `length` rows of the values of `array` (row 0 at `first` of its
// buffers), the validity bit of row k at validity_offset + k.
ArrayFault hash_values(const ColumnType& type, const ArrowArray& array, std::int64_t first,
                       std::int64_t length, const std::uint8_t* validity,
                       std::int64_t validity_offset, std::uint64_t* hashes,
                       std::uint8_t* present) noexcept {
  const ValueKind kind = type.values;
  const auto rows = static_cast<std::size_t>(length);
  if (kind == ValueKind::Null) {
    std::fill(present, present + rows, std::uint8_t{0});
    return nullptr;
  }
  // Integers a vector at a time where the CPU can: every row hashed, then
  // the missing ones marked from the validity bitmap.
  if (is_integer(kind) && array.n_buffers == 2 && array.buffers != nullptr &&
      array.buffers[1] != nullptr) {
    if (const IntegerHashes lanes = integer_hashes(kind)) {
      const auto* base = static_cast<const std::uint8_t*>(array.buffers[1]) +
                         static_cast<std::size_t>(first) * number_width(kind);
      lanes(base, 0, rows, hashes);
      mark_present(validity, validity_offset, rows, present);
      return nullptr;
    }
  }
  bool malformed = false;
  const auto valid = [&](std::size_t row) {
    return validity == nullptr ||
           bit_is_set(validity, validity_offset + static_cast<std::int64_t>(row));
  };
  const ArrayFault fault = with_values_view(type, array, first, length, [&](const auto& shared) {
    using View = std::decay_t<decltype(shared)>;
    if constexpr (View::FORMATTED) {
      // As absorb_formatted(): a batch of texts written, then hashed. The
      // view is copied: some keep a memo of the last text they wrote.
      View view = shared;
      ItemView items[BATCH];
      std::size_t at[BATCH];
      char arena[BATCH][ITEM_TEXT_CAPACITY];
      for (std::size_t row = 0; row < rows;) {
        const std::size_t stop = std::min(row + BATCH, rows);
        std::size_t n = 0;
        for (; row < stop; ++row) {
          present[row] = 0;
          if (!valid(row)) {
            continue;
          }
          const auto seen = static_cast<int>(view(row, items[n], arena[n]));
          if (seen < 0) {
            malformed = true;
            return;
          }
          if (seen > 0) {
            at[n++] = row;
          }
        }
        for (std::size_t k = 0; k < n; ++k) {
          hashes[at[k]] = XXH3_64bits(items[k].data, items[k].len);
          present[at[k]] = 1;
        }
      }
    } else {
      const View& view = shared;
      for (std::size_t row = 0; row < rows; ++row) {
        if (row + PREFETCH_ROWS < rows) {
          view.prefetch(row + PREFETCH_ROWS);
        }
        present[row] = 0;
        if (!valid(row)) {
          continue;
        }
        ItemView item;
        if (view.item(row, item) == MALFORMED) {
          malformed = true;
          return;
        }
        hashes[row] = XXH3_64bits(item.data, item.len);
        present[row] = 1;
      }
    }
  });
  if (fault != nullptr) {
    return fault;
  }
  return malformed ? malformed_rows(kind) : nullptr;
}

}  // namespace

ArrayFault prepare_dictionary(const ColumnType& type, const ArrowArray& array,
                              DictionaryHashes& entries) noexcept {
  if (!type.dictionary) {
    return nullptr;
  }
  if (const char* fault = shape_fault(array)) {
    return fault;
  }
  const ArrowArray* column = nullptr;
  std::int64_t start = 0;
  if (ArrayFault fault = column_of(type, array, column, start)) {
    return fault;
  }
  if (column->dictionary == nullptr) {
    return "malformed Arrow array: a dictionary-encoded array has no dictionary";
  }
  const ArrowArray& dictionary = *column->dictionary;
  if (const char* fault = shape_fault(dictionary)) {
    return fault;
  }
  if (column->n_buffers != 2 || column->buffers == nullptr || column->buffers[1] == nullptr) {
    return "malformed Arrow array: dictionary indices need validity and index buffers";
  }
  const void* id =
      dictionary.n_buffers > 1 && dictionary.buffers != nullptr ? dictionary.buffers[1] : nullptr;
  if (id != nullptr && id == entries.buffers && dictionary.offset == entries.offset &&
      dictionary.length == entries.length) {
    return nullptr;  // the same dictionary as the array before
  }
  entries.buffers = nullptr;
  const auto size = static_cast<std::size_t>(dictionary.length);
  try {
    entries.hashes.resize(size);
    entries.present.resize(size);
  } catch (const std::bad_alloc&) {
    return OUT_OF_MEMORY;
  }
  if (ArrayFault fault = hash_values(type, dictionary, dictionary.offset, dictionary.length,
                                     validity_of(dictionary), dictionary.offset,
                                     entries.hashes.data(), entries.present.data())) {
    return fault;
  }
  entries.buffers = id;
  entries.offset = dictionary.offset;
  entries.length = dictionary.length;
  return nullptr;
}

ArrayFault hash_rows(const ColumnType& type, const ArrowArray& array, std::int64_t begin,
                     std::int64_t end, const DictionaryHashes& entries, std::uint64_t* hashes,
                     std::uint8_t* present) noexcept {
  if (const char* fault = shape_fault(array)) {
    return fault;
  }
  const ArrowArray* column = nullptr;
  std::int64_t start = 0;
  if (ArrayFault fault = column_of(type, array, column, start)) {
    return fault;
  }
  if (begin < 0 || end < begin || end > array.length) {
    return "malformed Arrow array: rows outside the array";
  }
  start += begin;
  const std::int64_t length = end - begin;
  if (!type.dictionary) {
    return hash_values(type, *column, column->offset + start, length, validity_of(*column),
                       column->offset + start, hashes, present);
  }
  // Each row's entry, its hash kept from prepare_dictionary().
  const std::uint8_t* validity = validity_of(*column);
  const std::int64_t first = column->offset + start;
  const auto size = static_cast<std::uint64_t>(entries.hashes.size());
  bool in_range = true;
  with_index_type(type.index, [&]<class Index>() {
    const Index* index = static_cast<const Index*>(column->buffers[1]) + first;
    for (std::int64_t row = 0; row < length; ++row) {
      present[row] = 0;
      if (validity != nullptr && !bit_is_set(validity, first + row)) {
        continue;
      }
      const auto entry = static_cast<std::uint64_t>(static_cast<std::int64_t>(index[row]));
      if (entry >= size) {
        in_range = false;
        return;
      }
      hashes[row] = entries.hashes[entry];
      present[row] = entries.present[entry];
    }
  });
  return in_range ? nullptr : "malformed Arrow array: a dictionary index is out of range";
}

}  // namespace drisk
