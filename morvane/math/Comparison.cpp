#include "morvane/math/Comparison.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/math/Checks.hpp"
#include "morvane/math/DomainExtension.hpp"
#include "morvane/math/Refresh.hpp"

#include <cmath>
#include <string>
#include <string_view>

namespace Morvane::Math {

namespace {

// The sign functions run with multiplier 0.5 and add 0.5: (sign + 1) / 2.
constexpr double kHalf = 0.5;
constexpr u64 kSignLevels = 3;
constexpr u64 kEqualityLevels = 4;
constexpr u64 kMaxEqualityLogRange = 40;
// log_dist lies in [-kLogDistSpan, 0].
constexpr u64 kLogDistSpan = 12;
constexpr u64 kMaxDoublings = 12;
constexpr double kPi = 3.141592653589793;

Complex constant(double value) { return Complex(value, 0.0); }

// The checks of two compared inputs: their readiness, the levels of the sign steps and their levels.
void checkComparedInputs(const HomEvaluator& eval, const Bootstrapper& btp, std::string_view name,
                         const Ciphertext& op1, const Ciphertext& op2) {
    checkBootstrappableParameter(eval, name);
    checkBootstrapReady(btp, name, op1.getLogSlots());
    checkBootstrapReady(btp, name, op2.getLogSlots());
    checkAvailableMult(btp, name, kSignLevels);
    checkLevelForBootstrap(btp, name, op1);
    checkLevelForBootstrap(btp, name, op2);
}

// Shrinks x, a copy of the input, into [-t, t] when the doublings alone cannot cover [-2^log_range, 2^log_range].
Ciphertext shrunkForDoublings(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, double t,
                              u64 log_range) {
    const double b = std::pow(2.0, static_cast<double>(log_range));
    if (b > 16.0 * t) {
        const Ciphertext x = approxDomainExtension(eval, btp, op, 16.0 * t, b, 2.25);
        return approxDomainExtension(eval, btp, x, t, 16.0 * t, 2.0);
    }
    return approxDomainExtension(eval, btp, op, t, b, 2.0);
}

// out = ((c4 x2 + c2) x2) + 1: the fourth-order Taylor polynomial in y^2 of sin(y)/y or cos(y).
void taylor(const HomEvaluator& eval, const Ciphertext& x2, double c4, double c2, Ciphertext& out) {
    eval.mult(x2, constant(c4), out);
    eval.add(out, constant(c2), out);
    eval.mult(out, x2, out);
    eval.add(out, constant(1.0), out);
}

} // namespace

void approxGreaterThanZero(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                           u64 num_iter_g, u64 num_iter_f, u64 log_range) {
    tools::checkSignInput(eval, btp, "approxGreaterThanZero", op, log_range);
    tools::approxSignOfRange(eval, btp, op, res, num_iter_g, num_iter_f, log_range, kHalf);
    eval.add(res, constant(kHalf), res);
}

void approxGreaterThanZeroPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                               const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, u64 num_iter_g,
                               u64 num_iter_f, u64 log_range) {
    tools::checkSignPairInputs(eval, btp, "approxGreaterThanZeroPair", op1, op2, log_range);
    tools::approxSignPairOfRange(eval, btp, op1, op2, res1, res2, num_iter_g, num_iter_f, log_range, kHalf);
    eval.add(res1, constant(kHalf), res1);
    eval.add(res2, constant(kHalf), res2);
}

void approxGreaterThan(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                       Ciphertext& res, u64 num_iter_g, u64 num_iter_f) {
    Ciphertext work(eval.context, false);
    tools::SignWorkspace ws(eval.context);
    tools::approxGreaterThan(eval, btp, op1, op2, res, num_iter_g, num_iter_f, work, ws);
}

void approxMinMax(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                  Ciphertext& min, Ciphertext& max, u64 num_iter_g, u64 num_iter_f) {
    checkComparedInputs(eval, btp, "approxMinMax", op1, op2);
    Ciphertext gt(eval.context, false);
    approxGreaterThan(eval, btp, op1, op2, gt, num_iter_g, num_iter_f);
    Ciphertext d(eval.context, false);
    eval.sub(op1, op2, d);
    tools::refreshIfBelow(btp, gt, 1);
    tools::refreshIfBelow(btp, d, 1);
    eval.mult(d, gt, d);
    tools::refreshIfBelow(btp, d, 1);
    // min is computed from op1 after max is written: a max that is op1 is written through a temporary, then takes
    // what the addition wrote there, keeping its own context, prime count and extended flag as a direct write does.
    Ciphertext& maxOut = &max == &op1 ? gt : max;
    eval.add(op2, d, maxOut);
    eval.sub(op1, d, min);
    if (&maxOut != &max) {
        max.message() = maxOut.message();
        max.setLevel(maxOut.getLevel());
        max.setLogSlots(maxOut.getLogSlots());
        max.setRescaleCounter(maxOut.getRescaleCounter());
        max.setSize(maxOut.getSize());
    }
}

void approxDiscreteEqualZero(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                             u64 log_range, i64 log_dist) {
    constexpr std::string_view name = "approxDiscreteEqualZero";
    checkBootstrappableParameter(eval, name);
    checkBootstrapReady(btp, name, op.getLogSlots());
    checkAvailableMult(btp, name, kEqualityLevels);
    checkLevelForBootstrapExtended(btp, name, op);
    checkLogRange(name, log_range, kMaxEqualityLogRange);
    // In unsigned arithmetic, so that no log_dist overflows on the way.
    if (static_cast<u64>(log_dist) + kLogDistSpan > kLogDistSpan)
        throw RuntimeException("[approxDiscreteEqualZero] log_dist must be in [-12, 0].");

    // log_range - log_dist is at most 52 here.
    const u64 spread = log_range + static_cast<u64>(-log_dist);
    const u64 doublings = spread <= kMaxDoublings ? spread : kMaxDoublings;
    const i64 logBound = log_dist + static_cast<i64>(doublings);
    const double t = std::pow(2.0, static_cast<double>(logBound));

    // Into [-pi, pi], through a domain extension when more than the doublings' range is asked for.
    Ciphertext x(eval.context, false);
    if (static_cast<i64>(log_range) > logBound)
        eval.mult(shrunkForDoublings(eval, btp, op, t, log_range), constant(kPi / t), x);
    else
        eval.mult(op, constant(kPi / t), x);
    tools::refreshIfBelow(btp, x, kEqualityLevels);

    Ciphertext u(eval.context, false);
    Ciphertext v(eval.context, false);
    Ciphertext x2(eval.context, false);
    eval.mult(x, x, x2);
    taylor(eval, x2, 0.008333333333333333, -0.16666666666666666, u);
    taylor(eval, x2, 0.041666666666666664, -0.5, v);

    // sin(2y)/(2y) = (sin(y)/y) cos(y) and cos(2y) = 2 cos(y)^2 - 1, one level each.
    if (static_cast<i64>(log_range) != log_dist) {
        for (u64 i = 0; i < doublings; ++i) {
            if (u.getLevel() < btp.getMinLevelForBootstrap() + 1) {
                eval.multImagUnit(v, v);
                eval.add(u, v, u);
                btp.bootstrap(u, u, v);
            }
            eval.mult(u, v, u);
            eval.square(v, v);
            eval.mult(v, constant(2.0), v);
            eval.add(v, constant(-1.0), v);
        }
    }

    eval.sub(u, constant(kHalf), res);
    // u is free again: the sign steps work in it, so that res keeps u - 0.5 until the last step.
    tools::SignWorkspace ws(eval.context);
    tools::approxSignIterations(eval, btp, res, u, res, 1, 2, kHalf, ws);
    eval.add(res, constant(kHalf), res);
}

void approxDiscreteEqual(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                         const Ciphertext& op2, Ciphertext& res, u64 log_range, i64 log_dist) {
    constexpr std::string_view name = "approxDiscreteEqual";
    checkBootstrappableParameter(eval, name);
    checkBootstrapReady(btp, name, op1.getLogSlots());
    checkBootstrapReady(btp, name, op2.getLogSlots());
    checkAvailableMult(btp, name, kEqualityLevels);
    checkLevelForBootstrapExtended(btp, name, op1);
    checkLevelForBootstrapExtended(btp, name, op2);
    // The difference goes to a temporary: the inner checks may still refuse it, and res may be an input.
    Ciphertext difference(eval.context, false);
    eval.sub(op1, op2, difference);
    approxDiscreteEqualZero(eval, btp, difference, res, log_range, log_dist);
}

namespace tools {

void approxGreaterThan(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                       Ciphertext& res, u64 num_iter_g, u64 num_iter_f, Ciphertext& work, SignWorkspace& ws) {
    checkComparedInputs(eval, btp, "approxGreaterThan", op1, op2);
    eval.sub(op1, op2, res);
    approxSignIterations(eval, btp, res, work, res, num_iter_g, num_iter_f, kHalf, ws);
    eval.add(res, constant(kHalf), res);
}

} // namespace tools

} // namespace Morvane::Math
