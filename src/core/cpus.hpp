// drisk: how many CPUs this process may really use.
#ifndef DRISK_CPUS_HPP
#define DRISK_CPUS_HPP

namespace drisk {

// The CPUs the process may run on (its affinity mask) bounded by its cgroup's
// CPU quota (cpu.max, or cpu.cfs_quota_us / cpu.cfs_period_us), rounded
// down, at least 1. A container limited to one CPU's worth of time on a
// many-core machine gets 1: a second thread would only take turns with the
// first. The affinity is read at each call (taskset can change it); the
// quota once per process.
unsigned usable_cpus() noexcept;

}  // namespace drisk

#endif  // DRISK_CPUS_HPP
