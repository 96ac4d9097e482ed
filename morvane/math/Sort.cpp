#include "morvane/math/Sort.hpp"

#include "morvane/core/Interrupt.hpp"
#include "morvane/math/Checks.hpp"
#include "morvane/math/Comparison.hpp"
#include "morvane/math/Refresh.hpp"
#include "morvane/math/detail/Sign.hpp"
#include "morvane/math/detail/Toolbox.hpp"
#include "morvane/math/detail/Workspace.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
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

void checkFlipDistance(int d) {
    if (d <= 0 || d > INT_MAX / 2)
        detail::fail("flipCtxt", "d must be in [1, " + std::to_string(INT_MAX / 2) + "].");
}

void checkSelectionDistance(u64 d) {
    if (d == 0)
        detail::fail("genMasks", "d must be positive.");
}

void fillFlip(Message& mask, int d) {
    fillAlternating(mask, 2 * static_cast<u64>(d), Complex(-1.0, 0.0), Complex(1.0, 0.0));
}
void fillSelection(Message& mask, u64 d) { fillAlternating(mask, d, Complex(1.0, 0.0), Complex(0.0, 0.0)); }

// The masks of a call are working slot vectors: a mask of 2^log_slots slots is written into the slot vector of a
// working ciphertext when that has room for it, and otherwise into a new one, as the public functions make it.
bool fitsStorage(const Message& mask, u64 log_slots) {
    return log_slots < 64 && (u64{1} << log_slots) <= mask.slots().capacity();
}

// A mask of 2^log_slots slots in a working slot vector of ws, written by `fill`.
template <typename Fill>
Message& workingMask(detail::Workspace& ws, u64 log_slots, Fill&& fill) {
    Message& mask = ws.take().message();
    if (fitsStorage(mask, log_slots)) {
        mask.resize(u64{1} << log_slots);
        mask.allocate(getDefaultDevice());
    } else {
        mask = Message(log_slots);
    }
    fill(mask);
    return mask;
}

// The flip mask of flipCtxt for distance d in a working slot vector of ws.
Message& flipMask(detail::Workspace& ws, u64 log_slots, int d) {
    checkFlipDistance(d);
    return workingMask(ws, log_slots, [d](Message& mask) { fillFlip(mask, d); });
}

// genMasks(log_slots, d) in a working slot vector of ws.
Message& selectionMask(detail::Workspace& ws, u64 log_slots, u64 d) {
    checkSelectionDistance(d);
    return workingMask(ws, log_slots, [d](Message& mask) { fillSelection(mask, d); });
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

// The temporaries of the compare-exchanges, working ciphertexts of the call reused by every one, and the value
// sorted.
struct SortWorkspace {
    explicit SortWorkspace(detail::Workspace& ws)
        : value(ws.take()), rotated(ws.take()), greater(ws.take()), signWork(ws.take()), lower(ws.take()),
          upper(ws.take()), stays(ws.take()), moves(ws.take()), sign(ws) {}

    // The caller's ciphertext is written once from this, when the sort is complete.
    Ciphertext& value;
    Ciphertext& rotated;
    Ciphertext& greater;
    Ciphertext& signWork;
    Ciphertext& lower;
    Ciphertext& upper;
    // The elements of every pair that stay at the lower index and that move up.
    Ciphertext& stays;
    Ciphertext& moves;
    detail::SignWorkspace sign;
};

// twoSubSort into `stays` and `moves`, v[0] and v[1].
void subSort(const HomEvaluator& eval, const Ciphertext& a, const Ciphertext& b, const Ciphertext& g, bool ascent,
             Ciphertext& stays, Ciphertext& moves) {
    // The larger element goes where it moves: up when ascending, to the lower index otherwise.
    Ciphertext& larger = ascent ? moves : stays;
    Ciphertext& smaller = ascent ? stays : moves;
    eval.sub(a, b, larger);
    eval.mult(g, larger, larger);
    eval.add(larger, b, larger);
    eval.add(a, b, smaller);
    eval.sub(smaller, larger, smaller);
}

// assembleSlot of the n elements at(0) ... at(n - 1).
template <typename At>
void assemble(const HomEvaluator& eval, u64 n, At at, u64 d, Ciphertext& out) {
    // A copy, not a first sum from the first element: out takes its context and flags, and an out that is an
    // element is overwritten before it is summed.
    out = at(0);
    for (u64 i = 1; i < n; ++i) {
        eval.rightRotate(at(i), i * d, at(i));
        eval.add(out, at(i), out);
    }
}

void compForSort(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& x, const Message& mask, int d,
                 Ciphertext& out, Ciphertext& r, Ciphertext& work, detail::SignWorkspace& sign) {
    eval.leftRotate(x, rotation(d), r);
    tools::refreshIfBelow(btp, r, 1);
    eval.mult(r, mask, r);
    detail::approxGreaterThan(eval, btp, x, r, out, kGreaterThanG, kGreaterThanF, work, sign);
}

// One compare-exchange from `in` into out, which in may be; in is read until out's first write.
void twoSort(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& in, Ciphertext& out, int d,
             bool ascent, Message& mask, SortWorkspace& ws) {
    mask.to(in.getDevice());
    const Ciphertext& x = tools::refreshIfBelow(btp, in, out, 3) ? out : in;
    compForSort(eval, btp, x, mask, d, ws.greater, ws.rotated, ws.signWork, ws.sign);
    tools::refreshIfBelow(btp, ws.greater, 1);
    eval.mult(x, mask, ws.lower);
    eval.leftRotate(x, rotation(d), out);
    eval.mult(out, mask, ws.upper);
    subSort(eval, ws.lower, ws.upper, ws.greater, ascent, ws.stays, ws.moves);
    assemble(
        eval, 2, [&ws](u64 i) -> Ciphertext& { return i == 0 ? ws.stays : ws.moves; }, rotation(d), out);
}

} // namespace

Message genMasks(u64 log_slots, u64 d) {
    checkSelectionDistance(d);
    Message mask(log_slots);
    fillSelection(mask, d);
    return mask;
}

void flipCtxt(const HomEvaluator& eval, Ciphertext& ctxt, int d) {
    detail::Workspace ws(eval.context);
    Message& mask = flipMask(ws, ctxt.getLogSlots(), d);
    multiplyByMask(eval, ctxt, mask, ctxt);
}

void compForSort(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& x, const Message& mask, int d,
                 Ciphertext& out) {
    detail::Workspace ws(eval.context);
    Ciphertext& r = ws.take();
    Ciphertext& work = ws.take();
    detail::SignWorkspace sign(ws);
    compForSort(eval, btp, x, mask, d, out, r, work, sign);
}

void twoSubSort(const HomEvaluator& eval, const Ciphertext& a, const Ciphertext& b, const Ciphertext& g, bool ascent,
                std::vector<Ciphertext>& v) {
    if (v.size() < 2)
        detail::fail("twoSubSort", "v must hold two ciphertexts.");
    subSort(eval, a, b, g, ascent, v[0], v[1]);
}

void assembleSlot(const HomEvaluator& eval, std::vector<Ciphertext>& v, u64 d, Ciphertext& out) {
    if (v.empty())
        detail::fail("assembleSlot", "v must not be empty.");
    assemble(
        eval, v.size(), [&v](u64 i) -> Ciphertext& { return v[i]; }, d, out);
}

void twoSort(const HomEvaluator& eval, const Bootstrapper& btp, Ciphertext& x, int d, bool ascent) {
    checkMaskSlots(eval, btp, x);
    detail::Workspace workspace(eval.context);
    Message& mask = selectionMask(workspace, x.getLogSlots(), rotation(d));
    SortWorkspace ws(workspace);
    // x is written once the exchange is complete: a call that fails or is interrupted on the way leaves it as it
    // was. Its last write, a copy, gave it the bookkeeping of the evaluator's ciphertexts, which the value has.
    twoSort(eval, btp, x, ws.value, d, ascent, mask, ws);
    detail::Workspace::deliver(x, ws.value);
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
    detail::Workspace workspace(eval.context);
    SortWorkspace ws(workspace);
    Ciphertext& value = ws.value;
    const Ciphertext* x = &op;
    // Each distance and each block size has one mask, made on its first use in a working slot vector.
    std::vector<Message*> selections(static_cast<std::size_t>(stages), nullptr);
    std::vector<Message*> flips(static_cast<std::size_t>(stages), nullptr);
    const auto flip = [&](int stage) {
        Message*& mask = flips[static_cast<std::size_t>(stage)];
        if (mask == nullptr)
            mask = &flipMask(workspace, logSlots, 1 << stage);
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
            Message*& mask = selections[static_cast<std::size_t>(j)];
            if (mask == nullptr)
                mask = &selectionMask(workspace, x->getLogSlots(), rotation(1 << j));
            twoSort(eval, btp, *x, value, 1 << j, ascent, *mask, ws);
            x = &value;
        }
        if (!last)
            flip(i);
    }
    // The last compare-exchange ends in a copy that gave the value the bookkeeping of the evaluator's ciphertexts,
    // which res takes with it.
    detail::Workspace::deliver(res, value);
}

} // namespace Morvane::Math
