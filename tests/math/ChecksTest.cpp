#include "tests/math/MathTestSupport.hpp"

#include "morvane/math/Checks.hpp"

#include <limits>

namespace {

using namespace mathtest;
using namespace Morvane::Math;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct CheckCase {
    std::string name;
    std::function<void()> check;
    std::string message; // "<no exception>" when the check passes
};

class ChecksTest : public ::testing::Test {
protected:
    // FX: level after bootstrap 12, minimum level 3; its bootstrapper is ready for log slots 0 and 2 only.
    ChecksTest() : fx(makeContext(ParameterPreset::FX)), fxEval(fx, KeyPack(fx)), fxBtp(fxEval, 2) {}

    Ciphertext at(u64 level) const {
        Ciphertext ctxt(fx);
        ctxt.setLevel(level);
        return ctxt;
    }

    Context fx;
    HomEvaluator fxEval;
    Bootstrapper fxBtp;
};

TEST_F(ChecksTest, ConditionsAndMessages) {
    const Context st19 = makeContext(ParameterPreset::ST19);
    const HomEvaluator st19Eval(st19, KeyPack(st19));
    const std::vector<CheckCase> cases = {
        {"bootstrappable", [&] { checkBootstrappableParameter(fxEval, "approxSign"); }, "<no exception>"},
        {"not bootstrappable", [&] { checkBootstrappableParameter(st19Eval, "approxSign"); },
         "[approxSign] Parameter should be bootstrappable."},
        {"available mult exactly", [&] { checkAvailableMult(fxBtp, "approxSign", 9); }, "<no exception>"},
        {"available mult one short", [&] { checkAvailableMult(fxBtp, "approxSign", 10); },
         "[approxSign] Available level (maximum level after bootstrap - minimum level for bootstrap)  >= 10 is "
         "needed."},
        {"input level exactly", [&] { checkLevelOfInput("approxSign", at(4), 4); }, "<no exception>"},
        {"input level short", [&] { checkLevelOfInput("approxSign", at(3), 4); },
         "[approxSign] Input level >= 4 is needed."},
        {"bootstrap level 3", [&] { checkLevelForBootstrap(fxBtp, "g", at(3)); }, "<no exception>"},
        {"bootstrap level 2", [&] { checkLevelForBootstrap(fxBtp, "g", at(2)); }, "[g] Input level >= 3 is needed."},
        {"extended level 4", [&] { checkLevelForBootstrapExtended(fxBtp, "h", at(4)); }, "<no exception>"},
        {"extended level 3", [&] { checkLevelForBootstrapExtended(fxBtp, "h", at(3)); },
         "[h] Input level >= 4 is needed."},
        {"log range at max", [&] { checkLogRange("approxSign", 38, 38); }, "<no exception>"},
        {"log range above", [&] { checkLogRange("approxSign", 39, 38); }, "[approxSign] log_range must be <= 38."},
        {"ready 0", [&] { checkBootstrapReady(fxBtp, "s", 0); }, "<no exception>"},
        {"ready 2", [&] { checkBootstrapReady(fxBtp, "s", 2); }, "<no exception>"},
        {"not ready 5", [&] { checkBootstrapReady(fxBtp, "s", 5); },
         "[s] bootstraper not ready for 5 slot bootstrapping."},
        {"extended ready first fails", [&] { checkBootstrapExtendedReady(fxBtp, "e", 3, 5); },
         "[e] bootstraper not ready for 3 slot bootstrapping."},
        {"extended ready full fails", [&] { checkBootstrapExtendedReady(fxBtp, "e", 2, 5); },
         "[e] bootstraper not ready for full slot (5 slot) bootstrapping."},
        {"extended ready both", [&] { checkBootstrapExtendedReady(fxBtp, "e", 0, 2); }, "<no exception>"},
        {"right end at max", [&] { checkRightEnd("r", 16.0, 16.0); }, "<no exception>"},
        {"right end above", [&] { checkRightEnd("r", 17.0, 16.0); }, "[r] right_end must be <= 16.000000."},
        {"right end 2^40", [&] { checkRightEnd("r", 1e13, std::ldexp(1.0, 40)); },
         "[r] right_end must be <= 1099511627776.000000."},
        {"right end NaN", [&] { checkRightEnd("r", kNaN, 1.0); }, "<no exception>"},
        {"left end at min", [&] { checkLeftEnd("l", 0.5, 0.5); }, "<no exception>"},
        {"left end 2^-20", [&] { checkLeftEnd("l", 0.0, std::ldexp(1.0, -20)); }, "[l] left_end must be >= 0.000001."},
        {"left end NaN", [&] { checkLeftEnd("l", kNaN, 1.0); }, "<no exception>"},
    };
    for (const CheckCase& c : cases)
        EXPECT_EQ(thrownMessage(c.check), c.message) << c.name;
}

} // namespace
