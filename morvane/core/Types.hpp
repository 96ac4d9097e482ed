#pragma once

// Basic types: integer and real aliases, devices and security levels.

#include <cstdint>

namespace Morvane {

using u64 = std::uint64_t;
using i64 = std::int64_t;
using Real = double;

enum class DeviceType : std::int32_t {
    CPU = 0,
    GPU = 1,
    UNDEFINED = 2,
    CPU_PINNED = 3,
};

// Where an object is recorded to live. No slot data ever moves: the device is bookkeeping only.
class Device {
public:
    constexpr Device() = default;
    constexpr Device(DeviceType type, std::int32_t id) : type_(type), id_(id) {}

    constexpr DeviceType type() const { return type_; }
    constexpr std::int32_t id() const { return id_; }

    // Order of a context's device set: by id, then by type (both signed).
    friend constexpr bool operator<(const Device& a, const Device& b) {
        if (a.id_ != b.id_)
            return a.id_ < b.id_;
        return static_cast<std::int32_t>(a.type_) < static_cast<std::int32_t>(b.type_);
    }

private:
    DeviceType type_ = DeviceType::CPU;
    std::int32_t id_ = 0;
};

constexpr Device getDefaultDevice() { return Device(DeviceType::CPU, 0); }

enum class SecurityLevel : std::int32_t {
    None = 0,
    Classical128 = 128,
    Classical192 = 192,
    Classical256 = 256,
};

} // namespace Morvane
