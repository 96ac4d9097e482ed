#pragma once

// Test support of every folder: byte fixtures, temporary directories, captured output, odd stream buffers.

#include "tests/support/ThrownMessage.hpp"

#include <cereal/details/helpers.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

namespace datatest {

using Bytes = std::vector<std::uint8_t>;

// The what() of a cereal::Exception thrown by `f`, or "<no exception>".
template <typename F>
std::string cerealMessage(F&& f) {
    return thrownMessage<cereal::Exception>(std::forward<F>(f));
}

// What `f` prints on file descriptor 1 (alert lines included, whatever std::cout's buffer is).
inline std::string capturedStdout(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

// Little-endian record builder for byte fixtures.
class Record {
public:
    Record& u64(std::uint64_t v) { return raw(&v, 8); }
    Record& i32(std::int32_t v) { return raw(&v, 4); }
    Record& u8(std::uint8_t v) { return raw(&v, 1); }
    Record& f64(double v) { return raw(&v, 8); }
    const Bytes& bytes() const { return bytes_; }
    std::string str() const { return std::string(bytes_.begin(), bytes_.end()); }

private:
    Record& raw(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
        return *this;
    }
    Bytes bytes_;
};

inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A fresh directory under the system's temporary directory, removed with the object; shared by every test folder.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("morvane-test-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string str() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// An input buffer over fixed bytes that cannot seek, like a pipe.
class UnseekableBuffer : public std::streambuf {
public:
    explicit UnseekableBuffer(const Bytes& bytes) : bytes_(bytes) {
        char* p = reinterpret_cast<char*>(bytes_.data());
        setg(p, p, p + bytes_.size());
    }

private:
    Bytes bytes_;
};

// An output buffer that accepts only `capacity` bytes, like a device that fills up.
class LimitedBuffer : public std::streambuf {
public:
    explicit LimitedBuffer(std::size_t capacity) : capacity_(capacity) {}
    const std::string& written() const { return written_; }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const auto room = static_cast<std::streamsize>(capacity_ - written_.size());
        const std::streamsize k = n < room ? n : room;
        written_.append(s, static_cast<std::size_t>(k));
        return k;
    }
    int_type overflow(int_type) override { return traits_type::eof(); }

private:
    std::size_t capacity_;
    std::string written_;
};

} // namespace datatest
