// drisk: distinct values per key, from fields of lines.
#include "line_groups.hpp"

#include <cstring>
#include <limits>
#include <new>

#include "lines.hpp"
#include "splitter.hpp"

namespace drisk {
namespace {

struct FieldSpan {
  std::size_t begin;
  std::size_t end;
};

// The key's and the value's chosen fields of a line (rules as in
// FieldPicker::add); false when the line ends before one of them.
bool find_fields(const std::uint8_t* line, std::size_t size, const LineGroupChoice& choice,
                 FieldSpan* key, FieldSpan* value) noexcept {
  if (size == 0) {
    return false;  // an empty line has no fields at all
  }
  const int delimiter = choice.key.delimiter;
  std::size_t keys = 0;
  std::size_t values = 0;
  std::uint32_t field = 0;
  std::size_t pos = 0;
  while (true) {
    std::size_t start = pos;
    if (delimiter == BLANK_RUNS) {
      while (start < size && is_blank(line[start])) {
        ++start;
      }
      if (start == size) {
        return false;
      }
    }
    const std::size_t end = field_end(line, start, size, delimiter);
    ++field;
    if (keys < choice.key.count && field == choice.key.numbers[keys]) {
      key[keys++] = {start, end};
    }
    if (values < choice.value.count && field == choice.value.numbers[values]) {
      value[values++] = {start, end};
    }
    if (keys == choice.key.count && values == choice.value.count) {
      return true;
    }
    if (end == size) {
      return false;
    }
    pos = end + 1;
  }
}

}  // namespace

// --- LineGroups ----------------------------------------------------------------

LineGroups::LineGroups(unsigned p, const LineGroupChoice& choice, bool two_cores)
    : choice_(choice), two_cores_(two_cores), seed_(fresh_seed(this)), halves_{Half(p), Half(p)} {}

void LineGroups::parse(Parsed& out, std::span<const std::uint8_t> data, bool final) {
  const std::uint8_t* const begin = data.data();
  const std::size_t size = data.size();
  const std::uint8_t separator = choice_.key.separator();
  FieldSpan key[MAX_FIELDS];
  FieldSpan value[MAX_FIELDS];
  for (std::size_t pos = 0; pos < size;) {
    const void* hit = std::memchr(begin + pos, '\n', size - pos);
    std::size_t end = size;
    if (hit != nullptr) {
      end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - begin);
    } else if (!final) {
      break;
    }
    const std::size_t next = end + 1;
    if (end > pos && begin[end - 1] == '\r') {
      --end;
    }
    const std::uint8_t* const line = begin + pos;
    pos = next;
    if (!find_fields(line, end - (line - begin), choice_, key, value)) {
      ++out.counts.skipped;
      continue;
    }
    std::uint64_t value_hash = 0;
    if (choice_.value.count == 1) {
      value_hash = XXH3_64bits(line + value[0].begin, value[0].end - value[0].begin);
    } else {
      ItemHasher hasher;
      for (std::size_t k = 0; k < choice_.value.count; ++k) {
        if (k > 0) {
          hasher.update(&separator, 1);
        }
        hasher.update(line + value[k].begin, value[k].end - value[k].begin);
      }
      value_hash = hasher.digest();
    }
    const std::uint8_t* key_bytes = line + key[0].begin;
    std::size_t key_len = key[0].end - key[0].begin;
    if (choice_.key.count > 1) {
      // Joined in scratch reserved to the buffer's size: it never moves.
      const std::size_t at = out.joined.size();
      for (std::size_t k = 0; k < choice_.key.count; ++k) {
        if (k > 0) {
          out.joined.push_back(separator);
        }
        out.joined.insert(out.joined.end(), line + key[k].begin, line + key[k].end);
      }
      key_bytes = out.joined.data() + at;
      key_len = out.joined.size() - at;
    }
    const std::uint64_t key_hash = XXH3_64bits_withSeed(key_bytes, key_len, seed_);
    out.records[key_hash >> 63].push_back({key_hash, value_hash, key_bytes, key_len});
    ++out.counts.items;
  }
}

void LineGroups::gather(Half& half, int bit) {
  half.ids.clear();
  half.hashes.clear();
  const std::size_t n = parsed_[0].records[bit].size() + parsed_[1].records[bit].size();
  half.ids.reserve(n);
  half.hashes.reserve(n);
  for (const Parsed& parsed : parsed_) {
    for (const Record& record : parsed.records[bit]) {
      half.ids.push_back(half.keys.id(record.key_hash, record.key, record.key_len));
      half.hashes.push_back(record.value_hash);
    }
  }
  half.store.reserve(half.keys.size());
  half.store.update_many(half.ids.data(), half.hashes.data(), n);
}

bool LineGroups::add(std::span<const std::uint8_t> data, bool final) noexcept {
  for (Parsed& parsed : parsed_) {
    parsed.records[0].clear();
    parsed.records[1].clear();
    parsed.joined.clear();
    parsed.counts = {};
    parsed.failed = false;
  }
  const bool helped = two_cores_ && data.size() > CHUNK_BYTES;
  try {
    if (choice_.key.count > 1) {
      parsed_[0].joined.reserve(data.size());
      if (helped) {
        parsed_[1].joined.reserve(data.size());
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  // 1. Each line's key and value.
  share_work(data.size(), CHUNK_BYTES, parsed_[0], helped ? &parsed_[1] : nullptr,
             [&](Parsed& out, std::size_t from, std::size_t to) noexcept {
               std::size_t start = 0;
               std::size_t stop = 0;
               if (!lines_starting_in(data, from, to, start, stop)) {
                 return true;
               }
               try {
                 parse(out, data.subspan(start, stop - start), stop < data.size() || final);
               } catch (const std::bad_alloc&) {
                 out.failed = true;
                 return false;
               }
               return true;
             });
  if (parsed_[0].failed || parsed_[1].failed) {
    return false;
  }
  for (const Parsed& parsed : parsed_) {
    counts_.items += parsed.counts.items;
    counts_.skipped += parsed.counts.skipped;
  }
  // 2. Each top bit's keys into its own table and store, one core each.
  int own = 0;
  int helper = 0;
  share_work(2, 1, own, helped ? &helper : nullptr,
             [&](int&, std::size_t first, std::size_t last) noexcept {
               for (std::size_t bit = first; bit < last; ++bit) {
                 try {
                   gather(halves_[bit], static_cast<int>(bit));
                 } catch (const std::bad_alloc&) {
                   halves_[bit].failed = true;
                   return false;
                 }
               }
               return true;
             });
  return !halves_[0].failed && !halves_[1].failed;
}

std::pair<std::size_t, std::size_t> LineGroups::locate(std::size_t group) const noexcept {
  const std::size_t first = halves_[0].keys.size();
  return group < first ? std::pair{std::size_t{0}, group}
                       : std::pair{std::size_t{1}, group - first};
}

std::span<const std::uint8_t> LineGroups::key(std::size_t group) const noexcept {
  const auto [half, local] = locate(group);
  return halves_[half].keys.key(local);
}

RegisterHistogram LineGroups::histogram(std::size_t group) const noexcept {
  const auto [half, local] = locate(group);
  return halves_[half].store.histogram(local);
}

Refusal LineGroups::finalize(std::size_t group, std::vector<std::uint8_t>& out) {
  const auto [half, local] = locate(group);
  return halves_[half].store.finalize(local, out);
}

}  // namespace drisk
