#pragma once

// Library-internal: the sign iterations behind the sign, comparison, equality and sort functions, with the
// working ciphertexts their steps share.

#if !defined(MORVANE_LAYER_MATH)
#error "morvane/math/detail/Sign.hpp is internal to the math layer: include the public headers"
#endif

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"
#include "morvane/math/detail/Workspace.hpp"

#include <array>
#include <string_view>

namespace Morvane::Math::detail {

// The two temporaries of a cubic step, working ciphertexts of the call taken once and reused by every step.
struct SignWorkspace {
    explicit SignWorkspace(Workspace& ws) : square(ws.take()), quartic(ws.take()) {}
    Ciphertext& square;
    Ciphertext& quartic;
};

void evalSignCubicStep(const HomEvaluator& eval, const std::array<double, 4>& coefficients, const Ciphertext& x,
                       Ciphertext& out, double root, double factor, SignWorkspace& ws);

// The iterations of approxSignNative from `in`: every step and refresh but the last step writes `work`, the last
// step writes res. work may be in, to iterate in place; res may be in or work. A res that is in keeps its value
// until the last step, as if the iterations ran on a copy. With no step at all, res = multiplier * in.
void approxSignIterations(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& in, Ciphertext& work,
                          Ciphertext& res, u64 num_iter_g, u64 num_iter_f, double multiplier, SignWorkspace& ws);

// The checks of approxSign under `name`, for every function that takes its input range as log_range.
void checkSignInput(const HomEvaluator& eval, const Bootstrapper& btp, std::string_view name, const Ciphertext& op,
                    u64 log_range);
void checkSignPairInputs(const HomEvaluator& eval, const Bootstrapper& btp, std::string_view name,
                         const Ciphertext& op1, const Ciphertext& op2, u64 log_range);

// approxSign and approxSignPair after their checks, with the multiplier of the last step.
void approxSignOfRange(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                       u64 num_iter_g, u64 num_iter_f, u64 log_range, double multiplier);
void approxSignPairOfRange(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                           const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, u64 num_iter_g, u64 num_iter_f,
                           u64 log_range, double multiplier);

// The checks of two compared inputs: their readiness, the levels of the sign steps and their levels.
void checkComparedInputs(const HomEvaluator& eval, const Bootstrapper& btp, std::string_view name,
                         const Ciphertext& op1, const Ciphertext& op2);

// approxGreaterThan with the caller's temporaries, for callers that compare many times: `work` holds the sign
// iterations of the difference, which res keeps until the last step.
void approxGreaterThan(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                       Ciphertext& res, u64 num_iter_g, u64 num_iter_f, Ciphertext& work, SignWorkspace& ws);
// The same with its temporaries taken from `ws`.
void approxGreaterThan(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                       Ciphertext& res, u64 num_iter_g, u64 num_iter_f, Workspace& ws);

} // namespace Morvane::Math::detail
