#pragma once

// Library-internal: the math layer's shared rules: its messages, its constants, the check prelude of the
// bootstrapping approximations and the bootstrap of two real ciphertexts packed as one complex ciphertext.
// The Python binding shares the pair bootstrap.

#if !defined(MORVANE_LAYER_MATH) && !defined(MORVANE_LAYER_PYTHON)
#error "morvane/math/detail/Toolbox.hpp is internal to the math and python layers: include the public headers"
#endif

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Exception.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace Morvane::Math::detail {

// Messages: every refusal of the math layer reads "[<function>] <text>".
[[noreturn]] inline void fail(std::string_view name, std::string_view text) {
    std::string message;
    message.reserve(name.size() + text.size() + 3);
    message.append("[").append(name).append("] ").append(text);
    throw RuntimeException(message);
}

// "[<name>] <option> must be finite" unless value is a finite number.
inline void checkFinite(std::string_view name, std::string_view option, double value) {
    if (!std::isfinite(value))
        fail(name, std::string(option) + " must be finite");
}

// Constants.
inline constexpr double kTwoTo20 = 1048576.0;
inline constexpr double kTwoToMinus20 = 9.5367431640625e-07;
inline constexpr double kTwoTo40 = 1099511627776.0;
inline constexpr double kTwoTo64 = 18446744073709551616.0;
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kLn2 = 0.6931471805599453;
inline constexpr double kInverseLn2 = 1.4426950408889634;
inline constexpr double kInverseLn10 = 0.43429448190325176;

// A real constant operand.
inline Complex real(double value) { return Complex(value, 0.0); }

// The check prelude of the bootstrapping approximations, in its fixed order: a bootstrappable parameter, a
// bootstrapper ready for the slots of every input (with `full_slots`, also for the full slot count, the
// extended bootstrap's), then, with `levels`, room for a block of that many levels after a bootstrap.
enum class Readiness { Slots, SlotsAndFullSlots };
void checkPrelude(const HomEvaluator& eval, const Bootstrapper& btp, std::string_view name,
                  std::initializer_list<const Ciphertext*> inputs, Readiness readiness, std::optional<u64> levels);

// The pair bootstrap: res1 and res2 take the real and imaginary parts of the bootstrapped a + i b, packed in
// `packed` first (i b, then a + i b). packed may be b, not a; the outputs may be any of them.
inline void packPair(const HomEvaluator& eval, const Ciphertext& a, const Ciphertext& b, Ciphertext& packed) {
    eval.multImagUnit(b, packed);
    eval.add(a, packed, packed);
}

inline void bootstrapPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& a,
                          const Ciphertext& b, Ciphertext& packed, Ciphertext& res1, Ciphertext& res2,
                          bool extended = false) {
    packPair(eval, a, b, packed);
    if (extended)
        btp.bootstrapExtended(packed, res1, res2);
    else
        btp.bootstrap(packed, res1, res2);
}

} // namespace Morvane::Math::detail
