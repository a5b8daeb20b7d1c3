// drisk: the register kernels and their CPU dispatch.
//
// Each kernel has a portable version, always compiled and always correct,
// and where the build allows it a vector version for CPUs that have the
// instructions. kernels() picks, once per process, the best set the CPU
// runs; kernels_for() hands out a particular set so that the tests can hold
// the versions against each other on every machine.
//
// Tuning switch (CMake option DRISK_SIMD, default ON): with
// -C cmake.define.DRISK_SIMD=OFF only the portable versions are compiled,
// and the whole suite runs against them (cpu_features.hpp).
#ifndef DRISK_KERNELS_HPP
#define DRISK_KERNELS_HPP

#include <cstddef>
#include <cstdint>
#include <span>

#include "cpu_features.hpp"

namespace drisk {

// S = sum 2^(top - regs[i]) and the number of zero registers, in one pass.
struct ScaledSum {
  std::uint64_t sum;
  std::uint64_t zeros;
};

struct Kernels {
  const char* name;
  // The largest register.
  std::uint8_t (*max_register)(const std::uint8_t* regs, std::size_t n) noexcept;
  // Precondition: every register <= top and n * 2^top <= 2^53.
  ScaledSum (*scaled_power_sum)(const std::uint8_t* regs, std::size_t n,
                                std::uint64_t top) noexcept;
  // into[i] = max(into[i], from[i]); the two must not overlap.
  void (*elementwise_max)(std::uint8_t* into, const std::uint8_t* from, std::size_t n) noexcept;
  // Absorbs every line of data (see HyperLogLogCore::add_lines).
  std::size_t (*add_lines)(std::uint8_t* regs, unsigned p, std::span<const std::uint8_t> data,
                           bool final) noexcept;
  // counts[min(regs[i], top)] += 1 for every register; counts has top + 1
  // entries.
  void (*histogram)(const std::uint8_t* regs, std::size_t n, std::uint8_t top,
                    std::uint64_t* counts) noexcept;
};

// x86_avx512: the x86 vector set with its AVX-512 line kernel.
enum class KernelSet { portable, x86_vector, x86_avx512 };

// The best set this CPU runs. Chosen on first use; never changes after.
const Kernels& kernels() noexcept;

// A particular set, or null when it is not compiled in or the CPU lacks it.
const Kernels* kernels_for(KernelSet set) noexcept;

}  // namespace drisk

#endif  // DRISK_KERNELS_HPP
