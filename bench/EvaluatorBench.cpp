// Ciphertext arithmetic on 65536 slots, each beside a plain loop doing the same slot arithmetic on bare
// vectors: the difference is what the evaluator's checks, bookkeeping and counting cost.
#include "morvane/morvane.hpp"

#include <benchmark/benchmark.h>

#include <complex>
#include <vector>

namespace {

using namespace Morvane;

constexpr std::size_t kSlots = 65536; // FVa's full slot count

Complex firstValue(u64 i) { return Complex(0.001 * static_cast<double>(i), -0.5); }
Complex secondValue(u64 i) { return Complex(1.0 - 1e-6 * static_cast<double>(i), 0.25); }
const Complex kConstant(0.75, -1.25);

struct Setup {
    Setup() : context(makeContext(ParameterPreset::FVa)), sk(context), pack(context) {
        KeyGenerator(context, sk, pack).genMultiplicationKey();
        eval = std::make_unique<HomEvaluator>(context, pack);
        for (u64 i = 0; i < kSlots; ++i) {
            a.message()[i] = firstValue(i);
            b.message()[i] = secondValue(i);
        }
        a.setLevel(20);
        b.setLevel(20);
    }

    Context context;
    SecretKey sk;
    KeyPack pack;
    std::unique_ptr<HomEvaluator> eval;
    Ciphertext a{context};
    Ciphertext b{context};
    Ciphertext res{context};
};

struct Bare {
    Bare() : a(kSlots), b(kSlots), out(kSlots) {
        for (u64 i = 0; i < kSlots; ++i) {
            a[i] = firstValue(i);
            b[i] = secondValue(i);
        }
    }
    std::vector<Complex> a, b, out;
};

void finish(benchmark::State& state) { state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kSlots)); }

void BM_EvalAddCiphertexts(benchmark::State& state) {
    Setup s;
    for (auto _ : state) {
        s.eval->add(s.a, s.b, s.res);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_EvalAddCiphertexts);

void BM_LoopAdd(benchmark::State& state) {
    Bare v;
    for (auto _ : state) {
        for (std::size_t i = 0; i < kSlots; ++i)
            v.out[i] = v.a[i] + v.b[i];
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopAdd);

void BM_EvalMultCiphertexts(benchmark::State& state) {
    Setup s;
    for (auto _ : state) {
        s.eval->mult(s.a, s.b, s.res);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_EvalMultCiphertexts);

void BM_LoopMult(benchmark::State& state) {
    Bare v;
    for (auto _ : state) {
        for (std::size_t i = 0; i < kSlots; ++i)
            v.out[i] = v.a[i] * v.b[i];
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopMult);

// The naive formula written out, which the compiler may vectorise: the floor for any exact product.
void BM_LoopMultNaive(benchmark::State& state) {
    Bare v;
    for (auto _ : state) {
        const double* x = reinterpret_cast<const double*>(v.a.data());
        const double* y = reinterpret_cast<const double*>(v.b.data());
        double* z = reinterpret_cast<double*>(v.out.data());
        for (std::size_t i = 0; i < kSlots; ++i) {
            const double xr = x[2 * i], xi = x[2 * i + 1], yr = y[2 * i], yi = y[2 * i + 1];
            z[2 * i] = xr * yr - xi * yi;
            z[2 * i + 1] = xr * yi + xi * yr;
        }
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopMultNaive);

// The result is the first operand: the product goes through the chunk buffer.
void BM_EvalMultCiphertextsInPlace(benchmark::State& state) {
    Setup s;
    for (auto _ : state) {
        s.eval->mult(s.res, s.b, s.res);
        s.res.setLevel(20);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_EvalMultCiphertextsInPlace);

void BM_EvalMultConstant(benchmark::State& state) {
    Setup s;
    for (auto _ : state) {
        s.eval->mult(s.a, kConstant, s.res);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_EvalMultConstant);

void BM_LoopMultConstant(benchmark::State& state) {
    Bare v;
    for (auto _ : state) {
        for (std::size_t i = 0; i < kSlots; ++i)
            v.out[i] = v.a[i] * kConstant;
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopMultConstant);

// A message of 2^range(0) slots, spread over the ciphertext's 65536.
void BM_EvalMultMessage(benchmark::State& state) {
    Setup s;
    const u64 logSlots = static_cast<u64>(state.range(0));
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
BENCHMARK(BM_EvalMultMessage)->Arg(16)->Arg(4);

void BM_LoopMultMessage(benchmark::State& state) {
    Bare v;
    const std::size_t mask = (std::size_t{1} << state.range(0)) - 1;
    for (auto _ : state) {
        for (std::size_t i = 0; i < kSlots; ++i)
            v.out[i] = v.a[i] * v.b[i & mask];
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_LoopMultMessage)->Arg(16)->Arg(4);

} // namespace
