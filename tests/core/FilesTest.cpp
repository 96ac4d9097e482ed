// Paths, saves and loads: a path with a NUL is refused everywhere, a save replaces a regular file only once
// complete, keeps its permissions and its symbolic links, and writes devices through; a load reads through
// interrupted reads.
#include "morvane/core/Files.hpp"
#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/ContextFile.hpp"
#include "morvane/core/FileInput.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Plaintext.hpp"
#include "morvane/core/SecretKey.hpp"
#include "morvane/core/Serialize.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/FullDisk.hpp"
#include "tests/support/SyscallFaults.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace Morvane;
using namespace datatest;
namespace fs = std::filesystem;

namespace {

using Names = std::set<std::string>;

Names namesIn(const std::string& dir) {
    Names names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

std::string withNul(const std::string& path) { return path + std::string(1, '\0') + "x"; }

// The file a child process loads, the descriptor it is opened on and how many of its reads were interrupted.
const char* loadedPath = nullptr;
int loadedFd = -1;
int readsInterrupted = 0;

} // namespace

TEST(FilesTest, PathsWithANulAreRefusedBeforeAnyFileIsTouched) {
    TempDir dir;
    // What the system would take of the path: a valid message record that a load would read.
    const std::string cut = dir.file("a");
    Message(1, {7, 7}).save(cut);
    const Bytes before = readFile(cut);
    const std::string path = withNul(cut);

    const Context ctx = makeContext(ParameterPreset::FGb);
    Message message(1);
    Plaintext ptxt(ctx);
    Ciphertext ctxt(ctx, false);
    const SecretKey sk(ctx);
    struct Case {
        const char* function;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"Message::save", [&] { message.save(path); }},
        {"Message::load", [&] { message.load(path); }},
        {"Plaintext::save", [&] { ptxt.save(path); }},
        {"Plaintext::load", [&] { ptxt.load(path); }},
        {"Ciphertext::save", [&] { ctxt.save(path); }},
        {"Ciphertext::load", [&] { ctxt.load(path); }},
        {"SecretKey::SecretKey", [&] { SecretKey(ctx, path); }},
        {"SecretKey::save", [&] { sk.save(path); }},
        {"SecretKey::saveSeedOnly", [&] { sk.saveSeedOnly(path); }},
        {"saveContextToFile", [&] { saveContextToFile(ctx, path); }},
        {"makeContextFromFile", [&] { makeContextFromFile(path); }},
        {"Serialize::save", [&] { Serialize::save(path, message); }},
        {"Serialize::load", [&] { Serialize::load(path, message); }},
        {"writeFile", [&] { detail::writeFile(path, [](std::ostream& stream) { stream << "x"; }); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        EXPECT_EQ(thrownMessage(c.call), "[" + std::string(c.function) + "] The path has an embedded null byte");
    }
    EXPECT_EQ(readFile(cut), before);
    EXPECT_EQ(namesIn(dir.str()), Names{"a"});
    EXPECT_EQ(message[0], Complex(0, 0));
    EXPECT_TRUE(getOpHistory(ctx).empty());
}

TEST(FilesTest, AFailedSaveLeavesTheEarlierFileAndNoTemporary) {
    TempDir dir;
    const std::string path = dir.file("m.bin");
    Message(2, {1, 2}).save(path);
    const Bytes earlier = readFile(path);
    const std::string fresh = dir.file("new.bin");

    // A write past the file size limit is refused before it is made: the process is not ended by SIGXFSZ even
    // where that signal has its default action.
    for (const auto action : {SIG_IGN, SIG_DFL}) {
        SCOPED_TRACE(action == SIG_IGN ? "SIGXFSZ ignored" : "SIGXFSZ by default");
        const auto onAFullDisk = [action](const std::function<void()>& save) {
            return messageOnAFullDisk([&] {
                std::signal(SIGXFSZ, action);
                save();
            });
        };
        // 136 bytes wait in the file's buffer and fail on close; 16392 bytes pass the buffer and fail in the
        // archive.
        EXPECT_EQ(onAFullDisk([&] { Message(3).save(path); }), "Cannot write file " + path);
        EXPECT_EQ(onAFullDisk([&] { Message(10).save(path); }).rfind("Failed to write 8 bytes to output stream!", 0),
                  0u);
        EXPECT_EQ(onAFullDisk([&] { Message(3).save(fresh); }), "Cannot write file " + fresh);
        // A regular file written through, by a descriptor link of /proc.
        TempDir other;
        EXPECT_EQ(onAFullDisk([&] {
                      const int fd = ::open(other.file("through.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
                      Message(10).save("/proc/self/fd/" + std::to_string(fd));
                  }).rfind("Failed to write 8 bytes to output stream!", 0),
                  0u);
    }
    // A writer that fails on its own passes its exception.
    EXPECT_EQ(thrownMessage([&] {
                  detail::writeFile(path, [](std::ostream& stream) {
                      stream << "part";
                      throw RuntimeException("stopped");
                  });
              }),
              "stopped");
    EXPECT_EQ(readFile(path), earlier);
    EXPECT_EQ(namesIn(dir.str()), Names{"m.bin"});

    EXPECT_EQ(messageOnAFullDisk([&] { Message(2).save(path); }), "<no exception>");
    EXPECT_EQ(readFile(path), bytesOf([] {
                  std::ostringstream out;
                  Message(2).save(out);
                  return out.str();
              }()));
    EXPECT_EQ(namesIn(dir.str()), Names{"m.bin"});
}

TEST(FilesTest, AReplacedFileKeepsItsPermissionsAndItsLinks) {
    TempDir dir;
    const std::string file = dir.file("m.bin");
    Message(1).save(file);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(modeOf(file), 0666 & ~mask);
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    Message(2).save(file);
    EXPECT_EQ(modeOf(file), 0640u);
    EXPECT_EQ(readFile(file).size(), 8u + 4 * 16);

    // A relative link in another directory, reached through a second link.
    fs::create_directory(dir.file("links"));
    fs::create_symlink("../m.bin", dir.file("links/first"));
    fs::create_symlink("first", dir.file("links/second"));
    Message(3).save(dir.file("links/second"));
    EXPECT_TRUE(fs::is_symlink(dir.file("links/first")));
    EXPECT_TRUE(fs::is_symlink(dir.file("links/second")));
    EXPECT_EQ(readFile(file).size(), 8u + 8 * 16);
    EXPECT_EQ(modeOf(file), 0640u);

    // A link to no file yet: the save makes the file it names.
    fs::create_symlink("made.bin", dir.file("links/dangling"));
    Message(0).save(dir.file("links/dangling"));
    EXPECT_TRUE(fs::is_symlink(dir.file("links/dangling")));
    EXPECT_EQ(readFile(dir.file("links/made.bin")).size(), 8u + 16);

    EXPECT_EQ(namesIn(dir.str()), (Names{"links", "m.bin"}));
    EXPECT_EQ(namesIn(dir.file("links")), (Names{"dangling", "first", "made.bin", "second"}));
}

TEST(FilesTest, DevicesAreWrittenThroughNeverReplaced) {
    struct stat before {};
    if (::stat("/dev/null", &before) != 0 || !S_ISCHR(before.st_mode))
        GTEST_SKIP() << "/dev/null is not available";
    TempDir dir;
    const std::string link = dir.file("null");
    fs::create_symlink("/dev/null", link);
    for (const std::string& path : {std::string("/dev/null"), link}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(thrownMessage([&] { Message(3).save(path); }), "<no exception>");
        struct stat after {};
        ASSERT_EQ(::stat("/dev/null", &after), 0);
        EXPECT_TRUE(S_ISCHR(after.st_mode));
        EXPECT_EQ(after.st_rdev, before.st_rdev);
        EXPECT_EQ(after.st_ino, before.st_ino);
    }
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(namesIn(dir.str()), Names{"null"});
}

TEST(FilesTest, AnUnwritableDirectoryTakesNoNewFileButItsFilesAreWrittenThrough) {
    TempDir dir;
    const std::string locked = dir.file("locked");
    fs::create_directory(locked);
    const std::string inLocked = locked + "/m.bin";
    Message(1, {1, 0}).save(inLocked);
    const std::string readOnly = dir.file("ro.bin");
    Message(1, {2, 0}).save(readOnly);
    const Bytes lockedBytes = readFile(inLocked);
    const Bytes readOnlyBytes = readFile(readOnly);
    ASSERT_EQ(::chmod(dir.str().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    // Root acts as a second user, for whom both directories are another's; any other user locks the directory.
    const bool asSecondUser = ::geteuid() == 0;
    ASSERT_EQ(::chmod(locked.c_str(), asSecondUser ? 0755 : 0555), 0);
    ASSERT_EQ(::chmod(inLocked.c_str(), asSecondUser ? 0666 : 0644), 0);

    const std::string result = inChildProcess([&] {
        if (asSecondUser && !becomeSecondUser())
            return notAllowed + "no second user";
        if (::access(locked.c_str(), W_OK) == 0)
            return notAllowed + "permission bits are not enforced for this user";
        std::string lines;
        // A file in a directory that takes no new entry, and a file the caller may not write.
        for (const std::string& path : {locked + "/new.bin", readOnly})
            lines += messageOf([&] { Message(2).save(path); }) + "\n";
        // No temporary can be made beside a file the caller may write: it is saved in place, as a plain open would.
        lines += messageOf([&] { Message(2).save(inLocked); }) + "\n";
        return lines;
    });
    ASSERT_EQ(::chmod(locked.c_str(), 0755), 0);
    if (isNotAllowed(result))
        GTEST_SKIP() << result;
    EXPECT_EQ(result, "Cannot open file " + locked + "/new.bin\nCannot open file " + readOnly + "\n<no exception>\n");
    EXPECT_EQ(readFile(readOnly), readOnlyBytes);
    std::ostringstream expected;
    Message(2).save(expected);
    EXPECT_EQ(readFile(inLocked), bytesOf(expected.str()));
    EXPECT_NE(readFile(inLocked), lockedBytes);
    EXPECT_EQ(namesIn(locked), Names{"m.bin"});
    EXPECT_EQ(namesIn(dir.str()), (Names{"locked", "ro.bin"}));
}

TEST(FilesTest, APathPastTheSystemsLimitIsRefusedAsItsOpenRefusesIt) {
    // The directory opens, but the whole path is longer than the system takes: no load could open the file by it.
    TempDir dir;
    std::string deep = dir.str();
    const std::string existingName(250, 'e'), newName(250, 'n');
    while (deep.size() + 1 + existingName.size() < PATH_MAX) {
        deep += "/" + std::string(200, 'd');
        fs::create_directory(deep);
    }
    ASSERT_LT(deep.size(), static_cast<std::size_t>(PATH_MAX));
    const std::string existing = deep + "/" + existingName, fresh = deep + "/" + newName;
    std::ostringstream earlierRecord;
    Message(1, {7, 7}).save(earlierRecord);
    const Bytes earlier = bytesOf(earlierRecord.str());
    {
        const int directory = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(directory, 0);
        const int file = ::openat(directory, existingName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_GE(file, 0);
        ASSERT_EQ(::write(file, earlier.data(), earlier.size()), static_cast<ssize_t>(earlier.size()));
        ::close(file);
        ::close(directory);
    }
    bool wrote = false;
    const auto writer = [&wrote](std::ostream& stream) {
        wrote = true;
        Serialize::save(stream, std::int32_t{1});
    };
    const auto nothing = [](std::ostream&) {};
    struct Case {
        const char* name;
        std::function<void(const std::string&)> save;
        // What it raises; "Cannot open file " is followed by the path.
        std::string expected;
        bool writerRuns;
    };
    const Case cases[] = {
        {"Message::save", [](const std::string& path) { Message(2).save(path); }, "Cannot open file ", false},
        {"a writer, refused", [&](const std::string& path) { detail::writeFile(path, writer); }, "Cannot open file ",
         false},
        // As for every file that does not open: the writer's first write fails, and one that writes nothing
        // raises nothing.
        {"a writer, passed the unopened file",
         [&](const std::string& path) { detail::writeFile(path, writer, detail::UnopenedFile::PassToWriter); },
         "Failed to write 4 bytes to output stream! Wrote 0", true},
        {"a writer that writes nothing, passed the unopened file",
         [&](const std::string& path) { detail::writeFile(path, nothing, detail::UnopenedFile::PassToWriter); },
         "<no exception>", false},
    };
    for (const Case& c : cases)
        for (const std::string& path : {existing, fresh}) {
            SCOPED_TRACE(std::string(c.name) + (path == existing ? ", an existing file" : ", a new file"));
            wrote = false;
            const std::string expected = c.expected == "Cannot open file " ? c.expected + path : c.expected;
            EXPECT_EQ(messageOf([&] { c.save(path); }), expected);
            EXPECT_EQ(wrote, c.writerRuns);
        }
    EXPECT_EQ(namesIn(deep), Names{existingName});
    const int directory = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    const int file = ::openat(directory, existingName.c_str(), O_RDONLY | O_CLOEXEC);
    ::close(directory);
    ASSERT_GE(file, 0);
    Bytes kept(earlier.size() + 1);
    const ssize_t n = ::read(file, kept.data(), kept.size());
    ::close(file);
    kept.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    EXPECT_EQ(kept, earlier);
}

// A read interrupted by a signal before it read anything is made again: the load still gets the whole file.
// Every read is interrupted once, both those into the reader's buffer (a message's slots, read one by one) and
// one straight into the caller's memory (the whole file at once).
TEST(FilesTest, InterruptedReadsAreMadeAgain) {
    TempDir dir;
    const std::string file = dir.file("m.bin");
    Message(12, Complex(3, 4)).save(file);
    const Bytes whole = readFile(file);
    loadedPath = file.c_str();
    struct Case {
        const char* name;
        // What the load read, as bytes.
        std::function<Bytes()> load;
    };
    const Case cases[] = {
        {"a message",
         [&] {
             Message loaded;
             loaded.load(file);
             std::ostringstream out;
             loaded.save(out);
             return bytesOf(out.str());
         }},
        {"the whole file at once",
         [&] {
             detail::InputFile in;
             Bytes read(whole.size());
             if (in.open(file))
                 in.read(reinterpret_cast<char*>(read.data()), static_cast<std::streamsize>(read.size()));
             read.resize(static_cast<std::size_t>(in.gcount()));
             return read;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string result = inChildProcess([&] {
            const auto decide = [](const SyscallCall& call) {
                static bool interruptedLast = false;
                if (call.number != SYS_read || call.args[0] != loadedFd)
                    return SyscallFault{};
                interruptedLast = !interruptedLast;
                readsInterrupted += interruptedLast ? 1 : 0;
                return SyscallFault{interruptedLast ? EINTR : 0};
            };
            const auto opened = [](const SyscallCall& call) {
                if (call.number == SYS_openat && call.result >= 0 &&
                    std::strcmp(reinterpret_cast<const char*>(call.args[1]), loadedPath) == 0)
                    loadedFd = static_cast<int>(call.result);
            };
            if (!faultSyscalls({SYS_openat, SYS_read}, decide, opened))
                return notAllowed + "no system call filter";
            Bytes read;
            const std::string outcome = messageOf([&] { read = c.load(); });
            return outcome + "; " + (read == whole ? "whole" : std::to_string(read.size()) + " bytes") + "; " +
                   (readsInterrupted > 0 ? "interrupted" : "never interrupted");
        });
        if (isNotAllowed(result))
            GTEST_SKIP() << result;
        EXPECT_EQ(result, "<no exception>; whole; interrupted");
    }
}
