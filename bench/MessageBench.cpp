#include "morvane/core/Message.hpp"

#include <benchmark/benchmark.h>

namespace {

using namespace Morvane;

constexpr unsigned long kLogSlots = 16; // 65536 slots, the largest full slot count

Message filled(unsigned long logSlots) {
    Message m(logSlots);
    for (u64 i = 0; i < m.getSize(); ++i)
        m[i] = Complex(0.001 * static_cast<double>(i), -0.5);
    return m;
}

void BM_MessageCopy(benchmark::State& state) {
    const Message source = filled(kLogSlots);
    for (auto _ : state) {
        Message copy(source);
        benchmark::DoNotOptimize(copy.begin());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(source.getSize()) * 16);
}
BENCHMARK(BM_MessageCopy);

void BM_MessageCopyAssign(benchmark::State& state) {
    const Message source = filled(kLogSlots);
    Message target(kLogSlots);
    for (auto _ : state) {
        target = source;
        benchmark::DoNotOptimize(target.begin());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(source.getSize()) * 16);
}
BENCHMARK(BM_MessageCopyAssign);

// Spreads 2^range(0) slots over 65536.
void BM_ReplicateMessage(benchmark::State& state) {
    const Message source = filled(static_cast<unsigned long>(state.range(0)));
    for (auto _ : state) {
        Message result = replicateMessage(source, kLogSlots);
        benchmark::DoNotOptimize(result.begin());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) << kLogSlots);
}
BENCHMARK(BM_ReplicateMessage)->Arg(0)->Arg(10)->Arg(16);

// Reads 2^range(0) slots back from 65536.
void BM_AverageReplicas(benchmark::State& state) {
    const Message source = filled(kLogSlots);
    for (auto _ : state) {
        Message result = averageReplicas(source, static_cast<u64>(state.range(0)));
        benchmark::DoNotOptimize(result.begin());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) << kLogSlots);
}
BENCHMARK(BM_AverageReplicas)->Arg(0)->Arg(10)->Arg(16);

} // namespace
