#pragma once

// Sigmoid and ReLU: Chebyshev expansions of the sigmoid on narrow and (through domain extension) wide ranges, and
// a fixed degree-8 polynomial for max(x, 0).

#include "morvane/core/Ciphertext.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

namespace Morvane::Math {

// 1/(1 + e^-x) for slots in [-range, range], range at most 16: a 32-coefficient expansion on [-8, 8], or on
// [-16, 16] for ranges above 8.
void approxSigmoid(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                   double range);

// 1/(1 + e^-x) for slots in [-domain_range, domain_range], domain_range at most 3 * 2^44: scaled by 1/48, shrunk
// into [-1, 1] by domain extension when domain_range exceeds 48, mapped back near zero, then miniMaxSigmoid.
void approxSigmoidWide(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                       double domain_range);

// 1/(1 + e^(-48 t)) for slots t in [-1, 1], by a 256-coefficient minimax expansion; no input checks of its own.
void miniMaxSigmoid(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res);

// max(x, 0) for slots in [-1, 1] to within about 0.0173; four levels.
void approxReLU(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res);

} // namespace Morvane::Math
