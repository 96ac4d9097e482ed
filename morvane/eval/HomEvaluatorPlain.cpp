// Message and plaintext forms of the evaluator: the same slot arithmetic as the ciphertext forms, fewer
// checks, no keys and no counts.
#include "morvane/eval/HomEvaluator.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"

namespace Morvane {

namespace {

using utils::SlotKernel;

// The result of a message form, replaced when its length differs from the operand's.
Complex* resultSlots(Message& res, const Message& op) {
    utils::prepareMessageResult(res, op);
    return res.begin();
}

void throwIfLogSlotsDiffer(const Message& op1, const Message& op2) {
    utils::throwIfLogSlotsDiffer(op1.getLogSlots(), op2.getLogSlots());
    utils::checkSameSlotCount(op1, op2);
}

// The two-plaintext forms once their own checks passed: the slots over op1's length, op1's level and log
// slots with `rescale_counter`, then the common device.
void pairOfPlaintexts(const Plaintext& op1, const Plaintext& op2, Plaintext& res, int rescale_counter,
                      SlotKernel kernel) {
    utils::checkPrecondition(op1, op2);
    utils::checkSameSlotCount(op1.message(), op2.message());
    kernel(op1.message().begin(), op2.message().begin(), utils::resultSlots(res, op1), utils::slotCount(op1));
    utils::setMetadata(res, op1.getLevel(), op1.getLogSlots(), rescale_counter);
    utils::makeHavingCommonDeviceOrThrow(res, op1, op2);
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
    utils::multImagUnitSlots(op.begin(), resultSlots(res, op), op.getSize());
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
    utils::mapKeepingBookkeeping(op, res, utils::negateSlots);
}

void HomEvaluatorImpl::add(const Plaintext& op1, const Complex& cnst, Plaintext& res) const {
    utils::mapKeepingBookkeeping(op1, res, [&cnst](const Complex* in, Complex* out, std::size_t n) {
        utils::addConstant(in, cnst, out, n);
    });
}

void HomEvaluatorImpl::sub(const Plaintext& op1, const Complex& cnst, Plaintext& res) const {
    utils::mapKeepingBookkeeping(op1, res, [&cnst](const Complex* in, Complex* out, std::size_t n) {
        utils::subConstant(in, cnst, out, n);
    });
}

void HomEvaluatorImpl::add(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const {
    utils::throwIfLevelsDiffer(op1.getLevel(), op2.getLevel());
    pairOfPlaintexts(op1, op2, res, op1.getRescaleCounter(), utils::addSlots);
}

void HomEvaluatorImpl::sub(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const {
    utils::throwIfLevelsDiffer(op1.getLevel(), op2.getLevel());
    pairOfPlaintexts(op1, op2, res, op1.getRescaleCounter(), utils::subSlots);
}

void HomEvaluatorImpl::mult(const Plaintext& op1, const Complex& cnst, Plaintext& res) const {
    utils::throwIfLevelZero(op1.getLevel());
    utils::mapKeepingBookkeeping(op1, res, [&cnst](const Complex* in, Complex* out, std::size_t n) {
        utils::multConstant(in, cnst, out, n);
    });
}

void HomEvaluatorImpl::mult(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const {
    utils::throwIfLevelsDiffer(op1.getLevel(), op2.getLevel());
    utils::throwIfRescaleCountersNotZero(op1.getRescaleCounter(), op2.getRescaleCounter());
    pairOfPlaintexts(op1, op2, res, op1.getRescaleCounter(), utils::multSlots);
}

void HomEvaluatorImpl::multImagUnit(const Plaintext& op, Plaintext& res) const {
    utils::mapKeepingBookkeeping(op, res, utils::multImagUnitSlots);
}

void HomEvaluatorImpl::multInteger(const Plaintext& op, u64 cnst_integer, Plaintext& res) const {
    const double k = static_cast<double>(cnst_integer);
    utils::mapKeepingBookkeeping(
        op, res, [k](const Complex* in, Complex* out, std::size_t n) { utils::multReal(in, k, out, n); });
}

void HomEvaluatorImpl::square(const Plaintext& op, Plaintext& res) const { mult(op, op, res); }

void HomEvaluatorImpl::multWithoutRescale(const Plaintext& op1, const Complex& cnst, Plaintext& res) const {
    const int rescale_counter = utils::addRescaleCounters(op1.getRescaleCounter(), 1);
    utils::multConstant(op1.message().begin(), cnst, utils::resultSlots(res, op1), utils::slotCount(op1));
    utils::setMetadata(res, op1.getLevel(), op1.getLogSlots(), rescale_counter);
    utils::takeDeviceOf(res, op1);
}

void HomEvaluatorImpl::multWithoutRescale(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const {
    // Levels are not compared.
    utils::throwIfRescaleCountersNotZero(op1.getRescaleCounter(), op2.getRescaleCounter());
    pairOfPlaintexts(op1, op2, res, 1, utils::multSlots);
}

void HomEvaluatorImpl::rescale(Plaintext& op) const {
    utils::throwIfLevelZero(op.getLevel());
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
    utils::setMetadata(res, target_level, op.getLogSlots(), op.getRescaleCounter());
}

void HomEvaluatorImpl::conjugate(const Plaintext& op, Plaintext& res) const {
    utils::mapKeepingBookkeeping(op, res, utils::conjugateSlots);
}

void HomEvaluatorImpl::leftRotate(const Plaintext& op, u64 rot_idx, Plaintext& res) const {
    if (rot_idx == 0 || rot_idx == context->parameter.fullSlots) {
        res = op;
        return;
    }
    // The slots and the device come with the rotated copy.
    utils::rotateSlotsLeft(op.message(), rot_idx, res.message());
    utils::setMetadata(res, op.getLevel(), op.getLogSlots(), op.getRescaleCounter());
}

void HomEvaluatorImpl::rightRotate(const Plaintext& op, u64 rot_idx, Plaintext& res) const {
    leftRotate(op, context->parameter.fullSlots - rot_idx, res);
}

} // namespace Morvane
