#include "morvane/core/Alert.hpp"
#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Plaintext.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <sstream>

using namespace Morvane;
using namespace datatest;

// Behaviour shared by plaintexts and ciphertexts, run for both.
namespace {

template <typename T>
struct Kind;

template <>
struct Kind<Plaintext> {
    static Plaintext make(const Context& c) { return Plaintext(c); }
    static constexpr const char* shortName = "ptxt";
    static constexpr const char* longName = "plaintext";
};

template <>
struct Kind<Ciphertext> {
    static Ciphertext make(const Context& c) { return Ciphertext(c, false); }
    static constexpr const char* shortName = "ctxt";
    static constexpr const char* longName = "ciphertext";
};

// A context with 32 full slots (log_dimension 6), chain length 4, numTP 2.
Context smallContext() { return makeContext(6, 4, 0, 0, 0, 2); }

Message fourSlots() {
    Message m(2);
    m[0] = {1, 2};
    m[1] = {3, 4};
    m[2] = {-5, 0};
    m[3] = {0, 6};
    return m;
}

std::string label(const char* prefix, const char* kind) { return std::string(prefix) + " (" + kind + ")"; }

} // namespace

template <typename T>
class DataObjectTest : public testing::Test {};

using DataObjectTypes = testing::Types<Plaintext, Ciphertext>;
TYPED_TEST_SUITE(DataObjectTest, DataObjectTypes);

TYPED_TEST(DataObjectTest, FreshObjectOfFGb) {
    const Context ctx = makeContext(ParameterPreset::FGb);
    const TypeParam obj = Kind<TypeParam>::make(ctx);
    EXPECT_EQ(obj.getLogSlots(), 15u);
    EXPECT_EQ(obj.getNumberOfSlots(), 32768u);
    EXPECT_EQ(obj.getLevel(), 24u);
    EXPECT_EQ(obj.getRescaleCounter(), 0);
    EXPECT_EQ(obj.message().getSize(), 32768u);
    EXPECT_EQ(obj.getDevice().type(), DeviceType::CPU);
    EXPECT_EQ(obj.getDevice().id(), 0);
    EXPECT_TRUE(detail::isZeroMessage(obj.message()));
    EXPECT_EQ(obj.context(), ctx);
    EXPECT_TRUE(ctx->getOpHistory().empty());
}

// Moves compare device types only and count a label only when the type changes.
TYPED_TEST(DataObjectTest, DeviceMovesAndLabels) {
    const Context ctx = smallContext();
    TypeParam obj = Kind<TypeParam>::make(ctx);
    const std::string toDevice = label("To Device", Kind<TypeParam>::shortName);
    const std::string toHost = label("To Host", Kind<TypeParam>::shortName);
    struct Step {
        Device target;
        Device after;
        u64 toDeviceCount;
        u64 toHostCount;
    };
    const std::vector<Step> steps = {
        {{DeviceType::CPU, 4}, {DeviceType::CPU, 0}, 0, 0},
        {{DeviceType::GPU, 0}, {DeviceType::GPU, 0}, 1, 0},
        {{DeviceType::GPU, 3}, {DeviceType::GPU, 0}, 1, 0},
        {{DeviceType::CPU_PINNED, 2}, {DeviceType::CPU_PINNED, 2}, 1, 1},
        {{DeviceType::UNDEFINED, 0}, {DeviceType::UNDEFINED, 0}, 1, 2},
        {{DeviceType::GPU, 1}, {DeviceType::GPU, 1}, 2, 2},
        {{DeviceType::CPU, 0}, {DeviceType::CPU, 0}, 2, 3},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        obj.to(steps[i].target);
        EXPECT_EQ(obj.getDevice().type(), steps[i].after.type());
        EXPECT_EQ(obj.getDevice().id(), steps[i].after.id());
        auto history = ctx->getOpHistory();
        EXPECT_EQ(history[toDevice], steps[i].toDeviceCount);
        EXPECT_EQ(history[toHost], steps[i].toHostCount);
    }

    ctx->clearOpHistory();
    obj.allocate(Device(DeviceType::GPU, 2));
    EXPECT_EQ(obj.getDevice().type(), DeviceType::GPU);
    EXPECT_EQ(obj.getDevice().id(), 2);
    obj.allocate(Device(DeviceType::GPU, 5));
    EXPECT_EQ(obj.getDevice().id(), 5);
    EXPECT_TRUE(ctx->getOpHistory().empty());
}

TYPED_TEST(DataObjectTest, SetAndGetMessageSpreadAndAverage) {
    const Context ctx = smallContext();
    TypeParam obj = Kind<TypeParam>::make(ctx);
    obj.to(Device(DeviceType::GPU, 0));
    const Message msg = fourSlots();
    // The spread is assigned into the internal message: its storage stays where references point.
    const Complex* storage = obj.message().begin();
    setMessage(msg, obj);
    ASSERT_EQ(obj.message().getSize(), 32u);
    EXPECT_EQ(obj.message().begin(), storage);
    for (std::size_t i = 0; i < 32; ++i)
        EXPECT_EQ(obj.message()[i], msg[i % 4]) << i;
    EXPECT_EQ(obj.getDevice().type(), DeviceType::CPU);
    EXPECT_EQ(obj.getLogSlots(), 5u);

    obj.setLogSlots(2);
    Message back = getMessage(obj);
    EXPECT_EQ(back.slots(), msg.slots());
    obj.setLogSlots(3);
    back = getMessage(obj);
    ASSERT_EQ(back.getSize(), 8u);
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(back[i], msg[i % 4]);

    // Replicas that differ average out.
    obj.message()[1] = {5, 6};
    obj.setLogSlots(4);
    back = getMessage(obj);
    EXPECT_EQ(back[1], Complex(4, 5));

    setMessage(Message(6, {1, 1}), obj);
    EXPECT_TRUE(detail::isZeroMessage(obj.message()));
    EXPECT_EQ(obj.message().getSize(), 32u);
}

// log_slots beyond the internal message, 64 and more, and empty messages get a clear exception instead of
// a huge allocation, 0 / 0 or an undefined shift.
TYPED_TEST(DataObjectTest, GuardedSlotRules) {
    const Context ctx = smallContext();
    TypeParam obj = Kind<TypeParam>::make(ctx);
    obj.setLogSlots(64);
    EXPECT_NE(thrownMessage([&] { (void)obj.getNumberOfSlots(); }).find("getNumberOfSlots"), std::string::npos);
    EXPECT_NE(thrownMessage([&] { (void)getMessage(obj); }).find("[getMessage]"), std::string::npos);
    obj.setLogSlots(6);
    EXPECT_EQ(thrownMessage([&] { (void)getMessage(obj); }), "[getMessage] log_slots 6 exceeds the slots held");
    obj.setLogSlots(63);
    EXPECT_EQ(obj.getNumberOfSlots(), u64{1} << 63);

    EXPECT_EQ(thrownMessage([&] { setMessage(Message(), obj); }), "[setMessage] The input message is empty");
    obj.message().resize(0);
    EXPECT_EQ(thrownMessage([&] { setMessage(fourSlots(), obj); }), "[setMessage] The internal message is empty");
}

// A copy is independent; copy assignment writes into the target's own object, so references into it (as the
// evaluator keeps) stay valid, and the target takes the source's context and device.
TYPED_TEST(DataObjectTest, CopiesAndCopyAssignInto) {
    const Context a = smallContext();
    const Context b = makeContext(ParameterPreset::FGb);
    TypeParam source = Kind<TypeParam>::make(a);
    setMessage(fourSlots(), source);
    source.setLevel(2);
    source.setRescaleCounter(1);
    source.allocate(Device(DeviceType::GPU, 0));

    TypeParam copy(source);
    copy.message()[0] = {100, 100};
    EXPECT_EQ(source.message()[0], Complex(1, 2));
    EXPECT_EQ(copy.context(), a);

    TypeParam target = Kind<TypeParam>::make(b);
    Message& held = target.message();
    Complex* storage = target.message().begin();
    target = source;
    EXPECT_EQ(&held, &target.message());
    EXPECT_EQ(storage, target.message().begin());
    EXPECT_EQ(target.context(), a);
    EXPECT_EQ(held.getSize(), 32u);
    EXPECT_EQ(held[1], Complex(3, 4));
    EXPECT_EQ(target.getLevel(), 2u);
    EXPECT_EQ(target.getRescaleCounter(), 1);
    EXPECT_EQ(target.getDevice().type(), DeviceType::GPU);
    EXPECT_EQ(b.use_count(), 1);

    target = target;
    EXPECT_EQ(target.getLevel(), 2u);
}

TYPED_TEST(DataObjectTest, SaveLoadRoundTripCountsAfterSuccess) {
    const Context ctx = smallContext();
    TypeParam obj = Kind<TypeParam>::make(ctx);
    setMessage(fourSlots(), obj);
    obj.setLogSlots(2);
    obj.setRescaleCounter(-3);
    obj.setLevel(1);
    const std::string saveLabel = std::string("Save ") + Kind<TypeParam>::longName;
    const std::string loadLabel = std::string("Load ") + Kind<TypeParam>::longName;

    std::stringstream stream;
    obj.save(stream);
    EXPECT_EQ(stream.str().size(), 37u + 16u * 32u);
    const Record head = Record().u64(2).i32(-3).u64(4).u8(0).u64(1).u64(32).f64(1).f64(2);
    EXPECT_EQ(bytesOf(stream.str().substr(0, head.bytes().size())), head.bytes());

    TypeParam back = Kind<TypeParam>::make(ctx);
    back.allocate(Device(DeviceType::GPU, 7));
    back.load(stream);
    EXPECT_EQ(back.getLogSlots(), 2u);
    EXPECT_EQ(back.getRescaleCounter(), -3);
    EXPECT_EQ(back.getLevel(), 1u);
    EXPECT_EQ(back.message().slots(), obj.message().slots());
    EXPECT_EQ(back.getDevice().type(), DeviceType::GPU);
    EXPECT_EQ(back.getDevice().id(), 7);

    TempDir dir;
    const std::string path = dir.file("obj.bin");
    obj.save(path);
    EXPECT_EQ(readFile(path), bytesOf(stream.str()));
    back.load(path);
    EXPECT_EQ((std::map<std::string, u64>{{loadLabel, 2}, {saveLabel, 2}}), ctx->getOpHistory());

    const std::string missing = dir.file("missing/obj.bin");
    EXPECT_EQ(thrownMessage([&] { obj.save(missing); }), "Cannot open file " + missing);
    EXPECT_EQ(thrownMessage([&] { back.load(missing); }), "Cannot open file " + missing);
    if (std::ofstream("/dev/full").is_open()) {
        EXPECT_EQ(thrownMessage([&] { obj.save(std::string("/dev/full")); }), "Cannot write file /dev/full");
    }
    LimitedBuffer full(20);
    std::ostream shortStream(&full);
    EXPECT_EQ(cerealMessage([&] { obj.save(shortStream); }), "Failed to write 1 bytes to output stream! Wrote 0");
    EXPECT_EQ((std::map<std::string, u64>{{loadLabel, 2}, {saveLabel, 2}}), ctx->getOpHistory());
}

// A record cut at each field boundary: the message of the read that fails and the fields read so far.
TYPED_TEST(DataObjectTest, TruncatedLoadsLeavePartialStateAndCountNothing) {
    const Context ctx = smallContext();
    TypeParam source = Kind<TypeParam>::make(ctx);
    source.setLogSlots(1);
    source.setRescaleCounter(7);
    source.setLevel(2);
    source.message().resize(2);
    source.message()[0] = {1, 1};
    source.message()[1] = {2, 2};
    std::ostringstream out;
    source.save(out);
    const std::string full = out.str();
    ASSERT_EQ(full.size(), 37u + 32u);

    struct Case {
        std::size_t length;
        std::string message;
        u64 logSlots;
        int rescale;
        u64 level;
        u64 slots;
        Complex slot0;
    };
    const Complex zero(0, 0);
    const std::vector<Case> cases = {
        // A field cut inside is read in place: it holds the bytes that arrived (here all that differ).
        {4, "Failed to read 8 bytes from input stream! Read 4", 1, 0, 3, 32, zero},
        {8, "Failed to read 4 bytes from input stream! Read 0", 1, 0, 3, 32, zero},
        {10, "Failed to read 4 bytes from input stream! Read 2", 1, 7, 3, 32, zero},
        {12, "Failed to read 8 bytes from input stream! Read 0", 1, 7, 3, 32, zero},
        {20, "Failed to read 1 bytes from input stream! Read 0", 1, 7, 3, 32, zero},
        {21, "Failed to read 8 bytes from input stream! Read 0", 1, 7, 3, 32, zero},
        {29, "Failed to read 8 bytes from input stream! Read 0", 1, 7, 2, 32, zero},
        {37, "Failed to read 8 bytes from input stream! Read 0", 1, 7, 2, 2, zero},
        {53, "Failed to read 8 bytes from input stream! Read 0", 1, 7, 2, 2, {1, 1}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string path = dir.file("cut.bin");
        writeFile(path, bytesOf(full.substr(0, c.length)));
        TypeParam target = Kind<TypeParam>::make(ctx);
        ctx->clearOpHistory();
        EXPECT_EQ(cerealMessage([&] { target.load(path); }), c.message);
        EXPECT_EQ(target.getLogSlots(), c.logSlots);
        EXPECT_EQ(target.getRescaleCounter(), c.rescale);
        EXPECT_EQ(target.getLevel(), c.level);
        EXPECT_EQ(target.message().getSize(), c.slots);
        EXPECT_EQ(target.message()[0], c.slot0);
        EXPECT_TRUE(ctx->getOpHistory().empty());
    }
}

// Plaintext and ciphertext records are one format: each loads as the other.
TEST(DataObjectFormatTest, PlaintextFileLoadsIntoCiphertext) {
    const Context ctx = smallContext();
    Plaintext ptxt(ctx);
    setMessage(fourSlots(), ptxt);
    ptxt.setLogSlots(2);
    ptxt.setRescaleCounter(1);
    ptxt.getMx().numPrimes = 9;
    ptxt.getMx().is_extended = true;
    ptxt.setLevel(0);
    std::stringstream stream;
    ptxt.save(stream);

    Ciphertext ctxt(ctx, false);
    ctxt.setSize(3);
    ctxt.load(stream);
    EXPECT_EQ(ctxt.getLogSlots(), 2u);
    EXPECT_EQ(ctxt.getRescaleCounter(), 1);
    EXPECT_EQ(ctxt.getPoly(0).numPrimes, 9u);
    EXPECT_TRUE(ctxt.isModUp());
    EXPECT_EQ(ctxt.getLevel(), 0u);
    EXPECT_EQ(ctxt.getSize(), 3u);
    EXPECT_EQ(ctxt.message().slots(), ptxt.message().slots());

    std::ostringstream again;
    ctxt.save(again);
    EXPECT_EQ(again.str(), stream.str());
    EXPECT_EQ((std::map<std::string, u64>{{"Load ciphertext", 1}, {"Save ciphertext", 1}, {"Save plaintext", 1}}),
              ctx->getOpHistory());
}

TEST(PlaintextTest, FieldsAndSimulatedData) {
    const Context ctx = makeContext(ParameterPreset::FGb);
    Plaintext ptxt(ctx);
    EXPECT_EQ(ptxt.getMx().numPrimes, 25u);
    EXPECT_FALSE(ptxt.getMx().is_extended);

    u64* data = nullptr;
    EXPECT_EQ(capturedStdout([&] { data = ptxt.getMxData(7); }),
              "[Plaintext::getMxData] Always return an empty u64* in Morvane-simulator\n");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(*data, 0u);
    delete data;
    simulateAlert(false);
    EXPECT_EQ(capturedStdout([&] { data = ptxt.getMxData(7); }), "");
    simulateAlert(true);
    EXPECT_EQ(*data, 0u);
    delete data;
    EXPECT_TRUE(ctx->getOpHistory().empty());
}

TEST(PlaintextTest, IsZeroTreatsSignedZeroAsZeroButNotNaN) {
    Plaintext obj(smallContext());
    obj.message()[7] = {-0.0, -0.0};
    EXPECT_TRUE(obj.isZero());
    obj.message()[7] = {0.0, 1e-300};
    EXPECT_FALSE(obj.isZero());
    obj.message()[7] = {std::numeric_limits<double>::quiet_NaN(), 0.0};
    EXPECT_FALSE(obj.isZero());
    obj.message().resize(0);
    EXPECT_TRUE(obj.isZero());
}
