// Placeholder; the report is written next.
#include "morvane/core/Context.hpp"
namespace Morvane {
std::string ContextContent::representOpHistory(bool) const { return {}; }
} // namespace Morvane
