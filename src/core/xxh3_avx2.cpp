// drisk: XXH3-64 built for AVX2; packed.cpp calls it only on a CPU that has it.
//
// This file is compiled with -mavx2 and holds nothing but this one function
// and xxHash's static ones: an inline function with external linkage emitted
// here could be picked by the linker for the whole library, and would then
// run on CPUs without AVX2.
#include <cstddef>
#include <cstdint>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace drisk::packed::detail {

std::uint64_t xxh3_avx2(const void* data, std::size_t len) noexcept {
  return XXH3_64bits(data, len);
}

}  // namespace drisk::packed::detail
