#include "morvane/core/Files.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/Interrupt.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <streambuf>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace Morvane::detail {

const std::string& checkPath(const std::string& path, const char* function) {
    if (path.find('\0') != std::string::npos)
        throw RuntimeException("[" + std::string(function) + "] The path has an embedded null byte");
    return path;
}

void throwCannotOpen(const std::string& path) { throw RuntimeException("Cannot open file " + path); }

namespace {

[[noreturn]] void throwCannotWrite(const std::string& path) { throw RuntimeException("Cannot write file " + path); }

// A directory is only ever looked up, never read: a directory the caller may search but not list still works.
#ifdef O_PATH
constexpr int directoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

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
    bool close() {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0 || errno == EINTR;
    }

private:
    int fd_ = -1;
};

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Moves all `size` bytes at `offset` through `transfer` (pread or pwrite); false on an error or an early end.
template <typename Byte, typename Transfer>
bool transferAllAt(Transfer transfer, int fd, Byte* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = transfer(fd, data, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        offset += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAllAt(int fd, const char* data, std::size_t size, off_t offset) {
    return transferAllAt(::pwrite, fd, data, size, offset);
}

bool readAllAt(int fd, char* data, std::size_t size, off_t offset) {
    return transferAllAt(::pread, fd, data, size, offset);
}

bool truncateTo(int fd, off_t size) {
    int result = 0;
    do
        result = ::ftruncate(fd, size);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

// The length past which the process may not make a regular file grow. A write past it is never made: the system
// would answer it with SIGXFSZ, whose default action ends the process, and leave a temporary behind.
std::size_t fileSizeLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur >= std::numeric_limits<std::size_t>::max())
        return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(limit.rlim_cur);
}

// The stream buffer of a save over a descriptor, with the buffer size of a file stream, so that a writer meets
// a failed write at the point a file stream would show it: a write that fails makes sputn return short (an
// archive raises its short-write message) and every later one take nothing. `limit` is the length the file may
// not pass (see fileSizeLimit); the file is written from its start.
class DescriptorBuffer final : public std::streambuf {
public:
    DescriptorBuffer(int fd, std::size_t limit) : fd_(fd), limit_(limit) { setp(buffer_, buffer_ + capacity); }

    // Writes out what the buffer holds; false when this or any earlier write failed.
    bool finish() { return flush(); }
    std::size_t written() const { return written_ + static_cast<std::size_t>(pptr() - pbase()); }

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
        failed_ = size > limit_ - written_ || !writeAll(fd_, data, size);
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

    int fd_;
    std::size_t limit_;
    bool failed_ = false;
    std::size_t written_ = 0;
    char buffer_[capacity];
};

// The whole content of a save that writes over the target, whose length must be known before the target is
// touched. It grows in blocks of a fixed size: nothing written is ever copied again, and no more than one block is
// left unused.
class MemoryBuffer final : public std::streambuf {
public:
    std::size_t size() const { return full_ + static_cast<std::size_t>(pptr() - pbase()); }

    // Takes the first `size` bytes of `fd`; false on an error or an early end.
    bool readFrom(int fd, std::size_t size) {
        for (std::size_t offset = 0; offset < size;) {
            addBlock();
            const std::size_t length = std::min(blockSize, size - offset);
            if (!readAllAt(fd, pbase(), length, static_cast<off_t>(offset)))
                return false;
            pbump(static_cast<int>(length));
            offset += length;
        }
        return true;
    }

    // Writes the content at the start of `fd`; false on an error.
    bool writeTo(int fd) const {
        std::size_t offset = 0;
        for (const auto& block : blocks_) {
            const std::size_t length = std::min(blockSize, size() - offset);
            if (!writeAllAt(fd, block.get(), length, static_cast<off_t>(offset)))
                return false;
            offset += length;
        }
        return true;
    }

protected:
    // The put area is the free part of the last block; the stream buffer's own sputn fills it.
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        addBlock();
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
        return c;
    }

private:
    static constexpr std::size_t blockSize = std::size_t{1} << 16;

    void addBlock() {
        full_ = size();
        // Left uninitialised: every byte written out is written in first.
        blocks_.emplace_back(new char[blockSize]);
        setp(blocks_.back().get(), blocks_.back().get() + blockSize);
    }

    std::vector<std::unique_ptr<char[]>> blocks_;
    // The bytes of the blocks before the last.
    std::size_t full_ = 0;
};

// The stream of a file that cannot be created: every write fails and takes nothing.
class RejectingBuffer final : public std::streambuf {};

// Files of /proc and /sys are not stored data: their links name open descriptors (/dev/stdout leads there) and
// their files take writes as commands. Both are written through, never replaced.
bool onPseudoFileSystem(int directory) {
#ifdef __linux__
    struct statfs fs {};
    if (::fstatfs(directory, &fs) != 0)
        return false;
    return fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC;
#else
    (void)directory;
    return false;
#endif
}

bool readLink(int directory, const std::string& name, off_t sizeHint, std::string& target) {
    std::vector<char> buffer(sizeHint > 0 ? static_cast<std::size_t>(sizeHint) + 1 : 256);
    for (;;) {
        const ssize_t n = ::readlinkat(directory, name.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (static_cast<std::size_t>(n) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Opens the directory of `file`, looked up from `base`, and gives the last name of `file` in `name`.
Descriptor openDirectoryOf(int base, const std::string& file, std::string& name) {
    const std::size_t slash = file.rfind('/');
    name = slash == std::string::npos ? file : file.substr(slash + 1);
    const std::string directory = slash == std::string::npos ? std::string(".")
                                  : slash == 0               ? std::string("/")
                                                             : file.substr(0, slash);
    return Descriptor(::openat(base, directory.c_str(), directoryFlags));
}

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

Target targetOf(const std::string& path) {
    // The kernel's own limit of links followed in one lookup; past it the open fails as it would.
    constexpr int maxLinks = 40;
    Target target;
    target.name = path;
    // No name to put a temporary beside ("" or a trailing slash), or no directory: the open reports it. So does
    // it for a path the system does not take whole (ENAMETOOLONG), though its directory would open: no load could
    // open the file by that path.
    if (path.empty() || path.back() == '/' || path.size() >= PATH_MAX)
        return target;
    std::string name;
    Descriptor directory = openDirectoryOf(AT_FDCWD, path, name);
    if (!directory)
        return target;
    target.directory = std::move(directory);
    target.name = std::move(name);
    for (int links = 0; links <= maxLinks; ++links) {
        const int at = target.directory.get();
        struct stat status {};
        if (::fstatat(at, target.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            // A missing file is created; any other failure (a missing search permission, a file as a
            // directory) is left to the open.
            target.replace = errno == ENOENT && !onPseudoFileSystem(at);
            return target;
        }
        if (S_ISLNK(status.st_mode)) {
            // A link that cannot be followed here is left to the open, which follows it as the kernel does.
            std::string link;
            if (onPseudoFileSystem(at) || !readLink(at, target.name, status.st_size, link) || link.empty() ||
                link.back() == '/')
                return target;
            std::string next;
            directory = openDirectoryOf(at, link, next);
            if (!directory)
                return target;
            target.directory = std::move(directory);
            target.name = std::move(next);
            continue;
        }
        if (S_ISREG(status.st_mode) && !onPseudoFileSystem(at)) {
            target.replace = true;
            target.exists = true;
            target.status = status;
        }
        return target;
    }
    return target;
}

// Runs the writer of a file that cannot be created.
void passUnopened(const std::string& path, FileWriter writer, UnopenedFile unopened) {
    if (unopened == UnopenedFile::Refuse)
        throwCannotOpen(path);
    RejectingBuffer nothing;
    std::ostream stream(&nothing);
    writer.call(writer.state, stream);
}

// A name beside `file` that no other save (of this or another process) uses; created exclusively anyway.
std::string temporaryNameFor(const std::string& file) {
    static std::atomic<std::uint64_t> counter{0};
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::uint64_t mixed = (counter.fetch_add(1, std::memory_order_relaxed) + 1) * 0x9E3779B97F4A7C15ull ^ now;
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%lx.%016llx.tmp", static_cast<unsigned long>(::getpid()),
                  static_cast<unsigned long long>(mixed));
    // Short enough for any file name limit with the suffix.
    return "." + file.substr(0, 200) + suffix;
}

// The new file of a replacing save, written through the descriptor that created it; removed with the object
// unless it was renamed over the target.
class Temporary {
public:
    Temporary() = default;
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() {
        if (!name_.empty())
            ::unlinkat(directory_, name_.c_str(), 0);
    }

    // False when none can be made: no room for a new file (a full file system, no free inode, a quota), a
    // directory the caller may not write, or one whose permissions cannot be given to it.
    bool create(const Target& target) {
        // Over an existing file the temporary starts private and takes the file's permissions before any byte;
        // a new file takes what a plain open gives. Readable, for the copy over a target it cannot replace.
        const mode_t mode = target.exists ? S_IRUSR | S_IWUSR : 0666;
        constexpr int attempts = 100;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            std::string name = temporaryNameFor(target.name);
            Descriptor file(::openat(target.at(), name.c_str(),
                                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode));
            if (!file) {
                if (errno == EEXIST || errno == EINTR)
                    continue;
                return false;
            }
            directory_ = target.at();
            name_ = std::move(name);
            file_ = std::move(file);
            if (!target.exists || takeOver(target.status))
                return true;
            remove();
            return false;
        }
        return false;
    }

    int file() const { return file_.get(); }
    const std::string& name() const { return name_; }
    bool closeFile() { return file_.close(); }
    void renamed() { name_.clear(); }
    void remove() {
        file_.close();
        ::unlinkat(directory_, name_.c_str(), 0);
        name_.clear();
    }

private:
    bool takeOver(const struct stat& old) {
        struct stat made {};
        if (::fstat(file_.get(), &made) == 0 && (made.st_uid != old.st_uid || made.st_gid != old.st_gid)) {
            // The owner is kept where the system allows it (the group alone, for a member of that group);
            // otherwise the file is the caller's, as one written anew would be.
            const bool kept = ::fchown(file_.get(), old.st_uid, old.st_gid) == 0 ||
                              ::fchown(file_.get(), static_cast<uid_t>(-1), old.st_gid) == 0;
            static_cast<void>(kept);
        }
        return ::fchmod(file_.get(), old.st_mode & 07777) == 0;
    }

    int directory_ = AT_FDCWD;
    std::string name_;
    Descriptor file_;
};

// Reserves the room of the first `size` bytes of the file without changing any byte of it, so that writes over
// it do not stop part-way for want of room (a copy-on-write file system may still need new room for them). A file
// system that cannot reserve is refused like a full one: the C library emulates the reservation where the file
// system lacks it, writing a zero only into blocks that hold none, and a reservation it still cannot make
// (EOPNOTSUPP, or a file it may not read back) means the writes could stop part-way through the earlier content.
// A file size limit stops writes even inside the file's present length, where nothing needs reserving, so a length
// past it is refused first.
bool reserve(int fd, std::size_t size) {
    if (size > fileSizeLimit())
        return false;
#ifdef __APPLE__
    (void)fd;
    return false;
#else
    int result = 0;
    do
        result = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    while (result == EINTR);
    return result == 0;
#endif
}

enum class LockResult { Taken, Held, Unsupported };

// The exclusive lock of the open file `fd`. Its wait polls, so that the installed interrupt check can end it (before
// anything is written): a holder may never let go, the caller itself among them, through another open of the file.
LockResult takeLock(int fd, bool wait) {
    constexpr auto longestPause = std::chrono::milliseconds(20);
    std::chrono::microseconds pause(250);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return LockResult::Taken;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return LockResult::Unsupported;
        if (!wait)
            return LockResult::Held;
        utils::checkInterrupt();
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, longestPause);
    }
}

// The target of a save that cannot replace it, opened without truncating it, and created exclusively when it did
// not exist; a name that no longer leads to a regular file is not opened. Saves in place of one file take turns
// through an exclusive lock on it, so that each reserves, writes and cuts its content whole. A file this save made
// goes again when the save fails, unless another save has written it meanwhile.
class InPlaceFile {
public:
    explicit InPlaceFile(const Target& target) : target_(target) {
        constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
        if (!target.exists) {
            // Readable too, so that a reservation the C library emulates can tell data from holes.
            file_ = Descriptor(::openat(target.at(), target.name.c_str(), O_RDWR | O_CREAT | O_EXCL | flags, 0666));
            created_ = static_cast<bool>(file_);
            if (!file_ && errno != EEXIST)
                return;
        }
        if (!file_)
            file_ = Descriptor(::openat(target.at(), target.name.c_str(), O_RDWR | flags));
        if (!file_ && errno == EACCES)
            file_ = Descriptor(::openat(target.at(), target.name.c_str(), O_WRONLY | flags));
        struct stat status {};
        if (file_ && (::fstat(file_.get(), &status) != 0 || !S_ISREG(status.st_mode))) {
            file_ = Descriptor();
            created_ = false;
        }
    }
    InPlaceFile(const InPlaceFile&) = delete;
    InPlaceFile& operator=(const InPlaceFile&) = delete;
    ~InPlaceFile() {
        // Removed under the lock, and only while the name still leads to the file. Not waited for here: a save
        // that holds it is writing the file, which is then that save's.
        struct stat own {};
        if (created_ && file_ && (locked_ ? ::fstat(file_.get(), &own) == 0 : lock(own, false)) && created_) {
            struct stat named {};
            if (::fstatat(target_.at(), target_.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                named.st_dev == own.st_dev && named.st_ino == own.st_ino)
                ::unlinkat(target_.at(), target_.name.c_str(), 0);
        }
        unlock();
    }

    explicit operator bool() const { return static_cast<bool>(file_); }
    int get() const { return file_.get(); }

    // Takes the file's lock, waiting for the other saves in place of it (with `wait`), and gives its status then;
    // false when it is no longer linked (a save that made it has failed and removed it), so that nothing written to
    // it would be kept, or when the lock is held and not waited for. A file system without such locks lets the save
    // go on alone.
    bool lock(struct stat& status, bool wait = true) {
        const LockResult result = takeLock(file_.get(), wait);
        if (result == LockResult::Held)
            return false;
        locked_ = result == LockResult::Taken;
        if (::fstat(file_.get(), &status) != 0 || status.st_nlink == 0)
            return false;
        // What another save wrote into the file since this one made it is that save's.
        if (status.st_size != 0)
            created_ = false;
        return true;
    }

    // The save is complete; false when the close reports an error.
    bool finish() {
        created_ = false;
        unlock();
        return file_.close();
    }

private:
    // Explicitly, not by the close: a child forked meanwhile shares the open file, and so would its lock.
    void unlock() {
        if (std::exchange(locked_, false))
            ::flock(file_.get(), LOCK_UN);
    }

    const Target& target_;
    Descriptor file_;
    bool created_ = false;
    bool locked_ = false;
};

// Writes `content` over the open target: its whole length reserved first, then written from the start and cut to
// its length. A save that fails gives the file its earlier length back: after a refused reservation, or a first
// write that failed, that is the earlier file exactly; a write that fails after others leaves a mix of the two.
void overwrite(const std::string& path, InPlaceFile& file, const MemoryBuffer& content) {
    struct stat before {};
    if (!file.lock(before))
        throwCannotWrite(path);
    const int fd = file.get();
    const std::size_t size = content.size();
    if ((size != 0 && !reserve(fd, size)) || !content.writeTo(fd) || !truncateTo(fd, static_cast<off_t>(size))) {
        struct stat after {};
        if (::fstat(fd, &after) == 0 && after.st_size != before.st_size) {
            const bool restored = truncateTo(fd, before.st_size);
            static_cast<void>(restored);
        }
        throwCannotWrite(path);
    }
    if (!file.finish())
        throwCannotWrite(path);
}

// The save of a regular file beside which no temporary can be made: the content is rendered into memory and
// written over the file only once its room is reserved.
void writeInPlace(const std::string& path, const Target& target, FileWriter writer, UnopenedFile unopened) {
    // Opened first, so a file that does not open is refused (or passed on) before the writer runs, as a plain
    // open would have it.
    InPlaceFile file(target);
    if (!file) {
        passUnopened(path, writer, unopened);
        return;
    }
    MemoryBuffer memory;
    std::ostream stream(&memory);
    writer.call(writer.state, stream);
    if (stream.fail())
        throwCannotWrite(path);
    overwrite(path, file, memory);
}

void replace(const std::string& path, const Target& target, FileWriter writer, UnopenedFile unopened) {
    // An existing file the caller may not write is refused as a plain open would refuse it.
    if (target.exists && ::faccessat(target.at(), target.name.c_str(), W_OK, AT_EACCESS) != 0) {
        passUnopened(path, writer, unopened);
        return;
    }
    Temporary temporary;
    if (!temporary.create(target)) {
        writeInPlace(path, target, writer, unopened);
        return;
    }

    DescriptorBuffer buffer(temporary.file(), fileSizeLimit());
    std::ostream stream(&buffer);
    writer.call(writer.state, stream);
    if (!buffer.finish() || stream.fail())
        throwCannotWrite(path);
    // The close is checked on its own descriptor; the copy kept open reads the content back if it must be
    // copied over the target.
    Descriptor content(::fcntl(temporary.file(), F_DUPFD_CLOEXEC, 0));
    if (!content || !temporary.closeFile())
        throwCannotWrite(path);
    if (::renameat(target.at(), temporary.name().c_str(), target.at(), target.name.c_str()) == 0) {
        temporary.renamed();
        return;
    }
    // A directory that lets the caller create files but not replace this one (a sticky directory and a file of
    // another user), or a target that is a mount point of its own (a bind-mounted file).
    if (errno != EPERM && errno != EACCES && errno != EBUSY && errno != EXDEV)
        throwCannotWrite(path);
    // The complete temporary is copied over the target. It is read into memory and removed first, so that its
    // room is free for the copy.
    MemoryBuffer memory;
    if (!memory.readFrom(content.get(), buffer.written()))
        throwCannotWrite(path);
    content.close();
    temporary.remove();
    InPlaceFile file(target);
    if (!file)
        throwCannotWrite(path);
    overwrite(path, file, memory);
}

void writeThrough(const std::string& path, const Target& target, FileWriter writer, UnopenedFile unopened) {
    Descriptor file(
        ::openat(target.at(), target.name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
    if (!file) {
        passUnopened(path, writer, unopened);
        return;
    }
    // Only a regular file (reached through a descriptor link of /proc) has a size limit.
    struct stat status {};
    const bool regular = ::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode);
    DescriptorBuffer buffer(file.get(), regular ? fileSizeLimit() : std::numeric_limits<std::size_t>::max());
    std::ostream stream(&buffer);
    writer.call(writer.state, stream);
    // What the buffer still holds goes out here; a full device may only show now.
    if (!buffer.finish() || stream.fail() || !file.close())
        throwCannotWrite(path);
}

} // namespace

void writeFileWith(const std::string& path, FileWriter writer, UnopenedFile unopened) {
    checkPath(path, "writeFile");
    const Target target = targetOf(path);
    if (target.replace)
        replace(path, target, writer, unopened);
    else
        writeThrough(path, target, writer, unopened);
}

} // namespace Morvane::detail
