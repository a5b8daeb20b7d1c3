// drisk: register kernels, portable and x86 vector versions, and the one
// place that chooses between them.
#include "kernels.hpp"

#include <algorithm>
#include <cstring>

#include "lines.hpp"

#if DRISK_X86_KERNELS
#include <immintrin.h>
#endif

namespace drisk {
namespace {

// ---------------------------------------------------------------------------
// Portable versions
// ---------------------------------------------------------------------------

std::uint8_t max_register_portable(const std::uint8_t* regs, std::size_t n) noexcept {
  std::uint8_t best = 0;
  for (std::size_t i = 0; i < n; ++i) {
    best = std::max(best, regs[i]);
  }
  return best;
}

ScaledSum scaled_power_sum_portable(const std::uint8_t* regs, std::size_t n,
                                    std::uint64_t top) noexcept {
  ScaledSum out{0, 0};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t r = regs[i];
    out.sum += std::uint64_t{1} << (top - r);
    out.zeros += r == 0;
  }
  return out;
}

void elementwise_max_portable(std::uint8_t* __restrict into, const std::uint8_t* __restrict from,
                              std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    into[i] = std::max(into[i], from[i]);
  }
}

// Four tables, so that runs of equal registers (the common case) do not
// serialise on one counter's store-to-load latency.
void histogram_portable(const std::uint8_t* regs, std::size_t n, std::uint8_t top,
                        std::uint64_t* counts) noexcept {
  std::uint32_t tables[4][256] = {};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++tables[0][regs[i]];
    ++tables[1][regs[i + 1]];
    ++tables[2][regs[i + 2]];
    ++tables[3][regs[i + 3]];
  }
  for (; i < n; ++i) {
    ++tables[0][regs[i]];
  }
  for (unsigned v = 0; v < 256; ++v) {
    const std::uint64_t c =
        std::uint64_t{tables[0][v]} + tables[1][v] + tables[2][v] + tables[3][v];
    counts[std::min<unsigned>(v, top)] += c;
  }
}

constexpr Kernels PORTABLE{
    "portable",         max_register_portable, scaled_power_sum_portable, elementwise_max_portable,
    add_lines_portable, histogram_portable};

// ---------------------------------------------------------------------------
// x86 vector versions (AVX2; the line scan needs only SSE2)
// ---------------------------------------------------------------------------

#if DRISK_X86_KERNELS
// The compiler vectorises these two loops itself once AVX2 is allowed.
__attribute__((target("avx2"))) std::uint8_t max_register_avx2(const std::uint8_t* regs,
                                                               std::size_t n) noexcept {
  std::uint8_t best = 0;
  for (std::size_t i = 0; i < n; ++i) {
    best = std::max(best, regs[i]);
  }
  return best;
}

__attribute__((target("avx2"))) void elementwise_max_avx2(std::uint8_t* __restrict into,
                                                          const std::uint8_t* __restrict from,
                                                          std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    into[i] = std::max(into[i], from[i]);
  }
}

// The scaled power sum needs a per-lane variable shift, which the compiler
// does not vectorise on its own. 32 registers an iteration: zeros by a byte
// compare and a popcount, the sum by widening 4 bytes at a time to 64-bit
// lanes and shifting 1 by top - r.
__attribute__((target("avx2,popcnt"))) ScaledSum scaled_power_sum_avx2(const std::uint8_t* regs,
                                                                       std::size_t n,
                                                                       std::uint64_t top) noexcept {
  const __m256i vtop = _mm256_set1_epi64x(static_cast<long long>(top));
  const __m256i one = _mm256_set1_epi64x(1);
  const __m256i zero = _mm256_setzero_si256();
  __m256i acc[4] = {zero, zero, zero, zero};
  std::uint64_t zeros = 0;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(regs + i));
    const auto zero_mask =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(block, zero)));
    zeros += static_cast<std::uint64_t>(_mm_popcnt_u32(zero_mask));
    for (std::size_t k = 0; k < 32; k += 4) {
      std::int32_t four;
      std::memcpy(&four, regs + i + k, sizeof four);
      const __m256i r = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(four));
      __m256i& a = acc[(k / 4) % 4];
      a = _mm256_add_epi64(a, _mm256_sllv_epi64(one, _mm256_sub_epi64(vtop, r)));
    }
  }
  const __m256i total =
      _mm256_add_epi64(_mm256_add_epi64(acc[0], acc[1]), _mm256_add_epi64(acc[2], acc[3]));
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total);
  const ScaledSum tail = scaled_power_sum_portable(regs + i, n - i, top);
  return {lanes[0] + lanes[1] + lanes[2] + lanes[3] + tail.sum, zeros + tail.zeros};
}

// Up to 255 vectors at a time, so that byte counters cannot overflow.
constexpr std::size_t AVX2_BLOCK = 255 * 32;

// Counts the values lo .. lo + G - 1 in one block: a byte compare and a
// subtract per value and vector, then one horizontal sum per value.
template <unsigned G>
__attribute__((target("avx2"))) void count_values_avx2(const std::uint8_t* block, std::size_t len,
                                                       unsigned lo, __m256i top,
                                                       std::uint64_t* counts) noexcept {
  const __m256i zero = _mm256_setzero_si256();
  __m256i acc[G];
  __m256i wanted[G];
  for (unsigned g = 0; g < G; ++g) {
    acc[g] = zero;
    wanted[g] = _mm256_set1_epi8(static_cast<char>(lo + g));
  }
  for (std::size_t k = 0; k < len; k += 32) {
    const __m256i v =
        _mm256_min_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + k)), top);
    for (unsigned g = 0; g < G; ++g) {
      acc[g] = _mm256_sub_epi8(acc[g], _mm256_cmpeq_epi8(v, wanted[g]));
    }
  }
  for (unsigned g = 0; g < G; ++g) {
    const __m256i sums = _mm256_sad_epu8(acc[g], zero);
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
    counts[lo + g] += lanes[0] + lanes[1] + lanes[2] + lanes[3];
  }
}

// Only the values a block actually holds are counted: a first pass finds
// its smallest and largest (clamped) register, then the values between are
// counted six at a time (six accumulators and six compare operands stay in
// the sixteen vector registers).
__attribute__((target("avx2"))) void histogram_avx2(const std::uint8_t* regs, std::size_t n,
                                                    std::uint8_t top_value,
                                                    std::uint64_t* counts) noexcept {
  const __m256i top = _mm256_set1_epi8(static_cast<char>(top_value));
  std::size_t i = 0;
  while (n - i >= 32) {
    const std::size_t len = std::min(AVX2_BLOCK, (n - i) / 32 * 32);
    const std::uint8_t* block = regs + i;
    __m256i lo_v = top;
    __m256i hi_v = _mm256_setzero_si256();
    for (std::size_t k = 0; k < len; k += 32) {
      const __m256i v =
          _mm256_min_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + k)), top);
      lo_v = _mm256_min_epu8(lo_v, v);
      hi_v = _mm256_max_epu8(hi_v, v);
    }
    alignas(32) std::uint8_t lo_bytes[32];
    alignas(32) std::uint8_t hi_bytes[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lo_bytes), lo_v);
    _mm256_store_si256(reinterpret_cast<__m256i*>(hi_bytes), hi_v);
    const unsigned lo = *std::min_element(lo_bytes, lo_bytes + 32);
    const unsigned hi = *std::max_element(hi_bytes, hi_bytes + 32);
    for (unsigned v = lo; v <= hi; v += 6) {
      switch (std::min(hi - v + 1, 6u)) {
        case 1:
          count_values_avx2<1>(block, len, v, top, counts);
          break;
        case 2:
          count_values_avx2<2>(block, len, v, top, counts);
          break;
        case 3:
          count_values_avx2<3>(block, len, v, top, counts);
          break;
        case 4:
          count_values_avx2<4>(block, len, v, top, counts);
          break;
        case 5:
          count_values_avx2<5>(block, len, v, top, counts);
          break;
        default:
          count_values_avx2<6>(block, len, v, top, counts);
          break;
      }
    }
    i += len;
  }
  for (; i < n; ++i) {
    counts[std::min(regs[i], top_value)] += 1;
  }
  // Leave the upper halves of the vector registers clean: otherwise every
  // SSE instruction after us (libm's, the interpreter's) pays for a state
  // transition until something else clears them.
  _mm256_zeroupper();
}

constexpr Kernels X86_VECTOR{"x86_vector",         max_register_avx2, scaled_power_sum_avx2,
                             elementwise_max_avx2, add_lines_sse2,    histogram_avx2};
constexpr Kernels X86_AVX512{"x86_avx512",         max_register_avx2, scaled_power_sum_avx2,
                             elementwise_max_avx2, add_lines_avx512,  histogram_avx2};

#endif

}  // namespace

const Kernels* kernels_for(KernelSet set) noexcept {
  switch (set) {
    case KernelSet::portable:
      return &PORTABLE;
    case KernelSet::x86_vector:
#if DRISK_X86_KERNELS
      return cpu_features().avx2 ? &X86_VECTOR : nullptr;
#else
      return nullptr;
#endif
    case KernelSet::x86_avx512:
#if DRISK_X86_KERNELS
      return cpu_features().avx512 ? &X86_AVX512 : nullptr;
#else
      return nullptr;
#endif
  }
  return nullptr;
}

const Kernels& kernels() noexcept {
  static const Kernels* const chosen = [] {
    for (const KernelSet set : {KernelSet::x86_avx512, KernelSet::x86_vector}) {
      if (const Kernels* vector = kernels_for(set)) {
        return vector;
      }
    }
    return &PORTABLE;
  }();
  return *chosen;
}

}  // namespace drisk
