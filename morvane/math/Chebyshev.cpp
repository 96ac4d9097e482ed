#include "morvane/math/Chebyshev.hpp"

#include "morvane/math/Checks.hpp"
#include "morvane/math/detail/Toolbox.hpp"

#include <cmath>
#include <optional>
#include <utility>

namespace Morvane::Math::tools {

namespace {

constexpr const char* kExpansionName = "evaluateChebyshevExpansion";

// A scaled term at most this large is left out; the first product of a block and its constant never are.
constexpr double kNegligible = 1e-8;

using detail::real;

// ceil(log2 x) for x >= 1.
u64 ceilLog2(u64 x) {
    u64 bits = 0;
    for (u64 rest = x - 1; rest != 0; rest >>= 1)
        ++bits;
    return bits;
}

bool isPowerOfTwo(u64 x) { return x != 0 && (x & (x - 1)) == 0; }

[[noreturn]] void refuseRecord(const char* text) { detail::fail(kExpansionName, text); }

// Every index the evaluation reads must exist: the blocks must tile the coefficient list, the giant-step
// polynomials must cover the block count, and the split form of the top block needs a power-of-two length.
void validateRecord(const ChebyshevCoefficients& coeffs) {
    if (coeffs.basis_type != 0 && coeffs.basis_type != 1)
        refuseRecord("basis_type must be 0 or 1");
    if (coeffs.num_bs < 2)
        refuseRecord("num_bs must be >= 2");
    if (coeffs.num_gs < 1)
        refuseRecord("num_gs must be >= 1");
    const u64 size = coeffs.coefficients.size();
    // num_gs - 1 full blocks and a last one of 1 ... num_bs coefficients; a single block is always full.
    if (size == 0 || (size - 1) / coeffs.num_bs != coeffs.num_gs - 1 || (coeffs.num_gs == 1 && size != coeffs.num_bs))
        refuseRecord("The number of coefficients does not fit num_bs and num_gs");
    const u64 topLength = size - (coeffs.num_gs - 1) * coeffs.num_bs;
    // A top block of one coefficient (after other blocks) is added as a multiple of a giant-step polynomial.
    if (!(topLength == 1 && coeffs.num_gs > 1) && !isPowerOfTwo(topLength))
        refuseRecord("The length of the last block must be a power of two");
    if (coeffs.log_gs < ceilLog2(coeffs.num_gs))
        refuseRecord("log_gs must be >= ceil(log2(num_gs))");
}

// The state of one evaluation: the basis, the giant-step polynomials and the scratch ciphertexts that every
// term and every block reuses instead of allocating its own.
class Expansion {
public:
    Expansion(const HomEvaluator& eval, const ChebyshevCoefficients& coeffs, double multiplier)
        : eval_(eval), coeffs_(coeffs), c_(coeffs.coefficients.data()), m_(multiplier), basis_(coeffs.num_bs),
          term_(eval.context, false) {}

    void buildBasis(const Ciphertext& op);
    void buildGiantSteps();
    Ciphertext evaluateChebyshevGiantStep(u64 a, u64 x, u64 n_last, bool split_top);
    Ciphertext evaluateChebyshevBabyStep(u64 offset, u64 n, bool split_top);

private:
    // T_i; an element the basis never computed reads as a fresh ciphertext.
    Ciphertext& basis(u64 i) {
        if (!basis_[i])
            basis_[i].emplace(eval_.context, false);
        return *basis_[i];
    }
    // T_i = 2 * a * b - c, and T_i = 2 * a^2 - 1.
    void doubleProductMinus(const Ciphertext& a, const Ciphertext& b, const Ciphertext& c, Ciphertext& out) const {
        eval_.mult(a, b, out);
        eval_.mult(out, real(2.0), out);
        eval_.sub(out, c, out);
    }
    void doubleSquareMinusOne(const Ciphertext& a, Ciphertext& out) const {
        eval_.square(a, out);
        eval_.mult(out, real(2.0), out);
        eval_.sub(out, real(1.0), out);
    }
    // acc += v * T_i unless v is negligible.
    void addTerm(Ciphertext& acc, u64 i, double v) {
        if (!(std::fabs(v) > kNegligible))
            return;
        eval_.mult(basis(i), real(v), term_);
        eval_.add(acc, term_, acc);
    }
    Ciphertext take() {
        if (spare_.empty())
            return Ciphertext(eval_.context, false);
        Ciphertext c = std::move(spare_.back());
        spare_.pop_back();
        return c;
    }
    void giveBack(Ciphertext&& c) { spare_.push_back(std::move(c)); }

    const HomEvaluator& eval_;
    const ChebyshevCoefficients& coeffs_;
    const double* c_;
    const double m_;
    std::vector<std::optional<Ciphertext>> basis_;
    std::vector<Ciphertext> giant_;
    Ciphertext term_;
    std::vector<Ciphertext> spare_;
    std::vector<double> split_;
};

void Expansion::buildBasis(const Ciphertext& op) {
    basis_[1].emplace(op);
    if (coeffs_.basis_type == 0) {
        // Halving rule: T_2k = 2 T_k^2 - 1, T_(2k+1) = 2 T_(k+1) T_k - T_1.
        for (u64 i = 2; i < coeffs_.num_bs; ++i) {
            if (i % 2 == 0) {
                doubleSquareMinusOne(basis(i / 2), basis(i));
            } else {
                const u64 k = i / 2;
                doubleProductMinus(basis(k + 1), basis(k), basis(1), basis(i));
            }
        }
        return;
    }
    // Power-of-two rule: T_i = 2 T_(i-d) T_d - T_(2d-i) for odd i, d the largest power of two below i; the even
    // elements that are not powers of two are never needed.
    u64 d = 1;
    for (u64 i = 2; i < coeffs_.num_bs; ++i) {
        if (i % 2 == 1) {
            doubleProductMinus(basis(i - d), basis(d), basis(2 * d - i), basis(i));
        } else if (i == 2 * d) {
            doubleSquareMinusOne(basis(d), basis(i));
            d = i;
        }
    }
}

void Expansion::buildGiantSteps() {
    const u64 bs = coeffs_.num_bs;
    giant_.reserve(coeffs_.log_gs);
    giant_.emplace_back(eval_.context, false);
    if (bs % 2 == 0) {
        doubleSquareMinusOne(basis(bs / 2), giant_[0]);
    } else {
        const u64 k = bs / 2;
        doubleProductMinus(basis(k + 1), basis(k), basis(1), giant_[0]);
    }
    for (u64 i = 1; i < coeffs_.log_gs; ++i) {
        giant_.emplace_back(eval_.context, false);
        doubleSquareMinusOne(giant_[i - 1], giant_[i]);
    }
}

Ciphertext Expansion::evaluateChebyshevGiantStep(u64 a, u64 x, u64 n_last, bool split_top) {
    const u64 bs = coeffs_.num_bs;
    if (x == 1)
        return evaluateChebyshevBabyStep(a * bs, n_last, split_top);
    // l: the largest power of two below x.
    const u64 k = ceilLog2(x) - 1;
    const u64 l = u64{1} << k;
    Ciphertext low = evaluateChebyshevGiantStep(a, l, bs, false);
    if (x - l == 1 && n_last == 1) {
        const double v = m_ * c_[(a + l) * bs];
        if (std::fabs(v) > kNegligible) {
            eval_.mult(giant_[k], real(v), term_);
            eval_.add(low, term_, low);
        }
        return low;
    }
    Ciphertext high = evaluateChebyshevGiantStep(a + l, x - l, n_last, split_top);
    eval_.mult(high, giant_[k], high);
    eval_.add(low, high, low);
    giveBack(std::move(high));
    return low;
}

Ciphertext Expansion::evaluateChebyshevBabyStep(u64 offset, u64 n, bool split_top) {
    Ciphertext acc = take();
    if (!split_top) {
        eval_.mult(basis(n - 1), real(m_ * c_[offset + n - 1]), acc);
        for (u64 i = n - 2; i >= 1; --i)
            addTerm(acc, i, m_ * c_[offset + i]);
        eval_.add(acc, real(m_ * c_[offset]), acc);
        return acc;
    }
    // Split form: with T_(g+j) = 2 T_g T_j - T_(g-j) at g = n/2, 3n/4, ..., n-2 the block becomes
    // Q_0 + T_(n/2) (Q_1 + T_(n/4) (... + T_2 Q_top)), which saves one level over the plain form.
    std::vector<double>& d = split_;
    d.assign(c_ + offset, c_ + offset + n);
    for (u64 w = n / 2; w >= 2; w /= 2) {
        const u64 g = n - w;
        for (u64 j = 1; j < w; ++j) {
            d[g - j] = d[g - j] - d[g + j];
            d[g + j] = 2.0 * d[g + j];
        }
    }
    eval_.mult(basis(1), real(m_ * d[n - 1]), acc);
    eval_.add(acc, real(m_ * d[n - 2]), acc);
    for (u64 s = 2; s <= n / 2; s *= 2) {
        eval_.mult(basis(s), acc, acc);
        for (u64 i = s - 1; i >= 1; --i)
            addTerm(acc, i, m_ * d[n - 2 * s + i]);
        eval_.add(acc, real(m_ * d[n - 2 * s]), acc);
    }
    return acc;
}

} // namespace

Ciphertext linearTransform(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                           const InputInterval& interval) {
    const u64 required = btp.isBootstrapReady(op.getLogSlots()) ? btp.getMinLevelForBootstrap() + 1 : 1;
    // The transform feeds the expansion and is checked under its name.
    checkLevelOfInput(kExpansionName, op, required);
    Ciphertext result = op;
    const double sum = interval.left + interval.right;
    if (sum != 0.0)
        eval.sub(result, real(sum * 0.5), result);
    const double width = interval.right - interval.left;
    if (width != 0.0)
        eval.mult(result, real(2.0 / width), result);
    return result;
}

Ciphertext evaluateChebyshevExpansion(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                      const ChebyshevCoefficients& coeffs, double multiplier) {
    const u64 required =
        btp.isBootstrapReady(op.getLogSlots()) ? coeffs.level_cost + btp.getMinLevelForBootstrap() : coeffs.level_cost;
    checkLevelOfInput(kExpansionName, op, required);
    validateRecord(coeffs);

    Expansion expansion(eval, coeffs, multiplier);
    expansion.buildBasis(op);
    if (coeffs.num_gs == 1)
        return expansion.evaluateChebyshevBabyStep(0, coeffs.num_bs, true);
    expansion.buildGiantSteps();
    const u64 lastLength = coeffs.coefficients.size() - (coeffs.num_gs - 1) * coeffs.num_bs;
    return expansion.evaluateChebyshevGiantStep(0, coeffs.num_gs, lastLength, true);
}

} // namespace Morvane::Math::tools
