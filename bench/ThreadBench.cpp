// Threads sharing one context, key pack and evaluator, each multiplying its own ciphertexts: what the
// history counting and the key lookups cost when the module calls in from many threads at once. Throughput
// in items (slots) per second of wall time; beside it the bare product loop on the same number of threads.
#include "bench/ReferenceLoops.hpp"
#include "morvane/morvane.hpp"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

using namespace Morvane;

// One shared evaluator per preset: FX has 32 full slots, FVa 65536.
struct Shared {
    explicit Shared(ParameterPreset preset) : context(makeContext(preset)), sk(context), pack(context) {
        KeyGenerator(context, sk, pack).genMultiplicationKey();
        eval = std::make_unique<HomEvaluator>(context, pack);
    }

    Context context;
    SecretKey sk;
    KeyPack pack;
    std::unique_ptr<HomEvaluator> eval;
};

Shared& shared(ParameterPreset preset) {
    static Shared fx(ParameterPreset::FX);
    static Shared fva(ParameterPreset::FVa);
    return preset == ParameterPreset::FX ? fx : fva;
}

ParameterPreset presetOf(const benchmark::State& state) {
    return state.range(0) == 32 ? ParameterPreset::FX : ParameterPreset::FVa;
}

Ciphertext operand(const Context& context, double scale) {
    Ciphertext ct(context);
    auto& slots = ct.message().slots();
    for (std::size_t i = 0; i < slots.size(); ++i)
        slots[i] = Complex(scale * static_cast<double>(i % 97), 0.5 - scale);
    ct.setLevel(10);
    return ct;
}

void BM_SharedContextMult(benchmark::State& state) {
    Shared& s = shared(presetOf(state));
    const Ciphertext a = operand(s.context, 0.01);
    const Ciphertext b = operand(s.context, 0.02);
    Ciphertext res(s.context);
    for (auto _ : state) {
        s.eval->mult(a, b, res);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SharedContextMult)->Arg(32)->Arg(65536)->ThreadRange(1, 8)->UseRealTime();

// The bare naive product, vectorised as the library's kernel is (bench/ReferenceLoops.hpp).
void BM_LoopMultThreads(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<Complex> a(n, Complex(0.25, -0.5)), b(n, Complex(1.5, 0.125)), out(n);
    for (auto _ : state) {
        bench::referenceLoops().mult(a.data(), b.data(), out.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_LoopMultThreads)->Arg(32)->Arg(65536)->ThreadRange(1, 8)->UseRealTime();

} // namespace
