#pragma once

// Binary archives of the stored formats: multi-value save/load to streams and files, guarded counted loads.

#include "morvane/core/FileInput.hpp"
#include "morvane/core/Files.hpp"
#include "morvane/core/Types.hpp"

#include <cereal/archives/binary.hpp>

#include <algorithm>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace Morvane {

class Message;

// Archive hooks of the message stream format (count, then real and imaginary part of every slot), found by
// cereal through argument-dependent lookup, so a message can be one value among others in one archive.
void save(cereal::BinaryOutputArchive& archive, const Message& message);
void load(cereal::BinaryInputArchive& archive, Message& message);

namespace Serialize {

// The input archive of `Serialize::load`: a plain cereal binary archive that also knows its stream, so counted
// loads can see how many bytes are actually left.
class InputArchive : public cereal::BinaryInputArchive {
public:
    explicit InputArchive(std::istream& stream) : cereal::BinaryInputArchive(stream), stream_(stream) {}
    std::istream& stream() const { return stream_; }

private:
    std::istream& stream_;
};

namespace detail {
// Bytes left to read behind `archive`, or nothing when the archive's stream is unknown or not seekable.
std::optional<u64> remainingBytes(cereal::BinaryInputArchive& archive);
} // namespace detail

// Writes the values in order through one binary archive; the stream is neither flushed nor repositioned.
template <typename... Values>
void save(std::ostream& stream, Values&&... values) {
    cereal::BinaryOutputArchive archive(stream);
    archive(std::forward<Values>(values)...);
}

// A file is replaced only once the whole record is written (see writeFile).
template <typename... Values>
void save(const std::string& path, Values&&... values) {
    Morvane::detail::checkPath(path, "Serialize::save");
    Morvane::detail::writeFile(path, [&](std::ostream& stream) { save(stream, std::forward<Values>(values)...); });
}

// Reads the values in order through one binary archive; the stream is left just after the last one.
template <typename... Values>
void load(std::istream& stream, Values&&... values) {
    InputArchive archive(stream);
    archive(std::forward<Values>(values)...);
}

// "Cannot open file " + path when the file does not open, a directory included (see InputFileBuffer::open).
template <typename... Values>
void load(const std::string& path, Values&&... values) {
    Morvane::detail::checkPath(path, "Serialize::load");
    Morvane::detail::InputFile file;
    Morvane::detail::openFileForReading(file, path);
    load(static_cast<std::istream&>(file), std::forward<Values>(values)...);
}

// Reads a stored element count, resizes `elements` to it and reads that many elements with
// `readElement(archive, element)`. A count is untrusted: storage grows beyond its current size only as far as
// the bytes present can fill it (known for seekable streams; otherwise in bounded steps), so a tiny file
// claiming 2^40 elements fails with cereal's short-read message at its first missing field instead of
// allocating. A count backed by its bytes behaves exactly like a plain resize followed by the reads.
template <typename Element, typename ReadElement>
void loadCounted(cereal::BinaryInputArchive& archive, std::vector<Element>& elements, u64 bytesPerElement,
                 ReadElement&& readElement) {
    u64 count = 0;
    archive(count);

    const u64 current = elements.size();
    bool backed = count <= current;
    if (!backed) {
        const std::optional<u64> remaining = detail::remainingBytes(archive);
        backed = remaining && bytesPerElement > 0 && count <= *remaining / bytesPerElement;
    }
    if (backed) {
        elements.resize(count);
        for (u64 i = 0; i < count; ++i)
            readElement(archive, elements[i]);
        return;
    }

    constexpr u64 growthBytes = u64{1} << 20;
    const u64 step = std::max<u64>(1, growthBytes / std::max<u64>(1, sizeof(Element)));
    u64 i = 0;
    while (i < count) {
        const u64 target = std::min(count, std::max(current, i) + step);
        elements.resize(target);
        for (; i < target; ++i)
            readElement(archive, elements[i]);
    }
}

} // namespace Serialize
} // namespace Morvane
