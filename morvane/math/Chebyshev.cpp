#include "morvane/math/Chebyshev.hpp"

#include "morvane/math/Checks.hpp"
#include "morvane/math/detail/Chebyshev.hpp"
#include "morvane/math/detail/Toolbox.hpp"
#include "morvane/math/detail/Workspace.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Morvane::Math::tools {

namespace {

constexpr const char* kExpansionName = "evaluateChebyshevExpansion";

// A scaled term at most this large (or NaN) is left out; the first product of a block and its constant never are.
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

bool significant(double v) { return std::fabs(v) > kNegligible; }

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

// One evaluation of a record on the workspace of its call.
//
// Every value is given back to the workspace once it is dead, at points a plan made from the record before the
// first operation fixes: the events of an evaluation are the builds of T_2 ... T_(num_bs - 1) (event i), the
// build of the first giant-step polynomial (event num_bs) and the blocks in the order they are evaluated, lowest
// first (event num_bs + 1 + k). A basis element is given back after the last event that reads it, or after its
// own build when none does; the accumulator of the upper part of a block range after it is added into the lower
// part; the giant-step polynomials and the scratch term stay until the workspace ends.
class Expansion {
public:
    Expansion(const HomEvaluator& eval, const ChebyshevCoefficients& coeffs, double multiplier, detail::Workspace& ws)
        : eval_(eval), coeffs_(coeffs), c_(coeffs.coefficients.data()), m_(multiplier), bs_(coeffs.num_bs), ws_(ws),
          elements_(coeffs.num_bs) {
        plan();
    }
    Expansion(const Expansion&) = delete;
    Expansion& operator=(const Expansion&) = delete;

    // T_1 is op itself.
    void buildBasis(const Ciphertext& op);
    void buildGiantSteps();
    // The value of the polynomial, in a working ciphertext that its last operation writes.
    Ciphertext& evaluate();

private:
    u64 topLength() const { return coeffs_.coefficients.size() - (coeffs_.num_gs - 1) * bs_; }
    static u64 blockEvent(u64 bs, u64 block) { return bs + 1 + block; }

    // The reads of every event, in the order the evaluation makes them, to `read(index, event)`.
    template <typename Read>
    void forEachRead(Read read) const;
    void plan();
    // Gives back the basis elements whose last event this is (or an earlier one the evaluation skipped).
    void endEvent(u64 event);

    const Ciphertext& basis(u64 i);
    Ciphertext& build(u64 i);
    Ciphertext& term() {
        if (term_ == nullptr)
            term_ = &ws_.take();
        return *term_;
    }
    // The output of the last operation of a range: its accumulator, or for the whole polynomial the result.
    Ciphertext& target(Ciphertext& acc, bool last) {
        if (!last)
            return acc;
        result_ = &ws_.take();
        return *result_;
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
        if (!significant(v))
            return;
        Ciphertext& t = term();
        eval_.mult(basis(i), real(v), t);
        eval_.add(acc, t, acc);
    }

    // Blocks a ... a + x - 1 into acc, the accumulator of block a; with `last`, the final operation writes the
    // result instead.
    void giantStep(u64 a, u64 x, bool split_top, Ciphertext& acc, bool last);
    void babyStep(u64 block, u64 n, bool split_top, Ciphertext& acc, bool last);

    const HomEvaluator& eval_;
    const ChebyshevCoefficients& coeffs_;
    const double* c_;
    const double m_;
    const u64 bs_;
    detail::Workspace& ws_;
    const Ciphertext* op_ = nullptr;
    // T_2 ... T_(num_bs - 1): the value while alive, the event after which it is dead and whether it was built;
    // an element read but never built has zero slots.
    struct Element {
        Ciphertext* value = nullptr;
        u64 lastEvent = 0;
        bool built = false;
    };
    std::vector<Element> elements_;
    // T_2 ... T_(num_bs - 1) by their last events, and the first one not yet given back: events come in order.
    std::vector<u64> byLastEvent_;
    std::size_t nextRelease_ = 0;
    std::vector<Ciphertext*> giant_;
    Ciphertext* term_ = nullptr;
    Ciphertext* result_ = nullptr;
    // The top block's coefficients in split form.
    std::vector<double> split_;
};

// ceil(log2 x) - 1 and 2^that: the split of x > 1 blocks into a lower part of the largest power of two below x.
u64 lowerPart(u64 x) { return u64{1} << (ceilLog2(x) - 1); }

template <typename Read>
void Expansion::forEachRead(Read read) const {
    const u64 bs = bs_;
    if (coeffs_.basis_type == 0) {
        for (u64 i = 2; i < bs; ++i) {
            if (i % 2 == 0) {
                read(i / 2, i);
            } else {
                read(i / 2 + 1, i);
                read(i / 2, i);
                read(1, i);
            }
        }
    } else {
        u64 d = 1;
        for (u64 i = 2; i < bs; ++i) {
            if (i % 2 == 1) {
                read(i - d, i);
                read(d, i);
                read(2 * d - i, i);
            } else if (i == 2 * d) {
                read(d, i);
                d = i;
            }
        }
    }
    const u64 gs = coeffs_.num_gs;
    if (gs > 1) {
        if (bs % 2 == 0) {
            read(bs / 2, bs);
        } else {
            read(bs / 2 + 1, bs);
            read(bs / 2, bs);
            read(1, bs);
        }
    }
    // Every block but the top one in plain form.
    for (u64 k = 0; k + 1 < gs; ++k) {
        const u64 event = blockEvent(bs, k);
        read(bs - 1, event);
        for (u64 i = bs - 2; i >= 1; --i)
            if (significant(m_ * c_[k * bs + i]))
                read(i, event);
    }
    // The top block in split form, unless it is a single coefficient after other blocks.
    const u64 n = topLength();
    if (n == 1 && gs > 1)
        return;
    const u64 event = blockEvent(bs, gs - 1);
    const std::vector<double>& d = split_;
    read(1, event);
    for (u64 s = 2; s <= n / 2; s *= 2) {
        read(s, event);
        for (u64 i = s - 1; i >= 1; --i)
            if (significant(m_ * d[n - 2 * s + i]))
                read(i, event);
    }
}

void Expansion::plan() {
    // Split form: with T_(g+j) = 2 T_g T_j - T_(g-j) at g = n/2, 3n/4, ..., n-2 the block becomes
    // Q_0 + T_(n/2) (Q_1 + T_(n/4) (... + T_2 Q_top)), which saves one level over the plain form.
    const u64 n = topLength();
    const u64 offset = (coeffs_.num_gs - 1) * bs_;
    split_.assign(c_ + offset, c_ + offset + n);
    for (u64 w = n / 2; w >= 2; w /= 2) {
        const u64 g = n - w;
        for (u64 j = 1; j < w; ++j) {
            split_[g - j] = split_[g - j] - split_[g + j];
            split_[g + j] = 2.0 * split_[g + j];
        }
    }
    byLastEvent_.reserve(bs_);
    for (u64 i = 2; i < bs_; ++i) {
        elements_[i].lastEvent = i;
        byLastEvent_.push_back(i);
    }
    forEachRead([this](u64 i, u64 event) {
        Element& e = elements_[i];
        e.lastEvent = std::max(e.lastEvent, event);
    });
    // In place, by index among equal events.
    std::sort(byLastEvent_.begin(), byLastEvent_.end(), [this](u64 a, u64 b) {
        const u64 x = elements_[a].lastEvent;
        const u64 y = elements_[b].lastEvent;
        return x != y ? x < y : a < b;
    });
}

void Expansion::endEvent(u64 event) {
    for (; nextRelease_ < byLastEvent_.size(); ++nextRelease_) {
        Element& e = elements_[byLastEvent_[nextRelease_]];
        if (e.lastEvent > event)
            return;
        if (e.value != nullptr) {
            ws_.give(*e.value);
            e.value = nullptr;
        }
    }
}

const Ciphertext& Expansion::basis(u64 i) {
    if (i == 1)
        return *op_;
    Element& e = elements_[i];
    if (e.value == nullptr) {
        // The plan gives an element back only after its last read.
        if (e.built)
            throw std::logic_error("evaluateChebyshevExpansion: T_" + std::to_string(i) + " read after its last use");
        e.value = &ws_.zeros();
    }
    return *e.value;
}

Ciphertext& Expansion::build(u64 i) {
    Element& e = elements_[i];
    e.built = true;
    e.value = &ws_.take();
    return *e.value;
}

void Expansion::buildBasis(const Ciphertext& op) {
    op_ = &op;
    if (coeffs_.basis_type == 0) {
        // Halving rule: T_2k = 2 T_k^2 - 1, T_(2k+1) = 2 T_(k+1) T_k - T_1.
        for (u64 i = 2; i < bs_; ++i) {
            if (i % 2 == 0) {
                doubleSquareMinusOne(basis(i / 2), build(i));
            } else {
                const u64 k = i / 2;
                doubleProductMinus(basis(k + 1), basis(k), basis(1), build(i));
            }
            endEvent(i);
        }
        return;
    }
    // Power-of-two rule: T_i = 2 T_(i-d) T_d - T_(2d-i) for odd i, d the largest power of two below i; the even
    // elements that are not powers of two are never needed.
    u64 d = 1;
    for (u64 i = 2; i < bs_; ++i) {
        if (i % 2 == 1) {
            doubleProductMinus(basis(i - d), basis(d), basis(2 * d - i), build(i));
        } else if (i == 2 * d) {
            doubleSquareMinusOne(basis(d), build(i));
            d = i;
        }
        endEvent(i);
    }
}

void Expansion::buildGiantSteps() {
    // The blocks read T_(num_bs * 2^i) for i < ceil(log2 num_gs) only; any further ones the record asks for are
    // built, each from the one before, and dropped.
    const u64 read = ceilLog2(coeffs_.num_gs);
    giant_.reserve(read);
    giant_.push_back(&ws_.take());
    if (bs_ % 2 == 0) {
        doubleSquareMinusOne(basis(bs_ / 2), *giant_[0]);
    } else {
        const u64 k = bs_ / 2;
        doubleProductMinus(basis(k + 1), basis(k), basis(1), *giant_[0]);
    }
    endEvent(bs_);
    // The record's log_gs is at least `read`.
    for (u64 i = 1; i < read; ++i) {
        giant_.push_back(&ws_.take());
        doubleSquareMinusOne(*giant_[i - 1], *giant_[i]);
    }
    Ciphertext* dropped[2] = {nullptr, nullptr};
    const Ciphertext* previous = giant_[read - 1];
    for (u64 i = read; i < coeffs_.log_gs; ++i) {
        Ciphertext*& out = dropped[i % 2];
        if (out == nullptr)
            out = &ws_.take();
        doubleSquareMinusOne(*previous, *out);
        previous = out;
    }
    for (Ciphertext* out : dropped)
        if (out != nullptr)
            ws_.give(*out);
}

Ciphertext& Expansion::evaluate() {
    Ciphertext& acc = ws_.take();
    if (coeffs_.num_gs == 1)
        babyStep(0, bs_, true, acc, true);
    else
        giantStep(0, coeffs_.num_gs, true, acc, true);
    ws_.give(acc);
    return *result_;
}

void Expansion::giantStep(u64 a, u64 x, bool split_top, Ciphertext& acc, bool last) {
    // Only the top part carries the top block, of length topLength().
    if (x == 1) {
        babyStep(a, split_top ? topLength() : bs_, split_top, acc, last);
        return;
    }
    const u64 k = ceilLog2(x) - 1;
    const u64 l = lowerPart(x);
    if (x - l == 1 && split_top && topLength() == 1) {
        // The top block is one coefficient: a multiple of T_(num_bs * 2^k) added to the part below.
        const double v = m_ * c_[(a + l) * bs_];
        if (!significant(v)) {
            giantStep(a, l, false, acc, last);
            return;
        }
        giantStep(a, l, false, acc, false);
        Ciphertext& t = term();
        eval_.mult(*giant_[k], real(v), t);
        eval_.add(acc, t, target(acc, last));
        return;
    }
    giantStep(a, l, false, acc, false);
    Ciphertext& high = ws_.take();
    giantStep(a + l, x - l, split_top, high, false);
    eval_.mult(high, *giant_[k], high);
    eval_.add(acc, high, target(acc, last));
    ws_.give(high);
}

void Expansion::babyStep(u64 block, u64 n, bool split_top, Ciphertext& acc, bool last) {
    const u64 offset = block * bs_;
    if (!split_top) {
        eval_.mult(basis(n - 1), real(m_ * c_[offset + n - 1]), acc);
        for (u64 i = n - 2; i >= 1; --i)
            addTerm(acc, i, m_ * c_[offset + i]);
        eval_.add(acc, real(m_ * c_[offset]), target(acc, last));
        endEvent(blockEvent(bs_, block));
        return;
    }
    const std::vector<double>& d = split_;
    eval_.mult(basis(1), real(m_ * d[n - 1]), acc);
    eval_.add(acc, real(m_ * d[n - 2]), target(acc, last && n / 2 < 2));
    for (u64 s = 2; s <= n / 2; s *= 2) {
        eval_.mult(basis(s), acc, acc);
        for (u64 i = s - 1; i >= 1; --i)
            addTerm(acc, i, m_ * d[n - 2 * s + i]);
        eval_.add(acc, real(m_ * d[n - 2 * s]), target(acc, last && 2 * s > n / 2));
    }
    endEvent(blockEvent(bs_, block));
}

// The transform feeds the expansion and is checked under its name.
void checkTransformInput(const Bootstrapper& btp, const Ciphertext& op) {
    const u64 required = btp.isBootstrapReady(op.getLogSlots()) ? btp.getMinLevelForBootstrap() + 1 : 1;
    checkLevelOfInput(kExpansionName, op, required);
}

// The operations of the transform, from op into out; returns out, or op when the interval asks for none.
const Ciphertext& transform(const HomEvaluator& eval, const Ciphertext& op, const InputInterval& interval,
                            Ciphertext& out) {
    const Ciphertext* x = &op;
    const double sum = interval.left + interval.right;
    if (sum != 0.0) {
        eval.sub(*x, real(sum * 0.5), out);
        x = &out;
    }
    const double width = interval.right - interval.left;
    if (width != 0.0) {
        eval.mult(*x, real(2.0 / width), out);
        x = &out;
    }
    return *x;
}

} // namespace

Ciphertext linearTransform(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                           const InputInterval& interval) {
    checkTransformInput(btp, op);
    Ciphertext result = op;
    transform(eval, result, interval, result);
    return result;
}

Ciphertext evaluateChebyshevExpansion(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                      const ChebyshevCoefficients& coeffs, double multiplier) {
    detail::Workspace ws(eval.context);
    return ws.handOut(detail::evaluateChebyshevExpansion(eval, btp, op, coeffs, multiplier, ws));
}

} // namespace Morvane::Math::tools

namespace Morvane::Math::detail {

const Ciphertext& linearTransformInto(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                      const tools::InputInterval& interval, Ciphertext& out) {
    tools::checkTransformInput(btp, op);
    return tools::transform(eval, op, interval, out);
}

Ciphertext& evaluateChebyshevExpansion(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                       const tools::ChebyshevCoefficients& coeffs, double multiplier, Workspace& ws) {
    const u64 required =
        btp.isBootstrapReady(op.getLogSlots()) ? coeffs.level_cost + btp.getMinLevelForBootstrap() : coeffs.level_cost;
    checkLevelOfInput(tools::kExpansionName, op, required);
    tools::validateRecord(coeffs);

    tools::Expansion expansion(eval, coeffs, multiplier, ws);
    expansion.buildBasis(op);
    if (coeffs.num_gs > 1)
        expansion.buildGiantSteps();
    return expansion.evaluate();
}

} // namespace Morvane::Math::detail
