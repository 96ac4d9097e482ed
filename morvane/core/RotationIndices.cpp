// Placeholder; the decomposition is written next.
#include "morvane/core/Context.hpp"
namespace Morvane {
std::set<i64> ContextContent::getRotIndicesForBootstrap(unsigned long) const { return {}; }
std::vector<u64> ContextContent::getExtraRotIndicesForBootstrap(unsigned long) const { return {}; }
} // namespace Morvane
