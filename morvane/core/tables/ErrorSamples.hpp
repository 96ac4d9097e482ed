#pragma once

// Error samples of simulated bootstrapping, read from the built-in blobs or any block in the message format.

#include "morvane/core/Context.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/tables/ZeroResponse.hpp"

namespace Morvane {

// The slots of a block in the message stream format, in a fresh random order (seeded anew from the random device
// on every call), as a message on CPU. A block that ends early fails with the archive's short-read error at the
// first missing field; nothing is allocated for slots the block does not hold. A built-in blob of the cost table
// is materialised first, so its `sampleData` can be passed as it is.
Message binaryToMessage(const Context& context, const char* data, unsigned long bytes);

// The error samples of a cost-table entry in a fresh random order: the same as
// binaryToMessage(context, entry.sampleData, entry.sampleBytes), but a built-in blob is parsed only once per
// process (thread-safe, on first use) and each call only copies and shuffles the cached slots.
Message errorSamplesForBootstrap(const Context& context, const ZeroResponse& entry);

} // namespace Morvane
