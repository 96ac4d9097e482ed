// The evaluator's shared rules: the Annex G product, the slot kernels, the spread of a message, the slot
// rotation, the operand checks, the device rules and the counting rule.
#include "tests/eval/EvalTestSupport.hpp"

#include "morvane/eval/EvaluatorUtils.hpp"

#include <climits>
#include <limits>

namespace evaltest {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

struct ProductCase {
    Complex x;
    Complex y;
    Complex expected;
};

// Each both-NaN naive result must come back through the recovery of infinities; one NaN part stands.
const std::vector<ProductCase> kProducts = {
    {{2, 3}, {4, 5}, {-7, 22}},
    {{1, 0}, {0, 1}, {0.0, 1}},
    {{-0.0, -0.0}, {0, 1}, {0.0, -0.0}},
    {{kInf, 0}, {1, 0}, {kInf, kNaN}},
    {{kInf, kInf}, {1, 0}, {kInf, kInf}},
    {{kInf, kNaN}, {2, 0}, {kInf, kNaN}},
    {{kInf, -kInf}, {kNaN, 1}, {kInf, kInf}},
    {{kNaN, kNaN}, {1, 0}, {kNaN, kNaN}},
    {{0, 0}, {kInf, 0}, {kNaN, kNaN}},
    {{1, 1}, {kInf, kInf}, {kNaN, kInf}},
    {{kInf, 0}, {kInf, 0}, {kInf, kNaN}},
    {{-kInf, 0}, {0, 1}, {kNaN, -kInf}},
    {{1e300, kNaN}, {1e300, 0}, {kInf, kNaN}},
    {{1e300, 1e300}, {1e300, -1e300}, {kInf, kNaN}},
    {{kNaN, 1}, {kInf, 0}, {kNaN, kInf}},
};

TEST(SlotProductTest, FollowsAnnexGTable) {
    for (const ProductCase& c : kProducts) {
        const Complex got = utils::slotProduct(c.x, c.y);
        EXPECT_TRUE(sameSlot(got, c.expected)) << c.x << " * " << c.y << " gave " << got;
        // A conforming complex-double product agrees.
        EXPECT_TRUE(sameSlot(got, c.x * c.y)) << c.x << " * " << c.y;
    }
}

TEST(SlotProductTest, VectorKernelsApplyTheRecoveryAtEverySlot) {
    // Spans several chunks; the special cases sit at chunk edges and in between.
    const std::size_t n = 700;
    std::vector<Complex> a(n), b(n);
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = firstSlot(i);
        b[i] = secondSlot(i);
    }
    const std::vector<std::size_t> positions = {0, 1, 255, 256, 257, 511, 512, 600, 698, 699, 300, 301, 302, 303, 304};
    for (std::size_t k = 0; k < kProducts.size(); ++k) {
        a[positions[k]] = kProducts[k].x;
        b[positions[k]] = kProducts[k].y;
    }
    std::vector<Complex> out(n);
    utils::multSlots(a.data(), b.data(), out.data(), n);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_TRUE(sameSlot(out[i], utils::slotProduct(a[i], b[i]))) << "slot " << i;

    // Written over the first operand, the slots needing recovery still read their original factors.
    std::vector<Complex> inPlace = a;
    utils::multSlots(inPlace.data(), b.data(), inPlace.data(), n);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_TRUE(sameSlot(inPlace[i], out[i])) << "slot " << i;

    for (const ProductCase& c : kProducts) {
        std::vector<Complex> scaled = a;
        utils::multConstant(scaled.data(), c.y, scaled.data(), n);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_TRUE(sameSlot(scaled[i], utils::slotProduct(a[i], c.y))) << "slot " << i << " times " << c.y;
    }
}

// The products written straight into a separate result and those written over the second operand agree
// with the exact rule wherever a chunk holds a non-finite part.
TEST(SlotProductTest, DirectAndSecondOperandResultsAgreeWithTheExactRule) {
    const std::size_t n = 600;
    std::vector<Complex> a(n), b(n);
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = firstSlot(i);
        b[i] = secondSlot(i);
    }
    for (std::size_t k = 0; k < kProducts.size(); ++k) {
        a[40 * k + 3] = kProducts[k].x;
        b[40 * k + 3] = kProducts[k].y;
    }
    std::vector<Complex> overSecond = b;
    utils::multSlots(a.data(), overSecond.data(), overSecond.data(), n);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_TRUE(sameSlot(overSecond[i], utils::slotProduct(a[i], b[i]))) << "slot " << i;
    for (const ProductCase& c : kProducts) {
        std::vector<Complex> out(n);
        utils::multConstant(a.data(), c.y, out.data(), n);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_TRUE(sameSlot(out[i], utils::slotProduct(a[i], c.y))) << "slot " << i << " times " << c.y;
    }
}

TEST(SlotKernelsTest, PartWiseRulesAndSignedZeros) {
    const std::vector<Complex> a = {{0.0, 0.0}, {1, 0}, {-0.0, 2}, {kInf, kNaN}, {3, -4}};
    const std::vector<Complex> b = {{0.0, -0.0}, {-1, 0.5}, {0.0, 2}, {1, 1}, {-3, 4}};
    const std::size_t n = a.size();
    std::vector<Complex> out(n);

    utils::negateSlots(a.data(), out.data(), n);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_TRUE(sameSlot(out[i], Complex(-a[i].real(), -a[i].imag()))) << i;
    EXPECT_TRUE(std::signbit(out[0].real()) && std::signbit(out[0].imag()));

    utils::conjugateSlots(a.data(), out.data(), n);
    EXPECT_TRUE(sameSlot(out[1], Complex(1, -0.0)));
    EXPECT_TRUE(std::signbit(out[1].imag()));

    utils::addSlots(a.data(), b.data(), out.data(), n);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_TRUE(sameSlot(out[i], Complex(a[i].real() + b[i].real(), a[i].imag() + b[i].imag()))) << i;
    utils::subSlots(a.data(), b.data(), out.data(), n);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_TRUE(sameSlot(out[i], Complex(a[i].real() - b[i].real(), a[i].imag() - b[i].imag()))) << i;

    const Complex c(0.5, -2);
    utils::addConstant(a.data(), c, out.data(), n);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_TRUE(sameSlot(out[i], Complex(a[i].real() + 0.5, a[i].imag() - 2))) << i;
    utils::subConstant(a.data(), c, out.data(), n);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_TRUE(sameSlot(out[i], Complex(a[i].real() - 0.5, a[i].imag() + 2))) << i;

    // A real factor, not a complex product: 0 keeps the signs of the parts it multiplies.
    utils::multReal(a.data(), 0.0, out.data(), n);
    EXPECT_TRUE(sameSlot(out[2], Complex(-0.0, 0.0)));
    EXPECT_TRUE(std::signbit(out[2].real()));
    EXPECT_TRUE(sameSlot(out[4], Complex(0.0, -0.0)));

    // In place gives what a separate output gives.
    std::vector<Complex> inPlace = a;
    utils::addSlots(inPlace.data(), b.data(), inPlace.data(), n);
    utils::addSlots(a.data(), b.data(), out.data(), n);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_TRUE(sameSlot(inPlace[i], out[i])) << i;
}

TEST(SlotKernelsTest, MultiplicationByTheImaginaryUnitIsAProductNotASwap) {
    EXPECT_TRUE(sameSlot(utils::slotProduct({1, 0}, {0, 1}), Complex(0.0, 1)));
    EXPECT_FALSE(std::signbit(utils::slotProduct({1, 0}, {0, 1}).real()));
    // A swap would give (-0, inf).
    EXPECT_TRUE(sameSlot(utils::slotProduct({kInf, 0}, {0, 1}), Complex(kNaN, kInf)));
}

// The spread kernels agree with the replicate rule of messages, whatever the message length.
TEST(SlotKernelsTest, SpreadMatchesReplicateMessage) {
    const u64 logN = 10;
    const std::size_t n = std::size_t{1} << logN;
    Message ops(logN);
    fill(ops, firstSlot);
    for (const std::size_t m : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{5},
                                std::size_t{100}, std::size_t{255}, std::size_t{256}, std::size_t{300},
                                std::size_t{512}, n, n + 1}) {
        const Message msg = messageOfSize(m, secondSlot);
        Message spread = m == 0 ? Message(logN) : replicateMessage(msg, logN);
        std::vector<Complex> got(n), want(n);

        utils::addSpread(ops.begin(), msg.begin(), m, got.data(), n);
        utils::addSlots(ops.begin(), spread.begin(), want.data(), n);
        EXPECT_EQ(0, std::memcmp(got.data(), want.data(), n * sizeof(Complex))) << "add, m = " << m;

        utils::subSpread(ops.begin(), msg.begin(), m, got.data(), n);
        utils::subSlots(ops.begin(), spread.begin(), want.data(), n);
        EXPECT_EQ(0, std::memcmp(got.data(), want.data(), n * sizeof(Complex))) << "sub, m = " << m;

        utils::multSpread(ops.begin(), msg.begin(), m, got.data(), n);
        utils::multSlots(ops.begin(), spread.begin(), want.data(), n);
        EXPECT_EQ(0, std::memcmp(got.data(), want.data(), n * sizeof(Complex))) << "mult, m = " << m;
    }
}

TEST(SlotRotationTest, OnePassLeftAndRightInPlaceAndIntoAnother) {
    const Message in = messageOfSize(8, [](u64 i) { return Complex(static_cast<double>(i), 0); });
    struct Case {
        u64 r;
        bool left;
        std::vector<double> expected;
    };
    const std::vector<Case> cases = {
        {0, true, {0, 1, 2, 3, 4, 5, 6, 7}}, {3, true, {3, 4, 5, 6, 7, 0, 1, 2}},
        {8, true, {0, 1, 2, 3, 4, 5, 6, 7}}, {11, true, {3, 4, 5, 6, 7, 0, 1, 2}},
        {3, false, {5, 6, 7, 0, 1, 2, 3, 4}}, {0, false, {0, 1, 2, 3, 4, 5, 6, 7}},
        {8, false, {0, 1, 2, 3, 4, 5, 6, 7}},
    };
    for (const Case& c : cases) {
        Message out(1);
        out.allocate(Device(DeviceType::GPU, 2));
        Message self = in;
        self.allocate(Device(DeviceType::GPU, 1));
        if (c.left) {
            utils::rotateSlotsLeft(in, c.r, out);
            utils::rotateSlotsLeft(self, c.r, self);
        } else {
            utils::rotateSlotsRight(in, c.r, out);
            utils::rotateSlotsRight(self, c.r, self);
        }
        ASSERT_EQ(8u, out.getSize());
        for (u64 i = 0; i < 8; ++i) {
            EXPECT_EQ(c.expected[i], out[i].real()) << c.r << (c.left ? " left" : " right") << " slot " << i;
            EXPECT_EQ(c.expected[i], self[i].real()) << c.r << (c.left ? " left" : " right") << " slot " << i;
        }
        // A copy takes the input's device; in place the device stays.
        EXPECT_TRUE(sameDevice(out.getDevice(), Device()));
        EXPECT_TRUE(sameDevice(self.getDevice(), Device(DeviceType::GPU, 1)));
    }
}

TEST(RescaleCounterTest, WrapInsteadOfOverflowing) {
    EXPECT_EQ(3, utils::addRescaleCounters(1, 2));
    EXPECT_EQ(-4, utils::addRescaleCounters(-5, 1));
    EXPECT_EQ(INT_MIN, utils::addRescaleCounters(INT_MAX, 1));
    EXPECT_EQ(INT_MAX, utils::addRescaleCounters(INT_MIN, -1));
}

class SharedRulesTest : public EvalFixture {};

TEST_F(SharedRulesTest, CheckPreconditionTestsLogSlotsFirst) {
    struct Case {
        u64 logSlots;
        int rescaleCounter;
        const char* message;
    };
    const std::vector<Case> cases = {
        {5, 0, "<no exception>"},
        {4, 0, "Two operands have different logSlots"},
        {5, 1, "Two operands have different RescaleCounter"},
        {4, 1, "Two operands have different logSlots"},
    };
    for (const Case& c : cases) {
        Ciphertext a(context), b(context);
        Plaintext p(context), q(context);
        b.setLogSlots(c.logSlots);
        b.setRescaleCounter(c.rescaleCounter);
        q.setLogSlots(c.logSlots);
        q.setRescaleCounter(c.rescaleCounter);
        EXPECT_EQ(c.message, thrownMessage([&] { utils::checkPrecondition(a, b); }));
        EXPECT_EQ(c.message, thrownMessage([&] { utils::checkPrecondition(a, q); }));
        EXPECT_EQ(c.message, thrownMessage([&] { utils::checkPrecondition(p, q); }));
    }
}

TEST_F(SharedRulesTest, CommonDeviceComparesTypeAndIdThenAllocatesTheResult) {
    struct Case {
        Device first;
        Device second;
        bool throws;
    };
    const std::vector<Case> cases = {
        {Device(DeviceType::GPU, 1), Device(DeviceType::GPU, 1), false},
        {Device(DeviceType::GPU, 0), Device(DeviceType::GPU, 1), true},
        {Device(DeviceType::CPU, 0), Device(DeviceType::GPU, 0), true},
        {Device(DeviceType::CPU_PINNED, 3), Device(DeviceType::CPU_PINNED, 3), false},
    };
    for (const Case& c : cases) {
        Ciphertext a(context), b(context), res(context);
        a.allocate(c.first);
        b.allocate(c.second);
        res.allocate(Device(DeviceType::UNDEFINED, 9));
        const std::string message = thrownMessage([&] { utils::makeHavingCommonDeviceOrThrow(res, a, b); });
        EXPECT_EQ(c.throws ? "Operands have different devices." : "<no exception>", message);
        EXPECT_TRUE(sameDevice(res.getDevice(), c.throws ? Device(DeviceType::UNDEFINED, 9) : c.first));
    }
    EXPECT_TRUE(getOpHistory(context).count("To Device (ctxt)") == 0);
}

TEST_F(SharedRulesTest, CountingRuleByDeviceType) {
    clearOpHistory(context);
    for (int type = 0; type < 4; ++type)
        eval.impl->updateOpHistoryForDevice(labels::tensor, type);
    eval.impl->updateOpHistoryForDevice(labels::tensor, Device(DeviceType::GPU, 7));
    const std::map<std::string, u64> expected = {{"Tensor", 1}, {"Tensor (GPU)", 2}};
    EXPECT_EQ(expected, getOpHistory(context));
}

} // namespace
} // namespace evaltest
