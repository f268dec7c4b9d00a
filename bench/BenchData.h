// Input shared by the throughput benchmarks: a fixed, non-repeating byte
// pattern, so every run and every peer hashes the same data.
#pragma once

#include <cstddef>
#include <vector>

inline std::vector<unsigned char> PatternBytes(size_t n)
{
    std::vector<unsigned char> d(n);
    for (size_t i = 0; i < d.size(); ++i)
        d[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    return d;
}
