// Saves over a regular file in place: the file opened without truncating it, the library's turn on it, the room for
// the whole content reserved before any byte changes, then the content written from the start and the file cut to
// its length. A writer's content is rendered into memory that the thread keeps for its next save; a complete temporary
// is copied through one fixed buffer, or read into that memory where its room is needed for the copy.

#include "morvane/core/InPlaceFile.hpp"

#include "morvane/core/Interrupt.hpp"
#include "morvane/core/ThreadKept.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <streambuf>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Morvane::detail {
namespace {

// Reserves the room of the first `size` bytes of the file without changing any byte of it, so that writes over
// it do not stop part-way for want of room (a copy-on-write file system may still need new room for them). A file
// system that cannot reserve is refused like a full one: the C library emulates the reservation where the file
// system lacks it, writing a zero only into blocks that hold none, and a reservation it still cannot make
// (EOPNOTSUPP, or a file it may not read back) means the writes could stop part-way through the earlier content.
// A file size limit stops writes even inside the file's present length, where nothing needs reserving, so a length
// past it is refused first.
bool reserve(int fd, std::size_t size) {
    if (size == 0)
        return true;
    if (size > fileSizeLimit())
        return false;
    int result = 0;
    do
        result = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    while (result == EINTR);
    return result == 0;
}

enum class Turn {
    Taken,
    // Another library save has it.
    Held,
    // No turn to take: the file system has no such locks, or another program's record lock covers the byte.
    None,
};

struct flock turnLock(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kInPlaceTurnByte;
    lock.l_len = 1;
    return lock;
}

Turn tryTurn(int fd) {
#ifndef F_OFD_SETLK
    // No such locks on this system: every save goes ahead alone.
    static_cast<void>(fd);
    return Turn::None;
#else
    struct flock lock = turnLock(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0)
        return Turn::Taken;
    if (errno == EINTR)
        return Turn::Held;
    if (errno != EAGAIN && errno != EACCES)
        return Turn::None;
    // Whose lock is in the way: the library's is the byte alone, of an open file description (no process).
    struct flock holder = turnLock(F_WRLCK);
    if (::fcntl(fd, F_OFD_GETLK, &holder) != 0)
        return Turn::None;
    const bool library =
        holder.l_type == F_WRLCK && holder.l_start == kInPlaceTurnByte && holder.l_len == 1 && holder.l_pid == -1;
    // A lock let go meanwhile is tried again by the caller.
    return library || holder.l_type == F_UNLCK ? Turn::Held : Turn::None;
#endif
}

// The target of a save in place, opened without truncating it, and created exclusively when it did not exist; a
// name that no longer leads to a regular file is not opened. Once it has its turn, a save that does not finish
// gives the file its earlier length back, and a file it made goes again, unless another save has written it.
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
        if (file_ && !finished_) {
            if (started_)
                giveEarlierLengthBack();
            if (created_)
                removeUnlessTaken();
        }
        releaseTurn();
    }

    explicit operator bool() const { return static_cast<bool>(file_); }
    int get() const { return file_.get(); }

    // Waits for the turn among the library's saves of the file, at most kInPlaceTurnWait and until the installed
    // interrupt check ends the wait, and notes the file's length then. False when the wait ran out, or when the file
    // is no longer linked (a save that made it has failed and removed it), so that nothing written to it would be
    // kept.
    bool takeTurn() {
        if (started_)
            return true;
        if (!waitForTurn())
            return false;
        struct stat status {};
        if (::fstat(file_.get(), &status) != 0 || status.st_nlink == 0)
            return false;
        earlierLength_ = status.st_size;
        started_ = true;
        return true;
    }

    // Reserves the room of `size` bytes (see reserve), once; a refusal gives the earlier length back at once.
    bool reserve(std::size_t size) {
        if (reserved_ && size <= *reserved_)
            return true;
        if (!detail::reserve(file_.get(), size)) {
            giveEarlierLengthBack();
            return false;
        }
        reserved_ = size;
        return true;
    }

    // The save is complete once the file is cut to `size`; false when the cut or the close fails.
    bool finish(std::size_t size) {
        if (!truncateTo(file_.get(), static_cast<off_t>(size)))
            return false;
        finished_ = true;
        releaseTurn();
        return file_.close();
    }

private:
    bool waitForTurn() {
        using Clock = std::chrono::steady_clock;
        constexpr auto longestPause = std::chrono::milliseconds(20);
        const Clock::time_point deadline = Clock::now() + kInPlaceTurnWait;
        std::chrono::microseconds pause(250);
        for (;;) {
            const Turn turn = tryTurn(file_.get());
            if (turn != Turn::Held) {
                locked_ = turn == Turn::Taken;
                return true;
            }
            const Clock::time_point now = Clock::now();
            if (now >= deadline)
                return false;
            utils::checkInterrupt();
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
            pause = std::min<std::chrono::microseconds>(pause * 2, longestPause);
        }
    }

    void giveEarlierLengthBack() {
        struct stat now {};
        if (::fstat(file_.get(), &now) == 0 && now.st_size != earlierLength_) {
            const bool restored = truncateTo(file_.get(), earlierLength_);
            static_cast<void>(restored);
        }
    }

    // The file this save made goes with the failed save: under the turn, not waited for (a save that holds it is
    // writing the file, which is then that save's), while it is empty (what another save wrote is that save's) and
    // while its name still leads to it.
    void removeUnlessTaken() {
        if (!locked_) {
            const Turn turn = tryTurn(file_.get());
            if (turn == Turn::Held)
                return;
            locked_ = turn == Turn::Taken;
        }
        struct stat own {};
        if (::fstat(file_.get(), &own) != 0 || own.st_size != 0)
            return;
        struct stat named {};
        if (::fstatat(target_.at(), target_.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            named.st_dev != own.st_dev || named.st_ino != own.st_ino)
            return;
        ::unlinkat(target_.at(), target_.name.c_str(), 0);
    }

    // Explicitly, not by the close: a child forked meanwhile shares the open file, and so would its lock.
    void releaseTurn() {
        if (!std::exchange(locked_, false))
            return;
#ifdef F_OFD_SETLK
        struct flock lock = turnLock(F_UNLCK);
        ::fcntl(file_.get(), F_OFD_SETLK, &lock);
#endif
    }

    const Target& target_;
    Descriptor file_;
    bool created_ = false;
    // Holds the library's lock on the file.
    bool locked_ = false;
    // Has its turn (or goes ahead without one): it may change the file.
    bool started_ = false;
    bool finished_ = false;
    off_t earlierLength_ = 0;
    std::optional<std::size_t> reserved_;
};

// The blocks of content in memory, kept for the thread's next save: memory freed at the end of every save would be
// given back to the system and faulted in again by the next. A thread keeps at most kKeptBlocks (32 MiB); the rest
// of a larger save's blocks go at its end, and all of them with the thread.
constexpr std::size_t kBlockSize = std::size_t{1} << 16;
constexpr std::size_t kKeptBlocks = 512;
using Blocks = std::vector<std::unique_ptr<char[]>>;

// The whole content of a save in place, whose length must be known before the file is touched. It grows in blocks:
// nothing written is ever copied again, and no more than one block is left unused.
class MemoryBuffer final : public std::streambuf {
public:
    // The thread's kept blocks; a save made inside another (a signal handler's, while the other waits for its turn)
    // finds none and makes its own.
    MemoryBuffer() {
        if (Blocks* kept = Kept::get())
            blocks_.swap(*kept);
    }
    MemoryBuffer(const MemoryBuffer&) = delete;
    MemoryBuffer& operator=(const MemoryBuffer&) = delete;
    ~MemoryBuffer() override {
        if (blocks_.size() > kKeptBlocks)
            blocks_.resize(kKeptBlocks);
        Blocks* kept = Kept::get();
        if (kept != nullptr && blocks_.size() > kept->size())
            kept->swap(blocks_);
    }

    // Takes the first `size` bytes of `fd`; false on an error or an early end.
    bool readFrom(int fd, std::size_t size) {
        for (std::size_t offset = 0; offset < size;) {
            nextBlock();
            const std::size_t length = std::min(kBlockSize, size - offset);
            if (!readAllAt(fd, pbase(), length, static_cast<off_t>(offset)))
                return false;
            pbump(static_cast<int>(length));
            offset += length;
        }
        return true;
    }

    std::size_t size() const { return full_ + static_cast<std::size_t>(pptr() - pbase()); }

    // Writes the content into `stream`, a block at a time.
    static void write(void* state, std::ostream& stream) {
        const auto& memory = *static_cast<const MemoryBuffer*>(state);
        const std::size_t size = memory.size();
        for (std::size_t block = 0, offset = 0; offset < size; ++block, offset += kBlockSize)
            stream.write(memory.blocks_[block].get(),
                         static_cast<std::streamsize>(std::min(kBlockSize, size - offset)));
    }

protected:
    // The put area is the free part of the block in use; the stream buffer's own sputn fills it.
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        nextBlock();
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
        return c;
    }

private:
    using Kept = ThreadKept<Blocks, MemoryBuffer>;

    void nextBlock() {
        full_ = size();
        if (used_ == blocks_.size())
            // Left uninitialised: every byte written out is written in first.
            blocks_.emplace_back(new char[kBlockSize]);
        char* const block = blocks_[used_++].get();
        setp(block, block + kBlockSize);
    }

    Blocks blocks_;
    std::size_t used_ = 0;
    // The bytes of the blocks in use before the last.
    std::size_t full_ = 0;
};

// The writes over the file, within the reserved length. A failed one is not shown to the writer, whose later
// writes are skipped: the save then fails with the file's own message, once the writer is done.
struct OverwriteSink {
    int fd;
    std::size_t length;
    bool failed = false;

    bool put(const char* data, std::size_t size, std::size_t offset) {
        if (!failed)
            failed =
                offset > length || size > length - offset || !writeAllAt(fd, data, size, static_cast<off_t>(offset));
        return true;
    }
};

// The content of a complete temporary, read back in blocks of a file stream's buffer.
struct TemporaryContent {
    int fd;
    std::size_t size;

    static void write(void* state, std::ostream& stream) {
        const auto& content = *static_cast<const TemporaryContent*>(state);
        char block[8192];
        for (std::size_t offset = 0; offset < content.size && stream;) {
            const std::size_t length = std::min(sizeof block, content.size - offset);
            // A read that fails ends the content short, which fails the save.
            if (!readAllAt(content.fd, block, length, static_cast<off_t>(offset)))
                return;
            stream.write(block, static_cast<std::streamsize>(length));
            offset += length;
        }
    }
};

// Writes the `size` bytes that `content` gives over the file, its turn taken and the room of all of them reserved
// first, and cuts the file to them. A save that fails gives the file its earlier length back: after a refused
// reservation, or a first write that failed, that is the earlier file exactly; a write that fails after others
// leaves a mix of the two. A content of another length than `size` fails the save.
void overwrite(const std::string& path, InPlaceFile& file, std::size_t size, FileWriter content) {
    if (!file.takeTurn() || !file.reserve(size))
        throwCannotWrite(path);
    SinkBuffer<OverwriteSink> buffer(file.get(), size);
    std::ostream stream(&buffer);
    content.call(content.state, stream);
    if (!buffer.finish() || buffer.sink().failed || stream.fail() || buffer.written() != size || !file.finish(size))
        throwCannotWrite(path);
}

} // namespace

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
    overwrite(path, file, memory.size(), FileWriter{&MemoryBuffer::write, &memory});
}

void copyInPlace(const std::string& path, const Target& target, int content, std::size_t size,
                 FileStep removeTemporary) {
    InPlaceFile file(target);
    if (!file || !file.takeTurn())
        throwCannotWrite(path);
    if (file.reserve(size)) {
        TemporaryContent copy{content, size};
        overwrite(path, file, size, FileWriter{&TemporaryContent::write, &copy});
        return;
    }
    // Room for the copy only where the temporary was: it is read into memory, then goes first.
    MemoryBuffer memory;
    if (!memory.readFrom(content, size))
        throwCannotWrite(path);
    removeTemporary.call(removeTemporary.state);
    overwrite(path, file, size, FileWriter{&MemoryBuffer::write, &memory});
}

} // namespace Morvane::detail
