// Paths: a path with a NUL is refused everywhere.
#include "morvane/core/Files.hpp"
#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/ContextFile.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Plaintext.hpp"
#include "morvane/core/SecretKey.hpp"
#include "morvane/core/Serialize.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

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
