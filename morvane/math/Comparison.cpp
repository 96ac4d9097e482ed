#include "morvane/math/Comparison.hpp"

#include "morvane/math/Checks.hpp"
#include "morvane/math/Refresh.hpp"
#include "morvane/math/detail/DomainExtension.hpp"
#include "morvane/math/detail/Sign.hpp"
#include "morvane/math/detail/Toolbox.hpp"
#include "morvane/math/detail/Workspace.hpp"
#include "morvane/math/tables/Coefficients.hpp"

#include <cmath>
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

using detail::real;

// op shrunk into [-t, t] in `out` when the doublings alone cannot cover [-2^log_range, 2^log_range].
void shrinkForDoublings(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, double t,
                        u64 log_range, Ciphertext& out, detail::Workspace& ws) {
    const double b = std::pow(2.0, static_cast<double>(log_range));
    if (b > 16.0 * t) {
        Ciphertext& x = ws.take();
        detail::approxDomainExtension(eval, btp, op, 16.0 * t, b, 2.25, x, ws);
        detail::approxDomainExtension(eval, btp, x, t, 16.0 * t, 2.0, out, ws);
        ws.give(x);
        return;
    }
    detail::approxDomainExtension(eval, btp, op, t, b, 2.0, out, ws);
}

// out = ((c4 x2 + c2) x2) + 1: the fourth-order Taylor polynomial in y^2 of sin(y)/y or cos(y).
void taylor(const HomEvaluator& eval, const Ciphertext& x2, const tables::EvenTaylor& p, Ciphertext& out) {
    eval.mult(x2, real(p.c4), out);
    eval.add(out, real(p.c2), out);
    eval.mult(out, x2, out);
    eval.add(out, real(1.0), out);
}

// The checks of approxDiscreteEqualZero, which approxDiscreteEqual runs again on the difference.
void checkEqualZeroInput(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, u64 log_range,
                         i64 log_dist) {
    constexpr std::string_view name = "approxDiscreteEqualZero";
    detail::checkPrelude(eval, btp, name, {&op}, detail::Readiness::Slots, kEqualityLevels);
    checkLevelForBootstrapExtended(btp, name, op);
    checkLogRange(name, log_range, kMaxEqualityLogRange);
    // In unsigned arithmetic, so that no log_dist overflows on the way.
    if (static_cast<u64>(log_dist) + kLogDistSpan > kLogDistSpan)
        detail::fail(name, "log_dist must be in [-12, 0].");
}

// approxDiscreteEqualZero after its checks. `spent` is op itself when op is a working ciphertext of the call, given
// back once read; `in_place` tells that res is an operand of the call (op or one of the inputs op was made from).
void equalZero(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res, u64 log_range,
               i64 log_dist, detail::Workspace& ws, Ciphertext* spent, bool in_place) {
    // log_range - log_dist is at most 52 here.
    const u64 spread = log_range + static_cast<u64>(-log_dist);
    const u64 doublings = spread <= kMaxDoublings ? spread : kMaxDoublings;
    const i64 logBound = log_dist + static_cast<i64>(doublings);
    const double t = std::pow(2.0, static_cast<double>(logBound));

    // Into [-pi, pi], through a domain extension when more than the doublings' range is asked for.
    Ciphertext& x = ws.take();
    if (static_cast<i64>(log_range) > logBound) {
        Ciphertext& shrunk = ws.take();
        shrinkForDoublings(eval, btp, op, t, log_range, shrunk, ws);
        eval.mult(shrunk, real(detail::kPi / t), x);
        ws.give(shrunk);
    } else {
        eval.mult(op, real(detail::kPi / t), x);
    }
    if (spent != nullptr)
        ws.give(*spent);
    tools::refreshIfBelow(btp, x, kEqualityLevels);

    Ciphertext& x2 = ws.take();
    eval.mult(x, x, x2);
    ws.give(x);
    Ciphertext& u = ws.take();
    Ciphertext& v = ws.take();
    taylor(eval, x2, tables::kSinOverY, u);
    taylor(eval, x2, tables::kCos, v);
    ws.give(x2);

    // sin(2y)/(2y) = (sin(y)/y) cos(y) and cos(2y) = 2 cos(y)^2 - 1, one level each.
    if (static_cast<i64>(log_range) != log_dist) {
        for (u64 i = 0; i < doublings; ++i) {
            if (u.getLevel() < btp.getMinLevelForBootstrap() + 1)
                detail::bootstrapPair(eval, btp, u, v, v, u, v);
            eval.mult(u, v, u);
            eval.square(v, v);
            eval.mult(v, real(2.0), v);
            eval.add(v, real(-1.0), v);
        }
    }

    ws.give(v);
    // u is free again: the sign steps work in it, so that res keeps u - 0.5 until the last step. An operand is
    // never written before that step: in place, u - 0.5 goes to u itself.
    Ciphertext& start = in_place ? u : res;
    eval.sub(u, real(kHalf), start);
    detail::SignWorkspace sign(ws);
    detail::approxSignIterations(eval, btp, start, u, res, 1, 2, kHalf, sign);
    eval.add(res, real(kHalf), res);
}

} // namespace

void approxGreaterThanZero(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                           u64 num_iter_g, u64 num_iter_f, u64 log_range) {
    detail::checkSignInput(eval, btp, "approxGreaterThanZero", op, log_range);
    detail::approxSignOfRange(eval, btp, op, res, num_iter_g, num_iter_f, log_range, kHalf);
    eval.add(res, real(kHalf), res);
}

void approxGreaterThanZeroPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                               const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, u64 num_iter_g,
                               u64 num_iter_f, u64 log_range) {
    detail::checkSignPairInputs(eval, btp, "approxGreaterThanZeroPair", op1, op2, log_range);
    detail::approxSignPairOfRange(eval, btp, op1, op2, res1, res2, num_iter_g, num_iter_f, log_range, kHalf);
    eval.add(res1, real(kHalf), res1);
    eval.add(res2, real(kHalf), res2);
}

void approxGreaterThan(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                       Ciphertext& res, u64 num_iter_g, u64 num_iter_f) {
    detail::Workspace ws(eval.context);
    detail::approxGreaterThan(eval, btp, op1, op2, res, num_iter_g, num_iter_f, ws);
}

void approxMinMax(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                  Ciphertext& min, Ciphertext& max, u64 num_iter_g, u64 num_iter_f) {
    detail::checkComparedInputs(eval, btp, "approxMinMax", op1, op2);
    detail::Workspace ws(eval.context);
    Ciphertext& gt = ws.take();
    detail::approxGreaterThan(eval, btp, op1, op2, gt, num_iter_g, num_iter_f, ws);
    Ciphertext& d = ws.take();
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
    checkEqualZeroInput(eval, btp, op, log_range, log_dist);
    detail::Workspace ws(eval.context);
    equalZero(eval, btp, op, res, log_range, log_dist, ws, nullptr, &res == &op);
}

void approxDiscreteEqual(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                         const Ciphertext& op2, Ciphertext& res, u64 log_range, i64 log_dist) {
    constexpr std::string_view name = "approxDiscreteEqual";
    detail::checkPrelude(eval, btp, name, {&op1, &op2}, detail::Readiness::Slots, kEqualityLevels);
    checkLevelForBootstrapExtended(btp, name, op1);
    checkLevelForBootstrapExtended(btp, name, op2);
    // The difference goes to a working ciphertext, not res: the inner checks may still refuse it, and res may be
    // an input.
    detail::Workspace ws(eval.context);
    Ciphertext& difference = ws.take();
    eval.sub(op1, op2, difference);
    checkEqualZeroInput(eval, btp, difference, log_range, log_dist);
    equalZero(eval, btp, difference, res, log_range, log_dist, ws, &difference, &res == &op1 || &res == &op2);
}

namespace detail {

void checkComparedInputs(const HomEvaluator& eval, const Bootstrapper& btp, std::string_view name,
                         const Ciphertext& op1, const Ciphertext& op2) {
    checkPrelude(eval, btp, name, {&op1, &op2}, Readiness::Slots, kSignLevels);
    checkLevelForBootstrap(btp, name, op1);
    checkLevelForBootstrap(btp, name, op2);
}

void approxGreaterThan(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                       Ciphertext& res, u64 num_iter_g, u64 num_iter_f, Ciphertext& work, SignWorkspace& ws) {
    checkComparedInputs(eval, btp, "approxGreaterThan", op1, op2);
    // res keeps the difference until the last step; an operand is never written before that step: in place, the
    // difference goes to work.
    Ciphertext& difference = &res == &op1 || &res == &op2 ? work : res;
    eval.sub(op1, op2, difference);
    approxSignIterations(eval, btp, difference, work, res, num_iter_g, num_iter_f, kHalf, ws);
    eval.add(res, real(kHalf), res);
}

void approxGreaterThan(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                       Ciphertext& res, u64 num_iter_g, u64 num_iter_f, Workspace& ws) {
    Ciphertext& work = ws.take();
    SignWorkspace sign(ws);
    approxGreaterThan(eval, btp, op1, op2, res, num_iter_g, num_iter_f, work, sign);
}

} // namespace detail

} // namespace Morvane::Math
