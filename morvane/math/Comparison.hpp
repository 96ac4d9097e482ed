#pragma once

// Comparison, minimum and maximum, and discrete equality, built on the approximate sign.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

namespace Morvane::Math {

// res ~ 1 where a slot of op is positive and ~ 0 where it is negative, for inputs in
// [-2^log_range, 2^log_range], log_range at most 38. res may be op.
void approxGreaterThanZero(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                           u64 num_iter_g, u64 num_iter_f, u64 log_range);

// The pair form, bootstrapped together. Outputs may be inputs.
void approxGreaterThanZeroPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                               const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, u64 num_iter_g,
                               u64 num_iter_f, u64 log_range);

// res ~ 1 where op1 > op2 and ~ 0 where op1 < op2, for op1 - op2 in [-1, 1]. res may be either input.
void approxGreaterThan(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                       Ciphertext& res, u64 num_iter_g, u64 num_iter_f);

// The slot-wise minimum and maximum of op1 and op2, for op1 - op2 in [-1, 1]. Either output may be either input.
void approxMinMax(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                  Ciphertext& min, Ciphertext& max, u64 num_iter_g, u64 num_iter_f);

// res ~ 1 where a slot of op is 0 and ~ 0 where it is another multiple of 2^log_dist, for inputs in
// [-2^log_range, 2^log_range]; log_range at most 40, log_dist from -12 to 0. res may be op.
void approxDiscreteEqualZero(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                             u64 log_range, i64 log_dist);

// approxDiscreteEqualZero of op1 - op2. res may be either input.
void approxDiscreteEqual(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                         const Ciphertext& op2, Ciphertext& res, u64 log_range, i64 log_dist);

} // namespace Morvane::Math
