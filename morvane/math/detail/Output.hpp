#pragma once

// Library-internal: the outputs of a call that iterates in working ciphertexts, written once the call is complete.

#if !defined(MORVANE_LAYER_MATH)
#error "morvane/math/detail/Output.hpp is internal to the math layer: include the public headers"
#endif

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/Types.hpp"

#include <utility>

namespace Morvane::Math::detail {

// What an output that starts as a copy of an operand keeps of it through the operations that write it: the
// context, prime count and extended flag, which no operation changes. Taken before any output is written, since
// an output may be another operand.
struct CopyOrigin {
    explicit CopyOrigin(const Ciphertext& operand)
        : context(operand.context()), numPrimes(operand.getPoly(0).numPrimes), isExtended(operand.isModUp()) {}

    Context context;
    u64 numPrimes;
    bool isExtended;
};

// res = value, as if res had been a copy of the operand `origin` describes and the operations had written value
// into it: the bookkeeping of `origin`, and value's slots (moved, not copied), device, size, level, log slots and
// rescale counter. value, a working ciphertext, takes the slot vector res had, for the workspace to keep. Nothing
// here throws, so res is either as it was or complete.
inline void writeAsCopy(Ciphertext& res, const CopyOrigin& origin, Ciphertext& value) noexcept {
    CiphertextImpl& out = res.impl();
    const CiphertextImpl& in = value.impl();
    out.context = origin.context;
    out.log_slots = in.log_slots;
    out.rescale_counter = in.rescale_counter;
    out.size = in.size;
    out.poly.numPrimes = origin.numPrimes;
    out.poly.is_extended = origin.isExtended;
    out.poly.level = in.poly.level;
    out.poly.message.slots().swap(value.message().slots());
    out.poly.message.allocate(value.getDevice());
}

} // namespace Morvane::Math::detail
