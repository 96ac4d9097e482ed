// The memory of saves written over in place: the blocks of one save's content serve the thread's next save, up to a
// bound, and go with the thread.
#include "morvane/core/Message.hpp"
#include "tests/support/AllocationWatch.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/FullDisk.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace Morvane;
using namespace datatest;
namespace fs = std::filesystem;

namespace {

// Blocks of the content in memory, as the allocation watch counts them.
constexpr std::size_t kBlock = std::size_t{1} << 16;

// Blocks asked for and given back while `run` runs.
std::string blocksOf(const std::function<void()>& run) {
    const std::size_t counted = allocationwatch::counted.load(), released = allocationwatch::released.load();
    run();
    return std::to_string(allocationwatch::counted.load() - counted) + " made, " +
           std::to_string(allocationwatch::released.load() - released) + " freed";
}

} // namespace

TEST(SaveMemoryTest, ASaveInPlaceUsesTheBlocksOfTheThreadsEarlierSaveUpToABoundAndTheyGoWithTheThread) {
    TempDir top;
    const std::string dir = top.file("d"), file = dir + "/m.bin";
    fs::create_directories(dir);
    ASSERT_EQ(::chmod(top.str().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    // 1 MiB and 32 MiB of slots: files of 17 and 513 blocks (the count before the slots takes 8 bytes more).
    const Message small(16, Complex(1, 2));
    const Message large(21, Complex(3, 4));
    small.save(file);
    const std::string result = inChildProcess([&] {
        // A directory the save may not write: no temporary beside the file.
        const std::string refused = [&] {
            if (::geteuid() == 0)
                return ::chmod(file.c_str(), 0666) == 0 && becomeSecondUser() ? std::string()
                                                                              : notAllowed + "no second user";
            return ::chmod(dir.c_str(), 0555) == 0 && ::access(dir.c_str(), W_OK) != 0
                       ? std::string()
                       : notAllowed + "permission bits are not enforced for this user";
        }();
        if (!refused.empty())
            return refused;
        allocationwatch::countFrom = kBlock;
        allocationwatch::watching = true;
        std::string lines;
        std::size_t releasedBeforeTheEnd = 0;
        std::thread([&] {
            for (const Message* message : {&small, &small, &large, &large, &small})
                lines += blocksOf([&] { message->save(file); }) + "; ";
            releasedBeforeTheEnd = allocationwatch::released.load();
        }).join();
        lines += std::to_string(allocationwatch::released.load() - releasedBeforeTheEnd) + " freed with the thread";
        allocationwatch::watching = false;
        return lines;
    });
    if (isNotAllowed(result))
        GTEST_SKIP() << result;
    EXPECT_EQ(result, "17 made, 0 freed; 0 made, 0 freed; 496 made, 1 freed; 1 made, 1 freed; 0 made, 0 freed; "
                      "512 freed with the thread");
}
