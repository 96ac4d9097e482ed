#pragma once

// EncryptionKey and the class tags of stored key records.

#include "morvane/core/Context.hpp"
#include "morvane/core/Types.hpp"

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

namespace cereal {
class BinaryOutputArchive;
class BinaryInputArchive;
} // namespace cereal

namespace Morvane {

class SecretKey;

// Record class tags: the first field of every stored key record.
namespace KeyRecordTag {
constexpr std::int32_t Encryption = 0;
constexpr std::int32_t Evaluation = 1;
} // namespace KeyRecordTag

namespace detail {
// Reads the class tag that begins a stored record and refuses a record of another class.
void checkRecordTag(cereal::BinaryInputArchive& archive, std::int32_t expected);
} // namespace detail

// Public encryption key. There is no key material: the record is its device and the parameter id of the
// context it was made for. The device is never stored.
class EncryptionKey {
public:
    // The empty record (every field zero) that loaders read stored values into.
    EncryptionKey() = default;
    explicit EncryptionKey(const Context& context);
    // The secret key is not read.
    EncryptionKey(const Context& context, const SecretKey& sk);

    void to(const Device& device) { this->device = device; }

    void save(std::ostream& stream) const;
    void save(const std::string& path) const;
    void load(std::istream& stream);
    void load(const std::string& path);

    Device device = getDefaultDevice();
    u64 parameterId = 0;
};

void save(const EncryptionKey& key, std::ostream& stream);
void load(EncryptionKey& key, std::istream& stream);

// Archive hooks: tag 0, then the parameter id. Loading checks the tag before touching the key.
void save(cereal::BinaryOutputArchive& archive, const EncryptionKey& key);
void load(cereal::BinaryInputArchive& archive, EncryptionKey& key);

} // namespace Morvane
