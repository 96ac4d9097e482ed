#include "morvane/math/Sigmoid.hpp"

#include "morvane/core/Context.hpp"
#include "morvane/math/Chebyshev.hpp"
#include "morvane/math/Checks.hpp"
#include "morvane/math/Refresh.hpp"
#include "morvane/math/detail/Chebyshev.hpp"
#include "morvane/math/detail/DomainExtension.hpp"
#include "morvane/math/detail/Toolbox.hpp"
#include "morvane/math/detail/Workspace.hpp"
#include "morvane/math/tables/Coefficients.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace Morvane::Math {

using detail::real;

namespace {

// miniMaxSigmoid of x, a working ciphertext of the call that it may refresh in place.
void miniMaxSigmoidInPlace(const HomEvaluator& eval, const Bootstrapper& btp, Ciphertext& x, Ciphertext& res,
                           detail::Workspace& ws) {
    const tools::ChebyshevCoefficients& record = tables::miniMaxSigmoid();
    tools::refreshIfBelow(btp, x, record.level_cost);
    ws.deliver(res, detail::evaluateChebyshevExpansion(eval, btp, x, record, 1.0, ws));
}

} // namespace

void approxSigmoid(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                   double range) {
    constexpr std::string_view name = "approxSigmoid";
    const Context& context = eval.context;
    if (isBootstrappableParameter(context) && btp.isBootstrapReady(op.getLogSlots()) &&
        btp.isBootstrapReady(getLogFullSlots(context))) {
        checkAvailableMult(btp, name, 6);
        checkLevelForBootstrapExtended(btp, name, op);
    } else {
        checkLevelOfInput(name, op, 6);
    }
    checkRightEnd(name, range, 16.0);

    // A NaN range counts as at most 8.
    const bool wide = range > 8.0;
    const tools::ChebyshevCoefficients& record = wide ? tables::sigmoidAboveEight() : tables::sigmoidUpToEight();
    detail::Workspace ws(context);
    Ciphertext& scaled = ws.take();
    const Ciphertext* x = &detail::linearTransformInto(
        eval, btp, op, wide ? tools::InputInterval{-16.0, 16.0} : tools::InputInterval{-8.0, 8.0}, scaled);
    // Also without a bootstrapper ready for these slots: the bootstrap then fails with its own message.
    if (tools::refreshIfBelow(btp, *x, scaled, record.level_cost))
        x = &scaled;
    ws.deliver(res, detail::evaluateChebyshevExpansion(eval, btp, *x, record, 1.0, ws));
}

void approxSigmoidWide(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                       double domain_range) {
    constexpr std::string_view name = "approxSigmoidWide";
    detail::checkPrelude(eval, btp, name, {&op}, detail::Readiness::Slots, 8);
    checkLevelOfInput(name, op, btp.getMinLevelForBootstrap() + 2);
    checkRightEnd(name, domain_range, 52776558133248.0);
    detail::checkFinite(name, "domain_range", domain_range);

    // Shrinking steps of ratio 2 from 2^k down to 1: none up to 48.
    const u64 k = static_cast<u64>(std::ceil(std::log2(std::max(domain_range / 48.0, 1.0))));
    detail::Workspace ws(eval.context);
    Ciphertext& x = ws.take();
    eval.mult(op, real(1.0 / 48.0), x);
    if (k != 0) {
        Ciphertext& shrunk = ws.take();
        detail::approxDomainExtension(eval, btp, x, 1.0, std::pow(2.0, static_cast<double>(k)), 2.0, shrunk, ws);
        tools::refreshIfBelow(btp, shrunk, 3);
        detail::approxDomainExtensionInverse(eval, shrunk, k, 2.0, x, ws);
        ws.give(shrunk);
    }
    miniMaxSigmoidInPlace(eval, btp, x, res, ws);
}

void miniMaxSigmoid(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res) {
    const tools::ChebyshevCoefficients& record = tables::miniMaxSigmoid();
    detail::Workspace ws(eval.context);
    // op itself is the input unless it needs a refresh.
    if (!tools::needsRefresh(btp, op, record.level_cost)) {
        ws.deliver(res, detail::evaluateChebyshevExpansion(eval, btp, op, record, 1.0, ws));
        return;
    }
    Ciphertext& x = ws.take();
    tools::refreshIfBelow(btp, op, x, record.level_cost);
    ws.deliver(res, detail::evaluateChebyshevExpansion(eval, btp, x, record, 1.0, ws));
}

void approxReLU(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res) {
    constexpr std::string_view name = "approxReLU";
    const Context& context = eval.context;
    const bool ready = btp.isBootstrapReady(op.getLogSlots());
    if (isBootstrappableParameter(context) && ready) {
        checkAvailableMult(btp, name, 4);
        checkLevelForBootstrap(btp, name, op);
    } else {
        checkLevelOfInput(name, op, 4);
    }

    const tables::ReluPolynomial& p = tables::kRelu;

    // op itself is read throughout unless it is refreshed first or res is op.
    detail::Workspace ws(context);
    const Ciphertext* x = &op;
    if ((ready && op.getLevel() < btp.getMinLevelForBootstrap() + 4) || &res == &op) {
        Ciphertext& copy = ws.take();
        copy = op;
        if (ready)
            tools::refreshIfBelow(btp, copy, 4);
        x = &copy;
    }
    Ciphertext& x2 = ws.take();
    Ciphertext& x4 = ws.take();
    Ciphertext& w = ws.take();
    eval.square(*x, x2);
    eval.square(x2, x4);
    eval.mult(x4, real(p.a4), res);
    eval.mult(*x, real(p.e3), w);
    eval.add(w, real(p.a3), w);
    eval.mult(w, x2, w);
    eval.add(res, w, res);
    eval.mult(*x, real(p.e2), w);
    eval.add(w, real(p.a2), w);
    eval.add(res, w, res);
    eval.mult(res, x4, res);
    eval.mult(*x, real(p.e1), w);
    eval.add(w, real(p.a1), w);
    eval.mult(w, x2, w);
    eval.add(res, w, res);
    eval.mult(*x, real(p.a0), w);
    eval.add(w, real(p.c0), w);
    eval.add(res, w, res);
}

} // namespace Morvane::Math
