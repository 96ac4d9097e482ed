// The numeric approximations with the arguments the Python bindings pass by default, with error simulation on,
// on FVa (65536 slots) and FX (32 slots). Each reports the evaluator and bootstrapper operations one call makes
// ("ops", "bootstraps"); BM_BareSlotPasses is the reference: that many bare complex products over the slots,
// vectorised as the library's kernel is (bench/ReferenceLoops.hpp).
#include "bench/ReferenceLoops.hpp"
#include "morvane/morvane.hpp"
#include "tests/support/MathKeySetup.hpp"

#include <benchmark/benchmark.h>

#include <complex>
#include <functional>
#include <vector>

namespace {

using namespace Morvane;

// The keyed context of the tests with error simulation on and alert lines off.
struct Setup : mathtest::MathKeySetup {
    explicit Setup(ParameterPreset preset) : MathKeySetup(preset) {
        simulateError(context, true);
        RuntimeAlert::alert_switch = false;
    }

    // A fresh encryption of `value(i)` in slot i, at the encryption level.
    Ciphertext input(const std::function<double(double)>& value) const {
        Ciphertext ctxt(context);
        const u64 n = context->parameter.fullSlots;
        for (u64 i = 0; i < n; ++i)
            ctxt.message()[i] = Complex(value(static_cast<double>(i) / static_cast<double>(n)), 0.0);
        ctxt.setLevel(getEncryptionLevel(context));
        return ctxt;
    }
};

using Call = void (*)(const Setup&, const Ciphertext&, Ciphertext&);

// The error bounds the bindings derive from their default start values and step counts.
double inverseBound(double e, int steps) {
    for (int i = 0; i < steps; ++i)
        e = e * e;
    return e > 1e-100 ? e : 1e-100;
}
double sqrtInverseBound(double e, int steps) {
    for (int i = 0; i < steps; ++i)
        e = e - (1.0 - e) * e * (1.0 - 0.5 * e);
    return 0.5 * e > 1e-100 ? 0.5 * e : 1e-100;
}

struct Function {
    const char* name;
    std::function<double(double)> input; // slot value from its position t in [0, 1)
    Call call;
};

const std::vector<Function>& functions() {
    static const std::vector<Function> all = {
        {"log_e", [](double t) { return 1.0 + 262143.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxLogEForGreaterThanOne(s.eval, s.btp, op, res, 18, 1.0);
         }},
        {"log_e_less_than_one", [](double t) { return 0.0001 + 0.9999 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxLogEForLessThanOne(s.eval, s.btp, op, res, 18, 1.0);
         }},
        {"log_2", [](double t) { return 1.0 + 262143.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxLog2ForGreaterThanOne(s.eval, s.btp, op, res, 18);
         }},
        {"log_10", [](double t) { return 1.0 + 262143.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxLog10ForGreaterThanOne(s.eval, s.btp, op, res, 18);
         }},
        {"exp", [](double t) { return -20.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxExponentialLessThanZero(s.eval, s.btp, op, res, 1.0);
         }},
        {"sigmoid_wide", [](double t) { return -49152.0 + 98304.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxSigmoidWide(s.eval, s.btp, op, res, 48.0 * 1024.0);
         }},
        {"sigmoid", [](double t) { return -8.0 + 16.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxSigmoid(s.eval, s.btp, op, res, 8.0);
         }},
        {"relu", [](double t) { return -1.0 + 2.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) { Math::approxReLU(s.eval, s.btp, op, res); }},
        {"sqrt", [](double t) { return 0.001 + 1.999 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) { Math::approxSqrt(s.eval, s.btp, op, res, 17); }},
        {"inverse", [](double t) { return 1.0 + 262143.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxInverseForGreaterThanOne(s.eval, s.btp, op, res, 262144.0,
                                                  inverseBound(1.0 - 1.0 / 262144.0, 23));
         }},
        {"inverse_less_than_one", [](double t) { return 0.0009765625 + 0.999 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxInverseForLessThanOne(s.eval, s.btp, op, res, 0.0009765625,
                                               inverseBound(1.0 - 0.0009765625, 20));
         }},
        {"sqrt_inverse", [](double t) { return 1.0 + 524287.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxSqrtInverseForGreaterThanOne(s.eval, s.btp, op, res, 524288.0,
                                                      sqrtInverseBound(1.0 - 1.0 / 512.0, 20));
         }},
        {"sqrt_inverse_less_than_one", [](double t) { return 0.0009765625 + 0.999 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxSqrtInverseForLessThanOne(s.eval, s.btp, op, res, 0.0009765625,
                                                   sqrtInverseBound(1.0 - 1.0 / 32.0, 14));
         }},
    };
    return all;
}

u64 total(const std::map<std::string, u64>& history, bool bootstraps_only) {
    u64 sum = 0;
    for (const auto& [label, count] : history)
        if (!bootstraps_only || label.rfind("Bootstrap", 0) == 0)
            sum += count;
    return sum;
}

void runFunction(benchmark::State& state, ParameterPreset preset, const Function& f) {
    Setup s(preset);
    const Ciphertext op = s.input(f.input);
    Ciphertext res(s.context);
    f.call(s, op, res); // the first bootstrap of a context pays the warm-up; tables are built on first use
    clearOpHistory(s.context);
    f.call(s, op, res);
    const auto history = getOpHistory(s.context);
    for (auto _ : state) {
        f.call(s, op, res);
        benchmark::DoNotOptimize(res.message().begin());
    }
    state.counters["ops"] = static_cast<double>(total(history, false));
    state.counters["bootstraps"] = static_cast<double>(total(history, true));
}

// `range(0)` products over 65536 slots: the slot arithmetic of as many evaluator operations (the counts of log_e,
// sigmoid_wide and exp on FVa) without anything else.
void BM_BareSlotPasses(benchmark::State& state) {
    const std::size_t n = 65536;
    std::vector<Complex> a(n, Complex(0.5, 0.0)), b(n, Complex(0.999, 0.0)), out(n);
    for (auto _ : state) {
        for (int64_t pass = 0; pass < state.range(0); ++pass)
            bench::referenceLoops().mult(a.data(), b.data(), out.data(), n);
        benchmark::ClobberMemory();
    }
    state.counters["ops"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_BareSlotPasses)->Arg(203)->Arg(406)->Arg(175)->Unit(benchmark::kMillisecond);

const int registered = [] {
    for (const auto& [preset, tag] :
         {std::pair{ParameterPreset::FVa, "FVa"}, std::pair{ParameterPreset::FX, "FX"}}) {
        for (const Function& f : functions()) {
            const std::string name = std::string("BM_") + f.name + "/" + tag;
            benchmark::RegisterBenchmark(name.c_str(), [preset = preset, &f](benchmark::State& state) {
                runFunction(state, preset, f);
            })->Unit(benchmark::kMillisecond);
        }
    }
    return 0;
}();

} // namespace
