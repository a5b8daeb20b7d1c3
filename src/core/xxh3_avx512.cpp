// drisk: XXH3-64 built for AVX-512; packed.cpp calls it only on a CPU that has it.
//
// This file is compiled with -mavx512f and holds nothing but this one function
// and xxHash's static ones: an inline function with external linkage emitted
// here could be picked by the linker for the whole library, and would then
// run on CPUs without AVX-512.
#include <cstddef>
#include <cstdint>

#include "platform.hpp"

// GCC 12 reports the deliberately undefined vectors inside its own AVX-512
// intrinsics (_mm512_undefined_*) as uninitialized once they are inlined.
#if defined(DRISK_GCC)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace drisk::packed::detail {

std::uint64_t xxh3_avx512(const void* data, std::size_t len) noexcept {
  return XXH3_64bits(data, len);
}

}  // namespace drisk::packed::detail
