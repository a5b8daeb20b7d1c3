// drisk: which vector instruction sets this build and this CPU offer.
//
// Every run-time choice of a vector code path in the core (register kernels,
// line splitting, the packed form's checksum, integer columns) asks here,
// and nowhere else.
//
// Tuning switch (CMake option DRISK_SIMD, default ON): with
// -C cmake.define.DRISK_SIMD=OFF only the portable versions are compiled,
// and the whole suite runs against them.
#ifndef DRISK_CPU_FEATURES_HPP
#define DRISK_CPU_FEATURES_HPP

#include "platform.hpp"  // DRISK_SIMD, DRISK_X86_KERNELS

namespace drisk {

// The vector instruction sets this CPU offers, less those named in the
// environment variable DRISK_DISABLE_CPU_FEATURES ("avx2", "avx512",
// "vbmi2", comma-separated; disabling one disables those after it too),
// which lets the tests run every path on one machine. Asked once per
// process. All are false in a DRISK_SIMD=OFF build.
struct CpuFeatures {
  bool avx2 = false;          // with popcnt
  bool avx512 = false;        // F, DQ, BW and CD (with LZCNT, BMI1 and BMI2, as every such CPU has)
  bool avx512_vbmi2 = false;  // VBMI and VBMI2 besides: byte compress, for the line scan
};
const CpuFeatures& cpu_features() noexcept;

}  // namespace drisk

#endif  // DRISK_CPU_FEATURES_HPP
