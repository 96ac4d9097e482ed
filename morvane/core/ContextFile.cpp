#include "morvane/core/ContextFile.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/FileInput.hpp"
#include "morvane/core/Serialize.hpp"

#include <cstdint>
#include <memory>

namespace Morvane {

void saveContextToFile(const Context& context, const std::string& path) {
    detail::checkPath(path, "saveContextToFile");
    const Parameter& p = context->parameter;
    const auto preset = static_cast<std::int32_t>(p.preset);
    Serialize::save(path, preset, p.log_dimension, p.encryptionLevel, p.gadget_rank, p.bpsize, p.tpsize, p.qpsize,
                    p.chain_length);
}

Context makeContextFromFile(const std::string& path, const std::set<int>& cuda_device_ids) {
    detail::checkPath(path, "makeContextFromFile");
    // The record is read from the open that tests the file: a pipe or a descriptor link gives its data to one
    // open only, and a second open of a pipe waits for a writer that may be gone.
    detail::InputFile file;
    if (!file.open(path))
        throw RuntimeException("[makeContextFromFile] Cannot open " + path);

    std::int32_t preset = 0;
    u64 log_dimension = 0;
    u64 encryption_level = 0;
    u64 gadget_rank = 0;
    u64 bpsize = 0;
    u64 tpsize = 0;
    u64 qpsize = 0;
    u64 chain_length = 0;
    Serialize::load(file, preset, log_dimension, encryption_level, gadget_rank, bpsize, tpsize, qpsize, chain_length);

    const std::set<Device> devices = makeDeviceSet(cuda_device_ids);
    // The stored encryption level is not used: a custom context recomputes it from chain_length.
    if (preset == static_cast<std::int32_t>(ParameterPreset::CUSTOM))
        return std::make_shared<ContextContent>(log_dimension, chain_length, bpsize, qpsize, tpsize, gadget_rank,
                                                devices);
    return std::make_shared<ContextContent>(static_cast<ParameterPreset>(preset), devices);
}

} // namespace Morvane
