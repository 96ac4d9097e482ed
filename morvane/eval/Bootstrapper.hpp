#pragma once

// Bootstrapper: level refresh of ciphertexts with simulated error and modelled cost.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/HomEvaluator.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace Morvane {

struct ZeroResponse;

// Refreshes the level of a ciphertext: its slots (or their real parts) plus, while the context simulates error,
// the preset's error samples in a fresh order; the stopwatch advances by the preset's bootstrap cost, and the
// first bootstrap of a context adds the warm-up cost once. Shares the evaluator's implementation and key pack.
class BootstrapperImpl {
public:
    // The four forms of the handle's constructors, with their steps in the same order.
    explicit BootstrapperImpl(const HomEvaluator& eval);
    BootstrapperImpl(const HomEvaluator& eval, u64 log_slots);
    BootstrapperImpl(const HomEvaluator& eval, const Context& context_sparse);
    BootstrapperImpl(const HomEvaluator& eval, const Context& context_sparse, u64 log_slots);

    BootstrapperImpl(const BootstrapperImpl&) = delete;
    BootstrapperImpl& operator=(const BootstrapperImpl&) = delete;

    u64 getMinLevelForBootstrap() const { return 3; }
    u64 getLevelAfterFullSlotBootstrap() const;
    // One more level for a one-slot, non-extended bootstrap where the full-slot level is below the encryption
    // level (only FVa).
    u64 getLevelAfterTargetSlotBootstrap(u64 log_slots, bool extended) const;

    bool isBootstrapReady(u64 log_slots) const;
    void makeBootConstants(u64 log_slots);
    void loadBootConstants(u64 log_slots, const Device& device) const;
    // Loads lazily and checks the multiplication, conjugation, bootstrap rotation and (where the parameter
    // has it) sparse-secret-encapsulation keys, in this order.
    void loadKeysForBootstrap(u64 log_slots) const;

    void bootstrap(const Ciphertext& op, Ciphertext& res, bool is_complex) const;
    void bootstrapExtended(const Ciphertext& op, Ciphertext& res, bool is_complex) const;
    void bootstrap(const Ciphertext& op, Ciphertext& res1, Ciphertext& res2) const;
    void bootstrapExtended(const Ciphertext& op, Ciphertext& res1, Ciphertext& res2) const;

private:
    // What every constructor sets up before its own checks and boot constants: the context, the evaluator and
    // the values looked up once (the full-slot level, the cost entries, the warm-up cost).
    struct Members {};
    BootstrapperImpl(const HomEvaluator& eval, Members);

    void bootstrapOne(const Ciphertext& op, Ciphertext& res, bool is_complex, bool extended) const;
    void bootstrapTwo(const Ciphertext& op, Ciphertext& res1, Ciphertext& res2, bool extended) const;

    // The rotation indices of getRotIndicesForBootstrap(log_slots), worked out on first use and kept.
    const std::vector<i64>& rotIndicesForBootstrap(u64 log_slots) const;

    const Context context;
    const std::shared_ptr<HomEvaluatorImpl> evaluatorImpl;
    // getLevelAfterFullSlotBootstrap of a bootstrappable parameter, which is fixed; empty for any other.
    const std::optional<u64> fullSlotLevel;
    // Bit l is set once log slots l are prepared (l never exceeds the full log slots, below 64); 0 is never
    // set and always counts as prepared. Read by every bootstrap while makeBootConstants may set a bit from
    // another thread.
    std::atomic<std::uint64_t> preparedLogSlots{0};
    std::optional<Context> contextSparse;
    // The cost entries of the four bootstrap kinds, [is_complex][extended], and the warm-up cost: the table
    // is fixed, so they are looked up once.
    const ZeroResponse* costEntries[2][2];
    const u64 warmUpCostMs;
    // Per log slots below 64: the kept rotation indices, published once under the lock.
    mutable std::array<std::atomic<const std::vector<i64>*>, 64> rotIndices{};
    mutable std::array<std::unique_ptr<const std::vector<i64>>, 64> rotIndicesKept;
    mutable std::mutex rotIndicesMutex;
};

// Handle of a BootstrapperImpl shared by its copies.
class Bootstrapper {
public:
    explicit Bootstrapper(const HomEvaluator& eval);
    Bootstrapper(const HomEvaluator& eval, u64 log_slots);
    Bootstrapper(const HomEvaluator& eval, const Context& context_sparse);
    Bootstrapper(const HomEvaluator& eval, const Context& context_sparse, u64 log_slots);

    u64 getMinLevelForBootstrap() const { return impl->getMinLevelForBootstrap(); }
    u64 getLevelAfterFullSlotBootstrap() const { return impl->getLevelAfterFullSlotBootstrap(); }
    bool isBootstrapReady(u64 log_slots) const { return impl->isBootstrapReady(log_slots); }
    void makeBootConstants(u64 log_slots) { impl->makeBootConstants(log_slots); }
    void loadBootConstants(u64 log_slots, const Device& device) const { impl->loadBootConstants(log_slots, device); }

    // Input range [-1, 1]; real parts only unless `is_complex`.
    void bootstrap(const Ciphertext& op, Ciphertext& res, bool is_complex = false) const {
        impl->bootstrap(op, res, is_complex);
    }
    // Input range [-2^20, 2^20].
    void bootstrapExtended(const Ciphertext& op, Ciphertext& res, bool is_complex = false) const {
        impl->bootstrapExtended(op, res, is_complex);
    }
    // One complex bootstrap: the real parts into `res1`, the imaginary parts into `res2`, both as real slots.
    void bootstrap(const Ciphertext& op, Ciphertext& res1, Ciphertext& res2) const {
        impl->bootstrap(op, res1, res2);
    }
    void bootstrapExtended(const Ciphertext& op, Ciphertext& res1, Ciphertext& res2) const {
        impl->bootstrapExtended(op, res1, res2);
    }

    std::shared_ptr<BootstrapperImpl> impl;
};

} // namespace Morvane
