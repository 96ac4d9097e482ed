#pragma once

// Saving a context's parameters to a file and making a context from one.

#include "morvane/core/Context.hpp"

#include <set>
#include <string>

namespace Morvane {

// Writes the 60-byte record of the context's preset and custom values; no accounting is stored.
void saveContextToFile(const Context& context, const std::string& path);

// Makes a fresh context from a record written by saveContextToFile.
Context makeContextFromFile(const std::string& path, const std::set<int>& cuda_device_ids = {});

} // namespace Morvane
