// drisk: each row's hash, for readers that route rows to many sketches.
//
// A sink (sink.hpp) absorbs a column into one sketch; a grouped reader must
// know which group each row goes to, so it asks instead for each row's
// XXH3-64 hash: the hash of the row's item as every other path computes it
// (item_text.hpp for numbers, the bytes for text and binary), through the
// same views. A missing row (null, NaN) gets no hash and is marked missing.
#ifndef DRISK_COLUMNS_ROW_HASHES_HPP
#define DRISK_COLUMNS_ROW_HASHES_HPP

#include <cstdint>
#include <vector>

#include "arrow_abi.hpp"
#include "value_kinds.hpp"

namespace drisk {

// The hashes of rows [begin, end) of one array of a column of type `type`
// (checked by describe_column): hashes[k] for row begin + k, present[k] 1
// when that row has an item, 0 when it is missing. Refuses, as the sink
// does, an array whose layout contradicts its type.
//
// A dictionary-encoded array's entries are hashed once, into `entries`, and
// kept there for the next array that shares the same dictionary (a stream
// of chunks usually does); that is the one step that allocates
// (OUT_OF_MEMORY when it fails). Call prepare_dictionary() for each array
// before hash_rows(), on one thread; hash_rows() may then run on several
// threads over disjoint row ranges of the same array.
struct DictionaryHashes {
  const void* buffers = nullptr;  // which dictionary the hashes are of
  std::int64_t offset = -1;
  std::int64_t length = -1;
  std::vector<std::uint64_t> hashes;
  std::vector<std::uint8_t> present;
};

ArrayFault prepare_dictionary(const ColumnType& type, const ArrowArray& array,
                              DictionaryHashes& entries) noexcept;

ArrayFault hash_rows(const ColumnType& type, const ArrowArray& array, std::int64_t begin,
                     std::int64_t end, const DictionaryHashes& entries, std::uint64_t* hashes,
                     std::uint8_t* present) noexcept;

}  // namespace drisk

#endif  // DRISK_COLUMNS_ROW_HASHES_HPP
