#pragma once

// The input checks of the approximation functions: each throws RuntimeException "[<name>] ..." or returns.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

#include <string_view>

namespace Morvane::Math {

// `name` is the calling function's own name; it opens every message in brackets.

// The evaluator's context must be bootstrappable.
void checkBootstrappableParameter(const HomEvaluator& eval, std::string_view name);
// A full-slot bootstrap must leave at least n levels above the minimum level for bootstrapping.
void checkAvailableMult(const Bootstrapper& btp, std::string_view name, u64 n);
void checkLevelOfInput(std::string_view name, const Ciphertext& ctxt, u64 n);
// The input must stand at the minimum level for bootstrapping plus one, or higher.
void checkLevelForBootstrapExtended(const Bootstrapper& btp, std::string_view name, const Ciphertext& ctxt);
// The input must stand at the minimum level for bootstrapping, or higher.
void checkLevelForBootstrap(const Bootstrapper& btp, std::string_view name, const Ciphertext& ctxt);
void checkLogRange(std::string_view name, u64 log_range, u64 max);
void checkBootstrapReady(const Bootstrapper& btp, std::string_view name, u64 log_slots);
// Ready for log_slots (with checkBootstrapReady's message), then for the full slot count.
void checkBootstrapExtendedReady(const Bootstrapper& btp, std::string_view name, u64 log_slots, u64 log_full_slots);
// Ordered comparisons: a NaN end passes.
void checkRightEnd(std::string_view name, double right_end, double max);
void checkLeftEnd(std::string_view name, double left_end, double min);

} // namespace Morvane::Math
