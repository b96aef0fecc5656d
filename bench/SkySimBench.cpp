#include <benchmark/benchmark.h>

#include "SkySimulator.h"

// One frame of the demo's sequence (1280 x 720, colour, default sky) with
// some rotation, so star positions fall anywhere within their pixels:
// rendering the noise-free sky, and exposing it to the sensor.

namespace {

SkySimSettings demoFrames()
{
    SkySimSettings s;
    s.width = 1280;
    s.height = 720;
    s.frames = 2;
    s.seed = 42;
    s.motion.rotationPerFrame = 0.3;
    s.motion.shiftMax = 5;
    return s;
}

void renderTruth(benchmark::State& state)
{
    const SkySimulator simulator(demoFrames());
    for (auto _ : state)
        benchmark::DoNotOptimize(simulator.truth(2)->data());
}

void exposeTruth(benchmark::State& state)
{
    const SkySimulator simulator(demoFrames());
    const FloatImagePtr truth = simulator.truth(2);
    for (auto _ : state)
        benchmark::DoNotOptimize(simulator.exposure(2, *truth)->data());
}

}  // namespace

BENCHMARK(renderTruth)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(exposeTruth)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
