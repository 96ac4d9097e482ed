// math.approx: inverse, inverse square root, sigmoid, ReLU, square root, logarithms and exponential. Some wrappers
// compute the library's arguments from the Python ones (start values, error bounds, ranges); that work runs with
// the interpreter lock released too.

#include "morvane/math/detail/Iteration.hpp"
#include "morvane/python/Binding.hpp"

#include <cmath>
#include <optional>

using Morvane::Bootstrapper;
using Morvane::Ciphertext;
using Morvane::HomEvaluator;
using Morvane::u64;
namespace Math = Morvane::Math;

namespace {

constexpr const char* kInverseDoc =
    "input range [1, 1/init] if greater_than_one==true, otherwise [init, 1]. defaul values are init=pow(2, -18), "
    "num_iter=23 if greater_than_one==true, otherwise init=pow(2, -10), num_iter=15";
constexpr const char* kSqrtInverseDoc =
    "input range [1, 1/init^2] if greater_than_one==true, otherwise [init^2, 1]. defaul values are init=pow(2, -9), "
    "num_iter=20 if greater_than_one==true, otherwise init=pow(2, -5), num_iter=14";
constexpr const char* kSigmoidWideDoc =
    "input range [-48 * 2^log_range, 48 * 2^log_range]. log_range shall be chosen in the range of [0, 40].";
constexpr const char* kSigmoidDoc = "input range [-range, range]. range shall be less than 16.";
constexpr const char* kReluDoc = "input range [-1, 1].";
constexpr const char* kSqrtDoc = "input range [2^-18, 2].";
constexpr const char* kLogDoc = "input range [1, 2^log_range] if greater_than_one==True, otherwise [2^-log_range, "
                                "1]. log_range shall be chosen in the range of [0, 40].";
constexpr const char* kExpDoc = "input range [2^-20, 1].";

void inverse(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
             std::optional<double> init, std::optional<u64> num_iter, bool greater_than_one) {
    if (greater_than_one) {
        const double right_end = init ? 1.0 / *init : 262144.0;
        const double e = init ? 1.0 - *init : 0.9999961853027344;
        const double error = Math::detail::inverseBoundForSteps(e, num_iter.value_or(23));
        Math::approxInverseForGreaterThanOne(eval, btp, op, res, right_end, error);
    } else {
        const double left_end = init ? *init : 0.0009765625;
        const double e = init ? 1.0 - *init : 0.9990234375;
        const double error = Math::detail::inverseBoundForSteps(e, num_iter.value_or(20));
        Math::approxInverseForLessThanOne(eval, btp, op, res, left_end, error);
    }
}

void sqrtInverse(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                 std::optional<double> init, std::optional<u64> num_iter, bool greater_than_one) {
    if (greater_than_one) {
        // The library's start value sqrt(2/(right_end + 1)) is then about init.
        const double right_end = init ? 2.0 / (*init * *init) : 524288.0;
        const double e = init ? 1.0 - *init : 0.998046875;
        const double error = Math::detail::sqrtInverseBoundForSteps(e, num_iter.value_or(20));
        Math::approxSqrtInverseForGreaterThanOne(eval, btp, op, res, right_end, error);
    } else {
        const double left_end = init ? *init * *init : 0.0009765625;
        const double e = init ? 1.0 - *init : 0.96875;
        const double error = Math::detail::sqrtInverseBoundForSteps(e, num_iter.value_or(14));
        Math::approxSqrtInverseForLessThanOne(eval, btp, op, res, left_end, error);
    }
}

void sigmoidWide(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                 double domain_range, u64 domain_extension_order, double domain_extension_rate) {
    const double range = domain_range * std::pow(domain_extension_rate, static_cast<double>(domain_extension_order));
    Math::approxSigmoidWide(eval, btp, op, res, range);
}

void logE(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res, u64 log_range,
          bool greater_than_one) {
    if (greater_than_one)
        Math::approxLogEForGreaterThanOne(eval, btp, op, res, log_range, 1.0);
    else
        Math::approxLogEForLessThanOne(eval, btp, op, res, log_range, 1.0);
}

void binaryLog(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res, u64 log_range,
               bool greater_than_one) {
    if (greater_than_one)
        Math::approxLog2ForGreaterThanOne(eval, btp, op, res, log_range);
    else
        Math::approxLog2ForLessThanOne(eval, btp, op, res, log_range);
}

void decimalLog(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                u64 log_range, bool greater_than_one) {
    if (greater_than_one)
        Math::approxLog10ForGreaterThanOne(eval, btp, op, res, log_range);
    else
        Math::approxLog10ForLessThanOne(eval, btp, op, res, log_range);
}

void logBase(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res, double base,
             u64 log_range, bool greater_than_one) {
    if (greater_than_one)
        Math::approxLogForGreaterThanOne(eval, btp, op, res, base, log_range);
    else
        Math::approxLogForLessThanOne(eval, btp, op, res, base, log_range);
}

// The leading arguments of every function here; each registration gets its own default objects.
#define MORVANE_UNARY_ARGS py::arg("eval"), py::arg("btp"), py::arg("op"), py::arg("res")
py::arg_v noValue(const char* name) { return py::arg_v(name, py::none()); }
py::arg_v aboveOne() { return py::arg_v("greater_than_one", true); }
py::arg_v logRange() { return py::arg_v("log_range", u64{18}); }

} // namespace

void bindApproxNumeric(py::module_& approx) {
    approx.def("inverse", guarded(&inverse), kInverseDoc, MORVANE_UNARY_ARGS, noValue("init"),
               noValue("num_iter"), aboveOne());
    approx.def("sqrt_inverse", guarded(&sqrtInverse), kSqrtInverseDoc, MORVANE_UNARY_ARGS, noValue("init"),
               noValue("num_iter"), aboveOne());
    approx.def("sigmoid_wide", guarded(&sigmoidWide), kSigmoidWideDoc, MORVANE_UNARY_ARGS,
               py::arg_v("domain_range", 48.0), py::arg_v("domain_extension_order", u64{10}),
               py::arg_v("domain_extension_rate", 2.0));
    approx.def("sigmoid", guarded(&Math::approxSigmoid), kSigmoidDoc, MORVANE_UNARY_ARGS,
               py::arg_v("range", 8.0));
    approx.def("relu", guarded(&Math::approxReLU), kReluDoc, MORVANE_UNARY_ARGS);
    approx.def("sqrt", guarded(&Math::approxSqrt), kSqrtDoc, MORVANE_UNARY_ARGS, py::arg_v("num_iter", u64{17}));
    approx.def("log_e", guarded(&logE), kLogDoc, MORVANE_UNARY_ARGS, logRange(), aboveOne());
    approx.def("log_2", guarded(&binaryLog), kLogDoc, MORVANE_UNARY_ARGS, logRange(), aboveOne());
    approx.def("log_10", guarded(&decimalLog), kLogDoc, MORVANE_UNARY_ARGS, logRange(), aboveOne());
    approx.def("log", guarded(&logBase), kLogDoc, MORVANE_UNARY_ARGS, py::arg("base"), logRange(), aboveOne());
    approx.def("exp", guarded(&Math::approxExponentialLessThanZero), kExpDoc, MORVANE_UNARY_ARGS,
               py::arg_v("multiplier", 1.0));
}

#undef MORVANE_UNARY_ARGS
