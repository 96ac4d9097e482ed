// The key directory: its layout, the tests of its files and the saving of a pack into it.
#include "morvane/keys/KeyDirectory.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/FileInput.hpp"
#include "morvane/core/Serialize.hpp"
#include "morvane/keys/KeyPack.hpp"

#include <filesystem>

namespace Morvane {

namespace detail::keydir {

std::string keyFile(const std::string& dir, const char* suffix) { return dir.empty() ? std::string() : dir + suffix; }

std::string rotKeyFile(const std::string& dir, u64 idx) {
    return dir.empty() ? std::string() : dir + "/PK/RotKey" + std::to_string(idx) + ".bin";
}

bool isKeyDirectory(const std::string& path) {
    return std::filesystem::is_directory(path) && std::filesystem::is_directory(path + "/PK");
}

void checkKeyDirectory(const std::string& path) {
    if (!isKeyDirectory(path))
        throw RuntimeException("Cannot find path " + path);
}

bool openKeyFile(InputFile& file, const std::string& path) { return !path.empty() && file.open(path); }

bool isAvailable(const std::string& path) {
    InputFile file;
    return openKeyFile(file, path);
}

} // namespace detail::keydir

using namespace detail::keydir;

bool KeyPackImpl::isEncKeyFileAvailable() const { return isAvailable(keyFile(getKeyDirPath(), kEncKeyFile)); }
bool KeyPackImpl::isMultKeyFileAvailable() const { return isAvailable(keyFile(getKeyDirPath(), kMultKeyFile)); }
bool KeyPackImpl::isConjKeyFileAvailable() const { return isAvailable(keyFile(getKeyDirPath(), kConjKeyFile)); }
bool KeyPackImpl::isSparseSecretEncapsulationKeyFileAvailable() const {
    return isAvailable(keyFile(getKeyDirPath(), kSparseKeyFile));
}
bool KeyPackImpl::isRotKeyFileAvailable(unsigned long idx) const {
    return isAvailable(rotKeyFile(getKeyDirPath(), idx));
}

void KeyPackImpl::save(const std::string& key_dir_path) {
    detail::checkPath(key_dir_path, "KeyPack::save");
    setKeyDirPath(key_dir_path);
    const Snapshot keys = snapshot();
    if (keys.enc) {
        keys.enc->save(key_dir_path + kEncKeyFile);
        context->updateOpHistory(labels::saveEncryptionKey);
    }
    if (keys.mult) {
        Serialize::save(key_dir_path + kMultKeyFile, *keys.mult);
        context->updateOpHistory(labels::saveMultiplicationKey);
    }
    if (keys.conj) {
        Serialize::save(key_dir_path + kConjKeyFile, *keys.conj);
        context->updateOpHistory(labels::saveConjugationKey);
    }
    for (const auto& [idx, key] : keys.rot) {
        if (!key)
            continue;
        Serialize::save(rotKeyFile(key_dir_path, idx), *key);
        context->updateOpHistory(labels::saveRotationKey);
    }
    if (keys.sse) {
        Serialize::save(key_dir_path + kSparseKeyFile, *keys.sse);
        context->updateOpHistory(labels::saveSparseKey);
    }
}

} // namespace Morvane
