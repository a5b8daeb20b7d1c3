// drisk: the core's own test program, without Python.
//
// It runs wherever the core builds: natively on x86-64 (every kernel set the
// CPU has), and in CI for aarch64 under qemu-user, where nothing else of
// drisk can run. Each check holds the core against an independent account:
//
//   - every kernel set against the portable one, and the line kernels
//     against lines split here with std::string_view, at every alignment;
//   - platform.hpp's helpers against plain arithmetic and each other;
//   - integer texts against std::to_chars; double texts read back with
//     strtod (the same double) and with as many significant digits as
//     std::to_chars' shortest form;
//   - XXH3-64 against pinned values, which every stored sketch relies on.
//
// It prints a line per failure and ends with "N passed, N failed"; the exit
// status is 1 when anything failed. tests/core/run builds and runs it.
#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "insert.hpp"
#include "item_text.hpp"
#include "kernels.hpp"
#include "overlap.hpp"
#include "platform.hpp"

namespace {

std::size_t passed = 0;
std::size_t failed = 0;

void check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    if (failed <= 50) {
      std::printf("FAILED %s\n", what.c_str());
    }
  }
}

std::string hex(std::uint64_t v) {
  char text[20];
  std::snprintf(text, sizeof text, "%016" PRIx64, v);
  return text;
}

std::mt19937_64 random_bits(20261208);

// Values at the edges of every power of two and ten, then random ones.
std::vector<std::uint64_t> edge_and_random_words(std::size_t random_count) {
  std::vector<std::uint64_t> words{0, 1, 2, 9, 10, 11, std::numeric_limits<std::uint64_t>::max()};
  for (int shift = 0; shift < 64; ++shift) {
    const std::uint64_t power = std::uint64_t{1} << shift;
    words.insert(words.end(), {power - 1, power, power + 1});
  }
  std::uint64_t ten = 1;
  for (int k = 0; k < 20; ++k, ten *= 10) {
    words.insert(words.end(), {ten - 1, ten, ten + 1});
  }
  for (std::size_t i = 0; i < random_count; ++i) {
    // Random widths too, so short and long numbers both come up.
    words.push_back(random_bits() >> (random_bits() % 64));
  }
  return words;
}

// --- platform.hpp -------------------------------------------------------------

void test_wide_arithmetic() {
  const std::vector<std::uint64_t> words = edge_and_random_words(4000);
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    const std::uint64_t a = words[i];
    const std::uint64_t b = words[(i * 7919 + 1) % words.size()];
    const drisk::Wide128 product = drisk::multiply_wide(a, b);
    // The low word is the wrapped product; the high one is checked by
    // dividing back, which must give a exactly and no remainder.
    bool ok = product.low == a * b;
    if (b != 0) {
      const drisk::Division back = drisk::divide_wide(product.high, product.low, b);
      ok = ok && back.quotient == a && back.remainder == 0;
    }
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 exact = static_cast<unsigned __int128>(a) * b;
    ok = ok && product.high == static_cast<std::uint64_t>(exact >> 64);
#endif
    check(ok, "multiply_wide(" + hex(a) + ", " + hex(b) + ")");
    // A remainder below the divisor, added in, comes back as the remainder.
    if (b > 1) {
      const std::uint64_t extra = a % b;
      const drisk::Wide128 sum = drisk::wide_add(drisk::multiply_wide(a, b), {0, extra});
      const drisk::Division back = drisk::divide_wide(sum.high, sum.low, b);
      check(back.quotient == a && back.remainder == extra,
            "divide_wide with remainder " + hex(a) + " " + hex(b));
      const drisk::Wide128 again = drisk::wide_subtract(sum, {0, extra});
      check(again.high == product.high && again.low == product.low,
            "wide_subtract " + hex(a) + " " + hex(b));
    }
  }
}

void test_shift_and_bytes() {
  const std::vector<std::uint64_t> words = edge_and_random_words(200);
  for (std::size_t i = 0; i + 1 < words.size(); i += 2) {
    const drisk::Wide128 x{words[i], words[i + 1]};
    for (unsigned shift = 0; shift < 128; ++shift) {
      // One bit at a time, the slow way.
      drisk::Wide128 slow = x;
      for (unsigned s = 0; s < shift; ++s) {
        slow = {slow.high >> 1, (slow.low >> 1) | (slow.high << 63)};
      }
      const drisk::Wide128 fast = drisk::wide_shift_right(x, shift);
      check(fast.high == slow.high && fast.low == slow.low,
            "wide_shift_right by " + std::to_string(shift));
    }
    const std::uint64_t w = words[i];
    std::uint8_t bytes[8];
    std::uint8_t reversed[8];
    std::memcpy(bytes, &w, 8);
    std::reverse_copy(bytes, bytes + 8, reversed);
    std::uint64_t swapped64 = 0;
    std::memcpy(&swapped64, reversed, 8);
    check(drisk::byteswap64(w) == swapped64, "byteswap64 " + hex(w));
    const auto w32 = static_cast<std::uint32_t>(w);
    check(drisk::byteswap32(drisk::byteswap32(w32)) == w32 &&
              (drisk::byteswap32(w32) >> 24) == (w32 & 0xFF),
          "byteswap32 " + hex(w));
    const auto w16 = static_cast<std::uint16_t>(w);
    check(drisk::byteswap16(w16) == static_cast<std::uint16_t>((w16 >> 8) | (w16 << 8)),
          "byteswap16 " + hex(w));
  }
  const std::string text = "a\nbc\n\ndef\nghij";
  for (std::size_t n = 0; n <= text.size(); ++n) {
    const std::size_t expected = std::string_view(text.data(), n).rfind('\n');
    const void* found = drisk::find_last_byte(text.data(), '\n', n);
    const std::size_t at =
        found == nullptr ? std::string_view::npos
                         : static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
    check(at == expected, "find_last_byte over " + std::to_string(n) + " bytes");
  }
}

// --- Texts --------------------------------------------------------------------

void test_integer_texts() {
  for (const std::uint64_t word : edge_and_random_words(20000)) {
    for (const std::int64_t value :
         {static_cast<std::int64_t>(word), static_cast<std::int64_t>(0 - word)}) {
      char ours[32];
      char theirs[32];
      const std::size_t n = drisk::format_int64(value, ours);
      const auto end = std::to_chars(theirs, theirs + sizeof theirs, value).ptr;
      check(std::string_view(ours, n) ==
                std::string_view(theirs, static_cast<std::size_t>(end - theirs)),
            "format_int64 " + std::to_string(value));
    }
  }
}

// The significant digits of a decimal text ("-0.00120" and "1.2e-03" both
// have two).
std::size_t significant_digits(std::string_view text) {
  text = text.substr(0, text.find_first_of("eE"));
  std::string digits;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      digits += c;
    }
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    return 0;
  }
  return digits.find_last_not_of('0') - first + 1;
}

void check_double(double value) {
  char ours[drisk::ITEM_TEXT_CAPACITY];
  const std::string text(ours, drisk::format_double(value, ours));
  if (std::isinf(value)) {
    check(text == (value > 0 ? "inf" : "-inf"), "format_double(inf) " + text);
    return;
  }
  if (std::trunc(value) == value && std::fabs(value) >= 0x1p63) {
    // A whole value as its integer's text, every digit of it: read back, it
    // is the same double.
    const bool digits = text.find_first_not_of("-0123456789") == std::string::npos;
    check(digits && std::strtod(text.c_str(), nullptr) == value, "huge whole double " + text);
    return;
  }
  if (std::trunc(value) == value) {
    char theirs[32];
    const auto end =
        std::to_chars(theirs, theirs + sizeof theirs, static_cast<std::int64_t>(value)).ptr;
    check(text == std::string_view(theirs, static_cast<std::size_t>(end - theirs)),
          "whole double " + text);
    return;
  }
  char theirs[64];
  const auto end = std::to_chars(theirs, theirs + sizeof theirs, value).ptr;
  const std::string_view shortest(theirs, static_cast<std::size_t>(end - theirs));
  const bool same_value = std::strtod(text.c_str(), nullptr) == value;
  const bool same_digits = significant_digits(text) == significant_digits(shortest);
  check(same_value && same_digits, "format_double " + text + " against " + std::string(shortest));
}

void test_double_texts() {
  for (const double value : {0.0,
                             -0.0,
                             0.1,
                             -0.5,
                             1.5,
                             1e-5,
                             1e-4,
                             123.456,
                             1e15,
                             1e16,
                             1e17,
                             1e22,
                             1e23,
                             5e-324,
                             2.2250738585072014e-308,
                             1.7976931348623157e308,
                             0x1p-12,
                             0x1p52 + 0.5,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()}) {
    check_double(value);
  }
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t bits = random_bits();
    double value;
    std::memcpy(&value, &bits, 8);
    if (!std::isnan(value)) {
      check_double(value);
    }
    // And values with few digits, which take the short path.
    check_double(static_cast<double>(static_cast<std::int64_t>(random_bits() % 2000001) - 1000000) /
                 std::pow(10.0, static_cast<double>(random_bits() % 9)));
  }
}

// --- XXH3 ---------------------------------------------------------------------

void test_hash_pins() {
  struct Pin {
    std::string item;
    std::uint64_t hash;
  };
  const Pin pins[] = {
      {"", 0x2D06800538D394C2},
      {"a", 0xE6C632B61E964E1F},
      {"abc", 0x78AF5F94892F3950},
      {"drisk", 0xC79889E2106BCDA7},
      {"0123456789abcdef", 0x64439946D8FA212D},
      {std::string(100, 'x'), 0xC90984FFDF50CE42},
      {std::string(200, 'y'), 0x78C5AE5CF7B1237E},
      {std::string(1000, 'z'), 0xCD3A574700EDDF41},
  };
  for (const Pin& pin : pins) {
    check(XXH3_64bits(pin.item.data(), pin.item.size()) == pin.hash,
          "XXH3-64 of " + std::to_string(pin.item.size()) + " bytes");
  }
}

// --- Kernels --------------------------------------------------------------------

std::vector<std::uint8_t> random_registers(std::size_t n, unsigned top) {
  std::vector<std::uint8_t> regs(n);
  for (auto& r : regs) {
    // Mostly small values and zeros, as in a sketch, with the top now and then.
    const std::uint64_t draw = random_bits();
    r = static_cast<std::uint8_t>((draw & 7) == 0 ? top : (draw >> 8) % (std::min(top, 8u) + 1));
  }
  return regs;
}

void test_register_kernels(const drisk::Kernels& portable, const drisk::Kernels& set) {
  const std::string name = set.name;
  for (const std::size_t n : {std::size_t{16}, std::size_t{64}, std::size_t{100}, std::size_t{4096},
                              std::size_t{4099}, std::size_t{1} << 14}) {
    for (const unsigned top : {1u, 7u, 30u, 51u}) {
      if (static_cast<double>(n) * std::ldexp(1.0, static_cast<int>(top)) > 0x1p53) {
        continue;
      }
      const std::vector<std::uint8_t> regs = random_registers(n, top);
      const std::string where = name + " n=" + std::to_string(n) + " top=" + std::to_string(top);
      check(set.max_register(regs.data(), n) == portable.max_register(regs.data(), n),
            "max_register " + where);
      const drisk::ScaledSum a = set.scaled_power_sum(regs.data(), n, top);
      const drisk::ScaledSum b = portable.scaled_power_sum(regs.data(), n, top);
      check(a.sum == b.sum && a.zeros == b.zeros, "scaled_power_sum " + where);
      std::vector<std::uint64_t> counts_a(top + 1), counts_b(top + 1);
      set.histogram(regs.data(), n, static_cast<std::uint8_t>(top), counts_a.data());
      portable.histogram(regs.data(), n, static_cast<std::uint8_t>(top), counts_b.data());
      check(counts_a == counts_b, "histogram " + where);
      const std::vector<std::uint8_t> other = random_registers(n, top);
      std::vector<std::uint8_t> into_a = regs, into_b = regs;
      set.elementwise_max(into_a.data(), other.data(), n);
      portable.elementwise_max(into_b.data(), other.data(), n);
      check(into_a == into_b, "elementwise_max " + where);
    }
  }
}

// Lines of 0 to 40 letters, ended by "\n" or "\r\n", the last one maybe
// without an ending.
std::string random_lines(std::size_t bytes) {
  std::string text;
  while (text.size() < bytes) {
    const std::size_t length = random_bits() % (random_bits() % 4 == 0 ? 41 : 9);
    for (std::size_t i = 0; i < length; ++i) {
      text += static_cast<char>('a' + random_bits() % 26);
    }
    text += random_bits() % 5 == 0 ? "\r\n" : "\n";
  }
  if (random_bits() % 2 == 0) {
    text += "tail";
  }
  return text;
}

// The registers of the lines, split here.
std::vector<std::uint8_t> lines_by_hand(std::string_view text, unsigned p, bool final) {
  std::vector<std::uint8_t> regs(std::size_t{1} << p);
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    drisk::insert(regs.data(), p, line.data(), line.size());
  }
  if (final && start < text.size()) {
    drisk::insert(regs.data(), p, text.data() + start, text.size() - start);
  }
  return regs;
}

void test_line_kernels(const drisk::Kernels& portable, const drisk::Kernels& set) {
  const unsigned p = 12;
  for (const std::size_t bytes : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{64},
                                  std::size_t{65}, std::size_t{1000}, std::size_t{70000}}) {
    const std::string text = random_lines(bytes);
    // Every alignment of the start within a 64-byte block.
    std::vector<std::uint8_t> block(text.size() + 64);
    for (std::size_t offset = 0; offset < 64; ++offset) {
      std::memcpy(block.data() + offset, text.data(), text.size());
      const std::span<const std::uint8_t> data(block.data() + offset, text.size());
      for (const bool final : {true, false}) {
        std::vector<std::uint8_t> ours(std::size_t{1} << p), base(std::size_t{1} << p);
        const std::size_t used = set.add_lines(ours.data(), p, data, final);
        const std::size_t base_used = portable.add_lines(base.data(), p, data, final);
        const std::string where = std::string(set.name) + " bytes=" + std::to_string(text.size()) +
                                  " offset=" + std::to_string(offset) + (final ? " final" : "");
        check(used == base_used && ours == base, "add_lines against portable " + where);
        check(ours == lines_by_hand(text, p, final),
              "add_lines against lines split by hand " + where);
      }
    }
  }
}

void test_kernels() {
  const drisk::Kernels* portable = drisk::kernels_for(drisk::KernelSet::portable);
  check(portable != nullptr, "the portable kernels exist");
  if (portable == nullptr) {
    return;
  }
  for (const drisk::KernelSet which :
       {drisk::KernelSet::portable, drisk::KernelSet::x86_vector, drisk::KernelSet::x86_avx512}) {
    if (const drisk::Kernels* set = drisk::kernels_for(which)) {
      std::printf("kernel set %s\n", set->name);
      test_register_kernels(*portable, *set);
      test_line_kernels(*portable, *set);
    }
  }
}

// --- overlap.hpp ------------------------------------------------------------------

// The five counts of a register pair by the plain rule, the reference.
drisk::overlap::PairCounts counted_pairs(const std::vector<std::uint8_t>& a,
                                         const std::vector<std::uint8_t>& b, unsigned p) {
  drisk::overlap::PairCounts out;
  out.p = p;
  for (std::size_t r = 0; r < a.size(); ++r) {
    if (a[r] < b[r]) {
      ++out.a_below[a[r]];
      ++out.b_above[b[r]];
    } else if (a[r] > b[r]) {
      ++out.a_above[a[r]];
      ++out.b_below[b[r]];
    } else {
      ++out.equal[a[r]];
    }
  }
  return out;
}

bool same_counts(const drisk::overlap::PairCounts& x, const drisk::overlap::PairCounts& y) {
  return x.a_below == y.a_below && x.a_above == y.a_above && x.b_below == y.b_below &&
         x.b_above == y.b_above && x.equal == y.equal;
}

std::vector<std::uint32_t> entries_of(const std::vector<std::uint8_t>& registers) {
  std::vector<std::uint32_t> out;
  for (std::size_t r = 0; r < registers.size(); ++r) {
    if (registers[r] != 0) {
      out.push_back(static_cast<std::uint32_t>(r << 6) | registers[r]);
    }
  }
  return out;
}

bool same_estimate(const drisk::overlap::Estimate& x, const drisk::overlap::Estimate& y) {
  const auto same = [](double u, double v) { return u == v || (u != u && v != v); };
  return same(x.intersection, y.intersection) && same(x.a_only, y.a_only) &&
         same(x.b_only, y.b_only) && same(x.union_size, y.union_size) &&
         same(x.jaccard, y.jaccard) &&
         same(x.intersection_bounds.lower, y.intersection_bounds.lower) &&
         same(x.intersection_bounds.upper, y.intersection_bounds.upper) &&
         same(x.jaccard_bounds.lower, y.jaccard_bounds.lower) &&
         same(x.jaccard_bounds.upper, y.jaccard_bounds.upper);
}

// Every way of counting a pair (registers, entries, one of each) against the
// plain rule, on sketches from empty to saturated; the fit finite, mirrored
// when the sketches swap, and its parts adding up to its union.
void test_overlap() {
  auto counter = std::make_unique<drisk::overlap::PairCounter>();
  for (const unsigned p : {4u, 8u, 12u}) {
    const std::size_t m = std::size_t{1} << p;
    const unsigned q = 64 - p;
    for (int trial = 0; trial < 40; ++trial) {
      // A share of registers set, with values spread from 1 to q + 1.
      const unsigned share_a = static_cast<unsigned>(random_bits() % 101);
      const unsigned share_b = static_cast<unsigned>(random_bits() % 101);
      const unsigned spread = 1 + static_cast<unsigned>(random_bits() % (q + 1));
      std::vector<std::uint8_t> a(m);
      std::vector<std::uint8_t> b(m);
      for (std::size_t r = 0; r < m; ++r) {
        if (random_bits() % 100 < share_a) {
          a[r] = static_cast<std::uint8_t>(1 + random_bits() % spread);
        }
        // B shares some registers with A outright, as sets that overlap do.
        if (random_bits() % 4 == 0) {
          b[r] = a[r];
        } else if (random_bits() % 100 < share_b) {
          b[r] = static_cast<std::uint8_t>(1 + random_bits() % spread);
        }
      }
      const drisk::overlap::PairCounts expected = counted_pairs(a, b, p);
      const std::string what = "p=" + std::to_string(p) + " trial " + std::to_string(trial);
      check(same_counts(counter->registers(a.data(), b.data(), p), expected),
            "pair counts, registers, " + what);
      const std::vector<std::uint32_t> ea = entries_of(a);
      const std::vector<std::uint32_t> eb = entries_of(b);
      check(same_counts(counter->entries(ea, eb, p), expected), "pair counts, entries, " + what);
      check(same_counts(counter->entries_registers(ea, b.data(), p), expected),
            "pair counts, entries and registers, " + what);
      for (const double confidence : {0.0, 0.95}) {
        const drisk::overlap::Estimate e = drisk::overlap::fit(expected, confidence);
        const drisk::overlap::Estimate mirrored =
            drisk::overlap::fit(expected.swapped(), confidence);
        drisk::overlap::Estimate swapped = mirrored;
        std::swap(swapped.a_only, swapped.b_only);
        check(same_estimate(e, swapped), "overlap mirrored, " + what);
        const bool finite = std::isfinite(e.intersection) && std::isfinite(e.a_only) &&
                            std::isfinite(e.b_only) && e.intersection >= 0 && e.a_only >= 0 &&
                            e.b_only >= 0;
        check(finite, "overlap finite and non-negative, " + what);
        check(e.union_size == e.a_only + e.b_only + e.intersection,
              "overlap parts add up, " + what);
        if (confidence > 0.0 && finite) {
          check(e.intersection_bounds.lower <= e.intersection &&
                    e.intersection <= e.intersection_bounds.upper,
                "overlap interval holds its estimate, " + what);
        }
      }
    }
  }
}

}  // namespace

int main() {
  test_wide_arithmetic();
  test_shift_and_bytes();
  test_integer_texts();
  test_double_texts();
  test_hash_pins();
  test_kernels();
  test_overlap();
  std::printf("%zu passed, %zu failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
