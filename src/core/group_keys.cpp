// drisk: group ids for rows of key columns (see group_keys.hpp).
#include "group_keys.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "columns/array_views.hpp"
#include "insert.hpp"
#include "item_text.hpp"

namespace drisk {

using namespace columns;

namespace {

// The slot of an integer key (xored with the table's seed first): a
// bijective mix, so a run of ids lands on spread-out slots, and no input
// can aim its keys at one run of slots without knowing the seed.
inline std::uint64_t integer_hash(std::uint64_t value) noexcept {
  value ^= value >> 33;
  value *= 0xff51afd7ed558ccdULL;
  value ^= value >> 33;
  value *= 0xc4ceb9fe1a85ec53ULL;
  return value ^ (value >> 33);
}

}  // namespace

GroupKeys::GroupKeys(const std::vector<ColumnType>& types) : seed_(fresh_seed(this)) {
  for (const ColumnType& type : types) {
    auto column = std::make_unique<Column>();
    column->type = type;
    column->arena = std::make_unique<char[]>(SLICE_ROWS * ITEM_TEXT_CAPACITY);
    columns_.push_back(std::move(column));
  }
  key_.resize(256);
  integers_ = types.size() == 1 && is_integer(types[0].values) && !types[0].dictionary;
}

// The id of an integer key, new when it was not there yet; the table is
// doubled at half full. May throw std::bad_alloc.
std::uint32_t GroupKeys::integer_id(std::uint64_t value, std::int64_t row) {
  if (first_rows_.size() * 2 >= integer_slots_.size()) {
    if (first_rows_.size() >= std::numeric_limits<std::uint32_t>::max() / 2) {
      throw std::bad_alloc();  // ids are 32-bit
    }
    std::vector<IntegerSlot> larger(integer_slots_.empty() ? 64 : integer_slots_.size() * 2,
                                    IntegerSlot{0, 0});
    const std::size_t mask = larger.size() - 1;
    for (const IntegerSlot& slot : integer_slots_) {
      if (slot.id_plus_one != 0) {
        std::size_t at = integer_hash(slot.value ^ seed_) & mask;
        while (larger[at].id_plus_one != 0) {
          at = (at + 1) & mask;
        }
        larger[at] = slot;
      }
    }
    integer_slots_.swap(larger);
  }
  const std::size_t mask = integer_slots_.size() - 1;
  for (std::size_t at = integer_hash(value ^ seed_) & mask;; at = (at + 1) & mask) {
    IntegerSlot& slot = integer_slots_[at];
    if (slot.id_plus_one == 0) {
      first_rows_.push_back(row);
      slot = {value, static_cast<std::uint32_t>(first_rows_.size())};
      return slot.id_plus_one - 1;
    }
    if (slot.value == value) {
      return slot.id_plus_one - 1;
    }
  }
}

template <class Value>
ArrayFault GroupKeys::add_integers(const ArrowArray& array, std::int64_t first, std::size_t begin,
                                   std::size_t end, std::uint32_t* ids, std::int64_t row_base) {
  if (array.n_buffers != 2 || array.buffers == nullptr || array.buffers[1] == nullptr) {
    return "malformed Arrow array: a numeric array needs validity and value buffers";
  }
  const Value* values = static_cast<const Value*>(array.buffers[1]) + first;
  const std::uint8_t* validity = validity_of(array);
  for (std::size_t row = begin; row < end; ++row) {
    const std::int64_t at = row_base + static_cast<std::int64_t>(row);
    if (validity != nullptr && !bit_is_set(validity, first + static_cast<std::int64_t>(row))) {
      if (missing_id_plus_one_ == 0) {
        first_rows_.push_back(at);
        missing_id_plus_one_ = static_cast<std::uint32_t>(first_rows_.size());
      }
      ids[row - begin] = missing_id_plus_one_ - 1;
      continue;
    }
    // (Sign-extended or not, equal values give equal words within a type.)
    ids[row - begin] = integer_id(static_cast<std::uint64_t>(values[row]), at);
  }
  return nullptr;
}

// Items of `rows` rows of a plain (not dictionary-encoded) array of the
// column's value kind, row k at row first + k of its buffers.
ArrayFault GroupKeys::gather(Column& column, const ArrowArray& array, std::int64_t first,
                             std::size_t rows) noexcept {
  const ColumnType& type = column.type;
  const ValueKind kind = type.values;
  const std::uint8_t* validity = validity_of(array);
  const auto valid = [&](std::size_t k) {
    return validity == nullptr || bit_is_set(validity, first + static_cast<std::int64_t>(k));
  };
  if (kind == ValueKind::Null) {
    std::fill(column.tags, column.tags + rows, MISSING);
    return nullptr;
  }
  if (is_integer(kind)) {
    if (array.n_buffers != 2 || array.buffers == nullptr || array.buffers[1] == nullptr) {
      return "malformed Arrow array: a numeric array needs validity and value buffers";
    }
    const std::size_t width = number_width(kind);
    const char* base =
        static_cast<const char*>(array.buffers[1]) + static_cast<std::size_t>(first) * width;
    for (std::size_t k = 0; k < rows; ++k) {
      column.tags[k] = valid(k) ? VALUE : MISSING;
      column.data[k] = base + k * width;
      column.lens[k] = width;
    }
    return nullptr;
  }
  bool malformed = false;
  const auto length = static_cast<std::int64_t>(rows);
  const ArrayFault fault = with_values_view(type, array, first, length, [&](const auto& shared) {
    using View = std::decay_t<decltype(shared)>;
    View view = shared;  // some keep a memo of the last text they wrote
    for (std::size_t k = 0; k < rows; ++k) {
      column.tags[k] = MISSING;
      if (!valid(k)) {
        continue;
      }
      ItemView item{nullptr, 0};
      Seen seen = columns::MISSING;
      if constexpr (View::FORMATTED) {
        seen = view(k, item, column.arena.get() + k * ITEM_TEXT_CAPACITY);
      } else {
        seen = view.item(k, item);
      }
      if (seen == columns::MALFORMED) {
        malformed = true;
        return;
      }
      // A view has no item for a NaN (it is not counted); as a key it is
      // a group of its own.
      column.tags[k] = seen == columns::ABSORBED ? VALUE : NOT_A_NUMBER;
      column.data[k] = static_cast<const char*>(item.data);
      column.lens[k] = item.len;
    }
  });
  if (fault != nullptr) {
    return fault;
  }
  return malformed ? malformed_rows(kind) : nullptr;
}

// Every entry of a dictionary written out, unless it is the one the
// entries are of already (a stream of chunks usually shares one).
ArrayFault GroupKeys::gather_entries(Column& column, const ArrowArray& dictionary) noexcept {
  if (const char* fault = shape_fault(dictionary)) {
    return fault;
  }
  const void* id =
      dictionary.n_buffers > 1 && dictionary.buffers != nullptr ? dictionary.buffers[1] : nullptr;
  if (id != nullptr && id == column.entries_of && dictionary.offset == column.entries_offset &&
      dictionary.length == column.entries_length) {
    return nullptr;
  }
  const auto size = static_cast<std::size_t>(dictionary.length);
  // A reader may hand each batch a copy of one dictionary (pyarrow's
  // Parquet reader does, batch by batch through a row group): entries
  // equal to those held, in the same order, keep their groups.
  bool same = column.entry_tags.size() == size && column.entry_ids.size() == size;
  for (std::size_t at = 0; same && at < size; at += SLICE_ROWS) {
    const std::size_t rows = std::min(SLICE_ROWS, size - at);
    if (ArrayFault fault =
            gather(column, dictionary, dictionary.offset + static_cast<std::int64_t>(at), rows)) {
      return fault;
    }
    for (std::size_t k = 0; same && k < rows; ++k) {
      const std::size_t entry = at + k;
      const std::size_t from = entry == 0 ? 0 : column.entry_ends[entry - 1];
      same = column.tags[k] == column.entry_tags[entry] &&
             (column.tags[k] != VALUE ||
              (column.lens[k] == column.entry_ends[entry] - from &&
               (column.lens[k] == 0 || std::memcmp(column.data[k], column.entry_bytes.data() + from,
                                                   column.lens[k]) == 0)));
    }
  }
  if (same) {
    column.entries_of = id;
    column.entries_offset = dictionary.offset;
    column.entries_length = dictionary.length;
    return nullptr;
  }
  column.entries_of = nullptr;
  column.entry_tags.clear();
  column.entry_ends.clear();
  column.entry_bytes.clear();
  try {
    column.entry_ids.assign(size, UNNUMBERED);
    column.entry_tags.reserve(size);
    column.entry_ends.reserve(size);
    for (std::size_t at = 0; at < size; at += SLICE_ROWS) {
      const std::size_t rows = std::min(SLICE_ROWS, size - at);
      if (ArrayFault fault =
              gather(column, dictionary, dictionary.offset + static_cast<std::int64_t>(at), rows)) {
        return fault;
      }
      for (std::size_t k = 0; k < rows; ++k) {
        column.entry_tags.push_back(column.tags[k]);
        if (column.tags[k] == VALUE) {
          column.entry_bytes.insert(column.entry_bytes.end(), column.data[k],
                                    column.data[k] + column.lens[k]);
        }
        column.entry_ends.push_back(column.entry_bytes.size());
      }
    }
  } catch (const std::bad_alloc&) {
    return OUT_OF_MEMORY;
  }
  column.entries_of = id;
  column.entries_offset = dictionary.offset;
  column.entries_length = dictionary.length;
  return nullptr;
}

ArrayFault GroupKeys::add(const ArrowArray* const* arrays, const std::int64_t* firsts,
                          std::size_t begin, std::size_t end, std::uint32_t* ids,
                          std::int64_t row_base) noexcept {
  if (integers_) {
    try {
      return with_index_type(columns_[0]->type.values, [&]<class Value>() {
        return add_integers<Value>(*arrays[0], firsts[0], begin, end, ids, row_base);
      });
    } catch (const std::bad_alloc&) {
      return OUT_OF_MEMORY;
    }
  }
  for (std::size_t at = begin; at < end; at += SLICE_ROWS) {
    const std::size_t rows = std::min(SLICE_ROWS, end - at);
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      Column& column = *columns_[c];
      const ArrowArray& array = *arrays[c];
      const std::int64_t first = firsts[c] + static_cast<std::int64_t>(at);
      if (!column.type.dictionary) {
        if (ArrayFault fault = gather(column, array, first, rows)) {
          return fault;
        }
        continue;
      }
      // Each row's entry of the dictionary.
      if (array.dictionary == nullptr) {
        return "malformed Arrow array: a dictionary-encoded array has no dictionary";
      }
      if (array.n_buffers != 2 || array.buffers == nullptr || array.buffers[1] == nullptr) {
        return "malformed Arrow array: dictionary indices need validity and index buffers";
      }
      if (ArrayFault fault = gather_entries(column, *array.dictionary)) {
        return fault;
      }
      const std::uint8_t* validity = validity_of(array);
      const auto size = static_cast<std::uint64_t>(column.entry_tags.size());
      const bool lone_key = columns_.size() == 1;
      std::uint32_t* const row_ids = ids + (at - begin);
      bool in_range = true;
      with_index_type(column.type.index, [&]<class Index>() {
        const Index* index = static_cast<const Index*>(array.buffers[1]) + first;
        for (std::size_t k = 0; k < rows && in_range; ++k) {
          column.tags[k] = MISSING;
          column.row_entries[k] = NO_ENTRY;
          if (validity != nullptr && !bit_is_set(validity, first + static_cast<std::int64_t>(k))) {
            continue;
          }
          const auto entry = static_cast<std::uint64_t>(static_cast<std::int64_t>(index[k]));
          if (entry >= size) {
            in_range = false;
            break;
          }
          // A lone key whose entry has its group: the row's id, nothing else.
          if (lone_key && column.entry_ids[entry] != UNNUMBERED) {
            row_ids[k] = column.entry_ids[entry];
            column.row_entries[k] = NUMBERED;
            continue;
          }
          const std::size_t from = entry == 0 ? 0 : column.entry_ends[entry - 1];
          column.tags[k] = column.entry_tags[entry];
          column.row_entries[k] = static_cast<std::uint32_t>(entry);
          column.data[k] = column.entry_bytes.data() + from;
          column.lens[k] = column.entry_ends[entry] - from;
        }
      });
      if (!in_range) {
        return "malformed Arrow array: a dictionary index is out of range";
      }
    }
    // Each row's group key: per column its tag, then a value's length
    // (a varint) and bytes.
    Column* lone =
        columns_.size() == 1 && columns_[0]->type.dictionary ? columns_[0].get() : nullptr;
    try {
      for (std::size_t k = 0; k < rows; ++k) {
        const std::uint32_t entry = lone != nullptr ? lone->row_entries[k] : NO_ENTRY;
        if (entry == NUMBERED) {
          continue;
        }
        if (entry != NO_ENTRY && lone->entry_ids[entry] != UNNUMBERED) {
          ids[at + k - begin] = lone->entry_ids[entry];
          continue;
        }
        std::size_t size = 0;
        for (const auto& column : columns_) {
          size += column->tags[k] == VALUE ? 1 + 10 + column->lens[k] : 1;
        }
        if (size > key_.size()) {
          key_.resize(size);
        }
        std::uint8_t* out = key_.data();
        for (const auto& column : columns_) {
          const Tag tag = column->tags[k];
          *out++ = tag;
          if (tag != VALUE) {
            continue;
          }
          std::size_t len = column->lens[k];
          for (; len >= 0x80; len >>= 7) {
            *out++ = static_cast<std::uint8_t>(len | 0x80);
          }
          *out++ = static_cast<std::uint8_t>(len);
          if (column->lens[k] > 0) {
            std::memcpy(out, column->data[k], column->lens[k]);
            out += column->lens[k];
          }
        }
        const auto used = static_cast<std::size_t>(out - key_.data());
        const std::uint64_t hash = XXH3_64bits_withSeed(key_.data(), used, seed_);
        const std::uint32_t id = table_.id(hash, key_.data(), used);
        if (id == first_rows_.size()) {
          first_rows_.push_back(row_base + static_cast<std::int64_t>(at + k));
        }
        ids[at + k - begin] = id;
        if (entry != NO_ENTRY) {
          lone->entry_ids[entry] = id;
        }
      }
    } catch (const std::bad_alloc&) {
      return OUT_OF_MEMORY;
    }
  }
  return nullptr;
}

}  // namespace drisk
