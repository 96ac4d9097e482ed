#pragma once

// The whole public interface of the simulated library.

#include "morvane/core/Alert.hpp"
#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/ContextFile.hpp"
#include "morvane/core/CudaTools.hpp"
#include "morvane/core/Exception.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Parameter.hpp"
#include "morvane/core/Plaintext.hpp"
#include "morvane/core/Pointer.hpp"
#include "morvane/core/Polynomial.hpp"
#include "morvane/core/RadixDecomposition.hpp"
#include "morvane/core/SecretKey.hpp"
#include "morvane/core/Serialize.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/core/tables/OpUsageNames.hpp"
#include "morvane/core/tables/ZeroResponse.hpp"
