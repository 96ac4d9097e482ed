#include "morvane/core/Alert.hpp"
#include "morvane/core/CudaTools.hpp"
#include "tests/support/DataTestSupport.hpp"

#include <gtest/gtest.h>

using namespace Morvane;
using namespace datatest;

namespace {

// Every simulated function once, checking its fixed result; returns what was printed.
std::string callAll() {
    return capturedStdout([] {
        EXPECT_TRUE(CudaTools::isAvailable());
        CudaTools::cudaDeviceSynchronize();
        EXPECT_EQ(CudaTools::cudaGetDevice(), 0);
        EXPECT_EQ(CudaTools::cudaGetDeviceCount(), 1);
        CudaTools::cudaSetDevice(3);
        CudaTools::nvtxPush('x');
        CudaTools::nvtxPop();
        EXPECT_EQ(CudaTools::getCudaMemoryInfo(), (std::pair<std::int64_t, std::int64_t>{0, 0}));
        setCurrentCudaDevice(3);
        const Device current = getCurrentCudaDevice();
        EXPECT_EQ(current.type(), DeviceType::GPU);
        EXPECT_EQ(current.id(), 0);
        setSeed({1, 2, 3, 4});
        EXPECT_EQ(getSeed(), (std::array<unsigned long, 4>{0, 0, 0, 0}));
    });
}

} // namespace

TEST(CudaToolsTest, FixedResultsAndOneAlertLinePerCall) {
    EXPECT_EQ(callAll(), "[CudaTools::isAvailable] Always return true in Morvane-simulator\n"
                         "[CudaTools::cudaDeviceSynchronize] Nothing happen in Morvane-simulator\n"
                         "[CudaTools::cudaGetDevice] Always return 0 in Morvane-simulator\n"
                         "[CudaTools::cudaGetDeviceCount] Always return 1 in Morvane-simulator\n"
                         "[CudaTools::cudaSetDevice] Nothing happen in Morvane-simulator\n"
                         "[CudaTools::nvtxPush] Nothing happen in Morvane-simulator\n"
                         "[CudaTools::nvtxPop] Nothing happen in Morvane-simulator\n"
                         "[CudaTools::getCudaMemoryInfo] Always return {0, 0} in Morvane-simulator\n"
                         "[CudaTools::cudaSetDevice] Nothing happen in Morvane-simulator\n"
                         "[CudaTools::cudaGetDevice] Always return 0 in Morvane-simulator\n"
                         "[setSeed] Nothing happen in Morvane-simulator\n"
                         "[getSeed] always return an empty seed in Morvane-simulator\n");
    simulateAlert(false);
    EXPECT_EQ(callAll(), "");
    simulateAlert(true);
}
