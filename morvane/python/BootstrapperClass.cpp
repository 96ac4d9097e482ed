// The class Bootstrapper: constructors, boot constants, the three forms of bootstrap and bootstrap_extended and
// the level queries.

#include "morvane/math/detail/Toolbox.hpp"
#include "morvane/python/Binding.hpp"

using Morvane::Bootstrapper;
using Morvane::Ciphertext;
using Morvane::HomEvaluator;
using Morvane::u64;

namespace {

using TwoOutputs = void (Bootstrapper::*)(const Ciphertext&, Ciphertext&, Ciphertext&) const;

// Two real ciphertexts bootstrapped as one, op1 + i op2 through `eval`, by the math layer's pair bootstrap. The
// packed input is made in a temporary, so an output that is also an input is read before anything is written
// to it.
template <bool Extended>
void bootstrapPacked(const Bootstrapper& self, const HomEvaluator& eval, const Ciphertext& op1,
                     const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2) {
    Ciphertext packed(eval.context, false);
    Morvane::Math::detail::bootstrapPair(eval, self, op1, op2, packed, res1, res2, Extended);
}

} // namespace

void bindBootstrapper(py::module_& m) {
    using OneOutput = void (Bootstrapper::*)(const Ciphertext&, Ciphertext&, bool) const;
    py::class_<Bootstrapper>(m, "Bootstrapper")
        .def(py::init<const HomEvaluator&>(), ReleaseLock(), "construct a bootstrapper from homevaluator",
             py::arg("eval"))
        .def(py::init<const HomEvaluator&, u64>(), ReleaseLock(),
             "construct a boostrapper from homevaluator and log_slots", py::arg("eval"), py::arg("log_slots"))
        .def(py::init([](const HomEvaluator& eval, const ContextWrapper& context_sparse) {
                 return Bootstrapper(eval, context_sparse.context);
             }),
             ReleaseLock(),
             "construct a bootstapper which perform sparse secret encapsulation from homevaluator and sparse context",
             py::arg("eval"), py::arg("context_sparse"))
        .def(py::init([](const HomEvaluator& eval, const ContextWrapper& context_sparse, u64 log_slots) {
                 return Bootstrapper(eval, context_sparse.context, log_slots);
             }),
             ReleaseLock(),
             "construct a bootstrapper which perform sparse secret encapsulation from homevalutor, sparse context and "
             "log_slots",
             py::arg("eval"), py::arg("context_sparse"), py::arg("log_slots"))
        .def("is_bootstrap_ready", &Bootstrapper::isBootstrapReady, py::arg("log_slots"))
        .def("make_boot_constants", &Bootstrapper::makeBootConstants, ReleaseLock(), py::arg("log_slots"))
        .def("load_boot_constants", &Bootstrapper::loadBootConstants, ReleaseLock(), py::arg("log_slots"),
             py::arg("device"))
        .def("bootstrap", guarded(static_cast<OneOutput>(&Bootstrapper::bootstrap)), "input range [-1, 1].",
             py::arg("op"), py::arg("res"), py::arg_v("is_complex", false))
        .def("bootstrap", guarded(static_cast<TwoOutputs>(&Bootstrapper::bootstrap)), "input range [-1, 1].",
             py::arg("op"), py::arg("res1"), py::arg("res2"))
        .def("bootstrap_extended", guarded(static_cast<OneOutput>(&Bootstrapper::bootstrapExtended)),
             "input range [-2^20, 2^20].", py::arg("op"), py::arg("res"), py::arg_v("is_complex", false))
        .def("bootstrap_extended", guarded(static_cast<TwoOutputs>(&Bootstrapper::bootstrapExtended)),
             "input range [-2^20, 2^20].", py::arg("op"), py::arg("res1"), py::arg("res2"))
        .def("bootstrap", guarded(&bootstrapPacked<false>), "input range [-1, 1].",
             py::arg("eval"), py::arg("op1"), py::arg("op2"), py::arg("res1"), py::arg("res2"))
        .def("bootstrap_extended", guarded(&bootstrapPacked<true>),
             "input range [-2^20, 2^20].", py::arg("eval"), py::arg("op1"), py::arg("op2"), py::arg("res1"),
             py::arg("res2"))
        .def("get_level_after_full_slot_bootstrap", &Bootstrapper::getLevelAfterFullSlotBootstrap,
             "return the level after full slot bootstrap")
        .def("get_min_level_for_bootstrap", &Bootstrapper::getMinLevelForBootstrap,
             "return the minimum level for bootstrap");
}
