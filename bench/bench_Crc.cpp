// Checksum throughput. Crc_32 covers at most 32767 bytes per call, so every
// variant hashes buffers of that size; zlib's crc32 runs on the same bytes
// as the yardstick.
#include "Crypto.h"

#include "BenchData.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr int kLen = 32767;

const std::vector<unsigned char>& Data()
{
    static const std::vector<unsigned char> data = PatternBytes(kLen);
    return data;
}

void BM_Crc_32(benchmark::State& state)
{
    const auto& d = Data();
    if (crypto::Crc_32(0, d.data(), kLen) != crc32(0L, d.data(), kLen))
        std::abort(); // the comparison means nothing if the results differ
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::Crc_32(0, d.data(), kLen));
    state.SetBytesProcessed(int64_t(state.iterations()) * kLen);
}

void BM_zlib_crc32(benchmark::State& state)
{
    const auto& d = Data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0L, d.data(), kLen));
    state.SetBytesProcessed(int64_t(state.iterations()) * kLen);
}

void BM_Crc_16(benchmark::State& state)
{
    const auto& d = Data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::Crc_16(0, d.data(), kLen));
    state.SetBytesProcessed(int64_t(state.iterations()) * kLen);
}

void BM_Crc_CCITT_jcm(benchmark::State& state)
{
    const auto& d = Data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::Crc_CCITT_jcm(0, d.data(), kLen));
    state.SetBytesProcessed(int64_t(state.iterations()) * kLen);
}

} // namespace

BENCHMARK(BM_Crc_32);
BENCHMARK(BM_zlib_crc32);
BENCHMARK(BM_Crc_16);
BENCHMARK(BM_Crc_CCITT_jcm);
