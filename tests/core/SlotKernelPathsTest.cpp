// The AVX2 path of the slot kernels gives the baseline's bits for every input: random parts of every kind
// (NaNs of any sign and payload, infinities, denormals, signed zeros, overflowing magnitudes), every slot
// count around the vector widths and chunk edges, results apart from and over either operand. And every path
// gives the bits recorded from the default build, whatever flags (a global -march, another compiler) this
// build was made with.
#include "morvane/core/SlotKernelPaths.hpp"
#include "morvane/core/SlotKernels.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using Morvane::utils::Complex;
using Morvane::utils::SlotKernelTable;
using Slots = std::vector<Complex>;

double fromBits(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// A part of one of the kinds that take special paths, or an ordinary value over a wide range.
double randomPart(std::mt19937_64& rng) {
    const std::uint64_t r = rng();
    const std::uint64_t sign = (r >> 8 & 1) << 63;
    switch (r % 10) {
    case 0: // NaN, quiet or signalling, any payload
        return fromBits(sign | 0x7ff0000000000000ULL | (rng() & 0x000fffffffffffffULL) | 1);
    case 1:
        return fromBits(sign | 0x7ff0000000000000ULL);
    case 2: // denormal
        return fromBits(sign | (rng() & 0x000fffffffffffffULL));
    case 3:
        return fromBits(sign);
    case 4: // products of these overflow
        return std::ldexp(sign ? -1.5 : 1.5, 1000 + static_cast<int>(rng() % 24));
    default: {
        const double fraction = static_cast<double>(static_cast<std::int64_t>(rng() >> 11)) / 9007199254740992.0;
        return std::ldexp(fraction, static_cast<int>(rng() % 80) - 40);
    }
    }
}

// The parts drawn in order: the order in which a call's arguments are evaluated differs between compilers.
Complex randomSlot(std::mt19937_64& rng) {
    const double re = randomPart(rng);
    return Complex(re, randomPart(rng));
}

Slots randomSlots(std::mt19937_64& rng, std::size_t n) {
    Slots s(n);
    for (Complex& c : s)
        c = randomSlot(rng);
    return s;
}

::testing::AssertionResult sameBits(const Slots& expected, const Slots& got) {
    if (expected.size() != got.size())
        return ::testing::AssertionFailure() << "lengths " << expected.size() << " and " << got.size();
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (std::memcmp(&expected[i], &got[i], sizeof(Complex)) != 0)
            return ::testing::AssertionFailure() << "slot " << i << ": " << expected[i] << " and " << got[i];
    return ::testing::AssertionSuccess();
}

const std::vector<std::size_t> kCounts = {0, 1, 2, 3, 4, 5, 7, 8, 9, 31, 33, 255, 256, 257, 600, 1031};

// Each case runs one kernel of a path on (a, b) into a result that starts as `out`: a separate vector, or the
// caller's copy of a or of b when the case writes over an operand.
struct Case {
    std::string name;
    std::function<void(const SlotKernelTable&, const Complex* a, const Complex* b, Complex* out, std::size_t n)> run;
};

enum class Target { Apart, OverFirst, OverSecond };

Slots runCase(const Case& c, const SlotKernelTable& path, const Slots& a, const Slots& b, Target target) {
    Slots first = a, second = b, out(a.size(), Complex(-7.0, 7.0));
    Complex* result = target == Target::Apart ? out.data() : target == Target::OverFirst ? first.data() : second.data();
    c.run(path, first.data(), second.data(), result, a.size());
    return target == Target::Apart ? out : target == Target::OverFirst ? first : second;
}

class SlotKernelPathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        avx2 = Morvane::utils::avx2SlotKernels();
        if (avx2 == nullptr)
            GTEST_SKIP() << "this processor has no AVX2: only the baseline path runs";
    }

    const SlotKernelTable& baseline = Morvane::utils::baselineSlotKernels();
    const SlotKernelTable* avx2 = nullptr;
};

TEST_F(SlotKernelPathsTest, TheLibraryRunsTheAvx2PathWhereThereIsOne) {
    EXPECT_EQ(avx2, &Morvane::utils::activeSlotKernels());
    EXPECT_STREQ("avx2", avx2->name);
    EXPECT_STREQ("baseline", baseline.name);
}

TEST_F(SlotKernelPathsTest, EveryKernelGivesTheBaselineBits) {
    std::mt19937_64 rng(20240611);
    const std::vector<Case> cases = {
        {"negate", [](const SlotKernelTable& p, const Complex* a, const Complex*, Complex* o,
                      std::size_t n) { p.negateSlots(a, o, n); }},
        {"conjugate", [](const SlotKernelTable& p, const Complex* a, const Complex*, Complex* o,
                         std::size_t n) { p.conjugateSlots(a, o, n); }},
        {"add", [](const SlotKernelTable& p, const Complex* a, const Complex* b, Complex* o,
                   std::size_t n) { p.addSlots(a, b, o, n); }},
        {"sub", [](const SlotKernelTable& p, const Complex* a, const Complex* b, Complex* o,
                   std::size_t n) { p.subSlots(a, b, o, n); }},
        {"mult", [](const SlotKernelTable& p, const Complex* a, const Complex* b, Complex* o,
                    std::size_t n) { p.multSlots(a, b, o, n); }},
        {"square", [](const SlotKernelTable& p, const Complex* a, const Complex*, Complex* o,
                      std::size_t n) { p.multSlots(a, a, o, n); }},
        {"accumulate", [](const SlotKernelTable& p, const Complex* a, const Complex*, Complex* o,
                          std::size_t n) { p.accumulateSlots(a, o, n); }},
    };
    for (const std::size_t n : kCounts)
        for (int round = 0; round < 3; ++round) {
            const Slots a = randomSlots(rng, n), b = randomSlots(rng, n);
            for (const Case& c : cases)
                for (const Target t : {Target::Apart, Target::OverFirst, Target::OverSecond}) {
                    EXPECT_TRUE(sameBits(runCase(c, baseline, a, b, t), runCase(c, *avx2, a, b, t)))
                        << c.name << ", " << n << " slots, result " << static_cast<int>(t);
                }
            // Two results: the real parts apart or over the input, the imaginary parts apart.
            for (const bool overInput : {false, true}) {
                Slots re[2], im[2];
                const SlotKernelTable* paths[2] = {&baseline, avx2};
                for (int k = 0; k < 2; ++k) {
                    re[k] = overInput ? a : Slots(n);
                    im[k] = Slots(n);
                    paths[k]->splitParts(overInput ? re[k].data() : a.data(), re[k].data(), im[k].data(), n);
                }
                EXPECT_TRUE(sameBits(re[0], re[1])) << "split, " << n << " slots";
                EXPECT_TRUE(sameBits(im[0], im[1])) << "split, " << n << " slots";
            }
        }
}

TEST_F(SlotKernelPathsTest, KernelsWithAScalarGiveTheBaselineBits) {
    std::mt19937_64 rng(7);
    for (const std::size_t n : kCounts)
        for (int round = 0; round < 6; ++round) {
            const Slots a = randomSlots(rng, n);
            const Complex c(randomPart(rng), randomPart(rng));
            const double k = randomPart(rng);
            const std::vector<Case> cases = {
                {"add constant", [c](const SlotKernelTable& p, const Complex* x, const Complex*, Complex* o,
                                     std::size_t m) { p.addConstant(x, c, o, m); }},
                {"sub constant", [c](const SlotKernelTable& p, const Complex* x, const Complex*, Complex* o,
                                     std::size_t m) { p.subConstant(x, c, o, m); }},
                {"mult constant", [c](const SlotKernelTable& p, const Complex* x, const Complex*, Complex* o,
                                      std::size_t m) { p.multConstant(x, c, o, m); }},
                {"mult real", [k](const SlotKernelTable& p, const Complex* x, const Complex*, Complex* o,
                                  std::size_t m) { p.multReal(x, k, o, m); }},
                {"divide", [k](const SlotKernelTable& p, const Complex*, const Complex*, Complex* o,
                               std::size_t m) { p.divideSlots(o, k, m); }},
                {"bootstrap real", [](const SlotKernelTable& p, const Complex* x, const Complex*, Complex* o,
                                      std::size_t m) { p.bootstrapSlots(x, nullptr, o, m, false); }},
            };
            for (const Case& kernel : cases)
                for (const Target t : {Target::Apart, Target::OverFirst})
                    EXPECT_TRUE(sameBits(runCase(kernel, baseline, a, a, t), runCase(kernel, *avx2, a, a, t)))
                        << kernel.name << " by " << c << " / " << k << ", " << n << " slots";
        }
}

TEST_F(SlotKernelPathsTest, SpreadAndBootstrapWithSamplesGiveTheBaselineBits) {
    std::mt19937_64 rng(99);
    const std::size_t n = 1024;
    const Slots a = randomSlots(rng, n), samples = randomSlots(rng, n);
    for (const std::size_t m : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{32}, std::size_t{100},
                                std::size_t{256}, std::size_t{300}, std::size_t{512}, n, n + 1}) {
        const Slots msg = randomSlots(rng, m);
        const std::vector<Case> cases = {
            {"add spread", [&msg, m](const SlotKernelTable& p, const Complex* x, const Complex*, Complex* o,
                                     std::size_t k) { p.addSpread(x, msg.data(), m, o, k); }},
            {"sub spread", [&msg, m](const SlotKernelTable& p, const Complex* x, const Complex*, Complex* o,
                                     std::size_t k) { p.subSpread(x, msg.data(), m, o, k); }},
            {"mult spread", [&msg, m](const SlotKernelTable& p, const Complex* x, const Complex*, Complex* o,
                                      std::size_t k) { p.multSpread(x, msg.data(), m, o, k); }},
        };
        for (const Case& c : cases)
            for (const Target t : {Target::Apart, Target::OverFirst})
                EXPECT_TRUE(sameBits(runCase(c, baseline, a, a, t), runCase(c, *avx2, a, a, t)))
                    << c.name << ", message of " << m;
    }
    for (const bool isComplex : {false, true}) {
        const Case c{"bootstrap with samples",
                     [isComplex](const SlotKernelTable& p, const Complex* x, const Complex* s, Complex* o,
                                 std::size_t k) { p.bootstrapSlots(x, s, o, k, isComplex); }};
        for (const Target t : {Target::Apart, Target::OverFirst})
            EXPECT_TRUE(sameBits(runCase(c, baseline, a, samples, t), runCase(c, *avx2, a, samples, t)))
                << (isComplex ? "complex" : "real");
    }
}

TEST_F(SlotKernelPathsTest, AllZeroAgrees) {
    std::mt19937_64 rng(5);
    const double kNaN = std::numeric_limits<double>::quiet_NaN();
    for (const std::size_t n : kCounts) {
        Slots zeros(n, Complex(-0.0, 0.0));
        EXPECT_TRUE(baseline.allZero(zeros.data(), n));
        EXPECT_TRUE(avx2->allZero(zeros.data(), n));
        for (std::size_t i = 0; i < n; i += 7) {
            Slots one = zeros;
            one[i] = (i % 2 == 0) ? Complex(0.0, kNaN) : Complex(randomPart(rng), 0.0);
            EXPECT_EQ(baseline.allZero(one.data(), n), avx2->allZero(one.data(), n)) << n << " slots, " << i;
        }
    }
}

// A digest of the results of every kernel of `path` over fixed inputs of every kind: FNV-1a over their bytes.
std::uint64_t resultDigest(const SlotKernelTable& path) {
    std::uint64_t digest = 14695981039346656037ULL;
    const auto take = [&digest](const Slots& slots) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(slots.data());
        for (std::size_t i = 0; i < slots.size() * sizeof(Complex); ++i)
            digest = (digest ^ bytes[i]) * 1099511628211ULL;
    };
    std::mt19937_64 rng(31337);
    for (const std::size_t n : kCounts) {
        const Slots a = randomSlots(rng, n), b = randomSlots(rng, n);
        const Complex c = randomSlot(rng);
        const double k = randomPart(rng);
        const auto apart = [&](auto kernel) {
            Slots out(n, Complex(-7.0, 7.0));
            kernel(out.data());
            take(out);
        };
        const auto overA = [&](auto kernel) {
            Slots out = a;
            kernel(out.data());
            take(out);
        };
        apart([&](Complex* o) { path.negateSlots(a.data(), o, n); });
        apart([&](Complex* o) { path.conjugateSlots(a.data(), o, n); });
        apart([&](Complex* o) { path.addSlots(a.data(), b.data(), o, n); });
        apart([&](Complex* o) { path.subSlots(a.data(), b.data(), o, n); });
        apart([&](Complex* o) { path.multSlots(a.data(), b.data(), o, n); });
        overA([&](Complex* o) { path.multSlots(o, b.data(), o, n); });
        overA([&](Complex* o) { path.multSlots(o, o, o, n); });
        apart([&](Complex* o) { path.addConstant(a.data(), c, o, n); });
        apart([&](Complex* o) { path.subConstant(a.data(), c, o, n); });
        apart([&](Complex* o) { path.multConstant(a.data(), c, o, n); });
        overA([&](Complex* o) { path.multConstant(o, c, o, n); });
        apart([&](Complex* o) { path.multReal(a.data(), k, o, n); });
        overA([&](Complex* o) { path.divideSlots(o, k, n); });
        overA([&](Complex* o) { path.accumulateSlots(b.data(), o, n); });
        for (const bool isComplex : {false, true}) {
            apart([&](Complex* o) { path.bootstrapSlots(a.data(), nullptr, o, n, isComplex); });
            apart([&](Complex* o) { path.bootstrapSlots(a.data(), b.data(), o, n, isComplex); });
        }
        Slots re(n), im(n);
        path.splitParts(a.data(), re.data(), im.data(), n);
        take(re);
        take(im);
        for (const std::size_t m : {std::size_t{1}, std::size_t{3}, std::size_t{100}, std::size_t{300}}) {
            const Slots msg = randomSlots(rng, m);
            apart([&](Complex* o) { path.addSpread(a.data(), msg.data(), m, o, n); });
            apart([&](Complex* o) { path.subSpread(a.data(), msg.data(), m, o, n); });
            apart([&](Complex* o) { path.multSpread(a.data(), msg.data(), m, o, n); });
        }
        digest = (digest ^ static_cast<std::uint64_t>(path.allZero(a.data(), n))) * 1099511628211ULL;
    }
    return digest;
}

// Recorded from the default build (g++, no -march) on x86-64. A change of any kernel's bits shows here.
constexpr std::uint64_t kRecordedDigest = 0xb1e00e9bd1af51bbULL;

TEST(SlotKernelBitsTest, EveryPathGivesTheBitsOfTheDefaultBuild) {
    const auto hex = [](std::uint64_t d) {
        char text[19];
        std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(d));
        return std::string(text);
    };
    EXPECT_EQ(hex(kRecordedDigest), hex(resultDigest(Morvane::utils::baselineSlotKernels()))) << "baseline";
    if (const SlotKernelTable* avx2 = Morvane::utils::avx2SlotKernels()) {
        EXPECT_EQ(hex(kRecordedDigest), hex(resultDigest(*avx2))) << "avx2";
    }
}

} // namespace
