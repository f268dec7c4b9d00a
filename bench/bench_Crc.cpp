// Checksum throughput. Crc_32 covers at most 32767 bytes per call, so the bulk
// variants hash buffers of that size; the frame variants hash 16 to 64 bytes,
// the sizes of the serial protocols' messages. zlib's crc32 runs on the same
// bytes as the yardstick (run-bench.sh pairs Crc_32<x> with zlib_crc32<x>).
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

// Frames start one byte into the buffer: a serial driver's payload rarely
// sits on an aligned address.
void BM_Crc_32_Frame(benchmark::State& state)
{
    const auto& d = Data();
    const auto n = static_cast<int16_t>(state.range(0));
    if (crypto::Crc_32(0, d.data() + 1, n) != crc32(0L, d.data() + 1, n))
        std::abort();
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::Crc_32(0, d.data() + 1, n));
}

void BM_zlib_crc32_Frame(benchmark::State& state)
{
    const auto& d = Data();
    const auto n = static_cast<unsigned>(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0L, d.data() + 1, n));
}

void BM_Crc_16(benchmark::State& state)
{
    const auto& d = Data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::Crc_16(0, d.data(), kLen));
    state.SetBytesProcessed(int64_t(state.iterations()) * kLen);
}

void BM_Crc_CCITT(benchmark::State& state)
{
    const auto& d = Data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::Crc_CCITT(0xFFFF, d.data(), kLen));
    state.SetBytesProcessed(int64_t(state.iterations()) * kLen);
}

void BM_Crc_CCITT_jcm(benchmark::State& state)
{
    const auto& d = Data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::Crc_CCITT_jcm(0, d.data(), kLen));
    state.SetBytesProcessed(int64_t(state.iterations()) * kLen);
}

void BM_Crc_16_MY(benchmark::State& state)
{
    const auto& d = Data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::Crc_16_MY(0, d.data(), kLen));
    state.SetBytesProcessed(int64_t(state.iterations()) * kLen);
}

// The 16-bit checksums on one frame, as a serial driver calls them.
void BM_Crc_CCITT_Frame(benchmark::State& state)
{
    const auto& d = Data();
    const auto n = static_cast<uint16_t>(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::Crc_CCITT(0xFFFF, d.data() + 1, n));
}

void BM_Crc_16_Frame(benchmark::State& state)
{
    const auto& d = Data();
    const auto n = static_cast<uint16_t>(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::Crc_16(0xFFFF, d.data() + 1, n));
}

} // namespace

BENCHMARK(BM_Crc_32);
BENCHMARK(BM_zlib_crc32);
BENCHMARK(BM_Crc_32_Frame)->Arg(16)->Arg(32)->Arg(64);
BENCHMARK(BM_zlib_crc32_Frame)->Arg(16)->Arg(32)->Arg(64);
BENCHMARK(BM_Crc_16);
BENCHMARK(BM_Crc_CCITT);
BENCHMARK(BM_Crc_CCITT_jcm);
BENCHMARK(BM_Crc_16_MY);
BENCHMARK(BM_Crc_CCITT_Frame)->Arg(16)->Arg(32)->Arg(64);
BENCHMARK(BM_Crc_16_Frame)->Arg(16)->Arg(32)->Arg(64);
