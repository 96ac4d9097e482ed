#pragma once

// Chebyshev tools: the linear map of an interval onto [-1, 1] and the baby-step giant-step evaluation of a fixed
// polynomial stored in Chebyshev block form.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

#include <cstdint>
#include <vector>

namespace Morvane::Math::tools {

// A polynomial P(t) = sum over blocks k of B_k(t) * prod over the set bits i of k of T_(num_bs * 2^i)(t), where
// block k holds the Chebyshev coefficients of B_k at positions k * num_bs ... k * num_bs + num_bs - 1 (the last
// block may be shorter).
struct ChebyshevCoefficients {
    std::vector<double> coefficients;
    u64 num_bs;     // baby steps: the basis T_0 ... T_(num_bs - 1) and the length of a block; at least 2
    u64 num_gs;     // blocks
    u64 log_bs;     // log2 num_bs; informational
    u64 log_gs;     // giant-step polynomials T_(num_bs * 2^i), i < log_gs; at least ceil(log2 num_gs)
    u64 level_cost; // levels the evaluation consumes, the input level it needs
    // 0: the basis holds every T_i. 1: only odd and power-of-two indices (odd polynomials plus a constant);
    // the coefficients of the other even indices must then be negligible.
    std::int32_t basis_type;
};

struct InputInterval {
    double left;
    double right;
};

// (x - (left + right) / 2) * 2 / (right - left): at most one constant subtraction and one constant product.
Ciphertext linearTransform(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                           const InputInterval& interval);

// multiplier * P(op) for slots in [-1, 1]; consumes coeffs.level_cost levels and never bootstraps. The record is
// validated before the first operation.
Ciphertext evaluateChebyshevExpansion(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                      const ChebyshevCoefficients& coeffs, double multiplier);

} // namespace Morvane::Math::tools
