#pragma once

#include "morvane/morvane.hpp"
#include "tests/core/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace mathtest {

using namespace Morvane;
using History = std::map<std::string, u64>;

// A bootstrappable context with every key the math functions use: multiplication, conjugation, the bootstrap
// rotation keys of the full slot count and the power-of-two rotation keys. Error simulation is off unless
// asked for, so that values follow the plain-double models exactly.
struct MathSetup {
    explicit MathSetup(ParameterPreset preset, bool simulate_error = false)
        : context(makeContext(preset)), sk(context), pack(context), keygen(context, sk, pack), eval(context, pack),
          btp(eval) {
        keygen.genMultiplicationKey();
        keygen.genConjugationKey();
        keygen.genRotKeysForBootstrap(getLogFullSlots(context));
        keygen.genRotationKeyBundle();
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

    Context context;
    SecretKey sk;
    KeyPack pack;
    KeyGenerator keygen;
    HomEvaluator eval;
    Bootstrapper btp;
};

// What one call leaves behind: the whole history it recorded, the stopwatch's advance and the result's level.
struct Effect {
    History history;
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

// The stopwatch advance of `real` real and `complex` complex bootstraps, with the warm-up cost when the context
// has not bootstrapped yet.
inline u64 bootstrapCost(const Context& context, u64 real, u64 complex, bool warm_up) {
    const std::string& preset = context->parameter.presetName;
    return real * zeroResponseTimeMs(preset, "bootstrap_real") +
           complex * zeroResponseTimeMs(preset, "bootstrap_complex") +
           (warm_up && real + complex != 0 ? zeroResponseTimeMs(preset, "bootstrap_warmup") : 0);
}

// Largest distance between the real parts of the first `values.size()` slots and `values`, and the largest
// imaginary part met on the way.
inline double maxError(const Ciphertext& ctxt, const std::vector<double>& values) {
    double worst = 0.0;
    for (u64 i = 0; i < values.size(); ++i) {
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

} // namespace mathtest
