#include "morvane/eval/Bootstrapper.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/tables/ErrorSamples.hpp"
#include "morvane/core/tables/ZeroResponse.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"

#include <algorithm>
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

// Kernels over the parts of n slots; `out` is either `in` or a separate buffer.
void realParts(const double* __restrict__ in, double* __restrict__ out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = in[2 * i];
        out[2 * i + 1] = 0.0;
    }
}

void realPartsInPlace(double* __restrict__ slots, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        slots[2 * i + 1] = 0.0;
}

// The real part plus the sample's, and 0 plus the sample's imaginary part, as the message addition sums them.
void realPartsPlus(const double* __restrict__ in, const double* __restrict__ samples, double* __restrict__ out,
                   std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = in[2 * i] + samples[2 * i];
        out[2 * i + 1] = 0.0 + samples[2 * i + 1];
    }
}

void realPartsPlusInPlace(double* __restrict__ slots, const double* __restrict__ samples, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        slots[2 * i] = slots[2 * i] + samples[2 * i];
        slots[2 * i + 1] = 0.0 + samples[2 * i + 1];
    }
}

// The bootstrapped slots: all of `in`, or its real parts with imaginary parts 0, plus `samples` when given.
void writeSlots(const Complex* in, const Complex* samples, Complex* out, std::size_t n, bool is_complex) {
    if (is_complex) {
        if (samples != nullptr)
            utils::addSlots(in, samples, out, n);
        else if (out != in)
            std::copy(in, in + n, out);
        return;
    }
    // std::complex<double> is laid out as double[2], real part first.
    const double* x = reinterpret_cast<const double*>(in);
    const double* s = reinterpret_cast<const double*>(samples);
    double* z = reinterpret_cast<double*>(out);
    if (samples == nullptr)
        out == in ? realPartsInPlace(z, n) : realParts(x, z, n);
    else
        out == in ? realPartsPlusInPlace(z, s, n) : realPartsPlus(x, s, z, n);
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
    KeyPack& pack = evaluatorImpl->keyPack;
    pack.loadMultKey();
    if (!pack.isMultKeyLoaded())
        throw RuntimeException("[bootstrap] no multiplication key");
    pack.loadConjKey();
    if (!pack.isConjKeyLoaded())
        throw RuntimeException("[bootstrap] no conjugation key");
    // Negative giant steps reduce to left indices in the pack; the message keeps the sign.
    for (const i64 index : getRotIndicesForBootstrap(context, log_slots)) {
        const u64 left = static_cast<u64>(index);
        pack.loadLeftRotKey(left);
        if (!pack.isLeftRotKeyLoaded(left))
            throw RuntimeException("[bootstrap] no left rotation key for index " + asMessageNumber(index));
    }
    if (isSparseSecretEncapsulationSupported(context)) {
        pack.loadSparseSecretEncapsulationKey();
        if (!pack.isSparseSecretEncapsulationKeyLoaded())
            throw RuntimeException("[bootstrap] no SSE key");
    }
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
    if (op.getSize() != 2)
        throw RuntimeException("Size should be 2");
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
    writeSlots(in.begin(), samples ? samples->begin() : nullptr, out.begin(), in.getSize(), is_complex);

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
    const Complex* src = in.begin();
    Complex* re = real.begin();
    Complex* im = imag.begin();
    const u64 n = in.getSize();
    for (u64 i = 0; i < n; ++i) {
        const Complex value = src[i];
        re[i] = Complex(value.real(), 0.0);
        im[i] = Complex(value.imag(), 0.0);
    }

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
