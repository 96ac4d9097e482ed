#include "morvane/eval/HomEvaluatorRotations.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/Interrupt.hpp"
#include "morvane/core/ThreadKept.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"
#include "morvane/eval/HomEvaluator.hpp"
#include "morvane/eval/ScratchCiphertexts.hpp"
#include "morvane/keys/KeyRequirements.hpp"

#include <cstring>
#include <string>

namespace Morvane {

namespace {

bool isPowerOfTwo(u64 x) { return x != 0 && (x & (x - 1)) == 0; }

u64 bitLength(u64 x) {
    u64 length = 0;
    for (; x != 0; x >>= 1)
        ++length;
    return length;
}

// n as p1 - p2 + p3 - ... + pk with powers of two p1 > ... > pk (k odd), each handed to `push` in turn. Each
// step shortens the remainder by at least one bit, so k is at most 66.
template <typename Push>
void decomposeAlternating(u64 n, Push push) {
    u64 count = 0;
    u64 a = n;
    while (a != 0) {
        const u64 b = bitLength(a);
        if (isPowerOfTwo(a)) {
            if (count % 2 == 1) {
                push(a << 1);
                ++count;
            }
            push(a);
            ++count;
            a = 0;
        } else {
            // 2^64 has no 64-bit value: such a count has no decomposition.
            if (b >= 64)
                throw RuntimeException("[decomposeIntoPowersOfTwo] n is too large");
            const u64 v = u64{1} << b;
            push(v);
            ++count;
            a = v - a;
        }
    }
}

[[noreturn]] void throwMissingRotationKey(u64 index) {
    throw RuntimeException("[Load Rotation Key] no left rotation key for index " + std::to_string(index));
}

// A rotation gap of the rotate-and-sum ladders. Only its residue modulo the slot count and whether it is zero
// decide the rotations and labels, so products of gaps and counts never overflow: with N a power of two, the
// wrapped 64-bit product has the right residue.
struct Gap {
    u64 residue;
    bool nonZero;
};

Gap scaled(const Gap& gap, u64 factor, u64 slots) {
    return {detail::leftRotationIndex(gap.residue * factor, slots), gap.nonZero && factor != 0};
}

void rotateBy(const HomEvaluatorImpl& eval, const Ciphertext& op, u64 amount, Ciphertext& res, bool left) {
    if (left)
        eval.leftRotate(op, amount, res);
    else
        eval.rightRotate(op, amount, res);
}

// The sum of the rotations of `op` by 0, g, ..., (n - 1) g, with a logarithmic number of rotations: the
// doubling ladder for powers of two, three thirds for 3 * 2^m, the alternating ladder otherwise.
void rotateReduce(const HomEvaluatorImpl& eval, const Ciphertext& op, const Gap& gap, u64 n, Ciphertext& out,
                  bool left) {
    const u64 slots = eval.context->parameter.fullSlots;
    if (n == 0) {
        out = op;
        return;
    }
    if (isPowerOfTwo(n)) {
        out = op;
        // d runs over g, 2g, ..., (n / 2) g: exactly the d below n * g, counted without forming n * g.
        if (!gap.nonZero)
            return;
        auto lease = eval.scratch->acquire();
        Ciphertext& tmp = *lease;
        u64 d = gap.residue;
        for (u64 steps = bitLength(n) - 1; steps > 0; --steps) {
            rotateBy(eval, out, d, tmp, left);
            eval.add(tmp, out, out);
            d = detail::leftRotationIndex(d << 1, slots);
        }
        return;
    }
    if (n % 3 == 0 && isPowerOfTwo(n / 3)) {
        const u64 q = n / 3;
        const u64 third = scaled(gap, q, slots).residue;
        auto lease = eval.scratch->acquire();
        Ciphertext& tmp = *lease;
        rotateReduce(eval, op, gap, q, tmp, left);
        out = tmp;
        rotateBy(eval, tmp, third, tmp, left);
        eval.add(out, tmp, out);
        rotateBy(eval, tmp, third, tmp, left);
        eval.add(out, tmp, out);
        return;
    }
    // n = p1 - p2 + p3 - ... + pk with p[0] = p1 > ... > p[k - 1] = pk.
    u64 p[66];
    u64 k = 0;
    decomposeAlternating(n, [&p, &k](u64 power) { p[k++] = power; });
    rotateBy(eval, op, scaled(gap, n - p[k - 1], slots).residue, out, left);
    rotateReduce(eval, out, gap, p[k - 1], out, left);
    auto lease = eval.scratch->acquire();
    Ciphertext& tmp = *lease;
    tmp = out;
    for (u64 j = k; j >= 3; j -= 2) {
        const u64 pj = p[j - 1], pj1 = p[j - 2], pj2 = p[j - 3];
        rotateReduce(eval, tmp, scaled(gap, pj, slots), pj1 / pj, tmp, left);
        eval.sub(out, tmp, out);
        rotateReduce(eval, tmp, scaled(gap, pj1, slots), pj2 / pj1, tmp, !left);
        eval.add(out, tmp, out);
    }
}

// The running sum of a message rotate-and-sum, kept apart from the output until it is complete, so that an
// interrupted sum leaves its output (and so an in-place operand) as it was. The storage is the thread's, grown to
// the longest message it has summed up to kKeptSlotsLimit slots and reused; a longer one is freed with its sum.
// It is taken out for the length of the sum, so a sum started inside it (a signal handler run by an interrupt
// poll) works on storage of its own.
class RunningSum {
public:
    explicit RunningSum(u64 n) {
        if (n <= detail::kKeptSlotsLimit)
            if (std::vector<Complex>* spare = Spare::get())
                mine_.swap(*spare);
        // Grown to exactly n, so that what is kept stays within the limit.
        if (mine_.size() < n)
            mine_ = std::vector<Complex>(n);
    }
    RunningSum(const RunningSum&) = delete;
    RunningSum& operator=(const RunningSum&) = delete;
    ~RunningSum() {
        std::vector<Complex>* spare = Spare::get();
        if (spare != nullptr && mine_.size() <= detail::kKeptSlotsLimit && mine_.size() >= spare->size())
            spare->swap(mine_);
    }

    Complex* data() { return mine_.data(); }

private:
    using Spare = detail::ThreadKept<std::vector<Complex>, RunningSum>;

    std::vector<Complex> mine_;
};

// Message rotate-and-sum: out = op + rot(op, g) + rot(op, 2g) + ..., added in this order, slot by slot,
// without building the rotated messages. Amounts wrap around the message's length.
void accumulateRotations(const Message& op, u64 gap, u64 count, Message& out, bool left) {
    const u64 n = op.getSize();
    if (count <= 1 || n == 0) {
        if (&out != &op)
            out = op;
        return;
    }
    const u64 step = gap % n;
    RunningSum sum(n);
    Complex* acc = sum.data();
    const Complex* in = op.begin();
    u64 shift = 0;
    // The count is the caller's, up to 2^64 - 1: the loop can be interrupted. The first addition reads op itself
    // where a copy of it would stand: the same sums, without the copy.
    for (u64 k = 1; k < count; ++k) {
        utils::pollInterrupt();
        shift += step;
        if (shift >= n)
            shift -= n;
        // Left by s: acc[i] += in[(i + s) mod n]; right by s is left by n - s.
        const u64 s = left || shift == 0 ? shift : n - shift;
        const Complex* partial = k == 1 ? in : acc;
        utils::addSlots(partial, in + s, acc, n - s);
        utils::addSlots(partial + (n - s), in, acc + (n - s), s);
    }
    // out takes op's length and device, as a copy of op would; a failure to grow it leaves it as it was.
    if (&out != &op) {
        out.slots().assign(acc, acc + n);
        out.to(op.getDevice());
    } else {
        std::memcpy(static_cast<void*>(out.begin()), acc, n * sizeof(Complex));
    }
}

} // namespace

void decomposeIntoPowersOfTwo(unsigned long n, std::vector<unsigned long>& list, unsigned long& count) {
    list.clear();
    count = 0;
    decomposeAlternating(n, [&list, &count](u64 power) {
        list.push_back(power);
        ++count;
    });
}

void HomEvaluatorImpl::leftRotate(const Ciphertext& op, u64 rot_idx, Ciphertext& res) const {
    utils::throwIfSizeNotTwo(op.getSize());
    res.setSize(op.getSize());
    const u64 slots = context->parameter.fullSlots;
    // A rotation by r and by r modulo the slot count are the same rotation and need the same keys; amounts
    // above the slot count come from rotSum and the rotate-and-sum ladders.
    const u64 r = detail::leftRotationIndex(rot_idx, slots);
    if (r == 0) {
        res = op;
        return;
    }
    recordLeftRotation(keyPack, r, static_cast<int>(op.getDevice().type()));
    utils::rotateSlotsLeft(op.message(), r, res.message());
    utils::setMetadata(res, op.getLevel(), op.getLogSlots(), op.getRescaleCounter());
    utils::takeDeviceOf(res, op);
}

void HomEvaluatorImpl::rightRotate(const Ciphertext& op, u64 rot_idx, Ciphertext& res) const {
    leftRotate(op, detail::leftIndexOfRightRotation(rot_idx, context->parameter.fullSlots), res);
}

void HomEvaluatorImpl::recordLeftRotation(KeyPack& pack, u64 rot_idx, int device_type) const {
    const u64 slots = context->parameter.fullSlots;
    // The keys of a rotation are those of its residue: stepping through a larger amount would name steps
    // beyond the slot count, and the step f would wrap to 0 for amounts near 2^64. A rotation by the slot
    // count is one by 0.
    rot_idx = detail::leftRotationIndex(rot_idx, slots);
    const bool present = detail::loadLeftRotKeyLazily(pack, rot_idx);
    if (rot_idx == 0)
        return;
    if (!present && (isPowerOfTwo(rot_idx) || isPowerOfTwo(slots - rot_idx)))
        throwMissingRotationKey(rot_idx);
    if (present) {
        detail::requireLeftRotKey(pack, rot_idx, [rot_idx] { throwMissingRotationKey(rot_idx); });
        updateOpHistoryForDevice(labels::rotate, device_type);
        return;
    }
    // Power-of-two steps from the smallest up; for r = 3 mod 4 the step is still the left index f.
    u64 r = rot_idx;
    u64 f = 1;
    while (r != 0) {
        if (r % 2 == 0) {
            r /= 2;
            f *= 2;
        } else {
            recordLeftRotation(pack, f, device_type);
            r = r % 4 == 1 ? (r - 1) / 4 : r / 4 + 1;
            f *= 4;
        }
    }
}

void HomEvaluatorImpl::leftRotateReduce(const Ciphertext& op, const u64& idx_interval, const u64& num_summation,
                                        Ciphertext& ctxt_out) const {
    const Gap gap{detail::leftRotationIndex(idx_interval, context->parameter.fullSlots), idx_interval != 0};
    rotateReduce(*this, op, gap, num_summation, ctxt_out, true);
}

void HomEvaluatorImpl::rightRotateReduce(const Ciphertext& op, const u64& idx_interval, const u64& num_summation,
                                         Ciphertext& ctxt_out) const {
    const Gap gap{detail::leftRotationIndex(idx_interval, context->parameter.fullSlots), idx_interval != 0};
    rotateReduce(*this, op, gap, num_summation, ctxt_out, false);
}

void HomEvaluatorImpl::leftRotateReduce(const Message& op, const u64& idx_interval, const u64& num_summation,
                                        Message& ctxt_out) const {
    accumulateRotations(op, idx_interval, num_summation, ctxt_out, true);
}

void HomEvaluatorImpl::rightRotateReduce(const Message& op, const u64& idx_interval, const u64& num_summation,
                                         Message& ctxt_out) const {
    accumulateRotations(op, idx_interval, num_summation, ctxt_out, false);
}

void HomEvaluatorImpl::rotSum(const std::vector<Ciphertext>& op, const std::vector<u64>& rot_idx,
                              Ciphertext& res) const {
    for (const Ciphertext& term : op)
        utils::throwIfSizeNotTwo(term.getSize());
    // Refused before anything is written: the sum would read past the end of either list.
    if (rot_idx.empty())
        throw RuntimeException("[rotSum] no rotation index given");
    if (op.size() < rot_idx.size())
        throw RuntimeException("[rotSum] fewer ciphertexts than rotation indices");
    // A term of another length fails the sum below only after the first rotation has written `res`; refused
    // here with the message that sum would give.
    for (std::size_t i = 1; i < rot_idx.size(); ++i)
        if (utils::slotCount(op[i]) != utils::slotCount(op[0])) {
            utils::checkPrecondition(op[0], op[i]);
            utils::checkSameSlotCount(op[0].message(), op[i].message());
        }

    leftRotate(op[0], rot_idx[0], res);
    auto lease = scratch->acquire();
    Ciphertext& tmp = *lease;
    for (std::size_t i = 1; i < rot_idx.size(); ++i) {
        utils::checkPrecondition(op[0], op[i]);
        if (!keyPack.getLeftRotKey(rot_idx[i]))
            throwMissingRotationKey(rot_idx[i]);
        leftRotate(op[i], rot_idx[i], tmp);
        add(res, tmp, res);
    }
    res.setLogSlots(op[0].getLogSlots());
    res.setRescaleCounter(op[0].getRescaleCounter());
}

} // namespace Morvane
