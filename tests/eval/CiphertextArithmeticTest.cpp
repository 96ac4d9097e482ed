// Ciphertext arithmetic: results, bookkeeping and labels per operation, check order, writes made before a
// failing check, aliasing, devices, the integral-constant rule and operands of other lengths.
#include "tests/eval/EvalTestSupport.hpp"

#include "morvane/eval/EvaluatorUtils.hpp"

#include <climits>
#include <limits>
#include <thread>

namespace evaltest {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const Complex kConstant(1.5, -2);

// Operands of every row: a at level 5 and b at level 4, both full-slot with rescale counter 0; p a plaintext
// at level 5; m a message of the full slot count.
struct Operands {
    const Ciphertext& a;
    const Ciphertext& b;
    const Plaintext& p;
    const Message& m;
};

using Run = std::function<void(const HomEvaluator&, const Operands&, Ciphertext& res)>;
// The same operation with the result taken as the first (or the second) operand.
using RunAliased = std::function<void(const HomEvaluator&, Ciphertext& self, const Operands&)>;

struct ResultRow {
    const char* name;
    Run run;
    RunAliased runOnFirst;
    RunAliased runOnSecond; // empty unless the second operand is a ciphertext
    std::function<Complex(u64)> expected;
    u64 level;
    int rescaleCounter;
    u64 size;
    const char* label;
};

Complex a(u64 i) { return firstSlot(i); }
Complex b(u64 i) { return secondSlot(i); }
Complex plus(Complex x, Complex y) { return {x.real() + y.real(), x.imag() + y.imag()}; }
Complex minus(Complex x, Complex y) { return {x.real() - y.real(), x.imag() - y.imag()}; }

std::vector<ResultRow> resultRows() {
    const Complex i(0, 1);
    return {
        {"negate", [](auto& e, auto& o, auto& r) { e.negate(o.a, r); }, [](auto& e, auto& s, auto&) { e.negate(s, s); },
         nullptr, [](u64 k) { return Complex(-a(k).real(), -a(k).imag()); }, 5, 0, 2, "Negate ctxt"},
        {"add constant", [](auto& e, auto& o, auto& r) { e.add(o.a, kConstant, r); },
         [](auto& e, auto& s, auto&) { e.add(s, kConstant, s); }, nullptr, [](u64 k) { return plus(a(k), kConstant); },
         5, 0, 2, "ctxt + cnst"},
        {"sub constant", [](auto& e, auto& o, auto& r) { e.sub(o.a, kConstant, r); },
         [](auto& e, auto& s, auto&) { e.sub(s, kConstant, s); }, nullptr,
         [](u64 k) { return minus(a(k), kConstant); }, 5, 0, 2, "ctxt + cnst"},
        {"add message", [](auto& e, auto& o, auto& r) { e.add(o.a, o.m, r); },
         [](auto& e, auto& s, auto& o) { e.add(s, o.m, s); }, nullptr, [](u64 k) { return plus(a(k), b(k)); }, 5, 0, 2,
         "ctxt + msg"},
        {"sub message", [](auto& e, auto& o, auto& r) { e.sub(o.a, o.m, r); },
         [](auto& e, auto& s, auto& o) { e.sub(s, o.m, s); }, nullptr, [](u64 k) { return minus(a(k), b(k)); }, 5, 0,
         2, "ctxt + msg"},
        {"add plaintext", [](auto& e, auto& o, auto& r) { e.add(o.a, o.p, r); },
         [](auto& e, auto& s, auto& o) { e.add(s, o.p, s); }, nullptr, [](u64 k) { return plus(a(k), b(k)); }, 5, 0, 2,
         "ctxt + ptxt"},
        {"sub plaintext", [](auto& e, auto& o, auto& r) { e.sub(o.a, o.p, r); },
         [](auto& e, auto& s, auto& o) { e.sub(s, o.p, s); }, nullptr, [](u64 k) { return minus(a(k), b(k)); }, 5, 0,
         2, "ctxt + ptxt"},
        {"add ciphertext", [](auto& e, auto& o, auto& r) { e.add(o.a, o.b, r); },
         [](auto& e, auto& s, auto& o) { e.add(s, o.b, s); }, [](auto& e, auto& s, auto& o) { e.add(o.a, s, s); },
         [](u64 k) { return plus(a(k), b(k)); }, 4, 0, 2, "ctxt + ctxt"},
        {"sub ciphertext", [](auto& e, auto& o, auto& r) { e.sub(o.a, o.b, r); },
         [](auto& e, auto& s, auto& o) { e.sub(s, o.b, s); }, [](auto& e, auto& s, auto& o) { e.sub(o.a, s, s); },
         [](u64 k) { return minus(a(k), b(k)); }, 4, 0, 2, "ctxt + ctxt"},
        {"multImagUnit", [](auto& e, auto& o, auto& r) { e.multImagUnit(o.a, r); },
         [](auto& e, auto& s, auto&) { e.multImagUnit(s, s); }, nullptr, [i](u64 k) { return a(k) * i; }, 5, 0, 2,
         "ctxt * imag"},
        {"multInteger 3", [](auto& e, auto& o, auto& r) { e.multInteger(o.a, 3, r); },
         [](auto& e, auto& s, auto&) { e.multInteger(s, 3, s); }, nullptr,
         [](u64 k) { return Complex(a(k).real() * 3.0, a(k).imag() * 3.0); }, 5, 0, 2, "ctxt * int"},
        {"multInteger 0", [](auto& e, auto& o, auto& r) { e.multInteger(o.a, 0, r); },
         [](auto& e, auto& s, auto&) { e.multInteger(s, 0, s); }, nullptr,
         [](u64 k) { return Complex(a(k).real() * 0.0, a(k).imag() * 0.0); }, 5, 0, 2, "ctxt * int"},
        {"mult constant", [](auto& e, auto& o, auto& r) { e.mult(o.a, kConstant, r); },
         [](auto& e, auto& s, auto&) { e.mult(s, kConstant, s); }, nullptr, [](u64 k) { return a(k) * kConstant; }, 4,
         0, 2, "ctxt * cnst"},
        {"mult integral constant", [](auto& e, auto& o, auto& r) { e.mult(o.a, Complex(2, 0), r); },
         [](auto& e, auto& s, auto&) { e.mult(s, Complex(2, 0), s); }, nullptr,
         [](u64 k) { return a(k) * Complex(2, 0); }, 5, 0, 2, "ctxt * int"},
        {"mult message", [](auto& e, auto& o, auto& r) { e.mult(o.a, o.m, r); },
         [](auto& e, auto& s, auto& o) { e.mult(s, o.m, s); }, nullptr, [](u64 k) { return a(k) * b(k); }, 4, 0, 2,
         "ctxt * msg"},
        {"mult plaintext", [](auto& e, auto& o, auto& r) { e.mult(o.a, o.p, r); },
         [](auto& e, auto& s, auto& o) { e.mult(s, o.p, s); }, nullptr, [](u64 k) { return a(k) * b(k); }, 4, 0, 2,
         "ctxt * ptxt"},
        {"mult ciphertext", [](auto& e, auto& o, auto& r) { e.mult(o.a, o.b, r); },
         [](auto& e, auto& s, auto& o) { e.mult(s, o.b, s); }, [](auto& e, auto& s, auto& o) { e.mult(o.a, s, s); },
         [](u64 k) { return a(k) * b(k); }, 3, 0, 2, "ctxt * ctxt"},
        {"square", [](auto& e, auto& o, auto& r) { e.square(o.a, r); }, [](auto& e, auto& s, auto&) { e.square(s, s); },
         nullptr, [](u64 k) { return a(k) * a(k); }, 4, 0, 2, "ctxt * ctxt"},
        {"multWithoutRescale constant", [](auto& e, auto& o, auto& r) { e.multWithoutRescale(o.a, kConstant, r); },
         [](auto& e, auto& s, auto&) { e.multWithoutRescale(s, kConstant, s); }, nullptr,
         [](u64 k) { return a(k) * kConstant; }, 5, 1, 2, "ctxt * cnst W/R"},
        {"multWithoutRescale plaintext", [](auto& e, auto& o, auto& r) { e.multWithoutRescale(o.a, o.p, r); },
         [](auto& e, auto& s, auto& o) { e.multWithoutRescale(s, o.p, s); }, nullptr,
         [](u64 k) { return a(k) * b(k); }, 5, 1, 2, "ctxt * ptxt W/R"},
        {"multWithoutRescale ciphertext", [](auto& e, auto& o, auto& r) { e.multWithoutRescale(o.a, o.a, r); },
         [](auto& e, auto& s, auto&) { e.multWithoutRescale(s, s, s); }, nullptr, [](u64 k) { return a(k) * a(k); }, 5,
         1, 2, "ctxt * ctxt W/R"},
        {"tensor", [](auto& e, auto& o, auto& r) { e.tensor(o.a, o.a, r); },
         [](auto& e, auto& s, auto&) { e.tensor(s, s, s); }, nullptr, [](u64 k) { return a(k) * a(k); }, 5, 1, 3,
         "Tensor"},
    };
}

class CiphertextArithmeticTest : public EvalFixture {
protected:
    Ciphertext first = ciphertextOf(context, a, 5);
    Ciphertext second = ciphertextOf(context, b, 4);
    Plaintext plain = plaintextOf(context, b, 5);
    Message message = messageOfSize(32, b);

    void placeOperandsOn(const Device& device) {
        first.allocate(device);
        second.allocate(device);
        plain.allocate(device);
    }

    Operands operands() const { return {first, second, plain, message}; }
};

TEST_F(CiphertextArithmeticTest, ResultsBookkeepingAndLabelsOnEveryDevice) {
    const std::vector<std::pair<Device, const char*>> devices = {
        {Device(DeviceType::CPU, 0), ""},
        {Device(DeviceType::GPU, 1), " (GPU)"},
        {Device(DeviceType::UNDEFINED, 0), nullptr},
        {Device(DeviceType::CPU_PINNED, 2), nullptr},
    };
    for (const auto& [device, suffix] : devices) {
        placeOperandsOn(device);
        for (const ResultRow& row : resultRows()) {
            SCOPED_TRACE(std::string(row.name) + " on device type " + std::to_string(static_cast<int>(device.type())));
            Ciphertext res(context);
            res.setSize(7);
            res.setLevel(1);
            clearOpHistory(context);
            row.run(eval, operands(), res);

            EXPECT_TRUE(slotsAre(res.message(), row.expected));
            EXPECT_EQ(row.level, res.getLevel());
            EXPECT_EQ(row.rescaleCounter, res.getRescaleCounter());
            EXPECT_EQ(row.size, res.getSize());
            EXPECT_EQ(5u, res.getLogSlots());
            EXPECT_TRUE(sameDevice(device, res.getDevice()));
            std::map<std::string, u64> expected;
            if (suffix != nullptr)
                expected[std::string(row.label) + suffix] = 1;
            EXPECT_EQ(expected, getOpHistory(context));
        }
    }
}

TEST_F(CiphertextArithmeticTest, ResultMayBeEitherOperand) {
    for (const ResultRow& row : resultRows()) {
        SCOPED_TRACE(row.name);
        Ciphertext separate(context);
        row.run(eval, operands(), separate);

        Ciphertext self = first;
        row.runOnFirst(eval, self, Operands{self, second, plain, message});
        EXPECT_TRUE(slotsAre(self.message(), [&](u64 k) { return separate.message()[k]; }));
        EXPECT_EQ(separate.getLevel(), self.getLevel());
        EXPECT_EQ(separate.getRescaleCounter(), self.getRescaleCounter());
        EXPECT_EQ(separate.getSize(), self.getSize());

        if (row.runOnSecond) {
            Ciphertext other = second;
            row.runOnSecond(eval, other, Operands{first, other, plain, message});
            EXPECT_TRUE(slotsAre(other.message(), [&](u64 k) { return separate.message()[k]; }));
            EXPECT_EQ(separate.getLevel(), other.getLevel());
            EXPECT_EQ(separate.getSize(), other.getSize());
        }
    }
}

struct SizeLevelCase {
    u64 size1, size2, level1, level2;
    int rescale1, rescale2;
    u64 size, level;
    int rescale;
};

TEST_F(CiphertextArithmeticTest, SumsTakeTheSmallerLevelAndTheLargerSize) {
    const std::vector<SizeLevelCase> cases = {{2, 3, 5, 3, 0, 0, 3, 3, 0}, {3, 2, 2, 7, 4, 4, 3, 2, 4}};
    for (const SizeLevelCase& c : cases) {
        first.setSize(c.size1);
        first.setLevel(c.level1);
        first.setRescaleCounter(c.rescale1);
        second.setSize(c.size2);
        second.setLevel(c.level2);
        second.setRescaleCounter(c.rescale2);
        for (const bool subtract : {false, true}) {
            Ciphertext res(context);
            subtract ? eval.sub(first, second, res) : eval.add(first, second, res);
            EXPECT_EQ(c.size, res.getSize());
            EXPECT_EQ(c.level, res.getLevel());
            EXPECT_EQ(c.rescale, res.getRescaleCounter());
        }
    }
}

TEST_F(CiphertextArithmeticTest, TensorAddsSizesAndRescaleCountersAndRelinearizeDropsOne) {
    struct Case {
        u64 size1, size2;
        int rescale1, rescale2;
        u64 size;
        int rescale;
    };
    for (const Case& c : std::vector<Case>{{2, 2, 0, 0, 3, 1}, {2, 2, 1, 0, 3, 2}, {3, 4, 2, 3, 6, 6},
                                          {2, 2, INT_MAX, 0, 3, INT_MIN}}) {
        Ciphertext x = first, y = first, t(context);
        x.setSize(c.size1);
        y.setSize(c.size2);
        x.setRescaleCounter(c.rescale1);
        y.setRescaleCounter(c.rescale2);
        eval.tensor(x, y, t);
        EXPECT_EQ(c.size, t.getSize());
        EXPECT_EQ(c.rescale, t.getRescaleCounter());
    }

    Ciphertext t(context), r(context);
    first.allocate(Device(DeviceType::GPU, 0));
    eval.tensor(first, first, t);
    clearOpHistory(context);
    eval.relinearize(t, r);
    EXPECT_EQ(2u, r.getSize());
    EXPECT_TRUE(slotsAre(r.message(), [](u64 k) { return a(k) * a(k); }));
    EXPECT_EQ(t.getLevel(), r.getLevel());
    EXPECT_EQ(t.getRescaleCounter(), r.getRescaleCounter());
    EXPECT_TRUE(sameDevice(Device(DeviceType::GPU, 0), r.getDevice()));
    EXPECT_EQ((std::map<std::string, u64>{{"Relinearize (GPU)", 1}}), getOpHistory(context));
    Ciphertext self = t;
    eval.relinearize(self, self);
    EXPECT_EQ(2u, self.getSize());
    EXPECT_TRUE(slotsAre(self.message(), [](u64 k) { return a(k) * a(k); }));

    // A size-3 ciphertext cannot be multiplied before relinearisation; a product leaves size 2.
    EXPECT_EQ("Size > 2 is not supported yet", thrownMessage([&] { eval.mult(t, first, r); }));
    Ciphertext big(context);
    big.setSize(3);
    eval.mult(first, first, big);
    EXPECT_EQ(2u, big.getSize());
}

TEST_F(CiphertextArithmeticTest, RescaleCounterOfMultWithoutRescaleWraps) {
    first.setRescaleCounter(INT_MAX);
    Ciphertext res(context);
    eval.multWithoutRescale(first, kConstant, res);
    EXPECT_EQ(INT_MIN, res.getRescaleCounter());
}

TEST_F(CiphertextArithmeticTest, IntegralConstantsKeepTheLevel) {
    struct Case {
        Complex c;
        bool integral;
    };
    const std::vector<Case> cases = {
        {{2, 0}, true},          {{2.5, 0}, false},     {{3 + 5e-9, 0}, true},  {{2, 1e-9}, true},
        {{2, 1e-7}, false},      {{kNaN, 0}, true},     {{kInf, -kInf}, true}, {{2.5, kNaN}, false},
        {{1e-9, -1e-9}, true},   {{-2.5, 0}, false},    {{0, 0.5}, false},     {{1e300, 0}, true},
        {{-7, 3}, true},         {{2 + 1.1e-8, 0}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.c);
        Ciphertext res(context);
        clearOpHistory(context);
        eval.mult(first, c.c, res);
        EXPECT_EQ(c.integral ? 5u : 4u, res.getLevel());
        EXPECT_EQ(0, res.getRescaleCounter());
        EXPECT_EQ(1u, countOf(context, c.integral ? "ctxt * int" : "ctxt * cnst"));
        EXPECT_EQ(1u, getOpHistory(context).size());
        EXPECT_TRUE(slotsAre(res.message(), [&](u64 k) { return a(k) * c.c; }));
    }
}

TEST_F(CiphertextArithmeticTest, MultIntegerByOneCopiesTheWholeOperand) {
    const Context other = makeContext(ParameterPreset::FX);
    Ciphertext res(other);
    first.setSize(3);
    first.allocate(Device(DeviceType::GPU, 4));
    clearOpHistory(context);
    eval.multInteger(first, 1, res);
    EXPECT_EQ(first.context().get(), res.context().get());
    EXPECT_EQ(3u, res.getSize());
    EXPECT_EQ(5u, res.getLevel());
    EXPECT_TRUE(sameDevice(Device(DeviceType::GPU, 4), res.getDevice()));
    EXPECT_TRUE(slotsAre(res.message(), a));
    EXPECT_TRUE(getOpHistory(context).empty());
}

// Each row makes two or more checks fail at once (or none); the first in the fixed order decides. The
// result starts with size 9, so `sizeAfter` shows what was written before the failing check.
struct CheckRow {
    const char* name;
    std::function<void(Ciphertext& x, Ciphertext& y, Plaintext& p, Message& m)> setUp;
    std::function<void(const HomEvaluator&, const Ciphertext& x, const Ciphertext& y, const Plaintext& p,
                       const Message& m, Ciphertext& res)>
        run;
    const char* message;
    u64 sizeAfter;
};

std::vector<CheckRow> checkRows() {
    const auto addCt = [](auto& e, auto& x, auto& y, auto&, auto&, auto& r) { e.add(x, y, r); };
    const auto subCt = [](auto& e, auto& x, auto& y, auto&, auto&, auto& r) { e.sub(x, y, r); };
    const auto addPt = [](auto& e, auto& x, auto&, auto& p, auto&, auto& r) { e.add(x, p, r); };
    const auto subPt = [](auto& e, auto& x, auto&, auto& p, auto&, auto& r) { e.sub(x, p, r); };
    const auto addMsg = [](auto& e, auto& x, auto&, auto&, auto& m, auto& r) { e.add(x, m, r); };
    const auto multCnst = [](auto& e, auto& x, auto&, auto&, auto&, auto& r) { e.mult(x, kConstant, r); };
    const auto multMsg = [](auto& e, auto& x, auto&, auto&, auto& m, auto& r) { e.mult(x, m, r); };
    const auto multPt = [](auto& e, auto& x, auto&, auto& p, auto&, auto& r) { e.mult(x, p, r); };
    const auto multCt = [](auto& e, auto& x, auto& y, auto&, auto&, auto& r) { e.mult(x, y, r); };
    const auto wrCnst = [](auto& e, auto& x, auto&, auto&, auto&, auto& r) { e.multWithoutRescale(x, kConstant, r); };
    const auto wrPt = [](auto& e, auto& x, auto&, auto& p, auto&, auto& r) { e.multWithoutRescale(x, p, r); };
    const auto wrCt = [](auto& e, auto& x, auto& y, auto&, auto&, auto& r) { e.multWithoutRescale(x, y, r); };
    const auto tensor = [](auto& e, auto& x, auto& y, auto&, auto&, auto& r) { e.tensor(x, y, r); };
    const auto relin = [](auto& e, auto& x, auto&, auto&, auto&, auto& r) { e.relinearize(x, r); };
    const char* logSlots = "Two operands have different logSlots";
    const char* rescales = "Two operands have different RescaleCounter";
    const char* levelZero = "The level of the operand is zero";
    const char* one = "The Operand should have rescale counter zero";
    const char* both = "The Operands should have rescale counter zero";
    const char* levels = "Operands have different levels.";
    const char* sizes = "Size > 2 is not supported yet";
    const char* none = "<no exception>";
    return {
        {"add ct: log slots and counter",
         [](auto&, auto& y, auto&, auto&) { y.setLogSlots(3), y.setRescaleCounter(1); },
         addCt, logSlots, 9},
        {"add ct: counter", [](auto&, auto& y, auto&, auto&) { y.setRescaleCounter(1); }, addCt, rescales, 9},
        {"sub ct: log slots", [](auto&, auto& y, auto&, auto&) { y.setLogSlots(3), y.setSize(3); }, subCt, logSlots,
         3},
        {"add pt: log slots and counter",
         [](auto&, auto&, auto& p, auto&) { p.setLogSlots(3), p.setRescaleCounter(2); },
         addPt, logSlots, 2},
        {"sub pt: counter", [](auto&, auto&, auto& p, auto&) { p.setRescaleCounter(2); }, subPt, rescales, 2},
        {"add pt: levels are not compared", [](auto&, auto&, auto& p, auto&) { p.setLevel(0); }, addPt, none, 2},
        {"add msg: log slots", [](auto&, auto&, auto&, auto& m) { m.resize(16); }, addMsg, logSlots, 2},
        {"add msg: empty message", [](auto& x, auto&, auto&, auto& m) { m.resize(0), x.setLogSlots(0); }, addMsg,
         logSlots, 2},
        {"mult cnst: level and counter", [](auto& x, auto&, auto&, auto&) { x.setLevel(0), x.setRescaleCounter(1); },
         multCnst, levelZero, 2},
        {"mult cnst: counter", [](auto& x, auto&, auto&, auto&) { x.setLevel(1), x.setRescaleCounter(1); }, multCnst,
         one, 2},
        {"mult msg: level, counter and log slots",
         [](auto& x, auto&, auto&, auto& m) { x.setLevel(0), x.setRescaleCounter(1), m.resize(16); }, multMsg,
         levelZero, 2},
        {"mult msg: counter and log slots",
         [](auto& x, auto&, auto&, auto& m) { x.setRescaleCounter(1), m.resize(16); },
         multMsg, one, 2},
        {"mult msg: log slots", [](auto&, auto&, auto&, auto& m) { m.resize(16); }, multMsg, logSlots, 2},
        {"mult pt: plaintext level and counter",
         [](auto& x, auto&, auto& p, auto&) { p.setLevel(0), x.setRescaleCounter(3); },
         multPt, levelZero, 2},
        {"mult pt: plaintext counter", [](auto&, auto&, auto& p, auto&) { p.setRescaleCounter(1); }, multPt, both, 2},
        {"mult pt: log slots and levels are not compared",
         [](auto&, auto&, auto& p, auto&) { p.setLogSlots(2), p.setLevel(9); }, multPt, none, 2},
        {"mult ct: size, level and counter",
         [](auto& x, auto& y, auto&, auto&) { y.setSize(3), x.setLevel(0), x.setRescaleCounter(1); }, multCt, sizes, 9},
        {"mult ct: second level and counter",
         [](auto&, auto& y, auto&, auto&) { y.setLevel(0), y.setRescaleCounter(1); },
         multCt, levelZero, 9},
        {"mult ct: second counter", [](auto&, auto& y, auto&, auto&) { y.setRescaleCounter(-1); }, multCt, both, 9},
        {"mult ct: log slots are not compared", [](auto&, auto& y, auto&, auto&) { y.setLogSlots(1); }, multCt, none,
         2},
        {"multWithoutRescale cnst: counter is not checked",
         [](auto& x, auto&, auto&, auto&) { x.setRescaleCounter(4); }, wrCnst, none, 2},
        {"multWithoutRescale cnst: level", [](auto& x, auto&, auto&, auto&) { x.setLevel(0); }, wrCnst, levelZero, 2},
        {"multWithoutRescale pt: levels and level zero", [](auto&, auto&, auto& p, auto&) { p.setLevel(0); }, wrPt,
         levels, 2},
        {"multWithoutRescale pt: level zero and counter",
         [](auto& x, auto&, auto& p, auto&) { x.setLevel(0), p.setLevel(0), p.setRescaleCounter(1); }, wrPt, levelZero,
         2},
        {"multWithoutRescale pt: counter and log slots",
         [](auto&, auto&, auto& p, auto&) { p.setRescaleCounter(1), p.setLogSlots(1); }, wrPt, both, 2},
        {"multWithoutRescale pt: log slots", [](auto&, auto&, auto& p, auto&) { p.setLogSlots(1); }, wrPt, logSlots, 2},
        {"multWithoutRescale ct: size and levels", [](auto& x, auto&, auto&, auto&) { x.setSize(1); }, wrCt, sizes, 9},
        {"multWithoutRescale ct: levels and counter",
         [](auto&, auto& y, auto&, auto&) { y.setLevel(4), y.setRescaleCounter(1); },
         wrCt, levels, 9},
        {"multWithoutRescale ct: level zero and counter",
         [](auto& x, auto& y, auto&, auto&) { x.setLevel(0), y.setLevel(0), y.setRescaleCounter(1); }, wrCt, levelZero,
         9},
        {"multWithoutRescale ct: counter", [](auto& x, auto&, auto&, auto&) { x.setRescaleCounter(1); }, wrCt, both, 9},
        {"tensor: levels and log slots", [](auto&, auto& y, auto&, auto&) { y.setLevel(4), y.setLogSlots(4); }, tensor,
         levels, 9},
        {"tensor: log slots", [](auto&, auto& y, auto&, auto&) { y.setLogSlots(4); }, tensor, logSlots, 9},
        {"tensor: any size, counter and level zero",
         [](auto& x, auto& y, auto&, auto&) { y.setLevel(0), x.setLevel(0), x.setSize(5), y.setRescaleCounter(-3); },
         tensor, none, 6},
        {"relinearize: size 2", [](auto&, auto&, auto&, auto&) {}, relin,
         "[relinearize] the length of the input ciphertext should be >= 3.", 9},
        {"relinearize: size 3", [](auto& x, auto&, auto&, auto&) { x.setSize(3); }, relin, none, 2},
    };
}

TEST_F(CiphertextArithmeticTest, FirstFailingCheckDecidesAndEarlierWritesStay) {
    for (const CheckRow& row : checkRows()) {
        SCOPED_TRACE(row.name);
        // Both ciphertexts at level 5 unless a row says otherwise.
        Ciphertext x = first, y = second;
        y.setLevel(first.getLevel());
        Plaintext p = plain;
        Message m = message;
        row.setUp(x, y, p, m);
        Ciphertext res(context);
        res.setSize(9);
        res.setLevel(17);
        clearOpHistory(context);
        const std::string thrown = thrownMessage([&] { row.run(eval, x, y, p, m, res); });
        EXPECT_EQ(row.message, thrown);
        EXPECT_EQ(row.sizeAfter, res.getSize());
        if (thrown != "<no exception>") {
            EXPECT_EQ(17u, res.getLevel());
            EXPECT_TRUE(getOpHistory(context).empty());
        }
    }
}

TEST(CiphertextKeyTest, ProductsWithoutMultiplicationKey) {
    const Context context = makeContext(ParameterPreset::FX);
    const KeyPack pack(context);
    const HomEvaluator eval(context, pack);
    const Ciphertext x = ciphertextOf(context, a, 5);
    Ciphertext res(context);
    res.setSize(9);
    EXPECT_EQ("[mult] no multiplication key", thrownMessage([&] { eval.mult(x, x, res); }));
    EXPECT_EQ("[mult] no multiplication key", thrownMessage([&] { eval.square(x, res); }));
    EXPECT_EQ("[multWithoutRescale] no multiplication key", thrownMessage([&] { eval.multWithoutRescale(x, x, res); }));
    EXPECT_EQ(9u, res.getSize());
    // The key test comes after the other checks.
    Ciphertext zero = x;
    zero.setLevel(0);
    EXPECT_EQ("The level of the operand is zero", thrownMessage([&] { eval.mult(zero, x, res); }));

    Ciphertext three = x;
    three.setSize(3);
    EXPECT_EQ("[relinearize] no multiplication key", thrownMessage([&] { eval.relinearize(three, res); }));
    EXPECT_EQ(2u, res.getSize());
    // Neither tensor nor the products with constants, messages or plaintexts need the key.
    eval.tensor(x, x, res);
    eval.mult(x, Complex(0.5, 0), res);
    EXPECT_EQ(1u, countOf(context, "Tensor"));
    EXPECT_EQ(1u, countOf(context, "ctxt * cnst"));
    EXPECT_EQ(0u, countOf(context, "ctxt * ctxt"));
}

TEST_F(CiphertextArithmeticTest, DifferentDevicesAreRefusedAfterTheResultWasWritten) {
    first.allocate(Device(DeviceType::GPU, 0));
    second.allocate(Device(DeviceType::GPU, 1));
    second.setLevel(5);
    plain.allocate(Device(DeviceType::GPU, 1));
    const std::vector<std::pair<const char*, std::function<void(Ciphertext&)>>> rows = {
        {"add ct", [&](Ciphertext& r) { eval.add(first, second, r); }},
        {"sub ct", [&](Ciphertext& r) { eval.sub(first, second, r); }},
        {"add pt", [&](Ciphertext& r) { eval.add(first, plain, r); }},
        {"mult ct", [&](Ciphertext& r) { eval.mult(first, second, r); }},
        {"multWithoutRescale pt", [&](Ciphertext& r) { eval.multWithoutRescale(first, plain, r); }},
        {"multWithoutRescale ct", [&](Ciphertext& r) { eval.multWithoutRescale(first, second, r); }},
        {"tensor", [&](Ciphertext& r) { eval.tensor(first, second, r); }},
    };
    for (const auto& [name, run] : rows) {
        SCOPED_TRACE(name);
        Ciphertext res(context);
        res.setLevel(20);
        clearOpHistory(context);
        EXPECT_EQ("Operands have different devices.", thrownMessage([&] { run(res); }));
        EXPECT_NE(20u, res.getLevel());
        EXPECT_FALSE(sameSlot(res.message()[1], Complex()));
        EXPECT_TRUE(sameDevice(Device(), res.getDevice()));
        EXPECT_TRUE(getOpHistory(context).empty());
    }
    // The product with a plaintext and the forms with a message do not compare devices.
    Ciphertext res(context);
    eval.mult(first, plain, res);
    EXPECT_TRUE(sameDevice(Device(DeviceType::GPU, 0), res.getDevice()));
    message.allocate(Device(DeviceType::GPU, 5));
    eval.add(first, message, res);
    eval.mult(first, message, res);
    EXPECT_TRUE(sameDevice(Device(DeviceType::GPU, 0), res.getDevice()));
    EXPECT_EQ(1u, countOf(context, "ctxt * ptxt (GPU)"));
}

// A message of 2^k slots is added to, or multiplies, every block of 2^k slots.
TEST_F(CiphertextArithmeticTest, ShortMessagesAreSpreadOverEveryBlock) {
    struct Case {
        u64 logSlots;
        u64 messageSize;
    };
    for (const Case& c : std::vector<Case>{{2, 4}, {0, 1}, {4, 16}, {2, 5}, {2, 7}}) {
        SCOPED_TRACE(::testing::Message() << c.messageSize << " slots, log slots " << c.logSlots);
        first.setLogSlots(c.logSlots);
        const Message m = messageOfSize(c.messageSize, b);
        const Message spread = replicateMessage(m, 5);
        Ciphertext sum(context), difference(context), product(context);
        eval.add(first, m, sum);
        eval.sub(first, m, difference);
        eval.mult(first, m, product);
        EXPECT_TRUE(slotsAre(sum.message(), [&](u64 k) { return plus(a(k), spread[k]); }));
        EXPECT_TRUE(slotsAre(difference.message(), [&](u64 k) { return minus(a(k), spread[k]); }));
        EXPECT_TRUE(slotsAre(product.message(), [&](u64 k) { return a(k) * spread[k]; }));
        EXPECT_EQ(c.logSlots, product.getLogSlots());
    }
    first.setLogSlots(2);
    Ciphertext res(context);
    EXPECT_EQ("Two operands have different logSlots", thrownMessage([&] { eval.add(first, messageOfSize(8, b), res); }));
    EXPECT_EQ("Two operands have different logSlots", thrownMessage([&] { eval.mult(first, messageOfSize(8, b), res); }));
}

// Objects of another log dimension hold another number of slots: operands of unequal lengths are refused and
// a result takes its operand's length.
TEST_F(CiphertextArithmeticTest, OperandsOfOtherLengthsAreRefusedAndResultsResized) {
    const Context large = makeContext(ParameterPreset::SD3);
    Ciphertext longer = ciphertextOf(large, b, 5);
    longer.setLogSlots(5);
    Plaintext longerPlain = plaintextOf(large, b, 5);
    longerPlain.setLogSlots(5);

    const std::string different = "Operands have different numbers of slots.";
    Ciphertext res(context);
    res.setLevel(17);
    EXPECT_EQ(different, thrownMessage([&] { eval.add(first, longer, res); }));
    EXPECT_EQ(different, thrownMessage([&] { eval.mult(first, longer, res); }));
    EXPECT_EQ(different, thrownMessage([&] { eval.tensor(first, longer, res); }));
    EXPECT_EQ(different, thrownMessage([&] { eval.add(first, longerPlain, res); }));
    EXPECT_EQ(different, thrownMessage([&] { eval.mult(first, longerPlain, res); }));
    EXPECT_EQ(different, thrownMessage([&] { eval.add(longer, message, res); }));
    EXPECT_EQ(32u, res.message().getSize());
    EXPECT_EQ(17u, res.getLevel());

    for (const u64 resultSize : {u64{4096}, u64{8}}) {
        Ciphertext other = ciphertextOf(large, b, 4);
        other.message().resize(resultSize);
        eval.add(first, second, other);
        EXPECT_EQ(32u, other.message().getSize());
        EXPECT_TRUE(slotsAre(other.message(), [](u64 k) { return plus(a(k), b(k)); }));
        eval.negate(longer, other);
        EXPECT_EQ(4096u, other.message().getSize());
        EXPECT_TRUE(slotsAre(other.message(), [](u64 k) { return Complex(-b(k).real(), -b(k).imag()); }));
    }
}

TEST_F(CiphertextArithmeticTest, ConcurrentOperationsOnOneContextCountExactly) {
    clearOpHistory(context);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            Ciphertext res(context);
            for (int k = 0; k < 250; ++k) {
                eval.negate(first, res);
                eval.mult(first, first, res);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(1000u, countOf(context, "Negate ctxt"));
    EXPECT_EQ(1000u, countOf(context, "ctxt * ctxt"));
}

} // namespace
} // namespace evaltest
