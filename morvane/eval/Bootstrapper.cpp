#include "morvane/eval/Bootstrapper.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/tables/ErrorSamples.hpp"
#include "morvane/core/tables/ZeroResponse.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"
#include "morvane/keys/KeyRequirements.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Morvane {

namespace {

// Numbers in the bootstrapper's messages are printed as signed 32-bit values.
std::string asMessageNumber(i64 value) { return std::to_string(static_cast<std::int32_t>(value)); }

const char* costKey(bool is_complex, bool extended) {
    if (extended)
        return is_complex ? "bootstrap_complex_extended" : "bootstrap_real_extended";
    return is_complex ? "bootstrap_complex" : "bootstrap_real";
}

const ZeroResponse* findCost(const Context& context, bool is_complex, bool extended) {
    return findZeroResponse(context->parameter.presetName, costKey(is_complex, extended));
}

void checkBootstrappable(const Context& context) {
    if (!isBootstrappableParameter(context))
        throw RuntimeException("The Parameter does not support bootstrap");
}

} // namespace

BootstrapperImpl::BootstrapperImpl(const HomEvaluator& eval) : BootstrapperImpl(eval, getLogFullSlots(eval.context)) {}

BootstrapperImpl::BootstrapperImpl(const HomEvaluator& eval, Members)
    : context(eval.context), evaluatorImpl(eval.impl),
      fullSlotLevel(isBootstrappableParameter(context) ? std::optional<u64>(getLevelAfterFullSlotBootstrap())
                                                       : std::nullopt),
      costEntries{{findCost(context, false, false), findCost(context, false, true)},
                  {findCost(context, true, false), findCost(context, true, true)}},
      warmUpCostMs(zeroResponseTimeMs(context->parameter.presetName, "bootstrap_warmup")) {}

BootstrapperImpl::BootstrapperImpl(const HomEvaluator& eval, u64 log_slots) : BootstrapperImpl(eval, Members{}) {
    makeBootConstants(0);
    makeBootConstants(log_slots);
    checkBootstrappable(context);
}

BootstrapperImpl::BootstrapperImpl(const HomEvaluator& eval, const Context& context_sparse)
    : BootstrapperImpl(eval, context_sparse, getLogFullSlots(eval.context)) {}

BootstrapperImpl::BootstrapperImpl(const HomEvaluator& eval, const Context& context_sparse, u64 log_slots)
    : BootstrapperImpl(eval, Members{}) {
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
    const u64 level = fullSlotLevel ? *fullSlotLevel : getLevelAfterFullSlotBootstrap();
    if (log_slots != 0 || extended)
        return level;
    return level < getEncryptionLevel(context) ? level + 1 : level;
}

bool BootstrapperImpl::isBootstrapReady(u64 log_slots) const {
    if (log_slots == 0)
        return true;
    return log_slots < 64 && ((preparedLogSlots.load(std::memory_order_acquire) >> log_slots) & 1) != 0;
}

void BootstrapperImpl::makeBootConstants(u64 log_slots) {
    const u64 logFull = getLogFullSlots(context);
    if (log_slots > logFull)
        throw RuntimeException("log_slots should not exceed " + asMessageNumber(static_cast<i64>(logFull)));
    if (log_slots == 0)
        return;
    preparedLogSlots.fetch_or(std::uint64_t{1} << log_slots, std::memory_order_acq_rel);
}

void BootstrapperImpl::loadBootConstants(u64 log_slots, const Device&) const {
    if (!isBootstrapReady(log_slots))
        throw RuntimeException("Bootstrapping constants for log slots " +
                               asMessageNumber(static_cast<i64>(log_slots)) + " do not exist.");
}

const std::vector<i64>& BootstrapperImpl::rotIndicesForBootstrap(u64 log_slots) const {
    if (const std::vector<i64>* kept = rotIndices[log_slots].load(std::memory_order_acquire))
        return *kept;
    const std::lock_guard<std::mutex> lock(rotIndicesMutex);
    if (!rotIndicesKept[log_slots]) {
        const std::set<i64> indices = getRotIndicesForBootstrap(context, log_slots);
        rotIndicesKept[log_slots] = std::make_unique<const std::vector<i64>>(indices.begin(), indices.end());
        rotIndices[log_slots].store(rotIndicesKept[log_slots].get(), std::memory_order_release);
    }
    return *rotIndicesKept[log_slots];
}

void BootstrapperImpl::loadKeysForBootstrap(u64 log_slots) const {
    const KeyPack& pack = evaluatorImpl->keyPack;
    const KeyPackImpl& keys = *pack.getImpl();
    const bool sse = isSparseSecretEncapsulationSupported(context);
    // Every key held, the steady state: the checks below would load nothing and refuse nothing. The index
    // query comes after the first two checks there too, so it refuses the same log slots at the same point.
    if (log_slots < 64 && keys.isMultKeyLoaded() && keys.isConjKeyLoaded()) {
        const std::vector<i64>& indices = rotIndicesForBootstrap(log_slots);
        if (keys.areLeftRotKeysLoaded(indices.data(), indices.size()) &&
            (!sse || keys.isSparseSecretEncapsulationKeyLoaded()))
            return;
    }
    detail::requireKey(pack, detail::KeyKind::Multiplication, "[bootstrap] no multiplication key");
    detail::requireKey(pack, detail::KeyKind::Conjugation, "[bootstrap] no conjugation key");
    // Log slots of 64 and more are refused by the index query itself; they are not kept.
    std::vector<i64> unkept;
    if (log_slots >= 64) {
        const std::set<i64> indices = getRotIndicesForBootstrap(context, log_slots);
        unkept.assign(indices.begin(), indices.end());
    }
    // Negative giant steps reduce to left indices in the pack; the message keeps the sign.
    for (const i64 index : log_slots < 64 ? rotIndicesForBootstrap(log_slots) : unkept)
        detail::requireLeftRotKey(pack, static_cast<u64>(index), [index] {
            throw RuntimeException("[bootstrap] no left rotation key for index " + asMessageNumber(index));
        });
    if (sse)
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

    const ZeroResponse* entry = costEntries[is_complex][extended];
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
    if (!context->bootstrapWarmedUp.load() && !context->bootstrapWarmedUp.exchange(true))
        cost += warmUpCostMs;
    context->tickStopWatch(cost);
    evaluatorImpl->updateOpHistoryForDevice(extended ? labels::bootstrapExtended : labels::bootstrap, res.getDevice());
}

void BootstrapperImpl::bootstrapTwo(const Ciphertext& op, Ciphertext& res1, Ciphertext& res2, bool extended) const {
    utils::throwIfRescaleCounterNotZero(op.getRescaleCounter());
    res1.setSize(op.getSize());
    res2.setSize(op.getSize());

    // The complex bootstrap goes to res1 itself: every check of bootstrapOne comes before its first write
    // other than the size, which res1 already has, so a refusal leaves res1 as a separate result would. The
    // parts are then split in place; one object for both results ends with the imaginary parts.
    bootstrapOne(op, res1, true, extended);
    Message& in = res1.message();
    Message& imag = res2.message();
    utils::sizeLike(imag, in);
    utils::splitParts(in.begin(), in.begin(), imag.begin(), in.getSize());
    utils::setMetadata(res2, res1.getLevel(), res1.getLogSlots(), res1.getRescaleCounter());
    utils::takeDeviceOf(res2, res1);
}

Bootstrapper::Bootstrapper(const HomEvaluator& eval) : impl(std::make_shared<BootstrapperImpl>(eval)) {}

Bootstrapper::Bootstrapper(const HomEvaluator& eval, u64 log_slots)
    : impl(std::make_shared<BootstrapperImpl>(eval, log_slots)) {}

Bootstrapper::Bootstrapper(const HomEvaluator& eval, const Context& context_sparse)
    : impl(std::make_shared<BootstrapperImpl>(eval, context_sparse)) {}

Bootstrapper::Bootstrapper(const HomEvaluator& eval, const Context& context_sparse, u64 log_slots)
    : impl(std::make_shared<BootstrapperImpl>(eval, context_sparse, log_slots)) {}

} // namespace Morvane
