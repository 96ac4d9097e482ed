#include "morvane/math/ApproxSign.hpp"

#include "morvane/math/Checks.hpp"
#include "morvane/math/DomainExtension.hpp"
#include "morvane/math/Refresh.hpp"

#include <cmath>

namespace Morvane::Math {

namespace {

constexpr u64 kMaxLogRange = 38;
constexpr double kRangeRatio = 2.55;
// One cubic step consumes three levels.
constexpr u64 kStepLevels = 3;

// A polynomial of the composite iteration: its cubic, the cubic's real root and the step factor.
struct SignCubic {
    SignCubic(const std::array<double, 4>& p, double k) : coefficients(p), root(solveCubicRealRoot(p)), factor(k) {}
    std::array<double, 4> coefficients;
    double root;
    double factor;
};

// (4589x - 16577x^3 + 25614x^5 - 12860x^7) / 1024: fast growth near zero.
const SignCubic& gCubic() {
    static const SignCubic cubic({-0.3568429237947123, 1.289035769828927, -1.9917573872472785, 1.0}, -12.55859375);
    return cubic;
}

// (35x - 35x^3 + 21x^5 - 5x^7) / 16: pulls values close to +-1.
const SignCubic& fCubic() {
    static const SignCubic cubic({-7.0, 7.0, -4.2, 1.0}, -0.3125);
    return cubic;
}

double cubeRoot(double value) { return std::pow(value, 0.3333333333333333); }

// The steps of one call in order, g before f. The last step writes the result and carries the multiplier.
template <typename Step>
void forEachStep(u64 num_iter_g, u64 num_iter_f, double multiplier, Step step) {
    for (u64 i = 0; i < num_iter_g; ++i) {
        const bool last = num_iter_f == 0 && i + 1 == num_iter_g;
        step(gCubic(), last ? multiplier * gCubic().factor : gCubic().factor, last);
    }
    for (u64 j = 0; j < num_iter_f; ++j) {
        const bool last = j + 1 == num_iter_f;
        step(fCubic(), last ? multiplier * fCubic().factor : fCubic().factor, last);
    }
}

// The pair iterations on a and b in place, at equal levels, refreshed together as a + i b.
void approxSignPairIterations(const HomEvaluator& eval, const Bootstrapper& btp, Ciphertext& a, Ciphertext& b,
                              Ciphertext& res1, Ciphertext& res2, u64 num_iter_g, u64 num_iter_f, double multiplier) {
    if (num_iter_g == 0 && num_iter_f == 0) {
        eval.mult(a, Complex(multiplier, 0.0), res1);
        eval.mult(b, Complex(multiplier, 0.0), res2);
        return;
    }
    Ciphertext t(eval.context, false);
    tools::SignWorkspace ws(eval.context);
    forEachStep(num_iter_g, num_iter_f, multiplier, [&](const SignCubic& cubic, double factor, bool last) {
        if (a.getLevel() < btp.getMinLevelForBootstrap() + kStepLevels) {
            eval.multImagUnit(b, t);
            eval.add(t, a, t);
            btp.bootstrap(t, a, b);
        }
        tools::evalSignCubicStep(eval, cubic.coefficients, a, last ? res1 : a, cubic.root, factor, ws);
        tools::evalSignCubicStep(eval, cubic.coefficients, b, last ? res2 : b, cubic.root, factor, ws);
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
    tools::SignWorkspace ws(eval.context);
    tools::evalSignCubicStep(eval, coefficients, x, out, root, factor, ws);
}

void approxSignNative(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                      u64 num_iter_g, u64 num_iter_f, double multiplier) {
    Ciphertext x(op);
    tools::SignWorkspace ws(eval.context);
    tools::approxSignIterations(eval, btp, x, x, res, num_iter_g, num_iter_f, multiplier, ws);
}

void approxSignNativePair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                          const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, u64 num_iter_g, u64 num_iter_f,
                          double multiplier) {
    Ciphertext a(op1);
    Ciphertext b(op2);
    tools::levelToLower(eval, a, b);
    approxSignPairIterations(eval, btp, a, b, res1, res2, num_iter_g, num_iter_f, multiplier);
}

void approxSign(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                u64 num_iter_g, u64 num_iter_f, u64 log_range) {
    tools::checkSignInput(eval, btp, "approxSign", op, log_range);
    tools::approxSignOfRange(eval, btp, op, res, num_iter_g, num_iter_f, log_range, 1.0);
}

void approxSignPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                    Ciphertext& res1, Ciphertext& res2, u64 num_iter_g, u64 num_iter_f, u64 log_range) {
    tools::checkSignPairInputs(eval, btp, "approxSignPair", op1, op2, log_range);
    tools::approxSignPairOfRange(eval, btp, op1, op2, res1, res2, num_iter_g, num_iter_f, log_range, 1.0);
}

namespace tools {

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
        if (refreshIfBelow(btp, *x, work, kStepLevels))
            x = &work;
        evalSignCubicStep(eval, cubic.coefficients, *x, last ? res : work, cubic.root, factor, ws);
        x = &work;
    });
}

void checkSignInput(const HomEvaluator& eval, const Bootstrapper& btp, std::string_view name, const Ciphertext& op,
                    u64 log_range) {
    checkBootstrappableParameter(eval, name);
    checkBootstrapReady(btp, name, op.getLogSlots());
    checkAvailableMult(btp, name, kStepLevels);
    checkLogRange(name, log_range, kMaxLogRange);
    checkLevelOfInput(name, op, inputLevelFor(btp, log_range));
}

void checkSignPairInputs(const HomEvaluator& eval, const Bootstrapper& btp, std::string_view name,
                         const Ciphertext& op1, const Ciphertext& op2, u64 log_range) {
    checkBootstrappableParameter(eval, name);
    checkBootstrapReady(btp, name, op1.getLogSlots());
    checkBootstrapReady(btp, name, op2.getLogSlots());
    checkAvailableMult(btp, name, kStepLevels);
    checkLogRange(name, log_range, kMaxLogRange);
    const u64 level = inputLevelFor(btp, log_range);
    checkLevelOfInput(name, op1, level);
    checkLevelOfInput(name, op2, level);
}

void approxSignOfRange(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                       u64 num_iter_g, u64 num_iter_f, u64 log_range, double multiplier) {
    if (log_range == 0) {
        approxSignNative(eval, btp, op, res, num_iter_g, num_iter_f, multiplier);
        return;
    }
    Ciphertext x =
        approxDomainExtension(eval, btp, op, 1.0, std::pow(2.0, static_cast<double>(log_range)), kRangeRatio);
    SignWorkspace ws(eval.context);
    approxSignIterations(eval, btp, x, x, res, num_iter_g, num_iter_f, multiplier, ws);
}

void approxSignPairOfRange(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                           const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, u64 num_iter_g, u64 num_iter_f,
                           u64 log_range, double multiplier) {
    if (log_range == 0) {
        approxSignNativePair(eval, btp, op1, op2, res1, res2, num_iter_g, num_iter_f, multiplier);
        return;
    }
    Ciphertext x1(eval.context, false);
    Ciphertext x2(eval.context, false);
    approxDomainExtensionPair(eval, btp, op1, op2, x1, x2, 1.0, std::pow(2.0, static_cast<double>(log_range)),
                              kRangeRatio);
    approxSignPairIterations(eval, btp, x1, x2, res1, res2, num_iter_g, num_iter_f, multiplier);
}

} // namespace tools

} // namespace Morvane::Math
