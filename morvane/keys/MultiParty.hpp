#pragma once

// Multi-party key generation: configurations, exchanged data and the collective key generator.

#include "morvane/core/Context.hpp"
#include "morvane/core/Pointer.hpp"
#include "morvane/core/Polynomial.hpp"
#include "morvane/core/SecretKey.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/keys/EncryptionKey.hpp"
#include "morvane/keys/EvaluationKey.hpp"
#include "morvane/keys/SparseSecretEncapsulationKey.hpp"

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

namespace Morvane {

// What a round of multi-party key generation is for.
struct CollectiveKeyGenConfig {
    enum Type : std::uint32_t {
        Enc = 0,
        Mult = 1,
        Rot = 2,
        Conj = 3,
        SparseSecretEncapsulation = 4,
    };

    Type type = Enc;
    // Meaningful for Rot only; carried along, never used by the generator.
    i64 rot_idx = 0;
};

// The rotation index takes part only when the left operand is a rotation config.
inline bool operator==(const CollectiveKeyGenConfig& a, const CollectiveKeyGenConfig& b) {
    return a.type == b.type && (a.type != CollectiveKeyGenConfig::Rot || a.rot_idx == b.rot_idx);
}
inline bool operator!=(const CollectiveKeyGenConfig& a, const CollectiveKeyGenConfig& b) { return !(a == b); }

struct CollectiveKeyGenDataImpl {
    CollectiveKeyGenConfig config;
    // Always empty here: without key material there is nothing to exchange.
    std::vector<Polynomial> polys;
};

// The data the parties exchange. A value: copies are deep.
class CollectiveKeyGenData {
public:
    explicit CollectiveKeyGenData(const CollectiveKeyGenConfig& config);

    void emplacePoly(const Context& context, bool is_extended, unsigned long level);
    u64 getSize() const;
    void save(std::ostream& stream) const;
    void load(std::istream& stream);
    std::vector<Polynomial>::iterator getPolyIter();
    std::vector<Polynomial>::const_iterator getPolyIter() const;
    const CollectiveKeyGenConfig& getConfig() const { return impl_->config; }

private:
    ObjectPointer<CollectiveKeyGenDataImpl> impl_;
};

struct CollectiveKeyGeneratorImpl {
    Context context;
    std::optional<Context> contextSparse;
};

// Multi-party key generation, simulated away: every operation prints its alert line and returns a fixed
// result. Copies share one read-only implementation.
class CollectiveKeyGenerator {
public:
    explicit CollectiveKeyGenerator(const Context& context);
    CollectiveKeyGenerator(const Context& context, const Context& context_sparse);

    CollectiveKeyGenData genCommonRandomData(const CollectiveKeyGenConfig& config) const;
    CollectiveKeyGenData genKeyShare(const SecretKey& sk, const CollectiveKeyGenData& crd) const;
    // A copy of the first share. An empty list or a null first share is refused with RuntimeException.
    CollectiveKeyGenData aggregateKeyShare(const std::vector<const CollectiveKeyGenData*>& parts) const;
    CollectiveKeyGenData genMultKeyShareRoundOne(const SecretKey& sk, const SecretKey& tmp_sk,
                                                 const CollectiveKeyGenData& crd) const;
    CollectiveKeyGenData genMultKeyShareRoundTwo(const SecretKey& sk, const SecretKey& tmp_sk,
                                                 const CollectiveKeyGenData& data_round_one) const;

    std::shared_ptr<EncryptionKey> genEncKey(const CollectiveKeyGenData& crd, const CollectiveKeyGenData& agg) const;
    // Rotation index 1, whatever the data's configuration says.
    std::shared_ptr<EvaluationKey> genRotKey(const CollectiveKeyGenData& crd, const CollectiveKeyGenData& agg) const;
    std::shared_ptr<EvaluationKey> genMultKey(const CollectiveKeyGenData& data_round_one,
                                              const CollectiveKeyGenData& data_round_two) const;
    std::shared_ptr<EvaluationKey> genConjKey(const CollectiveKeyGenData& crd, const CollectiveKeyGenData& agg) const;
    // Needs a generator made with a sparse context; refused with RuntimeException otherwise.
    std::shared_ptr<SparseSecretEncapsulationKey> genSparseSecretEncapsulationKey(
        const CollectiveKeyGenData& crd, const CollectiveKeyGenData& agg) const;

private:
    std::shared_ptr<CollectiveKeyGeneratorImpl> impl_;
};

} // namespace Morvane
