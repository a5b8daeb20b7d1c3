// drisk: asking the CPU, once per process.
#include "cpu_features.hpp"

#include <cstdlib>
#include <string_view>

namespace drisk {

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = [] {
    CpuFeatures found;
#if DRISK_X86_KERNELS
    const char* disabled = std::getenv("DRISK_DISABLE_CPU_FEATURES");
    const std::string_view off = disabled != nullptr ? disabled : "";
    found.avx2 = off.find("avx2") == std::string_view::npos && __builtin_cpu_supports("avx2") &&
                 __builtin_cpu_supports("popcnt");
    found.avx512 = found.avx2 && off.find("avx512") == std::string_view::npos &&
                   __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512cd") &&
                   __builtin_cpu_supports("lzcnt") && __builtin_cpu_supports("bmi") &&
                   __builtin_cpu_supports("bmi2");
    found.avx512_vbmi2 = found.avx512 && off.find("vbmi2") == std::string_view::npos &&
                         __builtin_cpu_supports("avx512vbmi") &&
                         __builtin_cpu_supports("avx512vbmi2");
#endif
    return found;
  }();
  return features;
}

}  // namespace drisk
