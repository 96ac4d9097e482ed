#include "morvane/math/DomainExtension.hpp"

#include "morvane/core/Interrupt.hpp"
#include "morvane/math/Refresh.hpp"
#include "morvane/math/detail/DomainExtension.hpp"
#include "morvane/math/detail/Output.hpp"
#include "morvane/math/detail/Toolbox.hpp"
#include "morvane/math/detail/Workspace.hpp"

#include <cmath>
#include <string_view>
#include <utility>

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

// The multiplicand of the cubic: x itself, or x * 1024/L in `scaled` for a large L, taken from ws on first use.
const Ciphertext& prescaled(const HomEvaluator& eval, const Ciphertext& x, const Scale& scale, Ciphertext*& scaled,
                            detail::Workspace& ws) {
    if (!scale.large())
        return x;
    if (scaled == nullptr)
        scaled = &ws.take();
    eval.multWithoutRescale(x, Complex(1024.0 * scale.invL, 0.0), *scaled);
    eval.rescale(*scaled);
    return *scaled;
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

// The steps from op into out; out may be op. work and out are read as op until their first writes, so op is never
// copied. The refresh rebuilds work from out, the value returned.
void extend(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, const Plan& plan, double ratio,
            Ciphertext& out, detail::Workspace& ws) {
    u64 bound = plan.bound;
    Scale scale(bound);
    Ciphertext& work = ws.take();
    Ciphertext& tmp = ws.take();
    Ciphertext& square = ws.take();
    // Only a large bound prescales.
    Ciphertext* a = nullptr;
    const Ciphertext* w = &op;
    const Ciphertext* o = &op;
    for (u64 step = 0; step < plan.steps; ++step) {
        // The step count follows from the caller's ranges and ratio.
        utils::pollInterrupt();
        if (w->getLevel() < plan.baseLevel + 3 + (scale.large() ? 1 : 0)) {
            eval.multWithoutRescale(*o, Complex(0.5 / static_cast<double>(bound), 0.0), work);
            eval.rescale(work);
            btp.bootstrap(work, work, false);
            restoreScale(eval, work, bound, tmp);
            w = &work;
        }
        scale.advance(ratio);
        cubicIncrement(eval, prescaled(eval, *w, scale, a, ws), *w, scale.kappa(), square, tmp);
        eval.add(*w, tmp, work);
        w = &work;
        eval.add(*o, tmp, out);
        o = &out;
        bound = nextBound(bound, ratio);
    }
    for (Ciphertext* c : {&work, &tmp, &square, a})
        if (c != nullptr)
            ws.give(*c);
}

// The pair steps from op1 and op2 into out1 and out2, working ciphertexts apart from the operands, which are only
// read. The higher operand is levelled down into its out first; until their first writes, the working values and
// the outs read the (levelled) operands, so no operand is copied. The refresh packs the outs, as the single form
// rebuilds work from out.
void extendPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                const Plan& plan, double ratio, Ciphertext& out1, Ciphertext& out2, detail::Workspace& ws) {
    u64 bound = plan.bound;
    Scale scale(bound);
    const Ciphertext* o1 = &op1;
    const Ciphertext* o2 = &op2;
    if (op1.getLevel() < op2.getLevel()) {
        eval.levelDown(op2, op1.getLevel(), out2);
        o2 = &out2;
    } else if (op1.getLevel() > op2.getLevel()) {
        eval.levelDown(op1, op2.getLevel(), out1);
        o1 = &out1;
    }
    const Ciphertext* w1 = o1;
    const Ciphertext* w2 = o2;

    Ciphertext& work1 = ws.take();
    Ciphertext& work2 = ws.take();
    Ciphertext& tmp = ws.take();
    Ciphertext& square = ws.take();
    Ciphertext* a1 = nullptr;
    Ciphertext* a2 = nullptr;
    for (u64 step = 0; step < plan.steps; ++step) {
        utils::pollInterrupt();
        if (w1->getLevel() < plan.baseLevel + 3 + (scale.large() ? 1 : 0)) {
            detail::packPair(eval, *o1, *o2, tmp);
            eval.multWithoutRescale(tmp, Complex(0.5 / static_cast<double>(bound), 0.0), work1);
            eval.rescale(work1);
            btp.bootstrap(work1, work1, work2);
            restoreScale(eval, work1, bound, tmp);
            restoreScale(eval, work2, bound, tmp);
            w1 = &work1;
            w2 = &work2;
        }
        scale.advance(ratio);
        const Ciphertext& m1 = prescaled(eval, *w1, scale, a1, ws);
        const Ciphertext& m2 = prescaled(eval, *w2, scale, a2, ws);
        const double kappa = scale.kappa();
        cubicIncrement(eval, m1, *w1, kappa, square, tmp);
        eval.add(*w1, tmp, work1);
        w1 = &work1;
        eval.add(*o1, tmp, out1);
        o1 = &out1;
        cubicIncrement(eval, m2, *w2, kappa, square, tmp);
        eval.add(*w2, tmp, work2);
        w2 = &work2;
        eval.add(*o2, tmp, out2);
        o2 = &out2;
        bound = nextBound(bound, ratio);
    }
    // Without a step (an infinite ratio needs none), the outs are copies of the levelled operands.
    if (o1 != &out1)
        out1 = *o1;
    if (o2 != &out2)
        out2 = *o2;
    for (Ciphertext* c : {&work1, &work2, &tmp, &square, a1, a2})
        if (c != nullptr)
            ws.give(*c);
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
    // The value returned is a copy of op, its slots and bookkeeping replaced by the steps.
    const Plan plan = planSteps(btp, "approxDomainExtension", base_range, extended_range, ratio);
    Ciphertext out(op);
    detail::Workspace ws(eval.context);
    extend(eval, btp, op, plan, ratio, out, ws);
    return out;
}

void approxDomainExtensionPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                               const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, double base_range,
                               double extended_range, double ratio) {
    const Plan plan = planSteps(btp, "approxDomainExtensionPair", base_range, extended_range, ratio);
    // The outputs, which may be the operands, are written once the steps are complete, each as the copy of its
    // operand the steps would have run in: a call that fails or is interrupted on the way leaves them as they were.
    const detail::CopyOrigin origin1(op1);
    const detail::CopyOrigin origin2(op2);
    detail::Workspace ws(eval.context);
    Ciphertext& out1 = ws.take();
    Ciphertext& out2 = ws.take();
    extendPair(eval, btp, op1, op2, plan, ratio, out1, out2, ws);
    detail::writeAsCopy(res1, origin1, out1);
    detail::writeAsCopy(res2, origin2, out2);
}

Ciphertext approxDomainExtensionInverse(const HomEvaluator& eval, const Ciphertext& op, u64 order, double ratio) {
    detail::Workspace ws(eval.context);
    Ciphertext res = ws.fresh();
    detail::approxDomainExtensionInverse(eval, op, order, ratio, res, ws);
    return res;
}

namespace detail {

void approxDomainExtension(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, double base_range,
                           double extended_range, double ratio, Ciphertext& out, Workspace& ws) {
    const Plan plan = planSteps(btp, "approxDomainExtension", base_range, extended_range, ratio);
    extend(eval, btp, op, plan, ratio, out, ws);
}

void approxDomainExtensionPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                               const Ciphertext& op2, double base_range, double extended_range, double ratio,
                               Ciphertext& out1, Ciphertext& out2, Workspace& ws) {
    const Plan plan = planSteps(btp, "approxDomainExtensionPair", base_range, extended_range, ratio);
    extendPair(eval, btp, op1, op2, plan, ratio, out1, out2, ws);
}

void approxDomainExtensionInverse(const HomEvaluator& eval, const Ciphertext& op, u64 order, double ratio,
                                  Ciphertext& res, Workspace& ws) {
    const double k2 = 2.0 * static_cast<double>(order);
    const double a = ((1.0 - 1.0 / std::pow(ratio, k2)) * 0.14814814814814814) / (1.0 - 1.0 / (ratio * ratio));
    const double b =
        ((1.0 - 1.0 / std::pow(ratio, k2 + 2.0)) * (a * 0.4444444444444444)) / (1.0 - 1.0 / std::pow(ratio, 4.0));
    const double d = (a + b) + 0.1;

    Ciphertext& x2 = ws.take();
    Ciphertext& t = ws.take();
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
    ws.give(x2);
    ws.give(t);
}

} // namespace detail

} // namespace Morvane::Math
