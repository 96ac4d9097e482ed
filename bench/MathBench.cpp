// The sign family, the domain extensions and the sort, with error simulation on and off ("exact"), each against the
// replay of the operations one call records (vs_replay: the call's time over the replay's), beside bare loops doing one
// full-width slot pass and the sign iteration on plain doubles.
#include "bench/MathReplay.hpp"
#include "morvane/morvane.hpp"
#include "tests/support/MathKeySetup.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
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

Setup& setup(ParameterPreset preset) {
    static Setup fva(ParameterPreset::FVa);
    static Setup fx(ParameterPreset::FX);
    return preset == ParameterPreset::FVa ? fva : fx;
}

// The inputs of one benchmark: two in [-0.5, 0.5], integers of [-64, 64], two outputs and the selection mask of
// distance 1.
struct Inputs {
    explicit Inputs(Setup& s)
        : a(s.input(0.5)), b(s.input(0.5, 500)), grid(s.input(64.0)), r1(s.context), r2(s.context),
          mask(genMasks(getLogFullSlots(s.context), 1)) {
        for (Complex& slot : grid.message().slots())
            slot = Complex(std::round(slot.real()), 0.0);
    }
    Ciphertext a;
    Ciphertext b;
    Ciphertext grid;
    Ciphertext r1;
    Ciphertext r2;
    Message mask;
};

using Call = void (*)(Setup&, Inputs&);

// Every function of the sign family with its default options, and the sort of all slots.
const std::vector<std::pair<const char*, Call>> kCalls = {
    {"approxSign", [](Setup& s, Inputs& x) { approxSign(s.eval, s.btp, x.a, x.r1, 8, 3, 0); }},
    {"approxSignPair", [](Setup& s, Inputs& x) { approxSignPair(s.eval, s.btp, x.a, x.b, x.r1, x.r2, 8, 3, 0); }},
    {"approxSignWide", [](Setup& s, Inputs& x) { approxSign(s.eval, s.btp, x.grid, x.r1, 8, 3, 7); }},
    {"approxGreaterThanZero", [](Setup& s, Inputs& x) { approxGreaterThanZero(s.eval, s.btp, x.a, x.r1, 8, 3, 0); }},
    {"approxGreaterThanZeroPair",
     [](Setup& s, Inputs& x) { approxGreaterThanZeroPair(s.eval, s.btp, x.a, x.b, x.r1, x.r2, 8, 3, 0); }},
    {"approxGreaterThan", [](Setup& s, Inputs& x) { approxGreaterThan(s.eval, s.btp, x.a, x.b, x.r1, 8, 3); }},
    {"approxMinMax", [](Setup& s, Inputs& x) { approxMinMax(s.eval, s.btp, x.a, x.b, x.r1, x.r2, 8, 3); }},
    {"approxDiscreteEqualZero",
     [](Setup& s, Inputs& x) { approxDiscreteEqualZero(s.eval, s.btp, x.grid, x.r1, 6, 0); }},
    {"approxDiscreteEqual", [](Setup& s, Inputs& x) { approxDiscreteEqual(s.eval, s.btp, x.grid, x.a, x.r1, 6, 0); }},
    {"approxSignPairWide",
     [](Setup& s, Inputs& x) { approxSignPair(s.eval, s.btp, x.grid, x.a, x.r1, x.r2, 8, 3, 7); }},
    {"approxDomainExtension",
     [](Setup& s, Inputs& x) { x.r1 = approxDomainExtension(s.eval, s.btp, x.grid, 1.0, 128.0, 2.0); }},
    {"approxDomainExtensionPair",
     [](Setup& s, Inputs& x) { approxDomainExtensionPair(s.eval, s.btp, x.grid, x.a, x.r1, x.r2, 1.0, 128.0, 2.0); }},
    {"compForSort", [](Setup& s, Inputs& x) { compForSort(s.eval, s.btp, x.a, x.mask, 1, x.r1); }},
    // The operand sorted or flipped in place is a copy of the input, made in the call's time.
    {"twoSort",
     [](Setup& s, Inputs& x) {
         x.r2 = x.a;
         twoSort(s.eval, s.btp, x.r2, 1, true);
     }},
    {"flipCtxt",
     [](Setup& s, Inputs& x) {
         x.r2 = x.a;
         flipCtxt(s.eval, x.r2, 1);
     }},
    {"unitSort",
     [](Setup& s, Inputs& x) {
         unitSort(s.eval, s.btp, x.a, x.r1, static_cast<int>(s.context->parameter.fullSlots), true, false);
     }},
};

const bool kRegistered = [] {
    for (const auto& [preset, tag] :
         {std::pair{ParameterPreset::FVa, "FVa"}, std::pair{ParameterPreset::FX, "FX"}})
    for (const bool exact : {false, true}) {
        for (const auto& [name, call] : kCalls) {
            const bool sort = std::string(name) == "unitSort";
            const auto run = [preset = preset, call = call, exact](benchmark::State& state) {
                Setup& s = setup(preset);
                simulateError(s.context, !exact);
                Inputs inputs(s);
                mathbench::runAgainstReplay(state, s.eval, s.btp, s.context, [&] { call(s, inputs); });
                simulateError(s.context, true);
            };
            const std::string full = std::string("BM_") + name + "/" + tag + (exact ? "/exact" : "");
            auto* bench = benchmark::RegisterBenchmark(full.c_str(), run)
                              ->UseManualTime()
                              ->Unit(preset == ParameterPreset::FVa ? benchmark::kMillisecond
                                                                    : benchmark::kMicrosecond);
            if (sort && preset == ParameterPreset::FVa)
                bench->Iterations(3);
        }
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
