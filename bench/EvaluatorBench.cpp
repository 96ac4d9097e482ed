// Ciphertext arithmetic on 65536 slots (FVa) and 32 slots (FX), each beside the bare reference loop doing the
// same slot arithmetic on bare vectors (bench/ReferenceLoops.hpp, vectorised as the library's kernels are):
// the difference is what the evaluator's checks, bookkeeping and counting cost.
#include "bench/ReferenceLoops.hpp"
#include "morvane/morvane.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <vector>

namespace {

using namespace Morvane;

Complex firstValue(u64 i) { return Complex(0.001 * static_cast<double>(i % 4096), -0.5); }
Complex secondValue(u64 i) { return Complex(1.0 - 1e-6 * static_cast<double>(i), 0.25); }
// Of modulus one, so that products repeated in place stay finite however long a benchmark runs.
Complex unitValue(u64 i) { return std::polar(1.0, 0.001 * static_cast<double>(i)); }
const Complex kConstant(0.75, -1.25);
const Complex kUnitConstant(0.6, 0.8);

ParameterPreset presetOf(std::size_t slots) { return slots == 32 ? ParameterPreset::FX : ParameterPreset::FVa; }

struct Setup {
    explicit Setup(std::size_t slots)
        : context(makeContext(presetOf(slots))), sk(context), pack(context), n(context->parameter.fullSlots) {
        KeyGenerator(context, sk, pack).genMultiplicationKey();
        eval = std::make_unique<HomEvaluator>(context, pack);
        for (u64 i = 0; i < n; ++i) {
            a.message()[i] = firstValue(i);
            b.message()[i] = secondValue(i);
            unit.message()[i] = unitValue(i);
        }
        for (Ciphertext* ct : {&a, &b, &unit, &res})
            ct->setLevel(20);
        res.message() = a.message();
    }

    Context context;
    SecretKey sk;
    KeyPack pack;
    const std::size_t n;
    std::unique_ptr<HomEvaluator> eval;
    Ciphertext a{context};
    Ciphertext b{context};
    Ciphertext unit{context};
    Ciphertext res{context};
};

struct Bare {
    explicit Bare(std::size_t slots) : n(slots), a(n), b(n), unit(n), out(n) {
        for (u64 i = 0; i < n; ++i) {
            a[i] = firstValue(i);
            b[i] = secondValue(i);
            unit[i] = unitValue(i);
        }
        out = a;
    }
    const std::size_t n;
    std::vector<Complex> a, b, unit, out;
};

const bench::ReferenceLoops& loops() { return bench::referenceLoops(); }

std::size_t slotsOf(const benchmark::State& state) { return static_cast<std::size_t>(state.range(0)); }

void finish(benchmark::State& state) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.SetLabel(loops().path);
}

void BM_EvalAddCiphertexts(benchmark::State& state) {
    Setup s(slotsOf(state));
    for (auto _ : state) {
        s.eval->add(s.a, s.b, s.res);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_EvalAddCiphertexts)->Arg(65536)->Arg(32);

void BM_LoopAdd(benchmark::State& state) {
    Bare v(slotsOf(state));
    for (auto _ : state) {
        loops().add(v.a.data(), v.b.data(), v.out.data(), v.n);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopAdd)->Arg(65536)->Arg(32);

void BM_EvalMultCiphertexts(benchmark::State& state) {
    Setup s(slotsOf(state));
    for (auto _ : state) {
        s.eval->mult(s.a, s.b, s.res);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_EvalMultCiphertexts)->Arg(65536)->Arg(32);

// The naive formula: the floor for any exact product.
void BM_LoopMultNaive(benchmark::State& state) {
    Bare v(slotsOf(state));
    for (auto _ : state) {
        loops().mult(v.a.data(), v.b.data(), v.out.data(), v.n);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopMultNaive)->Arg(65536)->Arg(32);

// std::complex's own product, which gives the library's results; compiled with the benchmark's options.
void BM_LoopMult(benchmark::State& state) {
    Bare v(slotsOf(state));
    for (auto _ : state) {
        for (std::size_t i = 0; i < v.n; ++i)
            v.out[i] = v.a[i] * v.b[i];
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopMult)->Arg(65536)->Arg(32);

// The result is the first operand.
void BM_EvalMultCiphertextsInPlace(benchmark::State& state) {
    Setup s(slotsOf(state));
    for (auto _ : state) {
        s.eval->mult(s.res, s.unit, s.res);
        s.res.setLevel(20);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_EvalMultCiphertextsInPlace)->Arg(65536)->Arg(32);

void BM_LoopMultNaiveInPlace(benchmark::State& state) {
    Bare v(slotsOf(state));
    for (auto _ : state) {
        loops().mult(v.out.data(), v.unit.data(), v.out.data(), v.n);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopMultNaiveInPlace)->Arg(65536)->Arg(32);

void BM_EvalMultConstant(benchmark::State& state) {
    Setup s(slotsOf(state));
    for (auto _ : state) {
        s.eval->mult(s.a, kConstant, s.res);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_EvalMultConstant)->Arg(65536)->Arg(32);

void BM_LoopMultConstant(benchmark::State& state) {
    Bare v(slotsOf(state));
    for (auto _ : state) {
        loops().multConstant(v.a.data(), kConstant, v.out.data(), v.n);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopMultConstant)->Arg(65536)->Arg(32);

void BM_EvalMultConstantInPlace(benchmark::State& state) {
    Setup s(slotsOf(state));
    for (auto _ : state) {
        s.eval->mult(s.res, kUnitConstant, s.res);
        s.res.setLevel(20);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_EvalMultConstantInPlace)->Arg(65536)->Arg(32);

void BM_LoopMultConstantInPlace(benchmark::State& state) {
    Bare v(slotsOf(state));
    for (auto _ : state) {
        loops().multConstant(v.out.data(), kUnitConstant, v.out.data(), v.n);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopMultConstantInPlace)->Arg(65536)->Arg(32);

// A message of 2^range(1) slots, spread over the ciphertext's range(0).
void BM_EvalMultMessage(benchmark::State& state) {
    Setup s(slotsOf(state));
    const u64 logSlots = static_cast<u64>(state.range(1));
    Message msg(logSlots);
    for (u64 i = 0; i < msg.getSize(); ++i)
        msg[i] = secondValue(i);
    s.a.setLogSlots(logSlots);
    for (auto _ : state) {
        s.eval->mult(s.a, msg, s.res);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_EvalMultMessage)->Args({65536, 16})->Args({65536, 4})->Args({32, 5})->Args({32, 2});

void BM_LoopMultMessage(benchmark::State& state) {
    Bare v(slotsOf(state));
    const std::size_t mask = (std::size_t{1} << state.range(1)) - 1;
    for (auto _ : state) {
        loops().multMasked(v.a.data(), v.b.data(), mask, v.out.data(), v.n);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopMultMessage)->Args({65536, 16})->Args({65536, 4})->Args({32, 5})->Args({32, 2});

} // namespace
