#include "morvane/math/Sigmoid.hpp"

#include "morvane/core/Context.hpp"
#include "morvane/math/Chebyshev.hpp"
#include "morvane/math/Checks.hpp"
#include "morvane/math/DomainExtension.hpp"
#include "morvane/math/Iteration.hpp"
#include "morvane/math/Refresh.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace Morvane::Math {

namespace {

Complex real(double value) { return Complex(value, 0.0); }

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

    // 1/(1 + e^(-8t)) on [-1, 1] to within about 2e-6.
    static const tools::ChebyshevCoefficients upToEight{
        {0.5, 0.62123264183, -5.3941969836e-13, -0.17178520637,
         -3.7176052794e-13, 0.07790732142, -1.8958217447e-13, -0.047051749086,
         -4.8834613073e-13, 0.029789607502, -7.6802306362e-13, -0.014048292368,
         -5.293308812e-13, 0.0070259985341, -2.6994317157e-13, -0.0043448160748,
         -3.3967546325e-13, 0.0013865129501, -5.3203071514e-13, -0.00065426847948,
         -3.6665570839e-13, 0.00032740081124, -1.8697527574e-13, -0.00020249273677,
         -1.9379313919e-13, 0.00012847458032, -2.1994668831e-13, -5.9697116785e-05,
         -9.7516525243e-14, 2.7734640887e-05, -2.5065537027e-14, -1.6437154129e-05},
        8, 4, 3, 2, 5, 0};
    // 1/(1 + e^(-16t)) on [-1, 1] to within about 7.3e-4.
    static const tools::ChebyshevCoefficients aboveEight{
        {0.50000000013, 0.65564449524, 2.0320263616e-10, -0.22667160326,
         1.4014957067e-10, 0.14322647722, 7.1501856657e-11, -0.11585667187,
         1.8541132744e-10, 0.093231934917, 2.9191383254e-10, -0.066467431454,
         2.0134159293e-10, 0.051191960181, 1.0272353893e-10, -0.044210622205,
         1.2579596392e-10, 0.019964124116, 1.9670709687e-10, -0.013766868929,
         1.3566478124e-10, 0.010685430732, 6.9212388629e-11, -0.009256178937,
         6.8624148147e-11, 0.0074715571838, 7.5663173993e-11, -0.0050585902075,
         3.178747037e-11, 0.0034228415038, 7.3682167759e-12, -0.0042777834511},
        8, 4, 3, 2, 5, 0};

    // A NaN range counts as at most 8.
    const bool wide = range > 8.0;
    const tools::ChebyshevCoefficients& record = wide ? aboveEight : upToEight;
    Ciphertext x = tools::linearTransform(eval, btp, op, wide ? tools::InputInterval{-16.0, 16.0}
                                                              : tools::InputInterval{-8.0, 8.0});
    // Also without a bootstrapper ready for these slots: the bootstrap then fails with its own message.
    tools::refreshIfBelow(btp, x, record.level_cost);
    res = tools::evaluateChebyshevExpansion(eval, btp, x, record, 1.0);
}

void approxSigmoidWide(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                       double domain_range) {
    constexpr std::string_view name = "approxSigmoidWide";
    checkBootstrappableParameter(eval, name);
    checkBootstrapReady(btp, name, op.getLogSlots());
    checkAvailableMult(btp, name, 8);
    checkLevelOfInput(name, op, btp.getMinLevelForBootstrap() + 2);
    checkRightEnd(name, domain_range, 52776558133248.0);
    detail::checkFinite(name, "domain_range", domain_range);

    // Shrinking steps of ratio 2 from 2^k down to 1: none up to 48.
    const u64 k = static_cast<u64>(std::ceil(std::log2(std::max(domain_range / 48.0, 1.0))));
    Ciphertext x(eval.context, false);
    eval.mult(op, real(1.0 / 48.0), x);
    if (k != 0) {
        x = approxDomainExtension(eval, btp, x, 1.0, std::pow(2.0, static_cast<double>(k)), 2.0);
        tools::refreshIfBelow(btp, x, 3);
        x = approxDomainExtensionInverse(eval, x, k, 2.0);
    }
    miniMaxSigmoid(eval, btp, x, res);
}

void miniMaxSigmoid(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res) {
    // 1/(1 + e^(-48t)) on [-1, 1] to within about 2e-8: odd Chebyshev terms plus 1/2, from a minimax fit.
    static const tools::ChebyshevCoefficients record{{
#include "morvane/math/tables/MiniMaxSigmoidCoefficients.inc"
                                                     },
                                                     16, 16, 4, 4, 8, 1};
    Ciphertext x = op;
    tools::refreshIfBelow(btp, x, record.level_cost);
    res = tools::evaluateChebyshevExpansion(eval, btp, x, record, 1.0);
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

    // p(x) = ((a4 x^4 + (a3 + e3 x) x^2 + (a2 + e2 x)) x^4 + (a1 + e1 x) x^2 + (a0 x + c0), close to (x + |x|)/2.
    constexpr double a4 = -3.11779341, e3 = 1.61648617e-14, a3 = 6.85988028, e2 = -2.6411996e-14;
    constexpr double a2 = -5.18168132, e1 = 1.07844409e-14, a1 = 1.90490472, a0 = 0.5, c0 = 0.0173448638;

    Ciphertext x = op;
    if (ready)
        tools::refreshIfBelow(btp, x, 4);
    Ciphertext x2(context, false);
    Ciphertext x4(context, false);
    Ciphertext w(context, false);
    eval.square(x, x2);
    eval.square(x2, x4);
    eval.mult(x4, real(a4), res);
    eval.mult(x, real(e3), w);
    eval.add(w, real(a3), w);
    eval.mult(w, x2, w);
    eval.add(res, w, res);
    eval.mult(x, real(e2), w);
    eval.add(w, real(a2), w);
    eval.add(res, w, res);
    eval.mult(res, x4, res);
    eval.mult(x, real(e1), w);
    eval.add(w, real(a1), w);
    eval.mult(w, x2, w);
    eval.add(res, w, res);
    eval.mult(x, real(a0), w);
    eval.add(w, real(c0), w);
    eval.add(res, w, res);
}

} // namespace Morvane::Math
