// Rotations and bootstraps, beside the bare copies and loops that move the same slots
// (bench/ReferenceLoops.hpp).
#include "bench/ReferenceLoops.hpp"
#include "morvane/morvane.hpp"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

using namespace Morvane;

// FVa: 65536 full slots, the largest; FX: 32.
struct Keyed {
    explicit Keyed(ParameterPreset preset = ParameterPreset::FVa)
        : context(makeContext(preset)), sk(context), pack(context), keygen(context, sk, pack), eval(context, pack) {}

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

// A rotation without a key of its own, composed from the power-of-two keys (one slot pass), beside the two keyed
// rotations it stands for made one after the other, in a pack without key directory: looking for a key of its
// own must cost next to nothing there. Left by 5 is left by 1 then by 4, right by 3 left by 1 then right by 4.
// range(0): the slot count (FX, FVa).
struct Rotation {
    u64 amount;
    bool left;
};

void rotateBy(const HomEvaluator& eval, const Ciphertext& op, Rotation r, Ciphertext& res) {
    if (r.left)
        eval.leftRotate(op, r.amount, res);
    else
        eval.rightRotate(op, r.amount, res);
}

// Rotates the input by each step in turn, the last one into the result.
void rotationsBench(benchmark::State& state, std::initializer_list<Rotation> steps) {
    Keyed k(state.range(0) == 32 ? ParameterPreset::FX : ParameterPreset::FVa);
    k.keygen.genLeftRotationKey(1);
    k.keygen.genLeftRotationKey(4);
    k.keygen.genRightRotationKey(4);
    const Ciphertext op = k.input();
    Ciphertext tmp(k.context, false);
    Ciphertext res(k.context, false);
    for (auto _ : state) {
        const Ciphertext* from = &op;
        std::size_t left = steps.size();
        for (const Rotation& step : steps) {
            Ciphertext& to = --left == 0 ? res : tmp;
            rotateBy(k.eval, *from, step, to);
            from = &to;
        }
        benchmark::DoNotOptimize(res.message().begin());
        benchmark::ClobberMemory();
    }
}

void BM_RotateLeft5Composed(benchmark::State& state) { rotationsBench(state, {{5, true}}); }
BENCHMARK(BM_RotateLeft5Composed)->Arg(32)->Arg(65536);

void BM_RotateLeft1ThenLeft4(benchmark::State& state) { rotationsBench(state, {{1, true}, {4, true}}); }
BENCHMARK(BM_RotateLeft1ThenLeft4)->Arg(32)->Arg(65536);

void BM_RotateRight3Composed(benchmark::State& state) { rotationsBench(state, {{3, false}}); }
BENCHMARK(BM_RotateRight3Composed)->Arg(32)->Arg(65536);

void BM_RotateLeft1ThenRight4(benchmark::State& state) { rotationsBench(state, {{1, true}, {4, false}}); }
BENCHMARK(BM_RotateLeft1ThenRight4)->Arg(32)->Arg(65536);

// Left by range(0), in place.
void BM_RotateInPlace(benchmark::State& state) {
    Keyed k;
    const u64 r = static_cast<u64>(state.range(0));
    k.keygen.genLeftRotationKey(r);
    Ciphertext ct = k.input();
    for (auto _ : state) {
        k.eval.leftRotate(ct, r, ct);
        benchmark::DoNotOptimize(ct.message().begin());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RotateInPlace)->Arg(3)->Arg(16384);

// The bare rotations of 65536 slots by range(0): into another vector, and through a scratch vector back into
// the same one (the reference of a rotation in place).
void BM_LoopRotate(benchmark::State& state) {
    const std::size_t n = 65536, r = static_cast<std::size_t>(state.range(0));
    std::vector<Complex> in(n, Complex(0.5, -0.25)), out(n);
    for (auto _ : state) {
        bench::rotateByCopies(in.data(), n, r, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LoopRotate)->Arg(3)->Arg(16384);

void BM_LoopRotateThroughScratch(benchmark::State& state) {
    const std::size_t n = 65536, r = static_cast<std::size_t>(state.range(0));
    std::vector<Complex> slots(n, Complex(0.5, -0.25)), scratch(n);
    for (auto _ : state) {
        bench::rotateByCopies(slots.data(), n, r, scratch.data());
        std::memcpy(static_cast<void*>(slots.data()), scratch.data(), n * sizeof(Complex));
        benchmark::DoNotOptimize(slots.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LoopRotateThroughScratch)->Arg(3)->Arg(16384);

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

void bootstrapBench(benchmark::State& state, bool simulateErrors, bool isComplex,
                    ParameterPreset preset = ParameterPreset::FVa) {
    Keyed k(preset);
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

// 32 slots: what is left is the bootstrapper's own work.
void BM_BootstrapWithoutError32(benchmark::State& state) { bootstrapBench(state, false, false, ParameterPreset::FX); }
BENCHMARK(BM_BootstrapWithoutError32);

void BM_LoopRealParts(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    std::vector<Complex> in(n, Complex(0.5, -0.25)), out(n);
    for (auto _ : state) {
        bench::referenceLoops().realParts(in.data(), out.data(), n);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LoopRealParts)->Arg(65536)->Arg(32);

} // namespace
