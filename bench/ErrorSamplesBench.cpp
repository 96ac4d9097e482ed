#include "morvane/core/Context.hpp"
#include "morvane/core/tables/ErrorSampleBlobs.hpp"
#include "morvane/core/tables/ErrorSamples.hpp"
#include "morvane/core/tables/ZeroResponse.hpp"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

using namespace Morvane;

namespace {

const ZeroResponse& largestBlob() { return zeroResponseTable.at("FVa").at("bootstrap_complex"); }

// The bootstrapper's path: copy the parsed samples of 65536 slots and shuffle them with a freshly seeded engine.
void BM_ErrorSamplesForBootstrap(benchmark::State& state) {
    const Context context = makeContext(ParameterPreset::FVa);
    const ZeroResponse& entry = largestBlob();
    benchmark::DoNotOptimize(errorSamplesForBootstrap(context, entry)); // first use: generate and parse
    for (auto _ : state) {
        Message samples = errorSamplesForBootstrap(context, entry);
        benchmark::DoNotOptimize(samples.begin());
    }
}
BENCHMARK(BM_ErrorSamplesForBootstrap)->Unit(benchmark::kMicrosecond);

// The general path: the 1 MB block read through the archive on every call.
void BM_BinaryToMessage(benchmark::State& state) {
    const Context context = makeContext(ParameterPreset::FVa);
    const ZeroResponse& entry = largestBlob();
    materialiseSamples(entry);
    for (auto _ : state) {
        Message samples = binaryToMessage(context, entry.sampleData, entry.sampleBytes);
        benchmark::DoNotOptimize(samples.begin());
    }
}
BENCHMARK(BM_BinaryToMessage)->Unit(benchmark::kMicrosecond);

// One-off cost of generating the largest blob, paid at its first use.
void BM_GenerateLargestBlob(benchmark::State& state) {
    const std::size_t index = detail::sampleBlobIndex(largestBlob().sampleData);
    std::vector<char> out(largestBlob().sampleBytes);
    for (auto _ : state) {
        detail::generateSampleBlob(index, out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_GenerateLargestBlob)->Unit(benchmark::kMillisecond);

// What every call spends on opening the random device and drawing its seed.
void BM_RandomDeviceSeed(benchmark::State& state) {
    for (auto _ : state) {
        std::random_device device("default");
        benchmark::DoNotOptimize(device());
    }
}
BENCHMARK(BM_RandomDeviceSeed)->Unit(benchmark::kMicrosecond);

} // namespace
