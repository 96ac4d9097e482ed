// Ciphertext arithmetic of the evaluator. Each operation reads what it needs of its operands before it
// writes the result, since the result may be one of them; checks run in their fixed order and nothing is
// undone when one fails.
#include "morvane/eval/HomEvaluator.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"
#include "morvane/keys/KeyRequirements.hpp"

#include <algorithm>
#include <cmath>

namespace Morvane {

namespace {

using utils::SlotKernel;
using SpreadKernel = void (*)(const Complex*, const Complex*, std::size_t, Complex*, std::size_t);

void throwIfSizesNotTwo(u64 first, u64 second) {
    if (first != 2 || second != 2)
        throw RuntimeException("Size > 2 is not supported yet");
}

// The message operand is spread over the evaluator's full slot count, which the ciphertext must hold.
void throwIfSpreadDoesNotFit(const Ciphertext& op, const Context& context) {
    utils::throwIfSlotCountsDiffer(utils::slotCount(op), context->parameter.fullSlots);
}

// Within 1e-8 of an integer in both parts, the real part decided first. A NaN difference is not greater than
// the bound, so a NaN or infinite part counts as integral.
bool isIntegralConstant(const Complex& c) {
    if (std::fabs(c.real() - std::round(c.real())) > 1e-8)
        return false;
    return !(std::fabs(c.imag() - std::round(c.imag())) > 1e-8);
}

// The one-operand forms without checks: the size first, then the slots, the operand's bookkeeping, the
// device step and the count.
template <typename Kernel>
void keepingBookkeeping(const HomEvaluatorImpl& eval, const Ciphertext& op, Ciphertext& res, const OpLabel& label,
                        Kernel kernel) {
    res.setSize(op.getSize());
    utils::mapKeepingBookkeeping(op, res, kernel);
    eval.updateOpHistoryForDevice(label, res.getDevice());
}

// add and sub with a message differ only in the slot kernel.
void sumWithMessage(const HomEvaluatorImpl& eval, const Ciphertext& op1, const Message& op2, Ciphertext& res,
                    SpreadKernel spread) {
    res.setSize(op1.getSize());
    utils::throwIfMessageLogSlotsDiffer(op1.getLogSlots(), op2);
    throwIfSpreadDoesNotFit(op1, eval.context);
    spread(op1.message().begin(), op2.begin(), op2.getSize(), utils::resultSlots(res, op1), utils::slotCount(op1));
    utils::setMetadata(res, op1.getLevel(), op1.getLogSlots(), op1.getRescaleCounter());
    utils::takeDeviceOf(res, op1);
    eval.updateOpHistoryForDevice(labels::addMessage, res.getDevice());
}

// add and sub with a plaintext differ only in the slot kernel.
void sumWithPlaintext(const HomEvaluatorImpl& eval, const Ciphertext& op1, const Plaintext& op2, Ciphertext& res,
                      SlotKernel kernel) {
    res.setSize(op1.getSize());
    utils::checkPrecondition(op1, op2);
    utils::checkSameSlotCount(op1.message(), op2.message());
    kernel(op1.message().begin(), op2.message().begin(), utils::resultSlots(res, op1), utils::slotCount(op1));
    utils::setMetadata(res, op1.getLevel(), op1.getLogSlots(), op1.getRescaleCounter());
    utils::makeHavingCommonDeviceOrThrow(res, op1, op2);
    eval.updateOpHistoryForDevice(labels::addPlaintext, res.getDevice());
}

// add and sub of two ciphertexts differ in the slot kernel and in when the size is written: sub before the
// precondition, add after it.
void sumOfCiphertexts(const HomEvaluatorImpl& eval, const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res,
                      SlotKernel kernel, bool size_before_check) {
    const u64 level = std::min(op1.getLevel(), op2.getLevel());
    const u64 log_slots = op1.getLogSlots();
    const int rescale_counter = op1.getRescaleCounter();
    const u64 size = std::max(op1.getSize(), op2.getSize());
    if (size_before_check)
        res.setSize(size);
    utils::checkPrecondition(op1, op2);
    utils::checkSameSlotCount(op1.message(), op2.message());
    if (!size_before_check)
        res.setSize(size);
    kernel(op1.message().begin(), op2.message().begin(), utils::resultSlots(res, op1), utils::slotCount(op1));
    utils::setMetadata(res, level, log_slots, rescale_counter);
    utils::makeHavingCommonDeviceOrThrow(res, op1, op2);
    eval.updateOpHistoryForDevice(labels::addCiphertext, res.getDevice());
}

// The slot product of two ciphertexts once every check has passed, with the bookkeeping the caller computed
// before anything was written, then the common device and the count.
void productOfCiphertexts(const HomEvaluatorImpl& eval, const Ciphertext& op1, const Ciphertext& op2,
                          Ciphertext& res, u64 size, u64 level, int rescale_counter, const OpLabel& label) {
    utils::checkSameSlotCount(op1.message(), op2.message());
    const u64 log_slots = op1.getLogSlots();
    utils::multSlots(op1.message().begin(), op2.message().begin(), utils::resultSlots(res, op1), utils::slotCount(op1));
    res.setSize(size);
    utils::setMetadata(res, level, log_slots, rescale_counter);
    utils::makeHavingCommonDeviceOrThrow(res, op1, op2);
    eval.updateOpHistoryForDevice(label, res.getDevice());
}

void requireMultKey(const KeyPack& pack, const char* message) {
    detail::requireKey(pack, detail::KeyKind::Multiplication, message);
}

} // namespace

void HomEvaluatorImpl::negate(const Ciphertext& op, Ciphertext& res) const {
    keepingBookkeeping(*this, op, res, labels::negate, utils::negateSlots);
}

void HomEvaluatorImpl::add(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const {
    keepingBookkeeping(*this, op1, res, labels::addConstant, [&cnst](const Complex* in, Complex* out, std::size_t n) {
        utils::addConstant(in, cnst, out, n);
    });
}

void HomEvaluatorImpl::sub(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const {
    keepingBookkeeping(*this, op1, res, labels::addConstant, [&cnst](const Complex* in, Complex* out, std::size_t n) {
        utils::subConstant(in, cnst, out, n);
    });
}

void HomEvaluatorImpl::add(const Ciphertext& op1, const Message& op2, Ciphertext& res) const {
    sumWithMessage(*this, op1, op2, res, utils::addSpread);
}

void HomEvaluatorImpl::sub(const Ciphertext& op1, const Message& op2, Ciphertext& res) const {
    sumWithMessage(*this, op1, op2, res, utils::subSpread);
}

void HomEvaluatorImpl::add(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const {
    sumWithPlaintext(*this, op1, op2, res, utils::addSlots);
}

void HomEvaluatorImpl::sub(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const {
    sumWithPlaintext(*this, op1, op2, res, utils::subSlots);
}

void HomEvaluatorImpl::add(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const {
    sumOfCiphertexts(*this, op1, op2, res, utils::addSlots, false);
}

void HomEvaluatorImpl::sub(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const {
    sumOfCiphertexts(*this, op1, op2, res, utils::subSlots, true);
}

void HomEvaluatorImpl::multImagUnit(const Ciphertext& op, Ciphertext& res) const {
    keepingBookkeeping(*this, op, res, labels::multImagUnit, utils::multImagUnitSlots);
}

void HomEvaluatorImpl::multInteger(const Ciphertext& op, u64 cnst_integer, Ciphertext& res) const {
    if (cnst_integer == 1) {
        res = op;
        return;
    }
    const double k = static_cast<double>(cnst_integer);
    keepingBookkeeping(*this, op, res, labels::multInteger,
                       [k](const Complex* in, Complex* out, std::size_t n) { utils::multReal(in, k, out, n); });
}

void HomEvaluatorImpl::mult(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const {
    res.setSize(op1.getSize());
    utils::throwIfLevelZero(op1.getLevel());
    utils::throwIfRescaleCounterNotZero(op1.getRescaleCounter());
    const u64 level = op1.getLevel();
    utils::multConstant(op1.message().begin(), cnst, utils::resultSlots(res, op1), utils::slotCount(op1));
    // An integral constant needs no rescale, so it keeps the level.
    const bool integral = isIntegralConstant(cnst);
    utils::setMetadata(res, integral ? level : level - 1, op1.getLogSlots(), op1.getRescaleCounter());
    utils::takeDeviceOf(res, op1);
    updateOpHistoryForDevice(integral ? labels::multInteger : labels::multConstant, res.getDevice());
}

void HomEvaluatorImpl::mult(const Ciphertext& op1, const Message& op2, Ciphertext& res) const {
    res.setSize(op1.getSize());
    utils::throwIfLevelZero(op1.getLevel());
    utils::throwIfRescaleCounterNotZero(op1.getRescaleCounter());
    utils::throwIfMessageLogSlotsDiffer(op1.getLogSlots(), op2);
    throwIfSpreadDoesNotFit(op1, context);
    const u64 level = op1.getLevel();
    utils::multSpread(op1.message().begin(), op2.begin(), op2.getSize(), utils::resultSlots(res, op1),
                      utils::slotCount(op1));
    utils::setMetadata(res, level - 1, op1.getLogSlots(), op1.getRescaleCounter());
    utils::takeDeviceOf(res, op1);
    updateOpHistoryForDevice(labels::multMessage, res.getDevice());
}

void HomEvaluatorImpl::mult(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const {
    res.setSize(op1.getSize());
    utils::throwIfEitherLevelZero(op1.getLevel(), op2.getLevel());
    utils::throwIfRescaleCountersNotZero(op1.getRescaleCounter(), op2.getRescaleCounter());
    utils::checkSameSlotCount(op1.message(), op2.message());
    const u64 level = op1.getLevel();
    utils::multSlots(op1.message().begin(), op2.message().begin(), utils::resultSlots(res, op1), utils::slotCount(op1));
    utils::setMetadata(res, level - 1, op1.getLogSlots(), op1.getRescaleCounter());
    // The plaintext's device is not compared.
    utils::takeDeviceOf(res, op1);
    updateOpHistoryForDevice(labels::multPlaintext, res.getDevice());
}

void HomEvaluatorImpl::mult(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const {
    throwIfSizesNotTwo(op1.getSize(), op2.getSize());
    utils::throwIfEitherLevelZero(op1.getLevel(), op2.getLevel());
    utils::throwIfRescaleCountersNotZero(op1.getRescaleCounter(), op2.getRescaleCounter());
    requireMultKey(keyPack, "[mult] no multiplication key");
    productOfCiphertexts(*this, op1, op2, res, 2, std::min(op1.getLevel(), op2.getLevel()) - 1,
                         op1.getRescaleCounter(), labels::multCiphertext);
}

void HomEvaluatorImpl::square(const Ciphertext& op, Ciphertext& res) const { mult(op, op, res); }

void HomEvaluatorImpl::multWithoutRescale(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const {
    res.setSize(op1.getSize());
    utils::throwIfLevelZero(op1.getLevel());
    const int rescale_counter = utils::addRescaleCounters(op1.getRescaleCounter(), 1);
    utils::multConstant(op1.message().begin(), cnst, utils::resultSlots(res, op1), utils::slotCount(op1));
    utils::setMetadata(res, op1.getLevel(), op1.getLogSlots(), rescale_counter);
    utils::takeDeviceOf(res, op1);
    updateOpHistoryForDevice(labels::multConstantWithoutRescale, res.getDevice());
}

void HomEvaluatorImpl::multWithoutRescale(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const {
    res.setSize(op1.getSize());
    utils::throwIfLevelsDiffer(op1.getLevel(), op2.getLevel());
    utils::throwIfEitherLevelZero(op1.getLevel(), op2.getLevel());
    utils::throwIfRescaleCountersNotZero(op1.getRescaleCounter(), op2.getRescaleCounter());
    utils::checkPrecondition(op1, op2);
    utils::checkSameSlotCount(op1.message(), op2.message());
    utils::multSlots(op1.message().begin(), op2.message().begin(), utils::resultSlots(res, op1), utils::slotCount(op1));
    utils::setMetadata(res, op1.getLevel(), op1.getLogSlots(), 1);
    utils::makeHavingCommonDeviceOrThrow(res, op1, op2);
    updateOpHistoryForDevice(labels::multPlaintextWithoutRescale, res.getDevice());
}

void HomEvaluatorImpl::multWithoutRescale(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const {
    throwIfSizesNotTwo(op1.getSize(), op2.getSize());
    utils::throwIfLevelsDiffer(op1.getLevel(), op2.getLevel());
    utils::throwIfEitherLevelZero(op1.getLevel(), op2.getLevel());
    utils::throwIfRescaleCountersNotZero(op1.getRescaleCounter(), op2.getRescaleCounter());
    requireMultKey(keyPack, "[multWithoutRescale] no multiplication key");
    productOfCiphertexts(*this, op1, op2, res, 2, op1.getLevel(), 1, labels::multCiphertextWithoutRescale);
}

void HomEvaluatorImpl::tensor(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const {
    utils::throwIfLevelsDiffer(op1.getLevel(), op2.getLevel());
    utils::throwIfLogSlotsDiffer(op1.getLogSlots(), op2.getLogSlots());
    const int rescale_counter =
        utils::addRescaleCounters(utils::addRescaleCounters(op1.getRescaleCounter(), op2.getRescaleCounter()), 1);
    productOfCiphertexts(*this, op1, op2, res, op1.getSize() + op2.getSize() - 1, op1.getLevel(), rescale_counter,
                         labels::tensor);
}

void HomEvaluatorImpl::relinearize(const Ciphertext& op, Ciphertext& res) const {
    if (op.getSize() < 3)
        throw RuntimeException("[relinearize] the length of the input ciphertext should be >= 3.");
    res.setSize(op.getSize() - 1);
    requireMultKey(keyPack, "[relinearize] no multiplication key");
    // The slots and the device come with the copied message.
    res.message() = op.message();
    utils::setMetadata(res, op.getLevel(), op.getLogSlots(), op.getRescaleCounter());
    updateOpHistoryForDevice(labels::relinearize, res.getDevice());
}

} // namespace Morvane
