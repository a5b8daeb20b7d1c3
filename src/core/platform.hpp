// drisk: the one place that names compilers, systems and processors.
//
// The rest of the code is standard C++20. Where it needs more (a 128-bit
// product, a byte swap, a prefetch, memory aligned to a page, the C++
// runtime's forced unwind), it asks this file, which names each branch once:
//
//   compiler   DRISK_GCC, DRISK_CLANG (Apple's included), DRISK_MSVC;
//              DRISK_GNU_LIKE for what GCC and Clang share (__int128,
//              __builtin_*, target attributes, GCC's vector intrinsics
//              spelling). Anything else gets the standard C++ branch.
//   system     DRISK_LINUX, DRISK_APPLE, DRISK_WINDOWS, and DRISK_POSIX for
//              pread() and friends (Linux, macOS, the BSDs).
//   processor  DRISK_X86_64, DRISK_ARM64.
//   C++ runtime DRISK_FORCED_UNWIND: libstdc++, whose pthread_exit() unwinds
//              a thread's stack with abi::__forced_unwind.
//
// DRISK_X86_KERNELS says whether the hand-written x86 vector kernels are
// built: x86-64, GCC or Clang (they use target attributes and GCC's
// spelling of the intrinsics), and DRISK_SIMD on. Every other build takes
// the portable kernels.
//
// Tuning switch (a compile definition, -C cmake.define.DRISK_PLAIN_CXX=ON):
//   DRISK_PLAIN_CXX  (0) build every helper below from standard C++ alone, as
//                    for a compiler this file does not know: no __int128, no
//                    builtins, no MSVC intrinsics. The results are the same;
//                    CI builds the portable kernels this way, so the branches
//                    that other compilers take run the whole test suite.
//
// Tested here (Debian, x86-64): GCC and Clang with libstdc++, the standard
// C++ branches through DRISK_PLAIN_CXX, and Linux's system branches. Not
// run here: MSVC's intrinsics and Windows' file reads (Windows wheels), Apple
// clang with libc++ (macOS wheels), Arm (aarch64 wheels).
#ifndef DRISK_PLATFORM_HPP
#define DRISK_PLATFORM_HPP

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

// --- Compiler ---------------------------------------------------------------
#if defined(_MSC_VER) && !defined(__clang__)
#define DRISK_MSVC 1
#elif defined(__clang__)
#define DRISK_CLANG 1
#define DRISK_GNU_LIKE 1
#elif defined(__GNUC__)
#define DRISK_GCC 1
#define DRISK_GNU_LIKE 1
#endif

#ifndef DRISK_PLAIN_CXX
#define DRISK_PLAIN_CXX 0
#endif

// The helpers below use a compiler's extensions unless told not to.
#if defined(DRISK_GNU_LIKE) && !DRISK_PLAIN_CXX
#define DRISK_BUILTINS_GNU 1
#elif defined(DRISK_MSVC) && !DRISK_PLAIN_CXX
#define DRISK_BUILTINS_MSVC 1
#endif

// --- System -----------------------------------------------------------------
#if defined(_WIN32)
#define DRISK_WINDOWS 1
#else
#define DRISK_POSIX 1
#if defined(__linux__)
#define DRISK_LINUX 1
#elif defined(__APPLE__)
#define DRISK_APPLE 1
#endif
#endif

// --- Processor --------------------------------------------------------------
#if defined(__x86_64__) || defined(_M_X64)
#define DRISK_X86_64 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#define DRISK_ARM64 1
#endif

#ifndef DRISK_SIMD
#define DRISK_SIMD 1
#endif
#if DRISK_SIMD && defined(DRISK_X86_64) && defined(DRISK_GNU_LIKE)
#define DRISK_X86_KERNELS 1
#else
#define DRISK_X86_KERNELS 0
#endif

#if defined(DRISK_BUILTINS_MSVC)
#include <intrin.h>
#endif
#if defined(DRISK_WINDOWS)
#include <malloc.h>  // _aligned_malloc
#endif

// --- C++ runtime ------------------------------------------------------------
// <cstddef> above defined the library's macros.
#if defined(__GLIBCXX__)
#define DRISK_FORCED_UNWIND 1
#endif

namespace drisk {

// --- 128-bit arithmetic -----------------------------------------------------

// A 128-bit unsigned number as two words.
struct Wide128 {
  std::uint64_t high;
  std::uint64_t low;
};

// a x b, exactly.
inline Wide128 multiply_wide(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(DRISK_BUILTINS_GNU)
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
#elif defined(DRISK_BUILTINS_MSVC) && defined(DRISK_X86_64)
  std::uint64_t high;
  const std::uint64_t low = _umul128(a, b, &high);
  return {high, low};
#elif defined(DRISK_BUILTINS_MSVC) && defined(DRISK_ARM64)
  return {__umulh(a, b), a * b};
#else
  // Four 32 x 32-bit products; the middle sum cannot overflow.
  const std::uint64_t a_low = a & 0xFFFFFFFFu;
  const std::uint64_t a_high = a >> 32;
  const std::uint64_t b_low = b & 0xFFFFFFFFu;
  const std::uint64_t b_high = b >> 32;
  const std::uint64_t low_low = a_low * b_low;
  const std::uint64_t high_low = a_high * b_low;
  const std::uint64_t low_high = a_low * b_high;
  const std::uint64_t high_high = a_high * b_high;
  const std::uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFFu) + low_high;
  return {high_high + (high_low >> 32) + (middle >> 32), (middle << 32) | (low_low & 0xFFFFFFFFu)};
#endif
}

// a + b and a - b, wrapping at 2^128.
constexpr Wide128 wide_add(Wide128 a, Wide128 b) noexcept {
  const std::uint64_t low = a.low + b.low;
  return {a.high + b.high + (low < a.low ? 1u : 0u), low};
}

constexpr Wide128 wide_subtract(Wide128 a, Wide128 b) noexcept {
  return {a.high - b.high - (a.low < b.low ? 1u : 0u), a.low - b.low};
}

constexpr bool wide_less(Wide128 a, Wide128 b) noexcept {
  return a.high < b.high || (a.high == b.high && a.low < b.low);
}

// x >> shift for shift in [0, 127].
constexpr Wide128 wide_shift_right(Wide128 x, unsigned shift) noexcept {
  if (shift >= 64) {
    return {0, x.high >> (shift - 64)};
  }
  if (shift == 0) {
    return x;
  }
  return {x.high >> shift, (x.low >> shift) | (x.high << (64 - shift))};
}

// (high x 2^64 + low) / divisor and its remainder, for high < divisor (so
// the quotient fits in 64 bits).
struct Division {
  std::uint64_t quotient;
  std::uint64_t remainder;
};

inline Division divide_wide(std::uint64_t high, std::uint64_t low, std::uint64_t divisor) noexcept {
#if defined(DRISK_BUILTINS_GNU)
  const unsigned __int128 dividend = (static_cast<unsigned __int128>(high) << 64) | low;
  return {static_cast<std::uint64_t>(dividend / divisor),
          static_cast<std::uint64_t>(dividend % divisor)};
#elif defined(DRISK_BUILTINS_MSVC) && defined(DRISK_X86_64) && _MSC_VER >= 1920
  std::uint64_t remainder;
  const std::uint64_t quotient = _udiv128(high, low, divisor, &remainder);
  return {quotient, remainder};
#else
  // Restoring division, one bit a step: the remainder stays below the
  // divisor, and its top bit, shifted out, says it passed 2^64.
  std::uint64_t remainder = high;
  std::uint64_t quotient = 0;
  for (int bit = 63; bit >= 0; --bit) {
    const bool carry = (remainder >> 63) != 0;
    remainder = (remainder << 1) | ((low >> bit) & 1u);
    if (carry || remainder >= divisor) {
      remainder -= divisor;
      quotient |= std::uint64_t{1} << bit;
    }
  }
  return {quotient, remainder};
#endif
}

// --- Byte order ---------------------------------------------------------------

inline std::uint16_t byteswap16(std::uint16_t x) noexcept {
#if defined(DRISK_BUILTINS_GNU)
  return __builtin_bswap16(x);
#elif defined(DRISK_BUILTINS_MSVC)
  return _byteswap_ushort(x);
#else
  return static_cast<std::uint16_t>((x << 8) | (x >> 8));
#endif
}

inline std::uint32_t byteswap32(std::uint32_t x) noexcept {
#if defined(DRISK_BUILTINS_GNU)
  return __builtin_bswap32(x);
#elif defined(DRISK_BUILTINS_MSVC)
  return _byteswap_ulong(x);
#else
  return ((x & 0xFFu) << 24) | ((x & 0xFF00u) << 8) | ((x >> 8) & 0xFF00u) | (x >> 24);
#endif
}

inline std::uint64_t byteswap64(std::uint64_t x) noexcept {
#if defined(DRISK_BUILTINS_GNU)
  return __builtin_bswap64(x);
#elif defined(DRISK_BUILTINS_MSVC)
  return _byteswap_uint64(x);
#else
  return (std::uint64_t{byteswap32(static_cast<std::uint32_t>(x))} << 32) |
         byteswap32(static_cast<std::uint32_t>(x >> 32));
#endif
}

// --- Prefetch -----------------------------------------------------------------

// A hint that `address` will be read soon; never faults, whatever it points at.
inline void prefetch(const void* address) noexcept {
#if defined(DRISK_BUILTINS_GNU)
  __builtin_prefetch(address);
#elif defined(DRISK_BUILTINS_MSVC) && defined(DRISK_X86_64)
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
  (void)address;
#endif
}

// --- Searching bytes ------------------------------------------------------------

// The last byte equal to `byte` among the `n` at `data`, or null: memrchr(),
// a GNU extension that Linux's C libraries have (and macOS and Windows do
// not), or a loop from the end.
inline const void* find_last_byte(const void* data, unsigned char byte, std::size_t n) noexcept {
#if defined(DRISK_LINUX) && !DRISK_PLAIN_CXX
  return memrchr(data, byte, n);
#else
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (n > 0) {
    if (bytes[--n] == byte) {
      return bytes + n;
    }
  }
  return nullptr;
#endif
}

// --- Aligned memory -------------------------------------------------------------

// `bytes` (a multiple of `alignment`, a power of two) aligned to `alignment`,
// or null; give it back with aligned_release().
inline void* aligned_allocate(std::size_t alignment, std::size_t bytes) noexcept {
#if defined(DRISK_WINDOWS)
  return _aligned_malloc(bytes, alignment);
#else
  // posix_memalign rather than std::aligned_alloc, which macOS has only
  // from 10.15 on.
  void* block = nullptr;
  const std::size_t at_least = alignment < sizeof(void*) ? sizeof(void*) : alignment;
  return posix_memalign(&block, at_least, bytes) == 0 ? block : nullptr;
#endif
}

inline void aligned_release(void* block) noexcept {
#if defined(DRISK_WINDOWS)
  _aligned_free(block);
#else
  std::free(block);
#endif
}

// --- Files ------------------------------------------------------------------------

// Up to `len` bytes of file descriptor `fd` from `offset` on, without moving
// a position others rely on: the count read, 0 at the end of the file, or -1
// with errno set (pread() on POSIX systems, ReadFile at an offset on
// Windows). In platform.cpp.
std::int64_t read_at(int fd, void* buffer, std::size_t len, std::uint64_t offset) noexcept;

}  // namespace drisk

#endif  // DRISK_PLATFORM_HPP
