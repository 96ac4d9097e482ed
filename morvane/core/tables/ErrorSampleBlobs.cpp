#include "morvane/core/tables/ErrorSampleBlobs.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace Morvane {
namespace detail {

namespace {

// Mean, standard deviation and largest magnitude of one part (real or imaginary) of a blob's slots.
struct PartShape {
    double mean;
    double sd;
    double maxMagnitude;
};

constexpr PartShape kExactZero{0.0, 0.0, 0.0};

struct BlobRecipe {
    const char* preset;
    const char* operation;
    u64 slots;
    PartShape real;
    PartShape imag; // kExactZero for the real-slot bootstraps: every imaginary part is exactly 0.0
    double kurtosis; // 3 draws normal samples; above 3 a two-component normal mixture of that kurtosis
    std::uint64_t seed;
};

constexpr double kNormal = 3.0;
constexpr double kHeavy = 4.5;
constexpr double kHeavier = 5.5; // extended-range bootstraps have the heaviest tails

// Measured error of one bootstrap per slot, by preset and kind of bootstrapping.
constexpr BlobRecipe kBlobs[sampleBlobCount] = {
    {"FVa", "bootstrap_real", 65536, {-6.3e-11, 1.5e-08, 6.4e-08}, kExactZero, kNormal, 0x243f6a8885a308d3},
    {"FVa", "bootstrap_real_extended", 65536, {3.3e-11, 1.5e-08, 7.7e-08}, kExactZero, kNormal, 0x13198a2e03707344},
    {"FVa", "bootstrap_complex", 65536, {-3.0e-11, 1.5e-08, 8.1e-08}, {-6.9e-11, 1.5e-08, 7.6e-08}, kNormal,
     0xa4093822299f31d0},
    {"FVa", "bootstrap_complex_extended", 65536, {-5.6e-11, 1.6e-08, 6.6e-08}, {3.4e-11, 1.5e-08, 7.1e-08},
     kNormal, 0x082efa98ec4e6c89},
    {"FVb", "bootstrap_real", 65536, {-3.9e-11, 8.9e-11, 7.0e-10}, kExactZero, kHeavy, 0x452821e638d01377},
    {"FVb", "bootstrap_real_extended", 65536, {-2.9e-13, 3.0e-11, 2.5e-10}, kExactZero, kHeavier, 0xbe5466cf34e90c6c},
    {"FVb", "bootstrap_complex", 65536, {-4.0e-11, 1.0e-10, 7.0e-10}, {-3.9e-11, 1.0e-10, 8.7e-10}, kHeavy,
     0xc0ac29b7c97c50dd},
    {"FVb", "bootstrap_complex_extended", 65536, {-4.9e-13, 3.0e-11, 2.6e-10}, {-1.7e-13, 3.0e-11, 2.4e-10},
     kHeavier, 0x3f84d5b5b5470917},
    {"FVc", "bootstrap_real", 65536, {-4.9e-12, 1.1e-11, 7.3e-11}, kExactZero, kHeavy, 0x9216d5d98979fb1b},
    {"FVc", "bootstrap_real_extended", 65536, {8.5e-16, 3.7e-12, 2.9e-11}, kExactZero, kHeavier, 0xd1310ba698dfb5ac},
    {"FVc", "bootstrap_complex", 65536, {-4.9e-12, 1.3e-11, 9.6e-11}, {-4.9e-12, 1.3e-11, 8.9e-11}, kHeavy,
     0x2ffd72dbd01adfb7},
    {"FVc", "bootstrap_complex_extended", 65536, {9.9e-16, 3.7e-12, 2.9e-11}, {-2.4e-14, 3.7e-12, 2.7e-11},
     kHeavier, 0xb8e1afed6a267e96},
    {"FGa", "bootstrap_real", 32768, {-9.3e-11, 1.9e-10, 1.2e-09}, kExactZero, kHeavy, 0xba7c9045f12c7f99},
    {"FGa", "bootstrap_real_extended", 32768, {-1.9e-12, 1.2e-10, 8.0e-10}, kExactZero, kHeavier, 0x24a19947b3916cf7},
    {"FGa", "bootstrap_complex", 32768, {-9.4e-11, 2.0e-10, 1.2e-09}, {-9.7e-11, 2.0e-10, 9.9e-10}, kHeavy,
     0x0801f2e2858efc16},
    {"FGa", "bootstrap_complex_extended", 32768, {-1.3e-12, 1.2e-10, 8.6e-10}, {-1.4e-12, 1.2e-10, 9.2e-10},
     kHeavier, 0x636920d871574e69},
    {"FGb", "bootstrap_real", 32768, {-4.7e-10, 8.4e-09, 5.4e-08}, kExactZero, kHeavy, 0xa458fea3f4933d7e},
    {"FGb", "bootstrap_real_extended", 32768, {-1.7e-10, 7.7e-09, 6.3e-08}, kExactZero, kHeavier, 0x0d95748f728eb658},
    {"FGb", "bootstrap_complex", 32768, {-4.6e-10, 9.1e-09, 6.9e-08}, {-4.6e-10, 9.2e-09, 6.7e-08}, kHeavy,
     0x718bcd5882154aee},
    {"FGb", "bootstrap_complex_extended", 32768, {-1.6e-10, 7.7e-09, 7.6e-08}, {-1.2e-10, 7.7e-09, 4.7e-08},
     kHeavier, 0x7b54a41dc25a59b5},
    {"FGd", "bootstrap_real", 32768, {-1.0e-09, 9.3e-09, 6.4e-08}, kExactZero, kHeavy, 0x9c30d5392af26013},
    {"FGd", "bootstrap_real_extended", 32768, {-2.7e-10, 7.9e-09, 5.8e-08}, kExactZero, kHeavier, 0xc5d1b023286085f0},
    {"FGd", "bootstrap_complex", 32768, {-8.7e-10, 1.1e-08, 7.0e-08}, {-1.1e-09, 1.1e-08, 6.3e-08}, kHeavy,
     0xca417918b8db38ef},
    {"FGd", "bootstrap_complex_extended", 32768, {-2.2e-10, 7.8e-09, 5.5e-08}, {-2.5e-10, 7.9e-09, 6.0e-08},
     kHeavier, 0x8e79dcb0603a180e},
    {"FTa", "bootstrap_real", 16384, {-5.8e-07, 6.6e-05, 4.8e-04}, kExactZero, kHeavy, 0x6c9e0e8bb01e8a3e},
    {"FTa", "bootstrap_complex", 16384, {-2.0e-07, 6.8e-05, 3.9e-04}, {2.3e-07, 7.0e-05, 4.7e-04}, kHeavy,
     0xd71577c1bd314b27},
    {"FTb", "bootstrap_real", 16384, {1.4e-09, 3.0e-07, 2.0e-06}, kExactZero, kHeavy, 0x78af2fda55605c60},
    {"FTb", "bootstrap_complex", 16384, {2.9e-09, 3.2e-07, 2.3e-06}, {1.2e-09, 3.2e-07, 1.8e-06}, kHeavy,
     0xe65525f3aa55ab94},
    {"FX", "bootstrap_real", 32, {-2.3e-09, 8.1e-10, 3.9e-09}, kExactZero, kNormal, 0x5748986263e81440},
    {"FX", "bootstrap_real_extended", 32, {-5.6e-10, 2.4e-10, 1.0e-09}, kExactZero, kNormal, 0x55ca396a2aab10b6},
    {"FX", "bootstrap_complex", 32, {-2.1e-09, 9.5e-10, 4.6e-09}, {-2.1e-09, 9.8e-10, 4.7e-09}, kNormal,
     0xb4cc5c341141e8ce},
    {"FX", "bootstrap_complex_extended", 32, {-5.1e-10, 2.8e-10, 1.1e-09}, {-5.6e-10, 1.8e-10, 9.0e-10}, kNormal,
     0xa15486af7c72e997},
};

constexpr u64 blobBytes(u64 slots) { return 8 + 16 * slots; }

struct BlobLayout {
    u64 offsets[sampleBlobCount];
    u64 total;
};

constexpr BlobLayout makeLayout() {
    BlobLayout layout{};
    u64 offset = 0;
    for (std::size_t i = 0; i < sampleBlobCount; ++i) {
        layout.offsets[i] = offset;
        offset += blobBytes(kBlobs[i].slots);
    }
    layout.total = offset;
    return layout;
}

constexpr BlobLayout kLayout = makeLayout();

// Zero-initialised, so it occupies no file space and its pages cost nothing until a blob is written. Every
// blob starts 8 bytes before a 16-byte boundary, so its slot doubles are naturally aligned.
alignas(16) char blobStorage[kLayout.total];
std::once_flag blobOnce[sampleBlobCount];

// xoshiro256** seeded through splitmix64: the same bit stream everywhere.
class SampleRandom {
public:
    explicit SampleRandom(std::uint64_t seed) {
        for (auto& word : state_) {
            seed += 0x9e3779b97f4a7c15;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
            z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
            word = z ^ (z >> 31);
        }
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // Uniform in [0, 1) with 53 random bits.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // Standard normal by the polar method.
    double normal() {
        if (haveSpare_) {
            haveSpare_ = false;
            return spare_;
        }
        double u, v, s;
        do {
            u = 2.0 * uniform() - 1.0;
            v = 2.0 * uniform() - 1.0;
            s = u * u + v * v;
        } while (s >= 1.0 || s == 0.0);
        const double factor = std::sqrt(-2.0 * logOf(s) / s);
        spare_ = v * factor;
        haveSpare_ = true;
        return u * factor;
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    // Natural logarithm of a positive finite x from exact operations only, so the samples do not depend on the
    // platform's math library: x = m * 2^e with m in [sqrt(1/2), sqrt(2)), then the atanh series of m.
    static double logOf(double x) {
        int exponent = 0;
        double m = std::frexp(x, &exponent);
        if (m < 0.70710678118654752440) {
            m *= 2.0;
            --exponent;
        }
        const double t = (m - 1.0) / (m + 1.0);
        const double t2 = t * t;
        // |t| < 0.1716: the odd terms up to t^27 reach below double precision.
        constexpr double inverseOdd[] = {1.0 / 1,  1.0 / 3,  1.0 / 5,  1.0 / 7,  1.0 / 9,  1.0 / 11, 1.0 / 13,
                                         1.0 / 15, 1.0 / 17, 1.0 / 19, 1.0 / 21, 1.0 / 23, 1.0 / 25, 1.0 / 27};
        double series = 0.0;
        for (int k = 13; k >= 0; --k)
            series = series * t2 + inverseOdd[k];
        return static_cast<double>(exponent) * 0.69314718055994530942 + 2.0 * t * series;
    }

    std::uint64_t state_[4];
    double spare_ = 0.0;
    bool haveSpare_ = false;
};

double kurtosisOfMixture(double p, double ratio) {
    const double r2 = ratio * ratio;
    const double second = p * r2 + (1.0 - p);
    return 3.0 * (p * r2 * r2 + (1.0 - p)) / (second * second);
}

// Ratio of the wide to the narrow component of a mixture that puts weight p on the wide one.
double mixtureRatioFor(double kurtosis, double p) {
    double lo = 1.0, hi = 20.0;
    for (int i = 0; i < 200; ++i) {
        const double mid = 0.5 * (lo + hi);
        (kurtosisOfMixture(p, mid) < kurtosis ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

void standardise(std::vector<double>& z) {
    const double n = static_cast<double>(z.size());
    double sum = 0.0;
    for (double x : z)
        sum += x;
    const double mean = sum / n;
    double squares = 0.0;
    for (double x : z)
        squares += (x - mean) * (x - mean);
    const double sd = std::sqrt(squares / n);
    for (double& x : z)
        x = (x - mean) / sd;
}

// Moves the tail of one side linearly so that its extreme `extreme` lands on `bound`; values within half the
// smaller of the two stay put, so the order of the samples and the body of the distribution are kept.
void reshapeTail(std::vector<double>& z, double sign, double extreme, double bound) {
    const double knee = 0.5 * std::min(extreme, bound);
    const double factor = (bound - knee) / (extreme - knee);
    for (double& x : z) {
        const double a = sign * x;
        if (a > knee)
            x = sign * (knee + (a - knee) * factor);
    }
}

// Draws `count` values of the given shape: exact mean and standard deviation, the largest magnitude pinned to
// the measured one.
std::vector<double> drawPart(SampleRandom& random, u64 count, const PartShape& shape, double kurtosis) {
    std::vector<double> z(count);
    if (kurtosis > kNormal) {
        constexpr double wideWeight = 0.1;
        const double ratio = mixtureRatioFor(kurtosis, wideWeight);
        for (double& x : z) {
            const bool wide = random.uniform() < wideWeight;
            x = random.normal() * (wide ? ratio : 1.0);
        }
    } else {
        for (double& x : z)
            x = random.normal();
    }

    // In standard units the samples must stay within [-lowBound, highBound], touching one of the two.
    const double highBound = (shape.maxMagnitude - shape.mean) / shape.sd;
    const double lowBound = (shape.maxMagnitude + shape.mean) / shape.sd;
    standardise(z);
    for (int round = 0; round < 200; ++round) {
        const auto [lowest, highest] = std::minmax_element(z.begin(), z.end());
        const double high = *highest, low = -*lowest;
        const double highRatio = high / highBound, lowRatio = low / lowBound;
        if (std::abs(std::max(highRatio, lowRatio) - 1.0) < 1e-9)
            break;
        if (highRatio > 1.0)
            reshapeTail(z, 1.0, high, highBound);
        if (lowRatio > 1.0)
            reshapeTail(z, -1.0, low, lowBound);
        if (highRatio <= 1.0 && lowRatio <= 1.0) {
            if (highRatio >= lowRatio)
                reshapeTail(z, 1.0, high, highBound);
            else
                reshapeTail(z, -1.0, low, lowBound);
        }
        standardise(z);
    }

    for (double& x : z) {
        x = shape.mean + shape.sd * x;
        // Every sample is an error of some size: never exactly zero.
        if (x == 0.0)
            x = shape.sd * 0x1.0p-30;
    }
    return z;
}

} // namespace

const char* sampleBlobAddress(const std::string& presetName, const std::string& operation) {
    for (std::size_t i = 0; i < sampleBlobCount; ++i)
        if (presetName == kBlobs[i].preset && operation == kBlobs[i].operation)
            return blobStorage + kLayout.offsets[i];
    return nullptr;
}

std::size_t sampleBlobIndex(const char* data) {
    if (data == nullptr)
        return sampleBlobCount;
    for (std::size_t i = 0; i < sampleBlobCount; ++i)
        if (data == blobStorage + kLayout.offsets[i])
            return i;
    return sampleBlobCount;
}

u64 sampleBlobBytes(std::size_t index) { return blobBytes(kBlobs[index].slots); }

void generateSampleBlob(std::size_t index, char* out) {
    const BlobRecipe& recipe = kBlobs[index];
    SampleRandom random(recipe.seed);
    const std::vector<double> real = drawPart(random, recipe.slots, recipe.real, recipe.kurtosis);
    const bool complex = recipe.imag.sd != 0.0;
    const std::vector<double> imag =
        complex ? drawPart(random, recipe.slots, recipe.imag, recipe.kurtosis) : std::vector<double>(recipe.slots, 0.0);

    const std::uint64_t count = recipe.slots;
    std::memcpy(out, &count, sizeof count);
    char* slot = out + sizeof count;
    for (u64 i = 0; i < recipe.slots; ++i) {
        std::memcpy(slot, &real[i], sizeof(double));
        std::memcpy(slot + sizeof(double), &imag[i], sizeof(double));
        slot += 2 * sizeof(double);
    }
}

const char* materialiseSampleBlob(std::size_t index) {
    char* blob = blobStorage + kLayout.offsets[index];
    std::call_once(blobOnce[index], [index, blob] { generateSampleBlob(index, blob); });
    return blob;
}

} // namespace detail
} // namespace Morvane
