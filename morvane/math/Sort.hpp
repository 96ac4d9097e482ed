#pragma once

// Slot sorting: a bitonic network whose compare-exchanges each compare all pairs of one distance at once.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

#include <vector>

namespace Morvane::Math {

// Writes into res the slots of op sorted in blocks of 2^s consecutive slots, 2^s the smallest power of two not
// below n (ascending, or descending unless `ascent`); op is only read and may be res. Inputs must lie in
// [-0.5, 0.5]. With only_last_stage, only the final merge runs, which sorts blocks that are already bitonic.
// n may not exceed the slot count; n of 1 or less copies op.
void unitSort(const HomEvaluator& eval, const Bootstrapper& btp, Ciphertext& op, Ciphertext& res, int n, bool ascent,
              bool only_last_stage);

// 2^log_slots slots: 1.0 where floor(i / d) is even, else 0.0, selecting the lower slot of every pair at distance d.
Message genMasks(u64 log_slots, u64 d);

// Multiplies ctxt in place by -1 on the even-numbered blocks of 2d slots and by 1 on the others.
void flipCtxt(const HomEvaluator& eval, Ciphertext& ctxt, int d);

// out ~ 1 where x_i > x_(i+d) on the slots that `mask` selects.
void compForSort(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& x, const Message& mask, int d,
                 Ciphertext& out);

// From a and b (the lower and upper element of every pair) and g ~ [a > b]: v[0] the element that stays at the
// lower index, v[1] the one that moves up; the minimum stays when `ascent`. v must hold two ciphertexts.
void twoSubSort(const HomEvaluator& eval, const Ciphertext& a, const Ciphertext& b, const Ciphertext& g, bool ascent,
                std::vector<Ciphertext>& v);

// out = v[0] + v[1] rotated right by d + v[2] rotated right by 2d + ...; rotates the elements of v in place.
void assembleSlot(const HomEvaluator& eval, std::vector<Ciphertext>& v, u64 d, Ciphertext& out);

// One compare-exchange of every pair at distance d, in place.
void twoSort(const HomEvaluator& eval, const Bootstrapper& btp, Ciphertext& x, int d, bool ascent);

} // namespace Morvane::Math
