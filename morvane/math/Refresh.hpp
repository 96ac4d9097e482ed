#pragma once

// Level refresh before a block of operations: the bootstrap-when-too-low rule every approximation follows.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"

namespace Morvane::Math::tools {

// Bootstraps `ctxt` in place, keeping the real parts, when its level is below the minimum level for
// bootstrapping plus `levels`, the levels the next block consumes. Returns whether it bootstrapped.
inline bool refreshIfBelow(const Bootstrapper& btp, Ciphertext& ctxt, u64 levels) {
    if (ctxt.getLevel() >= btp.getMinLevelForBootstrap() + levels)
        return false;
    btp.bootstrap(ctxt, ctxt, false);
    return true;
}

} // namespace Morvane::Math::tools
