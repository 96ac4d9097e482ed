#include "morvane/math/LogExp.hpp"

#include "morvane/core/Context.hpp"
#include "morvane/core/Interrupt.hpp"
#include "morvane/math/Chebyshev.hpp"
#include "morvane/math/Checks.hpp"
#include "morvane/math/DomainExtension.hpp"
#include "morvane/math/Refresh.hpp"
#include "morvane/math/detail/Chebyshev.hpp"
#include "morvane/math/detail/Iteration.hpp"
#include "morvane/math/detail/Toolbox.hpp"
#include "morvane/math/detail/Workspace.hpp"
#include "morvane/math/tables/Coefficients.hpp"

#include <cmath>
#include <optional>
#include <string_view>

namespace Morvane::Math {

namespace {

using detail::fail;
using detail::kInverseLn10;
using detail::kInverseLn2;
using detail::kLn2;
using detail::kTwoTo20;
using detail::kTwoToMinus20;
using detail::real;

// The input checks every logarithm starts with; the forms above one need one level more for the extended
// bootstrap of their root.
void checkLogInput(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, std::string_view name,
                   bool greater_than_one) {
    detail::checkPrelude(eval, btp, name, {&op}, detail::Readiness::SlotsAndFullSlots, std::nullopt);
    if (greater_than_one)
        checkLevelForBootstrapExtended(btp, name, op);
    else
        checkLevelForBootstrap(btp, name, op);
}

// 1 / ln(base) for a base above zero other than one, whose logarithm 0 would make the factor infinite.
double inverseLogOfBase(std::string_view name, double base) {
    if (!(base > 0.0))
        fail(name, "The base must be greater than zero");
    if (base == 1.0)
        fail(name, "The base must not be one");
    return 1.0 / std::log(base);
}

// approx8thRootInverse of op in a working ciphertext.
Ciphertext& eighthRootInverse(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, double right_end,
                              double error, detail::Workspace& ws) {
    constexpr std::string_view name = "approx8thRootInverse";
    const u64 min = btp.getMinLevelForBootstrap();
    const bool belowFull = op.getLevel() < btp.getLevelAfterFullSlotBootstrap();
    // A large range is scaled into the extended bootstrap's [-2^20, 2^20] before the bootstrap.
    std::optional<DecomposedConstant> down;
    if (belowFull && right_end > kTwoTo20) {
        down.emplace(kTwoTo20 / right_end);
        if (op.getLevel() < down->count + min + 2)
            fail(name, "Input Ciphertext level is not enough.");
    }
    detail::checkFinite(name, "right_end", right_end);
    detail::checkFinite(name, "error", error);
    // The start value, exact for the largest input; e = 1 - base is the relative error at x = 1.
    const double base = std::pow(1.0 / (1.0 + right_end), 0.125);
    const u64 steps = detail::countSteps(1.0 - base, error, [](double e) {
        const double b = 1.0 - e;
        return e - (1.0 - std::pow(b, 8.0)) * b * 0.125;
    });
    const DecomposedConstant first(std::pow(base, 9.0));

    Ciphertext& w = ws.take();
    Ciphertext& p = ws.take();
    Ciphertext& y = ws.take();
    // w = -op / 8 at a level the iteration can use.
    if (down) {
        detail::multDecomposed(eval, op, *down, w);
        btp.bootstrapExtended(w, w, false);
        eval.mult(w, real(right_end * kTwoToMinus20 * -0.125), w);
    } else if (belowFull) {
        btp.bootstrapExtended(op, w, false);
        eval.mult(w, real(-0.125), w);
    } else {
        eval.mult(op, real(-0.125), w);
    }
    // First step from the constant start value: y = base (1.125 - 0.125 x base^8).
    detail::multDecomposed(eval, w, first, p);
    eval.add(p, real(1.125 * base), y);
    // y <- 1.125 y - 0.125 x y^9.
    if (steps > 1) {
        Ciphertext& q = ws.take();
        for (u64 j = 1; j < steps; ++j) {
            utils::pollInterrupt();
            tools::refreshIfBelow(btp, y, 4);
            eval.square(y, q);
            eval.square(q, q);
            eval.mult(w, q, p);
            eval.mult(q, y, q);
            eval.mult(p, q, p);
            eval.mult(y, real(1.125), q);
            eval.add(p, q, y);
        }
        ws.give(q);
    }
    ws.give(w);
    ws.give(p);
    return y;
}

// approxLogEForGreaterThanOne on the workspace of the call; op stays unchanged until res is written.
void logEOfGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                          u64 log_range, double multiplier, detail::Workspace& ws) {
    const tools::ChebyshevCoefficients& record = tables::logOfEighthRoot();
    constexpr std::string_view name = "approxLogEForGreaterThanOne";
    detail::checkPrelude(eval, btp, name, {&op}, detail::Readiness::SlotsAndFullSlots, record.level_cost);
    checkLevelForBootstrapExtended(btp, name, op);
    checkLogRange(name, log_range, 22);

    // ln x = -8 ln(x^(-1/8)), with x^(-1/8) in [2^(-log_range/8), 1], within [0.125, 1].
    Ciphertext& y = eighthRootInverse(eval, btp, op, std::pow(2.0, static_cast<double>(log_range)), kTwoToMinus20, ws);
    tools::refreshIfBelow(btp, y, 1);
    detail::linearTransformInto(eval, btp, y, {0.125, 1.0}, y);
    tools::refreshIfBelow(btp, y, record.level_cost + 1);
    ws.deliver(res, detail::evaluateChebyshevExpansion(eval, btp, y, record, multiplier * -8.0, ws));
}

} // namespace

void approx8thRootInverse(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                          double right_end, double error) {
    detail::Workspace ws(eval.context);
    ws.deliver(res, eighthRootInverse(eval, btp, op, right_end, error, ws));
}

void approxLogEForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                 Ciphertext& res, u64 log_range, double multiplier) {
    detail::Workspace ws(eval.context);
    logEOfGreaterThanOne(eval, btp, op, res, log_range, multiplier, ws);
}

void approxLog2ForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                 Ciphertext& res, u64 log_range) {
    checkLogInput(eval, btp, op, "approxLog2ForGreaterThanOne", true);
    approxLogEForGreaterThanOne(eval, btp, op, res, log_range, kInverseLn2);
}

void approxLog10ForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                  Ciphertext& res, u64 log_range) {
    checkLogInput(eval, btp, op, "approxLog10ForGreaterThanOne", true);
    approxLogEForGreaterThanOne(eval, btp, op, res, log_range, kInverseLn10);
}

void approxLogForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                Ciphertext& res, double base, u64 log_range) {
    constexpr std::string_view name = "approxLogForGreaterThanOne";
    checkLogInput(eval, btp, op, name, true);
    approxLogEForGreaterThanOne(eval, btp, op, res, log_range, inverseLogOfBase(name, base));
}

void approxLogEForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                              Ciphertext& res, u64 log_range, double multiplier) {
    checkLogInput(eval, btp, op, "approxLogEForLessThanOne", false);

    // x 2^log_range lies in [1, 2^log_range]; the integer constant costs no level.
    const double scale = std::pow(2.0, static_cast<double>(log_range));
    detail::Workspace ws(eval.context);
    Ciphertext& t = ws.take();
    if (op.getLevel() < btp.getMinLevelForBootstrap() + 2) {
        btp.bootstrap(op, t, false);
        eval.mult(t, real(scale), t);
    } else {
        eval.mult(op, real(scale), t);
    }
    logEOfGreaterThanOne(eval, btp, t, res, log_range, multiplier, ws);
    eval.sub(res, real(multiplier * static_cast<double>(log_range) * kLn2), res);
}

void approxLog2ForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                              Ciphertext& res, u64 log_range) {
    checkLogInput(eval, btp, op, "approxLog2ForLessThanOne", false);
    approxLogEForLessThanOne(eval, btp, op, res, log_range, kInverseLn2);
}

void approxLog10ForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                               Ciphertext& res, u64 log_range) {
    checkLogInput(eval, btp, op, "approxLog10ForLessThanOne", false);
    approxLogEForLessThanOne(eval, btp, op, res, log_range, kInverseLn10);
}

void approxLogForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                             Ciphertext& res, double base, u64 log_range) {
    constexpr std::string_view name = "approxLogForLessThanOne";
    checkLogInput(eval, btp, op, name, false);
    approxLogEForLessThanOne(eval, btp, op, res, log_range, inverseLogOfBase(name, base));
}

void approxExponentialLessThanZero(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                   Ciphertext& res, double multiplier) {
    constexpr std::string_view name = "approxExponentialLessThanZero";
    detail::checkPrelude(eval, btp, name, {&op}, detail::Readiness::SlotsAndFullSlots, 3);
    checkLevelForBootstrapExtended(btp, name, op);

    detail::Workspace ws(eval.context);
    Ciphertext& x = ws.take();
    x = op;
    Ciphertext& y = ws.take();
    // z: what the division by K left over in the previous round, subtracted in the next.
    Ciphertext& z = ws.take();
    // Queried once, as the real library does; the simulator answers 1 with an alert.
    x.getCurrentScaleFactor();
    constexpr double K = kTwoTo20;
    if (x.getLevel() < btp.getMinLevelForBootstrap() + 5)
        btp.bootstrapExtended(x, x, false);
    eval.add(x, real(K), x);
    // x_(i+1) = x_i^2 / K, starting from K + op: after twenty rounds K (1 + op/K)^(2^20).
    for (int i = 0; i < 20; ++i) {
        if (x.getLevel() < btp.getMinLevelForBootstrap() + 5) {
            // The pair (x, z) as x + i z, one extended bootstrap for both.
            eval.killImag(x, x);
            eval.killImag(z, z);
            detail::bootstrapPair(eval, btp, x, z, y, x, z, true);
        }
        eval.square(x, y);
        if (i > 0) {
            eval.mult(x, z, z);
            eval.mult(z, real(2.0 / K), z);
            eval.sub(y, z, y);
        }
        eval.mult(y, real(1.0 / K), x);
        eval.mult(x, real(K), z);
        eval.sub(z, y, z);
    }
    eval.mult(x, real(multiplier / K), res);
}

} // namespace Morvane::Math
