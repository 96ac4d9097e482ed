// Evaluator and bootstrapper calls in steady state allocate nothing: once their results have the right
// length, a repeated call must not touch the heap. This executable replaces the global allocation functions
// with counting ones that forward to malloc and free (which the sanitizers intercept as usual).
#include "tests/eval/KeyedEvaluator.hpp"

#include "morvane/eval/Bootstrapper.hpp"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

namespace {

// Counted only on the thread that asked, while it asks: gtest's own allocations elsewhere stay out.
thread_local bool counting = false;
thread_local std::size_t allocations = 0;

void* allocate(std::size_t size) {
    if (counting)
        ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    if (counting)
        ++allocations;
    const std::size_t align = static_cast<std::size_t>(alignment);
    // aligned_alloc wants a multiple of the alignment.
    const std::size_t rounded = (size + align - 1) / align * align;
    if (void* p = std::aligned_alloc(align, rounded == 0 ? align : rounded))
        return p;
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using namespace keyedtest;

// Allocations made by `call` on this thread.
std::size_t allocationsOf(const std::function<void()>& call) {
    allocations = 0;
    counting = true;
    call();
    counting = false;
    return allocations;
}

struct Call {
    std::string name;
    std::function<void()> run;
};

// Every call runs twice first: the first sizes its results and loads what is loaded once, the second must
// already be in steady state; the third is counted.
void expectNoAllocation(const std::vector<Call>& calls) {
    for (const Call& call : calls) {
        call.run();
        call.run();
        EXPECT_EQ(0u, allocationsOf(call.run)) << call.name;
    }
}

TEST(AllocationTest, TheCounterSeesAllocations) {
    // Through a volatile pointer, so that the pair cannot be elided.
    EXPECT_EQ(1u, allocationsOf([] {
                  int* volatile p = new int(3);
                  delete p;
              }));
    // A message on the heap: the handle and the record it owns.
    EXPECT_EQ(2u, allocationsOf([] {
                  Message* volatile m = new Message;
                  delete m;
              }));
    EXPECT_EQ(0u, allocationsOf([] {}));
}

// A keyed evaluator and a bootstrapper of `preset`, with objects of its full slot count.
struct Steady {
    explicit Steady(ParameterPreset preset) : k(makeContext(preset)) {
        k.keygen.genMultiplicationKey();
        k.keygen.genConjugationKey();
        k.keygen.genRotationKeyBundle();
        k.keygen.genRotKeysForBootstrap(getLogFullSlots(k.context));
        simulateError(k.context, false);
        const u64 n = k.context->parameter.fullSlots;
        msg = evaltest::messageOfSize(n, evaltest::firstSlot);
        msg2 = evaltest::messageOfSize(n, evaltest::secondSlot);
        msgRes = evaltest::messageOfSize(n, evaltest::secondSlot);
        ct = ciphertextOf(k.context, evaltest::firstSlot, 12);
        ct2 = ciphertextOf(k.context, evaltest::secondSlot, 12);
        pt = evaltest::plaintextOf(k.context, evaltest::secondSlot, 12);
        pt2 = evaltest::plaintextOf(k.context, evaltest::firstSlot, 12);
        ptRes = evaltest::plaintextOf(k.context, evaltest::firstSlot, 12);
        shortMsg = evaltest::messageOfSize(n / 4, evaltest::secondSlot);
        terms = {ct, ct2, ct};
    }

    // A fresh operand state before each call, so that levels and counters stay valid however often it runs.
    void reset() {
        ct.setLevel(12);
        ct.setRescaleCounter(0);
        ctIn.message() = ct.message();
        ctIn.setLevel(12);
        ctIn.setRescaleCounter(0);
        ctIn.setLogSlots(ct.getLogSlots());
        ct2.setLevel(12);
        pt.setLevel(12);
        pt.setRescaleCounter(0);
        pt2.setLevel(12);
        pt2.setRescaleCounter(0);
    }

    std::vector<Call> evaluatorCalls() {
        const HomEvaluator& e = k.eval;
        const Complex c(0.75, -1.25);
        auto call = [this](const std::string& name, std::function<void()> f) {
            return Call{name, [this, f] {
                            reset();
                            f();
                        }};
        };
        return {
            call("negate message", [&] { e.negate(msg, msgRes); }),
            call("add message constant", [&, c] { e.add(msg, c, msgRes); }),
            call("sub messages", [&] { e.sub(msg, msg2, msgRes); }),
            call("mult message constant", [&, c] { e.mult(msg, c, msgRes); }),
            call("mult messages", [&] { e.mult(msg, msg2, msgRes); }),
            call("mult messages in place", [&] { e.mult(msgRes, msg2, msgRes); }),
            call("multImagUnit message", [&] { e.multImagUnit(msg, msgRes); }),
            call("conjugate message", [&] { e.conjugate(msg, msgRes); }),
            call("left rotate message", [&] { e.leftRotate(msg, 3, msgRes); }),
            call("right rotate message in place", [&] { e.rightRotate(msgRes, 5, msgRes); }),
            call("message rotate-and-sum", [&] { e.leftRotateReduce(msg, 1, 7, msgRes); }),
            call("message rotate-and-sum in place", [&] { e.rightRotateReduce(msgRes, 2, 5, msgRes); }),
            call("negate plaintext", [&] { e.negate(pt, ptRes); }),
            call("add plaintexts", [&] { e.add(pt, pt2, ptRes); }),
            call("mult plaintexts", [&] { e.mult(pt, pt2, ptRes); }),
            call("mult plaintext constant", [&, c] { e.mult(pt, c, ptRes); }),
            call("multInteger plaintext", [&] { e.multInteger(pt, 3, ptRes); }),
            call("multWithoutRescale plaintexts", [&] { e.impl->multWithoutRescale(pt, pt2, ptRes); }),
            call("relevel plaintext", [&] { e.relevel(pt, 5, ptRes); }),
            call("left rotate plaintext", [&] { e.leftRotate(pt, 3, ptRes); }),
            call("conjugate plaintext", [&] { e.conjugate(pt, ptRes); }),
            call("negate", [&] { e.negate(ct, res); }),
            call("add constant", [&, c] { e.add(ct, c, res); }),
            call("sub constant", [&, c] { e.sub(ct, c, res); }),
            call("add message", [&] { e.add(ct, msg2, res); }),
            call("sub short message",
                 [&] {
                     ctIn.setLogSlots(shortMsg.getLogSlots());
                     e.sub(ctIn, shortMsg, res);
                 }),
            call("add plaintext", [&] { e.add(ct, pt, res); }),
            call("add ciphertexts", [&] { e.add(ct, ct2, res); }),
            call("sub ciphertexts in place", [&] { e.sub(ctIn, ct2, ctIn); }),
            call("multImagUnit", [&] { e.multImagUnit(ct, res); }),
            call("multInteger", [&] { e.multInteger(ct, 5, res); }),
            call("mult constant", [&, c] { e.mult(ct, c, res); }),
            call("mult constant in place", [&, c] { e.mult(ctIn, c, ctIn); }),
            call("mult message", [&] { e.mult(ct, msg2, res); }),
            call("mult short message",
                 [&] {
                     ctIn.setLogSlots(shortMsg.getLogSlots());
                     e.mult(ctIn, shortMsg, res);
                 }),
            call("mult plaintext", [&] { e.mult(ct, pt, res); }),
            call("mult ciphertexts", [&] { e.mult(ct, ct2, res); }),
            call("mult ciphertexts in place", [&] { e.mult(ctIn, ct2, ctIn); }),
            call("square", [&] { e.square(ct, res); }),
            call("multWithoutRescale constant", [&, c] { e.multWithoutRescale(ct, c, res); }),
            call("multWithoutRescale plaintext", [&] { e.multWithoutRescale(ct, pt, res); }),
            call("multWithoutRescale ciphertexts", [&] { e.multWithoutRescale(ct, ct2, res); }),
            call("tensor then relinearize",
                 [&] {
                     e.tensor(ct, ct2, res);
                     e.relinearize(res, res);
                 }),
            call("rescale",
                 [&] {
                     e.multWithoutRescale(ct, c, res);
                     e.rescale(res);
                 }),
            call("inverseRescale", [&] { e.inverseRescale(ct); }),
            call("levelDown", [&] { e.levelDown(ct, 4, res); }),
            call("levelDownOne", [&] { e.levelDownOne(ct, res); }),
            call("conjugate", [&] { e.conjugate(ct, res); }),
            call("killImag", [&] { e.killImag(ct, res); }),
            call("left rotate", [&] { e.leftRotate(ct, 3, res); }),
            call("left rotate by stepping", [&] { e.leftRotate(ct, 11, res); }),
            call("right rotate in place", [&] { e.rightRotate(ctIn, 6, ctIn); }),
            call("rotate-and-sum, power of two", [&] { e.leftRotateReduce(ct, 1, 8, res); }),
            call("rotate-and-sum, three times a power of two", [&] { e.rightRotateReduce(ct, 2, 6, res); }),
            call("rotate-and-sum, alternating ladder", [&] { e.leftRotateReduce(ct, 1, 11, res); }),
            call("rotSum", [&] { e.rotSum(terms, rotations, res); }),
        };
    }

    std::vector<Call> bootstrapperCalls() {
        const Bootstrapper& b = bootstrapper;
        auto call = [this](const std::string& name, std::function<void()> f) {
            return Call{name, [this, f] {
                            reset();
                            f();
                        }};
        };
        return {
            call("bootstrap", [&] { b.bootstrap(ct, res); }),
            call("bootstrap complex", [&] { b.bootstrap(ct, res, true); }),
            call("bootstrap in place", [&] { b.bootstrap(ctIn, ctIn); }),
            call("bootstrap extended", [&] { b.bootstrapExtended(ct, res); }),
            call("bootstrap into two", [&] { b.bootstrap(ct, res, res2); }),
            call("bootstrap into two, first over the input", [&] { b.bootstrap(ctIn, ctIn, res2); }),
            call("bootstrap extended into two", [&] { b.bootstrapExtended(ct, res, res2); }),
        };
    }

    Keyed k;
    Bootstrapper bootstrapper{k.eval};
    Message msg, msg2, msgRes, shortMsg;
    Ciphertext ct{k.context}, ct2{k.context}, ctIn{k.context}, res{k.context}, res2{k.context};
    Plaintext pt{k.context}, pt2{k.context}, ptRes{k.context};
    std::vector<Ciphertext> terms;
    const std::vector<u64> rotations{1, 2, 4};
};

// The thread's buffers of message rotate-and-sums and in-place rotations are kept for its next call up to 65536
// slots: a repeated call makes nothing, while a longer buffer goes with its call and is made again by the next.
TEST(AllocationTest, MessageRotationBuffersAreKeptUpTo65536Slots) {
    Keyed k(makeContext(ParameterPreset::FX));
    const HomEvaluator& e = k.eval;
    struct Row {
        std::string name;
        u64 slots;
        std::function<void(const HomEvaluator&, const Message&, Message&)> run;
        std::size_t repeated;
    };
    const auto sum = [](const HomEvaluator& ev, const Message& op, Message& out) {
        ev.leftRotateReduce(op, 1, 3, out);
    };
    const auto sumInPlace = [](const HomEvaluator& ev, const Message&, Message& out) {
        ev.leftRotateReduce(out, 1, 3, out);
    };
    // The shorter side of the rotation, half the slots, is parked.
    const auto rotateInPlace = [](const HomEvaluator& ev, const Message& op, Message& out) {
        ev.leftRotate(out, op.getSize() / 2, out);
    };
    const std::vector<Row> rows = {
        {"rotate-and-sum", u64{1} << 16, sum, 0},
        {"rotate-and-sum", u64{1} << 17, sum, 1},
        {"rotate-and-sum in place", u64{1} << 16, sumInPlace, 0},
        {"rotate-and-sum in place", u64{1} << 17, sumInPlace, 1},
        {"rotation in place", u64{1} << 17, rotateInPlace, 0},
        {"rotation in place", u64{1} << 18, rotateInPlace, 1},
    };
    for (const Row& row : rows) {
        const Message op = evaltest::messageOfSize(row.slots, evaltest::firstSlot);
        Message out = evaltest::messageOfSize(row.slots, evaltest::secondSlot);
        row.run(e, op, out);
        EXPECT_EQ(allocationsOf([&] { row.run(e, op, out); }), row.repeated) << row.name << " of " << row.slots;
    }
}

TEST(AllocationTest, EvaluatorCallsAllocateNothingInSteadyState) {
    for (const ParameterPreset preset : {ParameterPreset::FX, ParameterPreset::FGb}) {
        SCOPED_TRACE(Parameter(preset).presetName);
        Steady s(preset);
        expectNoAllocation(s.evaluatorCalls());
    }
}

TEST(AllocationTest, BootstrapperCallsAllocateNothingInSteadyState) {
    for (const ParameterPreset preset : {ParameterPreset::FX, ParameterPreset::FGb}) {
        SCOPED_TRACE(Parameter(preset).presetName);
        Steady s(preset);
        expectNoAllocation(s.bootstrapperCalls());
    }
}

} // namespace
