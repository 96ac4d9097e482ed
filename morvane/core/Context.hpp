#pragma once

// Context: one parameter set with its devices, operation history and stopwatch, and the queries on it.

#include "morvane/core/Parameter.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/core/tables/OpLabels.hpp"

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace Morvane {

// Adds up, in milliseconds, what the real library would spend. Created stopped.
class StopWatch {
public:
    explicit StopWatch(u64 initialMs) : duration_(initialMs) {}

    void start();
    void tick(u64 ms);
    void stop();
    // Stops the watch, then returns its total.
    u64 getDuration();

private:
    // Atomic so that concurrent ticks from several threads add up exactly.
    std::atomic<u64> duration_;
    std::atomic<bool> running_{false};
};

class ContextContent {
public:
    ContextContent(const ParameterPreset& preset, const std::set<Device>& devices);
    ContextContent(u64 log_dimension, u64 chain_length, u64 bpsize, u64 qpsize, u64 tpsize, u64 gadget_rank,
                   const std::set<Device>& devices);

    ContextContent(const ContextContent&) = delete;
    ContextContent& operator=(const ContextContent&) = delete;

    // Contexts compare by preset only.
    bool operator==(const ContextContent& other) const { return parameter.preset == other.parameter.preset; }
    bool operator!=(const ContextContent& other) const { return !(*this == other); }

    // Counts one occurrence of an operation label; safe to call from several threads.
    void updateOpHistory(const std::string& label);
    // The same for a label of the fixed table, by its constant or its row (below labels::kLabelCount), without
    // a lock: its counter is atomic.
    void updateOpHistory(const HistoryLabel& label) { countRow(label.index); }
    void updateOpHistory(std::size_t row) { countRow(row); }
    std::map<std::string, u64> getOpHistory() const;
    void clearOpHistory();

    void startStopWatch() { stopWatch->start(); }
    void tickStopWatch(unsigned long ms) { stopWatch->tick(ms); }
    void stopStopWatch() { stopWatch->stop(); }
    u64 getDuration() { return stopWatch->getDuration(); }

    std::set<i64> getRotIndicesForBootstrap(unsigned long log_slots) const;
    std::vector<u64> getExtraRotIndicesForBootstrap(unsigned long log_slots) const;

    std::string representOpHistory(bool verbose) const;

    const std::set<Device> devices;
    const Parameter parameter;
    const std::string historyReportPrefix;
    const u64 parameterId;
    const SecurityLevel securityLevel = SecurityLevel::None;

private:
    // The history: counters for the rows of the fixed label table, and any other label in the guarded map. A
    // label has an entry exactly when its count is not zero. Each thread counts in one of several shards, so
    // that threads counting the same label do not contend for one cache line; a count is the sum of its shards.
    static constexpr std::size_t kCounterShards = 16;
    struct alignas(64) CounterShard {
        std::array<std::atomic<u64>, labels::kLabelCount> counts{};
    };
    static std::size_t counterShardOfThisThread();
    void countRow(std::size_t row) {
        labelCounts[counterShardOfThisThread()].counts[row].fetch_add(1, std::memory_order_relaxed);
    }
    u64 rowCount(std::size_t row) const;

    std::array<CounterShard, kCounterShards> labelCounts{};
    mutable std::mutex opHistoryMutex;
    std::map<std::string, u64> opHistory;

public:
    const u64 nameColumnWidth = 40;
    const u64 countColumnWidth = 7;
    const std::unique_ptr<StopWatch> stopWatch;
    std::atomic<bool> simulateErrorFlag{true};
    std::atomic<bool> bootstrapWarmedUp{false};
};

using Context = std::shared_ptr<ContextContent>;

std::set<Device> makeDeviceSet(const std::set<int>& cuda_device_ids);

Context makeContext(const ParameterPreset& preset, const std::set<int>& cuda_device_ids = {});
Context makeContext(u64 log_dimension, u64 chain_length, u64 bpsize, u64 qpsize, u64 tpsize, u64 gadget_rank,
                    const std::set<int>& cuda_device_ids = {});

u64 getLogFullSlots(const Context& context);
u64 getEncryptionLevel(const Context& context);
std::vector<Real> getDefaultScaleFactorList(const Context& context);
std::vector<u64> getPrimeList(const Context& context);
bool isBootstrappableParameter(const Context& context);
bool isExtendedBootstrapSupported(const Context& context);
bool isSparseSecretEncapsulationSupported(const Context& context);
std::set<i64> getRotIndicesForBootstrap(const Context& context, unsigned long log_slots);
SecurityLevel getSecurityLevel(const Context& context);
std::string representOpHistory(const Context& context, bool verbose);
std::map<std::string, u64> getOpHistory(const Context& context);
void clearOpHistory(Context& context);
void startStopWatch(const Context& context);
void stopStopWatch(const Context& context);
u64 getDuration(const Context& context);
void simulateError(const Context& context, bool onoff);

namespace detail {
// The sparse-context rule of key packs, key generators and bootstrappers: `context` must support sparse
// secret encapsulation and `context_sparse` must be its companion preset. `owner` prefixes the messages,
// e.g. "[KeyPack]".
void checkSparseContext(const Context& context, const Context& context_sparse, const char* owner);
} // namespace detail

} // namespace Morvane
