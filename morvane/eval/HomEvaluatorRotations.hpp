#pragma once

// The power-of-two decomposition behind the rotate-and-sum ladders.

#include <vector>

namespace Morvane {

// Writes n as p1 - p2 + p3 - ... + pk with powers of two p1 > p2 > ... > pk (k odd) into `list`, replacing
// what it held, and k into `count`. Used by the rotate-and-sum ladders; counts whose next power of two has
// no 64-bit value (non-powers of two above 2^63) are refused.
void decomposeIntoPowersOfTwo(unsigned long n, std::vector<unsigned long>& list, unsigned long& count);

} // namespace Morvane
