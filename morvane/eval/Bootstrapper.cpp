#include "morvane/eval/Bootstrapper.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/tables/ErrorSamples.hpp"
#include "morvane/core/tables/ZeroResponse.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"
#include "morvane/keys/KeyRequirements.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace Morvane {

namespace {

// Numbers in the bootstrapper's messages are printed as signed 32-bit values.
std::string asMessageNumber(i64 value) { return std::to_string(static_cast<std::int32_t>(value)); }

const char* costKey(bool is_complex, bool extended) {
    if (extended)
        return is_complex ? "bootstrap_complex_extended" : "bootstrap_real_extended";
    return is_complex ? "bootstrap_complex" : "bootstrap_real";
}

void checkBootstrappable(const Context& context) {
    if (!isBootstrappableParameter(context))
        throw RuntimeException("The Parameter does not support bootstrap");
}

} // namespace

BootstrapperImpl::BootstrapperImpl(const HomEvaluator& eval) : BootstrapperImpl(eval, getLogFullSlots(eval.context)) {}

BootstrapperImpl::BootstrapperImpl(const HomEvaluator& eval, u64 log_slots)
    : context(eval.context), evaluatorImpl(eval.impl) {
    makeBootConstants(0);
    makeBootConstants(log_slots);
    checkBootstrappable(context);
}

BootstrapperImpl::BootstrapperImpl(const HomEvaluator& eval, const Context& context_sparse)
    : BootstrapperImpl(eval, context_sparse, getLogFullSlots(eval.context)) {}

BootstrapperImpl::BootstrapperImpl(const HomEvaluator& eval, const Context& context_sparse, u64 log_slots)
    : context(eval.context), evaluatorImpl(eval.impl) {
    checkBootstrappable(context);
    detail::checkSparseContext(context, context_sparse, "[Bootstrapper]");
    makeBootConstants(0);
    makeBootConstants(log_slots);
    contextSparse = context_sparse;
}

u64 BootstrapperImpl::getLevelAfterFullSlotBootstrap() const {
    if (!isBootstrappableParameter(context))
        throw RuntimeException("The parameter does not support bootstrap");
    if (context->parameter.preset == ParameterPreset::FVa)
        return 16;
    return getEncryptionLevel(context);
}

u64 BootstrapperImpl::getLevelAfterTargetSlotBootstrap(u64 log_slots, bool extended) const {
    const u64 level = getLevelAfterFullSlotBootstrap();
    if (log_slots != 0 || extended)
        return level;
    return level < getEncryptionLevel(context) ? level + 1 : level;
}

bool BootstrapperImpl::isBootstrapReady(u64 log_slots) const {
    if (log_slots == 0)
        return true;
    const std::lock_guard<std::mutex> lock(bootConstantsMutex);
    return bootConstants.count(log_slots) != 0;
}

void BootstrapperImpl::makeBootConstants(u64 log_slots) {
    const u64 logFull = getLogFullSlots(context);
    if (log_slots > logFull)
        throw RuntimeException("log_slots should not exceed " + asMessageNumber(static_cast<i64>(logFull)));
    if (log_slots == 0)
        return;
    const std::lock_guard<std::mutex> lock(bootConstantsMutex);
    bootConstants.emplace(log_slots, true);
}

void BootstrapperImpl::loadBootConstants(u64 log_slots, const Device&) const {
    if (!isBootstrapReady(log_slots))
        throw RuntimeException("Bootstrapping constants for log slots " +
                               asMessageNumber(static_cast<i64>(log_slots)) + " do not exist.");
}

void BootstrapperImpl::loadKeysForBootstrap(u64 log_slots) const {
    const KeyPack& pack = evaluatorImpl->keyPack;
    detail::requireKey(pack, detail::KeyKind::Multiplication, "[bootstrap] no multiplication key");
    detail::requireKey(pack, detail::KeyKind::Conjugation, "[bootstrap] no conjugation key");
    // Negative giant steps reduce to left indices in the pack; the message keeps the sign.
    for (const i64 index : getRotIndicesForBootstrap(context, log_slots))
        detail::requireLeftRotKey(pack, static_cast<u64>(index), [index] {
            throw RuntimeException("[bootstrap] no left rotation key for index " + asMessageNumber(index));
        });
    if (isSparseSecretEncapsulationSupported(context))
        detail::requireKey(pack, detail::KeyKind::SparseSecretEncapsulation, "[bootstrap] no SSE key");
}

void BootstrapperImpl::bootstrap(const Ciphertext& op, Ciphertext& res, bool is_complex) const {
    bootstrapOne(op, res, is_complex, false);
}

void BootstrapperImpl::bootstrapExtended(const Ciphertext& op, Ciphertext& res, bool is_complex) const {
    bootstrapOne(op, res, is_complex, true);
}

void BootstrapperImpl::bootstrap(const Ciphertext& op, Ciphertext& res1, Ciphertext& res2) const {
    bootstrapTwo(op, res1, res2, false);
}

void BootstrapperImpl::bootstrapExtended(const Ciphertext& op, Ciphertext& res1, Ciphertext& res2) const {
    bootstrapTwo(op, res1, res2, true);
}

void BootstrapperImpl::bootstrapOne(const Ciphertext& op, Ciphertext& res, bool is_complex, bool extended) const {
    utils::throwIfSizeNotTwo(op.getSize());
    if (extended) {
        if (!isExtendedBootstrapSupported(context))
            throw RuntimeException("This parameter does not support extended bootstrap");
        if (op.getLevel() < getMinLevelForBootstrap() + 1)
            throw RuntimeException("[bootstrap extended] Level of ciphertext should be >= 4.");
    } else {
        checkBootstrappable(context);
        if (op.getLevel() < getMinLevelForBootstrap())
            throw RuntimeException("[bootstrap] Level of ciphertext should be >= 3.");
    }

    const u64 logSlots = op.getLogSlots();
    const Device device = op.getDevice();
    loadBootConstants(logSlots, device);
    loadKeysForBootstrap(logSlots);
    if (extended) {
        const u64 logFull = getLogFullSlots(context);
        if (logSlots != logFull) {
            loadBootConstants(logFull, device);
            loadKeysForBootstrap(logFull);
        }
    }

    res.setSize(op.getSize());
    utils::throwIfRescaleCounterNotZero(op.getRescaleCounter());

    const std::string& presetName = context->parameter.presetName;
    const ZeroResponse* entry = findZeroResponse(presetName, costKey(is_complex, extended));
    u64 cost = entry != nullptr ? entry->timeMs : 0;

    const Message& in = op.message();
    Message& out = res.message();
    std::optional<Message> samples;
    if (context->simulateErrorFlag.load() && entry != nullptr)
        samples.emplace(errorSamplesForBootstrap(context, *entry));
    // An input of another context's length cannot take this context's samples: refused before any write.
    if (samples)
        utils::checkSameSlotCount(in, *samples);
    // The output takes the input's length, so an output of a smaller context is never written past its end.
    utils::sizeLike(out, in);
    // Slots and samples in one pass: the same sums as the copy followed by the message addition.
    utils::bootstrapSlots(in.begin(), samples ? samples->begin() : nullptr, out.begin(), in.getSize(), is_complex);

    utils::setMetadata(res, getLevelAfterTargetSlotBootstrap(logSlots, extended), logSlots, op.getRescaleCounter());
    utils::takeDeviceOf(res, op);

    // One exchange decides the warm-up, so concurrent first bootstraps of a context charge it once.
    if (!context->bootstrapWarmedUp.exchange(true))
        cost += zeroResponseTimeMs(presetName, "bootstrap_warmup");
    context->tickStopWatch(cost);
    evaluatorImpl->updateOpHistoryForDevice(extended ? labels::bootstrapExtended : labels::bootstrap, res.getDevice());
}

void BootstrapperImpl::bootstrapTwo(const Ciphertext& op, Ciphertext& res1, Ciphertext& res2, bool extended) const {
    utils::throwIfRescaleCounterNotZero(op.getRescaleCounter());
    res1.setSize(op.getSize());
    res2.setSize(op.getSize());

    Ciphertext tmp(context, false);
    bootstrapOne(op, tmp, true, extended);

    const Message& in = tmp.message();
    Message& real = res1.message();
    Message& imag = res2.message();
    utils::sizeLike(real, in);
    utils::sizeLike(imag, in);
    utils::splitParts(in.begin(), real.begin(), imag.begin(), in.getSize());

    for (Ciphertext* res : {&res1, &res2}) {
        utils::setMetadata(*res, tmp.getLevel(), tmp.getLogSlots(), tmp.getRescaleCounter());
        utils::takeDeviceOf(*res, tmp);
    }
}

Bootstrapper::Bootstrapper(const HomEvaluator& eval) : impl(std::make_shared<BootstrapperImpl>(eval)) {}

Bootstrapper::Bootstrapper(const HomEvaluator& eval, u64 log_slots)
    : impl(std::make_shared<BootstrapperImpl>(eval, log_slots)) {}

Bootstrapper::Bootstrapper(const HomEvaluator& eval, const Context& context_sparse)
    : impl(std::make_shared<BootstrapperImpl>(eval, context_sparse)) {}

Bootstrapper::Bootstrapper(const HomEvaluator& eval, const Context& context_sparse, u64 log_slots)
    : impl(std::make_shared<BootstrapperImpl>(eval, context_sparse, log_slots)) {}

} // namespace Morvane
