// drisk: an allocator for the large scratch of a grouped pass.
//
// A GROUP BY keeps a table numbering the keys' codes, the stores' group
// headers and scratch of a few MB a store, all visited at random. Such
// blocks are mapped fresh from the system on every call, and in 4 KiB pages
// every random visit of a large table is a TLB miss. Where the kernel
// offers transparent huge pages on request (Linux in its default "madvise"
// mode), LargeBufferAllocator asks for them on blocks of HUGE_BYTES and
// more. Smaller blocks, and other systems, get plain operator new; the
// contents are the same either way.
//
// Columns of a value a row (the group ids) are not kept here: written and
// read front to back, they gain nothing from huge pages, and faulting in
// fresh huge pages is dear where the system must first find or clear them
// (on a 2-core virtual machine, 45 million rows' group ids took 5 s of
// system time in huge pages against 1 to 2 s in plain ones, the first call
// of a process).
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

}  // namespace drisk

#endif  // DRISK_LARGE_BUFFERS_HPP
