#pragma once

// Library-internal: what the saves of Files.cpp and InPlaceFile.cpp share: descriptors, whole transfers, the
// resolved target of a save and the stream buffer every save writes through.

#if !defined(MORVANE_LAYER_CORE)
#error "morvane/core/FileWrites.hpp is internal to the core layer: include the public headers"
#endif

#include "morvane/core/Files.hpp"

#include <cstddef>
#include <cstring>
#include <streambuf>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace Morvane::detail {

// "Cannot write file " + path, the message of a save whose file opened but did not take its content.
[[noreturn]] void throwCannotWrite(const std::string& path);

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { close(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // False when the close reports an error: some file systems report a failed write only there. An interrupted
    // close has released the descriptor all the same (on Linux), so it is not retried, which could close a
    // descriptor another thread has just been given, and it is no failed write.
    bool close();

private:
    int fd_ = -1;
};

// Whole transfers, retried where a signal interrupts them; false on an error (errno tells) or an early end.
bool writeAll(int fd, const char* data, std::size_t size);
bool writeAllAt(int fd, const char* data, std::size_t size, off_t offset);
bool readAllAt(int fd, char* data, std::size_t size, off_t offset);
bool truncateTo(int fd, off_t size);

// The length past which the process may not make a regular file grow. A write past it is never made: the system
// would answer it with SIGXFSZ, whose default action ends the process, and leave a temporary behind.
std::size_t fileSizeLimit();

// What a save writes: `name` in `directory`. Every step after the first lookup of the caller's path is made
// relative to a directory opened once, so a concurrent change of the working directory cannot redirect it.
struct Target {
    // A regular file to replace (or to create); otherwise the file is opened and written through.
    bool replace = false;
    bool exists = false;
    struct stat status {};
    Descriptor directory;
    std::string name;

    int at() const { return directory ? directory.get() : AT_FDCWD; }
};

// Runs the writer of a file that cannot be created: "Cannot open file " + path, or, with PassToWriter, the
// writer on a stream that takes no byte.
void passUnopened(const std::string& path, FileWriter writer, UnopenedFile unopened);

// The stream buffer of a save, with the buffer size of a file stream, over a `Sink` that takes the bytes in order
// through put(data, size, offset), `offset` being the count it took before. A put that fails makes sputn return
// short (an archive raises its short-write message) and every later write take nothing, so that a writer meets a
// failure at the point a file stream would show it.
template <typename Sink>
class SinkBuffer final : public std::streambuf {
public:
    template <typename... Arguments>
    explicit SinkBuffer(Arguments&&... arguments) : sink_{std::forward<Arguments>(arguments)...} {
        setp(buffer_, buffer_ + capacity);
    }
    SinkBuffer(const SinkBuffer&) = delete;
    SinkBuffer& operator=(const SinkBuffer&) = delete;

    // Puts what the buffer holds; false when this or any earlier put failed.
    bool finish() { return flush(); }
    std::size_t written() const { return written_ + static_cast<std::size_t>(pptr() - pbase()); }
    const Sink& sink() const { return sink_; }

protected:
    int_type overflow(int_type c) override {
        if (!flush())
            return traits_type::eof();
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
        return c;
    }

    std::streamsize xsputn(const char* data, std::streamsize count) override {
        if (failed_ || count <= 0)
            return 0;
        const auto size = static_cast<std::size_t>(count);
        if (size > static_cast<std::size_t>(epptr() - pptr())) {
            if (!flush())
                return 0;
            if (size >= capacity)
                return put(data, size) ? count : 0;
        }
        std::memcpy(pptr(), data, size);
        pbump(static_cast<int>(size));
        return count;
    }

    int sync() override { return flush() ? 0 : -1; }

private:
    static constexpr std::size_t capacity = 8192;

    bool put(const char* data, std::size_t size) {
        failed_ = !sink_.put(data, size, written_);
        if (!failed_)
            written_ += size;
        return !failed_;
    }

    bool flush() {
        if (failed_)
            return false;
        const auto size = static_cast<std::size_t>(pptr() - pbase());
        setp(buffer_, buffer_ + capacity);
        return size == 0 || put(buffer_, size);
    }

    Sink sink_;
    bool failed_ = false;
    std::size_t written_ = 0;
    char buffer_[capacity];
};

} // namespace Morvane::detail
