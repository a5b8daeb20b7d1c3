// drisk: distinct values per key, from fields of lines (`drisk count --by`).
//
// Each line gives a key (its --by fields) and a value (its -f fields), both
// picked by the rules of fields.hpp: one delimiter byte as cut splits, or
// runs of blanks as awk does, several fields joined with the delimiter (one
// space for runs of blanks). A line without either is skipped and counted.
// The value is hashed exactly as FieldPicker hashes it, so each group's
// registers are those update_fields() gives over that group's lines alone.
//
// Keys are numbered by KeyTable: an open-addressing table of (hash, id)
// slots over the keys' bytes, kept once each in an arena. A slot matches
// only when the bytes match too, so two keys whose 64-bit hashes collide are
// still two groups. Keys are hashed with a seed drawn per table, so that no
// file can be crafted to pile its keys onto one run of slots.
//
// A buffer of lines is taken in two phases, each on two cores
// (splitter.hpp), as group_rows.hpp does with rows:
//
//   1. fields: both cores claim chunks of lines and find each line's key
//      and value, writing a record (key hash, value hash, key bytes) into
//      scratch of their own, dealt by the key hash's top bit into two
//      halves;
//   2. groups: each core takes one top bit: its own KeyTable and its own
//      grouped store (grouped.hpp), fed from both cores' records of that
//      bit. No key is in both halves, so there is no lock and nothing to
//      merge afterwards.
//
// A record is 32 bytes and points into the buffer (a key of several fields
// is joined into the core's scratch first, no longer than the line), so
// scratch follows the buffer the caller hands over, and is kept for the
// next one. Memory otherwise follows the groups: a key's bytes, a 16-byte
// slot at most half full, the store's header and its sparse registers.
#ifndef DRISK_LINE_GROUPS_HPP
#define DRISK_LINE_GROUPS_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "fields.hpp"
#include "grouped.hpp"
#include "key_table.hpp"

namespace drisk {

// The fields a line is read for: the key's and the value's, both with the
// same delimiter.
struct LineGroupChoice {
  FieldChoice key;
  FieldChoice value;
};

class LineGroups {
 public:
  // Bytes of lines each core claims at a time in the fields phase.
  static constexpr std::size_t CHUNK_BYTES = 256 * 1024;

  // Sketches of precision p (checked by the caller), on two cores when
  // `two_cores`. May throw std::bad_alloc.
  LineGroups(unsigned p, const LineGroupChoice& choice, bool two_cores);

  // Every line of `data` (endings as add_lines takes them; with `final`, the
  // bytes after the last newline are a line too). False when memory ran out:
  // the groups are then incomplete and only fit to be thrown away.
  bool add(std::span<const std::uint8_t> data, bool final) noexcept;

  // Lines that had the key and the value, and lines skipped.
  const FieldCounts& counts() const noexcept { return counts_; }

  // Groups are numbered over the two halves: the first half's, then the
  // second's.
  std::size_t groups() const noexcept { return halves_[0].keys.size() + halves_[1].keys.size(); }
  std::span<const std::uint8_t> key(std::size_t group) const noexcept;
  RegisterHistogram histogram(std::size_t group) const noexcept;
  // The group's sketch in the packed form, appended to `out`; may throw
  // std::bad_alloc.
  Refusal finalize(std::size_t group, std::vector<std::uint8_t>& out);

 private:
  struct Record {
    std::uint64_t key_hash;
    std::uint64_t value_hash;
    const std::uint8_t* key;
    std::size_t key_len;
  };
  // One core's scratch in the fields phase.
  struct Parsed {
    std::vector<Record> records[2];  // by the key hash's top bit
    std::vector<std::uint8_t> joined;
    FieldCounts counts;
    bool failed = false;
  };
  // One top bit's keys and sketches.
  struct Half {
    explicit Half(unsigned p) noexcept : store(p) {}
    KeyTable keys;
    GroupedSketches store;
    std::vector<std::uint32_t> ids;
    std::vector<std::uint64_t> hashes;
    bool failed = false;
  };

  void parse(Parsed& out, std::span<const std::uint8_t> lines, bool final);
  void gather(Half& half, int bit);
  // The half a group is in, and its number there.
  std::pair<std::size_t, std::size_t> locate(std::size_t group) const noexcept;

  LineGroupChoice choice_;
  bool two_cores_;
  std::uint64_t seed_;
  Half halves_[2];
  Parsed parsed_[2];
  FieldCounts counts_;
};

}  // namespace drisk

#endif  // DRISK_LINE_GROUPS_HPP
