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

constexpr Kernels PORTABLE{"portable", max_register_portable, scaled_power_sum_portable,
                           elementwise_max_portable, add_lines_portable};

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
__attribute__((target("avx2,popcnt"))) ScaledSum
scaled_power_sum_avx2(const std::uint8_t* regs, std::size_t n, std::uint64_t top) noexcept {
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

constexpr Kernels X86_VECTOR{"x86_vector", max_register_avx2, scaled_power_sum_avx2,
                             elementwise_max_avx2, add_lines_sse2};

bool cpu_has_x86_vector() noexcept {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}
#endif

}  // namespace

const Kernels* kernels_for(KernelSet set) noexcept {
  switch (set) {
    case KernelSet::portable:
      return &PORTABLE;
    case KernelSet::x86_vector:
#if DRISK_X86_KERNELS
      return cpu_has_x86_vector() ? &X86_VECTOR : nullptr;
#else
      return nullptr;
#endif
  }
  return nullptr;
}

const Kernels& kernels() noexcept {
  static const Kernels* const chosen = [] {
    const Kernels* vector = kernels_for(KernelSet::x86_vector);
    return vector != nullptr ? vector : &PORTABLE;
  }();
  return *chosen;
}

}  // namespace drisk
