#pragma once

// Library-internal: the rules of the iterative approximations: the error models of the Newton steps, counting
// the steps an error bound asks for and the bound that asks for a given count, and multiplying by a decomposed
// constant. The Python binding and the benchmarks derive their error bounds from the same models.

#if !defined(MORVANE_LAYER_MATH) && !defined(MORVANE_LAYER_PYTHON)
#error "morvane/math/detail/Iteration.hpp is internal to the math and python layers: include the public headers"
#endif

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/HomEvaluator.hpp"
#include "morvane/math/DomainExtension.hpp"

#include <cmath>

namespace Morvane::Math::detail {

// The worst relative error e of a Newton step for 1/x becomes e^2.
inline double inverseErrorStep(double e) { return e * e; }
// The same for 1/sqrt(x): 1.5 e^2 - 0.5 e^3, in the form the step count is made with.
inline double sqrtInverseErrorStep(double e) { return e - (1.0 - e) * e * (1.0 - 0.5 * e); }

// How many times `step` must be applied to the error estimate e until it falls below `error`. Counting ends
// early at a step that no longer decreases e (a bound of 0 or less, a bound below what doubles reach, or a start
// outside the range of convergence); convergent estimates are not affected.
template <typename Step>
u64 countSteps(double e, double error, Step step) {
    u64 n = 0;
    while (e >= error) {
        const double next = step(e);
        if (!(next < e))
            break;
        e = next;
        ++n;
    }
    return n;
}

// e after n applications of `step`. Both error models settle on a fixed point in doubles (0, 1, 2, an infinity
// or NaN), after which every further step changes nothing: the loop ends there with the value all n steps would
// give, so a huge n does not keep the caller busy.
template <typename Step>
double errorAfterSteps(double e, u64 n, Step step) {
    for (u64 i = 0; i < n; ++i) {
        const double next = step(e);
        if (next == e || (std::isnan(next) && std::isnan(e)))
            break;
        e = next;
    }
    return e;
}

// The error bounds the Python binding passes for `steps` Newton steps from a start value of relative error e:
// the error after the steps (half of it for the inverse square root), never below 1e-100.
inline double inverseBoundForSteps(double e, u64 steps) {
    const double bound = errorAfterSteps(e, steps, inverseErrorStep);
    return bound > 1e-100 ? bound : 1e-100;
}
inline double sqrtInverseBoundForSteps(double e, u64 steps) {
    const double bound = 0.5 * errorAfterSteps(e, steps, sqrtInverseErrorStep);
    return bound > 1e-100 ? bound : 1e-100;
}

// res = op * mantissa, then count times * 2^-26, so that no product uses a constant of magnitude 1e-8 or less.
inline void multDecomposed(const HomEvaluator& eval, const Ciphertext& op, const DecomposedConstant& constant,
                           Ciphertext& res) {
    eval.mult(op, Complex(constant.mantissa, 0.0), res);
    for (u64 i = 0; i < constant.count; ++i)
        eval.mult(res, Complex(tools::kDecompositionFactor, 0.0), res);
}

} // namespace Morvane::Math::detail
