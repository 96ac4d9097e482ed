#pragma once

// CUDA tools, device selection and seeds: fixed values, as there is no GPU and no randomness to seed.

#include "morvane/core/Types.hpp"

#include <array>
#include <cstdint>
#include <utility>

namespace Morvane {

// No GPU exists in the simulator: each of these prints its alert line and returns a fixed value.
namespace CudaTools {
bool isAvailable();
void cudaDeviceSynchronize();
int cudaGetDevice();
int cudaGetDeviceCount();
void cudaSetDevice(int device_id);
void nvtxPush(char name);
void nvtxPop();
std::pair<std::int64_t, std::int64_t> getCudaMemoryInfo();
} // namespace CudaTools

// GPU 0, through CudaTools::cudaGetDevice (whose alert it prints).
Device getCurrentCudaDevice();
// Does nothing but CudaTools::cudaSetDevice (whose alert it prints).
void setCurrentCudaDevice(int device_id);

std::array<unsigned long, 4> getSeed();
void setSeed(const std::array<unsigned long, 4>& seed);

} // namespace Morvane
