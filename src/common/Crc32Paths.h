// The two ways Crc_32 computes (internal to the library; the tests check each
// against a bit-at-a-time reference). Both take and return the running,
// not yet inverted register, so they compose: a path may hand its tail to the
// other. Neither keeps state; both are safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto::crc32_paths {

// Slicing-by-16 over compile-time tables; any length, any alignment.
uint32_t Sliced(uint32_t crc, const unsigned char* p, size_t n);

// Carry-less multiply folding (x86 PCLMULQDQ with SSE4.1); any length, short
// ones and the tail go to Sliced. Call only when FoldedAvailable().
uint32_t Folded(uint32_t crc, const unsigned char* p, size_t n);
// True when this processor has the instructions and the library was built for
// a target that has the folding code at all.
bool FoldedAvailable();

} // namespace crypto::crc32_paths
