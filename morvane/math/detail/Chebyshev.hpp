#pragma once

// Library-internal: the Chebyshev tools on the workspace of the calling function.

#if !defined(MORVANE_LAYER_MATH)
#error "morvane/math/detail/Chebyshev.hpp is internal to the math layer: include the public headers"
#endif

#include "morvane/core/Ciphertext.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"
#include "morvane/math/Chebyshev.hpp"
#include "morvane/math/detail/Workspace.hpp"

namespace Morvane::Math::detail {

// tools::linearTransform with its checks, its operations writing `out` (a working ciphertext, or op itself to
// transform in place). Returns the transformed value: out, or op when the interval asks for no operation.
const Ciphertext& linearTransformInto(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                      const tools::InputInterval& interval, Ciphertext& out);

// tools::evaluateChebyshevExpansion with its working ciphertexts from `ws`; op must stay unchanged until it
// returns. The value is a working ciphertext of ws, for the caller to deliver.
Ciphertext& evaluateChebyshevExpansion(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                       const tools::ChebyshevCoefficients& coeffs, double multiplier, Workspace& ws);

} // namespace Morvane::Math::detail
