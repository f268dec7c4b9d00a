// Digest throughput on 64 KiB buffers: MD5 into bytes and as hex, SHA-256 as
// hex (the forms hosts use for file checks and signed requests).
#include "Crypto.h"

#include "BenchData.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr size_t kLen = 64 * 1024;

const std::vector<unsigned char>& Data()
{
    static const std::vector<unsigned char> data = PatternBytes(kLen);
    return data;
}

void BM_MD5(benchmark::State& state)
{
    const auto& d = Data();
    unsigned char digest[16];
    for (auto _ : state) {
        benchmark::DoNotOptimize(crypto::Calculate_MD5(d.data(), kLen, digest));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kLen));
}

void BM_HashMD5(benchmark::State& state)
{
    const auto& d = Data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::HashMD5(d.data(), kLen));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kLen));
}

void BM_HashSHA256(benchmark::State& state)
{
    const auto& d = Data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::HashSHA256(d.data(), kLen));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kLen));
}

} // namespace

BENCHMARK(BM_MD5);
BENCHMARK(BM_HashMD5);
BENCHMARK(BM_HashSHA256);
