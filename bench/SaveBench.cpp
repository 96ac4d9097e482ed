// The save of a message of 2^16 and 2^20 slots (1 MiB and 16 MiB) on its three paths: a temporary renamed over the
// file (the normal path), the file written over in place where no temporary can be made beside it (a directory the
// process may not write), and a temporary copied over a file the directory does not let the process replace (a
// sticky directory and another user's file); beside them, the bare write of the same bytes into the file. The counter
// extra_memory is the peak of heap bytes the saves hold, kept between them included, over the file size;
// page_faults counts the minor page faults of a save.
// The process frees no large block, since that raises the C library's threshold for giving memory back to the
// system, which a program that keeps its objects never does: a save that allocates and frees its memory each time
// then pays for it here as it would there.
#include "morvane/core/Message.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <thread>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
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

constexpr uid_t kSecondUser = 65534;

Message* makeFilled(unsigned long logSlots) {
    auto* m = new Message(logSlots);
    for (u64 i = 0; i < m->getSize(); ++i)
        (*m)[i] = Complex(0.001 * static_cast<double>(i), -0.5);
    return m;
}

// Made once per size and never freed.
const Message& filled(unsigned long logSlots) {
    static const Message* const small = makeFilled(16);
    static const Message* const large = makeFilled(20);
    return logSlots == 16 ? *small : *large;
}

// Of the calling thread.
long minorFaults() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

enum class Path { Bare, Replacing, InPlace, CopiedOver };

// Root saves as the second user on the two fallback paths; another user can only lock a directory.
class Setup {
public:
    Setup(Path path, const Message& message) {
        std::string pattern = (fs::temp_directory_path() / "morvane-save-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            return;
        dir_ = pattern;
        file_ = dir_ + "/m.bin";
        message.save(file_);
        const bool root = ::geteuid() == 0;
        if (::chmod(dir_.c_str(), path == Path::CopiedOver ? 01777 : 0755) != 0 || ::chmod(file_.c_str(), 0666) != 0)
            return;
        if (path == Path::Replacing || path == Path::Bare) {
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
    const Message& message = filled(static_cast<unsigned long>(state.range(0)));
    const Setup setup(path, message);
    if (!setup.ready()) {
        state.SkipWithError("this path needs root (or, for a file written in place, permission bits that hold)");
        return;
    }
    const auto size = static_cast<std::size_t>(fs::file_size(setup.file()));
    // The bytes of the bare write, read once from the saved file into a block that is never freed.
    static char* const bytes = new char[std::size_t{16} << 21];
    if (path == Path::Bare) {
        const int fd = ::open(setup.file().c_str(), O_RDONLY | O_CLOEXEC);
        const bool read = fd >= 0 && ::read(fd, bytes, size) == static_cast<ssize_t>(size);
        if (fd >= 0)
            ::close(fd);
        if (!read) {
            state.SkipWithError("the saved file does not read back");
            return;
        }
    }
    const auto saveOnce = [&] {
        if (path != Path::Bare) {
            message.save(setup.file());
            return;
        }
        const int fd = ::open(setup.file().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        const bool written = fd >= 0 && ::write(fd, bytes, size) == static_cast<ssize_t>(size);
        if (fd < 0 || ::close(fd) != 0 || !written)
            state.SkipWithError("the bare write failed");
    };
    // On a thread of its own, whose memory kept for its next save goes with it: what a save keeps counts as its
    // memory, and one save before the timed ones makes it.
    std::thread([&] {
        const std::size_t before = liveBytes.load();
        peakBytes = before;
        saveOnce();
        const long faultsBefore = minorFaults();
        for (auto _ : state)
            saveOnce();
        state.counters["page_faults"] =
            static_cast<double>(minorFaults() - faultsBefore) / static_cast<double>(state.iterations());
        state.counters["extra_memory"] = static_cast<double>(peakBytes.load() - before) / static_cast<double>(size);
    }).join();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void BM_BareWrite(benchmark::State& state) { saveOn(state, Path::Bare); }
BENCHMARK(BM_BareWrite)->Arg(16)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SaveReplacing(benchmark::State& state) { saveOn(state, Path::Replacing); }
BENCHMARK(BM_SaveReplacing)->Arg(16)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SaveInPlace(benchmark::State& state) { saveOn(state, Path::InPlace); }
BENCHMARK(BM_SaveInPlace)->Arg(16)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SaveCopiedOver(benchmark::State& state) { saveOn(state, Path::CopiedOver); }
BENCHMARK(BM_SaveCopiedOver)->Arg(16)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
