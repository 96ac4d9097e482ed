#include "tests/support/AllocationWatch.hpp"
#include "tests/math/ApproxTestSupport.hpp"

#include "morvane/math/Chebyshev.hpp"
#include "morvane/math/Comparison.hpp"
#include "morvane/math/DomainExtension.hpp"
#include "morvane/math/Inverse.hpp"
#include "morvane/math/LogExp.hpp"
#include "morvane/math/Sigmoid.hpp"
#include "morvane/math/Sort.hpp"
#include "morvane/math/detail/Workspace.hpp"
#include "morvane/math/tables/Coefficients.hpp"

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace approxtest;
using namespace Morvane::Math;

using MathCall = void (*)(const MathSetup&, const Ciphertext&, Ciphertext&);
using Morvane::Math::detail::Workspace;

// Allocations of at least `from` bytes that `call` makes.
std::size_t allocationsFrom(std::size_t from, const std::function<void()>& call) {
    allocationwatch::countFrom = from;
    allocationwatch::counted = 0;
    allocationwatch::watching = true;
    call();
    allocationwatch::watching = false;
    return allocationwatch::counted.load();
}

// The same for a call on a thread of its own, which has kept nothing from earlier calls.
std::size_t allocationsFromOnNewThread(std::size_t from, const std::function<void()>& call) {
    std::size_t made = 0;
    std::thread([&] { made = allocationsFrom(from, call); }).join();
    return made;
}

// Everything a fresh ciphertext sets but its slot values, with whether its context is `own`.
std::string bookkeepingOf(const Ciphertext& ctxt, const Context& own) {
    const Polynomial& poly = ctxt.getPoly(0);
    return std::string(ctxt.context() == own ? "own" : "other") + " context, level " + std::to_string(poly.level) +
           ", primes " + std::to_string(poly.numPrimes) + (poly.is_extended ? ", extended" : "") +
           ", rescale counter " + std::to_string(ctxt.getRescaleCounter()) + ", log slots " +
           std::to_string(ctxt.getLogSlots()) + ", size " + std::to_string(ctxt.getSize()) + ", " +
           std::to_string(ctxt.message().getSize()) + " slots on device " +
           std::to_string(static_cast<int>(ctxt.getDevice().type())) + ":" + std::to_string(ctxt.getDevice().id());
}

// A working ciphertext may be left with any bookkeeping (a copy of a caller's ciphertext of another context, an
// extended one, a moved one): the next take() of it, given back within the call or kept from the thread's earlier
// call, has a fresh one's. On a thread of its own, whose kept ciphertexts are only the case's.
TEST(WorkspaceTest, ATakenCiphertextHasAFreshOnesBookkeepingWhateverItHeldBefore) {
    const Context context = makeContext(ParameterPreset::FX);
    const Context other = makeContext(ParameterPreset::FGb);
    const auto spoil = [&other](Ciphertext& ctxt) {
        ctxt = Ciphertext(other, true);
        ctxt.setLevel(3);
        ctxt.setRescaleCounter(2);
        ctxt.setLogSlots(1);
        ctxt.setSize(3);
        ctxt.allocate(Device(DeviceType::GPU, 1));
    };
    const std::string fresh = bookkeepingOf(Ciphertext(context, false), context);
    for (const bool givenBack : {true, false}) {
        std::thread([&] {
            SCOPED_TRACE(givenBack ? "given back within the call" : "kept from the thread's earlier call");
            std::optional<Workspace> call(std::in_place, context);
            Ciphertext& spoilt = call->take();
            spoil(spoilt);
            if (givenBack)
                call->give(spoilt);
            else
                call.emplace(context);
            Ciphertext& again = call->take();
            EXPECT_EQ(&again, &spoilt);
            EXPECT_EQ(bookkeepingOf(again, context), fresh);
        }).join();
    }
}

// Between calls the thread keeps working ciphertexts but no context: once a call has ended, its context lives as
// long as its other owners only, whether the call gave its ciphertexts back or kept one to the end.
TEST(WorkspaceTest, AnEndedCallKeepsNoContextAlive) {
    std::thread([] {
        Context context = makeContext(ParameterPreset::FX);
        const std::weak_ptr<ContextContent> watch = context;
        {
            Workspace call(context);
            Ciphertext& given = call.take();
            call.take() = Ciphertext(context, true);
            call.give(given);
        }
        context.reset();
        EXPECT_TRUE(watch.expired());
    }).join();
}

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
        // A first call loads what a bootstrap needs; the one counted runs where nothing is kept yet.
        row.run(s, op, res);
        EXPECT_LE(allocationsFromOnNewThread(slotVector, [&] { row.run(s, op, res); }), row.most) << row.name;
    }
}

// The thread keeps the working slot vectors of a call at 65536 slots (FVa) for its next call: the second call
// makes none, apart from the new ciphertext a function returns. Every math function that works on values of its
// own, with the output (or the operand written in place) made before each call.
TEST(WorkspaceTest, SecondCallsOnAThreadMakeNoSlotVectors) {
    struct Operands {
        Ciphertext a, b, grid, big, small, x, r1, r2;
    };
    using Call = void (*)(const MathSetup&, Operands&);
    struct Row {
        std::string name;
        Call run;
        // The new ciphertext the function returns.
        std::size_t returned = 0;
    };
    const std::vector<Row> rows = {
        {"approxSign", [](const MathSetup& s, Operands& o) { approxSign(s.eval, s.btp, o.a, o.r1, 8, 3, 0); }},
        {"approxSign wide", [](const MathSetup& s, Operands& o) { approxSign(s.eval, s.btp, o.grid, o.r1, 8, 3, 7); }},
        {"approxSign in place", [](const MathSetup& s, Operands& o) { approxSign(s.eval, s.btp, o.x, o.x, 8, 3, 0); }},
        {"approxSignPair",
         [](const MathSetup& s, Operands& o) { approxSignPair(s.eval, s.btp, o.a, o.b, o.r1, o.r2, 8, 3, 0); }},
        {"approxSignPair wide",
         [](const MathSetup& s, Operands& o) { approxSignPair(s.eval, s.btp, o.grid, o.b, o.r1, o.r2, 8, 3, 7); }},
        {"approxSignNativePair",
         [](const MathSetup& s, Operands& o) { approxSignNativePair(s.eval, s.btp, o.a, o.b, o.r1, o.r2, 8, 3, 1.0); }},
        {"evalSignCubicStep",
         [](const MathSetup& s, Operands& o) {
             evalSignCubicStep(s.eval, {0.5, -1.5, 0.25, 2.0}, o.a, o.r1, 0.5, 1.5);
         }},
        {"approxGreaterThanZero",
         [](const MathSetup& s, Operands& o) { approxGreaterThanZero(s.eval, s.btp, o.a, o.r1, 8, 3, 0); }},
        {"approxGreaterThanZeroPair",
         [](const MathSetup& s, Operands& o) {
             approxGreaterThanZeroPair(s.eval, s.btp, o.a, o.b, o.r1, o.r2, 8, 3, 0);
         }},
        {"approxGreaterThan",
         [](const MathSetup& s, Operands& o) { approxGreaterThan(s.eval, s.btp, o.a, o.b, o.r1, 8, 3); }},
        {"approxMinMax",
         [](const MathSetup& s, Operands& o) { approxMinMax(s.eval, s.btp, o.a, o.b, o.r1, o.r2, 8, 3); }},
        {"approxDiscreteEqualZero",
         [](const MathSetup& s, Operands& o) { approxDiscreteEqualZero(s.eval, s.btp, o.grid, o.r1, 6, 0); }},
        {"approxDiscreteEqual",
         [](const MathSetup& s, Operands& o) { approxDiscreteEqual(s.eval, s.btp, o.grid, o.grid, o.r1, 6, 0); }},
        {"unitSort", [](const MathSetup& s, Operands& o) { unitSort(s.eval, s.btp, o.a, o.r1, 4, true, false); }},
        {"twoSort", [](const MathSetup& s, Operands& o) { twoSort(s.eval, s.btp, o.x, 1, true); }},
        {"compForSort",
         [](const MathSetup& s, Operands& o) {
             // The mask is the caller's, made before the call.
             compForSort(s.eval, s.btp, o.a, o.r2.message(), 1, o.r1);
         }},
        {"flipCtxt", [](const MathSetup& s, Operands& o) { flipCtxt(s.eval, o.x, 2); }},
        {"approxDomainExtension",
         [](const MathSetup& s, Operands& o) { o.r1 = approxDomainExtension(s.eval, s.btp, o.grid, 1.0, 128.0, 2.0); },
         1},
        {"approxDomainExtensionPair",
         [](const MathSetup& s, Operands& o) {
             approxDomainExtensionPair(s.eval, s.btp, o.grid, o.b, o.r1, o.r2, 1.0, 128.0, 2.0);
         }},
        {"approxDomainExtensionInverse",
         [](const MathSetup& s, Operands& o) { o.r1 = approxDomainExtensionInverse(s.eval, o.a, 3, 2.0); }, 1},
        {"evaluateChebyshevExpansion",
         [](const MathSetup& s, Operands& o) {
             o.r1 = tools::evaluateChebyshevExpansion(s.eval, s.btp, o.a, tables::sigmoidUpToEight(), 1.0);
         },
         1},
        {"approxSigmoid", [](const MathSetup& s, Operands& o) { approxSigmoid(s.eval, s.btp, o.a, o.r1, 8.0); }},
        {"approxSigmoidWide",
         [](const MathSetup& s, Operands& o) { approxSigmoidWide(s.eval, s.btp, o.grid, o.r1, 48.0 * 1024.0); }},
        {"miniMaxSigmoid", [](const MathSetup& s, Operands& o) { miniMaxSigmoid(s.eval, s.btp, o.a, o.r1); }},
        {"approxReLU in place", [](const MathSetup& s, Operands& o) { approxReLU(s.eval, s.btp, o.x, o.x); }},
        {"approxSqrt", [](const MathSetup& s, Operands& o) { approxSqrt(s.eval, s.btp, o.small, o.r1, 17); }},
        {"approxInverseNewton",
         [](const MathSetup& s, Operands& o) { approxInverseNewton(s.eval, s.btp, o.small, o.r1, 0.5, 8); }},
        {"approxInverseForGreaterThanOne",
         [](const MathSetup& s, Operands& o) {
             approxInverseForGreaterThanOne(s.eval, s.btp, o.big, o.r1, 4096.0, 1e-6);
         }},
        {"approxInverseForLessThanOne",
         [](const MathSetup& s, Operands& o) {
             approxInverseForLessThanOne(s.eval, s.btp, o.small, o.r1, 0.01, 1e-6);
         }},
        {"approxSqrtInverseNewton",
         [](const MathSetup& s, Operands& o) { approxSqrtInverseNewton(s.eval, s.btp, o.small, o.r1, 0.5, 8); }},
        {"approxSqrtInverseForGreaterThanOne",
         [](const MathSetup& s, Operands& o) {
             approxSqrtInverseForGreaterThanOne(s.eval, s.btp, o.big, o.r1, 4096.0, 1e-6);
         }},
        {"approxSqrtInverseForLessThanOne",
         [](const MathSetup& s, Operands& o) {
             approxSqrtInverseForLessThanOne(s.eval, s.btp, o.small, o.r1, 0.01, 1e-6);
         }},
        {"approx8thRootInverse",
         [](const MathSetup& s, Operands& o) { approx8thRootInverse(s.eval, s.btp, o.big, o.r1, 4096.0, 1e-6); }},
        {"approxLogEForGreaterThanOne",
         [](const MathSetup& s, Operands& o) { approxLogEForGreaterThanOne(s.eval, s.btp, o.big, o.r1, 12, 1.0); }},
        {"approxLogForLessThanOne",
         [](const MathSetup& s, Operands& o) { approxLogForLessThanOne(s.eval, s.btp, o.small, o.r1, 3.0, 10); }},
        {"approxExponentialLessThanZero",
         [](const MathSetup& s, Operands& o) { approxExponentialLessThanZero(s.eval, s.btp, o.a, o.r1, 1.0); }},
    };
    MathSetup s(ParameterPreset::FVa);
    const std::size_t slotVector = s.fullSlots() * sizeof(Complex);
    const u64 level = getEncryptionLevel(s.context);
    const Ciphertext a = s.input({-0.375, 0.25, -0.125}, level);
    const Ciphertext b = s.input({0.125, -0.25, 0.375}, level);
    const Ciphertext grid = s.input({-60.0, 0.0, 17.0}, level);
    const Ciphertext big = s.input({1.0, 30.0, 4000.0}, level);
    const Ciphertext small = s.input({0.02, 0.5, 0.75}, level);
    const Message mask = genMasks(getLogFullSlots(s.context), 1);
    const auto operands = [&] {
        Operands o{a, b, grid, big, small, a, Ciphertext(s.context), Ciphertext(s.context)};
        o.r2.message() = mask;
        return o;
    };
    for (const Row& row : rows) {
        Operands o = operands();
        // The first call loads what a bootstrap needs and leaves the call's slot vectors with the thread.
        row.run(s, o);
        // What the call gives on a thread that has kept nothing: the kept vectors must not change it.
        Operands expected = operands();
        std::thread([&] { row.run(s, expected); }).join();
        o.x = a;
        o.r2.message() = mask;
        EXPECT_EQ(allocationsFrom(slotVector, [&] { row.run(s, o); }), row.returned) << row.name;
        for (const auto& [got, want] : {std::pair{&o.x, &expected.x}, {&o.r1, &expected.r1}, {&o.r2, &expected.r2}}) {
            EXPECT_EQ(got->message().slots(), want->message().slots()) << row.name;
            EXPECT_EQ(got->getLevel(), want->getLevel()) << row.name;
        }
    }
}

// Slot vectors longer than 65536 slots are not kept: at 2^17 slots (a context of log dimension 18) every call
// makes its two working vectors anew and has freed them when it ends, while at 65536 slots (FVa) the second call
// makes only the ciphertext it returns.
TEST(WorkspaceTest, CallsKeepSlotVectorsOfUpTo65536Slots) {
    for (const bool longer : {false, true}) {
        SCOPED_TRACE(longer ? "2^17 slots" : "65536 slots");
        const Context context = longer ? makeContext(18, 20, 60, 42, 60, 1) : makeContext(ParameterPreset::FVa);
        SecretKey sk(context);
        KeyPack pack(context);
        KeyGenerator(context, sk, pack).genMultiplicationKey();
        const HomEvaluator eval(context, pack);
        const u64 slots = context->parameter.fullSlots;
        Ciphertext op(context);
        for (u64 i = 0; i < slots; ++i)
            op.message()[i] = Complex(-0.5 + 0.125 * static_cast<double>(i % 9), 0.0);
        op.setLevel(getEncryptionLevel(context));
        Ciphertext res(context);
        const std::size_t slotVector = slots * sizeof(Complex);
        const auto call = [&] { res = approxDomainExtensionInverse(eval, op, 3, 2.0); };
        std::size_t first = 0;
        std::size_t second = 0;
        std::size_t freedBySecondsEnd = 0;
        std::thread([&] {
            first = allocationsFrom(slotVector, call);
            allocationwatch::released = 0;
            second = allocationsFrom(slotVector, call);
            freedBySecondsEnd = allocationwatch::released.load();
        }).join();
        EXPECT_EQ(first, 3u);
        EXPECT_EQ(second, longer ? 3u : 1u);
        // The working vectors and the result res had before.
        EXPECT_EQ(freedBySecondsEnd, second);
    }
}

// Each thread keeps the slot vectors of its own calls, and they go with it: two threads computing at once each make
// none in their second call, and once both have ended, all they made is freed.
TEST(WorkspaceTest, ThreadsKeepTheirOwnSlotVectorsUntilTheyEnd) {
    MathSetup s(ParameterPreset::FVa);
    const std::size_t slotVector = s.fullSlots() * sizeof(Complex);
    const Ciphertext op = s.input({-0.375, 0.25, -0.125}, getEncryptionLevel(s.context));
    Ciphertext warm(s.context);
    approxSigmoid(s.eval, s.btp, op, warm, 8.0);
    struct Made {
        std::size_t first = 0;
        std::size_t second = 0;
    };
    Made made[2];
    allocationwatch::countFrom = slotVector;
    allocationwatch::counted = 0;
    allocationwatch::released = 0;
    allocationwatch::watching = true;
    {
        std::vector<std::thread> threads;
        for (Made& m : made)
            threads.emplace_back([&s, &op, &m] {
                Ciphertext res(s.context);
                std::size_t before = allocationwatch::countedOnThisThread;
                approxSigmoid(s.eval, s.btp, op, res, 8.0);
                m.first = allocationwatch::countedOnThisThread - before;
                before = allocationwatch::countedOnThisThread;
                approxSigmoid(s.eval, s.btp, op, res, 8.0);
                m.second = allocationwatch::countedOnThisThread - before;
            });
        for (std::thread& t : threads)
            t.join();
    }
    allocationwatch::watching = false;
    for (const Made& m : made) {
        EXPECT_GT(m.first, 4u);
        EXPECT_EQ(m.second, 0u);
    }
    EXPECT_EQ(allocationwatch::released.load(), allocationwatch::counted.load());
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
