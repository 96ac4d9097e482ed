#include "morvane/core/Context.hpp"

#include "morvane/core/Alert.hpp"
#include "morvane/core/Exception.hpp"
#include "morvane/core/tables/ZeroResponse.hpp"

namespace Morvane {

namespace {

u64 computeParameterId(const Parameter& p) {
    // A sum of overlapping terms, not a packing of digits: the real library's id, kept as it is.
    return 10000000000ULL * p.log_dimension + 100000000ULL * p.fullSlots + 1000000ULL * p.chain_length +
           10000ULL * p.numBP + 100ULL * p.numQP + p.numTP;
}

} // namespace

void StopWatch::start() {
    running_.store(true);
    duration_.store(0);
}

void StopWatch::tick(u64 ms) {
    if (running_.load())
        duration_.fetch_add(ms);
}

void StopWatch::stop() { running_.store(false); }

u64 StopWatch::getDuration() {
    if (running_.load())
        running_.store(false);
    return duration_.load();
}

ContextContent::ContextContent(const ParameterPreset& preset, const std::set<Device>& devices_)
    : devices(devices_), parameter(preset), parameterId(computeParameterId(parameter)),
      stopWatch(std::make_unique<StopWatch>(zeroResponseTimeMs(parameter.presetName, "make_context"))) {}

// Custom contexts have no cost row, so their stopwatch starts at 0.
ContextContent::ContextContent(u64 log_dimension, u64 chain_length, u64 bpsize, u64 qpsize, u64 tpsize,
                               u64 gadget_rank, const std::set<Device>& devices_)
    : devices(devices_), parameter(log_dimension, chain_length, gadget_rank, bpsize, tpsize, qpsize),
      parameterId(computeParameterId(parameter)),
      stopWatch(std::make_unique<StopWatch>(zeroResponseTimeMs(parameter.presetName, "make_context"))) {}

void ContextContent::updateOpHistory(const std::string& label) {
    const std::size_t row = labels::rowOf(label);
    if (row != labels::kLabelCount) {
        countRow(row);
        return;
    }
    const std::lock_guard<std::mutex> lock(opHistoryMutex);
    ++opHistory[label];
}

std::map<std::string, u64> ContextContent::getOpHistory() const {
    std::map<std::string, u64> history;
    {
        const std::lock_guard<std::mutex> lock(opHistoryMutex);
        history = opHistory;
    }
    for (std::size_t row = 0; row < labels::kLabelCount; ++row) {
        const u64 count = rowCount(row);
        if (count != 0)
            history.emplace(labels::text(row), count);
    }
    return history;
}

void ContextContent::clearOpHistory() {
    const std::lock_guard<std::mutex> lock(opHistoryMutex);
    opHistory.clear();
    for (CounterShard& shard : labelCounts)
        for (std::atomic<u64>& count : shard.counts)
            count.store(0, std::memory_order_relaxed);
}

std::size_t ContextContent::counterShardOfThisThread() {
    static std::atomic<std::size_t> nextShard{0};
    // kCounterShards stands for "none yet": a constant initial value needs no initialisation guard on every
    // count, only this test.
    static thread_local std::size_t shard = kCounterShards;
    if (shard == kCounterShards)
        shard = nextShard.fetch_add(1, std::memory_order_relaxed) % kCounterShards;
    return shard;
}

u64 ContextContent::rowCount(std::size_t row) const {
    u64 count = 0;
    for (const CounterShard& shard : labelCounts)
        count += shard.counts[row].load(std::memory_order_relaxed);
    return count;
}

std::set<Device> makeDeviceSet(const std::set<int>& cuda_device_ids) {
    std::set<Device> devices;
    for (const int id : cuda_device_ids)
        devices.insert(Device(DeviceType::GPU, id));
    return devices;
}

Context makeContext(const ParameterPreset& preset, const std::set<int>& cuda_device_ids) {
    return std::make_shared<ContextContent>(preset, makeDeviceSet(cuda_device_ids));
}

Context makeContext(u64 log_dimension, u64 chain_length, u64 bpsize, u64 qpsize, u64 tpsize, u64 gadget_rank,
                    const std::set<int>& cuda_device_ids) {
    return std::make_shared<ContextContent>(log_dimension, chain_length, bpsize, qpsize, tpsize, gadget_rank,
                                            makeDeviceSet(cuda_device_ids));
}

u64 getLogFullSlots(const Context& context) { return context->parameter.log_dimension - 1; }

u64 getEncryptionLevel(const Context& context) { return context->parameter.encryptionLevel; }

std::vector<Real> getDefaultScaleFactorList(const Context&) {
    detail::alert("[getDefaultScaleFactorList] Always return an empty vector<Real> in Morvane-simulator");
    return {};
}

std::vector<u64> getPrimeList(const Context&) {
    detail::alert("[getPrimeList] Always return an empty vector<u64> Morvane-simulator");
    return {};
}

bool isBootstrappableParameter(const Context& context) { return context->parameter.bootstrappable; }

bool isExtendedBootstrapSupported(const Context& context) {
    return context->parameter.extendedBootstrapSupported;
}

bool isSparseSecretEncapsulationSupported(const Context& context) {
    return context->parameter.sparseSecretEncapsulationSupported;
}

std::set<i64> getRotIndicesForBootstrap(const Context& context, unsigned long log_slots) {
    return context->getRotIndicesForBootstrap(log_slots);
}

SecurityLevel getSecurityLevel(const Context& context) { return context->securityLevel; }

std::string representOpHistory(const Context& context, bool verbose) {
    return context->representOpHistory(verbose);
}

std::map<std::string, u64> getOpHistory(const Context& context) { return context->getOpHistory(); }

void clearOpHistory(Context& context) { context->clearOpHistory(); }

void startStopWatch(const Context& context) { context->startStopWatch(); }

void stopStopWatch(const Context& context) { context->stopStopWatch(); }

u64 getDuration(const Context& context) { return context->getDuration(); }

void simulateError(const Context& context, bool onoff) { context->simulateErrorFlag.store(onoff); }

namespace detail {
void checkSparseContext(const Context& context, const Context& context_sparse, const char* owner) {
    if (!isSparseSecretEncapsulationSupported(context))
        throw RuntimeException(std::string(owner) + " context does not support sparse secret encapsulation");
    if (context_sparse->parameter.preset != getSparseParameterPresetFor(context->parameter.preset))
        throw RuntimeException(std::string(owner) + " parameter of context and context_sparse does not match");
}
} // namespace detail

} // namespace Morvane
