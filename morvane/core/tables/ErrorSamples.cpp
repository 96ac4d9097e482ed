#include "morvane/core/tables/ErrorSamples.hpp"

#include "morvane/core/Serialize.hpp"
#include "morvane/core/tables/ErrorSampleBlobs.hpp"
#include "morvane/core/tables/NeverDestroyed.hpp"

#include <cereal/archives/binary.hpp>

#include <algorithm>
#include <mutex>
#include <random>
#include <sstream>
#include <vector>

namespace Morvane {

namespace {

// Reads a block in the message stream format into `message` through an in-memory stream. The message reader
// trusts no stored count: a block promising more slots than it holds fails at its first missing field with the
// archive's short-read message, without allocating for the promised count.
void readBlock(const char* data, u64 bytes, Message& message) {
    std::stringstream stream(std::ios::in | std::ios::out | std::ios::binary);
    {
        cereal::BinaryOutputArchive out(stream);
        out(cereal::binary_data(data, data != nullptr ? bytes : 0));
    }
    Serialize::load(stream, message);
}

void shuffleSlots(Message& message) {
    std::random_device device("default");
    std::mt19937 engine(device());
    std::shuffle(message.begin(), message.end(), engine);
}

// The built-in blobs, each parsed once.
struct ParsedBlobs {
    std::once_flag once[detail::sampleBlobCount];
    Message samples[detail::sampleBlobCount];
};

const Message& parsedBlob(std::size_t index) {
    static detail::NeverDestroyed<ParsedBlobs> all;
    ParsedBlobs& parsed = *all;
    std::call_once(parsed.once[index], [&parsed, index] {
        readBlock(detail::materialiseSampleBlob(index), detail::sampleBlobBytes(index), parsed.samples[index]);
    });
    return parsed.samples[index];
}

} // namespace

Message binaryToMessage(const Context& context, const char* data, unsigned long bytes) {
    const std::size_t blob = detail::sampleBlobIndex(data);
    if (blob < detail::sampleBlobCount)
        detail::materialiseSampleBlob(blob);

    Message result(context->parameter.log_dimension - 1);
    readBlock(data, bytes, result);
    shuffleSlots(result);
    return result;
}

Message errorSamplesForBootstrap(const Context& context, const ZeroResponse& entry) {
    const std::size_t blob = detail::sampleBlobIndex(entry.sampleData);
    if (blob == detail::sampleBlobCount || entry.sampleBytes != detail::sampleBlobBytes(blob))
        return binaryToMessage(context, entry.sampleData, entry.sampleBytes);

    Message result(parsedBlob(blob));
    shuffleSlots(result);
    return result;
}

} // namespace Morvane
