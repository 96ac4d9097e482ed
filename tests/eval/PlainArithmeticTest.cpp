// Message and plaintext forms of the evaluator: slot rules, bookkeeping, checks, result handling, aliasing
// and devices; none counts anything.
#include "tests/eval/EvalTestSupport.hpp"

#include <climits>

namespace evaltest {
namespace {

Complex a(u64 i) { return firstSlot(i); }
Complex b(u64 i) { return secondSlot(i); }
Complex plus(Complex x, Complex y) { return {x.real() + y.real(), x.imag() + y.imag()}; }
Complex minus(Complex x, Complex y) { return {x.real() - y.real(), x.imag() - y.imag()}; }
Complex negated(Complex x) { return {-x.real(), -x.imag()}; }
Complex conjugated(Complex x) { return {x.real(), -x.imag()}; }
const Complex kConstant(-0.5, 2);
const Complex kI(0, 1);

class PlainArithmeticTest : public EvalFixture {
protected:
    void SetUp() override { clearOpHistory(context); }
    void TearDown() override { EXPECT_TRUE(getOpHistory(context).empty()) << "message and plaintext forms count"; }
};

// Two message operands of 8 slots.
struct MessageRow {
    const char* name;
    std::function<void(const HomEvaluator&, const Message&, const Message&, Message&)> run;
    std::function<Complex(u64)> expected;
};

std::vector<MessageRow> messageRows() {
    return {
        {"negate", [](auto& e, auto& x, auto&, auto& r) { e.negate(x, r); }, [](u64 k) { return negated(a(k)); }},
        {"add constant", [](auto& e, auto& x, auto&, auto& r) { e.add(x, kConstant, r); },
         [](u64 k) { return plus(a(k), kConstant); }},
        {"sub constant", [](auto& e, auto& x, auto&, auto& r) { e.sub(x, kConstant, r); },
         [](u64 k) { return minus(a(k), kConstant); }},
        {"mult constant", [](auto& e, auto& x, auto&, auto& r) { e.mult(x, kConstant, r); },
         [](u64 k) { return a(k) * kConstant; }},
        {"add", [](auto& e, auto& x, auto& y, auto& r) { e.add(x, y, r); }, [](u64 k) { return plus(a(k), b(k)); }},
        {"sub", [](auto& e, auto& x, auto& y, auto& r) { e.sub(x, y, r); }, [](u64 k) { return minus(a(k), b(k)); }},
        {"mult", [](auto& e, auto& x, auto& y, auto& r) { e.mult(x, y, r); }, [](u64 k) { return a(k) * b(k); }},
        {"multImagUnit", [](auto& e, auto& x, auto&, auto& r) { e.multImagUnit(x, r); },
         [](u64 k) { return a(k) * kI; }},
        {"square", [](auto& e, auto& x, auto&, auto& r) { e.square(x, r); }, [](u64 k) { return a(k) * a(k); }},
        {"conjugate", [](auto& e, auto& x, auto&, auto& r) { e.conjugate(x, r); },
         [](u64 k) { return conjugated(a(k)); }},
        {"leftRotate 3", [](auto& e, auto& x, auto&, auto& r) { e.leftRotate(x, 3, r); },
         [](u64 k) { return a((k + 3) % 8); }},
        {"leftRotate 11 is 3", [](auto& e, auto& x, auto&, auto& r) { e.leftRotate(x, 11, r); },
         [](u64 k) { return a((k + 3) % 8); }},
        {"leftRotate 8 is 0", [](auto& e, auto& x, auto&, auto& r) { e.leftRotate(x, 8, r); }, a},
        {"rightRotate 3", [](auto& e, auto& x, auto&, auto& r) { e.rightRotate(x, 3, r); },
         [](u64 k) { return a((k + 5) % 8); }},
    };
}

TEST_F(PlainArithmeticTest, MessageFormsAndTheirResultMessage) {
    const Message x = messageOfSize(8, a);
    const Message y = messageOfSize(8, b);
    const Device gpu(DeviceType::GPU, 3);
    for (const MessageRow& row : messageRows()) {
        SCOPED_TRACE(row.name);
        // A result of another length is replaced on the default device; one of the same length keeps its own.
        Message shorter(2);
        shorter.allocate(gpu);
        row.run(eval, x, y, shorter);
        EXPECT_EQ(8u, shorter.getSize());
        EXPECT_TRUE(slotsAre(shorter, row.expected));

        Message same(3);
        same.allocate(gpu);
        row.run(eval, x, y, same);
        EXPECT_TRUE(slotsAre(same, row.expected));
        const bool rotation = std::string(row.name).find("Rotate") != std::string::npos;
        EXPECT_TRUE(sameDevice(same.getDevice(), rotation ? Device() : gpu));
        if (!rotation) {
            EXPECT_TRUE(sameDevice(shorter.getDevice(), Device()));
        }

        Message self = x;
        self.allocate(gpu);
        row.run(eval, self, y, self);
        EXPECT_TRUE(slotsAre(self, row.expected));
        EXPECT_TRUE(sameDevice(self.getDevice(), gpu));
    }
    // The second operand may be the result.
    Message other = y;
    eval.mult(x, other, other);
    EXPECT_TRUE(slotsAre(other, [](u64 k) { return a(k) * b(k); }));
}

TEST_F(PlainArithmeticTest, MessageChecksAndEdgeValues) {
    const Message eight = messageOfSize(8, a);
    Message res(0);
    res[0] = Complex(9, 9);
    const std::string logSlots = "Two operands have different logSlots";
    EXPECT_EQ(logSlots, thrownMessage([&] { eval.add(eight, messageOfSize(4, b), res); }));
    EXPECT_EQ(logSlots, thrownMessage([&] { eval.sub(eight, messageOfSize(16, b), res); }));
    EXPECT_EQ(logSlots, thrownMessage([&] { eval.mult(eight, Message(), res); }));
    EXPECT_EQ(1u, res.getSize());
    EXPECT_EQ(9.0, res[0].real());

    // Lengths that are not powers of two: equal log slots are not enough, and the result takes the length.
    EXPECT_EQ("Operands have different numbers of slots.",
              thrownMessage([&] { eval.add(messageOfSize(5, a), messageOfSize(6, b), res); }));
    Message four(2);
    eval.add(messageOfSize(5, a), messageOfSize(5, b), four);
    EXPECT_EQ(5u, four.getSize());
    EXPECT_TRUE(slotsAre(four, [](u64 k) { return plus(a(k), b(k)); }));

    const Message zero = messageOfSize(1, [](u64) { return Complex(0.0, 0.0); });
    eval.negate(zero, res);
    EXPECT_TRUE(std::signbit(res[0].real()) && std::signbit(res[0].imag()));
    eval.conjugate(messageOfSize(1, [](u64) { return Complex(1, 0); }), res);
    EXPECT_TRUE(sameSlot(res[0], Complex(1, -0.0)));
    EXPECT_TRUE(std::signbit(res[0].imag()));
    eval.multImagUnit(messageOfSize(1, [](u64) { return Complex(1, 0); }), res);
    EXPECT_TRUE(sameSlot(res[0], Complex(0.0, 1)));
    EXPECT_FALSE(std::signbit(res[0].real()));
    // Squares need no level, counter or key.
    eval.square(eight, res);
    EXPECT_TRUE(slotsAre(res, [](u64 k) { return a(k) * a(k); }));
}

// A plaintext operand at level 5 with rescale counter 0 and full log slots, a second with slots b.
struct PlainRow {
    const char* name;
    std::function<void(const HomEvaluator&, const Plaintext&, const Plaintext&, Plaintext&)> run;
    std::function<Complex(u64)> expected;
    u64 level;
    int rescaleCounter;
    bool twoOperands;
};

std::vector<PlainRow> plainRows() {
    return {
        {"negate", [](auto& e, auto& x, auto&, auto& r) { e.negate(x, r); }, [](u64 k) { return negated(a(k)); }, 5, 0,
         false},
        {"add constant", [](auto& e, auto& x, auto&, auto& r) { e.add(x, kConstant, r); },
         [](u64 k) { return plus(a(k), kConstant); }, 5, 0, false},
        {"sub constant", [](auto& e, auto& x, auto&, auto& r) { e.sub(x, kConstant, r); },
         [](u64 k) { return minus(a(k), kConstant); }, 5, 0, false},
        {"add", [](auto& e, auto& x, auto& y, auto& r) { e.add(x, y, r); }, [](u64 k) { return plus(a(k), b(k)); }, 5,
         0, true},
        {"sub", [](auto& e, auto& x, auto& y, auto& r) { e.sub(x, y, r); }, [](u64 k) { return minus(a(k), b(k)); }, 5,
         0, true},
        {"multImagUnit", [](auto& e, auto& x, auto&, auto& r) { e.multImagUnit(x, r); },
         [](u64 k) { return a(k) * kI; }, 5, 0, false},
        {"multInteger 3", [](auto& e, auto& x, auto&, auto& r) { e.multInteger(x, 3, r); },
         [](u64 k) { return Complex(3 * a(k).real(), 3 * a(k).imag()); }, 5, 0, false},
        {"mult constant keeps the level", [](auto& e, auto& x, auto&, auto& r) { e.mult(x, kConstant, r); },
         [](u64 k) { return a(k) * kConstant; }, 5, 0, false},
        {"mult keeps the level", [](auto& e, auto& x, auto& y, auto& r) { e.mult(x, y, r); },
         [](u64 k) { return a(k) * b(k); }, 5, 0, true},
        {"square", [](auto& e, auto& x, auto&, auto& r) { e.square(x, r); }, [](u64 k) { return a(k) * a(k); }, 5, 0,
         false},
        {"multWithoutRescale constant",
         [](auto& e, auto& x, auto&, auto& r) { e.impl->multWithoutRescale(x, kConstant, r); },
         [](u64 k) { return a(k) * kConstant; }, 5, 1, false},
        {"multWithoutRescale", [](auto& e, auto& x, auto& y, auto& r) { e.impl->multWithoutRescale(x, y, r); },
         [](u64 k) { return a(k) * b(k); }, 5, 1, true},
        {"relevel up", [](auto& e, auto& x, auto&, auto& r) { e.relevel(x, 24, r); }, a, 24, 0, false},
        {"relevel down", [](auto& e, auto& x, auto&, auto& r) { e.relevel(x, 0, r); }, a, 0, 0, false},
        {"conjugate", [](auto& e, auto& x, auto&, auto& r) { e.conjugate(x, r); },
         [](u64 k) { return conjugated(a(k)); }, 5, 0, false},
        {"leftRotate 3", [](auto& e, auto& x, auto&, auto& r) { e.leftRotate(x, 3, r); },
         [](u64 k) { return a((k + 3) % 32); }, 5, 0, false},
        {"leftRotate 0 copies", [](auto& e, auto& x, auto&, auto& r) { e.leftRotate(x, 0, r); }, a, 5, 0, false},
        {"rightRotate 1 is left by 31", [](auto& e, auto& x, auto&, auto& r) { e.rightRotate(x, 1, r); },
         [](u64 k) { return a((k + 31) % 32); }, 5, 0, false},
        {"rightRotate 0 copies", [](auto& e, auto& x, auto&, auto& r) { e.rightRotate(x, 0, r); }, a, 5, 0, false},
    };
}

TEST_F(PlainArithmeticTest, PlaintextFormsOnEveryDeviceAndInPlace) {
    for (const Device& device : {Device(), Device(DeviceType::GPU, 2), Device(DeviceType::CPU_PINNED, 1)}) {
        Plaintext x = plaintextOf(context, a, 5);
        Plaintext y = plaintextOf(context, b, 5);
        x.allocate(device);
        y.allocate(device);
        for (const PlainRow& row : plainRows()) {
            SCOPED_TRACE(std::string(row.name) + " on device type " + std::to_string(static_cast<int>(device.type())));
            Plaintext res(context);
            res.setLevel(17);
            res.setLogSlots(2);
            res.setRescaleCounter(-6);
            row.run(eval, x, y, res);
            EXPECT_TRUE(slotsAre(res.message(), row.expected));
            EXPECT_EQ(row.level, res.getLevel());
            EXPECT_EQ(row.rescaleCounter, res.getRescaleCounter());
            EXPECT_EQ(5u, res.getLogSlots());
            EXPECT_TRUE(sameDevice(device, res.getDevice()));

            Plaintext self = x;
            row.run(eval, self, y, self);
            EXPECT_TRUE(slotsAre(self.message(), row.expected));
            EXPECT_EQ(row.level, self.getLevel());
            if (row.twoOperands) {
                Plaintext other = y;
                row.run(eval, x, other, other);
                EXPECT_TRUE(slotsAre(other.message(), row.expected));
            }
        }
    }
}

TEST_F(PlainArithmeticTest, PlaintextChecksInOrder) {
    struct Row {
        const char* name;
        u64 level1, level2;
        int rescale1, rescale2;
        u64 logSlots2;
        std::function<void(const HomEvaluator&, const Plaintext&, const Plaintext&, Plaintext&)> run;
        const char* message;
    };
    const auto add = [](auto& e, auto& x, auto& y, auto& r) { e.add(x, y, r); };
    const auto sub = [](auto& e, auto& x, auto& y, auto& r) { e.sub(x, y, r); };
    const auto mult = [](auto& e, auto& x, auto& y, auto& r) { e.mult(x, y, r); };
    const auto multCnst = [](auto& e, auto& x, auto&, auto& r) { e.mult(x, kConstant, r); };
    const auto wr = [](auto& e, auto& x, auto& y, auto& r) { e.impl->multWithoutRescale(x, y, r); };
    const auto wrCnst = [](auto& e, auto& x, auto&, auto& r) { e.impl->multWithoutRescale(x, kConstant, r); };
    const auto square = [](auto& e, auto& x, auto&, auto& r) { e.square(x, r); };
    const char* levels = "Operands have different levels.";
    const char* logSlots = "Two operands have different logSlots";
    const char* rescales = "Two operands have different RescaleCounter";
    const char* both = "The Operands should have rescale counter zero";
    const char* none = "<no exception>";
    const std::vector<Row> rows = {
        {"add: levels, log slots, counter", 3, 2, 0, 1, 2, add, levels},
        {"add: log slots and counter", 3, 3, 0, 1, 2, add, logSlots},
        {"sub: counter", 3, 3, 0, 1, 5, sub, rescales},
        {"add: counters may be non-zero", 3, 3, 2, 2, 5, add, none},
        {"mult: levels and counter", 3, 2, 1, 0, 5, mult, levels},
        {"mult: counter and log slots", 3, 3, 1, 0, 2, mult, both},
        {"mult: log slots", 3, 3, 0, 0, 2, mult, logSlots},
        {"mult by constant: level 3, counter 2", 3, 3, 2, 0, 5, multCnst, none},
        {"mult by constant: level zero", 0, 3, 0, 0, 5, multCnst, "The level of the operand is zero"},
        {"multWithoutRescale: counter and log slots", 3, 1, 0, 1, 2, wr, both},
        {"multWithoutRescale: levels are not compared", 3, 1, 0, 0, 2, wr, logSlots},
        {"multWithoutRescale by constant: nothing checked", 0, 0, -9, 0, 5, wrCnst, none},
        {"square: counter", 3, 3, 1, 1, 5, square, both},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Plaintext x = plaintextOf(context, a, row.level1, row.rescale1);
        Plaintext y = plaintextOf(context, b, row.level2, row.rescale2);
        y.setLogSlots(row.logSlots2);
        Plaintext res(context);
        res.setLevel(17);
        EXPECT_EQ(row.message, thrownMessage([&] { row.run(eval, x, y, res); }));
        if (std::string(row.message) != none) {
            EXPECT_EQ(17u, res.getLevel());
        }
    }
    // A product with a constant looks at neither the counter nor integrality, and keeps the level.
    Plaintext res(context);
    eval.mult(plaintextOf(context, a, 3, 2), Complex(2, 0), res);
    EXPECT_EQ(3u, res.getLevel());
    EXPECT_EQ(2, res.getRescaleCounter());
}

TEST_F(PlainArithmeticTest, RescaleInverseRescaleAndRelevelLimits) {
    const u64 top = context->parameter.chain_length - 1;
    Plaintext p = plaintextOf(context, a, 3, 1);
    eval.rescale(p);
    EXPECT_EQ(2u, p.getLevel());
    EXPECT_EQ(0, p.getRescaleCounter());
    EXPECT_EQ("[rescale] Rescale Counter of the Plaintext is zero or less", thrownMessage([&] { eval.rescale(p); }));
    p.setRescaleCounter(-2);
    EXPECT_EQ("[rescale] Rescale Counter of the Plaintext is zero or less", thrownMessage([&] { eval.rescale(p); }));
    p.setLevel(0);
    EXPECT_EQ("The level of the operand is zero", thrownMessage([&] { eval.rescale(p); }));
    EXPECT_TRUE(slotsAre(p.message(), a));

    const std::string tooHigh =
        "[inverseRescale] Cannot inverseRescale when the level is greater than or equal to the maximum level";
    p.setLevel(top - 1);
    p.setRescaleCounter(-5);
    eval.inverseRescale(p);
    EXPECT_EQ(top, p.getLevel());
    EXPECT_EQ(-4, p.getRescaleCounter());
    EXPECT_EQ(tooHigh, thrownMessage([&] { eval.inverseRescale(p); }));
    p.setLevel(top - 1);
    p.setRescaleCounter(INT_MAX);
    eval.inverseRescale(p);
    EXPECT_EQ(INT_MIN, p.getRescaleCounter());

    Plaintext res(context);
    p.setLevel(2);
    eval.relevel(p, top, res);
    EXPECT_EQ(top, res.getLevel());
    res.setLevel(9);
    EXPECT_EQ("[relevel] target_level too big", thrownMessage([&] { eval.relevel(p, top + 1, res); }));
    EXPECT_EQ(9u, res.getLevel());
}

TEST_F(PlainArithmeticTest, TwoPlaintextsOnDifferentDevicesFailAfterTheResultWasWritten) {
    Plaintext x = plaintextOf(context, a, 5);
    Plaintext y = plaintextOf(context, b, 5);
    x.allocate(Device(DeviceType::GPU, 0));
    y.allocate(Device(DeviceType::GPU, 1));
    const std::vector<std::function<void(Plaintext&)>> runs = {
        [&](Plaintext& r) { eval.add(x, y, r); },
        [&](Plaintext& r) { eval.sub(x, y, r); },
        [&](Plaintext& r) { eval.mult(x, y, r); },
        [&](Plaintext& r) { eval.impl->multWithoutRescale(x, y, r); },
    };
    for (const auto& run : runs) {
        Plaintext res(context);
        res.setLevel(20);
        EXPECT_EQ("Operands have different devices.", thrownMessage([&] { run(res); }));
        EXPECT_EQ(5u, res.getLevel());
        EXPECT_FALSE(sameSlot(res.message()[0], Complex()));
        EXPECT_TRUE(sameDevice(Device(), res.getDevice()));
    }
}

TEST_F(PlainArithmeticTest, RotationByZeroCopiesEveryField) {
    const Context other = makeContext(ParameterPreset::FX);
    Plaintext x = plaintextOf(context, a, 7, 3);
    x.setLogSlots(2);
    x.allocate(Device(DeviceType::GPU, 6));
    Plaintext res(other);
    eval.leftRotate(x, 0, res);
    EXPECT_EQ(x.context().get(), res.context().get());
    EXPECT_EQ(2u, res.getLogSlots());
    EXPECT_EQ(7u, res.getLevel());
    EXPECT_EQ(3, res.getRescaleCounter());
    EXPECT_TRUE(sameDevice(Device(DeviceType::GPU, 6), res.getDevice()));
    // The handle reduces the index modulo 2^log_slots (4 here) and rotates the whole slot vector.
    eval.leftRotate(x, 5, res);
    EXPECT_TRUE(slotsAre(res.message(), [](u64 k) { return a((k + 1) % 32); }));
    eval.leftRotate(x, 4, res);
    EXPECT_TRUE(slotsAre(res.message(), a));
}

TEST_F(PlainArithmeticTest, PlaintextsOfOtherLengths) {
    const Context large = makeContext(ParameterPreset::SD3);
    Plaintext x = plaintextOf(context, a, 5);
    Plaintext longer = plaintextOf(large, b, 5);
    longer.setLogSlots(5);
    Plaintext res(large);
    EXPECT_EQ("Operands have different numbers of slots.", thrownMessage([&] { eval.add(x, longer, res); }));
    EXPECT_EQ("Operands have different numbers of slots.", thrownMessage([&] { eval.mult(x, longer, res); }));
    EXPECT_EQ(4096u, res.message().getSize());
    eval.negate(x, res);
    EXPECT_EQ(32u, res.message().getSize());
    EXPECT_TRUE(slotsAre(res.message(), [](u64 k) { return negated(a(k)); }));
}

} // namespace
} // namespace evaltest
