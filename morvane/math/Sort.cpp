#include "morvane/math/Sort.hpp"

#include "morvane/core/Interrupt.hpp"
#include "morvane/math/Checks.hpp"
#include "morvane/math/Comparison.hpp"
#include "morvane/math/Refresh.hpp"
#include "morvane/math/detail/Sign.hpp"
#include "morvane/math/detail/Toolbox.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

namespace Morvane::Math {

namespace {

// The comparison of the network: six g steps and three f steps.
constexpr u64 kGreaterThanG = 6;
constexpr u64 kGreaterThanF = 3;

// Rotation amounts are the distance sign-extended to 64 bits.
u64 rotation(int d) { return static_cast<u64>(static_cast<i64>(d)); }

// Fills `msg` block by block: `first` on blocks 0, 2, 4, ... of `block` slots and `second` on the others.
void fillAlternating(Message& msg, u64 block, Complex first, Complex second) {
    const u64 n = msg.getSize();
    Complex* slots = msg.begin();
    bool even = true;
    // A block at or above n ends the loop after one pass, so start + block never wraps.
    for (u64 start = 0; start < n; start += block, even = !even)
        std::fill(slots + start, slots + start + std::min(block, n - start), even ? first : second);
}

Message flipMask(u64 log_slots, int d) {
    if (d <= 0 || d > INT_MAX / 2)
        detail::fail("flipCtxt", "d must be in [1, " + std::to_string(INT_MAX / 2) + "].");
    Message mask(log_slots);
    fillAlternating(mask, 2 * static_cast<u64>(d), Complex(-1.0, 0.0), Complex(1.0, 0.0));
    return mask;
}

// A mask holds 2^log_slots slots. Where that is more than the ciphertext holds, no bootstrapper is ready for
// log_slots (none is beyond the full slot count), and the first comparison refuses the call: it is refused with
// that comparison's checks before any mask is made, as a log_slots of 30 would ask for 16 GiB of masks.
void checkMaskSlots(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& x) {
    const u64 logSlots = x.getLogSlots();
    if (logSlots < 64 && (u64{1} << logSlots) <= x.message().getSize())
        return;
    constexpr std::string_view comparison = "approxGreaterThan";
    checkBootstrappableParameter(eval, comparison);
    checkBootstrapReady(btp, comparison, logSlots);
}

// out = in times the mask, which first follows in to its device; out may be in.
void multiplyByMask(const HomEvaluator& eval, const Ciphertext& in, Message& mask, Ciphertext& out) {
    mask.to(in.getDevice());
    eval.mult(in, mask, out);
}

// The temporaries of the compare-exchanges, made once per sort and reused by every one, and the value sorted.
struct SortWorkspace {
    explicit SortWorkspace(const Context& context)
        : value(context, false), rotated(context, false), greater(context, false), signWork(context, false),
          lower(context, false), upper(context, false), sign(context) {
        pair.emplace_back(context, false);
        pair.emplace_back(context, false);
    }

    // The caller's ciphertext is written once from this, when the sort is complete.
    Ciphertext value;
    Ciphertext rotated;
    Ciphertext greater;
    Ciphertext signWork;
    Ciphertext lower;
    Ciphertext upper;
    std::vector<Ciphertext> pair;
    detail::SignWorkspace sign;
};

void compForSort(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& x, const Message& mask, int d,
                 Ciphertext& out, SortWorkspace& ws) {
    Ciphertext& r = ws.rotated;
    eval.leftRotate(x, rotation(d), r);
    tools::refreshIfBelow(btp, r, 1);
    eval.mult(r, mask, r);
    detail::approxGreaterThan(eval, btp, x, r, out, kGreaterThanG, kGreaterThanF, ws.signWork, ws.sign);
}

// One compare-exchange from `in` into out, which in may be; in is read until out's first write.
void twoSort(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& in, Ciphertext& out, int d,
             bool ascent, Message& mask, SortWorkspace& ws) {
    mask.to(in.getDevice());
    const Ciphertext& x = tools::refreshIfBelow(btp, in, out, 3) ? out : in;
    compForSort(eval, btp, x, mask, d, ws.greater, ws);
    tools::refreshIfBelow(btp, ws.greater, 1);
    eval.mult(x, mask, ws.lower);
    eval.leftRotate(x, rotation(d), out);
    eval.mult(out, mask, ws.upper);
    twoSubSort(eval, ws.lower, ws.upper, ws.greater, ascent, ws.pair);
    assembleSlot(eval, ws.pair, rotation(d), out);
}

} // namespace

Message genMasks(u64 log_slots, u64 d) {
    if (d == 0)
        detail::fail("genMasks", "d must be positive.");
    Message mask(log_slots);
    fillAlternating(mask, d, Complex(1.0, 0.0), Complex(0.0, 0.0));
    return mask;
}

void flipCtxt(const HomEvaluator& eval, Ciphertext& ctxt, int d) {
    Message mask = flipMask(ctxt.getLogSlots(), d);
    multiplyByMask(eval, ctxt, mask, ctxt);
}

void compForSort(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& x, const Message& mask, int d,
                 Ciphertext& out) {
    Ciphertext r(eval.context, false);
    eval.leftRotate(x, rotation(d), r);
    tools::refreshIfBelow(btp, r, 1);
    eval.mult(r, mask, r);
    approxGreaterThan(eval, btp, x, r, out, kGreaterThanG, kGreaterThanF);
}

void twoSubSort(const HomEvaluator& eval, const Ciphertext& a, const Ciphertext& b, const Ciphertext& g, bool ascent,
                std::vector<Ciphertext>& v) {
    if (v.size() < 2)
        detail::fail("twoSubSort", "v must hold two ciphertexts.");
    // The larger element goes where it moves: up when ascending, to the lower index otherwise.
    Ciphertext& larger = ascent ? v[1] : v[0];
    Ciphertext& smaller = ascent ? v[0] : v[1];
    eval.sub(a, b, larger);
    eval.mult(g, larger, larger);
    eval.add(larger, b, larger);
    eval.add(a, b, smaller);
    eval.sub(smaller, larger, smaller);
}

void assembleSlot(const HomEvaluator& eval, std::vector<Ciphertext>& v, u64 d, Ciphertext& out) {
    if (v.empty())
        detail::fail("assembleSlot", "v must not be empty.");
    // A copy, not a first sum from v[0]: out takes v[0]'s context and flags, and an out that is an element of v
    // is overwritten before it is summed.
    out = v[0];
    for (u64 i = 1; i < v.size(); ++i) {
        eval.rightRotate(v[i], i * d, v[i]);
        eval.add(out, v[i], out);
    }
}

void twoSort(const HomEvaluator& eval, const Bootstrapper& btp, Ciphertext& x, int d, bool ascent) {
    checkMaskSlots(eval, btp, x);
    Message mask = genMasks(x.getLogSlots(), rotation(d));
    SortWorkspace ws(eval.context);
    // x is written once the exchange is complete: a call that fails or is interrupted on the way leaves it as it
    // was. Its last write, a copy, gave it the bookkeeping of the evaluator's ciphertexts, which the value has.
    twoSort(eval, btp, x, ws.value, d, ascent, mask, ws);
    x = std::move(ws.value);
}

void unitSort(const HomEvaluator& eval, const Bootstrapper& btp, Ciphertext& op, Ciphertext& res, int n, bool ascent,
              bool only_last_stage) {
    const u64 logSlots = op.getLogSlots();
    // Beyond the slot count the rotations would wrap around and pair slots with themselves.
    if (n > 1 && logSlots < 31 && static_cast<u64>(n) > (u64{1} << logSlots))
        detail::fail("unitSort", "n must be <= " + std::to_string(u64{1} << logSlots) + ", the number of slots.");
    if (n > 1)
        checkMaskSlots(eval, btp, op);
    if (n <= 1) {
        res = op;
        return;
    }
    const int stages = static_cast<int>(std::ceil(std::log2(static_cast<double>(n))));

    // The network works in the workspace's value, reading op until its first write. res, which may be op, is
    // written once the sort is complete: a call that fails or is interrupted on the way leaves it as it was.
    SortWorkspace ws(eval.context);
    Ciphertext& value = ws.value;
    const Ciphertext* x = &op;
    // Each distance and each block size has one mask, made on its first use.
    std::vector<std::optional<Message>> selections(static_cast<std::size_t>(stages));
    std::vector<std::optional<Message>> flips(static_cast<std::size_t>(stages));
    const auto flip = [&](int stage) {
        std::optional<Message>& mask = flips[static_cast<std::size_t>(stage)];
        if (!mask)
            mask = flipMask(logSlots, 1 << stage);
        if (tools::refreshIfBelow(btp, *x, value, 1))
            x = &value;
        multiplyByMask(eval, *x, *mask, value);
        x = &value;
    };

    for (int i = only_last_stage ? stages - 1 : 0; i < stages; ++i) {
        const bool last = i == stages - 1;
        // Negated blocks sort the other way, which makes the bitonic sequences of the next stage.
        if (!last)
            flip(i);
        for (int j = i; j >= 0; --j) {
            // n is the caller's: an installed interrupt check may end the sort between compare-exchanges.
            utils::pollInterrupt();
            std::optional<Message>& mask = selections[static_cast<std::size_t>(j)];
            if (!mask)
                mask = genMasks(x->getLogSlots(), rotation(1 << j));
            twoSort(eval, btp, *x, value, 1 << j, ascent, *mask, ws);
            x = &value;
        }
        if (!last)
            flip(i);
    }
    // The last compare-exchange ends in a copy that gave the value the bookkeeping of the evaluator's ciphertexts,
    // which res takes with it.
    res = std::move(value);
}

} // namespace Morvane::Math
