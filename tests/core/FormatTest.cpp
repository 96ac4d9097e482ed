#include "morvane/core/Exception.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Polynomial.hpp"
#include "morvane/core/Serialize.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>

using namespace Morvane;
using namespace datatest;

namespace {

Message threeSlots() {
    Message m(1);
    m[0] = {1, 2};
    m[1] = {3, -4};
    m.resize(3);
    return m;
}

} // namespace

TEST(MessageFormatTest, RecordBytesAndRoundTrip) {
    std::ostringstream out;
    threeSlots().save(out);
    EXPECT_EQ(bytesOf(out.str()), Record().u64(3).f64(1).f64(2).f64(3).f64(-4).f64(0).f64(0).bytes());

    std::istringstream in(out.str());
    Message back;
    back.load(in);
    ASSERT_EQ(back.getSize(), 3u);
    EXPECT_EQ(back[0], Complex(1, 2));
    EXPECT_EQ(back[1], Complex(3, -4));
    EXPECT_EQ(back[2], Complex(0, 0));

    std::ostringstream empty;
    Message().save(empty);
    EXPECT_EQ(bytesOf(empty.str()), Bytes(8, 0));
    Message filled(2, {5, 5});
    std::istringstream emptyIn(empty.str());
    filled.load(emptyIn);
    EXPECT_TRUE(filled.isEmpty());
}

TEST(MessageFormatTest, LoadKeepsDeviceAndTakesStoredCount) {
    Message target(3, {9, 9});
    target.to(Device(DeviceType::GPU, 1));
    std::istringstream in(Record().u64(4).f64(1).f64(0).f64(2).f64(0).f64(3).f64(0).f64(4).f64(0).str());
    target.load(in);
    ASSERT_EQ(target.getSize(), 4u);
    EXPECT_EQ(target[3], Complex(4, 0));
    EXPECT_EQ(target.getDevice().type(), DeviceType::GPU);
    EXPECT_EQ(target.getDevice().id(), 1);
}

TEST(MessageFormatTest, RecordsFollowOneAnotherInOneStream) {
    std::stringstream stream;
    threeSlots().save(stream);
    Message(1, {7, -7}).save(stream);
    Message a, b;
    a.load(stream);
    b.load(stream);
    EXPECT_EQ(a.getSize(), 3u);
    ASSERT_EQ(b.getSize(), 2u);
    EXPECT_EQ(b[1], Complex(7, -7));
}

// A record cut at every field boundary and inside a field: cereal's short-read message, and the message as
// far as it was read (the stored count, complete slots new, the cut slot and later ones as before).
TEST(MessageFormatTest, TruncatedRecordsFailAtTheMissingField) {
    const Bytes full = Record().u64(2).f64(1).f64(2).f64(3).f64(4).bytes();
    struct Case {
        std::size_t length;
        std::string message;
        std::size_t size;
        Complex slot0;
        Complex slot1;
    };
    const Complex old(-1, -1);
    const std::vector<Case> cases = {
        {0, "Failed to read 8 bytes from input stream! Read 0", 4, old, old},
        {5, "Failed to read 8 bytes from input stream! Read 5", 4, old, old},
        {8, "Failed to read 8 bytes from input stream! Read 0", 2, old, old},
        {16, "Failed to read 8 bytes from input stream! Read 0", 2, old, old},
        {20, "Failed to read 8 bytes from input stream! Read 4", 2, old, old},
        {24, "Failed to read 8 bytes from input stream! Read 0", 2, {1, 2}, old},
        {32, "Failed to read 8 bytes from input stream! Read 0", 2, {1, 2}, old},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Message target(2, old);
        std::istringstream in(std::string(full.begin(), full.begin() + static_cast<long>(c.length)));
        EXPECT_EQ(cerealMessage([&] { target.load(in); }), c.message);
        ASSERT_EQ(target.getSize(), c.size);
        EXPECT_EQ(target[0], c.slot0);
        EXPECT_EQ(target[1], c.slot1);
    }

    // Growing: slots the resize appended stay zero.
    Message small(0, old);
    std::istringstream in(std::string(full.begin(), full.begin() + 24));
    EXPECT_EQ(cerealMessage([&] { small.load(in); }), "Failed to read 8 bytes from input stream! Read 0");
    ASSERT_EQ(small.getSize(), 2u);
    EXPECT_EQ(small[0], Complex(1, 2));
    EXPECT_EQ(small[1], Complex(0, 0));
}

// A few bytes claiming an enormous slot count must fail at the first missing slot without allocating for the
// claim, whether the stream can tell how much remains (string, file) or not (pipe-like).
TEST(MessageFormatTest, HostileCountsFailFastWithBoundedMemory) {
    TempDir dir;
    for (const std::uint64_t count : {std::uint64_t{1} << 30, std::uint64_t{1} << 40,
                                      std::numeric_limits<std::uint64_t>::max()}) {
        SCOPED_TRACE(count);
        const Bytes record = Record().u64(count).f64(1).f64(2).f64(3).bytes();
        const std::string path = dir.file("hostile.bin");
        writeFile(path, record);

        Message fromString;
        std::istringstream in(std::string(record.begin(), record.end()));
        EXPECT_EQ(cerealMessage([&] { fromString.load(in); }), "Failed to read 8 bytes from input stream! Read 0");

        Message fromFile;
        EXPECT_EQ(cerealMessage([&] { fromFile.load(path); }), "Failed to read 8 bytes from input stream! Read 0");

        Message fromPipe;
        UnseekableBuffer buffer(record);
        std::istream pipe(&buffer);
        EXPECT_EQ(cerealMessage([&] { fromPipe.load(pipe); }), "Failed to read 8 bytes from input stream! Read 0");

        for (const Message* m : {&fromString, &fromFile, &fromPipe}) {
            EXPECT_LE(m->slots().capacity(), std::size_t{1} << 17);
            ASSERT_GE(m->getSize(), 1u);
            EXPECT_EQ((*m)[0], Complex(1, 2));
        }
    }
}

// Without seeking, a well-formed record still loads exactly, also beyond one growth step.
TEST(MessageFormatTest, UnseekableStreamLoadsLargeRecords) {
    Message source(17);
    for (std::size_t i = 0; i < source.getSize(); ++i)
        source[i] = Complex(static_cast<double>(i), -static_cast<double>(i));
    std::ostringstream out;
    source.save(out);
    UnseekableBuffer buffer(bytesOf(out.str()));
    std::istream pipe(&buffer);
    Message back;
    back.load(pipe);
    ASSERT_EQ(back.getSize(), source.getSize());
    EXPECT_EQ(back.slots(), source.slots());
}

TEST(PolynomialFormatTest, FlagSitsBetweenPrimeCountAndLevel) {
    Polynomial poly;
    poly.numPrimes = 5;
    poly.is_extended = true;
    poly.level = 4;
    poly.message = Message(0, {1.5, -2});
    std::ostringstream out;
    Serialize::save(out, poly);
    EXPECT_EQ(bytesOf(out.str()), Record().u64(5).u8(1).u64(4).u64(1).f64(1.5).f64(-2).bytes());

    Polynomial back;
    std::istringstream in(out.str());
    Serialize::load(in, back);
    EXPECT_EQ(back.numPrimes, 5u);
    EXPECT_TRUE(back.is_extended);
    EXPECT_EQ(back.level, 4u);
    ASSERT_EQ(back.message.getSize(), 1u);
    EXPECT_EQ(back.message[0], Complex(1.5, -2));
}

// Any non-zero flag byte is true; the stored bool is always a valid 0 or 1, so it saves back as 1.
TEST(PolynomialFormatTest, FlagByteIsReadAsByte) {
    for (const std::uint8_t flag : {0, 1, 2, 0x80, 0xff}) {
        SCOPED_TRACE(int(flag));
        Polynomial poly;
        std::istringstream in(Record().u64(1).u8(flag).u64(0).u64(0).str());
        Serialize::load(in, poly);
        EXPECT_EQ(poly.is_extended, flag != 0);
        std::ostringstream out;
        Serialize::save(out, poly);
        EXPECT_EQ(static_cast<std::uint8_t>(out.str()[8]), flag != 0 ? 1 : 0);
    }
}

TEST(SerializeTest, FileFormsOpenInBinaryAndReportThePath) {
    TempDir dir;
    const std::string missing = dir.file("no/such/dir/file.bin");
    const Message m = threeSlots();
    EXPECT_EQ(thrownMessage([&] { m.save(missing); }), "Cannot open file " + missing);
    Message target;
    EXPECT_EQ(thrownMessage([&] { target.load(missing); }), "Cannot open file " + missing);

    const std::string path = dir.file("m.bin");
    m.save(path);
    std::ostringstream expected;
    m.save(expected);
    EXPECT_EQ(readFile(path), bytesOf(expected.str()));
    // Saving again truncates.
    Message(0).save(path);
    EXPECT_EQ(readFile(path).size(), 24u);

    // Several values through one archive, in order, then read back in order.
    std::int32_t a = -3;
    std::uint64_t b = 9;
    Serialize::save(path, a, b, m);
    std::int32_t a2 = 0;
    std::uint64_t b2 = 0;
    Message m2;
    Serialize::load(path, a2, b2, m2);
    EXPECT_EQ(a2, -3);
    EXPECT_EQ(b2, 9u);
    EXPECT_EQ(m2.slots(), m.slots());
}

// The written bytes sit in the file's buffer until it is flushed: a full device must still fail the save.
TEST(SerializeTest, FailedFlushOnCloseIsReported) {
    if (!std::ofstream("/dev/full").is_open())
        GTEST_SKIP() << "/dev/full is not available";
    EXPECT_EQ(thrownMessage([] { threeSlots().save(std::string("/dev/full")); }), "Cannot write file /dev/full");
    // A record larger than the buffer already fails inside the archive.
    EXPECT_EQ(cerealMessage([] { Message(16).save(std::string("/dev/full")); }).rfind("Failed to write 8 bytes", 0),
              0u);
}

TEST(SerializeTest, ShortWriteFailsAtTheField) {
    LimitedBuffer buffer(11);
    std::ostream out(&buffer);
    EXPECT_EQ(cerealMessage([&] { threeSlots().save(out); }), "Failed to write 8 bytes to output stream! Wrote 3");
    EXPECT_EQ(buffer.written().size(), 11u);
}
