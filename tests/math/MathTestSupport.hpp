#pragma once

#include "morvane/math/ApproxSign.hpp"
#include "morvane/morvane.hpp"
#include "tests/support/MathKeySetup.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace mathtest {

using namespace Morvane;
using History = std::map<std::string, u64>;

// MathKeySetup with error simulation off unless asked for, so that values follow the plain-double models
// exactly, and a cleared history.
struct MathSetup : MathKeySetup {
    explicit MathSetup(ParameterPreset preset, bool simulate_error = false) : MathKeySetup(preset) {
        simulateError(context, simulate_error);
        clearOpHistory(context);
    }

    u64 fullSlots() const { return context->parameter.fullSlots; }

    // A full-slot ciphertext at `level` whose slot i is values[i % values.size()].
    Ciphertext input(const std::vector<double>& values, u64 level) const {
        Ciphertext ctxt(context);
        for (u64 i = 0; i < fullSlots(); ++i)
            ctxt.message()[i] = Complex(values[i % values.size()], 0.0);
        ctxt.setLevel(level);
        return ctxt;
    }
};

// Evaluators whose checks fail: ST19 cannot bootstrap, and FTb's level after bootstrap (4) leaves no room for a
// block of three levels.
struct RefusingSetups {
    RefusingSetups()
        : st19(makeContext(ParameterPreset::ST19)), st19Eval(st19, KeyPack(st19)),
          ftb(makeContext(ParameterPreset::FTb)), ftbEval(ftb, KeyPack(ftb)), ftbBtp(ftbEval), ftbInput(ftb) {
        ftbInput.setLevel(0);
    }

    Context st19;
    HomEvaluator st19Eval;
    Context ftb;
    HomEvaluator ftbEval;
    Bootstrapper ftbBtp;
    Ciphertext ftbInput;
};

// What one call leaves behind: the whole history it recorded and the stopwatch's advance.
struct Effect {
    History history = {};
    u64 duration;
};

// Runs `call` on a cleared history and a started stopwatch.
inline Effect measure(const Context& context, const std::function<void()>& call) {
    Context ctx = context;
    clearOpHistory(ctx);
    startStopWatch(context);
    call();
    const u64 duration = getDuration(context);
    return {getOpHistory(context), duration};
}

// The stopwatch advance of `real` real and `complex` complex bootstraps (and of extended ones), with the warm-up
// cost when the context has not bootstrapped yet.
inline u64 bootstrapCost(const Context& context, u64 real, u64 complex, bool warm_up, u64 real_extended = 0,
                         u64 complex_extended = 0) {
    const std::string& preset = context->parameter.presetName;
    const u64 total = real + complex + real_extended + complex_extended;
    return real * zeroResponseTimeMs(preset, "bootstrap_real") +
           complex * zeroResponseTimeMs(preset, "bootstrap_complex") +
           real_extended * zeroResponseTimeMs(preset, "bootstrap_real_extended") +
           complex_extended * zeroResponseTimeMs(preset, "bootstrap_complex_extended") +
           (warm_up && total != 0 ? zeroResponseTimeMs(preset, "bootstrap_warmup") : 0);
}

// Largest distance between the real parts of the first `values.size()` slots and `values`, and the largest
// imaginary part met on the way.
inline double maxError(const Ciphertext& ctxt, const std::vector<double>& values) {
    EXPECT_LE(values.size(), ctxt.message().getSize());
    double worst = 0.0;
    for (u64 i = 0; i < values.size() && i < ctxt.message().getSize(); ++i) {
        const Complex slot = ctxt.message()[i];
        worst = std::fmax(worst, std::fmax(std::fabs(slot.real() - values[i]), std::fabs(slot.imag())));
    }
    return worst;
}

inline std::vector<double> mapped(const std::vector<double>& values, const std::function<double(double)>& f) {
    std::vector<double> out;
    out.reserve(values.size());
    for (const double v : values)
        out.push_back(f(v));
    return out;
}

// Plain-double models of the iterations, for error-free runs: they follow the same steps on one value.

// Domain extension. Work and out differ only by the rounding of a refresh, so one value stands for both.
inline double extensionModel(double x, double base, double extended, double ratio) {
    const auto steps = static_cast<u64>(std::ceil(std::log2(extended / base) / std::log2(ratio)));
    const double c = std::ceil(extended);
    double invL = 1.0 / c;
    double invL2 = 1.0 / (c * c);
    for (u64 i = 0; i < steps; ++i) {
        invL2 = (ratio * ratio) * invL2;
        invL = invL * ratio;
        const bool large = invL2 < std::ldexp(1.0, -20);
        const double a = large ? x * (1024.0 * invL) : x;
        const double kappa = large ? -1.4128508391203703e-07 : (-4.0 * invL2) / 27.0;
        x = x + (a * a) * (x * kappa);
    }
    return x;
}

inline const std::array<double, 4> kG = {-0.3568429237947123, 1.289035769828927, -1.9917573872472785, 1.0};
inline const std::array<double, 4> kF = {-7.0, 7.0, -4.2, 1.0};

// One factored step with the root of its cubic.
inline double signStepModel(double x, const std::array<double, 4>& p, double factor) {
    const double r = Morvane::Math::solveCubicRealRoot(p);
    const double u = x * x;
    const double w = (u + (r + p[2]) * 0.5) * (u + (r + p[2]) * 0.5) + ((-p[0]) / r - ((p[2] + r) * (p[2] + r)) * 0.25);
    return x * (factor * p[3]) * (u - r) * w;
}

// num_iter_g steps of g and num_iter_f of f, the last one carrying the multiplier.
inline double signModel(double x, u64 num_iter_g, u64 num_iter_f, double multiplier) {
    if (num_iter_g + num_iter_f == 0)
        return x * multiplier;
    for (u64 i = 0; i < num_iter_g; ++i)
        x = signStepModel(x, kG, (num_iter_f == 0 && i + 1 == num_iter_g ? multiplier : 1.0) * -12.55859375);
    for (u64 j = 0; j < num_iter_f; ++j)
        x = signStepModel(x, kF, (j + 1 == num_iter_f ? multiplier : 1.0) * -0.3125);
    return x;
}

// Discrete equality with zero: the Taylor values of sin(y)/y and cos(y), the angle doublings and the sharpening.
inline double equalZeroModel(double x, u64 log_range, i64 log_dist) {
    const u64 spread = log_range + static_cast<u64>(-log_dist);
    const u64 k = spread <= 12 ? spread : 12;
    const double t = std::pow(2.0, static_cast<double>(log_dist + static_cast<i64>(k)));
    const double b = std::pow(2.0, static_cast<double>(log_range));
    if (static_cast<i64>(log_range) > log_dist + static_cast<i64>(k)) {
        if (b > 16.0 * t)
            x = extensionModel(extensionModel(x, 16.0 * t, b, 2.25), t, 16.0 * t, 2.0);
        else
            x = extensionModel(x, t, b, 2.0);
    }
    x = x * (3.141592653589793 / t);
    const double x2 = x * x;
    double u = (x2 * 0.008333333333333333 + -0.16666666666666666) * x2 + 1.0;
    double v = (x2 * 0.041666666666666664 + -0.5) * x2 + 1.0;
    if (static_cast<i64>(log_range) != log_dist) {
        for (u64 i = 0; i < k; ++i) {
            u = u * v;
            v = v * v * 2.0 + -1.0;
        }
    }
    return signModel(u - 0.5, 1, 2, 0.5) + 0.5;
}

// The whole state of a ciphertext a call may change.
inline void expectSameCiphertext(const Ciphertext& now, const Ciphertext& before, const std::string& what) {
    EXPECT_EQ(now.message().slots(), before.message().slots()) << what;
    EXPECT_EQ(now.getLevel(), before.getLevel()) << what;
    EXPECT_EQ(now.getLogSlots(), before.getLogSlots()) << what;
    EXPECT_EQ(now.getRescaleCounter(), before.getRescaleCounter()) << what;
}

// The keys of MathKeySetup but the conjugation key, with their evaluator and bootstrapper: a call gets as far as
// its first bootstrap ("[bootstrap] no conjugation key") or conjugation ("[Conjugate] no conjugation key").
struct WithoutConjugationKey {
    explicit WithoutConjugationKey(const MathSetup& s) : pack(s.context), eval(generated(s, pack)), btp(eval) {}

    KeyPack pack;
    HomEvaluator eval;
    Bootstrapper btp;

private:
    static HomEvaluator generated(const MathSetup& s, KeyPack& pack) {
        const KeyGenerator keygen(s.context, s.sk, pack);
        keygen.genMultiplicationKey();
        keygen.genRotKeysForBootstrap(getLogFullSlots(s.context));
        keygen.genRotationKeyBundle();
        return HomEvaluator(s.context, pack);
    }
};

// A call that fails part way, on the operands a and b (which it may write as outputs) and an output r apart.
struct FailingCall {
    const char* name;
    std::function<void(const HomEvaluator&, const Bootstrapper&, Ciphertext& a, Ciphertext& b, Ciphertext& r)> call;
    std::string message;
};

// Runs each call on a (slots `a` at `level`), b (slots `b` at `level`) and r, all made anew, without the
// conjugation key: it fails with its message after operations of its own and leaves all three as they were.
inline void expectFailuresLeaveCiphertexts(const MathSetup& s, const std::vector<FailingCall>& calls,
                                           const std::vector<double>& a, const std::vector<double>& b, u64 level) {
    const WithoutConjugationKey keys(s);
    for (const FailingCall& c : calls) {
        Ciphertext x = s.input(a, level);
        Ciphertext y = s.input(b, level);
        Ciphertext r = s.input({9.0}, 20);
        std::string message;
        const Effect effect =
            measure(s.context, [&] { message = thrownMessage([&] { c.call(keys.eval, keys.btp, x, y, r); }); });
        EXPECT_EQ(message, c.message) << c.name;
        EXPECT_FALSE(effect.history.empty()) << c.name;
        expectSameCiphertext(x, s.input(a, level), std::string(c.name) + ": a");
        expectSameCiphertext(y, s.input(b, level), std::string(c.name) + ": b");
        expectSameCiphertext(r, s.input({9.0}, 20), std::string(c.name) + ": r");
    }
}

// A call that fails its checks, with the message of the first failing check and what it recorded before.
struct OrderCase {
    const char* name;
    std::function<void(Ciphertext& res1, Ciphertext& res2)> call;
    std::string message;
    History history = {};
};

// The first failing check decides; the outputs are not written and nothing but `history` is recorded.
inline void expectCheckOrder(const MathSetup& s, const std::vector<OrderCase>& cases) {
    for (const OrderCase& c : cases) {
        Ciphertext res1 = s.input({9.0}, 20);
        Ciphertext res2 = s.input({9.0}, 20);
        std::string message;
        const Effect effect = measure(s.context, [&] { message = thrownMessage([&] { c.call(res1, res2); }); });
        EXPECT_EQ(message, c.message) << c.name;
        EXPECT_EQ(effect.history, c.history) << c.name;
        for (const Ciphertext* res : {&res1, &res2}) {
            EXPECT_EQ(res->getLevel(), 20u) << c.name;
            EXPECT_EQ(res->message()[0], Complex(9.0, 0.0)) << c.name;
        }
    }
}

} // namespace mathtest
