#include "morvane/math/ApproxSign.hpp"

#include "morvane/core/Interrupt.hpp"
#include "morvane/math/Checks.hpp"
#include "morvane/math/DomainExtension.hpp"
#include "morvane/math/Refresh.hpp"
#include "morvane/math/detail/DomainExtension.hpp"
#include "morvane/math/detail/Sign.hpp"
#include "morvane/math/detail/Toolbox.hpp"
#include "morvane/math/tables/Coefficients.hpp"

#include <cmath>

namespace Morvane::Math {

namespace {

constexpr u64 kMaxLogRange = 38;
constexpr double kRangeRatio = 2.55;
// One cubic step consumes three levels.
constexpr u64 kStepLevels = 3;

// A polynomial of the composite iteration: its cubic, the cubic's real root and the step factor.
struct SignCubic {
    explicit SignCubic(const tables::SignPolynomial& p)
        : coefficients(p.cubic), root(solveCubicRealRoot(p.cubic)), factor(p.factor) {}
    std::array<double, 4> coefficients;
    double root;
    double factor;
};

const SignCubic& gCubic() {
    static const SignCubic cubic(tables::kSignG);
    return cubic;
}

const SignCubic& fCubic() {
    static const SignCubic cubic(tables::kSignF);
    return cubic;
}

double cubeRoot(double value) { return std::pow(value, 0.3333333333333333); }

// The steps of one call in order, g before f. The last step writes the result and carries the multiplier. The
// counts are the caller's: an installed interrupt check may end the call before any step.
template <typename Step>
void forEachStep(u64 num_iter_g, u64 num_iter_f, double multiplier, Step step) {
    for (u64 i = 0; i < num_iter_g; ++i) {
        utils::pollInterrupt();
        const bool last = num_iter_f == 0 && i + 1 == num_iter_g;
        step(gCubic(), last ? multiplier * gCubic().factor : gCubic().factor, last);
    }
    for (u64 j = 0; j < num_iter_f; ++j) {
        utils::pollInterrupt();
        const bool last = j + 1 == num_iter_f;
        step(fCubic(), last ? multiplier * fCubic().factor : fCubic().factor, last);
    }
}

// The pair iterations on a and b in place, at equal levels, refreshed together as a + i b; the steps' temporaries
// come from `workspace`.
void approxSignPairIterations(const HomEvaluator& eval, const Bootstrapper& btp, Ciphertext& a, Ciphertext& b,
                              Ciphertext& res1, Ciphertext& res2, u64 num_iter_g, u64 num_iter_f, double multiplier,
                              detail::Workspace& workspace) {
    if (num_iter_g == 0 && num_iter_f == 0) {
        eval.mult(a, Complex(multiplier, 0.0), res1);
        eval.mult(b, Complex(multiplier, 0.0), res2);
        return;
    }
    detail::SignWorkspace ws(workspace);
    forEachStep(num_iter_g, num_iter_f, multiplier, [&](const SignCubic& cubic, double factor, bool last) {
        // The step's square is free between steps: it holds the packed pair.
        if (a.getLevel() < btp.getMinLevelForBootstrap() + kStepLevels)
            detail::bootstrapPair(eval, btp, a, b, ws.square, a, b);
        detail::evalSignCubicStep(eval, cubic.coefficients, a, last ? res1 : a, cubic.root, factor, ws);
        detail::evalSignCubicStep(eval, cubic.coefficients, b, last ? res2 : b, cubic.root, factor, ws);
    });
}

u64 inputLevelFor(const Bootstrapper& btp, u64 log_range) {
    // A domain extension first needs one level for the rescale before its refresh.
    return btp.getMinLevelForBootstrap() + (log_range != 0 ? 1 : 0);
}

} // namespace

double solveCubicRealRoot(const std::array<double, 4>& p) {
    const double c = p[2] / p[3];
    const double b = p[1] / p[3];
    const double depressedP = b - c * c / 3.0;
    const double q = p[0] / p[3] + ((c + c) * c - 9.0 * b) * c / 27.0;
    const double e = q * q * 0.25;
    const double d = depressedP * depressedP * depressedP / 27.0 + e;
    if (d > 0.0) {
        const double s = std::sqrt(d);
        const double h = q * 0.5;
        const double u = s - h > 0.0 ? cubeRoot(s - h) : -cubeRoot(h - s);
        const double w = -s - h;
        const double v = w > 0.0 ? cubeRoot(w) : -cubeRoot(-w);
        return (v + u) - c / 3.0;
    }
    const double t = std::sqrt(e - d);
    const double z = std::cos(std::acos(-q / (t + t)) * 0.3333333333333333);
    return (cubeRoot(t) + cubeRoot(t)) * z - c / 3.0;
}

void evalSignCubicStep(const HomEvaluator& eval, const std::array<double, 4>& coefficients, const Ciphertext& x,
                       Ciphertext& out, double root, double factor) {
    detail::Workspace workspace(eval.context);
    detail::SignWorkspace ws(workspace);
    detail::evalSignCubicStep(eval, coefficients, x, out, root, factor, ws);
}

void approxSignNative(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                      u64 num_iter_g, u64 num_iter_f, double multiplier) {
    detail::approxSignOfRange(eval, btp, op, res, num_iter_g, num_iter_f, 0, multiplier);
}

void approxSignNativePair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                          const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, u64 num_iter_g, u64 num_iter_f,
                          double multiplier) {
    // The iterations run on copies of the operands, in working ciphertexts.
    detail::Workspace ws(eval.context);
    Ciphertext& a = ws.take();
    a = op1;
    Ciphertext& b = ws.take();
    b = op2;
    tools::levelToLower(eval, a, b);
    approxSignPairIterations(eval, btp, a, b, res1, res2, num_iter_g, num_iter_f, multiplier, ws);
}

void approxSign(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                u64 num_iter_g, u64 num_iter_f, u64 log_range) {
    detail::checkSignInput(eval, btp, "approxSign", op, log_range);
    detail::approxSignOfRange(eval, btp, op, res, num_iter_g, num_iter_f, log_range, 1.0);
}

void approxSignPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                    Ciphertext& res1, Ciphertext& res2, u64 num_iter_g, u64 num_iter_f, u64 log_range) {
    detail::checkSignPairInputs(eval, btp, "approxSignPair", op1, op2, log_range);
    detail::approxSignPairOfRange(eval, btp, op1, op2, res1, res2, num_iter_g, num_iter_f, log_range, 1.0);
}

namespace detail {

void evalSignCubicStep(const HomEvaluator& eval, const std::array<double, 4>& p, const Ciphertext& x, Ciphertext& out,
                       double root, double factor, SignWorkspace& ws) {
    Ciphertext& u = ws.square;
    Ciphertext& w = ws.quartic;
    eval.square(x, u);
    eval.add(u, Complex((root + p[2]) * 0.5, 0.0), w);
    eval.square(w, w);
    eval.add(w, Complex((-p[0]) / root - ((p[2] + root) * (p[2] + root)) * 0.25, 0.0), w);
    eval.add(u, Complex(-root, 0.0), u);
    eval.mult(x, Complex(factor * p[3], 0.0), out);
    eval.mult(out, u, out);
    eval.mult(out, w, out);
}

void approxSignIterations(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& in, Ciphertext& work,
                          Ciphertext& res, u64 num_iter_g, u64 num_iter_f, double multiplier, SignWorkspace& ws) {
    if (num_iter_g == 0 && num_iter_f == 0) {
        eval.mult(in, Complex(multiplier, 0.0), res);
        return;
    }
    // The first refresh or step reads in; every later one reads work.
    const Ciphertext* x = &in;
    forEachStep(num_iter_g, num_iter_f, multiplier, [&](const SignCubic& cubic, double factor, bool last) {
        if (tools::refreshIfBelow(btp, *x, work, kStepLevels))
            x = &work;
        evalSignCubicStep(eval, cubic.coefficients, *x, last ? res : work, cubic.root, factor, ws);
        x = &work;
    });
}

void checkSignInput(const HomEvaluator& eval, const Bootstrapper& btp, std::string_view name, const Ciphertext& op,
                    u64 log_range) {
    checkPrelude(eval, btp, name, {&op}, Readiness::Slots, kStepLevels);
    checkLogRange(name, log_range, kMaxLogRange);
    checkLevelOfInput(name, op, inputLevelFor(btp, log_range));
}

void checkSignPairInputs(const HomEvaluator& eval, const Bootstrapper& btp, std::string_view name,
                         const Ciphertext& op1, const Ciphertext& op2, u64 log_range) {
    checkPrelude(eval, btp, name, {&op1, &op2}, Readiness::Slots, kStepLevels);
    checkLogRange(name, log_range, kMaxLogRange);
    const u64 level = inputLevelFor(btp, log_range);
    checkLevelOfInput(name, op1, level);
    checkLevelOfInput(name, op2, level);
}

void approxSignOfRange(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                       u64 num_iter_g, u64 num_iter_f, u64 log_range, double multiplier) {
    // The steps read op, or its extension, until their first write and work in a ciphertext of the call: res,
    // which may be op, is written by the last step only, so a call that fails or is interrupted on the way leaves
    // it as it was.
    Workspace ws(eval.context);
    Ciphertext& x = ws.take();
    const Ciphertext* in = &op;
    if (log_range != 0) {
        approxDomainExtension(eval, btp, op, 1.0, std::pow(2.0, static_cast<double>(log_range)), kRangeRatio, x, ws);
        in = &x;
    }
    SignWorkspace sign(ws);
    approxSignIterations(eval, btp, *in, x, res, num_iter_g, num_iter_f, multiplier, sign);
}

void approxSignPairOfRange(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                           const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, u64 num_iter_g, u64 num_iter_f,
                           u64 log_range, double multiplier) {
    if (log_range == 0) {
        approxSignNativePair(eval, btp, op1, op2, res1, res2, num_iter_g, num_iter_f, multiplier);
        return;
    }
    // The extension's working ciphertexts serve the steps afterwards.
    Workspace ws(eval.context);
    Ciphertext& x1 = ws.take();
    Ciphertext& x2 = ws.take();
    approxDomainExtensionPair(eval, btp, op1, op2, 1.0, std::pow(2.0, static_cast<double>(log_range)), kRangeRatio, x1,
                              x2, ws);
    approxSignPairIterations(eval, btp, x1, x2, res1, res2, num_iter_g, num_iter_f, multiplier, ws);
}

} // namespace detail

} // namespace Morvane::Math
