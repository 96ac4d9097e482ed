#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Plaintext.hpp"
#include "morvane/core/SecretKey.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace Morvane;

// The value handles over Pointer: copies into and out of moved-from objects, and move assignment that keeps
// the target's implementation object.
namespace {

Context smallContext() { return makeContext(6, 4, 0, 0, 0, 2); }

template <typename T>
struct Handle;

template <>
struct Handle<Message> {
    static Message make() { return Message(5); }
    static Message& slots(Message& m) { return m; }
};

template <>
struct Handle<Plaintext> {
    static Plaintext make() { return Plaintext(smallContext()); }
    static Message& slots(Plaintext& p) { return p.message(); }
};

template <>
struct Handle<Ciphertext> {
    static Ciphertext make() { return Ciphertext(smallContext()); }
    static Message& slots(Ciphertext& c) { return c.message(); }
};

template <>
struct Handle<SecretKey> {
    static SecretKey make() { return SecretKey(smallContext()); }
    static Message& slots(SecretKey& k) { return k.getSx().message; }
};

// An object whose first slot is `first` and whose device is (GPU, id).
template <typename T>
T marked(double first, int id) {
    T obj = Handle<T>::make();
    Handle<T>::slots(obj)[0] = Complex(first, -first);
    Handle<T>::slots(obj).to(Device(DeviceType::GPU, id));
    return obj;
}

template <typename T>
Complex firstSlot(T& obj) {
    return Handle<T>::slots(obj)[0];
}

template <typename T>
int deviceId(T& obj) {
    return Handle<T>::slots(obj).getDevice().id();
}

} // namespace

template <typename T>
class HandleTest : public testing::Test {};

using HandleTypes = testing::Types<Message, Plaintext, Ciphertext, SecretKey>;
TYPED_TEST_SUITE(HandleTest, HandleTypes);

TYPED_TEST(HandleTest, CopyAssignmentIntoAMovedFromObjectMakesACopy) {
    TypeParam a = marked<TypeParam>(1.0, 1);
    TypeParam b = marked<TypeParam>(2.0, 2);
    TypeParam c(std::move(a));
    a = b;
    Handle<TypeParam>::slots(b)[0] = Complex(9.0, 9.0);
    EXPECT_EQ(firstSlot(a), Complex(2.0, -2.0));
    EXPECT_EQ(deviceId(a), 2);
    EXPECT_EQ(firstSlot(c), Complex(1.0, -1.0));
    EXPECT_EQ(deviceId(c), 1);
}

TYPED_TEST(HandleTest, CopiesOfAMovedFromObjectAreMovedFromObjects) {
    TypeParam a = marked<TypeParam>(1.0, 1);
    const TypeParam b = marked<TypeParam>(2.0, 2);
    TypeParam c(std::move(a));
    // Copy construction and copy assignment from the empty handle, then the copies are filled again.
    TypeParam copy(a);
    c = a;
    copy = b;
    c = b;
    EXPECT_EQ(firstSlot(copy), Complex(2.0, -2.0));
    EXPECT_EQ(firstSlot(c), Complex(2.0, -2.0));
    EXPECT_EQ(deviceId(c), 2);
}

TYPED_TEST(HandleTest, InsertingIntoAVectorCopiesIntoMovedFromElements) {
    std::vector<TypeParam> v;
    for (int i = 0; i < 4; ++i)
        v.push_back(marked<TypeParam>(static_cast<double>(i), i));
    const TypeParam extra = marked<TypeParam>(7.0, 7);
    v.insert(v.begin() + 1, extra);
    v.insert(v.begin(), 2, extra);
    const std::vector<double> expected = {7, 7, 0, 7, 1, 2, 3};
    ASSERT_EQ(v.size(), expected.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        EXPECT_EQ(firstSlot(v[i]), Complex(expected[i], -expected[i])) << "element " << i;
        EXPECT_EQ(deviceId(v[i]), static_cast<int>(expected[i])) << "element " << i;
    }
}

TYPED_TEST(HandleTest, MoveAssignmentKeepsTheTargetImplementation) {
    TypeParam a = marked<TypeParam>(1.0, 1);
    TypeParam b = marked<TypeParam>(2.0, 2);
    Message& held = Handle<TypeParam>::slots(a);
    const std::vector<Complex>& storage = held.slots();
    const Device& device = held.getDevice();
    const Complex* data = Handle<TypeParam>::slots(b).begin();

    a = std::move(b);
    // The same objects, now holding b's slots (their buffer moved, not copied) and device.
    EXPECT_EQ(&Handle<TypeParam>::slots(a), &held);
    EXPECT_EQ(&held.slots(), &storage);
    EXPECT_EQ(held.begin(), data);
    EXPECT_EQ(storage[0], Complex(2.0, -2.0));
    EXPECT_EQ(device.id(), 2);

    // A moved-from source can be assigned again; an empty target takes the source's object over.
    b = a;
    TypeParam c(std::move(a));
    a = std::move(b);
    EXPECT_EQ(firstSlot(a), Complex(2.0, -2.0));
    EXPECT_EQ(firstSlot(c), Complex(2.0, -2.0));
}
