// drisk: one job shared between the calling thread and one helper thread.
//
// A job of `total` units (rows, bytes) is cut into chunks, which both
// threads claim from one shared counter until none is left, so that neither
// waits for the other when the machine gives them unequal time. Each thread
// works on its own state (a sketch core of its own, its own counts); the
// caller merges the helper's state into its own afterwards, which for
// sketches gives the same registers as one thread would have.
//
// The helper is started and joined inside share_work(), which runs no Python
// and cannot throw: callers run it with the interpreter lock released, and
// nothing between start and join can unwind the calling thread (a forced
// unwind there would destroy a joinable std::thread, which terminates the
// process). If no thread can be started, the calling thread does it all.
//
// Whether a job is worth a helper (the process may use two CPUs, see
// usable_cpus(); the job is large enough to pay for starting a thread, about
// a few tens of microseconds) is the caller's decision: it passes no helper
// state when it is not.
#ifndef DRISK_SPLITTER_HPP
#define DRISK_SPLITTER_HPP

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <type_traits>

namespace drisk {

struct SplitOutcome {
  bool helped;   // the helper's state took part and must be merged
  bool stopped;  // a chunk asked to stop: the work is incomplete
};

// Runs body(state, begin, end) over [0, total) in chunks of `chunk` units,
// on the calling thread with `own` and, when `helper` is not null, on one
// helper thread with *helper at the same time. body returns false to stop
// both threads (a malformed row, say); chunks already claimed finish.
template <class State, class Body>
SplitOutcome share_work(std::size_t total, std::size_t chunk, State& own, State* helper,
                        Body&& body) noexcept {
  static_assert(std::is_nothrow_invocable_r_v<bool, Body&, State&, std::size_t, std::size_t>,
                "shared work cannot throw");
  if (helper == nullptr || total <= chunk) {
    return {false, !body(own, std::size_t{0}, total)};
  }
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  const auto work = [&](State& state) noexcept {
    while (!stop.load(std::memory_order_relaxed)) {
      const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= total) {
        break;
      }
      if (!body(state, begin, std::min(begin + chunk, total))) {
        stop.store(true, std::memory_order_relaxed);
      }
    }
  };
  std::thread thread;
  try {
    thread = std::thread([&]() noexcept { work(*helper); });
  } catch (const std::exception&) {  // no thread to be had: this one does it all
    work(own);
    return {false, stop.load(std::memory_order_relaxed)};
  }
  work(own);
  thread.join();
  return {true, stop.load(std::memory_order_relaxed)};
}

}  // namespace drisk

#endif  // DRISK_SPLITTER_HPP
