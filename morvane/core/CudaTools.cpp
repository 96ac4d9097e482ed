#include "morvane/core/CudaTools.hpp"

#include "morvane/core/Alert.hpp"

namespace Morvane {

namespace CudaTools {

bool isAvailable() {
    detail::alert("[CudaTools::isAvailable] Always return true in Morvane-simulator");
    return true;
}

void cudaDeviceSynchronize() { detail::alert("[CudaTools::cudaDeviceSynchronize] Nothing happen in Morvane-simulator"); }

int cudaGetDevice() {
    detail::alert("[CudaTools::cudaGetDevice] Always return 0 in Morvane-simulator");
    return 0;
}

int cudaGetDeviceCount() {
    detail::alert("[CudaTools::cudaGetDeviceCount] Always return 1 in Morvane-simulator");
    return 1;
}

void cudaSetDevice(int) { detail::alert("[CudaTools::cudaSetDevice] Nothing happen in Morvane-simulator"); }

void nvtxPush(char) { detail::alert("[CudaTools::nvtxPush] Nothing happen in Morvane-simulator"); }

void nvtxPop() { detail::alert("[CudaTools::nvtxPop] Nothing happen in Morvane-simulator"); }

std::pair<std::int64_t, std::int64_t> getCudaMemoryInfo() {
    detail::alert("[CudaTools::getCudaMemoryInfo] Always return {0, 0} in Morvane-simulator");
    return {0, 0};
}

} // namespace CudaTools

Device getCurrentCudaDevice() { return Device(DeviceType::GPU, CudaTools::cudaGetDevice()); }

void setCurrentCudaDevice(int device_id) { CudaTools::cudaSetDevice(device_id); }

std::array<unsigned long, 4> getSeed() {
    detail::alert("[getSeed] always return an empty seed in Morvane-simulator");
    return {0, 0, 0, 0};
}

void setSeed(const std::array<unsigned long, 4>&) { detail::alert("[setSeed] Nothing happen in Morvane-simulator"); }

} // namespace Morvane
