// Ciphertext arithmetic of the evaluator. Each operation reads what it needs of its operands before it
// writes the result, since the result may be one of them; checks run in their fixed order and nothing is
// undone when one fails.
#include "morvane/eval/HomEvaluator.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"

#include <algorithm>
#include <cmath>

namespace Morvane {

namespace {

using utils::checkPrecondition;
using utils::checkSameSlotCount;
using utils::makeHavingCommonDeviceOrThrow;
using utils::takeDeviceOf;

constexpr Complex kImaginaryUnit(0.0, 1.0);

std::size_t slotCount(const Ciphertext& ctxt) { return ctxt.message().getSize(); }

// The result's slots, given the operand's length first.
Complex* resultSlots(Ciphertext& res, const Ciphertext& op) {
    utils::sizeLike(res.message(), op.message());
    return res.message().begin();
}

void throwIfLevelZero(u64 level) {
    if (level == 0)
        throw RuntimeException("The level of the operand is zero");
}

// The first operand's level is the one tested first; both fail with the same message.
void throwIfEitherLevelZero(u64 first, u64 second) {
    throwIfLevelZero(first);
    throwIfLevelZero(second);
}

void throwIfRescaleCounterNotZero(int rescale_counter) {
    if (rescale_counter != 0)
        throw RuntimeException("The Operand should have rescale counter zero");
}

void throwIfRescaleCountersNotZero(int first, int second) {
    if (first != 0 || second != 0)
        throw RuntimeException("The Operands should have rescale counter zero");
}

void throwIfLevelsDiffer(u64 first, u64 second) {
    if (first != second)
        throw RuntimeException("Operands have different levels.");
}

void throwIfSizesNotTwo(u64 first, u64 second) {
    if (first != 2 || second != 2)
        throw RuntimeException("Size > 2 is not supported yet");
}

// An empty message has no log slots, so it matches none.
void throwIfMessageLogSlotsDiffer(u64 log_slots, const Message& msg) {
    if (msg.isEmpty() || msg.getLogSlots() != log_slots)
        throw RuntimeException("Two operands have different logSlots");
}

// The message operand is spread over the evaluator's full slot count, which the ciphertext must hold.
void throwIfSpreadDoesNotFit(const Ciphertext& op, const Context& context) {
    if (slotCount(op) != context->parameter.fullSlots)
        throw RuntimeException("Operands have different numbers of slots.");
}

// Within 1e-8 of an integer in both parts, the real part decided first. A NaN difference is not greater than
// the bound, so a NaN or infinite part counts as integral.
bool isIntegralConstant(const Complex& c) {
    if (std::fabs(c.real() - std::round(c.real())) > 1e-8)
        return false;
    return !(std::fabs(c.imag() - std::round(c.imag())) > 1e-8);
}

void setMetadata(Ciphertext& res, u64 level, u64 log_slots, int rescale_counter) {
    res.setLevel(level);
    res.setLogSlots(log_slots);
    res.setRescaleCounter(rescale_counter);
}

} // namespace

void HomEvaluatorImpl::negate(const Ciphertext& op, Ciphertext& res) const {
    res.setSize(op.getSize());
    utils::negateSlots(op.message().begin(), resultSlots(res, op), slotCount(op));
    setMetadata(res, op.getLevel(), op.getLogSlots(), op.getRescaleCounter());
    takeDeviceOf(res, op);
    updateOpHistoryForDevice(labels::negate, res.getDevice());
}

void HomEvaluatorImpl::add(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const {
    res.setSize(op1.getSize());
    utils::addConstant(op1.message().begin(), cnst, resultSlots(res, op1), slotCount(op1));
    setMetadata(res, op1.getLevel(), op1.getLogSlots(), op1.getRescaleCounter());
    takeDeviceOf(res, op1);
    updateOpHistoryForDevice(labels::addConstant, res.getDevice());
}

void HomEvaluatorImpl::sub(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const {
    res.setSize(op1.getSize());
    utils::subConstant(op1.message().begin(), cnst, resultSlots(res, op1), slotCount(op1));
    setMetadata(res, op1.getLevel(), op1.getLogSlots(), op1.getRescaleCounter());
    takeDeviceOf(res, op1);
    updateOpHistoryForDevice(labels::addConstant, res.getDevice());
}

void HomEvaluatorImpl::add(const Ciphertext& op1, const Message& op2, Ciphertext& res) const {
    res.setSize(op1.getSize());
    throwIfMessageLogSlotsDiffer(op1.getLogSlots(), op2);
    throwIfSpreadDoesNotFit(op1, context);
    utils::addSpread(op1.message().begin(), op2.begin(), op2.getSize(), resultSlots(res, op1), slotCount(op1));
    setMetadata(res, op1.getLevel(), op1.getLogSlots(), op1.getRescaleCounter());
    takeDeviceOf(res, op1);
    updateOpHistoryForDevice(labels::addMessage, res.getDevice());
}

void HomEvaluatorImpl::sub(const Ciphertext& op1, const Message& op2, Ciphertext& res) const {
    res.setSize(op1.getSize());
    throwIfMessageLogSlotsDiffer(op1.getLogSlots(), op2);
    throwIfSpreadDoesNotFit(op1, context);
    utils::subSpread(op1.message().begin(), op2.begin(), op2.getSize(), resultSlots(res, op1), slotCount(op1));
    setMetadata(res, op1.getLevel(), op1.getLogSlots(), op1.getRescaleCounter());
    takeDeviceOf(res, op1);
    updateOpHistoryForDevice(labels::addMessage, res.getDevice());
}

void HomEvaluatorImpl::add(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const {
    res.setSize(op1.getSize());
    checkPrecondition(op1, op2);
    checkSameSlotCount(op1.message(), op2.message());
    utils::addSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    setMetadata(res, op1.getLevel(), op1.getLogSlots(), op1.getRescaleCounter());
    makeHavingCommonDeviceOrThrow(res, op1, op2);
    updateOpHistoryForDevice(labels::addPlaintext, res.getDevice());
}

void HomEvaluatorImpl::sub(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const {
    res.setSize(op1.getSize());
    checkPrecondition(op1, op2);
    checkSameSlotCount(op1.message(), op2.message());
    utils::subSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    setMetadata(res, op1.getLevel(), op1.getLogSlots(), op1.getRescaleCounter());
    makeHavingCommonDeviceOrThrow(res, op1, op2);
    updateOpHistoryForDevice(labels::addPlaintext, res.getDevice());
}

void HomEvaluatorImpl::add(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const {
    checkPrecondition(op1, op2);
    checkSameSlotCount(op1.message(), op2.message());
    const u64 level = std::min(op1.getLevel(), op2.getLevel());
    const u64 log_slots = op1.getLogSlots();
    const int rescale_counter = op1.getRescaleCounter();
    res.setSize(std::max(op1.getSize(), op2.getSize()));
    utils::addSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    setMetadata(res, level, log_slots, rescale_counter);
    makeHavingCommonDeviceOrThrow(res, op1, op2);
    updateOpHistoryForDevice(labels::addCiphertext, res.getDevice());
}

void HomEvaluatorImpl::sub(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const {
    const u64 level = std::min(op1.getLevel(), op2.getLevel());
    const u64 log_slots = op1.getLogSlots();
    const int rescale_counter = op1.getRescaleCounter();
    const u64 size = std::max(op1.getSize(), op2.getSize());
    res.setSize(size);
    checkPrecondition(op1, op2);
    checkSameSlotCount(op1.message(), op2.message());
    utils::subSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    setMetadata(res, level, log_slots, rescale_counter);
    makeHavingCommonDeviceOrThrow(res, op1, op2);
    updateOpHistoryForDevice(labels::addCiphertext, res.getDevice());
}

void HomEvaluatorImpl::multImagUnit(const Ciphertext& op, Ciphertext& res) const {
    res.setSize(op.getSize());
    utils::multConstant(op.message().begin(), kImaginaryUnit, resultSlots(res, op), slotCount(op));
    setMetadata(res, op.getLevel(), op.getLogSlots(), op.getRescaleCounter());
    takeDeviceOf(res, op);
    updateOpHistoryForDevice(labels::multImagUnit, res.getDevice());
}

void HomEvaluatorImpl::multInteger(const Ciphertext& op, u64 cnst_integer, Ciphertext& res) const {
    if (cnst_integer == 1) {
        res = op;
        return;
    }
    res.setSize(op.getSize());
    utils::multReal(op.message().begin(), static_cast<double>(cnst_integer), resultSlots(res, op), slotCount(op));
    setMetadata(res, op.getLevel(), op.getLogSlots(), op.getRescaleCounter());
    takeDeviceOf(res, op);
    updateOpHistoryForDevice(labels::multInteger, res.getDevice());
}

void HomEvaluatorImpl::mult(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const {
    res.setSize(op1.getSize());
    throwIfLevelZero(op1.getLevel());
    throwIfRescaleCounterNotZero(op1.getRescaleCounter());
    const u64 level = op1.getLevel();
    utils::multConstant(op1.message().begin(), cnst, resultSlots(res, op1), slotCount(op1));
    // An integral constant needs no rescale, so it keeps the level.
    const bool integral = isIntegralConstant(cnst);
    setMetadata(res, integral ? level : level - 1, op1.getLogSlots(), op1.getRescaleCounter());
    takeDeviceOf(res, op1);
    updateOpHistoryForDevice(integral ? labels::multInteger : labels::multConstant, res.getDevice());
}

void HomEvaluatorImpl::mult(const Ciphertext& op1, const Message& op2, Ciphertext& res) const {
    res.setSize(op1.getSize());
    throwIfLevelZero(op1.getLevel());
    throwIfRescaleCounterNotZero(op1.getRescaleCounter());
    throwIfMessageLogSlotsDiffer(op1.getLogSlots(), op2);
    throwIfSpreadDoesNotFit(op1, context);
    const u64 level = op1.getLevel();
    utils::multSpread(op1.message().begin(), op2.begin(), op2.getSize(), resultSlots(res, op1), slotCount(op1));
    setMetadata(res, level - 1, op1.getLogSlots(), op1.getRescaleCounter());
    takeDeviceOf(res, op1);
    updateOpHistoryForDevice(labels::multMessage, res.getDevice());
}

void HomEvaluatorImpl::mult(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const {
    res.setSize(op1.getSize());
    throwIfEitherLevelZero(op1.getLevel(), op2.getLevel());
    throwIfRescaleCountersNotZero(op1.getRescaleCounter(), op2.getRescaleCounter());
    checkSameSlotCount(op1.message(), op2.message());
    const u64 level = op1.getLevel();
    utils::multSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    setMetadata(res, level - 1, op1.getLogSlots(), op1.getRescaleCounter());
    // The plaintext's device is not compared.
    takeDeviceOf(res, op1);
    updateOpHistoryForDevice(labels::multPlaintext, res.getDevice());
}

void HomEvaluatorImpl::mult(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const {
    throwIfSizesNotTwo(op1.getSize(), op2.getSize());
    throwIfEitherLevelZero(op1.getLevel(), op2.getLevel());
    throwIfRescaleCountersNotZero(op1.getRescaleCounter(), op2.getRescaleCounter());
    keyPack.loadMultKey();
    if (!keyPack.isMultKeyLoaded())
        throw RuntimeException("[mult] no multiplication key");
    checkSameSlotCount(op1.message(), op2.message());
    const u64 level = std::min(op1.getLevel(), op2.getLevel()) - 1;
    const u64 log_slots = op1.getLogSlots();
    const int rescale_counter = op1.getRescaleCounter();
    utils::multSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    res.setSize(2);
    setMetadata(res, level, log_slots, rescale_counter);
    makeHavingCommonDeviceOrThrow(res, op1, op2);
    updateOpHistoryForDevice(labels::multCiphertext, res.getDevice());
}

void HomEvaluatorImpl::square(const Ciphertext& op, Ciphertext& res) const { mult(op, op, res); }

void HomEvaluatorImpl::multWithoutRescale(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const {
    res.setSize(op1.getSize());
    throwIfLevelZero(op1.getLevel());
    const int rescale_counter = utils::addRescaleCounters(op1.getRescaleCounter(), 1);
    utils::multConstant(op1.message().begin(), cnst, resultSlots(res, op1), slotCount(op1));
    setMetadata(res, op1.getLevel(), op1.getLogSlots(), rescale_counter);
    takeDeviceOf(res, op1);
    updateOpHistoryForDevice(labels::multConstantWithoutRescale, res.getDevice());
}

void HomEvaluatorImpl::multWithoutRescale(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const {
    res.setSize(op1.getSize());
    throwIfLevelsDiffer(op1.getLevel(), op2.getLevel());
    throwIfEitherLevelZero(op1.getLevel(), op2.getLevel());
    throwIfRescaleCountersNotZero(op1.getRescaleCounter(), op2.getRescaleCounter());
    checkPrecondition(op1, op2);
    checkSameSlotCount(op1.message(), op2.message());
    utils::multSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    setMetadata(res, op1.getLevel(), op1.getLogSlots(), 1);
    makeHavingCommonDeviceOrThrow(res, op1, op2);
    updateOpHistoryForDevice(labels::multPlaintextWithoutRescale, res.getDevice());
}

void HomEvaluatorImpl::multWithoutRescale(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const {
    throwIfSizesNotTwo(op1.getSize(), op2.getSize());
    throwIfLevelsDiffer(op1.getLevel(), op2.getLevel());
    throwIfEitherLevelZero(op1.getLevel(), op2.getLevel());
    throwIfRescaleCountersNotZero(op1.getRescaleCounter(), op2.getRescaleCounter());
    keyPack.loadMultKey();
    if (!keyPack.isMultKeyLoaded())
        throw RuntimeException("[multWithoutRescale] no multiplication key");
    checkSameSlotCount(op1.message(), op2.message());
    const u64 level = op1.getLevel();
    const u64 log_slots = op1.getLogSlots();
    utils::multSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    res.setSize(2);
    setMetadata(res, level, log_slots, 1);
    makeHavingCommonDeviceOrThrow(res, op1, op2);
    updateOpHistoryForDevice(labels::multCiphertextWithoutRescale, res.getDevice());
}

void HomEvaluatorImpl::tensor(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const {
    throwIfLevelsDiffer(op1.getLevel(), op2.getLevel());
    if (op1.getLogSlots() != op2.getLogSlots())
        throw RuntimeException("Two operands have different logSlots");
    checkSameSlotCount(op1.message(), op2.message());
    const u64 size = op1.getSize() + op2.getSize() - 1;
    const u64 level = op1.getLevel();
    const u64 log_slots = op1.getLogSlots();
    const int rescale_counter =
        utils::addRescaleCounters(utils::addRescaleCounters(op1.getRescaleCounter(), op2.getRescaleCounter()), 1);
    utils::multSlots(op1.message().begin(), op2.message().begin(), resultSlots(res, op1), slotCount(op1));
    res.setSize(size);
    setMetadata(res, level, log_slots, rescale_counter);
    makeHavingCommonDeviceOrThrow(res, op1, op2);
    updateOpHistoryForDevice(labels::tensor, res.getDevice());
}

void HomEvaluatorImpl::relinearize(const Ciphertext& op, Ciphertext& res) const {
    if (op.getSize() < 3)
        throw RuntimeException("[relinearize] the length of the input ciphertext should be >= 3.");
    res.setSize(op.getSize() - 1);
    keyPack.loadMultKey();
    if (!keyPack.isMultKeyLoaded())
        throw RuntimeException("[relinearize] no multiplication key");
    // The slots and the device come with the copied message.
    res.message() = op.message();
    setMetadata(res, op.getLevel(), op.getLogSlots(), op.getRescaleCounter());
    updateOpHistoryForDevice(labels::relinearize, res.getDevice());
}

} // namespace Morvane
