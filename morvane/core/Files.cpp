#include "morvane/core/Files.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/FileWrites.hpp"
#include "morvane/core/InPlaceFile.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <streambuf>
#include <utility>
#include <vector>

#include <fcntl.h>
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

void throwCannotWrite(const std::string& path) { throw RuntimeException("Cannot write file " + path); }

bool Descriptor::close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0 || errno == EINTR;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A write that takes nothing reports no error of its own.
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

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

} // namespace

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

std::size_t fileSizeLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur >= std::numeric_limits<std::size_t>::max())
        return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(limit.rlim_cur);
}

namespace {

// The stream of a file that cannot be created: every write fails and takes nothing.
class RejectingBuffer final : public std::streambuf {};

} // namespace

void passUnopened(const std::string& path, FileWriter writer, UnopenedFile unopened) {
    if (unopened == UnopenedFile::Refuse)
        throwCannotOpen(path);
    RejectingBuffer nothing;
    std::ostream stream(&nothing);
    writer.call(writer.state, stream);
}

namespace {

// The writes of a save that goes straight to a descriptor, from its start, within `limit` (see fileSizeLimit).
// With `countWithoutRoom`, a write that finds no room (a full file system, a quota) is no failure of the writer:
// the rest is only counted, and the save goes in place, where the earlier file's room serves.
struct DescriptorSink {
    int fd;
    std::size_t limit;
    bool countWithoutRoom = false;
    bool outOfRoom = false;

    bool put(const char* data, std::size_t size, std::size_t offset) {
        if (size > limit - offset)
            return false;
        if (outOfRoom)
            return true;
        if (writeAll(fd, data, size))
            return true;
        outOfRoom = countWithoutRoom && (errno == ENOSPC || errno == EDQUOT);
        return outOfRoom;
    }
};

// A directory is only ever looked up, never read: a directory the caller may search but not list still works.
#ifdef O_PATH
constexpr int directoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

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

    SinkBuffer<DescriptorSink> buffer(temporary.file(), fileSizeLimit(), true);
    std::ostream stream(&buffer);
    writer.call(writer.state, stream);
    if (!buffer.finish() || stream.fail())
        throwCannotWrite(path);
    const std::size_t size = buffer.written();
    if (buffer.sink().outOfRoom) {
        // The temporary cannot take the whole content: it goes, and with it the room it held, and the file is
        // written in place, where a plain open would have written it, with the content rendered anew.
        temporary.remove();
        writeInPlace(path, target, writer, unopened);
        return;
    }
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
    // another user), or a target that is a mount point of its own (a bind-mounted file): the complete temporary is
    // copied over the target.
    if (errno != EPERM && errno != EACCES && errno != EBUSY && errno != EXDEV)
        throwCannotWrite(path);
    // Its room is freed by its removal and the close of the copy kept open.
    struct Removal {
        Temporary& temporary;
        Descriptor& content;
        static void run(void* state) {
            auto& removal = *static_cast<Removal*>(state);
            removal.content.close();
            removal.temporary.remove();
        }
    } removal{temporary, content};
    copyInPlace(path, target, content.get(), size, FileStep{&Removal::run, &removal});
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
    SinkBuffer<DescriptorSink> buffer(file.get(), regular ? fileSizeLimit() : std::numeric_limits<std::size_t>::max());
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
