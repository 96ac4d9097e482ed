#pragma once

// Level refresh before a block of operations, the bootstrap-when-too-low rule every approximation follows, and the
// common level of two ciphertexts that are refreshed together.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

namespace Morvane::Math::tools {

// Whether ctxt's level is below the minimum level for bootstrapping plus `levels`, the levels the next block
// consumes.
inline bool needsRefresh(const Bootstrapper& btp, const Ciphertext& ctxt, u64 levels) {
    return ctxt.getLevel() < btp.getMinLevelForBootstrap() + levels;
}

// Bootstraps `in` into `out`, keeping the real parts, when it needs a refresh for `levels`. Returns whether it
// bootstrapped.
inline bool refreshIfBelow(const Bootstrapper& btp, const Ciphertext& in, Ciphertext& out, u64 levels) {
    if (!needsRefresh(btp, in, levels))
        return false;
    btp.bootstrap(in, out, false);
    return true;
}

// The same in place.
inline bool refreshIfBelow(const Bootstrapper& btp, Ciphertext& ctxt, u64 levels) {
    return refreshIfBelow(btp, ctxt, ctxt, levels);
}

// Levels the higher of a and b down to the other's level ("Level down"), so that they can be packed into one
// complex ciphertext.
inline void levelToLower(const HomEvaluator& eval, Ciphertext& a, Ciphertext& b) {
    if (a.getLevel() < b.getLevel())
        eval.levelDown(b, a.getLevel(), b);
    else if (a.getLevel() > b.getLevel())
        eval.levelDown(a, b.getLevel(), a);
}

} // namespace Morvane::Math::tools
