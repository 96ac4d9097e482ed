#include "morvane/core/Exception.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"
#include "morvane/eval/HomEvaluator.hpp"
#include "morvane/eval/ScratchCiphertexts.hpp"
#include "morvane/keys/KeyRequirements.hpp"

namespace Morvane {

void HomEvaluatorImpl::rescale(Ciphertext& op) const {
    utils::throwIfLevelZero(op.getLevel());
    if (op.getRescaleCounter() <= 0)
        throw RuntimeException("[rescale] Rescale Counter of the Ciphertext is zero or less");
    op.setLevel(op.getLevel() - 1);
    op.setRescaleCounter(op.getRescaleCounter() - 1);
    updateOpHistoryForDevice(labels::rescale, op.getDevice());
}

void HomEvaluatorImpl::inverseRescale(Ciphertext& op) const {
    if (op.getLevel() >= context->parameter.chain_length - 1)
        throw RuntimeException("[inverseRescale] Cannot inverseRescale when the level is greater than or equal to "
                               "the maximum level");
    op.setLevel(op.getLevel() + 1);
    // The counter is not checked; it wraps like the real library's 32-bit counter.
    op.setRescaleCounter(utils::addRescaleCounters(op.getRescaleCounter(), 1));
    updateOpHistoryForDevice(labels::inverseRescale, op.getDevice());
}

namespace {

// The common tail of both level-down forms, after their checks.
void copyAtLevel(const HomEvaluatorImpl& eval, const Ciphertext& op, u64 level, Ciphertext& res) {
    res.message() = op.message();
    utils::setMetadata(res, level, op.getLogSlots(), op.getRescaleCounter());
    utils::takeDeviceOf(res, op);
    eval.updateOpHistoryForDevice(labels::levelDown, res.getDevice());
}

} // namespace

void HomEvaluatorImpl::levelDown(const Ciphertext& op, u64 target_level, Ciphertext& res) const {
    res.setSize(op.getSize());
    if (op.getLevel() < target_level)
        throw RuntimeException("[level down] target level is greater than level of Ciphertext");
    utils::throwIfRescaleCounterNotZero(op.getRescaleCounter());
    copyAtLevel(*this, op, target_level, res);
}

void HomEvaluatorImpl::levelDownOne(const Ciphertext& op, Ciphertext& res) const {
    res.setSize(op.getSize());
    utils::throwIfLevelZero(op.getLevel());
    utils::throwIfRescaleCounterNotZero(op.getRescaleCounter());
    copyAtLevel(*this, op, op.getLevel() - 1, res);
}

void HomEvaluatorImpl::conjugate(const Ciphertext& op, Ciphertext& res) const {
    utils::throwIfSizeNotTwo(op.getSize());
    res.setSize(op.getSize());
    detail::requireKey(keyPack, detail::KeyKind::Conjugation, "[Conjugate] no conjugation key");
    utils::mapKeepingBookkeeping(op, res, utils::conjugateSlots);
    updateOpHistoryForDevice(labels::conjugate, res.getDevice());
}

void HomEvaluatorImpl::killImag(const Ciphertext& op, Ciphertext& res) const {
    auto lease = scratch->acquire();
    Ciphertext& tmp = *lease;
    conjugate(op, tmp);
    // (x + conj x) / 2, the half taken without rescaling and then rescaled away.
    add(op.message(), tmp.message(), tmp.message());
    multWithoutRescale(tmp, Complex(0.5, 0.0), res);
    rescale(res);
}

} // namespace Morvane
