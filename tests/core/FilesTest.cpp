// Paths and saves: a path with a NUL is refused everywhere, a save replaces a regular file only once complete,
// keeps its permissions and its symbolic links, and writes devices through.
#include "morvane/core/Files.hpp"
#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/ContextFile.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Plaintext.hpp"
#include "morvane/core/SecretKey.hpp"
#include "morvane/core/Serialize.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/FullDisk.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include <sys/stat.h>
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

    // 136 bytes wait in the file's buffer and fail on close; 16392 bytes pass the buffer and fail in the archive.
    EXPECT_EQ(messageOnAFullDisk([&] { Message(3).save(path); }), "Cannot write file " + path);
    EXPECT_EQ(messageOnAFullDisk([&] { Message(10).save(path); }).rfind("Failed to write 8 bytes to output stream!", 0),
              0u);
    EXPECT_EQ(messageOnAFullDisk([&] { Message(3).save(fresh); }), "Cannot write file " + fresh);
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
