#pragma once

// Library-internal: the layout of a key directory: `<dir>/PK/` with one file per key.

#if !defined(MORVANE_LAYER_KEYS)
#error "morvane/keys/KeyDirectory.hpp is internal to the keys layer: include the public headers"
#endif

#include "morvane/core/FileInput.hpp"
#include "morvane/core/Types.hpp"

#include <string>

namespace Morvane {
namespace detail::keydir {

inline constexpr const char* kEncKeyFile = "/PK/EncKey.bin";
inline constexpr const char* kMultKeyFile = "/PK/MultKey.bin";
inline constexpr const char* kConjKeyFile = "/PK/ConjKey.bin";
inline constexpr const char* kSparseKeyFile = "/PK/SparseSecretEncapsulationKey.bin";

// Key file paths are plain concatenations (no normalisation); empty when the pack has no key directory.
std::string keyFile(const std::string& dir, const char* suffix);
// `<dir>/PK/RotKey<idx>.bin`.
std::string rotKeyFile(const std::string& dir, u64 idx);

// Both the path and `<path>/PK` must be directories (symbolic links followed). A missing path, or one through a
// file, is none; a path whose status cannot be had otherwise (over-long, a component without search permission)
// throws std::filesystem::filesystem_error.
bool isKeyDirectory(const std::string& path);
// "Cannot find path " + path unless it is a key directory.
void checkKeyDirectory(const std::string& path);
// Opens the key's file into `file` and tells whether it opened; never for a pack without key directory (an
// empty path). A directory does not open, so an entry that is one is a missing key. A lazy load reads the key
// from this open: a pipe gives its data to one open only.
bool openKeyFile(InputFile& file, const std::string& path);
// Whether the key's file opens; nothing is read.
bool isAvailable(const std::string& path);

} // namespace detail::keydir
} // namespace Morvane
