// Saves that cannot replace a file by a renamed temporary (no room or no permission for one, a directory that
// refuses the rename) end with the complete new file or with an exception and the earlier file as it was; and
// concurrent changes of the working directory or of the directory's entries redirect no save. Each case runs in a
// child process, with its own small file system, file size limit or user where it needs one.
#include "morvane/core/Files.hpp"
#include "morvane/core/InPlaceFile.hpp"
#include "morvane/core/Interrupt.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/SecretKey.hpp"
#include "morvane/core/Serialize.hpp"
#include "morvane/keys/KeyGenerator.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/FullDisk.hpp"
#include "tests/support/SyscallFaults.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Morvane;
using namespace datatest;
namespace fs = std::filesystem;

namespace {

using Known = std::map<std::string, Bytes>;

// The earlier file (72 bytes), a new one that fits where little room is left (136 bytes), one that does not
// (65 544 bytes).
Message earlier() { return Message(2, Complex(7, 7)); }
Message fitting() { return Message(3, Complex(1, 2)); }
Message large() { return Message(12, Complex(3, 4)); }

Bytes savedBytes(const Message& message) {
    std::ostringstream out;
    message.save(out);
    return bytesOf(out.str());
}

Known knownMessages() {
    return {{"earlier", savedBytes(earlier())}, {"fitting", savedBytes(fitting())}, {"large", savedBytes(large())}};
}

// The names in `dir`, sorted, joined by spaces.
std::string entriesOf(const std::string& dir) {
    std::set<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        names.insert(it->path().filename().string());
    std::string joined;
    for (const std::string& name : names)
        joined += (joined.empty() ? "" : " ") + name;
    return joined;
}

// Which of `known` the file holds, or its size.
std::string contentOf(const std::string& file, const Known& known) {
    const Bytes bytes = readFile(file);
    for (const auto& [name, content] : known)
        if (bytes == content)
            return name;
    return std::to_string(bytes.size()) + " bytes";
}

void chmodAll(const std::vector<std::string>& paths, mode_t mode) {
    for (const std::string& path : paths)
        ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// Leaves the directories unwritable for the rest of the child: as root by becoming the second user (the files
// stay writable for everyone), otherwise by their permission bits.
std::string lockDirectories(const std::vector<std::string>& directories, const std::vector<std::string>& files) {
    if (::geteuid() == 0) {
        for (const std::string& file : files)
            if (::chmod(file.c_str(), 0666) != 0)
                return notAllowed + "cannot share " + file;
        if (!becomeSecondUser())
            return notAllowed + "no second user";
    } else {
        for (const std::string& directory : directories)
            if (::chmod(directory.c_str(), 0555) != 0)
                return notAllowed + "cannot lock " + directory;
    }
    for (const std::string& directory : directories)
        if (::access(directory.c_str(), W_OK) == 0 || ::access(directory.c_str(), X_OK) != 0)
            return notAllowed + "permission bits are not enforced for this user";
    return std::string();
}

bool endsWith(const char* text, const char* end) {
    const std::size_t length = std::strlen(text), endLength = std::strlen(end);
    return length >= endLength && std::strcmp(text + length - endLength, end) == 0;
}

bool createsTemporary(const SyscallCall& call) {
    return call.number == SYS_openat && (call.args[2] & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) &&
           endsWith(reinterpret_cast<const char*>(call.args[1]), ".tmp");
}

// The lock by which the library's saves in place of one file take turns.
struct flock libraryTurn(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = detail::kInPlaceTurnByte;
    lock.l_len = 1;
    return lock;
}

bool isRename(const SyscallCall& call) { return call.number == SYS_renameat || call.number == SYS_renameat2; }

// The decision of the fault case a child runs, whether it takes the temporary away, and the descriptor whose
// close it interrupts, once.
SyscallDecision caseDecision = nullptr;
bool caseInPlace = false;
int interruptedClose = -1;

} // namespace

TEST(FilesFallbackTest, WhereNoTemporaryCanBeMadeAFileIsWrittenOverOnlyWithRoomForAllOfIt) {
    const Context ctx = makeContext(ParameterPreset::FGb);
    const Context other = makeContext(ParameterPreset::SD3);
    const auto savedKey = [](const Context& context, const std::string& dir) {
        KeyGenerator keys(context, SecretKey(context));
        keys.genEncryptionKey();
        fs::create_directories(dir + "/PK");
        keys.save(dir);
        return readFile(dir + "/PK/EncKey.bin");
    };
    TempDir scratch;
    Known known = knownMessages();
    known["earlier key"] = savedKey(other, scratch.file("other"));
    known["new key"] = savedKey(ctx, scratch.file("new"));
    known["record"] = {1, 0, 0, 0};
    known["empty"] = {};
    ASSERT_EQ(known["new key"].size(), 12u);
    ASSERT_NE(known["new key"], known["earlier key"]);

    struct Case {
        const char* name;
        // Run in the child: mounts and prepares `dir`, then takes away what a temporary needs.
        std::function<std::string(const std::string& dir, const std::function<void()>& prepare)> setup;
        rlim_t fileSizeLimit;
        // Per save: what it raised, then what the message file and the key file hold.
        std::vector<std::string> expected;
    };
    const auto inodesUsedUp = [](const std::string& dir, const std::function<void()>& prepare) {
        // The root, m.bin, keys, keys/PK and keys/PK/EncKey.bin take every inode.
        if (!privateMounts() || !mountSmallFileSystem(dir, "size=16k,nr_inodes=5"))
            return notAllowed + "no file system of its own";
        prepare();
        const int probe = ::open((dir + "/probe").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (probe >= 0)
            return notAllowed + "the file system has more inodes";
        return std::string();
    };
    const auto unwritable = [](const std::string& dir, const std::function<void()>& prepare) {
        prepare();
        return lockDirectories({dir, dir + "/keys", dir + "/keys/PK"}, {dir + "/m.bin", dir + "/keys/PK/EncKey.bin"});
    };
    const std::string cannotWrite = "Cannot write file ";
    const Case cases[] = {
        {"no free inode",
         inodesUsedUp,
         0,
         {cannotWrite + "m.bin; earlier, earlier key", "<no exception>; empty, earlier key",
          "<no exception>; record, earlier key", "<no exception>; record, new key",
          "<no exception>; fitting, new key"}},
        {"unwritable directories, files up to 1000 bytes",
         unwritable,
         1000,
         {cannotWrite + "m.bin; earlier, earlier key", "<no exception>; empty, earlier key",
          "<no exception>; record, earlier key", "<no exception>; record, new key",
          "<no exception>; fitting, new key"}},
        {"unwritable directories, files up to 8 bytes",
         unwritable,
         8,
         {cannotWrite + "m.bin; earlier, earlier key", "<no exception>; empty, earlier key",
          "<no exception>; record, earlier key", cannotWrite + "keys/PK/EncKey.bin; record, earlier key",
          cannotWrite + "m.bin; record, earlier key"}},
    };
    std::string skipped;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir top;
        const std::string dir = top.file("d");
        const std::string file = dir + "/m.bin", keyFile = dir + "/keys/PK/EncKey.bin";
        fs::create_directories(dir);
        const auto prepare = [&] {
            fs::create_directories(dir + "/keys/PK");
            earlier().save(file);
            writeFile(keyFile, known.at("earlier key"));
        };
        // Reachable by the second user.
        chmodAll({top.str(), dir}, 0755);
        const std::string result = inChildProcess([&] {
            const std::string refused = c.setup(dir, prepare);
            if (!refused.empty())
                return refused;
            if (c.fileSizeLimit != 0 && !limitFileSize(c.fileSizeLimit))
                return notAllowed + "no file size limit";
            const KeyGenerator keys(ctx, SecretKey(ctx));
            keys.genEncryptionKey();
            const auto record = [](std::ostream& stream) { Serialize::save(stream, std::int32_t{1}); };
            const auto nothing = [](std::ostream&) {};
            const std::function<void()> saves[] = {
                [&] { large().save(file); },
                [&] { detail::writeFile(file, nothing, detail::UnopenedFile::PassToWriter); },
                [&] { detail::writeFile(file, record, detail::UnopenedFile::PassToWriter); },
                [&] { keys.save(dir + "/keys"); },
                [&] { fitting().save(file); },
            };
            std::string lines;
            for (const auto& save : saves) {
                lines += messageOf(save);
                lines += "; " + contentOf(file, known) + ", " + contentOf(keyFile, known) + "; " + entriesOf(dir) +
                         " | " + entriesOf(dir + "/keys/PK") + "\n";
            }
            return lines;
        });
        // Unlocked again for the removal (on a file system of the child's own they are gone already).
        for (const std::string& locked : {dir, dir + "/keys", dir + "/keys/PK"})
            if (::chmod(locked.c_str(), 0755) != 0) {
                EXPECT_EQ(errno, ENOENT) << locked;
            }
        if (isNotAllowed(result)) {
            skipped += std::string(c.name) + ": " + result + "\n";
            continue;
        }
        std::string expected;
        for (std::string line : c.expected) {
            if (line.rfind(cannotWrite, 0) == 0)
                line.insert(cannotWrite.size(), dir + "/");
            expected += line + "; keys m.bin | EncKey.bin\n";
        }
        EXPECT_EQ(result, expected);
    }
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

TEST(FilesFallbackTest, ASaveThatFitsOverItsEarlierFileOnANearlyFullFileSystemIsWrittenInPlace) {
    // A file system of 1 MiB: the temporary runs out of room part-way, and the file is written over in place where
    // the room of the earlier content serves, unless even that reservation fails. The content is rendered anew
    // before any byte of the file changes, so a writer that fails then leaves the earlier file.
    struct Case {
        const char* name;
        unsigned earlierLogSlots;
        std::size_t otherBytes;
        // Whether the writer throws half-way through its second run.
        bool failsAgain;
        const char* expected;
    };
    const Case cases[] = {
        {"512 KiB over 512 KiB beside 240 KiB", 15, 240 << 10, false, "<no exception>; new; m.bin other"},
        {"512 KiB over 256 KiB beside 600 KiB", 14, 600 << 10, false, "Cannot write file <file>; earlier; m.bin other"},
        {"the writer fails when run again", 15, 240 << 10, true, "stopped; earlier; m.bin other"},
    };
    std::string skipped;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir top;
        const std::string dir = top.file("d"), file = dir + "/m.bin";
        fs::create_directories(dir);
        const Message before(c.earlierLogSlots, Complex(7, 7));
        const Message after(15, Complex(1, 2));
        const Known known{{"earlier", savedBytes(before)}, {"new", savedBytes(after)}};
        const std::string result = inChildProcess([&] {
            if (!privateMounts() || !mountSmallFileSystem(dir, "size=1m"))
                return notAllowed + "no file system of its own";
            before.save(file);
            writeFile(dir + "/other", Bytes(c.otherBytes, 1));
            int runs = 0;
            const auto write = [&](std::ostream& stream) {
                const bool fails = c.failsAgain && ++runs == 2;
                Serialize::save(stream, fails ? Message(14, Complex(1, 2)) : after);
                if (fails)
                    throw RuntimeException("stopped");
            };
            std::string line = messageOf([&] { detail::writeFile(file, write); });
            for (std::size_t at; (at = line.find(file)) != std::string::npos;)
                line.replace(at, file.size(), "<file>");
            return line + "; " + contentOf(file, known) + "; " + entriesOf(dir);
        });
        if (isNotAllowed(result))
            skipped += std::string(c.name) + ": " + result + "\n";
        else
            EXPECT_EQ(result, c.expected);
    }
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

TEST(FilesFallbackTest, AFileTheDirectoryDoesNotLetTheCallerReplaceIsWrittenOverOnlyWithRoomForAllOfIt) {
    struct Case {
        const char* name;
        // Run in the child: makes the file of the earlier record in `dir` and returns its path.
        std::function<std::string(const std::string& dir)> setup;
        // What the large save raised and left.
        const char* large;
    };
    const Case cases[] = {
        {"a sticky directory and a file of another user",
         [](const std::string& dir) {
             // Room for the temporary or for the copy, not for both: the temporary goes before the copy.
             if (::geteuid() != 0)
                 return notAllowed + "acting as a second user needs root";
             if (!privateMounts() || !mountSmallFileSystem(dir, "size=96k,mode=1777"))
                 return notAllowed + "no file system of its own";
             const std::string file = dir + "/m.bin";
             earlier().save(file);
             if (::chmod(file.c_str(), 0666) != 0 || !becomeSecondUser())
                 return notAllowed + "no second user";
             return file;
         },
         "<no exception>; large"},
        {"a bind-mounted file",
         [](const std::string& dir) {
             // The file mounted lies on a file system without room for the large record.
             if (!privateMounts() || !mountSmallFileSystem(dir + "/small", "size=32k"))
                 return notAllowed + "no file system of its own";
             const std::string source = dir + "/small/source.bin", file = dir + "/d/m.bin";
             earlier().save(source);
             writeFile(file, {});
             if (::mount(source.c_str(), file.c_str(), nullptr, MS_BIND, nullptr) != 0)
                 return notAllowed + "no bind mount";
             return file;
         },
         "Cannot write file <file>; earlier"},
    };
    const Known known = knownMessages();
    std::string skipped;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir top;
        fs::create_directories(top.file("small"));
        fs::create_directories(top.file("d"));
        chmodAll({top.str()}, 0755);
        const std::string result = inChildProcess([&] {
            const std::string file = c.setup(top.str());
            if (isNotAllowed(file))
                return file;
            const std::string directory = file.substr(0, file.rfind('/'));
            std::string lines;
            for (const auto& save : {std::function<void()>([&] { large().save(file); }),
                                     std::function<void()>([&] { fitting().save(file); })}) {
                lines += messageOf(save);
                struct stat status {};
                const bool owned = ::stat(file.c_str(), &status) == 0 && status.st_uid == 0;
                lines += "; " + contentOf(file, known) + (owned ? ", root's; " : ", not root's; ") +
                         entriesOf(directory) + "\n";
            }
            for (std::size_t at; (at = lines.find(file)) != std::string::npos;)
                lines.replace(at, file.size(), "<file>");
            return lines;
        });
        if (isNotAllowed(result)) {
            skipped += std::string(c.name) + ": " + result + "\n";
            continue;
        }
        EXPECT_EQ(result, std::string(c.large) + ", root's; m.bin\n<no exception>; fitting, root's; m.bin\n");
    }
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

TEST(FilesFallbackTest, ACopyOverAFileTheDirectoryWillNotReplaceKeepsTheCompleteTemporaryUntilItIsDone) {
    // The directory refuses the rename, and the process ends at the first write of the copy, as in a crash: the
    // complete content is still beside the file.
    TempDir dir;
    const std::string file = dir.file("m.bin");
    earlier().save(file);
    const std::string result = inChildProcess([&] {
        const auto decide = [](const SyscallCall& call) {
            if (call.number == SYS_pwrite64)
                ::_exit(0);
            return SyscallFault{isRename(call) ? EPERM : 0};
        };
        if (!faultSyscalls({SYS_pwrite64, SYS_renameat, SYS_renameat2}, decide))
            return notAllowed + "no system call filter";
        large().save(file);
        return std::string("the copy was not made");
    });
    if (isNotAllowed(result))
        GTEST_SKIP() << result;
    ASSERT_EQ(result, "");
    // The file itself has the room of the new content reserved, with the earlier content at its start.
    const Known known = knownMessages();
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.str())) {
        const std::string name = entry.path().filename().string();
        left.insert((name == "m.bin" ? name : "temporary") + ": " + contentOf(entry.path().string(), known));
    }
    EXPECT_EQ(left, (std::set<std::string>{"m.bin: 65544 bytes", "temporary: large"}));
}

TEST(FilesFallbackTest, AChangeOfTheWorkingDirectoryDuringASaveRedirectsNothing) {
    TempDir top;
    for (const char* dir : {"a/sub", "b/sub"})
        fs::create_directories(top.file(dir));
    const Known known = knownMessages();
    const std::string result = inChildProcess([&] {
        const std::string a = top.file("a"), b = top.file("b");
        if (::chdir(a.c_str()) != 0)
            return std::string("no working directory");
        std::atomic<bool> done{false};
        std::thread changer([&] {
            for (bool inA = true; !done.load(); inA = !inA)
                if (::chdir((inA ? b : a).c_str()) != 0)
                    break;
        });
        const Message message = large();
        int failed = 0;
        for (int i = 0; i < 100; ++i)
            failed += messageOf([&] { message.save("sub/m.bin"); }) == "<no exception>" ? 0 : 1;
        done = true;
        changer.join();
        // Each save lands whole in the directory the path named when it started.
        std::string report = std::to_string(failed) + " failed";
        for (const std::string& sub : {a + "/sub", b + "/sub"}) {
            const std::string entries = entriesOf(sub);
            report += "; " + (entries.empty() ? "nothing" : entries + " " + contentOf(sub + "/m.bin", known));
        }
        return report;
    });
    // Both directories got some of the saves, unless the scheduler let one side run alone.
    for (const char* ending : {"; m.bin large; m.bin large", "; nothing; m.bin large", "; m.bin large; nothing"})
        if (result == std::string("0 failed") + ending)
            return;
    ADD_FAILURE() << result;
}

TEST(FilesFallbackTest, ALinkSwappedInForATemporaryRedirectsNoWrite) {
    TempDir top;
    const std::string dir = top.file("d"), victim = top.file("victim.bin");
    fs::create_directories(dir);
    earlier().save(victim);
    const Bytes victimBytes = readFile(victim);
    const std::string result = inChildProcess([&] {
        // The file's own inode, whatever name it has later (a save through a link replaces the name).
        const int held = ::open(victim.c_str(), O_RDONLY | O_CLOEXEC);
        std::atomic<bool> done{false};
        std::thread swapper([&] {
            while (!done.load()) {
                std::error_code error;
                for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
                    const std::string name = it->path().filename().string();
                    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0 &&
                        ::unlink(it->path().c_str()) == 0) {
                        const int linked = ::symlink(victim.c_str(), it->path().c_str());
                        static_cast<void>(linked);
                    }
                }
            }
        });
        const Message message = fitting();
        for (int i = 0; i < 300; ++i)
            static_cast<void>(messageOf([&] { message.save(dir + "/m.bin"); }));
        done = true;
        swapper.join();
        Bytes held_bytes(victimBytes.size() + 1);
        const ssize_t n = ::pread(held, held_bytes.data(), held_bytes.size(), 0);
        held_bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return std::string(held_bytes == victimBytes ? "untouched" : "written");
    });
    EXPECT_EQ(result, "untouched");
}

TEST(FilesFallbackTest, TwoSavesInPlaceOfOneFileAtOnceLeaveOneWholeContent) {
    // Two processes save over one file of a directory neither may write, at the same moment, round after round:
    // every round leaves one of the two contents, whole.
    constexpr int rounds = 1000;
    TempDir top;
    const std::string dir = top.file("d"), file = dir + "/m.bin";
    fs::create_directories(dir);
    chmodAll({top.str(), dir}, 0755);
    // Close in length, so that the writes of the two often overlap.
    Message contents[] = {Message(12, Complex(1, 1)), Message(12, Complex(2, 2))};
    contents[1].resize(contents[1].getSize() - 64);
    const Known known{{"first", savedBytes(contents[0])}, {"second", savedBytes(contents[1])}};
    const std::string result = inChildProcess([&] {
        contents[1].save(file);
        const std::string refused = lockDirectories({dir}, {file});
        if (!refused.empty())
            return refused;
        struct Shared {
            pthread_barrier_t barrier;
            int failed;
        };
        void* memory = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            return std::string("no shared memory");
        auto* shared = new (memory) Shared{};
        pthread_barrierattr_t attributes;
        ::pthread_barrierattr_init(&attributes);
        ::pthread_barrierattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
        ::pthread_barrier_init(&shared->barrier, &attributes, 2);
        const pid_t other = ::fork();
        if (other < 0)
            return std::string("no second process");
        const Message& mine = contents[other == 0 ? 1 : 0];
        std::map<std::string, int> seen;
        for (int round = 0; round < rounds; ++round) {
            ::pthread_barrier_wait(&shared->barrier);
            if (messageOf([&] { mine.save(file); }) != "<no exception>")
                __atomic_add_fetch(&shared->failed, 1, __ATOMIC_SEQ_CST);
            ::pthread_barrier_wait(&shared->barrier);
            // Read while the other process waits for the next round.
            if (other != 0)
                ++seen[contentOf(file, known)];
            ::pthread_barrier_wait(&shared->barrier);
        }
        if (other == 0)
            ::_exit(0);
        int status = 0;
        ::waitpid(other, &status, 0);
        std::string report = std::to_string(__atomic_load_n(&shared->failed, __ATOMIC_SEQ_CST)) + " failed";
        for (const auto& [content, count] : seen)
            if (known.count(content) == 0)
                report += "; " + content + " " + std::to_string(count) + " times";
        return report + "; " + entriesOf(dir);
    });
    if (isNotAllowed(result))
        GTEST_SKIP() << result;
    EXPECT_EQ(result, "0 failed; m.bin");
}

TEST(FilesFallbackTest, SavesInPlaceTakeTurnsWithTheLibrarysOwnSavesOnlyAndWaitForThemBoundedly) {
    // A save in place over a file on which a lock is held, from the main thread and from another thread, each case
    // in a child process of its own and all at once. Locks of the caller or of another program do not hold the
    // save up; a library save that holds its turn does, until it lets go, the interrupt check ends the wait, or the
    // wait's bound has passed.
    enum class Holder { OwnFlock, OtherFlock, OwnRecordLock, SaveThatLetsGo, StoppedSave, StoppedSaveInterrupted };
    struct Case {
        const char* name;
        Holder holder;
        const char* expected;
    };
    const Case cases[] = {
        {"the caller's own flock", Holder::OwnFlock, "<no exception>; large; at once"},
        {"another process's flock", Holder::OtherFlock, "<no exception>; large; at once"},
        {"the caller's own lock of the whole file", Holder::OwnRecordLock, "<no exception>; large; at once"},
        {"a library save that lets go", Holder::SaveThatLetsGo, "<no exception>; large; after a wait"},
        {"a library save stopped in its turn", Holder::StoppedSave,
         "Cannot write file <file>; as it was; after the bound"},
        {"a library save stopped in its turn, the wait interrupted", Holder::StoppedSaveInterrupted,
         "interrupted; as it was; at once"},
    };
    using Clock = std::chrono::steady_clock;
    constexpr auto atOnce = std::chrono::seconds(5);
    static constexpr std::chrono::seconds holdersPause{8};
    const Known known = knownMessages();
    // The helper process that holds the turn: where it reports that it holds it, and whether it stops there or goes
    // on after a pause.
    static int holderReady = -1;
    static bool holderStops = false;

    const auto start = [&](const Case& c, bool onAnotherThread, const std::string& dir) {
        const std::string file = dir + "/m.bin";
        return startInChildProcess([&]() -> std::string {
            // A child process that hangs is ended; its helpers go with it.
            ::alarm(static_cast<unsigned>((detail::kInPlaceTurnWait + std::chrono::seconds(60)).count()));
            const std::string refused = lockDirectories({dir}, {file});
            if (!refused.empty())
                return refused;
            int ready[2];
            if (::pipe(ready) != 0)
                return std::string("no pipe");
            pid_t helper = -1;
            const auto startHelper = [&](const std::function<void()>& hold) {
                helper = ::fork();
                if (helper == 0) {
                    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                    hold();
                    ::_exit(0);
                }
                // Only the helper writes: one that ends without a word fails the case rather than hangs it.
                ::close(ready[1]);
                char byte = 0;
                return helper > 0 && ::read(ready[0], &byte, 1) == 1 ? byte : '\0';
            };
            const auto holdSaveTurn = [&] {
                // The save writes its first bytes over the file in its turn, with the room reserved.
                holderReady = ready[1];
                const auto decide = [](const SyscallCall&) {
                    static bool first = true;
                    if (std::exchange(first, false) && ::write(holderReady, "r", 1) == 1) {
                        if (holderStops)
                            ::pause();
                        const timespec pause{holdersPause.count(), 0};
                        ::nanosleep(&pause, nullptr);
                    }
                    return SyscallFault{};
                };
                if (faultSyscalls({SYS_pwrite64}, decide))
                    fitting().save(file);
                else if (::write(holderReady, "n", 1) != 1)
                    ::_exit(1);
            };
            int own = -1;
            char holding = '\0';
            switch (c.holder) {
            case Holder::OwnFlock:
                own = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
                holding = own >= 0 && ::flock(own, LOCK_EX) == 0 ? 'r' : '\0';
                break;
            case Holder::OwnRecordLock:
                own = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
                holding = own >= 0 && ::lockf(own, F_LOCK, 0) == 0 ? 'r' : '\0';
                break;
            case Holder::OtherFlock:
                holding = startHelper([&] {
                    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
                    if (fd >= 0 && ::flock(fd, LOCK_EX) == 0 && ::write(ready[1], "r", 1) == 1)
                        ::pause();
                });
                break;
            case Holder::SaveThatLetsGo:
            case Holder::StoppedSave:
            case Holder::StoppedSaveInterrupted:
                holderStops = c.holder != Holder::SaveThatLetsGo;
                holding = startHelper(holdSaveTurn);
                break;
            }
            if (holding == 'n')
                return notAllowed + "no system call filter";
            if (holding != 'r')
                return std::string("no lock held");
            if (c.holder == Holder::StoppedSaveInterrupted)
                setInterruptCheck([] { throw RuntimeException("interrupted"); });
            // As the lock's holder left it.
            const Bytes held = readFile(file);
            std::string line;
            const Clock::time_point start = Clock::now();
            const auto save = [&] { line = messageOf([&] { large().save(file); }); };
            if (onAnotherThread)
                std::thread(save).join();
            else
                save();
            const Clock::duration took = Clock::now() - start;
            if (helper > 0) {
                ::kill(helper, SIGKILL);
                ::waitpid(helper, nullptr, 0);
            }
            for (std::size_t at; (at = line.find(file)) != std::string::npos;)
                line.replace(at, file.size(), "<file>");
            const Bytes after = readFile(file);
            line += std::string("; ") +
                    (after == known.at("large") ? "large"
                     : after == held            ? "as it was"
                                                : "changed") +
                    "; ";
            line += took < atOnce ? "at once" : took < detail::kInPlaceTurnWait ? "after a wait" : "after the bound";
            return line;
        });
    };

    std::vector<std::unique_ptr<TempDir>> dirs;
    std::vector<ChildProcess> children;
    std::vector<std::string> names;
    for (const Case& c : cases)
        for (const bool onAnotherThread : {false, true}) {
            dirs.push_back(std::make_unique<TempDir>());
            const std::string dir = dirs.back()->file("d");
            fs::create_directories(dir);
            chmodAll({dirs.back()->str(), dir}, 0755);
            earlier().save(dir + "/m.bin");
            names.push_back(std::string(c.name) +
                            (onAnotherThread ? ", from another thread" : ", from the main thread"));
            children.push_back(start(c, onAnotherThread, dir));
        }
    std::string skipped;
    for (std::size_t i = 0; i < children.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const std::string result = finishChildProcess(children[i]);
        if (isNotAllowed(result))
            skipped += names[i] + ": " + result + "\n";
        else
            EXPECT_EQ(result, cases[i / 2].expected);
    }
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

TEST(FilesFallbackTest, FailedOrInterruptedCallsOfASaveLeaveTheEarlierFileOrTheNewOneWhole) {
    // Each case fails system calls of a save; `inPlace` takes away the temporary (as a directory the caller may
    // not write would), so that the file is written over.
    struct Case {
        const char* name;
        bool inPlace;
        SyscallDecision decide;
        SyscallObserver after;
        // The file's content before (none, when null), the save, and what it raised and left.
        std::function<Message()> earlier;
        std::function<void(const std::string&)> save;
        std::string expected;
    };
    const auto pass = [](const SyscallCall&) { return SyscallFault{}; };
    const auto saveLarge = [](const std::string& file) { large().save(file); };
    const auto saveFitting = [](const std::string& file) { fitting().save(file); };
    // The descriptors opened on the file (in place) or on the temporary.
    const auto onFile = [](const SyscallCall& call) {
        if (call.number == SYS_openat && call.result >= 0 &&
            std::strcmp(reinterpret_cast<const char*>(call.args[1]), "m.bin") == 0)
            interruptedClose = static_cast<int>(call.result);
    };
    const auto onTemporary = [](const SyscallCall& call) {
        if (call.number == SYS_openat && call.result >= 0 && createsTemporary(call))
            interruptedClose = static_cast<int>(call.result);
    };
    const auto closeInterrupted = [](const SyscallCall& call) {
        if (call.number == SYS_close && call.args[0] == interruptedClose) {
            interruptedClose = -1;
            return SyscallFault{EINTR, true};
        }
        return SyscallFault{};
    };
    const std::string cannotWrite = "Cannot write file <file>";
    const Case cases[] = {
        {"the first write fails", true,
         [](const SyscallCall& call) { return SyscallFault{call.number == SYS_pwrite64 ? EIO : 0}; }, nullptr, earlier,
         saveLarge, cannotWrite + "; earlier"},
        {"the cut is interrupted once", true,
         [](const SyscallCall& call) {
             static bool interrupted = false;
             if (call.number != SYS_ftruncate || std::exchange(interrupted, true))
                 return SyscallFault{};
             return SyscallFault{EINTR};
         },
         nullptr, large, saveFitting, "<no exception>; fitting"},
        {"the close of the file is interrupted", true, closeInterrupted, onFile, large, saveFitting,
         "<no exception>; fitting"},
        {"the close of the temporary is interrupted", false, closeInterrupted, onTemporary, large, saveFitting,
         "<no exception>; fitting"},
        // The C library emulates the reservation with a write into every block, which stops past the first two.
        {"an emulated reservation stops part-way", true,
         [](const SyscallCall& call) {
             if (call.number == SYS_fallocate)
                 return SyscallFault{EOPNOTSUPP};
             return SyscallFault{call.number == SYS_pwrite64 && call.args[3] >= 8192 ? ENOSPC : 0};
         },
         nullptr, earlier, saveLarge, cannotWrite + "; earlier"},
        // A file the save made is removed again.
        {"no room for a new file", true,
         [](const SyscallCall& call) { return SyscallFault{call.number == SYS_fallocate ? ENOSPC : 0}; }, nullptr,
         nullptr, saveLarge, cannotWrite + "; no file"},
        // The directory refuses the rename of the temporary over the file, as a sticky one refuses another user's
        // file, so that the temporary is copied over it; one step of the copy fails.
        {"the rename is refused and the temporary does not read back", false,
         [](const SyscallCall& call) {
             return SyscallFault{isRename(call) ? EPERM : call.number == SYS_pread64 ? EIO : 0};
         },
         nullptr, earlier, saveFitting, cannotWrite + "; earlier"},
        {"the rename is refused and the file does not open again", false,
         [](const SyscallCall& call) {
             const bool reopen =
                 call.number == SYS_openat && std::strcmp(reinterpret_cast<const char*>(call.args[1]), "m.bin") == 0;
             return SyscallFault{isRename(call) ? EPERM : reopen ? EACCES : 0};
         },
         nullptr, earlier, saveFitting, cannotWrite + "; earlier"},
        {"the rename is refused and the copy finds no room", false,
         [](const SyscallCall& call) {
             return SyscallFault{isRename(call) ? EPERM : call.number == SYS_fallocate ? ENOSPC : 0};
         },
         nullptr, earlier, saveLarge, cannotWrite + "; earlier"},
        // Room for the copy only once the temporary is gone: it is read into memory first.
        {"the rename is refused and the copy finds room only without the temporary", false,
         [](const SyscallCall& call) {
             static bool refused = false;
             const bool noRoom = call.number == SYS_fallocate && !std::exchange(refused, true);
             return SyscallFault{isRename(call) ? EPERM : noRoom ? ENOSPC : 0};
         },
         nullptr, earlier, saveLarge, "<no exception>; large"},
        {"the rename is refused, the copy finds room only without the temporary, which does not read back", false,
         [](const SyscallCall& call) {
             static bool refused = false;
             const bool noRoom = call.number == SYS_fallocate && !std::exchange(refused, true);
             return SyscallFault{isRename(call) ? EPERM : noRoom ? ENOSPC : call.number == SYS_pread64 ? EIO : 0};
         },
         nullptr, earlier, saveLarge, cannotWrite + "; earlier"},
        // The wait for a turn that is never given back (the caller's own, through another open of the file) ends
        // with the interrupt check, before anything is written.
        {"the library's turn is held and the wait interrupted", true, pass, nullptr, earlier,
         [](const std::string& file) {
             const int held = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
             struct flock turn = libraryTurn(F_WRLCK);
             if (held < 0 || ::fcntl(held, F_OFD_SETLK, &turn) != 0)
                 throw RuntimeException("no turn to hold");
             setInterruptCheck([] { throw RuntimeException("interrupted"); });
             // A wait that nothing ends fails the case instead of holding up the suite.
             ::alarm(10);
             large().save(file);
         },
         "interrupted; earlier"},
        {"a new file whose writer fails", true, pass, nullptr, nullptr,
         [](const std::string& file) {
             detail::writeFile(file, [](std::ostream& stream) {
                 stream << "part";
                 throw RuntimeException("stopped");
             });
         },
         "stopped; no file"},
    };
    const Known known = knownMessages();
    std::string skipped;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string file = dir.file("m.bin");
        if (c.earlier)
            c.earlier().save(file);
        caseDecision = c.decide;
        caseInPlace = c.inPlace;
        const std::string result = inChildProcess([&] {
            const auto decide = [](const SyscallCall& call) {
                return caseInPlace && createsTemporary(call) ? SyscallFault{EACCES} : caseDecision(call);
            };
            if (!faultSyscalls({SYS_openat, SYS_pwrite64, SYS_pread64, SYS_ftruncate, SYS_close, SYS_fallocate,
                                SYS_renameat, SYS_renameat2},
                               decide, c.after))
                return notAllowed + "no system call filter";
            std::string line = messageOf([&] { c.save(file); });
            line += "; " + (fs::exists(file) ? contentOf(file, known) : "no file");
            return line + "; " + entriesOf(dir.str());
        });
        if (isNotAllowed(result)) {
            skipped += std::string(c.name) + ": " + result + "\n";
            continue;
        }
        std::string expected = c.expected;
        if (const std::size_t at = expected.find("<file>"); at != std::string::npos)
            expected.replace(at, 6, file);
        EXPECT_EQ(result, expected + "; " + (expected.find("no file") == std::string::npos ? "m.bin" : ""));
    }
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}
