#include "tests/math/AllocationWatch.hpp"
#include "tests/math/ApproxTestSupport.hpp"

#include "morvane/math/Chebyshev.hpp"
#include "morvane/math/Comparison.hpp"
#include "morvane/math/DomainExtension.hpp"
#include "morvane/math/Inverse.hpp"
#include "morvane/math/LogExp.hpp"
#include "morvane/math/Sigmoid.hpp"
#include "morvane/math/tables/Coefficients.hpp"

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace approxtest;
using namespace Morvane::Math;

using MathCall = void (*)(const MathSetup&, const Ciphertext&, Ciphertext&);

// The functions that evaluate a Chebyshev record or a domain extension on working ciphertexts shared within the
// call, with the full-size slot vectors each makes on FVa (error simulation off, so no bootstrap draws samples).
TEST(WorkspaceTest, CallsMakeNoMoreSlotVectorsThanTheyHoldValuesAtOnce) {
    struct Row {
        std::string name;
        std::vector<double> slots;
        std::size_t most;
        MathCall run;
    };
    const std::vector<Row> rows = {
        // The transformed input, T_2 ... T_7 with T_7 taking the vector of T_6, which nothing reads, two
        // giant-step polynomials, two accumulators, the scratch term and the result.
        {"approxSigmoid",
         {-4.0, 2.0, 7.5},
         12,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) { approxSigmoid(s.eval, s.btp, op, res, 8.0); }},
        {"miniMaxSigmoid",
         {-0.5, 0.25},
         20,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) { miniMaxSigmoid(s.eval, s.btp, op, res); }},
        // The extension's vectors are the expansion's.
        {"approxSigmoidWide",
         {-30000.0, 10.0, 40000.0},
         21,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
             approxSigmoidWide(s.eval, s.btp, op, res, 48.0 * 1024.0);
         }},
        // The root's vectors are the expansion's.
        {"approxLogEForGreaterThanOne",
         {1.0, 300.0, 200000.0},
         13,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
             approxLogEForGreaterThanOne(s.eval, s.btp, op, res, 18, 1.0);
         }},
        {"approxDiscreteEqualZero",
         {-3.0, 0.0, 17.0},
         3,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
             approxDiscreteEqualZero(s.eval, s.btp, op, res, 6, 0);
         }},
        // The difference is given back once read.
        {"approxDiscreteEqual",
         {-3.0, 0.0, 17.0},
         3,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
             approxDiscreteEqual(s.eval, s.btp, op, op, res, 6, 0);
         }},
        // The working value of the steps and their two temporaries: res is written by the last step only.
        {"approxSign",
         {-0.75, 0.5, 0.25},
         3,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
             approxSign(s.eval, s.btp, op, res, 8, 3, 0);
         }},
        // The sign steps work in vectors of the extension.
        {"approxSignWide",
         {-60.0, 0.5, 100.0},
         4,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
             approxSign(s.eval, s.btp, op, res, 8, 3, 7);
         }},
        // The extension's outputs, its two working values and two temporaries; the sign steps take two of them.
        {"approxSignPairWide",
         {-60.0, 0.5, 100.0},
         6,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
             approxSignPair(s.eval, s.btp, op, op, res, res, 8, 3, 7);
         }},
        // The two outputs are written once complete, from values of their own.
        {"approxDomainExtensionPair",
         {-60.0, 0.5, 100.0},
         6,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
             approxDomainExtensionPair(s.eval, s.btp, op, op, res, res, 1.0, 128.0, 2.0);
         }},
        // The iteration value, apart from res until it is complete, and the two of its step.
        {"approxSqrt",
         {0.25, 1.5, 2.0},
         3,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) { approxSqrt(s.eval, s.btp, op, res, 17); }},
        // The value returned is a copy of op; the work vector is not.
        {"approxDomainExtension",
         {-60.0, 0.5, 100.0},
         4,
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
             res = approxDomainExtension(s.eval, s.btp, op, 1.0, 128.0, 2.0);
         }},
    };
    MathSetup s(ParameterPreset::FVa);
    const std::size_t slotVector = s.fullSlots() * sizeof(Complex);
    for (const Row& row : rows) {
        const Ciphertext op = s.input(row.slots, getEncryptionLevel(s.context));
        Ciphertext res(s.context);
        // A first call loads what a bootstrap needs.
        row.run(s, op, res);
        allocationwatch::countFrom = slotVector;
        allocationwatch::counted = 0;
        allocationwatch::watching = true;
        row.run(s, op, res);
        allocationwatch::watching = false;
        EXPECT_LE(allocationwatch::counted.load(), row.most) << row.name;
    }
}

// The value a function hands back in a new ciphertext has the evaluator's bookkeeping whatever the workspace
// held before: an extended input and output give a result that is not extended, of the evaluator's context.
TEST(WorkspaceTest, NewResultsTakeNoBookkeepingFromTheInputs) {
    struct Call {
        std::string name;
        MathCall run;
    };
    const std::vector<Call> calls = {
        {"approxSigmoid",
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) { approxSigmoid(s.eval, s.btp, op, res, 8.0); }},
        {"approxSigmoidWide", [](const MathSetup& s, const Ciphertext& op,
                                 Ciphertext& res) { approxSigmoidWide(s.eval, s.btp, op, res, 1000.0); }},
        {"miniMaxSigmoid",
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) { miniMaxSigmoid(s.eval, s.btp, op, res); }},
        {"approxLogEForLessThanOne",
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
             approxLogEForLessThanOne(s.eval, s.btp, op, res, 10, 1.0);
         }},
        {"evaluateChebyshevExpansion",
         [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
             res = tools::evaluateChebyshevExpansion(s.eval, s.btp, op, tables::sigmoidUpToEight(), 1.0);
         }},
    };
    MathSetup s(ParameterPreset::FX);
    const Context other = makeContext(ParameterPreset::FGb);
    for (const Call& call : calls) {
        Ciphertext op(s.context, true);
        for (u64 i = 0; i < s.fullSlots(); ++i)
            op.message()[i] = Complex(0.5 + 0.25 * static_cast<double>(i % 3), 0.0);
        op.setLevel(getEncryptionLevel(s.context));
        for (Ciphertext res : {Ciphertext(s.context, true), Ciphertext(other, false)}) {
            call.run(s, op, res);
            EXPECT_FALSE(res.isModUp()) << call.name;
            EXPECT_EQ(res.getPoly(0).numPrimes, s.context->parameter.chain_length) << call.name;
            EXPECT_EQ(res.context(), s.context) << call.name;
        }
    }
}

} // namespace
