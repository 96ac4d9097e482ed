#include "morvane/morvane.hpp"

#include <benchmark/benchmark.h>

namespace {

using namespace Morvane;

// FVa: 65536 full slots, the largest.
struct Keyed {
    Keyed() : context(makeContext(ParameterPreset::FVa)), sk(context), pack(context), keygen(context, sk, pack),
              eval(context, pack) {}

    Ciphertext input() const {
        Ciphertext ct(context, false);
        auto& slots = ct.message().slots();
        for (u64 i = 0; i < slots.size(); ++i)
            slots[i] = Complex(0.001 * static_cast<double>(i % 1000), -0.25);
        ct.setLevel(5);
        return ct;
    }

    Context context;
    SecretKey sk;
    KeyPack pack;
    KeyGenerator keygen;
    HomEvaluator eval;
};

void BM_RotateWithKey(benchmark::State& state) {
    Keyed k;
    k.keygen.genLeftRotationKey(3);
    const Ciphertext op = k.input();
    Ciphertext res(k.context, false);
    for (auto _ : state) {
        k.eval.leftRotate(op, 3, res);
        benchmark::DoNotOptimize(res.message().begin());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RotateWithKey);

// 11 has no key of its own: three power-of-two steps (1, 4, 16), each looked up and counted, one slot pass.
void BM_RotateByStepping(benchmark::State& state) {
    Keyed k;
    k.keygen.genRotationKeyBundle();
    const Ciphertext op = k.input();
    Ciphertext res(k.context, false);
    for (auto _ : state) {
        k.eval.leftRotate(op, 11, res);
        benchmark::DoNotOptimize(res.message().begin());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RotateByStepping);

void BM_RotateInPlace(benchmark::State& state) {
    Keyed k;
    k.keygen.genLeftRotationKey(3);
    Ciphertext ct = k.input();
    for (auto _ : state) {
        k.eval.leftRotate(ct, 3, ct);
        benchmark::DoNotOptimize(ct.message().begin());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RotateInPlace);

// Message rotate-and-sum of 16 terms over 65536 slots.
void BM_MessageRotateReduce(benchmark::State& state) {
    Keyed k;
    const Message op = k.input().message();
    Message out;
    for (auto _ : state) {
        k.eval.leftRotateReduce(op, 1, 16, out);
        benchmark::DoNotOptimize(out.begin());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MessageRotateReduce);

void bootstrapBench(benchmark::State& state, bool simulateErrors, bool isComplex) {
    Keyed k;
    k.keygen.genMultiplicationKey();
    k.keygen.genConjugationKey();
    k.keygen.genRotKeysForBootstrap(getLogFullSlots(k.context));
    simulateError(k.context, simulateErrors);
    const Bootstrapper bootstrapper(k.eval);
    const Ciphertext op = k.input();
    Ciphertext res(k.context, false);
    bootstrapper.bootstrap(op, res, isComplex); // the one-off parse of the error samples
    for (auto _ : state) {
        bootstrapper.bootstrap(op, res, isComplex);
        benchmark::DoNotOptimize(res.message().begin());
        benchmark::ClobberMemory();
    }
}

void BM_BootstrapWithError(benchmark::State& state) { bootstrapBench(state, true, false); }
BENCHMARK(BM_BootstrapWithError);

void BM_BootstrapComplexWithError(benchmark::State& state) { bootstrapBench(state, true, true); }
BENCHMARK(BM_BootstrapComplexWithError);

void BM_BootstrapWithoutError(benchmark::State& state) { bootstrapBench(state, false, false); }
BENCHMARK(BM_BootstrapWithoutError);

} // namespace
