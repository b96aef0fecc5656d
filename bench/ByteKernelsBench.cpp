#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "stacking/ByteKernels.h"

// Each kernel at every level this processor has, the portable path included,
// on an array that fits the caches and on one the size of a large frame.

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::size_t kSizes[] = {10000, 8000000};

Bytes randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes bytes(n);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(byte(rng));
    return bytes;
}

const char* levelName(SimdLevel level)
{
    switch (level) {
    case SimdLevel::None:
        return "portable";
    case SimdLevel::Sse41:
        return "sse4.1";
    case SimdLevel::Avx:
        return "avx";
    case SimdLevel::Avx2:
        return "avx2";
    }
    return "?";
}

void addBench(benchmark::State& state, SimdLevel level, std::size_t n)
{
    Bytes a = randomBytes(n, 1);
    const Bytes b = randomBytes(n, 2);
    for (auto _ : state) {
        addSaturate(level, a.data(), b.data(), n);
        benchmark::DoNotOptimize(a.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

// 1.0 leaves the data as it is, so every iteration sees the same samples.
void scaleBench(benchmark::State& state, SimdLevel level, std::size_t n)
{
    Bytes a = randomBytes(n, 3);
    for (auto _ : state) {
        scaleBytes(level, a.data(), n, 1.0f);
        benchmark::DoNotOptimize(a.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

void meanBench(benchmark::State& state, SimdLevel level, std::size_t n)
{
    const Bytes a = randomBytes(n, 4);
    for (auto _ : state)
        benchmark::DoNotOptimize(meanBytes(level, a.data(), n));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

void varianceBench(benchmark::State& state, SimdLevel level, std::size_t n)
{
    const Bytes a = randomBytes(n, 5);
    for (auto _ : state)
        benchmark::DoNotOptimize(varianceBytes(level, a.data(), n));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

// One implementation for all levels. It sorts its input, so each iteration
// restores the unsorted copy first; the copy is part of the figure.
void medianBench(benchmark::State& state, std::size_t n)
{
    const Bytes original = randomBytes(n, 6);
    Bytes a(n);
    for (auto _ : state) {
        a = original;
        benchmark::DoNotOptimize(medianBytes(a.data(), n));
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

void registerAll()
{
    using LevelBench = void (*)(benchmark::State&, SimdLevel, std::size_t);
    const std::pair<const char*, LevelBench> kernels[] = {{"addSaturate", addBench},
                                                          {"scaleBytes", scaleBench},
                                                          {"meanBytes", meanBench},
                                                          {"varianceBytes", varianceBench}};
    for (const auto& [name, bench] : kernels)
        for (std::size_t n : kSizes)
            for (int level = 0; level <= int(processorSimdLevel()); ++level) {
                const std::string label =
                    std::string(name) + "/" + levelName(SimdLevel(level)) + "/" + std::to_string(n);
                benchmark::RegisterBenchmark(label.c_str(), bench, SimdLevel(level), n);
            }
    for (std::size_t n : kSizes)
        benchmark::RegisterBenchmark(("medianBytes/any/" + std::to_string(n)).c_str(), medianBench, n);
}

}  // namespace

int main(int argc, char** argv)
{
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
