// drisk: an allocator for the large scratch of a grouped pass.
//
// A GROUP BY of ten million rows keeps a group id a row (40 MB), a table
// numbering the keys' codes, and scratch of a few MB a store. Such blocks
// are mapped fresh from the system on every call, and in 4 KiB pages every
// first touch is a page fault (ten thousand for the ids alone), and every
// random visit of a large table a TLB miss. Where the kernel offers
// transparent huge pages on request (Linux in its default "madvise" mode),
// LargeBufferAllocator asks for them on blocks of HUGE_BYTES and more: a
// block then faults in 2 MiB at a time. Smaller blocks, and other systems,
// get plain operator new; the contents are the same either way.
#ifndef DRISK_LARGE_BUFFERS_HPP
#define DRISK_LARGE_BUFFERS_HPP

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "platform.hpp"

#if defined(DRISK_LINUX)
#include <sys/mman.h>
#endif

namespace drisk {

// Blocks from this size are aligned to a huge page and advised as such.
inline constexpr std::size_t HUGE_BYTES = std::size_t{2} << 20;

template <class T>
struct LargeBufferAllocator {
  using value_type = T;

  LargeBufferAllocator() noexcept = default;
  template <class U>
  LargeBufferAllocator(const LargeBufferAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > (static_cast<std::size_t>(-1) - HUGE_BYTES) / sizeof(T)) {
      throw std::bad_alloc();
    }
    const std::size_t bytes = n * sizeof(T);
#if defined(DRISK_LINUX) && defined(MADV_HUGEPAGE)
    if (bytes >= HUGE_BYTES) {
      const std::size_t rounded = (bytes + HUGE_BYTES - 1) / HUGE_BYTES * HUGE_BYTES;
      void* block = aligned_allocate(HUGE_BYTES, rounded);
      if (block == nullptr) {
        throw std::bad_alloc();
      }
      // Advice only: a kernel without huge pages leaves the block as it is.
      (void)madvise(block, rounded, MADV_HUGEPAGE);
      return static_cast<T*>(block);
    }
#endif
    return static_cast<T*>(::operator new(bytes));
  }

  void deallocate(T* block, std::size_t n) noexcept {
    (void)n;  // the size picks the way back only where huge pages are asked for
#if defined(DRISK_LINUX) && defined(MADV_HUGEPAGE)
    if (n * sizeof(T) >= HUGE_BYTES) {
      aligned_release(block);
      return;
    }
#endif
    ::operator delete(block);
  }

  template <class U>
  bool operator==(const LargeBufferAllocator<U>&) const noexcept {
    return true;
  }
};

// A vector whose large blocks come in huge pages.
template <class T>
using LargeVector = std::vector<T, LargeBufferAllocator<T>>;

// The same advice for a block allocated elsewhere (a Python bytes object
// about to be filled): the whole huge pages inside it. Advice only.
inline void advise_huge_pages(void* block, std::size_t size) noexcept {
#if defined(DRISK_LINUX) && defined(MADV_HUGEPAGE)
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (start + HUGE_BYTES - 1) / HUGE_BYTES * HUGE_BYTES;
  const std::uintptr_t last = (start + size) / HUGE_BYTES * HUGE_BYTES;
  if (last > first) {
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#else
  (void)block;
  (void)size;
#endif
}

}  // namespace drisk

#endif  // DRISK_LARGE_BUFFERS_HPP
