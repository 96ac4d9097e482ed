// Paths that name no readable file or no usable key directory. Every loader gives the library's own exception
// with the message it gives for a missing file, whatever the system reports. A key directory that is missing,
// or lies behind a file, gives the library's message for a missing directory; one whose status the system cannot
// give otherwise, or that cannot be made, gives the standard library's file-system error.
#include "tests/eval/EvalTestSupport.hpp"
#include "tests/support/ReadToEnd.hpp"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace evaltest {
namespace {

namespace fs = std::filesystem;

// What `call` gives: the message of the RuntimeException it throws, "<no exception>", or any other exception
// marked as such, so a table compares type and text at once.
std::string outcome(const std::function<void()>& call) {
    try {
        call();
    } catch (const RuntimeException& e) {
        return e.what();
    } catch (const fs::filesystem_error& e) {
        return "file-system error: " + e.code().message() + " of " + e.path1().string();
    } catch (const std::exception& e) {
        return std::string("not a RuntimeException: ") + e.what();
    }
    return "<no exception>";
}

// outcome(call) as a user without privileges: root searches any directory, so a child process of the user
// nobody runs the call then.
std::string outcomeUnprivileged(const std::function<void()>& call) {
    if (::geteuid() != 0)
        return outcome(call);
    int ends[2];
    if (::pipe(ends) != 0)
        return "<no pipe>";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        constexpr uid_t nobody = 65534;
        const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(nobody) == 0 && ::setuid(nobody) == 0;
        const std::string text = dropped ? outcome(call) : "<privileges kept>";
        const ssize_t written = ::write(ends[1], text.data(), text.size());
        ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ::close(ends[1]);
    const std::string text = datatest::readToEnd(ends[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "<child failed>";
    return text;
}

struct BadPath {
    const char* kind;
    std::string path;
    bool unprivileged = false;
};

// What a key directory taker meets at a bad path: the error the system gives for the status of the path or of
// its "/PK" (none when it reports the path missing), and the error of making its "/PK".
struct BadDirectory : BadPath {
    std::optional<std::errc> statusError;
    std::string statusPath;
    std::errc makeError;
};

std::string fileSystemError(std::errc error, const std::string& path) {
    return "file-system error: " + std::make_error_code(error).message() + " of " + path;
}

// The kinds of bad path in one temporary directory: a directory where a file is read, names past the system's
// limits, a file standing for a directory, entries of a directory the caller may not search.
class BadPaths {
public:
    BadPaths() {
        fs::permissions(root_.str(), fs::perms(0755));
        fs::create_directories(root_.file("dir"));
        fs::create_directory_symlink("dir", root_.file("link"));
        datatest::writeFile(root_.file("file"), {1});
        fs::create_directories(root_.file("locked/keys/PK"));
        datatest::writeFile(root_.file("locked/file"), {1});
        fs::permissions(root_.file("locked"), fs::perms::none);
        // A key directory whose own path fits the system's limit of 4096 bytes while its "/PK" does not.
        deep_ = root_.str();
        while (deep_.size() + 201 < 4094)
            deep_ += "/" + std::string(200, 'd');
        deep_ += "/" + std::string(4094 - deep_.size() - 1, 'e');
        fs::create_directories(deep_);
        longPath_ = root_.str();
        while (longPath_.size() <= 4096)
            longPath_ += "/" + std::string(200, 'p');
    }
    ~BadPaths() { fs::permissions(root_.file("locked"), fs::perms::owner_all); }
    BadPaths(const BadPaths&) = delete;
    BadPaths& operator=(const BadPaths&) = delete;

    std::vector<BadPath> files() const {
        return {{"a directory", root_.file("dir")},
                {"a link to a directory", root_.file("link")},
                {"a name over 255 bytes", root_.file(std::string(300, 'n'))},
                {"a path over 4096 bytes", longPath_ + "/file"},
                {"a path through a file", root_.file("file/x")},
                {"a file in a directory without search permission", root_.file("locked/file"), true}};
    }

    std::vector<BadDirectory> directories() const {
        const auto bad = [](const char* kind, const std::string& path, bool unprivileged,
                            std::optional<std::errc> statusError, const std::string& statusPath, std::errc makeError) {
            return BadDirectory{{kind, path, unprivileged}, statusError, statusPath, makeError};
        };
        const std::string longName = root_.file(std::string(300, 'n'));
        const std::string locked = root_.file("locked/keys");
        const auto tooLong = std::errc::filename_too_long;
        return {bad("a name over 255 bytes", longName, false, tooLong, longName, tooLong),
                bad("a path over 4096 bytes", longPath_, false, tooLong, longPath_, tooLong),
                bad("a directory whose PK path is over 4096 bytes", deep_, false, tooLong, deep_ + "/PK", tooLong),
                bad("a path through a file", root_.file("file/x"), false, std::nullopt, "", std::errc::not_a_directory),
                bad("a component without search permission", locked, true, std::errc::permission_denied, locked,
                    std::errc::permission_denied)};
    }

private:
    TempDir root_;
    std::string deep_;
    std::string longPath_;
};

std::string cannotFindPath(const std::string& path) { return "Cannot find path " + path; }

std::string run(const BadPath& bad, const std::function<void(const std::string&)>& call) {
    const auto bound = [&] { call(bad.path); };
    return bad.unprivileged ? outcomeUnprivileged(bound) : outcome(bound);
}

TEST(PathErrorTest, LoadersFailAsForAMissingFileAndKeepTheirTarget) {
    const Context context = makeContext(ParameterPreset::FX);
    Message message = messageOfSize(4, firstSlot);
    Ciphertext ctxt = ciphertextOf(context, firstSlot, 3, 1);
    Plaintext ptxt = plaintextOf(context, secondSlot, 2, 1);
    EncryptionKey encKey(context);
    EvaluationKey evalKey = *makeEmptyMultKey(context);
    context->clearOpHistory();

    const std::string cannotOpen = "Cannot open file ";
    struct Loader {
        const char* name;
        std::function<void(const std::string&)> load;
        std::string prefix;
    };
    const Loader loaders[] = {
        {"Message::load", [&](const std::string& p) { message.load(p); }, cannotOpen},
        {"Ciphertext::load", [&](const std::string& p) { ctxt.load(p); }, cannotOpen},
        {"Plaintext::load", [&](const std::string& p) { ptxt.load(p); }, cannotOpen},
        {"SecretKey", [&](const std::string& p) { SecretKey(context, p); }, cannotOpen},
        {"makeContextFromFile", [](const std::string& p) { makeContextFromFile(p); },
         "[makeContextFromFile] Cannot open "},
        {"EncryptionKey::load", [&](const std::string& p) { encKey.load(p); }, cannotOpen},
        {"Serialize::load", [&](const std::string& p) { Serialize::load(p, evalKey); }, cannotOpen},
    };
    const BadPaths bad;
    for (const Loader& loader : loaders)
        for (const BadPath& path : bad.files())
            EXPECT_EQ(run(path, loader.load), loader.prefix + path.path) << loader.name << ", " << path.kind;

    EXPECT_TRUE(slotsAre(message, firstSlot));
    EXPECT_EQ(message.getSize(), 4u);
    EXPECT_TRUE(slotsAre(ctxt.message(), firstSlot));
    EXPECT_EQ(ctxt.getLevel(), 3u);
    EXPECT_TRUE(slotsAre(ptxt.message(), secondSlot));
    EXPECT_EQ(ptxt.getLevel(), 2u);
    EXPECT_EQ(encKey.parameterId, context->parameterId);
    EXPECT_EQ(evalKey.type, 'm');
    EXPECT_TRUE(getOpHistory(context).empty());
}

TEST(PathErrorTest, KeyDirectoriesWhoseStatusIsUnknownOrThatCannotBeMadeGiveTheFileSystemErrorAndWriteNothing) {
    const Context fgd = makeContext(ParameterPreset::FGd);
    const Context sgd0 = makeContext(ParameterPreset::SGd0);
    const SecretKey sk(fgd);
    const KeyGenerator keygen(fgd, sk);
    keygen.genEncryptionKey();
    KeyPack pack = keygen.getKeyPack();
    fgd->clearOpHistory();

    // Each taker's outcome at a bad directory.
    struct Taker {
        const char* name;
        std::function<void(const std::string&)> use;
        std::function<std::string(const BadDirectory&)> expected;
    };
    const auto checked = [](const std::string& missing) {
        return [missing](const BadDirectory& bad) {
            if (!bad.statusError)
                return missing.empty() ? cannotFindPath(bad.path) : missing;
            return fileSystemError(*bad.statusError, bad.statusPath);
        };
    };
    const Taker takers[] = {
        {"KeyPack", [&](const std::string& p) { KeyPack(fgd, p); }, checked("")},
        {"KeyPack with a sparse context", [&](const std::string& p) { KeyPack(fgd, sgd0, p); }, checked("")},
        {"HomEvaluator", [&](const std::string& p) { HomEvaluator(fgd, p); }, checked("")},
        {"KeyPack::save", [&](const std::string& p) { pack.save(p); }, checked("Cannot find key_dir_path.")},
        {"KeyGenerator::save", [&](const std::string& p) { keygen.save(p); },
         [](const BadDirectory& bad) { return fileSystemError(bad.makeError, bad.path + "/PK"); }},
    };
    const BadPaths bad;
    for (const Taker& taker : takers)
        for (const BadDirectory& path : bad.directories())
            EXPECT_EQ(run(path, taker.use), taker.expected(path)) << taker.name << ", " << path.kind;

    EXPECT_FALSE(pack.getImpl()->isKeyDirPathSet());
    EXPECT_TRUE(getOpHistory(fgd).empty());
    EXPECT_TRUE(getOpHistory(sgd0).empty());
}

// A key directory whose entries are all directories, beside one without entries: each key is missing alike.
TEST(PathErrorTest, AKeyEntryThatIsADirectoryIsAMissingKey) {
    const Context context = makeContext(ParameterPreset::FX);
    TempDir root;
    const std::string empty = root.file("empty");
    const std::string entries = root.file("entries");
    fs::create_directories(empty + "/PK");
    for (const char* name :
         {"EncKey.bin", "MultKey.bin", "ConjKey.bin", "RotKey1.bin", "SparseSecretEncapsulationKey.bin"})
        fs::create_directories(entries + "/PK/" + name);

    const auto keysOf = [&](const std::string& dir) {
        std::vector<std::string> seen;
        const KeyPack pack(context, dir);
        const auto& impl = *pack.getImpl();
        for (const bool available :
             {impl.isEncKeyFileAvailable(), impl.isMultKeyFileAvailable(), impl.isConjKeyFileAvailable(),
              impl.isRotKeyFileAvailable(1), impl.isSparseSecretEncapsulationKeyFileAvailable()})
            seen.push_back(available ? "available" : "absent");
        for (const bool held : {pack.getEncKey() != nullptr, pack.getMultKey() != nullptr, pack.getConjKey() != nullptr,
                                pack.getLeftRotKey(1) != nullptr, pack.getSparseSecretEncapsulationKey() != nullptr})
            seen.push_back(held ? "held" : "none");

        const HomEvaluator eval(context, dir);
        const Ciphertext op = ciphertextOf(context, firstSlot, 3);
        Ciphertext res(context);
        seen.push_back(outcome([&] { eval.mult(op, op, res); }));
        seen.push_back(outcome([&] { eval.conjugate(op, res); }));
        seen.push_back(outcome([&] { eval.leftRotate(op, 1, res); }));
        return seen;
    };
    const std::vector<std::string> missing = keysOf(empty);
    EXPECT_EQ(missing, (std::vector<std::string>{"absent", "absent", "absent", "absent", "absent", "none", "none",
                                                 "none", "none", "none", "[mult] no multiplication key",
                                                 "[Conjugate] no conjugation key",
                                                 "[Load Rotation Key] no left rotation key for index 1"}));
    context->clearOpHistory();
    EXPECT_EQ(keysOf(entries), missing);
    EXPECT_EQ(getOpHistory(context), (std::map<std::string, u64>{{"Generate homevaluator", 2}}));
}

// A read error of the system is the stream library's failure, as a file stream's buffer reports it: neither the
// end of the record nor a file that does not open. Position 0 of a process's memory is never mapped.
TEST(PathErrorTest, AReadErrorIsReportedAsOne) {
    Message message = messageOfSize(3, firstSlot);
    EXPECT_THROW(message.load(std::string("/proc/self/mem")), std::ios_base::failure);
    EXPECT_TRUE(slotsAre(message, firstSlot));
    EXPECT_EQ(message.getSize(), 3u);
}

// Only directories are refused: devices and pipes load as before.
TEST(PathErrorTest, DevicesAndPipesStillLoad) {
    Message fromDevice = messageOfSize(3, firstSlot);
    fromDevice.load(std::string("/dev/zero")); // a slot count of 0
    EXPECT_EQ(fromDevice.getSize(), 0u);

    TempDir root;
    const std::string pipe = root.file("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const Message sent = messageOfSize(5, secondSlot);
    std::thread writer([&] { sent.save(pipe); });
    Message received;
    received.load(pipe);
    writer.join();
    EXPECT_EQ(received.getSize(), 5u);
    EXPECT_TRUE(slotsAre(received, secondSlot));
}

// What `load()` gives in a child process that reads `entry` while this process writes `data` into it once and
// closes it; "<hung>" when the child still waits after ten seconds. `entry` is made here: a FIFO, or with
// `descriptorLink` a symbolic link to /dev/fd/<n> of an anonymous pipe, as a shell's process substitution gives.
std::string outcomeOfPipeLoad(const std::string& entry, bool descriptorLink, const datatest::Bytes& data,
                              const std::function<std::string()>& load) {
    int pipeEnds[2] = {-1, -1};
    if (descriptorLink) {
        if (::pipe(pipeEnds) != 0)
            return "<no pipe>";
        fs::create_symlink("/dev/fd/" + std::to_string(pipeEnds[0]), entry);
    } else if (::mkfifo(entry.c_str(), 0600) != 0) {
        return "<no fifo>";
    }
    int report[2];
    if (::pipe(report) != 0)
        return "<no pipe>";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        if (descriptorLink)
            ::close(pipeEnds[1]);
        ::alarm(10);
        const std::string text = load();
        const ssize_t written = ::write(report[1], text.data(), text.size());
        ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ::close(report[1]);
    // A reader that closes before the write must not end this process.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    int writer = pipeEnds[1];
    // A FIFO opens for writing once the child has it open for reading.
    for (int tries = 0; !descriptorLink && writer < 0 && tries < 10000; ++tries) {
        writer = ::open(entry.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (writer >= 0) {
        const ssize_t written = ::write(writer, data.data(), data.size());
        EXPECT_EQ(written, static_cast<ssize_t>(data.size()));
        ::close(writer);
    }
    if (descriptorLink)
        ::close(pipeEnds[0]);
    ::sigaction(SIGPIPE, &previous, nullptr);

    const std::string text = datatest::readToEnd(report[0]);
    int status = 0;
    if (::waitpid(child, &status, 0) != child)
        return "<child failed>";
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        return "<hung>";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "<child failed>";
}

// A pipe gives its data to one open: a context file or a key file that is one, written once, is read from the
// open that tested it.
TEST(PathErrorTest, PipesWrittenOnceLoadAsContextAndKeyFiles) {
    const Context context = makeContext(ParameterPreset::FX);
    TempDir saved;
    saveContextToFile(context, saved.file("context.bin"));
    {
        const KeyGenerator keygen(context, SecretKey(context));
        keygen.genEncryptionKey();
        keygen.genMultiplicationKey();
        keygen.save(saved.str());
    }
    const auto loaded = [](const Context& used, const char* label, const std::function<void()>& call) {
        return [=] {
            const std::string text = outcome(call);
            return text + ", " + std::to_string(countOf(used, label)) + " loaded";
        };
    };
    struct Case {
        const char* name;
        const char* entry;
        std::string recordOf;
        std::function<std::function<std::string()>(const std::string& dir)> load;
        std::string expected;
    };
    const Case cases[] = {
        {"makeContextFromFile", "context.bin", saved.file("context.bin"),
         [](const std::string& dir) {
             return [dir] {
                 const Context made = makeContextFromFile(dir + "/context.bin");
                 return made->parameter.presetName + ", history " + std::to_string(getOpHistory(made).size());
             };
         },
         "FX, history 0"},
        {"an encryptor's lazy load", "PK/EncKey.bin", saved.file("PK/EncKey.bin"),
         [&](const std::string& dir) {
             return loaded(context, "Load encryption key", [=] {
                 Ciphertext ctxt(context);
                 Encryptor(context).encrypt(messageOfSize(4, firstSlot), KeyPack(context, dir), ctxt);
             });
         },
         "<no exception>, 1 loaded"},
        {"an evaluator's lazy load", "PK/MultKey.bin", saved.file("PK/MultKey.bin"),
         [&](const std::string& dir) {
             return loaded(context, "Load multiplication key", [=] {
                 const Ciphertext op = ciphertextOf(context, firstSlot, 3);
                 Ciphertext res(context);
                 HomEvaluator(context, dir).mult(op, op, res);
             });
         },
         "<no exception>, 1 loaded"},
    };
    for (const Case& c : cases)
        for (const bool link : {false, true}) {
            TempDir dir;
            fs::create_directories(dir.file("PK"));
            context->clearOpHistory();
            EXPECT_EQ(outcomeOfPipeLoad(dir.file(c.entry), link, datatest::readFile(c.recordOf), c.load(dir.str())),
                      c.expected)
                << c.name << (link ? ", a descriptor link" : ", a FIFO");
        }
}

} // namespace
} // namespace evaltest
