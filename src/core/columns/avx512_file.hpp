// drisk: the first include of a file compiled for AVX-512 alone.
//
// The intrinsics, and quiet for a false warning: GCC 12's AVX-512
// intrinsics start from a deliberately undefined vector, which its flow
// analysis reports as maybe uninitialized once inlined. The pragmas hold for
// the rest of the including file, all of which is vector code.
#ifndef DRISK_COLUMNS_AVX512_FILE_HPP
#define DRISK_COLUMNS_AVX512_FILE_HPP

#include <immintrin.h>

#include "platform.hpp"

#if defined(DRISK_GCC)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#endif  // DRISK_COLUMNS_AVX512_FILE_HPP
