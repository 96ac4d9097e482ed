// Message and plaintext forms of the evaluator: the same slot arithmetic as the ciphertext forms, fewer
// checks, no keys and no counts.
#include "morvane/eval/HomEvaluator.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"

namespace Morvane {

namespace {

using utils::checkPrecondition;
using utils::checkSameSlotCount;
using utils::makeHavingCommonDeviceOrThrow;
using utils::takeDeviceOf;

constexpr Complex kImaginaryUnit(0.0, 1.0);

// The result of a message form, replaced when its length differs from the operand's.
Complex* resultSlots(Message& res, const Message& op) {
    utils::prepareMessageResult(res, op);
    return res.begin();
}

// The result of a plaintext form, given the operand's length first.
Complex* resultSlots(Plaintext& res, const Plaintext& op) {
    utils::sizeLike(res.message(), op.message());
    return res.message().begin();
}

std::size_t slotCount(const Plaintext& ptxt) { return ptxt.message().getSize(); }

void throwIfLogSlotsDiffer(const Message& op1, const Message& op2) {
    if (op1.getLogSlots() != op2.getLogSlots())
        throw RuntimeException("Two operands have different logSlots");
    checkSameSlotCount(op1, op2);
}

void throwIfLevelsDiffer(const Plaintext& op1, const Plaintext& op2) {
    if (op1.getLevel() != op2.getLevel())
        throw RuntimeException("Operands have different levels.");
}

void throwIfRescaleCountersNotZero(const Plaintext& op1, const Plaintext& op2) {
    if (op1.getRescaleCounter() != 0 || op2.getRescaleCounter() != 0)
        throw RuntimeException("The Operands should have rescale counter zero");
}

void setMetadata(Plaintext& res, u64 level, u64 log_slots, int rescale_counter) {
    res.setLevel(level);
    res.setLogSlots(log_slots);
    res.setRescaleCounter(rescale_counter);
}

void copyMetadata(Plaintext& res, const Plaintext& op) {
    setMetadata(res, op.getLevel(), op.getLogSlots(), op.getRescaleCounter());
}

} // namespace

// Messages.

void HomEvaluatorImpl::negate(const Message& op, Message& res) const {
    utils::negateSlots(op.begin(), resultSlots(res, op), op.getSize());
}

void HomEvaluatorImpl::add(const Message& op1, const Complex& cnst, Message& res) const {
    utils::addConstant(op1.begin(), cnst, resultSlots(res, op1), op1.getSize());
}

void HomEvaluatorImpl::sub(const Message& op1, const Complex& cnst, Message& res) const {
    utils::subConstant(op1.begin(), cnst, resultSlots(res, op1), op1.getSize());
}

void HomEvaluatorImpl::mult(const Message& op1, const Complex& cnst, Message& res) const {
    utils::multConstant(op1.begin(), cnst, resultSlots(res, op1), op1.getSize());
}

void HomEvaluatorImpl::add(const Message& op1, const Message& op2, Message& res) const {
    throwIfLogSlotsDiffer(op1, op2);
    utils::addSlots(op1.begin(), op2.begin(), resultSlots(res, op1), op1.getSize());
}

void HomEvaluatorImpl::sub(const Message& op1, const Message& op2, Message& res) const {
    throwIfLogSlotsDiffer(op1, op2);
    utils::subSlots(op1.begin(), op2.begin(), resultSlots(res, op1), op1.getSize());
}

void HomEvaluatorImpl::mult(const Message& op1, const Message& op2, Message& res) const {
    throwIfLogSlotsDiffer(op1, op2);
    utils::multSlots(op1.begin(), op2.begin(), resultSlots(res, op1), op1.getSize());
}

void HomEvaluatorImpl::multImagUnit(const Message& op, Message& res) const {
    utils::multConstant(op.begin(), kImaginaryUnit, resultSlots(res, op), op.getSize());
}

void HomEvaluatorImpl::square(const Message& op, Message& res) const { mult(op, op, res); }

void HomEvaluatorImpl::conjugate(const Message& op, Message& res) const {
    utils::conjugateSlots(op.begin(), resultSlots(res, op), op.getSize());
}

void HomEvaluatorImpl::leftRotate(const Message& op, u64 rot_idx, Message& res) const {
    utils::rotateSlotsLeft(op, rot_idx, res);
}

void HomEvaluatorImpl::rightRotate(const Message& op, u64 rot_idx, Message& res) const {
    utils::rotateSlotsRight(op, rot_idx, res);
}

// Plaintexts.

void HomEvaluatorImpl::negate(const Plaintext& op, Plaintext& res) const {
    utils::negateSlots(op.message().begin(), resultSlots(res, op), slotCount(op));
    copyMetadata(res, op);
    takeDeviceOf(res, op);
}

void HomEvaluatorImpl::add(const Plaintext& op1, const Complex& cnst, Plaintext& res) const {
    utils::addConstant(op1.message().begin(), cnst, resultSlots(res, op1), slotCount(op1));
    copyMetadata(res, op1);
    takeDeviceOf(res, op1);
}

void HomEvaluatorImpl::sub(const Plaintext& op1, const Complex& cnst, Plaintext& res) const {
    utils::subConstant(op1.message().begin(), cnst, resultSlots(res, op1), slotCount(op1));
    copyMetadata(res, op1);
    takeDeviceOf(res, op1);
}

void HomEvaluatorImpl::add(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const {
    throwIfLevelsDiffer(op1, op2);
    checkPrecondition(op1, op2);
    checkSameSlotCount(op1.message(), op2.message());
    utils::addSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    copyMetadata(res, op1);
    makeHavingCommonDeviceOrThrow(res, op1, op2);
}

void HomEvaluatorImpl::sub(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const {
    throwIfLevelsDiffer(op1, op2);
    checkPrecondition(op1, op2);
    checkSameSlotCount(op1.message(), op2.message());
    utils::subSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    copyMetadata(res, op1);
    makeHavingCommonDeviceOrThrow(res, op1, op2);
}

void HomEvaluatorImpl::mult(const Plaintext& op1, const Complex& cnst, Plaintext& res) const {
    if (op1.getLevel() == 0)
        throw RuntimeException("The level of the operand is zero");
    utils::multConstant(op1.message().begin(), cnst, resultSlots(res, op1), slotCount(op1));
    copyMetadata(res, op1);
    takeDeviceOf(res, op1);
}

void HomEvaluatorImpl::mult(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const {
    throwIfLevelsDiffer(op1, op2);
    throwIfRescaleCountersNotZero(op1, op2);
    checkPrecondition(op1, op2);
    checkSameSlotCount(op1.message(), op2.message());
    utils::multSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    copyMetadata(res, op1);
    makeHavingCommonDeviceOrThrow(res, op1, op2);
}

void HomEvaluatorImpl::multImagUnit(const Plaintext& op, Plaintext& res) const {
    utils::multConstant(op.message().begin(), kImaginaryUnit, resultSlots(res, op), slotCount(op));
    copyMetadata(res, op);
    takeDeviceOf(res, op);
}

void HomEvaluatorImpl::multInteger(const Plaintext& op, u64 cnst_integer, Plaintext& res) const {
    utils::multReal(op.message().begin(), static_cast<double>(cnst_integer), resultSlots(res, op), slotCount(op));
    copyMetadata(res, op);
    takeDeviceOf(res, op);
}

void HomEvaluatorImpl::square(const Plaintext& op, Plaintext& res) const { mult(op, op, res); }

void HomEvaluatorImpl::multWithoutRescale(const Plaintext& op1, const Complex& cnst, Plaintext& res) const {
    const int rescale_counter = utils::addRescaleCounters(op1.getRescaleCounter(), 1);
    utils::multConstant(op1.message().begin(), cnst, resultSlots(res, op1), slotCount(op1));
    setMetadata(res, op1.getLevel(), op1.getLogSlots(), rescale_counter);
    takeDeviceOf(res, op1);
}

void HomEvaluatorImpl::multWithoutRescale(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const {
    throwIfRescaleCountersNotZero(op1, op2);
    checkPrecondition(op1, op2);
    checkSameSlotCount(op1.message(), op2.message());
    utils::multSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    setMetadata(res, op1.getLevel(), op1.getLogSlots(), 1);
    makeHavingCommonDeviceOrThrow(res, op1, op2);
}

void HomEvaluatorImpl::rescale(Plaintext& op) const {
    if (op.getLevel() == 0)
        throw RuntimeException("The level of the operand is zero");
    if (op.getRescaleCounter() <= 0)
        throw RuntimeException("[rescale] Rescale Counter of the Plaintext is zero or less");
    op.setLevel(op.getLevel() - 1);
    op.setRescaleCounter(op.getRescaleCounter() - 1);
}

void HomEvaluatorImpl::inverseRescale(Plaintext& op) const {
    if (op.getLevel() >= context->parameter.chain_length - 1)
        throw RuntimeException(
            "[inverseRescale] Cannot inverseRescale when the level is greater than or equal to the maximum level");
    op.setLevel(op.getLevel() + 1);
    op.setRescaleCounter(utils::addRescaleCounters(op.getRescaleCounter(), 1));
}

void HomEvaluatorImpl::relevel(const Plaintext& op, u64 target_level, Plaintext& res) const {
    if (target_level > context->parameter.chain_length - 1)
        throw RuntimeException("[relevel] target_level too big");
    // The slots and the device come with the copied message.
    res.message() = op.message();
    setMetadata(res, target_level, op.getLogSlots(), op.getRescaleCounter());
}

void HomEvaluatorImpl::conjugate(const Plaintext& op, Plaintext& res) const {
    utils::conjugateSlots(op.message().begin(), resultSlots(res, op), slotCount(op));
    copyMetadata(res, op);
    takeDeviceOf(res, op);
}

void HomEvaluatorImpl::leftRotate(const Plaintext& op, u64 rot_idx, Plaintext& res) const {
    if (rot_idx == 0 || rot_idx == context->parameter.fullSlots) {
        res = op;
        return;
    }
    // The slots and the device come with the rotated copy.
    utils::rotateSlotsLeft(op.message(), rot_idx, res.message());
    copyMetadata(res, op);
}

void HomEvaluatorImpl::rightRotate(const Plaintext& op, u64 rot_idx, Plaintext& res) const {
    leftRotate(op, context->parameter.fullSlots - rot_idx, res);
}

} // namespace Morvane
