// drisk: the choice of vector lanes for integer, date32 and float64 columns.
#include "integer_lanes.hpp"

#include "date_lanes.hpp"
#include "fraction_lanes.hpp"

#include "cpu_features.hpp"

namespace drisk::columns {

IntegerRun integer_run(ValueKind kind) noexcept {
#if DRISK_INTEGER_LANES
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx512) {
    return detail::integer_run_avx512(kind);
  }
  if (cpu.avx2) {
    return detail::integer_run_avx2(kind);
  }
#else
  (void)kind;
#endif
  return nullptr;
}

IntegerRun cents_run() noexcept {
#if DRISK_INTEGER_LANES
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx512) {
    return detail::cents_run_avx512();
  }
  if (cpu.avx2) {
    return detail::cents_run_avx2();
  }
#endif
  return nullptr;
}

IntegerHashes integer_hashes(ValueKind kind) noexcept {
#if DRISK_INTEGER_LANES
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx512) {
    return detail::integer_hashes_avx512(kind);
  }
  if (cpu.avx2) {
    return detail::integer_hashes_avx2(kind);
  }
#else
  (void)kind;
#endif
  return nullptr;
}

IntegerRun date32_run() noexcept {
#if DRISK_INTEGER_LANES
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx512) {
    return detail::date32_run_avx512();
  }
  if (cpu.avx2) {
    return detail::date32_run_avx2();
  }
#endif
  return nullptr;
}

IntegerRun date_days64_run() noexcept {
#if DRISK_INTEGER_LANES
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx512) {
    return detail::date_days64_run_avx512();
  }
  if (cpu.avx2) {
    return detail::date_days64_run_avx2();
  }
#endif
  return nullptr;
}

IntegerRun timestamp_run(TimeUnit unit, bool nat, bool utc) noexcept {
#if DRISK_INTEGER_LANES
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx512) {
    return detail::timestamp_run_avx512(unit, nat, utc);
  }
  if (cpu.avx2) {
    return detail::timestamp_run_avx2(unit, nat, utc);
  }
#else
  (void)unit;
  (void)nat;
  (void)utc;
#endif
  return nullptr;
}

IntegerRun fraction_run() noexcept {
#if DRISK_INTEGER_LANES
  if (cpu_features().avx512) {
    return detail::fraction_run_avx512();
  }
#endif
  return nullptr;
}

FloatSplit float_split() noexcept {
#if DRISK_INTEGER_LANES
  if (cpu_features().avx512) {
    return detail::float_split_avx512();
  }
#endif
  return nullptr;
}

}  // namespace drisk::columns
