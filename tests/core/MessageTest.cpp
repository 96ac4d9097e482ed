#include "morvane/core/Message.hpp"
#include "morvane/core/Pointer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

using namespace Morvane;

namespace {

std::vector<Complex> slotsOf(const Message& m) { return std::vector<Complex>(m.begin(), m.end()); }

Message messageOf(const std::vector<Complex>& values, Device device = getDefaultDevice()) {
    Message m;
    m.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        m[i] = values[i];
    m.to(device);
    return m;
}

std::vector<Complex> ramp(std::size_t n) {
    std::vector<Complex> values;
    for (std::size_t i = 0; i < n; ++i)
        values.emplace_back(0.5 + static_cast<double>(i), -0.25 * static_cast<double>(i));
    return values;
}

void expectDevice(const Message& m, DeviceType type, int id) {
    EXPECT_EQ(m.getDevice().type(), type);
    EXPECT_EQ(m.getDevice().id(), id);
}

// Counts how the handle treats its object.
struct Tracked {
    static inline int constructed = 0;
    static inline int destroyed = 0;
    int value = 0;
    explicit Tracked(int v) : value(v) { ++constructed; }
    Tracked(const Tracked& other) : value(other.value) { ++constructed; }
    Tracked& operator=(const Tracked&) = default;
    ~Tracked() { ++destroyed; }
};

const Complex a(1, 2), b(-3, 0.5), c(0, -1);
const Complex z(0, 0);

} // namespace

TEST(MessageTest, ConstructorsMakeZeroOrFilledSlotsOnTheDefaultDevice) {
    const Message empty;
    EXPECT_EQ(empty.getSize(), 0u);
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_EQ(empty.begin(), empty.end());
    expectDevice(empty, DeviceType::CPU, 0);

    const Message zeros(3);
    EXPECT_EQ(slotsOf(zeros), std::vector<Complex>(8, z));
    EXPECT_FALSE(zeros.isEmpty());
    expectDevice(zeros, DeviceType::CPU, 0);

    const Message filled(2, Complex(1.5, -2));
    EXPECT_EQ(slotsOf(filled), std::vector<Complex>(4, Complex(1.5, -2)));
    EXPECT_EQ(Message(0).getSize(), 1u);
}

TEST(MessageTest, ImpossibleSlotCountsThrowLengthError) {
    for (const unsigned long logSlots : {59UL, 63UL, 64UL, 65UL, 1000UL}) {
        SCOPED_TRACE(logSlots);
        EXPECT_THROW(Message m(logSlots), std::length_error);
        EXPECT_THROW(Message m(logSlots, a), std::length_error);
    }
}

TEST(MessageTest, LogSlotsIsTheFloorOfLog2) {
    const std::vector<std::pair<unsigned long, u64>> cases = {{0, kEmptyLogSlots}, {1, 0},  {2, 1},     {3, 1},
                                                              {6, 2},  {8, 3},  {1023, 9}, {1024, 10},
                                                              {1025, 10}, {65536, 16}};
    Message m;
    for (const auto& [size, logSlots] : cases) {
        SCOPED_TRACE(size);
        m.resize(size);
        EXPECT_EQ(m.getLogSlots(), logSlots);
    }
}

TEST(MessageTest, DeviceMovesTouchNoSlot) {
    Message m = messageOf({a, b});
    m.to(Device(DeviceType::GPU, 1));
    expectDevice(m, DeviceType::GPU, 1);
    EXPECT_EQ(slotsOf(m), (std::vector<Complex>{a, b}));
    m.allocate(Device(DeviceType::CPU_PINNED, 4));
    expectDevice(m, DeviceType::CPU_PINNED, 4);
    EXPECT_EQ(slotsOf(m), (std::vector<Complex>{a, b}));
}

TEST(MessageTest, ResizeKeepsSlotsAndDevice) {
    Message m(2, Complex(1, 1));
    m.to(Device(DeviceType::GPU, 2));
    m.resize(5);
    EXPECT_EQ(slotsOf(m), (std::vector<Complex>{{1, 1}, {1, 1}, {1, 1}, {1, 1}, z}));
    m.resize(2);
    EXPECT_EQ(slotsOf(m), (std::vector<Complex>{{1, 1}, {1, 1}}));
    expectDevice(m, DeviceType::GPU, 2);
}

TEST(MessageTest, CopyIsDeep) {
    const Message source = messageOf({a, b}, Device(DeviceType::GPU, 3));
    Message copy(source);
    copy[0] = c;
    EXPECT_EQ(source[0], a);
    EXPECT_EQ(copy[1], b);
    expectDevice(copy, DeviceType::GPU, 3);
    EXPECT_NE(copy.begin(), source.begin());
}

TEST(MessageTest, CopyAssignmentAssignsIntoTheTarget) {
    const Message source = messageOf({a, b, c, a}, Device(DeviceType::GPU, 0));
    Message target(4); // 16 slots on (CPU, 0)
    const std::vector<Complex>* storage = &target.slots();
    const Complex* data = target.begin();

    target = source;
    EXPECT_EQ(slotsOf(target), slotsOf(source));
    expectDevice(target, DeviceType::GPU, 0);
    // Same implementation object, and the slot storage reused since it was large enough.
    EXPECT_EQ(&target.slots(), storage);
    EXPECT_EQ(target.begin(), data);

    target[0] = b;
    EXPECT_EQ(source[0], a);

    Message& alias = target;
    target = alias;
    EXPECT_EQ(slotsOf(target), (std::vector<Complex>{b, b, c, a}));
    expectDevice(target, DeviceType::GPU, 0);
}

TEST(MessageTest, MovesTransferTheSlots) {
    Message source = messageOf({a, b}, Device(DeviceType::GPU, 1));
    const Complex* data = source.begin();
    Message moved(std::move(source));
    EXPECT_EQ(moved.begin(), data);
    expectDevice(moved, DeviceType::GPU, 1);

    Message target(3);
    target = std::move(moved);
    EXPECT_EQ(target.begin(), data);
    EXPECT_EQ(slotsOf(target), (std::vector<Complex>{a, b}));
}

TEST(PointerTest, CopyAssignmentKeepsTheTargetObject) {
    Tracked::constructed = 0;
    Tracked::destroyed = 0;
    {
        Pointer<Tracked> first(new Tracked(1));
        Pointer<Tracked> second(new Tracked(2));
        const Tracked* target = &*second;

        second = first;
        EXPECT_EQ(&*second, target);
        EXPECT_EQ(second->value, 1);
        EXPECT_EQ(Tracked::constructed, 2);

        Pointer<Tracked> copy(first);
        EXPECT_NE(&*copy, &*first);
        EXPECT_EQ(Tracked::constructed, 3);

        const Tracked* moved = &*copy;
        second = std::move(copy);
        EXPECT_EQ(&*second, moved);
        EXPECT_EQ(Tracked::destroyed, 1) << "move assignment frees the object the target owned";
    }
    EXPECT_EQ(Tracked::destroyed, Tracked::constructed);
}

TEST(SlotRulesTest, ReplicateMessage) {
    struct Case {
        std::vector<Complex> source;
        u64 logSlots;
        std::vector<Complex> expected;
    };
    const std::vector<Complex> sixteen = ramp(16);
    const std::vector<Complex> eight = ramp(8);
    const std::vector<Case> cases = {
        {{a, b}, 3, {a, b, a, b, a, b, a, b}},
        {{a, b, c}, 3, {a, b, c, a, b, c, z, z}},
        {sixteen, 3, std::vector<Complex>(8, z)},
        {eight, 3, eight},
        {{c}, 2, {c, c, c, c}},
        // An empty source has nothing to spread.
        {{}, 2, {z, z, z, z}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.source.size() << " slots to 2^" << k.logSlots);
        const Message source = messageOf(k.source, Device(DeviceType::GPU, 1));
        const Message result = replicateMessage(source, k.logSlots);
        EXPECT_EQ(slotsOf(result), k.expected);
        expectDevice(result, DeviceType::CPU, 0);
        EXPECT_EQ(slotsOf(source), k.source);
    }
}

TEST(SlotRulesTest, AverageReplicas) {
    struct Case {
        std::vector<Complex> source;
        u64 logSlots;
        std::vector<Complex> expected;
    };
    const std::vector<Complex> x = ramp(8);
    const std::vector<Complex> six = ramp(6);
    const std::vector<Case> cases = {
        {x, 1, {(x[0] + x[2] + x[4] + x[6]) / 4.0, (x[1] + x[3] + x[5] + x[7]) / 4.0}},
        {six, 2, {six[0], six[1], six[2], six[3]}},
        {x, 3, x},
        {{a, b, c}, 0, {(a + b + c) / 3.0}},
        // Without one complete replica the result stays zero rather than 0 / 0.
        {{a, b}, 3, std::vector<Complex>(8, z)},
        {{}, 1, {z, z}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.source.size() << " slots to 2^" << k.logSlots);
        const Message result = averageReplicas(messageOf(k.source, Device(DeviceType::GPU, 1)), k.logSlots);
        EXPECT_EQ(slotsOf(result), k.expected);
        expectDevice(result, DeviceType::CPU, 0);
        for (const Complex& slot : result)
            EXPECT_FALSE(std::isnan(slot.real()) || std::isnan(slot.imag()));
    }
}

TEST(SlotRulesTest, AverageOfReplicatedMessageIsTheMessage) {
    const Message source = messageOf(ramp(1024));
    EXPECT_EQ(slotsOf(averageReplicas(replicateMessage(source, 16), 10)), slotsOf(source));
}

// Every source length against the rule slot by slot: complete blocks of the source, then zeros.
TEST(SlotRulesTest, ReplicateMatchesTheBlockRule) {
    for (std::size_t m = 1; m <= 40; ++m)
        for (u64 k = 0; k <= 7; ++k) {
            const std::vector<Complex> source = ramp(m);
            const std::size_t n = std::size_t{1} << k;
            const std::size_t filled = m <= n ? (n / m) * m : 0;
            std::vector<Complex> expected(n, z);
            for (std::size_t i = 0; i < filled; ++i)
                expected[i] = source[i % m];
            EXPECT_EQ(slotsOf(replicateMessage(messageOf(source), k)), expected) << m << " slots to 2^" << k;
        }
}
