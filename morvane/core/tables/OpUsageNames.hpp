#pragma once

// The label lists of the operation-history report.

#include "morvane/core/tables/OpLabels.hpp"

#include <map>
#include <string>
#include <vector>

namespace Morvane {

// The labels of the history report, by list: "eval" rows always, "key" rows in verbose mode, built from the
// fixed label table. A counted label outside these lists never gets a row. Never destroyed; the reference is bound
// by the library's own static initialisation, so it is not for another unit's static initialiser.
extern const std::map<std::string, std::vector<std::string>>& opUsageNames;

} // namespace Morvane
