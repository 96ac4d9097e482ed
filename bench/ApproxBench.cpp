// The numeric approximations with the arguments the Python bindings pass by default, with error simulation on,
// on FVa (65536 slots) and FX (32 slots). Each reports the evaluator and bootstrapper operations one call makes
// ("ops", "bootstraps") and its time over the replay of those operations through the evaluator ("vs_replay").
#include "bench/MathReplay.hpp"
#include "morvane/math/detail/Iteration.hpp"
#include "morvane/math/tables/Coefficients.hpp"
#include "morvane/morvane.hpp"
#include "tests/support/MathKeySetup.hpp"

#include <benchmark/benchmark.h>

#include <complex>
#include <functional>
#include <string>
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
using Math::detail::inverseBoundForSteps;
using Math::detail::sqrtInverseBoundForSteps;

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
                                                  inverseBoundForSteps(1.0 - 1.0 / 262144.0, 23));
         }},
        {"inverse_less_than_one", [](double t) { return 0.0009765625 + 0.999 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxInverseForLessThanOne(s.eval, s.btp, op, res, 0.0009765625,
                                               inverseBoundForSteps(1.0 - 0.0009765625, 20));
         }},
        {"sqrt_inverse", [](double t) { return 1.0 + 524287.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxSqrtInverseForGreaterThanOne(s.eval, s.btp, op, res, 524288.0,
                                                      sqrtInverseBoundForSteps(1.0 - 1.0 / 512.0, 20));
         }},
        {"sqrt_inverse_newton", [](double t) { return 0.5 + t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxSqrtInverseNewton(s.eval, s.btp, op, res, 0.8, 8);
         }},
        {"inverse_newton", [](double t) { return 0.5 + t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxInverseNewton(s.eval, s.btp, op, res, 0.6, 8);
         }},
        {"eighth_root_inverse", [](double t) { return 1.0 + 262143.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approx8thRootInverse(s.eval, s.btp, op, res, 262144.0, 1e-6);
         }},
        {"minimax_sigmoid", [](double t) { return -0.5 + t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) { Math::miniMaxSigmoid(s.eval, s.btp, op, res); }},
        {"chebyshev_expansion", [](double t) { return -1.0 + 2.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             res = Math::tools::evaluateChebyshevExpansion(s.eval, s.btp, op, Math::tables::sigmoidUpToEight(), 1.0);
         }},
        {"domain_extension_inverse", [](double t) { return -1.0 + 2.0 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             res = Math::approxDomainExtensionInverse(s.eval, op, 3, 2.0);
         }},
        {"sqrt_inverse_less_than_one", [](double t) { return 0.0009765625 + 0.999 * t; },
         [](const Setup& s, const Ciphertext& op, Ciphertext& res) {
             Math::approxSqrtInverseForLessThanOne(s.eval, s.btp, op, res, 0.0009765625,
                                                   sqrtInverseBoundForSteps(1.0 - 1.0 / 32.0, 14));
         }},
    };
    return all;
}

void runFunction(benchmark::State& state, ParameterPreset preset, const Function& f) {
    Setup s(preset);
    const Ciphertext op = s.input(f.input);
    Ciphertext res(s.context);
    // The first bootstrap of a context pays the warm-up; tables are built on first use. The replay runs after
    // the same warm-up.
    mathbench::runAgainstReplay(state, s.eval, s.btp, s.context, [&] { f.call(s, op, res); });
}

const int registered = [] {
    for (const auto& [preset, tag] :
         {std::pair{ParameterPreset::FVa, "FVa"}, std::pair{ParameterPreset::FX, "FX"}}) {
        for (const Function& f : functions()) {
            const std::string name = std::string("BM_") + f.name + "/" + tag;
            benchmark::RegisterBenchmark(name.c_str(), [preset = preset, &f](benchmark::State& state) {
                runFunction(state, preset, f);
            })->UseManualTime()->Unit(benchmark::kMillisecond);
        }
    }
    return 0;
}();

} // namespace
