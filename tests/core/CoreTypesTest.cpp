#include "morvane/core/Alert.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/Exception.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Types.hpp"
#include "tests/support/DataTestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <vector>

using namespace Morvane;
using datatest::capturedStdout;

namespace {

// Values that files and the Python layer rely on.
static_assert(static_cast<int>(DeviceType::CPU) == 0 && static_cast<int>(DeviceType::GPU) == 1 &&
              static_cast<int>(DeviceType::UNDEFINED) == 2 && static_cast<int>(DeviceType::CPU_PINNED) == 3);
static_assert(static_cast<unsigned>(SecurityLevel::None) == 0 &&
              static_cast<unsigned>(SecurityLevel::Classical128) == 128 &&
              static_cast<unsigned>(SecurityLevel::Classical192) == 192 &&
              static_cast<unsigned>(SecurityLevel::Classical256) == 256);
static_assert(sizeof(Device) == 8);
static_assert(std::is_base_of_v<std::runtime_error, RuntimeException>);

// Restores the alert switch to its loaded state after each test.
class AlertTest : public ::testing::Test {
protected:
    void TearDown() override { simulateAlert(true); }
};

constexpr const char* kText = "[Test::alert] Always return 1 in Morvane-simulator";

} // namespace

TEST(DeviceTest, DefaultDeviceIsFirstCpu) {
    const Device device = getDefaultDevice();
    EXPECT_EQ(device.type(), DeviceType::CPU);
    EXPECT_EQ(device.id(), 0);
    EXPECT_EQ(Device().type(), DeviceType::CPU);
    EXPECT_EQ(Device().id(), 0);
}

TEST(DeviceTest, SetOrdersByIdThenType) {
    const std::set<Device> devices = {Device(DeviceType::GPU, 2),        Device(DeviceType::GPU, 0),
                                      Device(DeviceType::GPU, 1),        Device(DeviceType::CPU_PINNED, 1),
                                      Device(DeviceType::CPU, -1),       Device(DeviceType::CPU, 1),
                                      Device(DeviceType::GPU, 0)};
    const std::vector<std::pair<DeviceType, int>> expected = {
        {DeviceType::CPU, -1}, {DeviceType::GPU, 0},        {DeviceType::CPU, 1},
        {DeviceType::GPU, 1},  {DeviceType::CPU_PINNED, 1}, {DeviceType::GPU, 2}};
    std::vector<std::pair<DeviceType, int>> actual;
    for (const Device& d : devices)
        actual.emplace_back(d.type(), d.id());
    EXPECT_EQ(actual, expected);
}

// What the library throws is caught as std::runtime_error and carries only its message.
TEST(RuntimeExceptionTest, CaughtAsRuntimeErrorWithItsMessage) {
    Message message;
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { message.load(std::string("/no/such/file")); }),
              "Cannot open file /no/such/file");
    EXPECT_EQ(thrownMessage<std::runtime_error>([] { makeContext(ParameterPreset::CUSTOM); }),
              "Need to specify some parameters in order to use CUSTOM parameters.");
}

TEST_F(AlertTest, LinePrintedOnceOnlyWhileSwitchIsOn) {
    ASSERT_TRUE(RuntimeAlert::alert_switch.load()) << "the switch is on when the library is loaded";
    EXPECT_EQ(capturedStdout([] { detail::alert(kText); }), std::string(kText) + "\n");
    simulateAlert(false);
    EXPECT_FALSE(RuntimeAlert::alert_switch.load());
    EXPECT_EQ(capturedStdout([] { detail::alert(kText); }), "");
    simulateAlert(true);
    EXPECT_EQ(capturedStdout([] {
                  detail::alert(kText);
                  detail::alert(kText);
              }),
              std::string(kText) + "\n" + kText + "\n");
}

// Alert lines from several threads reach the file descriptor whole, never spliced into each other.
TEST_F(AlertTest, ConcurrentLinesDoNotInterleave) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("morvane-alert-" + std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}()));
    std::fflush(stdout);
    std::cout.flush();
    const int saved = ::dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    ::dup2(::fileno(file), STDOUT_FILENO);

    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    const std::vector<std::string> texts = {"[A::a] Always return 1 in Morvane-simulator",
                                            "[B::b] Always return an empty vector<Real> in Morvane-simulator"};
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&texts, t] {
                for (int i = 0; i < kLines; ++i)
                    detail::alert(texts[static_cast<std::size_t>(t % 2)]);
            });
        for (std::thread& thread : threads)
            thread.join();
    }
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    std::fclose(file);

    std::ifstream in(path);
    std::string line;
    int lines = 0;
    int foreign = 0;
    while (std::getline(in, line)) {
        ++lines;
        if (line != texts[0] && line != texts[1])
            ++foreign;
    }
    std::filesystem::remove(path);
    EXPECT_EQ(lines, kThreads * kLines);
    EXPECT_EQ(foreign, 0);
}
