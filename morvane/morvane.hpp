#pragma once

// The whole public interface of the simulated library.

#include "morvane/core/Alert.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/Exception.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Parameter.hpp"
#include "morvane/core/Pointer.hpp"
#include "morvane/core/RadixDecomposition.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/core/tables/OpUsageNames.hpp"
#include "morvane/core/tables/ZeroResponse.hpp"
