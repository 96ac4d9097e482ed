#include "morvane/core/FileInput.hpp"

#include "morvane/core/Files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ios>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Morvane::detail {

bool InputFileBuffer::open(const std::string& path) {
    close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    // A status that cannot be had leaves the file to read, as a file stream would.
    const bool known = ::fstat(fd, &status) == 0;
    if (known && S_ISDIR(status.st_mode)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    seekable_ = known && (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
    position_ = 0;
    setg(buffer_, buffer_, buffer_);
    return true;
}

void InputFileBuffer::close() {
    if (fd_ >= 0)
        ::close(fd_); // An error of a close after reading loses nothing.
    fd_ = -1;
    seekable_ = false;
    setg(buffer_, buffer_, buffer_);
}

std::size_t InputFileBuffer::readSome(char* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_, data, size);
        if (n >= 0) {
            position_ += n;
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR)
            throw std::ios_base::failure("error reading the file", std::error_code(errno, std::system_category()));
    }
}

InputFileBuffer::int_type InputFileBuffer::underflow() {
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    if (fd_ < 0)
        return traits_type::eof();
    const std::size_t n = readSome(buffer_, capacity);
    setg(buffer_, buffer_, buffer_ + n);
    return n == 0 ? traits_type::eof() : traits_type::to_int_type(*gptr());
}

std::streamsize InputFileBuffer::xsgetn(char* data, std::streamsize count) {
    if (count <= 0)
        return 0;
    const auto wanted = static_cast<std::size_t>(count);
    std::size_t done = 0;
    while (done < wanted) {
        const auto held = static_cast<std::size_t>(egptr() - gptr());
        if (held > 0) {
            const std::size_t part = std::min(held, wanted - done);
            std::memcpy(data + done, gptr(), part);
            gbump(static_cast<int>(part));
            done += part;
        } else if (fd_ < 0) {
            break;
        } else if (wanted - done >= capacity) {
            const std::size_t n = readSome(data + done, wanted - done);
            if (n == 0)
                break;
            done += n;
        } else if (traits_type::eq_int_type(underflow(), traits_type::eof())) {
            break;
        }
    }
    return static_cast<std::streamsize>(done);
}

InputFileBuffer::pos_type InputFileBuffer::seekoff(off_type offset, std::ios_base::seekdir direction,
                                                   std::ios_base::openmode which) {
    const pos_type failed(off_type(-1));
    if (!seekable_ || (which & std::ios_base::in) == 0)
        return failed;
    const off_t here = position_ - (egptr() - gptr());
    // Asking where reading stands keeps what the buffer holds.
    if (direction == std::ios_base::cur && offset == 0)
        return pos_type(here);
    off_t target = static_cast<off_t>(offset);
    int whence = SEEK_SET;
    if (direction == std::ios_base::cur)
        target += here;
    else if (direction == std::ios_base::end)
        whence = SEEK_END;
    const off_t reached = ::lseek(fd_, target, whence);
    if (reached < 0)
        return failed;
    position_ = reached;
    setg(buffer_, buffer_, buffer_);
    return pos_type(reached);
}

InputFileBuffer::pos_type InputFileBuffer::seekpos(pos_type position, std::ios_base::openmode which) {
    return seekoff(off_type(position), std::ios_base::beg, which);
}

bool InputFile::open(const std::string& path) {
    const bool opened = buffer_.open(path);
    if (opened)
        clear();
    else
        setstate(std::ios_base::failbit);
    return opened;
}

void openFileForReading(InputFile& file, const std::string& path) {
    if (!file.open(path))
        throwCannotOpen(path);
}

} // namespace Morvane::detail
