#include "morvane/math/DomainExtension.hpp"

#include "morvane/core/Interrupt.hpp"
#include "morvane/math/Refresh.hpp"
#include "morvane/math/detail/Toolbox.hpp"

#include <cmath>
#include <string_view>

namespace Morvane::Math {

namespace {

using detail::fail;
using detail::kTwoTo64;
using detail::kTwoToMinus20;

// -(4/27) / 2^20: the cubic coefficient once the multiplicand is prescaled by 1024 / L.
constexpr double kPrescaledKappa = -1.4128508391203703e-07;

// What the arguments fix before the first operation: the level below which a step needs a refresh, the number
// of steps and the first integer bound.
struct Plan {
    u64 baseLevel;
    u64 steps;
    u64 bound;
};

// After the range test, the values that would leave the step count or the bound without an integer value are
// refused, so that no conversion below sees a NaN, an infinity or a number beyond 2^64.
Plan planSteps(const Bootstrapper& btp, std::string_view name, double base_range, double extended_range, double ratio) {
    if (base_range >= extended_range)
        fail(name, "extended_range should be > base_range");
    if (!(base_range > 0.0))
        fail(name, "base_range should be > 0");
    if (!(extended_range < kTwoTo64))
        fail(name, "extended_range should be < 2^64");
    if (!(ratio > 1.0))
        fail(name, "ratio should be > 1");
    const double steps = std::ceil(std::log2(extended_range / base_range) / std::log2(ratio));
    if (!(steps < kTwoTo64))
        fail(name, "extended_range / base_range needs too many steps of this ratio");
    return {btp.getMinLevelForBootstrap() + (base_range > 1.0 ? 1 : 0), static_cast<u64>(steps),
            static_cast<u64>(std::ceil(extended_range))};
}

// The scale of one step: 1/L and 1/L^2 for the current bound L.
struct Scale {
    explicit Scale(u64 bound)
        : invL(1.0 / static_cast<double>(bound)),
          invL2(1.0 / (static_cast<double>(bound) * static_cast<double>(bound))) {}

    // A large L takes one more level: the multiplicand is prescaled by 1024 / L.
    bool large() const { return invL2 < kTwoToMinus20; }
    void advance(double ratio) {
        invL2 = (ratio * ratio) * invL2;
        invL = invL * ratio;
    }
    double kappa() const { return large() ? kPrescaledKappa : (-4.0 * invL2) / 27.0; }

    double invL;
    double invL2;
};

u64 nextBound(u64 bound, double ratio) { return static_cast<u64>(std::ceil(static_cast<double>(bound) / ratio)); }

// Working ciphertexts of one extension, made once and reused by every step.
struct Workspace {
    explicit Workspace(const Context& context) : tmp(context, false), a(context, false), square(context, false) {}
    Ciphertext tmp;
    Ciphertext a;
    Ciphertext square;
};

// The multiplicand of the cubic: x itself, or x * 1024/L in `scaled` for a large L.
const Ciphertext& prescaled(const HomEvaluator& eval, const Ciphertext& x, const Scale& scale, Ciphertext& scaled) {
    if (!scale.large())
        return x;
    eval.multWithoutRescale(x, Complex(1024.0 * scale.invL, 0.0), scaled);
    eval.rescale(scaled);
    return scaled;
}

// increment = -(4/27) x^3 / L^2 from the multiplicand a (x or its prescaled copy) and x.
void cubicIncrement(const HomEvaluator& eval, const Ciphertext& a, const Ciphertext& x, double kappa,
                    Ciphertext& square, Ciphertext& increment) {
    eval.square(a, square);
    eval.multWithoutRescale(x, Complex(kappa, 0.0), increment);
    eval.rescale(increment);
    eval.mult(square, increment, increment);
}

// After the bootstrap in [-0.5, 0.5]: back to the bound's scale, and the conjugate sum doubles the real part
// while it drops any imaginary part.
void restoreScale(const HomEvaluator& eval, Ciphertext& x, u64 bound, Ciphertext& tmp) {
    eval.multInteger(x, bound, x);
    eval.conjugate(x, tmp);
    eval.add(x, tmp, x);
}

} // namespace

DecomposedConstant::DecomposedConstant(double v) : value(v), mantissa(0.0), count(0) {
    double m = std::fabs(v);
    while (m <= 1e-8) {
        const double next = m * 67108864.0;
        // 0 never grows past the threshold: it keeps count 0.
        if (next == m)
            break;
        m = next;
        ++count;
    }
    mantissa = v > 0.0 || v == 0.0 ? m : -m;
}

DecomposedConstant::DecomposedConstant(double m, u64 count_) : value(m), mantissa(m), count(count_) {
    for (u64 i = 0; i < count; ++i) {
        const double next = value * tools::kDecompositionFactor;
        // Once the value stays put (0, an infinity, NaN) the remaining factors change nothing.
        if (next == value || std::isnan(next))
            break;
        value = next;
    }
}

Ciphertext approxDomainExtension(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                 double base_range, double extended_range, double ratio) {
    const Plan plan = planSteps(btp, "approxDomainExtension", base_range, extended_range, ratio);
    u64 bound = plan.bound;
    Scale scale(bound);

    Ciphertext work(op);
    Ciphertext out(op);
    Workspace ws(eval.context);
    for (u64 step = 0; step < plan.steps; ++step) {
        // The step count follows from the caller's ranges and ratio.
        utils::pollInterrupt();
        // The refresh rebuilds work from out, the value returned.
        if (work.getLevel() < plan.baseLevel + 3 + (scale.large() ? 1 : 0)) {
            eval.multWithoutRescale(out, Complex(0.5 / static_cast<double>(bound), 0.0), work);
            eval.rescale(work);
            btp.bootstrap(work, work, false);
            restoreScale(eval, work, bound, ws.tmp);
        }
        scale.advance(ratio);
        cubicIncrement(eval, prescaled(eval, work, scale, ws.a), work, scale.kappa(), ws.square, ws.tmp);
        eval.add(work, ws.tmp, work);
        eval.add(out, ws.tmp, out);
        bound = nextBound(bound, ratio);
    }
    return out;
}

void approxDomainExtensionPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                               const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, double base_range,
                               double extended_range, double ratio) {
    const Plan plan = planSteps(btp, "approxDomainExtensionPair", base_range, extended_range, ratio);
    u64 bound = plan.bound;
    Scale scale(bound);

    Ciphertext w1(op1);
    Ciphertext w2(op2);
    tools::levelToLower(eval, w1, w2);
    res1 = w1;
    res2 = w2;

    Workspace ws(eval.context);
    Ciphertext a2(eval.context, false);
    for (u64 step = 0; step < plan.steps; ++step) {
        utils::pollInterrupt();
        if (w1.getLevel() < plan.baseLevel + 3 + (scale.large() ? 1 : 0)) {
            detail::packPair(eval, res1, res2, ws.tmp);
            eval.multWithoutRescale(ws.tmp, Complex(0.5 / static_cast<double>(bound), 0.0), w1);
            eval.rescale(w1);
            btp.bootstrap(w1, w1, w2);
            restoreScale(eval, w1, bound, ws.tmp);
            restoreScale(eval, w2, bound, ws.tmp);
        }
        scale.advance(ratio);
        const Ciphertext& a1 = prescaled(eval, w1, scale, ws.a);
        const Ciphertext& a2Ref = prescaled(eval, w2, scale, a2);
        const double kappa = scale.kappa();
        cubicIncrement(eval, a1, w1, kappa, ws.square, ws.tmp);
        eval.add(w1, ws.tmp, w1);
        eval.add(res1, ws.tmp, res1);
        cubicIncrement(eval, a2Ref, w2, kappa, ws.square, ws.tmp);
        eval.add(w2, ws.tmp, w2);
        eval.add(res2, ws.tmp, res2);
        bound = nextBound(bound, ratio);
    }
}

Ciphertext approxDomainExtensionInverse(const HomEvaluator& eval, const Ciphertext& op, u64 order, double ratio) {
    const double k2 = 2.0 * static_cast<double>(order);
    const double a = ((1.0 - 1.0 / std::pow(ratio, k2)) * 0.14814814814814814) / (1.0 - 1.0 / (ratio * ratio));
    const double b =
        ((1.0 - 1.0 / std::pow(ratio, k2 + 2.0)) * (a * 0.4444444444444444)) / (1.0 - 1.0 / std::pow(ratio, 4.0));
    const double d = (a + b) + 0.1;

    Ciphertext x2(eval.context, false);
    Ciphertext res(eval.context, false);
    Ciphertext t(eval.context, false);
    eval.square(op, x2);
    eval.square(x2, res);
    eval.negate(res, res);
    eval.mult(x2, Complex(b / d, 0.0), t);
    eval.add(res, t, res);
    eval.add(res, Complex(a / d, 0.0), res);
    eval.mult(op, Complex(d, 0.0), t);
    eval.mult(t, x2, t);
    eval.mult(res, t, res);
    eval.add(res, op, res);
    return res;
}

} // namespace Morvane::Math
