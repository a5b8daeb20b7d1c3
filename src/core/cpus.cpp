#include "cpus.hpp"

#include <cstdio>
#include <thread>

#include "platform.hpp"

#if defined(DRISK_LINUX)
#include <sched.h>
#endif

namespace drisk {
namespace {

// Whole CPUs of quota, or 0 for none (or unknown).
unsigned cgroup_quota() noexcept {
#if defined(DRISK_LINUX)
  // cgroup v2: "max 100000" or "<quota> <period>".
  if (std::FILE* f = std::fopen("/sys/fs/cgroup/cpu.max", "r")) {
    char quota[32] = {};
    unsigned long long period = 0;
    const int got = std::fscanf(f, "%31s %llu", quota, &period);
    std::fclose(f);
    unsigned long long q = 0;
    if (got == 2 && period > 0 && std::sscanf(quota, "%llu", &q) == 1) {
      return static_cast<unsigned>(q / period > 0 ? q / period : 1);
    }
    return 0;
  }
  // cgroup v1: quota -1 means none.
  long long quota = -1;
  long long period = 0;
  if (std::FILE* f = std::fopen("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "r")) {
    if (std::fscanf(f, "%lld", &quota) != 1) {
      quota = -1;
    }
    std::fclose(f);
  }
  if (std::FILE* f = std::fopen("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "r")) {
    if (std::fscanf(f, "%lld", &period) != 1) {
      period = 0;
    }
    std::fclose(f);
  }
  if (quota > 0 && period > 0) {
    return static_cast<unsigned>(quota / period > 0 ? quota / period : 1);
  }
#endif
  return 0;
}

unsigned affinity_cpus() noexcept {
#if defined(DRISK_LINUX)
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    return static_cast<unsigned>(CPU_COUNT(&allowed));
  }
#endif
  return std::thread::hardware_concurrency();
}

}  // namespace

unsigned usable_cpus() noexcept {
  static const unsigned quota = cgroup_quota();
  unsigned cpus = affinity_cpus();
  if (quota > 0 && quota < cpus) {
    cpus = quota;
  }
  return cpus > 0 ? cpus : 1;
}

}  // namespace drisk
