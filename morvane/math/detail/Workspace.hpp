#pragma once

// Library-internal: the working ciphertexts of one math call.

#if !defined(MORVANE_LAYER_MATH)
#error "morvane/math/detail/Workspace.hpp is internal to the math layer: include the public headers"
#endif

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Context.hpp"

#include <utility>
#include <vector>

namespace Morvane::Math::detail {

// The working ciphertexts of one call, shared by all of its steps. A step takes one, writes it before reading it
// and gives it back once its value is dead; a later step gets it again instead of a new one, so a call holds only
// as many full-size slot vectors as it has values alive at once.
//
// Every working ciphertext is made as Ciphertext(context, false) and only ever written by the evaluator and the
// bootstrapper, which set its slots, size, level, log slots, rescale counter and device from their operands: after
// its first write a reused one holds exactly what a fresh one would, down to the context, prime count and extended
// flag that no operation changes. Never copy a caller's ciphertext into one (nor let an operation that copies its
// operand, a rotation by 0 or a product by the integer 1, write one from it): that brings the caller's context and
// flags along.
//
// A new ciphertext that a call hands to its caller is written by the call's last operation and made right before
// it, after every working one: the allocator returns freed memory to the system only from the top of its heap, so
// working slot vectors freed below the live result can stay with it for the next call instead of being faulted in
// anew.
class Workspace {
public:
    explicit Workspace(const Context& context) : context_(context) { free_.reserve(16); }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    // The most recently given back one, or a new one.
    Ciphertext take() {
        if (free_.empty())
            return fresh();
        Ciphertext ctxt(std::move(free_.back()));
        free_.pop_back();
        return ctxt;
    }

    // A new one, never a reused one: for a value read before anything writes it (its zero slots), and for the new
    // ciphertext a call returns.
    Ciphertext fresh() const { return Ciphertext(context_, false); }

    // `ctxt` must not be used afterwards.
    void give(Ciphertext&& ctxt) { free_.push_back(std::move(ctxt)); }

private:
    const Context& context_;
    std::vector<Ciphertext> free_;
};

} // namespace Morvane::Math::detail
