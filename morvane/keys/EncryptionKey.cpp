#include "morvane/keys/EncryptionKey.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/Serialize.hpp"

#include <cereal/archives/binary.hpp>

namespace Morvane {

namespace detail {
void checkRecordTag(cereal::BinaryInputArchive& archive, std::int32_t expected) {
    std::int32_t tag = 0;
    archive(tag);
    if (tag != expected)
        throw RuntimeException("[Verifier::load] Validation failed during deserializing objects.");
}
} // namespace detail

EncryptionKey::EncryptionKey(const Context& context) : parameterId(context->parameterId) {}

EncryptionKey::EncryptionKey(const Context& context, const SecretKey&) : EncryptionKey(context) {}

void EncryptionKey::save(std::ostream& stream) const { Serialize::save(stream, *this); }
void EncryptionKey::save(const std::string& path) const {
    detail::checkPath(path, "EncryptionKey::save");
    Serialize::save(path, *this);
}
void EncryptionKey::load(std::istream& stream) { Serialize::load(stream, *this); }
void EncryptionKey::load(const std::string& path) {
    detail::checkPath(path, "EncryptionKey::load");
    Serialize::load(path, *this);
}

void save(const EncryptionKey& key, std::ostream& stream) { key.save(stream); }
void load(EncryptionKey& key, std::istream& stream) { key.load(stream); }

void save(cereal::BinaryOutputArchive& archive, const EncryptionKey& key) {
    archive(KeyRecordTag::Encryption, key.parameterId);
}

void load(cereal::BinaryInputArchive& archive, EncryptionKey& key) {
    detail::checkRecordTag(archive, KeyRecordTag::Encryption);
    archive(key.parameterId);
}

} // namespace Morvane
