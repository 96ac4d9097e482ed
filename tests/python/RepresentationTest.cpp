#include "morvane/morvane.hpp"
#include "morvane/python/Representation.hpp"

#include <gtest/gtest.h>

using namespace Morvane;

namespace {

Message twoSlots() {
    Message m(1);
    m[0] = Complex(1, 2);
    m[1] = Complex(-0.5, -1.25);
    return m;
}

const char* const kTwoSlotsText = "[ (1.000000+2.000000j), (-0.500000-1.250000j) ])";

} // namespace

// Plaintexts and ciphertexts show the message their data property reads, never an empty one.
TEST(RepresentationTest, PlaintextShowsItsBookkeepingAndData) {
    Plaintext ptxt(makeContext(ParameterPreset::FGb));
    ptxt.setLevel(12);
    ptxt.setLogSlots(1);
    setMessage(twoSlots(), ptxt);
    EXPECT_EQ(representation("pymorvane", ptxt),
              std::string("<pymorvane.Plaintext object> (level: 12, log(num slots): 1, rescale counter: 0, device: "
                          "CPU, data: ") + kTwoSlotsText);
}

TEST(RepresentationTest, CiphertextOnAGpuShowsItsData) {
    Ciphertext ctxt(makeContext(ParameterPreset::FGb), false);
    ctxt.setLevel(11);
    ctxt.setLogSlots(1);
    ctxt.setRescaleCounter(-1);
    setMessage(twoSlots(), ctxt);
    ctxt.to(Device(DeviceType::GPU, 0));
    EXPECT_EQ(representation("mod", ctxt),
              std::string("<mod.Ciphertext object> (level: 11, log(num slots): 1, rescale counter: -1, device: "
                          "GPU(id=0), data: ") + kTwoSlotsText);
}
