#include "morvane/math/Inverse.hpp"

#include "morvane/core/Context.hpp"
#include "morvane/core/Interrupt.hpp"
#include "morvane/math/Checks.hpp"
#include "morvane/math/DomainExtension.hpp"
#include "morvane/math/Refresh.hpp"
#include "morvane/math/detail/Iteration.hpp"
#include "morvane/math/detail/Output.hpp"
#include "morvane/math/detail/Toolbox.hpp"
#include "morvane/math/detail/Workspace.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <utility>

namespace Morvane::Math {

namespace {

using detail::fail;
using detail::kTwoTo20;
using detail::kTwoTo40;
using detail::kTwoToMinus20;
using detail::real;

// Newton steps for 1/x from init, whose worst relative error is e = 1 - init.
u64 inverseSteps(double init, double error) { return detail::countSteps(1.0 - init, error, detail::inverseErrorStep); }

// Newton steps for 1/sqrt(x) from init.
u64 sqrtInverseSteps(double init, double error) {
    return detail::countSteps(1.0 - init, error, detail::sqrtInverseErrorStep);
}

// res = factor * Re(res). An even factor doubles the real part by a conjugate sum and multiplies by factor / 2;
// an odd one takes the real part (one level) and multiplies by the factor itself.
void scaleRealPart(const HomEvaluator& eval, Ciphertext& res, Ciphertext& scratch, u64 factor) {
    if (factor % 2 == 0) {
        eval.conjugate(res, scratch);
        eval.add(res, scratch, res);
        eval.multInteger(res, factor / 2, res);
    } else {
        eval.killImag(res, res);
        eval.multInteger(res, factor, res);
    }
}

// How y is brought back to a usable level between Newton steps.
enum class Refresh {
    // An ordinary bootstrap of y.
    Plain,
    // y * 2^20 through the extended bootstrap, then times 2^-20. For start values below 2^-20 the early y lie
    // below the bootstrap's error, which a plain bootstrap would add unscaled: a slot pushed below 0 diverges,
    // and for x beyond 2^20 any error above 1/x does. Scaled, the error comes back divided by 2^20.
    Scaled,
};

// Brings y to a fresh level when its level is too low for the next step; returns whether it did.
bool refreshInverse(const HomEvaluator& eval, const Bootstrapper& btp, Ciphertext& y, Refresh refresh) {
    if (refresh == Refresh::Plain)
        return tools::refreshIfBelow(btp, y, 1);
    // The extended bootstrap needs one level above the minimum, and the scaling back takes one.
    if (y.getLevel() >= btp.getMinLevelForBootstrap() + 2)
        return false;
    eval.multInteger(y, u64{1} << 20, y);
    btp.bootstrapExtended(y, y, false);
    eval.mult(y, real(kTwoToMinus20), y);
    return true;
}

// max(num_iter, 1) steps y <- y (2 - x y) from the constant start value init, on an x that needs no bootstrap;
// returns y. The first step multiplies by init through its decomposition.
Ciphertext& inverseIteration(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& x,
                             const DecomposedConstant& init, u64 num_iter, Refresh refresh, detail::Workspace& ws) {
    Ciphertext& t = ws.take();
    Ciphertext& u = ws.take();
    Ciphertext& y = ws.take();
    // t = x init, u = 2 - t, y = init u.
    detail::multDecomposed(eval, x, init, t);
    eval.negate(t, u);
    eval.add(u, real(2.0), u);
    detail::multDecomposed(eval, u, init, y);
    for (u64 i = 1; i < num_iter; ++i) {
        utils::pollInterrupt();
        // t = x y: recomputed after a bootstrap of y, otherwise t u, since x y (2 - x y) = t u.
        if (refreshInverse(eval, btp, y, refresh))
            eval.mult(x, y, t);
        else
            eval.mult(t, u, t);
        eval.negate(t, u);
        eval.add(u, real(2.0), u);
        eval.mult(y, u, y);
    }
    return y;
}

// The checks of the inverse and the inverse square root for inputs in [1, right_end], in their order.
void checkGreaterThanOneInput(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                              std::string_view name, double right_end, double error) {
    detail::checkPrelude(eval, btp, name, {&op}, detail::Readiness::SlotsAndFullSlots, 2);
    checkLevelForBootstrapExtended(btp, name, op);
    checkRightEnd(name, right_end, kTwoTo40);
    detail::checkFinite(name, "right_end", right_end);
    detail::checkFinite(name, "error", error);
}

// The functions below compute into a working ciphertext, which the public ones deliver into res once complete:
// a call that fails or is interrupted on the way leaves res, which may be op, as it was.

Ciphertext& inverseNewton(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, double init,
                          u64 num_iter, detail::Workspace& ws) {
    if (op.getLevel() < btp.getLevelAfterFullSlotBootstrap()) {
        Ciphertext& x = ws.take();
        btp.bootstrapExtended(op, x, false);
        return inverseIteration(eval, btp, x, DecomposedConstant(init, 0), num_iter, Refresh::Plain, ws);
    }
    return inverseIteration(eval, btp, op, DecomposedConstant(init, 0), num_iter, Refresh::Plain, ws);
}

Ciphertext& inverseForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                     double right_end, double error, detail::Workspace& ws) {
    constexpr std::string_view name = "approxInverseForGreaterThanOne";
    checkGreaterThanOneInput(eval, btp, op, name, right_end, error);

    const double init = 1.0 / right_end;
    const u64 steps = inverseSteps(init, error);
    const u64 full = btp.getLevelAfterFullSlotBootstrap();
    if (right_end <= kTwoTo20)
        return inverseNewton(eval, btp, op, init, steps, ws);
    // Beyond 2^20 the iteration runs on x itself from 1/right_end: a domain extension of x into [1, 2^20] is not
    // one-to-one there, so no iteration on the shrunk values can give 1/x. Slots outside the extended bootstrap's
    // range [-2^20, 2^20] reach the full level scaled by 2^-20 and multiplied back, the start value, which may be
    // too small for a single constant product, is applied decomposed, and y is refreshed scaled.
    if (op.getLevel() >= full)
        return inverseIteration(eval, btp, op, DecomposedConstant(init), steps, Refresh::Scaled, ws);
    if (op.getLevel() < btp.getMinLevelForBootstrap() + 2)
        fail(name, "Input Ciphertext level is not enough.");
    Ciphertext& x = ws.take();
    eval.mult(op, real(kTwoToMinus20), x);
    btp.bootstrapExtended(x, x, false);
    eval.multInteger(x, u64{1} << 20, x);
    // The scaling multiplied the bootstrap's error by 2^20: the small difference from op is bootstrapped plainly
    // and added back.
    Ciphertext& v = ws.take();
    eval.sub(op, x, v);
    btp.bootstrap(v, v, false);
    eval.add(x, v, x);
    ws.give(v);
    return inverseIteration(eval, btp, x, DecomposedConstant(init), steps, Refresh::Scaled, ws);
}

Ciphertext& sqrtInverseNewton(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, double init,
                              u64 num_iter, detail::Workspace& ws) {
    constexpr std::string_view name = "approxSqrtInverseNewton";
    const u64 min = btp.getMinLevelForBootstrap();
    const double s = init * init;
    // The right end the start value was made for.
    const double range = 2.0 / s - 1.0;
    if (op.getLevel() < min + 2 && range > kTwoTo20)
        fail(name, "The input ciphertext level >= " + std::to_string(min + 2) + " is needed for such large range");
    detail::checkFinite(name, "init", init);
    // Beyond 2^84 the factor 2^(k - 2) below no longer fits 64 bits (an init of 0 gives an infinite range).
    if (!(range < 19342813113834066795298816.0))
        fail(name, "2/init^2 - 1 must be below 2^84");

    const bool large = range > kTwoTo20;
    // Scaling exponent k: slots of [1, range] times 2^-k lie below 1/2, or below 2^19 for a large range. A range
    // below 1 (init^2 above 1) takes the smallest exponent, 2.
    u64 k = 2;
    if (range >= 1.0) {
        const double log = std::floor(std::log2(range));
        k = static_cast<u64>(large ? log - 18.0 : log + 2.0);
    }
    Ciphertext& x = ws.take();
    x = op;
    eval.mult(x, real(std::pow(2.0, -static_cast<double>(k))), x);
    if (large)
        btp.bootstrapExtended(x, x, false);
    else
        btp.bootstrap(x, x, false);
    // x = op / 4 at the bootstrapped level, then the bootstrapping error corrected by a second, small bootstrap.
    Ciphertext& v = ws.take();
    eval.multInteger(x, u64{1} << (k - 2), x);
    eval.mult(op, real(0.25), v);
    eval.sub(v, x, v);
    btp.bootstrap(v, v, false);
    eval.add(x, v, x);
    // x = -Re(op) / 2.
    Ciphertext& w = ws.take();
    eval.negate(x, x);
    eval.conjugate(x, w);
    eval.add(x, w, x);
    // y = x init^2, as two factors when init^2 is too small for the evaluator to tell from 0.
    Ciphertext& y = ws.take();
    if (s < 1e-8) {
        eval.mult(x, real(init), y);
        eval.mult(y, real(init), y);
    } else {
        eval.mult(x, real(s), y);
    }
    // First step from the constant start value, then z <- z (1.5 + y) with y = x z^2, which is y w^2 between
    // bootstraps.
    Ciphertext& z = ws.take();
    eval.add(y, real(1.5), w);
    eval.mult(w, real(init), z);
    for (u64 i = 1; i < num_iter; ++i) {
        utils::pollInterrupt();
        if (y.getLevel() < min + 3) {
            btp.bootstrap(z, z, false);
            eval.mult(x, z, y);
            eval.mult(y, z, y);
        } else {
            eval.square(w, w);
            eval.mult(w, y, y);
        }
        eval.add(y, real(1.5), w);
        eval.mult(w, z, z);
    }
    return z;
}

Ciphertext& sqrtInverseForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                         double right_end, double error, detail::Workspace& ws) {
    checkGreaterThanOneInput(eval, btp, op, "approxSqrtInverseForGreaterThanOne", right_end, error);
    const double init = std::sqrt(2.0 / (right_end + 1.0));
    return sqrtInverseNewton(eval, btp, op, init, sqrtInverseSteps(init, error), ws);
}

} // namespace

void approxInverseForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                    Ciphertext& res, double right_end, double error) {
    detail::Workspace ws(eval.context);
    ws.deliver(res, inverseForGreaterThanOne(eval, btp, op, right_end, error, ws));
}

void approxInverseForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                 Ciphertext& res, double left_end, double error) {
    constexpr std::string_view name = "approxInverseForLessThanOne";
    detail::checkPrelude(eval, btp, name, {&op}, detail::Readiness::Slots, 2);
    checkLevelForBootstrap(btp, name, op);
    checkLeftEnd(name, left_end, kTwoToMinus20);
    detail::checkFinite(name, "left_end", left_end);
    detail::checkFinite(name, "error", error);

    detail::Workspace ws(eval.context);
    Ciphertext& x = ws.take();
    x = op;
    if (x.getLevel() < btp.getLevelAfterFullSlotBootstrap())
        btp.bootstrap(x, x, false);
    // Slots in [c * left_end, c], within [1, c].
    const u64 c = static_cast<u64>(std::ceil(1.0 / left_end));
    eval.multInteger(x, c, x);
    const double scale = static_cast<double>(c);
    Ciphertext& y = inverseForGreaterThanOne(eval, btp, x, scale, error / scale, ws);
    tools::refreshIfBelow(btp, y, 1);
    scaleRealPart(eval, y, x, c);
    ws.deliver(res, y);
}

void approxInverseNewton(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                         double init, u64 num_iter) {
    detail::Workspace ws(eval.context);
    ws.deliver(res, inverseNewton(eval, btp, op, init, num_iter, ws));
}

void approxSqrtInverseForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                        Ciphertext& res, double right_end, double error) {
    detail::Workspace ws(eval.context);
    ws.deliver(res, sqrtInverseForGreaterThanOne(eval, btp, op, right_end, error, ws));
}

void approxSqrtInverseForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                     Ciphertext& res, double left_end, double error) {
    constexpr std::string_view name = "approxSqrtInverseForLessThanOne";
    detail::checkPrelude(eval, btp, name, {&op}, detail::Readiness::SlotsAndFullSlots, 2);
    checkLevelForBootstrap(btp, name, op);
    checkLeftEnd(name, left_end, kTwoToMinus20);
    detail::checkFinite(name, "left_end", left_end);
    detail::checkFinite(name, "error", error);

    detail::Workspace ws(eval.context);
    Ciphertext& x = ws.take();
    x = op;
    tools::refreshIfBelow(btp, x, 1);
    // Slots in [d^2 left_end, d^2], within [1, d^2].
    const u64 d = static_cast<u64>(std::ceil(1.0 / std::sqrt(left_end)));
    eval.multInteger(x, d * d, x);
    Ciphertext& y = sqrtInverseForGreaterThanOne(eval, btp, x, static_cast<double>(d * d), error, ws);
    tools::refreshIfBelow(btp, y, 1);
    scaleRealPart(eval, y, x, d);
    ws.deliver(res, y);
}

void approxSqrtInverseNewton(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                             double init, u64 num_iter) {
    detail::Workspace ws(eval.context);
    ws.deliver(res, sqrtInverseNewton(eval, btp, op, init, num_iter, ws));
}

void approxSqrt(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                u64 num_iter) {
    constexpr std::string_view name = "approxSqrt";
    detail::checkPrelude(eval, btp, name, {&op}, detail::Readiness::Slots, 2);
    checkLevelForBootstrap(btp, name, op);

    detail::Workspace ws(eval.context);
    Ciphertext& a = ws.take();
    Ciphertext& c = ws.take();
    Ciphertext& t = ws.take();
    // a is read as op until its first write. res, which may be op, is written once the rounds are complete, as the
    // copy of op they would have run in: a call that fails or is interrupted on the way leaves it as it was. a^2 /
    // (1 + 2c) stays x while c tends to 0.
    const Ciphertext* x = &op;
    if (tools::refreshIfBelow(btp, op, a, 1))
        x = &a;
    eval.sub(*x, real(1.0), c);
    eval.mult(c, real(0.5), c);
    for (u64 i = 0; i < num_iter; ++i) {
        utils::pollInterrupt();
        // a + i c, bootstrapped once for both.
        if (c.getLevel() < btp.getMinLevelForBootstrap() + 2) {
            detail::bootstrapPair(eval, btp, *x, c, t, a, c);
            x = &a;
        }
        // a <- a (1 - c); c <- c^2 (c - 1.5).
        eval.negate(c, t);
        eval.add(t, real(1.0), t);
        eval.mult(*x, t, a);
        x = &a;
        eval.sub(c, real(1.5), t);
        eval.square(c, c);
        eval.mult(c, t, c);
    }
    if (x == &op)
        res = op;
    else
        detail::writeAsCopy(res, detail::CopyOrigin(op), a);
}

} // namespace Morvane::Math
