#pragma once

#include "morvane/core/Context.hpp"
#include "morvane/core/Types.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>

namespace keytest {

using datatest::Bytes;
using datatest::cerealMessage;
using datatest::Record;

// 32 full slots: small enough for exhaustive rotation checks.
inline Morvane::Context smallContext() { return Morvane::makeContext(6, 4, 40, 60, 60, 2); }

inline Bytes bytesOf(const std::ostringstream& out) { return datatest::bytesOf(out.str()); }

inline void expectDevice(const Morvane::Device& d, Morvane::DeviceType type, int id) {
    EXPECT_EQ(d.type(), type);
    EXPECT_EQ(d.id(), id);
}

// The names of the entries of a directory.
inline std::set<std::string> filesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Fixture bytes of the two stored records.
inline Record encRecord(std::uint64_t parameterId) { return Record().i32(0).u64(parameterId); }
inline Record& evalRecord(Record& r, std::uint64_t parameterId, char type, std::uint64_t rotIdx) {
    return r.i32(1).u64(parameterId).u8(static_cast<std::uint8_t>(type)).u64(rotIdx);
}
inline Record evalRecord(std::uint64_t parameterId, char type, std::uint64_t rotIdx) {
    Record r;
    evalRecord(r, parameterId, type, rotIdx);
    return r;
}

// A temporary key directory `<dir>` with its `<dir>/PK`.
class KeyDir {
public:
    KeyDir() { std::filesystem::create_directories(pk()); }
    std::string path() const { return root_.file("keys"); }
    std::string pk() const { return path() + "/PK"; }
    std::string file(const std::string& name) const { return pk() + "/" + name; }
    const datatest::TempDir& root() const { return root_; }

private:
    datatest::TempDir root_;
};

} // namespace keytest
