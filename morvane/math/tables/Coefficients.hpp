#pragma once

// Library-internal: the fixed polynomials of the approximations, beside the generated minimax coefficients.

#if !defined(MORVANE_LAYER_MATH)
#error "morvane/math/tables/Coefficients.hpp is internal to the math layer: include the public headers"
#endif

#include "morvane/math/Chebyshev.hpp"

#include <array>

namespace Morvane::Math::tables {

// An odd degree-7 polynomial of the sign iteration, factor * x * P(x^2): P's coefficients, lowest degree first
// and monic, and the factor.
struct SignPolynomial {
    std::array<double, 4> cubic;
    double factor;
};

// (4589x - 16577x^3 + 25614x^5 - 12860x^7) / 1024: fast growth near zero.
inline constexpr SignPolynomial kSignG{{-0.3568429237947123, 1.289035769828927, -1.9917573872472785, 1.0},
                                       -12.55859375};
// (35x - 35x^3 + 21x^5 - 5x^7) / 16: pulls values close to +-1.
inline constexpr SignPolynomial kSignF{{-7.0, 7.0, -4.2, 1.0}, -0.3125};

// The fourth-order Taylor polynomials in y^2 of sin(y)/y and cos(y): c4 y^4 + c2 y^2 + 1.
struct EvenTaylor {
    double c4;
    double c2;
};
inline constexpr EvenTaylor kSinOverY{0.008333333333333333, -0.16666666666666666};
inline constexpr EvenTaylor kCos{0.041666666666666664, -0.5};

// p(x) = ((a4 x^4 + (a3 + e3 x) x^2 + (a2 + e2 x)) x^4 + (a1 + e1 x) x^2 + (a0 x + c0), close to (x + |x|)/2 on
// [-1, 1] to within about 0.0173.
struct ReluPolynomial {
    double a4, e3, a3, e2, a2, e1, a1, a0, c0;
};
inline constexpr ReluPolynomial kRelu{-3.11779341, 1.61648617e-14, 6.85988028, -2.6411996e-14, -5.18168132,
                                      1.07844409e-14, 1.90490472, 0.5, 0.0173448638};

// 1/(1 + e^(-8t)) on [-1, 1] to within about 2e-6.
const tools::ChebyshevCoefficients& sigmoidUpToEight();
// 1/(1 + e^(-16t)) on [-1, 1] to within about 7.3e-4.
const tools::ChebyshevCoefficients& sigmoidAboveEight();
// 1/(1 + e^(-48t)) on [-1, 1] to within about 2e-8: odd Chebyshev terms plus 1/2, from a minimax fit.
const tools::ChebyshevCoefficients& miniMaxSigmoid();
// ln u for u in [0.125, 1] mapped onto [-1, 1], to within about 5e-9.
const tools::ChebyshevCoefficients& logOfEighthRoot();

} // namespace Morvane::Math::tables
