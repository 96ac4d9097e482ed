# The class Bootstrapper: construction checks, boot constants, the three forms of bootstrap and bootstrap_extended
# with their levels, labels, costs and simulated error, and the packing form with outputs that alias its inputs.
import pytest

import pymorvane as pm
from pymorvane import Bootstrapper, Ciphertext, Device, DeviceType, HomEvaluator, KeyGenerator, Message, SecretKey
from pymorvane import ParameterPreset as Preset

A = [complex(i / 32, -i / 64) for i in range(32)]
B = [complex(-i / 40, i / 50) for i in range(32)]


class Env:
    def __init__(self, preset=Preset.FX, bootstrap_keys=True):
        self.ctx = pm.make_context(preset)
        self.sk = SecretKey(self.ctx)
        generator = KeyGenerator(self.ctx, self.sk)
        generator.gen_common_keys()
        if bootstrap_keys:
            generator.gen_rot_keys_for_bootstrap(pm.get_log_full_slots(self.ctx))
        self.ev = HomEvaluator(self.ctx, generator.keypack)
        self.ctx.clear_history()

    def ct(self, slots, level=12):
        ctxt = Ciphertext(self.ctx)
        pm.Encryptor(self.ctx).encrypt(Message(slots), self.sk, ctxt, level)
        self.ctx.clear_history()
        return ctxt


@pytest.fixture
def env():
    return Env()


@pytest.fixture
def exact(env):
    pm.simulate_error(env.ctx, False)
    return env


def real(slots):
    return [complex(x.real, 0) for x in slots]


def imag(slots):
    return [complex(x.imag, 0) for x in slots]


@pytest.mark.parametrize("preset, make, text", [
    (Preset.SD3, lambda ev: Bootstrapper(ev), "The Parameter does not support bootstrap"),
    (Preset.SD3, lambda ev: Bootstrapper(ev, 13), "log_slots should not exceed 12"),
    (Preset.FX, lambda ev: Bootstrapper(eval=ev, log_slots=6), "log_slots should not exceed 5"),
    (Preset.FGb, lambda ev: Bootstrapper(ev, pm.make_context(Preset.SGd0)),
     "[Bootstrapper] context does not support sparse secret encapsulation"),
    (Preset.FGd, lambda ev: Bootstrapper(ev, pm.make_context(Preset.FGb), 3),
     "[Bootstrapper] parameter of context and context_sparse does not match"),
])
def test_construction_checks(preset, make, text):
    ctx = pm.make_context(preset)
    with pytest.raises(RuntimeError) as caught:
        make(HomEvaluator(ctx, pm.KeyPack(ctx)))
    assert str(caught.value) == text


def test_sparse_bootstrapper():
    fgd = pm.make_context(Preset.FGd)
    btp = Bootstrapper(HomEvaluator(fgd, pm.KeyPack(fgd)), context_sparse=pm.make_context(Preset.SGd0), log_slots=4)
    assert [btp.is_bootstrap_ready(i) for i in (0, 4, 15)] == [True, True, False]


def test_boot_constants(env):
    btp = Bootstrapper(env.ev, 3)
    assert [btp.is_bootstrap_ready(i) for i in range(6)] == [True, False, False, True, False, False]
    with pytest.raises(RuntimeError, match=r"^Bootstrapping constants for log slots 4 do not exist\.$"):
        btp.load_boot_constants(4, Device(DeviceType.GPU, 1))
    btp.make_boot_constants(log_slots=4)
    btp.load_boot_constants(log_slots=4, device=Device(DeviceType.CPU))
    assert btp.is_bootstrap_ready(4)
    with pytest.raises(RuntimeError, match=r"^log_slots should not exceed 5$"):
        btp.make_boot_constants(6)
    with pytest.raises(TypeError):
        Bootstrapper(env.ev, -1)
    with pytest.raises(RuntimeError, match=r"^Bootstrapping constants for log slots 2 do not exist\.$"):
        btp.bootstrap(env.ct(A[:4]), Ciphertext(env.ctx))
    assert (btp.get_min_level_for_bootstrap(), btp.get_level_after_full_slot_bootstrap()) == (3, 12)
    assert env.ctx.get_history() == {}


@pytest.mark.parametrize("call, slots", [
    (lambda b, a, o: b.bootstrap(a, o), real(A)),
    (lambda b, a, o: b.bootstrap(a, o, True), A),
    (lambda b, a, o: b.bootstrap(op=a, res=o, is_complex=True), A),
    (lambda b, a, o: b.bootstrap(a, o, 1), A),          # converted in the second pass
    (lambda b, a, o: b.bootstrap(a, o, None), real(A)),
    (lambda b, a, o: b.bootstrap(a, a) or b.bootstrap(a, o, True), real(A)),
])
def test_one_output(exact, call, slots):
    btp = Bootstrapper(exact.ev)
    a, out = exact.ct(A, 3), Ciphertext(exact.ctx)
    call(btp, a, out)
    assert out.data[:] == slots
    assert (out.level, out.log_slots, out.rescale_counter) == (12, 5, 0)
    assert exact.ctx.get_history()["Bootstrap"] >= 1


def test_two_outputs(exact):
    btp = Bootstrapper(exact.ev)
    a, re, im = exact.ct(A, 4), Ciphertext(exact.ctx), Ciphertext(exact.ctx)
    btp.bootstrap(a, re, im)
    assert (re.data[:], im.data[:], re.level, im.level) == (real(A), imag(A), 12, 12)
    btp.bootstrap_extended(a, res1=re, res2=im)
    assert (re.data[:], im.data[:]) == (real(A), imag(A))
    assert exact.ctx.get_history() == {"Bootstrap": 1, "Bootstrap extended": 1}


def test_levels_and_labels_of_the_extended_range(exact):
    btp = Bootstrapper(exact.ev)
    out = Ciphertext(exact.ctx)
    with pytest.raises(RuntimeError, match=r"^\[bootstrap\] Level of ciphertext should be >= 3\.$"):
        btp.bootstrap(exact.ct(A, 2), out)
    with pytest.raises(RuntimeError, match=r"^\[bootstrap extended\] Level of ciphertext should be >= 4\.$"):
        btp.bootstrap_extended(exact.ct(A, 3), out)
    btp.bootstrap_extended(exact.ct(A, 4), out, is_complex=True)
    assert (out.data[:], out.level) == (A, 12)
    assert exact.ctx.get_history() == {"Bootstrap extended": 1}


def test_missing_keys():
    env = Env(bootstrap_keys=False)
    with pytest.raises(RuntimeError, match=r"^\[bootstrap\] no left rotation key for index 3$"):
        Bootstrapper(env.ev).bootstrap(env.ct(A), Ciphertext(env.ctx))


def test_packing_two_real_ciphertexts(exact):
    btp = Bootstrapper(exact.ev)
    a, b = exact.ct(real(A), 5), exact.ct(real(B), 4)
    pm.start_stopwatch(exact.ctx)
    btp.bootstrap(exact.ev, a, b, Ciphertext(exact.ctx), Ciphertext(exact.ctx))
    warm_up_and_one = pm.get_duration(exact.ctx)
    exact.ctx.clear_history()
    r1, r2 = Ciphertext(exact.ctx), Ciphertext(exact.ctx)
    pm.start_stopwatch(exact.ctx)
    btp.bootstrap(eval=exact.ev, op1=a, op2=b, res1=r1, res2=r2)
    cost = pm.get_duration(exact.ctx)
    assert (r1.data[:], r2.data[:], r1.level, r2.level) == (real(A), real(B), 12, 12)
    assert exact.ctx.get_history() == {"ctxt * imag": 1, "ctxt + ctxt": 1, "Bootstrap": 1}
    # One complex bootstrap costs what one complex bootstrap of a single ciphertext costs.
    pm.start_stopwatch(exact.ctx)
    btp.bootstrap(a, Ciphertext(exact.ctx), True)
    assert cost == pm.get_duration(exact.ctx) > 0 and warm_up_and_one > cost
    assert (a.data[:], b.data[:]) == (real(A), real(B))


@pytest.mark.parametrize("extended", [False, True])
@pytest.mark.parametrize("outputs", ["b, a", "a, b", "a, a2", "b2, b"])
def test_packing_outputs_may_be_its_inputs(exact, extended, outputs):
    btp = Bootstrapper(exact.ev)
    name = "bootstrap_extended" if extended else "bootstrap"
    objects = {"a": exact.ct(real(A), 5), "b": exact.ct(real(B), 5),
               "a2": Ciphertext(exact.ctx), "b2": Ciphertext(exact.ctx)}
    first, second = (objects[n.strip()] for n in outputs.split(","))
    getattr(btp, name)(exact.ev, objects["a"], objects["b"], first, second)
    assert (first.data[:], second.data[:]) == (real(A), real(B))
    assert exact.ctx.get_history() == {"ctxt * imag": 1, "ctxt + ctxt": 1,
                                       "Bootstrap extended" if extended else "Bootstrap": 1}


def test_packing_failure_leaves_the_outputs_untouched(exact):
    btp = Bootstrapper(exact.ev)
    a, b = exact.ct(real(A), 5), exact.ct(real(B)[:4], 5)
    r1, r2 = exact.ct(A), exact.ct(B)
    with pytest.raises(RuntimeError, match=r"^Two operands have different logSlots$"):
        btp.bootstrap(exact.ev, a, b, r1, r2)
    assert (r1.data[:], r2.data[:]) == (A, B)
    assert "Bootstrap" not in exact.ctx.get_history()


def test_simulated_error_is_small_and_switchable(env):
    btp = Bootstrapper(env.ev)
    a = env.ct(real(A), 5)
    noisy, again = Ciphertext(env.ctx), Ciphertext(env.ctx)
    btp.bootstrap(a, noisy)
    btp.bootstrap(a, again)
    errors = [abs(x - y) for x, y in zip(noisy.data[:], real(A))]
    assert 0 < max(errors) < 1e-3
    assert noisy.data[:] != again.data[:]
    pm.simulate_error(env.ctx, False)
    btp.bootstrap(a, noisy)
    assert noisy.data[:] == real(A)


@pytest.mark.parametrize("call", [
    lambda b, e, a: b.bootstrap(a),
    lambda b, e, a: b.bootstrap(a, Message(), True),
    lambda b, e, a: b.bootstrap(a, None),
    lambda b, e, a: b.bootstrap(e, a, a, a),
    lambda b, e, a: b.bootstrap(None, a, a, a, a),
    lambda b, e, a: b.is_bootstrap_ready(1.0),
    lambda b, e, a: b.load_boot_constants(0, None),
])
def test_arguments_that_match_no_overload(exact, call):
    with pytest.raises(TypeError):
        call(Bootstrapper(exact.ev), exact.ev, exact.ct(A))
    assert exact.ctx.get_history() == {}
