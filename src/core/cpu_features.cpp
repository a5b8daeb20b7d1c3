// drisk: asking the CPU, once per process.
//
// Straight from CPUID and XGETBV rather than the compiler's
// __builtin_cpu_supports, whose list of feature names differs between
// compilers and their versions (Clang 14 knows no "lzcnt"). A vector set
// counts only when the system saves its registers on a context switch
// (XCR0): a CPU may have AVX-512 that the kernel leaves off.
#include "cpu_features.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

#if DRISK_X86_KERNELS
#include <cpuid.h>
#endif

namespace drisk {

namespace {

#if DRISK_X86_KERNELS
struct Cpuid {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

// Leaf `leaf`, sub-leaf `sub`; zeros when the CPU has no such leaf.
Cpuid cpuid(unsigned leaf, unsigned sub) noexcept {
  Cpuid r;
  if (static_cast<unsigned>(__get_cpuid_max(leaf & 0x80000000u, nullptr)) >= leaf) {
    __cpuid_count(leaf, sub, r.eax, r.ebx, r.ecx, r.edx);
  }
  return r;
}

constexpr bool bit(unsigned word, int n) noexcept { return ((word >> n) & 1u) != 0; }

// The register states the system saves (XCR0), or 0 where it does not say.
std::uint64_t saved_states(const Cpuid& leaf1) noexcept {
  if (!bit(leaf1.ecx, 27)) {  // OSXSAVE
    return 0;
  }
  unsigned low = 0, high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (std::uint64_t{high} << 32) | low;
}
#endif

}  // namespace

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = [] {
    CpuFeatures found;
#if DRISK_X86_KERNELS
    const char* disabled = std::getenv("DRISK_DISABLE_CPU_FEATURES");
    const std::string_view off = disabled != nullptr ? disabled : "";
    const Cpuid leaf1 = cpuid(1, 0);
    const Cpuid leaf7 = cpuid(7, 0);
    const Cpuid extended = cpuid(0x80000001u, 0);
    const std::uint64_t states = saved_states(leaf1);
    const bool ymm_saved = (states & 0x6) == 0x6;    // SSE and AVX state
    const bool zmm_saved = (states & 0xE6) == 0xE6;  // and opmask, ZMM0-15, ZMM16-31
    const bool popcnt = bit(leaf1.ecx, 23);
    const bool avx2 = bit(leaf1.ecx, 28) && bit(leaf7.ebx, 5);
    const bool bmi = bit(leaf7.ebx, 3) && bit(leaf7.ebx, 8);  // BMI1 and BMI2
    const bool lzcnt = bit(extended.ecx, 5);
    const bool avx512 = bit(leaf7.ebx, 16) && bit(leaf7.ebx, 17) &&  // F, DQ
                        bit(leaf7.ebx, 30) && bit(leaf7.ebx, 28);    // BW, CD
    const bool vbmi2 = bit(leaf7.ecx, 1) && bit(leaf7.ecx, 6);       // VBMI, VBMI2
    found.avx2 = off.find("avx2") == std::string_view::npos && ymm_saved && avx2 && popcnt;
    found.avx512 = found.avx2 && off.find("avx512") == std::string_view::npos && zmm_saved &&
                   avx512 && lzcnt && bmi;
    found.avx512_vbmi2 = found.avx512 && off.find("vbmi2") == std::string_view::npos && vbmi2;
#endif
    return found;
  }();
  return features;
}

}  // namespace drisk
