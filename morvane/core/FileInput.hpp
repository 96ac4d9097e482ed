#pragma once

// Library-internal: the opening and reading of every file the library reads.

#include <cstddef>
#include <istream>
#include <streambuf>
#include <string>

#include <sys/types.h>

namespace Morvane {
namespace detail {

// The input buffer of one file, over a descriptor of its own. Small reads go through the buffer, a read of a
// buffer's size or more straight into the destination; a read returns short only at the end of the file, so a
// reader's short-read count is the number of bytes the file still held. A read error of the system throws
// std::ios_base::failure, as a file stream's buffer does. Positions are known only for regular files and block
// devices; any other file reads as a stream that cannot seek.
class InputFileBuffer final : public std::streambuf {
public:
    InputFileBuffer() = default;
    InputFileBuffer(const InputFileBuffer&) = delete;
    InputFileBuffer& operator=(const InputFileBuffer&) = delete;
    ~InputFileBuffer() override { close(); }

    // Opens `path` for reading, closing what was open. A directory does not open: the system opens one for
    // reading and fails only at the first read. It is told by the opened descriptor's status, never by a read,
    // so that a pipe keeps its data for the reader.
    bool open(const std::string& path);
    void close();

protected:
    int_type underflow() override;
    std::streamsize xsgetn(char* data, std::streamsize count) override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode which) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

private:
    // The buffer size of a file stream.
    static constexpr std::size_t capacity = 8192;

    // Reads at most `size` bytes; 0 only at the end of the file.
    std::size_t readSome(char* data, std::size_t size);

    int fd_ = -1;
    bool seekable_ = false;
    // The file position of the end of what the buffer holds.
    off_t position_ = 0;
    char buffer_[capacity];
};

// A file opened for reading, as an input stream. A file that does not open leaves the stream failed and reading
// nothing, as a file stream that did not open.
class InputFile final : public std::istream {
public:
    InputFile() : std::istream(nullptr) { rdbuf(&buffer_); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Whether `path` opened (see InputFileBuffer::open).
    bool open(const std::string& path);

private:
    InputFileBuffer buffer_;
};

// Opens `path` into `file`; "Cannot open file " + path when it does not open.
void openFileForReading(InputFile& file, const std::string& path);

} // namespace detail
} // namespace Morvane
