// The whole-pack stream: every key of a pack in one archive, shared key objects written once.
#include "morvane/keys/KeyPack.hpp"

#include "morvane/core/Serialize.hpp"

#include <cereal/archives/binary.hpp>
#include <cereal/details/helpers.hpp>

#include <cstdint>
#include <map>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <variant>

namespace Morvane {

// Whole-pack stream. A key pointer is a 32-bit id: 0 for none, number | bit 31 at a key's first appearance
// (its record follows), the bare number for a further appearance of the same key object.
namespace {

constexpr std::uint32_t kFirstAppearance = 0x80000000u;
constexpr std::uint32_t kNumberMask = 0x7FFFFFFFu;

class KeyPointerWriter {
public:
    explicit KeyPointerWriter(cereal::BinaryOutputArchive& archive) : archive_(archive) {}

    template <typename Key>
    void write(const std::shared_ptr<Key>& key) {
        if (!key) {
            archive_(std::uint32_t{0});
            return;
        }
        // Keyed by type as well as address: a record and its first member share an address.
        const auto [it, isNew] = numbers_.try_emplace({std::type_index(typeid(Key)), key.get()}, next_);
        if (!isNew) {
            archive_(it->second);
            return;
        }
        ++next_;
        archive_(static_cast<std::uint32_t>(it->second | kFirstAppearance), *key);
    }

private:
    cereal::BinaryOutputArchive& archive_;
    std::map<std::pair<std::type_index, const void*>, std::uint32_t> numbers_;
    std::uint32_t next_ = 1;
};

// Keeps its own table of read objects with their kind, so a back-reference to a key of another kind is
// refused instead of being stored as the wrong type.
class KeyPointerReader {
public:
    explicit KeyPointerReader(cereal::BinaryInputArchive& archive) : archive_(archive) {}

    template <typename Key>
    std::shared_ptr<Key> read() {
        std::uint32_t id = 0;
        archive_(id);
        if (id & kFirstAppearance) {
            auto key = std::make_shared<Key>();
            objects_[id & kNumberMask] = key;
            archive_(*key);
            return key;
        }
        if (id == 0)
            return nullptr;
        const auto it = objects_.find(id);
        if (it == objects_.end())
            throw cereal::Exception("Error while trying to deserialize a smart pointer. Could not find id " +
                                    std::to_string(id));
        if (const auto* key = std::get_if<std::shared_ptr<Key>>(&it->second))
            return *key;
        throw cereal::Exception("Error while trying to deserialize a smart pointer. Id " + std::to_string(id) +
                                " names a key of another kind");
    }

private:
    cereal::BinaryInputArchive& archive_;
    std::map<std::uint32_t, std::variant<std::shared_ptr<EncryptionKey>, std::shared_ptr<EvaluationKey>,
                                         std::shared_ptr<SparseSecretEncapsulationKey>>>
        objects_;
};

} // namespace

void save(cereal::BinaryOutputArchive& archive, const KeyPackImpl& pack) {
    const KeyPackImpl::Snapshot keys = pack.snapshot();
    KeyPointerWriter writer(archive);
    writer.write(keys.enc);
    writer.write(keys.mult);
    writer.write(keys.conj);
    // An index without a key has nothing to write, and the reader refuses a null rotation entry.
    u64 count = 0;
    for (const auto& entry : keys.rot)
        count += entry.second ? 1 : 0;
    archive(count);
    for (const auto& [idx, key] : keys.rot) {
        if (!key)
            continue;
        archive(idx);
        writer.write(key);
    }
    writer.write(keys.sse);
}

void load(cereal::BinaryInputArchive& archive, KeyPackImpl& pack) {
    KeyPointerReader reader(archive);
    pack.setEncKey(reader.read<EncryptionKey>());
    pack.setMultKey(reader.read<EvaluationKey>());
    pack.setConjKey(reader.read<EvaluationKey>());
    u64 count = 0;
    archive(count);
    {
        std::lock_guard<std::mutex> lock(pack.stateMutex);
        pack.rotKeys.clear();
        pack.clearRotKeysHeld();
    }
    // The count only bounds the loop: a count larger than the stream ends in a short read.
    for (u64 i = 0; i < count; ++i) {
        u64 idx = 0;
        archive(idx);
        auto key = reader.read<EvaluationKey>();
        if (!key)
            throw cereal::Exception("Error while trying to deserialize a smart pointer. Rotation key of index " +
                                    std::to_string(idx) + " is null");
        std::lock_guard<std::mutex> lock(pack.stateMutex);
        pack.rotKeys.emplace(idx, std::move(key));
        pack.markRotKeyHeld(idx);
    }
    pack.setSparseSecretEncapsulationKey(reader.read<SparseSecretEncapsulationKey>());
}

void KeyPackImpl::save(std::ostream& stream) const { Serialize::save(stream, *this); }

void KeyPackImpl::load(std::istream& stream) { Serialize::load(stream, *this); }

} // namespace Morvane
