#include "tests/math/MathTestSupport.hpp"

#include "morvane/math/ApproxSign.hpp"

#include <optional>

namespace {

using namespace mathtest;
using namespace Morvane::Math;

const std::vector<double> kValues = {1.0, -1.0, 0.5, -0.25, 0.01, -0.003, std::ldexp(1.0, -10), 0.0};

TEST(SolveCubicRealRootTest, RootsOfTheFixedAndOtherCubics) {
    EXPECT_NEAR(solveCubicRealRoot(kG), 1.1309851054301239, 1e-15);
    EXPECT_NEAR(solveCubicRealRoot(kF), 2.5258479872860304, 1e-15);
    // Three real roots 1, 2, 3: the largest.
    EXPECT_NEAR(solveCubicRealRoot({-6.0, 11.0, -6.0, 1.0}), 3.0, 1e-12);
    // A leading coefficient other than 1: 2y^3 - 16.
    EXPECT_NEAR(solveCubicRealRoot({-16.0, 0.0, 0.0, 2.0}), 2.0, 1e-12);
    // A negative single root: y^3 + 8.
    EXPECT_NEAR(solveCubicRealRoot({8.0, 0.0, 0.0, 1.0}), -2.0, 1e-12);
}

TEST(EvalSignCubicStepTest, ThreeLevelsEightOperations) {
    MathSetup s(ParameterPreset::FX);
    const double root = solveCubicRealRoot(kF);
    struct Case {
        double factor;
        const char* constantLabel;
    };
    // The constant product is counted as the evaluator's integral test decides.
    for (const Case& c : {Case{-0.3125, "ctxt * cnst"}, Case{-2.0, "ctxt * int"}}) {
        const Ciphertext x = s.input(kValues, 10);
        Ciphertext out(s.context);
        const Effect effect = measure(s.context, [&] { evalSignCubicStep(s.eval, kF, x, out, root, c.factor); });
        const History expected = {{"ctxt * ctxt", 4}, {"ctxt + cnst", 3}, {c.constantLabel, 1}};
        EXPECT_EQ(effect.history, expected) << c.factor;
        EXPECT_EQ(out.getLevel(), 7u) << c.factor;
        EXPECT_LT(maxError(out, mapped(kValues, [&](double v) { return signStepModel(v, kF, c.factor); })), 1e-12);

        // The output may be the input; the factored form is k x P(x^2).
        Ciphertext inPlace = x;
        evalSignCubicStep(s.eval, kF, inPlace, inPlace, root, c.factor);
        EXPECT_LT(maxError(inPlace, mapped(kValues,
                                           [&](double v) {
                                               return c.factor * v *
                                                      (-7.0 + 7.0 * v * v - 4.2 * std::pow(v, 4) + std::pow(v, 6));
                                           })),
                  1e-12);
    }
}

struct SignCase {
    const char* name;
    ParameterPreset preset;
    u64 level1;
    u64 level2; // the pair form's second input
    u64 g;
    u64 f;
    u64 logRange;
    History history;
    u64 outLevel;
    u64 bootstraps;
};

const std::vector<SignCase>& singleCases() {
    static const std::vector<SignCase> cases = {
        {"FX defaults", ParameterPreset::FX, 12, 0, 8, 3, 0,
         {{"Bootstrap", 3}, {"ctxt * cnst", 11}, {"ctxt * ctxt", 44}, {"ctxt + cnst", 33}}, 6, 3},
        {"FX from the minimum level: refresh first", ParameterPreset::FX, 3, 0, 8, 3, 0,
         {{"Bootstrap", 4}, {"ctxt * cnst", 11}, {"ctxt * ctxt", 44}, {"ctxt + cnst", 33}}, 6, 4},
        {"FVa defaults", ParameterPreset::FVa, 16, 0, 8, 3, 0,
         {{"Bootstrap", 2}, {"ctxt * cnst", 11}, {"ctxt * ctxt", 44}, {"ctxt + cnst", 33}}, 7, 2},
        {"FX only f", ParameterPreset::FX, 12, 0, 0, 3, 0,
         {{"ctxt * cnst", 3}, {"ctxt * ctxt", 12}, {"ctxt + cnst", 9}}, 3, 0},
        {"FX only g: the last g step writes the result", ParameterPreset::FX, 12, 0, 2, 0, 0,
         {{"ctxt * cnst", 2}, {"ctxt * ctxt", 8}, {"ctxt + cnst", 6}}, 6, 0},
        {"FX no step: the input times 1", ParameterPreset::FX, 12, 0, 0, 0, 0, {{"ctxt * int", 1}}, 12, 0},
        {"FX log_range 10", ParameterPreset::FX, 12, 0, 8, 3, 10,
         {{"Bootstrap", 5}, {"Conjugate", 1}, {"Rescale", 9}, {"ctxt * cnst", 11}, {"ctxt * cnst W/R", 9},
          {"ctxt * ctxt", 60}, {"ctxt * int", 1}, {"ctxt + cnst", 33}, {"ctxt + ctxt", 17}}, 6, 5},
        {"FX log_range 38 from level 4", ParameterPreset::FX, 4, 0, 8, 3, 38,
         {{"Bootstrap", 17}, {"Conjugate", 13}, {"Rescale", 62}, {"ctxt * cnst", 11}, {"ctxt * cnst W/R", 62},
          {"ctxt * ctxt", 102}, {"ctxt * int", 13}, {"ctxt + cnst", 33}, {"ctxt + ctxt", 71}}, 6, 17},
    };
    return cases;
}

double modelOf(double v, const SignCase& c, double multiplier) {
    const double x = c.logRange == 0 ? v : extensionModel(v, 1.0, std::ldexp(1.0, static_cast<int>(c.logRange)), 2.55);
    return signModel(x, c.g, c.f, multiplier);
}

std::vector<double> scaled(const std::vector<double>& values, u64 log_range) {
    return mapped(values, [&](double v) { return std::ldexp(v, static_cast<int>(log_range)); });
}

TEST(ApproxSignTest, OperationsLevelsAndValues) {
    for (const SignCase& c : singleCases()) {
        MathSetup s(c.preset);
        const std::vector<double> values = scaled(kValues, c.logRange);
        const Ciphertext op = s.input(values, c.level1);
        const bool warmUp = !s.context->bootstrapWarmedUp;
        Ciphertext res(s.context);
        const Effect effect = measure(s.context, [&] { approxSign(s.eval, s.btp, op, res, c.g, c.f, c.logRange); });
        EXPECT_EQ(effect.history, c.history) << c.name;
        EXPECT_EQ(effect.duration, bootstrapCost(s.context, c.bootstraps, 0, warmUp)) << c.name;
        EXPECT_EQ(res.getLevel(), c.outLevel) << c.name;
        EXPECT_EQ(res.getLogSlots(), op.getLogSlots()) << c.name;
        EXPECT_EQ(op.getLevel(), c.level1) << c.name;
        EXPECT_EQ(op.message()[0], Complex(values[0], 0.0)) << c.name;
        EXPECT_LT(maxError(res, mapped(values, [&](double v) { return modelOf(v, c, 1.0); })), 1e-12) << c.name;

        // The native form is the same sequence without the checks and, for log_range 0, the same values.
        if (c.logRange == 0) {
            Ciphertext native(s.context);
            approxSignNative(s.eval, s.btp, op, native, c.g, c.f, 1.0);
            EXPECT_EQ(native.message().slots(), res.message().slots()) << c.name;
        }
    }
}

TEST(ApproxSignTest, CloseToTheSignAwayFromZero) {
    MathSetup s(ParameterPreset::FX);
    std::vector<double> values;
    for (double t = 0.0; t <= 18.0; t += 1.5) {
        values.push_back(std::pow(2.0, -t));
        values.push_back(-std::pow(2.0, -t));
    }
    Ciphertext res(s.context);
    approxSign(s.eval, s.btp, s.input(values, 12), res, 8, 3, 0);
    EXPECT_LT(maxError(res, mapped(values, [](double v) { return v > 0 ? 1.0 : -1.0; })), 1e-14);

    approxSign(s.eval, s.btp, s.input({std::ldexp(1.0, -20), 0.0}, 12), res, 8, 3, 0);
    EXPECT_NEAR(res.message()[0].real(), 0.957, 1e-3);
    EXPECT_EQ(res.message()[1], Complex(0.0, 0.0));
}

TEST(ApproxSignTest, OutputMayBeTheInput) {
    MathSetup s(ParameterPreset::FX);
    for (const u64 logRange : {u64{0}, u64{5}}) {
        const std::vector<double> values = scaled(kValues, logRange);
        Ciphertext x = s.input(values, 12);
        Ciphertext separate(s.context);
        approxSign(s.eval, s.btp, x, separate, 8, 3, logRange);
        approxSign(s.eval, s.btp, x, x, 8, 3, logRange);
        EXPECT_EQ(x.message().slots(), separate.message().slots()) << logRange;
        EXPECT_EQ(x.getLevel(), separate.getLevel()) << logRange;
    }
}

TEST(ApproxSignTest, NativeMultiplierScalesTheLastStep) {
    MathSetup s(ParameterPreset::FX);
    struct Case {
        u64 g;
        u64 f;
        History history;
        u64 level;
    };
    // Without f steps the last g step carries the multiplier; without any step the input is multiplied by it.
    const std::vector<Case> cases = {
        {8, 3, {{"Bootstrap", 3}, {"ctxt * cnst", 11}, {"ctxt * ctxt", 44}, {"ctxt + cnst", 33}}, 6},
        {3, 0, {{"ctxt * cnst", 3}, {"ctxt * ctxt", 12}, {"ctxt + cnst", 9}}, 3},
        {0, 0, {{"ctxt * cnst", 1}}, 11},
    };
    for (const Case& c : cases) {
        const Ciphertext op = s.input(kValues, 12);
        Ciphertext res = s.input({7.0}, 20);
        const Effect effect = measure(s.context, [&] { approxSignNative(s.eval, s.btp, op, res, c.g, c.f, 0.5); });
        EXPECT_EQ(effect.history, c.history) << c.g << c.f;
        EXPECT_EQ(res.getLevel(), c.level) << c.g << c.f;
        EXPECT_LT(maxError(res, mapped(kValues, [&](double v) { return signModel(v, c.g, c.f, 0.5); })), 1e-12);
    }
}

const std::vector<SignCase>& pairCases() {
    static const std::vector<SignCase> cases = {
        {"FX defaults, levels 12 and 9", ParameterPreset::FX, 12, 9, 8, 3, 0,
         {{"Bootstrap", 3}, {"Level down", 1}, {"ctxt * cnst", 22}, {"ctxt * ctxt", 88}, {"ctxt * imag", 3},
          {"ctxt + cnst", 66}, {"ctxt + ctxt", 3}}, 3, 3},
        {"FX log_range 10", ParameterPreset::FX, 12, 12, 8, 3, 10,
         {{"Bootstrap", 5}, {"Conjugate", 2}, {"Rescale", 17}, {"ctxt * cnst", 22}, {"ctxt * cnst W/R", 17},
          {"ctxt * ctxt", 120}, {"ctxt * imag", 5}, {"ctxt * int", 2}, {"ctxt + cnst", 66}, {"ctxt + ctxt", 39}}, 6, 5},
        {"FX only g", ParameterPreset::FX, 12, 9, 2, 0, 0,
         {{"Level down", 1}, {"ctxt * cnst", 4}, {"ctxt * ctxt", 16}, {"ctxt + cnst", 12}}, 3, 0},
        {"FX no step", ParameterPreset::FX, 9, 12, 0, 0, 0, {{"Level down", 1}, {"ctxt * int", 2}}, 9, 0},
    };
    return cases;
}

TEST(ApproxSignPairTest, OperationsLevelsAndValues) {
    const std::vector<double> second = {-0.5, 0.125, -1.0, 0.0, 0.75, -0.001, 0.3, 1.0};
    for (const SignCase& c : pairCases()) {
        MathSetup s(c.preset);
        const std::vector<double> v1 = scaled(kValues, c.logRange);
        const std::vector<double> v2 = scaled(second, c.logRange);
        const Ciphertext op1 = s.input(v1, c.level1);
        const Ciphertext op2 = s.input(v2, c.level2);
        const bool warmUp = !s.context->bootstrapWarmedUp;
        Ciphertext res1(s.context);
        Ciphertext res2(s.context);
        const Effect effect =
            measure(s.context, [&] { approxSignPair(s.eval, s.btp, op1, op2, res1, res2, c.g, c.f, c.logRange); });
        EXPECT_EQ(effect.history, c.history) << c.name;
        EXPECT_EQ(effect.duration, bootstrapCost(s.context, 0, c.bootstraps, warmUp)) << c.name;
        EXPECT_EQ(res1.getLevel(), c.outLevel) << c.name;
        EXPECT_EQ(res2.getLevel(), c.outLevel) << c.name;
        EXPECT_EQ(op2.getLevel(), c.level2) << c.name;
        EXPECT_LT(maxError(res1, mapped(v1, [&](double v) { return modelOf(v, c, 1.0); })), 1e-12) << c.name;
        EXPECT_LT(maxError(res2, mapped(v2, [&](double v) { return modelOf(v, c, 1.0); })), 1e-12) << c.name;

        // Outputs may be the inputs, also crosswise.
        Ciphertext x1 = op1;
        Ciphertext x2 = op2;
        approxSignPair(s.eval, s.btp, x1, x2, x2, x1, c.g, c.f, c.logRange);
        EXPECT_EQ(x2.message().slots(), res1.message().slots()) << c.name;
        EXPECT_EQ(x1.message().slots(), res2.message().slots()) << c.name;
    }
}

TEST(ApproxSignTest, ChecksInOrder) {
    MathSetup fx(ParameterPreset::FX);
    const RefusingSetups bad;
    const auto& st19Eval = bad.st19Eval;
    Ciphertext fine = fx.input({0.5}, 12);
    Ciphertext low = fx.input({0.5}, 0);
    Ciphertext unready = fx.input({0.5}, 0);
    unready.setLogSlots(4);
    const std::string n = "[approxSign] ";
    const std::string p = "[approxSignPair] ";
    const auto& e = fx.eval;
    const auto& b = fx.btp;
    expectCheckOrder(
        fx,
        {
            {"unbootstrappable first", [&](auto& r, auto&) { approxSign(st19Eval, b, unready, r, 8, 3, 39); },
             n + "Parameter should be bootstrappable."},
            {"readiness before levels", [&](auto& r, auto&) { approxSign(e, b, unready, r, 8, 3, 39); },
             n + "bootstraper not ready for 4 slot bootstrapping."},
            {"available levels before the range",
             [&](auto& r, auto&) { approxSign(bad.ftbEval, bad.ftbBtp, bad.ftbInput, r, 8, 3, 39); },
             n + "Available level (maximum level after bootstrap - minimum level for bootstrap)  >= 3 is needed."},
            {"range before the level", [&](auto& r, auto&) { approxSign(e, b, low, r, 8, 3, 39); },
             n + "log_range must be <= 38."},
            {"level 3 without range", [&](auto& r, auto&) { approxSign(e, b, fx.input({0.5}, 2), r, 8, 3, 0); },
             n + "Input level >= 3 is needed."},
            {"level 4 with a range", [&](auto& r, auto&) { approxSign(e, b, fx.input({0.5}, 3), r, 8, 3, 1); },
             n + "Input level >= 4 is needed."},
            {"pair: second readiness",
             [&](auto& r1, auto& r2) { approxSignPair(e, b, fine, unready, r1, r2, 8, 3, 0); },
             p + "bootstraper not ready for 4 slot bootstrapping."},
            {"pair: range before levels", [&](auto& r1, auto& r2) { approxSignPair(e, b, low, low, r1, r2, 8, 3, 39); },
             p + "log_range must be <= 38."},
            {"pair: second level",
             [&](auto& r1, auto& r2) { approxSignPair(e, b, fine, fx.input({0.5}, 3), r1, r2, 8, 3, 2); },
             p + "Input level >= 4 is needed."},
            {"pair: unbootstrappable",
             [&](auto& r1, auto& r2) { approxSignPair(st19Eval, b, unready, low, r1, r2, 8, 3, 39); },
             p + "Parameter should be bootstrappable."},
        });
    // The limits themselves pass.
    Ciphertext res(fx.context);
    EXPECT_NO_THROW(approxSign(e, b, fx.input({0.5}, 4), res, 1, 1, 38));
    EXPECT_NO_THROW(approxSign(e, b, fx.input({0.5}, 3), res, 1, 1, 0));
}

TEST(ApproxSignTest, NativeFailuresAreTheEvaluators) {
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    EXPECT_EQ(thrownMessage([&] { approxSignNative(s.eval, s.btp, s.input({0.5}, 2), res, 8, 3, 1.0); }),
              "[bootstrap] Level of ciphertext should be >= 3.");
}

// A call whose first bootstrap refuses, after a step that needed none, leaves its output as it was, also when
// the output is the input: the steps work in ciphertexts of the call. The step that ran stays counted.
TEST(ApproxSignTest, FailedBootstrapLeavesTheOutputAsItWas) {
    enum class Missing { Conjugation, Rotation, SparseSecret };
    struct KeyCase {
        const char* name;
        ParameterPreset preset;
        Missing missing;
        std::string message;
    };
    const std::vector<KeyCase> keyCases = {
        {"no conjugation key", ParameterPreset::FX, Missing::Conjugation, "[bootstrap] no conjugation key"},
        {"no rotation key", ParameterPreset::FX, Missing::Rotation, "[bootstrap] no left rotation key for index -16"},
        {"no sparse-secret key", ParameterPreset::FGd, Missing::SparseSecret, "[bootstrap] no SSE key"},
    };
    using Call = std::function<void(const HomEvaluator&, const Bootstrapper&, const Ciphertext&, Ciphertext&)>;
    const std::vector<std::pair<const char*, Call>> calls = {
        {"approxSign", [](auto& e, auto& b, auto& op, auto& res) { approxSign(e, b, op, res, 8, 3, 0); }},
        {"approxGreaterThanZero",
         [](auto& e, auto& b, auto& op, auto& res) { approxGreaterThanZero(e, b, op, res, 8, 3, 0); }},
    };
    const History oneStep = {{"ctxt * cnst", 1}, {"ctxt * ctxt", 4}, {"ctxt + cnst", 3}};
    for (const KeyCase& k : keyCases) {
        const Context context = makeContext(k.preset);
        simulateError(context, false);
        const SecretKey sk(context);
        KeyPack pack(context);
        const KeyGenerator keygen(context, sk, pack);
        keygen.genMultiplicationKey();
        if (k.missing != Missing::Conjugation)
            keygen.genConjugationKey();
        if (k.missing != Missing::Rotation)
            keygen.genRotKeysForBootstrap(getLogFullSlots(context));
        const HomEvaluator eval(context, pack);
        const Bootstrapper btp(eval);
        // One step of three levels runs before the first refresh.
        const u64 level = btp.getMinLevelForBootstrap() + 3;
        const auto input = [&](const std::vector<double>& values, u64 at) {
            Ciphertext ctxt(context);
            for (u64 i = 0; i < context->parameter.fullSlots; ++i)
                ctxt.message()[i] = Complex(values[i % values.size()], 0.0);
            ctxt.setLevel(at);
            return ctxt;
        };
        for (const auto& [name, call] : calls) {
            for (const bool inPlace : {false, true}) {
                SCOPED_TRACE(std::string(k.name) + ", " + name + (inPlace ? ", in place" : ""));
                Ciphertext op = input(kValues, level);
                Ciphertext separate = input({9.0}, 20);
                Ciphertext& res = inPlace ? op : separate;
                const Ciphertext before = res;
                std::string message;
                const Effect effect =
                    measure(context, [&] { message = thrownMessage([&] { call(eval, btp, op, res); }); });
                EXPECT_EQ(message, k.message);
                EXPECT_EQ(effect.history, oneStep);
                EXPECT_EQ(res.message().slots(), before.message().slots());
                EXPECT_EQ(res.getLevel(), before.getLevel());
                EXPECT_EQ(op.message().slots(), input(kValues, level).message().slots());
            }
        }
    }
}

} // namespace
