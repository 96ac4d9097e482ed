#pragma once

// The built-in cost table: modelled cost and error samples of each operation of each preset.

#include "morvane/core/Types.hpp"

#include <map>
#include <string>

namespace Morvane {

// One entry of the built-in cost table: the modelled cost of an operation and, for bootstrapping, the
// error-sample blob in the message stream format.
//
// The blobs are generated lazily: `sampleData` of a bootstrapping entry points from the start at the blob's
// final place, but its bytes are filled only on first use. Read the bytes through materialiseSamples();
// binaryToMessage and errorSamplesForBootstrap do so themselves.
struct ZeroResponse {
    u64 timeMs = 0;
    u64 auxValue = 0;
    const char* sampleData = nullptr;
    u64 sampleBytes = 0;
};

using ZeroResponseTable = std::map<std::string, std::map<std::string, ZeroResponse>>;

// Preset name -> operation key -> entry. Read-only after loading, and never destroyed: the entries (and the
// pointers to them that bootstrappers keep) stay valid for threads still in a call while the program exits. The
// reference is bound by the library's own static initialisation: another unit's static initialiser looks entries up
// with findZeroResponse instead.
extern const ZeroResponseTable& zeroResponseTable;

// The entry of (presetName, operation), or null when the table has none (custom parameters have no row).
const ZeroResponse* findZeroResponse(const std::string& presetName, const std::string& operation);

// Cost of an entry in milliseconds; 0 for an absent entry.
u64 zeroResponseTimeMs(const std::string& presetName, const std::string& operation);

// Makes sure the entry's error-sample bytes are filled in (once per blob; safe from several threads) and returns
// `entry.sampleData`. Entries without a built-in blob are returned as they are (null for every non-bootstrapping
// entry).
const char* materialiseSamples(const ZeroResponse& entry);

} // namespace Morvane
