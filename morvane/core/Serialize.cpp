#include "morvane/core/Serialize.hpp"

#include "morvane/core/Exception.hpp"

namespace Morvane::Serialize::detail {

std::optional<u64> remainingBytes(cereal::BinaryInputArchive& archive) {
    auto* known = dynamic_cast<InputArchive*>(&archive);
    if (known == nullptr)
        return std::nullopt;
    std::streambuf* buffer = known->stream().rdbuf();
    if (buffer == nullptr)
        return std::nullopt;
    const std::streampos failed(std::streamoff(-1));
    const std::streampos here = buffer->pubseekoff(0, std::ios::cur, std::ios::in);
    if (here == failed)
        return std::nullopt;
    const std::streampos end = buffer->pubseekoff(0, std::ios::end, std::ios::in);
    // Return to where reading stands whether or not the end was found.
    buffer->pubseekpos(here, std::ios::in);
    if (end == failed || end < here)
        return std::nullopt;
    return static_cast<u64>(end - here);
}

} // namespace Morvane::Serialize::detail
