#pragma once

// Library-internal helpers of the iterative approximations: refusing non-finite options, which would reach
// integer conversions or loops that never end, counting the steps an error bound asks for, and multiplying by
// a decomposed constant.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Exception.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/HomEvaluator.hpp"
#include "morvane/math/DomainExtension.hpp"

#include <cmath>
#include <string>
#include <string_view>

namespace Morvane::Math::detail {

// "[<name>] <option> must be finite" unless value is a finite number.
inline void checkFinite(std::string_view name, std::string_view option, double value) {
    if (!std::isfinite(value))
        throw RuntimeException("[" + std::string(name) + "] " + std::string(option) + " must be finite");
}

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

// res = op * mantissa, then count times * 2^-26, so that no product uses a constant of magnitude 1e-8 or less.
inline void multDecomposed(const HomEvaluator& eval, const Ciphertext& op, const DecomposedConstant& constant,
                           Ciphertext& res) {
    eval.mult(op, Complex(constant.mantissa, 0.0), res);
    for (u64 i = 0; i < constant.count; ++i)
        eval.mult(res, Complex(tools::kDecompositionFactor, 0.0), res);
}

} // namespace Morvane::Math::detail
