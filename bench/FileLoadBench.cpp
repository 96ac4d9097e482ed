// Loads from files: a lazy key load from a key directory and a ciphertext load of 65536 slots, each beside the
// bare system calls that open, read and close the same file. The key load runs on a new pack each time, so the
// pack's construction is measured on its own as well.
#include "morvane/morvane.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace Morvane;

class Directory {
public:
    Directory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "morvane-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        path_ = pattern;
    }
    ~Directory() { std::filesystem::remove_all(path_); }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Opens, reads whole and closes `path` with the bare system calls.
std::size_t readBare(const std::string& path, std::vector<char>& into) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        std::abort();
    std::size_t total = 0;
    for (ssize_t n; (n = ::read(fd, into.data() + total, into.size() - total)) > 0;)
        total += static_cast<std::size_t>(n);
    ::close(fd);
    return total;
}

struct KeyDirectory {
    KeyDirectory() : context(makeContext(ParameterPreset::FX)) {
        const SecretKey sk(context);
        const KeyGenerator keygen(context, sk);
        keygen.genMultiplicationKey();
        keygen.save(dir.path());
    }
    Context context;
    Directory dir;
};

void BM_KeyPackWithDirectory(benchmark::State& state) {
    const KeyDirectory keys;
    for (auto _ : state) {
        KeyPack pack(keys.context, keys.dir.path());
        benchmark::DoNotOptimize(pack);
    }
}
BENCHMARK(BM_KeyPackWithDirectory);

void BM_KeyPackWithDirectoryAndLazyKeyLoad(benchmark::State& state) {
    const KeyDirectory keys;
    for (auto _ : state) {
        KeyPack pack(keys.context, keys.dir.path());
        pack.loadMultKey();
        benchmark::DoNotOptimize(pack);
    }
}
BENCHMARK(BM_KeyPackWithDirectoryAndLazyKeyLoad);

void BM_BareKeyFileRead(benchmark::State& state) {
    const KeyDirectory keys;
    const std::string path = keys.dir.path() + "/PK/MultKey.bin";
    std::vector<char> bytes(64);
    for (auto _ : state)
        benchmark::DoNotOptimize(readBare(path, bytes));
}
BENCHMARK(BM_BareKeyFileRead);

struct CiphertextFile {
    CiphertextFile() : context(makeContext(ParameterPreset::FVa)), ctxt(context) {
        for (u64 i = 0; i < ctxt.message().getSize(); ++i)
            ctxt.message()[i] = Complex(0.001 * static_cast<double>(i), -0.5);
        ctxt.save(path);
        context->clearOpHistory();
    }
    Context context;
    Directory dir;
    Ciphertext ctxt;
    const std::string path = dir.path() + "/ctxt.bin";
};

void BM_CiphertextLoad(benchmark::State& state) {
    CiphertextFile file;
    Ciphertext into(file.context);
    into.load(file.path);
    for (auto _ : state) {
        into.load(file.path);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(std::filesystem::file_size(file.path)));
}
BENCHMARK(BM_CiphertextLoad);

void BM_BareCiphertextFileRead(benchmark::State& state) {
    CiphertextFile file;
    const auto size = static_cast<std::size_t>(std::filesystem::file_size(file.path));
    std::vector<char> bytes(size);
    for (auto _ : state) {
        benchmark::DoNotOptimize(readBare(file.path, bytes));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_BareCiphertextFileRead);

} // namespace
