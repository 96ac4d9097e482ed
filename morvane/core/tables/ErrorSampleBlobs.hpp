#pragma once

// The built-in error-sample blobs behind the bootstrapping entries of the cost table. Each blob lives in
// zero-filled static storage from program start and is generated in place, once, the first time a reader asks
// for it, so that loading the library costs nothing for the ~19 MB of samples.

#if !defined(MORVANE_LAYER_CORE)
#error "morvane/core/tables/ErrorSampleBlobs.hpp is internal to the core layer: include the public headers"
#endif

#include "morvane/core/Types.hpp"

#include <cstddef>
#include <string>

namespace Morvane {
namespace detail {

constexpr std::size_t sampleBlobCount = 32;

// Address of the blob of (preset, bootstrapping key), or null when the table has no blob there. The bytes are
// zero until the blob is materialised.
const char* sampleBlobAddress(const std::string& presetName, const std::string& operation);

// Index of the built-in blob starting at `data`, or sampleBlobCount when `data` is not one.
std::size_t sampleBlobIndex(const char* data);

// Length in bytes of blob `index` (8 + 16 slots).
u64 sampleBlobBytes(std::size_t index);

// Generates blob `index` into its storage on first call; thread-safe. Returns the blob's address.
const char* materialiseSampleBlob(std::size_t index);

// Writes the bytes of blob `index` into `out` (sampleBlobBytes(index) bytes). The result is the same in every
// run, build and IEEE 754 platform: the generator uses only operations that IEEE 754 defines exactly (the basic
// operations, the square root, frexp), never an approximated function of the platform's math library.
void generateSampleBlob(std::size_t index, char* out);

} // namespace detail
} // namespace Morvane
