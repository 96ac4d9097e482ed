// math.approx: the sign, comparison and discrete-equality functions; math.sort: the slot sort. Each forwards its
// arguments unchanged to the library, its data objects held and the interpreter lock released for the whole call.

#include "morvane/python/Binding.hpp"

namespace Math = Morvane::Math;
using Morvane::i64;
using Morvane::u64;

namespace {

constexpr const char* kSignDoc =
    "input range [-2^log_range, 2^log_range] except near zero. log_range shall be chosen in the range of [0, 38]. "
    "numiter_g determine the range near zero by [-2^(-2-2*numiter_g), 2^(-2-2*numiter_g)].";
constexpr const char* kCompareDoc = "input range [-1, 1] except near zero. numiter_g determine the range near zero by "
                                    "[-2^(-2-2*numiter_g), 2^(-2-2*numiter_g)].";
constexpr const char* kEqualDoc =
    "input range [-2^log_range, 2^log_range]. log_range shall be chosen in the range of [0, 40]. input difference "
    "2^-log_dist. log_dist shall be chosen in the range of [-14, 0].";
constexpr const char* kSortDoc = "input range [-0.5, 0.5].";

// Every registration gets default objects of its own.
py::arg_v numiterG() { return py::arg_v("numiter_g", u64{8}); }
py::arg_v numiterF() { return py::arg_v("numiter_f", u64{3}); }
py::arg_v signLogRange() { return py::arg_v("log_range", u64{0}); }
py::arg_v equalLogRange() { return py::arg_v("log_range", u64{6}); }
py::arg_v logDist() { return py::arg_v("log_dist", i64{0}); }

} // namespace

void bindApproxSignFamily(py::module_& approx) {
    approx.def("sign", guarded(&Math::approxSign), kSignDoc, py::arg("eval"), py::arg("btp"), py::arg("op"),
               py::arg("res"), numiterG(), numiterF(), signLogRange());
    approx.def("sign_pair", guarded(&Math::approxSignPair), kSignDoc, py::arg("eval"), py::arg("btp"),
               py::arg("op1"), py::arg("op2"), py::arg("res1"), py::arg("res2"), numiterG(), numiterF(),
               signLogRange());
    approx.def("greater_than_zero", guarded(&Math::approxGreaterThanZero), kSignDoc, py::arg("eval"),
               py::arg("btp"), py::arg("op"), py::arg("res"), numiterG(), numiterF(), signLogRange());
    approx.def("greater_than_zero_pair", guarded(&Math::approxGreaterThanZeroPair), kSignDoc, py::arg("eval"),
               py::arg("btp"), py::arg("op1"), py::arg("op2"), py::arg("res1"), py::arg("res2"), numiterG(),
               numiterF(), signLogRange());
    approx.def("compare", guarded(&Math::approxGreaterThan), kCompareDoc, py::arg("eval"), py::arg("btp"),
               py::arg("op1"), py::arg("op2"), py::arg("res"), numiterG(), numiterF());
    approx.def("min_max", guarded(&Math::approxMinMax), kCompareDoc, py::arg("eval"), py::arg("btp"),
               py::arg("op1"), py::arg("op2"), py::arg("min"), py::arg("max"), numiterG(), numiterF());
    approx.def("discrete_equal_zero", guarded(&Math::approxDiscreteEqualZero), kEqualDoc, py::arg("eval"),
               py::arg("btp"), py::arg("op"), py::arg("res"), equalLogRange(), logDist());
    approx.def("discrete_equal", guarded(&Math::approxDiscreteEqual), kEqualDoc, py::arg("eval"),
               py::arg("btp"), py::arg("op1"), py::arg("op2"), py::arg("res"), equalLogRange(), logDist());
}

void bindSort(py::module_& sort) {
    sort.def("sort", guarded(&Math::unitSort), kSortDoc, py::arg("eval"), py::arg("btp"), py::arg("op"),
             py::arg("res"), py::arg("n"), py::arg_v("ascent", true), py::arg_v("only_last_stage", false));
}
