// The approximation functions with error simulation on, each reporting the evaluator and bootstrapper operations
// one call records (from the context's history) and the time per operation, beside bare loops doing one
// full-width slot pass and the sign iteration on plain doubles.
#include "morvane/morvane.hpp"
#include "tests/support/MathKeySetup.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace Morvane;
using namespace Morvane::Math;

// The keyed context of the tests, error simulation on as made; inputs at the encryption level.
struct Setup : mathtest::MathKeySetup {
    using MathKeySetup::MathKeySetup;

    // Slot i is a value of [-range, range] that walks the range in 997 steps.
    Ciphertext input(double range, u64 shift = 0) const {
        Ciphertext ctxt(context, false);
        auto& slots = ctxt.message().slots();
        for (u64 i = 0; i < slots.size(); ++i)
            slots[i] = Complex(range * (static_cast<double>((i * 389 + shift) % 997) / 498.0 - 1.0), 0.0);
        ctxt.setLevel(getEncryptionLevel(context));
        return ctxt;
    }
};

u64 operationCount(const Context& context) {
    u64 total = 0;
    for (const auto& [label, count] : getOpHistory(context))
        total += count;
    return total;
}

// Runs `call` once per iteration and reports the operations per call and the time per operation.
void runCounted(benchmark::State& state, Setup& s, const std::function<void()>& call) {
    clearOpHistory(s.context);
    u64 calls = 0;
    for (auto _ : state) {
        call();
        ++calls;
        benchmark::ClobberMemory();
    }
    const auto ops = static_cast<double>(operationCount(s.context));
    state.counters["ops_per_call"] = calls != 0 ? ops / static_cast<double>(calls) : 0.0;
    state.counters["bootstraps_per_call"] =
        calls != 0 ? static_cast<double>(getOpHistory(s.context)["Bootstrap"]) / static_cast<double>(calls) : 0.0;
    state.counters["time_per_op"] = benchmark::Counter(ops, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

Setup& fva() {
    static Setup s(ParameterPreset::FVa);
    return s;
}

Setup& fx() {
    static Setup s(ParameterPreset::FX);
    return s;
}

void BM_ApproxSign_FVa(benchmark::State& state) {
    Setup& s = fva();
    const Ciphertext op = s.input(1.0);
    Ciphertext res(s.context, false);
    runCounted(state, s, [&] { approxSign(s.eval, s.btp, op, res, 8, 3, 0); });
}
BENCHMARK(BM_ApproxSign_FVa)->Unit(benchmark::kMillisecond);

void BM_UnitSort_FVa(benchmark::State& state) {
    Setup& s = fva();
    Ciphertext op = s.input(0.5);
    Ciphertext res(s.context, false);
    runCounted(state, s, [&] { unitSort(s.eval, s.btp, op, res, 65536, true, false); });
}
BENCHMARK(BM_UnitSort_FVa)->Unit(benchmark::kMillisecond)->Iterations(3);

// Every function of the sign family with its default options on FX's 32 slots, one benchmark each.
struct FxInputs {
    FxInputs()
        : a(fx().input(0.5)), b(fx().input(0.5, 500)), grid(fx().input(64.0)), r1(fx().context), r2(fx().context) {
        for (Complex& slot : grid.message().slots())
            slot = Complex(std::round(slot.real()), 0.0);
    }
    Ciphertext a;
    Ciphertext b;
    Ciphertext grid;
    Ciphertext r1;
    Ciphertext r2;
};

using FxCall = void (*)(Setup&, FxInputs&);

const std::vector<std::pair<const char*, FxCall>> kFxDefaults = {
    {"approxSign", [](Setup& s, FxInputs& x) { approxSign(s.eval, s.btp, x.a, x.r1, 8, 3, 0); }},
    {"approxSignPair", [](Setup& s, FxInputs& x) { approxSignPair(s.eval, s.btp, x.a, x.b, x.r1, x.r2, 8, 3, 0); }},
    {"approxGreaterThanZero", [](Setup& s, FxInputs& x) { approxGreaterThanZero(s.eval, s.btp, x.a, x.r1, 8, 3, 0); }},
    {"approxGreaterThanZeroPair",
     [](Setup& s, FxInputs& x) { approxGreaterThanZeroPair(s.eval, s.btp, x.a, x.b, x.r1, x.r2, 8, 3, 0); }},
    {"approxGreaterThan", [](Setup& s, FxInputs& x) { approxGreaterThan(s.eval, s.btp, x.a, x.b, x.r1, 8, 3); }},
    {"approxMinMax", [](Setup& s, FxInputs& x) { approxMinMax(s.eval, s.btp, x.a, x.b, x.r1, x.r2, 8, 3); }},
    {"approxDiscreteEqualZero",
     [](Setup& s, FxInputs& x) { approxDiscreteEqualZero(s.eval, s.btp, x.grid, x.r1, 6, 0); }},
    {"approxDiscreteEqual", [](Setup& s, FxInputs& x) { approxDiscreteEqual(s.eval, s.btp, x.grid, x.a, x.r1, 6, 0); }},
    {"unitSort", [](Setup& s, FxInputs& x) { unitSort(s.eval, s.btp, x.a, x.r1, 32, true, false); }},
};

const bool kFxRegistered = [] {
    for (const auto& [name, call] : kFxDefaults) {
        const auto run = [call = call](benchmark::State& state) {
            Setup& s = fx();
            FxInputs inputs;
            runCounted(state, s, [&] { call(s, inputs); });
        };
        benchmark::RegisterBenchmark((std::string("BM_Default_FX/") + name).c_str(), run)
            ->Unit(benchmark::kMicrosecond);
    }
    return true;
}();

// The bare references on 65536 slots: one pass of slot products, and the 11 sign steps on plain doubles.
void BM_BareSlotProduct(benchmark::State& state) {
    std::vector<Complex> a(65536, Complex(0.5, 0.0));
    std::vector<Complex> b(65536, Complex(-0.25, 0.0));
    std::vector<Complex> out(65536);
    for (auto _ : state) {
        for (std::size_t i = 0; i < a.size(); ++i)
            out[i] = a[i] * b[i];
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BareSlotProduct)->Unit(benchmark::kMicrosecond);

void BM_BareSignIteration(benchmark::State& state) {
    std::vector<double> x(65536);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<double>((i * 389) % 997) / 498.0 - 1.0;
    std::vector<double> y(x.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < x.size(); ++i) {
            double v = x[i];
            for (int step = 0; step < 11; ++step) {
                const double v2 = v * v;
                v = step < 8 ? v * (4589.0 + v2 * (-16577.0 + v2 * (25614.0 - 12860.0 * v2))) / 1024.0
                             : v * (35.0 + v2 * (-35.0 + v2 * (21.0 - 5.0 * v2))) / 16.0;
            }
            y[i] = v;
        }
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BareSignIteration)->Unit(benchmark::kMicrosecond);

} // namespace
