#pragma once

// Library-internal: the domain extension and its inverse on the workspace of the calling function.

#if !defined(MORVANE_LAYER_MATH)
#error "morvane/math/detail/DomainExtension.hpp is internal to the math layer: include the public headers"
#endif

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"
#include "morvane/math/detail/Workspace.hpp"

namespace Morvane::Math::detail {

// approxDomainExtension of op written into `out`, which may be op; the other working ciphertexts come from `ws`.
// op is read, never copied, until the values that replace it are written.
void approxDomainExtension(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, double base_range,
                           double extended_range, double ratio, Ciphertext& out, Workspace& ws);

// approxDomainExtensionPair of op1 and op2 written into out1 and out2, working ciphertexts of the caller apart from
// the operands; the other working ciphertexts come from `ws`. A call that fails leaves the outs partly written.
void approxDomainExtensionPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                               const Ciphertext& op2, double base_range, double extended_range, double ratio,
                               Ciphertext& out1, Ciphertext& out2, Workspace& ws);

// approxDomainExtensionInverse of op written into `res`, which must not be op.
void approxDomainExtensionInverse(const HomEvaluator& eval, const Ciphertext& op, u64 order, double ratio,
                                  Ciphertext& res, Workspace& ws);

} // namespace Morvane::Math::detail
