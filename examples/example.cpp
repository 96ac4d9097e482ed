#include "morvane/morvane.hpp"

#include <iostream>

int main() {
    using namespace Morvane;
    Context context = makeContext(ParameterPreset::FGb);
    std::cout << "FGb: " << context->parameter.fullSlots << " slots, duration " << getDuration(context) << " ms\n";
}
