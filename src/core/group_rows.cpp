// drisk: sketches per group from rows, on one core or two.
#include "group_rows.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <string_view>

#include "columns/row_views.hpp"

#include "platform.hpp"
#include "splitter.hpp"

namespace drisk {

GroupRows::GroupRows(unsigned p, std::size_t groups, std::size_t rows, bool two_cores)
    : groups_(groups), batch_rows_(std::min(rows, BATCH_ROWS)), two_cores_(two_cores) {
  for (unsigned parity = 0; parity < 2; ++parity) {
    stores_[parity] = std::make_unique<GroupedSketches>(p);
    // Group g is number g / 2 of the store of its parity.
    stores_[parity]->reserve((groups + 1 - parity) / 2);
  }
  hashes_.resize(batch_rows_);
  present_.resize(batch_rows_);
  for (Share& share : shares_) {
    share.ids.resize(batch_rows_);
    share.hashes.resize(batch_rows_);
  }
}

void GroupRows::grow(std::size_t groups, std::size_t rows) {
  if (groups > groups_) {
    for (unsigned parity = 0; parity < 2; ++parity) {
      stores_[parity]->reserve((groups + 1 - parity) / 2);
    }
    groups_ = groups;
  }
  if (rows > batch_rows_ && batch_rows_ < BATCH_ROWS) {
    batch_rows_ = std::min(rows, BATCH_ROWS);
    hashes_.resize(batch_rows_);
    present_.resize(batch_rows_);
    for (Share& share : shares_) {
      share.ids.resize(batch_rows_);
      share.hashes.resize(batch_rows_);
    }
  }
}

ArrayFault GroupRows::add(const ColumnType& type, const ArrowArray& array, std::size_t begin,
                          std::size_t end, const std::uint32_t* ids) noexcept {
  if (array.length < 0 || end < begin || end > static_cast<std::size_t>(array.length)) {
    return "malformed Arrow array: rows outside the array";
  }
  if (ArrayFault fault = prepare_dictionary(type, array, entries_)) {
    return fault;
  }
  for (std::size_t at = begin; at < end; at += batch_rows_) {
    const std::size_t n = std::min(batch_rows_, end - at);
    shares_[0].fault = nullptr;
    shares_[1].fault = nullptr;
    // 1. Each row's hash, or missing.
    share_work(n, CHUNK_ROWS, shares_[0], two_cores_ ? &shares_[1] : nullptr,
               [&](Share& share, std::size_t begin, std::size_t end) noexcept {
                 share.fault = hash_rows(type, array, static_cast<std::int64_t>(at + begin),
                                         static_cast<std::int64_t>(at + end), entries_,
                                         hashes_.data() + begin, present_.data() + begin);
                 return share.fault == nullptr;
               });
    if (shares_[0].fault != nullptr || shares_[1].fault != nullptr) {
      return shares_[0].fault != nullptr ? shares_[0].fault : shares_[1].fault;
    }
    // 2. Each parity of group ids into its own store, one core each.
    const std::uint32_t* batch_ids = ids + (at - begin);
    share_work(2, 1, shares_[0], two_cores_ ? &shares_[1] : nullptr,
               [&](Share& share, std::size_t first, std::size_t last) noexcept {
                 for (std::size_t parity = first; parity < last; ++parity) {
                   // Without a branch: the parity of random groups is a
                   // coin toss, and a mispredicted branch a row cost more
                   // than the rest of this loop. Every row is written at k,
                   // which moves on only past the rows kept.
                   std::size_t k = 0;
                   for (std::size_t r = 0; r < n; ++r) {
                     const std::uint32_t g = batch_ids[r];
                     share.ids[k] = g >> 1;
                     share.hashes[k] = hashes_[r];
                     k += static_cast<std::size_t>(present_[r] & ((g & 1) == parity));
                   }
                   try {
                     stores_[parity]->update_many(share.ids.data(), share.hashes.data(), k);
                   } catch (const std::bad_alloc&) {
                     share.fault = OUT_OF_MEMORY;
                     return false;
                   }
                 }
                 return true;
               });
    if (shares_[0].fault != nullptr || shares_[1].fault != nullptr) {
      return OUT_OF_MEMORY;
    }
  }
  return nullptr;
}

cells::Failure GroupRows::finalize(cells::BinaryBuilder& out, std::size_t first,
                                   std::size_t last) noexcept {
  // Each store packs its groups of the range on a core of its own; the two
  // are then interleaved back into id order, a copy of the packed bytes.
  struct Packed {
    std::vector<std::uint8_t> data;
    std::vector<std::size_t> ends;
    cells::Failure failure;
  };
  last = std::min(last, groups_);
  first = std::min(first, last);
  Packed parts[2];
  // The local ids of each parity's groups in the range: group g is local
  // id g / 2 of store g % 2.
  const std::size_t from[2] = {(first + 1) / 2, first / 2};
  const std::size_t to[2] = {(last + 1) / 2, last / 2};
  int own = 0;
  int helper = 0;
  share_work(2, 1, own, two_cores_ && last - first > 1 ? &helper : nullptr,
             [&](int&, std::size_t begin, std::size_t end) noexcept {
               for (std::size_t parity = begin; parity < end; ++parity) {
                 Packed& part = parts[parity];
                 try {
                   part.ends.reserve(to[parity] - from[parity]);
                   for (std::size_t local = from[parity]; local < to[parity]; ++local) {
                     if (Refusal refusal = stores_[parity]->finalize(local, part.data)) {
                       part.failure = cells::Failure::refused(
                           "group " + std::to_string(local * 2 + parity) + ": " + *refusal);
                       return false;
                     }
                     part.ends.push_back(part.data.size());
                   }
                 } catch (const std::bad_alloc&) {
                   part.failure = cells::Failure::no_memory();
                   return false;
                 }
               }
               return true;
             });
  for (Packed& part : parts) {
    if (part.failure.failed) {
      return std::move(part.failure);
    }
  }
  try {
    // Room for this range, growing geometrically: ranges come one after
    // another, and an exact reservation would copy the whole output each.
    const auto room = [](auto& vector, std::size_t more) {
      if (vector.capacity() - vector.size() < more) {
        vector.reserve(std::max(vector.size() + more, vector.capacity() * 2));
      }
    };
    room(out.data, parts[0].data.size() + parts[1].data.size());
    room(out.offsets, last - first);
    room(out.valid, last - first);
    std::size_t at[2] = {0, 0};
    for (std::size_t g = first; g < last; ++g) {
      const std::size_t parity = g & 1;
      const Packed& part = parts[parity];
      const std::size_t end = part.ends[(g >> 1) - from[parity]];
      out.data.insert(out.data.end(), part.data.begin() + static_cast<std::ptrdiff_t>(at[parity]),
                      part.data.begin() + static_cast<std::ptrdiff_t>(end));
      at[parity] = end;
      out.offsets.push_back(static_cast<std::int64_t>(out.data.size()));
      out.valid.push_back(1);
    }
  } catch (const std::bad_alloc&) {
    return cells::Failure::no_memory();
  }
  return {};
}

cells::Failure GroupRows::estimates(double confidence, std::vector<double>& estimate,
                                    std::vector<double>& lower, std::vector<double>& upper,
                                    std::size_t first, std::size_t last) noexcept {
  const bool bounds = confidence > 0.0 && confidence < 1.0;
  try {
    estimate.resize(groups_);
    if (bounds) {
      lower.resize(groups_);
      upper.resize(groups_);
    }
  } catch (const std::bad_alloc&) {
    return cells::Failure::no_memory();
  }
  for (std::size_t g = first; g < std::min(last, groups_); ++g) {
    const RegisterHistogram h = store_of(g).histogram(g >> 1);
    const double value = improved_estimate(h);
    estimate[g] = value;
    if (bounds) {
      const Interval interval = error_bounds(h, value, confidence);
      lower[g] = interval.lower;
      upper[g] = interval.upper;
    }
  }
  return {};
}

namespace {

template <class Value>
const char* fold_values(const ArrowArray& array, std::uint64_t low, std::uint32_t width, bool nulls,
                        std::uint32_t* codes, std::int64_t begin, std::int64_t end) noexcept {
  const auto* values = static_cast<const Value*>(array.buffers[1]) + array.offset;
  const auto* validity =
      array.null_count != 0 ? static_cast<const std::uint8_t*>(array.buffers[0]) : nullptr;
  const std::uint64_t shift = nulls ? 1 : 0;
  const std::uint64_t span = width - shift;
  for (std::int64_t r = begin; r < end; ++r) {
    std::uint64_t c = 0;
    if (validity == nullptr || columns::bit_is_set(validity, array.offset + r)) {
      // Two's complement difference: exact for value >= low in either sign.
      const std::uint64_t diff =
          static_cast<std::uint64_t>(static_cast<std::int64_t>(values[r])) - low;
      if (diff >= span) {
        return "a key is outside the range it was numbered for";
      }
      c = diff + shift;
    } else if (!nulls) {
      return "a key is missing where none was expected";
    }
    codes[r] = static_cast<std::uint32_t>(codes[r] * std::uint64_t{width} + c);
  }
  return nullptr;
}

}  // namespace

const char* fold_integer_key(const ArrowSchema& schema, const ArrowArray& array, std::uint64_t low,
                             std::uint32_t width, bool nulls, std::uint32_t* codes,
                             std::int64_t begin, std::int64_t end) noexcept {
  const std::string_view format = schema.format != nullptr ? schema.format : "";
  using Fold = const char* (*)(const ArrowArray&, std::uint64_t, std::uint32_t, bool,
                               std::uint32_t*, std::int64_t, std::int64_t);
  Fold fold = format == "c"   ? fold_values<std::int8_t>
              : format == "C" ? fold_values<std::uint8_t>
              : format == "s" ? fold_values<std::int16_t>
              : format == "S" ? fold_values<std::uint16_t>
              : format == "i" ? fold_values<std::int32_t>
              : format == "I" ? fold_values<std::uint32_t>
              : format == "l" ? fold_values<std::int64_t>
              : format == "L" ? fold_values<std::uint64_t>
                              : nullptr;
  if (fold == nullptr) {
    return cells::NOT_INTEGERS;
  }
  if (array.length < 0 || array.offset < 0 || array.n_buffers != 2 || array.buffers == nullptr ||
      (array.buffers[1] == nullptr && array.length > 0) ||
      (array.null_count != 0 && array.buffers[0] == nullptr)) {
    return "malformed Arrow array: an integer array needs validity and value buffers";
  }
  if (begin < 0 || end < begin || end > array.length) {
    return "malformed Arrow array: rows outside the array";
  }
  return fold(array, low, width, nulls, codes, begin, end);
}

void number_codes(std::uint32_t* codes, std::size_t begin, std::size_t end,
                  std::vector<std::uint32_t>& number, std::vector<std::int64_t>& first) {
  // Rows ahead whose slot is fetched: the codes of rows in random order
  // make nearly every slot of a large table a cache miss.
  constexpr std::size_t AHEAD = 16;
  for (std::size_t r = begin; r < end; ++r) {
    if (r + AHEAD < end) {
      drisk::prefetch(&number[codes[r + AHEAD]]);
    }
    std::uint32_t& slot = number[codes[r]];
    if (slot == UNNUMBERED) {
      slot = static_cast<std::uint32_t>(first.size());
      first.push_back(static_cast<std::int64_t>(r));
    }
    codes[r] = slot;
  }
}

std::size_t GroupRows::bytes_reserved() const noexcept {
  return stores_[0]->bytes_reserved() + stores_[1]->bytes_reserved();
}

}  // namespace drisk
