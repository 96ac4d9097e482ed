#include "morvane/core/Files.hpp"

#include "morvane/core/Exception.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include <fcntl.h>
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

// The stream of a save and the temporary it writes (empty when writing through directly). Destroyed before the
// temporary is renamed, it removes the temporary.
struct Output {
    std::ofstream stream;
    std::string temporary;

    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() {
        if (temporary.empty())
            return;
        stream.close();
        ::unlink(temporary.c_str());
    }
};

// "" for the working directory.
std::string directoryOf(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return slash == 0 ? std::string("/") : file.substr(0, slash);
}

std::string nameOf(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    return slash == std::string::npos ? file : file.substr(slash + 1);
}

std::string joined(const std::string& directory, const std::string& name) {
    if (directory.empty())
        return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

// Files of /proc and /sys are not stored data: their links name open descriptors (/dev/stdout leads there) and
// their files take writes as commands. Both are written through, never replaced.
bool onPseudoFileSystem(const std::string& directory) {
#ifdef __linux__
    struct statfs fs {};
    if (::statfs(directory.empty() ? "." : directory.c_str(), &fs) != 0)
        return false;
    return fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC;
#else
    (void)directory;
    return false;
#endif
}

bool readLink(const std::string& link, off_t sizeHint, std::string& target) {
    std::vector<char> buffer(sizeHint > 0 ? static_cast<std::size_t>(sizeHint) + 1 : 256);
    for (;;) {
        const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (static_cast<std::size_t>(n) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// What a save writes: the regular file to replace (or to create) at the end of the path's symbolic links, or
// nothing when the path is written through directly.
struct Target {
    bool replace = false;
    std::string file;
    bool exists = false;
    struct stat status {};
};

Target targetOf(const std::string& path) {
    // The kernel's own limit of links followed in one lookup; past it the open fails as it would.
    constexpr int maxLinks = 40;
    Target target;
    std::string file = path;
    for (int links = 0; links <= maxLinks; ++links) {
        // No name to put a temporary beside ("" or a trailing slash): the open reports it.
        if (file.empty() || file.back() == '/')
            return target;
        struct stat status {};
        if (::lstat(file.c_str(), &status) != 0) {
            // A missing file is created; any other failure (a missing search permission, a file as a
            // directory) is left to the open.
            if (errno == ENOENT && !onPseudoFileSystem(directoryOf(file))) {
                target.replace = true;
                target.file = file;
            }
            return target;
        }
        if (S_ISLNK(status.st_mode)) {
            std::string link;
            if (onPseudoFileSystem(directoryOf(file)) || !readLink(file, status.st_size, link))
                return target;
            file = !link.empty() && link.front() == '/' ? link : joined(directoryOf(file), link);
            continue;
        }
        if (S_ISREG(status.st_mode) && !onPseudoFileSystem(directoryOf(file))) {
            target.replace = true;
            target.file = file;
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
    return joined(directoryOf(file), "." + nameOf(file).substr(0, 200) + suffix);
}

// Creates the temporary of a replacing save and returns its name, or "" when none can be made.
std::string createTemporary(const Target& target) {
    // An existing file the caller may not write is refused as a plain open would refuse it.
    if (target.exists && ::faccessat(AT_FDCWD, target.file.c_str(), W_OK, AT_EACCESS) != 0)
        return std::string();
    // Over an existing file the temporary starts private and takes the file's permissions before any byte;
    // a new file takes what a plain open gives.
    const mode_t mode = target.exists ? S_IRUSR | S_IWUSR : 0666;
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::string name = temporaryNameFor(target.file);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
        if (fd < 0) {
            if (errno == EEXIST || errno == EINTR)
                continue;
            return std::string();
        }
        bool ready = true;
        if (target.exists) {
            const struct stat& old = target.status;
            struct stat made {};
            if (::fstat(fd, &made) == 0 && (made.st_uid != old.st_uid || made.st_gid != old.st_gid)) {
                // The owner is kept where the system allows it (the group alone, for a member of that group);
                // otherwise the file is the caller's, as one written anew would be.
                const bool kept =
                    ::fchown(fd, old.st_uid, old.st_gid) == 0 || ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
                static_cast<void>(kept);
            }
            ready = ::fchmod(fd, old.st_mode & 07777) == 0;
        }
        ::close(fd);
        if (ready)
            return name;
        ::unlink(name.c_str());
        return std::string();
    }
    return std::string();
}

void copyOver(const std::string& from, const std::string& path) {
    std::ifstream source(from, std::ios::in | std::ios::binary);
    std::ofstream file(path, std::ios::out | std::ios::binary);
    if (!source.is_open() || !file.is_open())
        throwCannotWrite(path);
    if (source.peek() != std::ifstream::traits_type::eof())
        file << source.rdbuf();
    file.close();
    if (file.fail())
        throwCannotWrite(path);
}

} // namespace

void writeFileWith(const std::string& path, FileWriter writer, UnopenedFile unopened) {
    checkPath(path, "writeFile");
    const Target target = targetOf(path);
    Output output;
    if (target.replace)
        output.temporary = createTemporary(target);
    // The stream is the file stream a plain save would use, so the writer meets a failed write at the same point
    // and with the same message. Where no temporary can be made (a directory the caller may not write, holding a
    // file it may), the file is written through as a plain save writes it, rather than refusing a save that
    // works.
    output.stream.open(output.temporary.empty() ? path : output.temporary, std::ios::out | std::ios::binary);
    if (!output.stream.is_open()) {
        if (unopened == UnopenedFile::Refuse)
            throwCannotOpen(path);
        writer.call(writer.state, output.stream);
        return;
    }

    writer.call(writer.state, output.stream);
    // What the buffer still holds goes out on close; a full disk may only show here.
    output.stream.close();
    if (output.stream.fail())
        throwCannotWrite(path);
    if (output.temporary.empty())
        return;
    if (::rename(output.temporary.c_str(), target.file.c_str()) != 0) {
        // A directory that lets the caller create files but not replace this one (a sticky directory and a file
        // of another user): the complete file is copied over the target as a plain save would write it.
        if (errno != EPERM && errno != EACCES && errno != EXDEV)
            throwCannotWrite(path);
        copyOver(output.temporary, path);
        return; // the temporary is removed with `output`
    }
    output.temporary.clear();
}

} // namespace Morvane::detail
