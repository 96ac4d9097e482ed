// The save of a 2^20-slot message (16 MiB) on its three paths: a temporary renamed over the file (the normal
// path), the file written over in place where no temporary can be made beside it (a directory the process may not
// write), and a temporary copied over a file the directory does not let the process replace (a sticky directory
// and another user's file). The counter extra_memory is the peak of heap bytes a save holds, over the file size.
#include "morvane/core/Message.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> peakBytes{0};

void* allocate(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    const std::size_t live = liveBytes += ::malloc_usable_size(p);
    for (std::size_t peak = peakBytes.load(); live > peak && !peakBytes.compare_exchange_weak(peak, live);) {
    }
    return p;
}

void release(void* p) noexcept {
    if (p == nullptr)
        return;
    liveBytes -= ::malloc_usable_size(p);
    std::free(p);
}

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace {

using namespace Morvane;
namespace fs = std::filesystem;

constexpr unsigned long kLogSlots = 20;
constexpr uid_t kSecondUser = 65534;

Message filled() {
    Message m(kLogSlots);
    for (u64 i = 0; i < m.getSize(); ++i)
        m[i] = Complex(0.001 * static_cast<double>(i), -0.5);
    return m;
}

enum class Path { Replacing, InPlace, CopiedOver };

// Root saves as the second user on the two fallback paths; another user can only lock a directory.
class Setup {
public:
    explicit Setup(Path path) {
        std::string pattern = (fs::temp_directory_path() / "morvane-save-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            return;
        dir_ = pattern;
        file_ = dir_ + "/m.bin";
        filled().save(file_);
        const bool root = ::geteuid() == 0;
        if (::chmod(dir_.c_str(), path == Path::CopiedOver ? 01777 : 0755) != 0 || ::chmod(file_.c_str(), 0666) != 0)
            return;
        if (path == Path::Replacing) {
            ready_ = true;
            return;
        }
        if (root)
            switched_ = ::seteuid(kSecondUser) == 0;
        else if (path == Path::InPlace && ::chmod(dir_.c_str(), 0555) != 0)
            return;
        const bool writable = ::faccessat(AT_FDCWD, dir_.c_str(), W_OK, AT_EACCESS) == 0;
        ready_ = (root == switched_) && (path == Path::InPlace ? !writable : switched_ && writable);
    }
    ~Setup() {
        if (switched_) {
            const int restored = ::seteuid(0);
            static_cast<void>(restored);
        }
        std::error_code error;
        fs::permissions(dir_, fs::perms::owner_all, error);
        fs::remove_all(dir_, error);
    }
    bool ready() const { return ready_; }
    const std::string& file() const { return file_; }

private:
    std::string dir_, file_;
    bool switched_ = false;
    bool ready_ = false;
};

void saveOn(benchmark::State& state, Path path) {
    const Message message = filled();
    const Setup setup(path);
    if (!setup.ready()) {
        state.SkipWithError("this path needs root (or, for a file written in place, permission bits that hold)");
        return;
    }
    message.save(setup.file()); // the file at its full length, as in every later iteration
    const auto size = static_cast<double>(fs::file_size(setup.file()));
    double extra = 0;
    for (auto _ : state) {
        const std::size_t before = liveBytes.load();
        peakBytes = before;
        message.save(setup.file());
        extra = std::max(extra, static_cast<double>(peakBytes.load() - before));
    }
    state.counters["extra_memory"] = extra / size;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void BM_SaveReplacing(benchmark::State& state) { saveOn(state, Path::Replacing); }
BENCHMARK(BM_SaveReplacing)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SaveInPlace(benchmark::State& state) { saveOn(state, Path::InPlace); }
BENCHMARK(BM_SaveInPlace)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SaveCopiedOver(benchmark::State& state) { saveOn(state, Path::CopiedOver); }
BENCHMARK(BM_SaveCopiedOver)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
