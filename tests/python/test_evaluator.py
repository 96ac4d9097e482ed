# The class HomEvaluator: overload resolution, results and labels of its operations on the full slot count, keyword
# calls, message outputs with exported views, and objects of another slot count mixed into one call.
import cmath
import os

import pytest

import pymorvane as pm
from pymorvane import (Ciphertext, Device, DeviceType, Encryptor, HomEvaluator, KeyGenerator, KeyPack, Message,
                       ParameterPreset, Plaintext, SecretKey)

N = 32  # full slots of FX
RESIZE_REFUSED = "^Existing exports of data: object cannot be re-sized$"


class Env:
    """An FX context with its common keys, an evaluator sharing them, and ciphertexts made from slot lists."""

    def __init__(self, preset=ParameterPreset.FX):
        self.ctx = pm.make_context(preset)
        self.sk = SecretKey(self.ctx)
        self.generator = KeyGenerator(self.ctx, self.sk)
        self.generator.gen_common_keys()
        self.ev = HomEvaluator(self.ctx, self.generator.keypack)
        self.ctx.clear_history()

    def ct(self, slots, level=None):
        ctxt = Ciphertext(self.ctx)
        Encryptor(self.ctx).encrypt(Message(slots), self.sk, ctxt, *(() if level is None else (level,)))
        self.ctx.clear_history()
        return ctxt

    def pt(self, slots, level=None):
        ptxt = Plaintext(self.ctx)
        ptxt.log_slots = (len(slots) - 1).bit_length()
        ptxt.data = Message(slots)
        if level is not None:
            self.ev.relevel(ptxt, level, ptxt)
        return ptxt


@pytest.fixture
def env():
    return Env()


A = [complex(i, 1 - i) for i in range(N)]
B = [complex(2 * i - 5, 0.5 * i) for i in range(N)]


def rotated(slots, r):
    return slots[r % len(slots):] + slots[:r % len(slots)]


def close(xs, ys):
    return len(xs) == len(ys) and all(cmath.isclose(x, y, abs_tol=1e-12) for x, y in zip(xs, ys))


@pytest.mark.parametrize("call, slots, level, label", [
    (lambda e, a, b, o: e.ev.add(a, 2, o), [x + 2 for x in A], 12, "ctxt + cnst"),
    (lambda e, a, b, o: e.ev.add(a, 2j, o), [x + 2j for x in A], 12, "ctxt + cnst"),
    (lambda e, a, b, o: e.ev.sub(a, 1.5, o), [x - 1.5 for x in A], 12, "ctxt + cnst"),
    (lambda e, a, b, o: e.ev.add(a, Message(B), o), [x + y for x, y in zip(A, B)], 12, "ctxt + msg"),
    (lambda e, a, b, o: e.ev.sub(a, e.pt(B), o), [x - y for x, y in zip(A, B)], 12, "ctxt + ptxt"),
    (lambda e, a, b, o: e.ev.add(a, b, o), [x + y for x, y in zip(A, B)], 7, "ctxt + ctxt"),
    (lambda e, a, b, o: e.ev.mult(a, 2, o), [2 * x for x in A], 12, "ctxt * int"),
    (lambda e, a, b, o: e.ev.mult(a, 0.5, o), [0.5 * x for x in A], 11, "ctxt * cnst"),
    (lambda e, a, b, o: e.ev.mult(a, Message(B), o), [x * y for x, y in zip(A, B)], 11, "ctxt * msg"),
    (lambda e, a, b, o: e.ev.mult(a, e.pt(B), o), [x * y for x, y in zip(A, B)], 11, "ctxt * ptxt"),
    (lambda e, a, b, o: e.ev.mult(a, b, o), [x * y for x, y in zip(A, B)], 6, "ctxt * ctxt"),
    (lambda e, a, b, o: e.ev.square(a, o), [x * x for x in A], 11, "ctxt * ctxt"),
    (lambda e, a, b, o: e.ev.negate(a, o), [-x for x in A], 12, "Negate ctxt"),
    (lambda e, a, b, o: e.ev.i_mult(a, o), [1j * x for x in A], 12, "ctxt * imag"),
    (lambda e, a, b, o: e.ev.conjugate(a, o), [x.conjugate() for x in A], 12, "Conjugate"),
    (lambda e, a, b, o: e.ev.integer_mult(a, 3, o), [3 * x for x in A], 12, "ctxt * int"),
    (lambda e, a, b, o: e.ev.left_rotate(a, 3, o), rotated(A, 3), 12, "Rotate"),
    (lambda e, a, b, o: e.ev.left_rotate(a, N + 3, o), rotated(A, 3), 12, "Rotate"),
    (lambda e, a, b, o: e.ev.right_rotate(a, 4, o), rotated(A, -4), 12, "Rotate"),
    (lambda e, a, b, o: e.ev.level_down(a, 5, o), A, 5, "Level down"),
    (lambda e, a, b, o: e.ev.level_down_one(a, o), A, 11, "Level down"),
])
def test_ciphertext_operations(env, call, slots, level, label):
    a, b, out = env.ct(A), env.ct(B, 7), Ciphertext(env.ctx)
    assert call(env, a, b, out) is None
    assert close(out.data[:], slots)
    assert (out.level, out.log_slots, out.rescale_counter) == (level, 5, 0)
    assert label in env.ctx.get_history()
    assert a.data[:] == A


def test_rotations_reduce_the_index_by_the_log_slots_and_move_every_slot(env):
    # Eight slots tiled four times: a rotation by 8 + 1 is one by 1, applied to all 32 slots held.
    a = env.ct(A[:8])
    out = Ciphertext(env.ctx)
    env.ev.left_rotate(a, 9, out)
    assert out.data[:] == rotated(A[:8], 1)
    out.log_slots = 5
    assert out.data[:] == rotated(A[:8] * 4, 1)
    assert env.ctx.get_history() == {"Rotate": 1}
    env.ev.left_rotate(a, 8, out)
    assert env.ctx.get_history() == {"Rotate": 1}


def test_composite_rotation_counts_each_key_used(env):
    out = Ciphertext(env.ctx)
    env.ev.left_rotate(env.ct(A), 3, out)
    assert env.ctx.get_history() == {"Rotate": 2}
    fresh = Env()
    with pytest.raises(RuntimeError, match=r"^\[Load Rotation Key\] no left rotation key for index 16$"):
        HomEvaluator(fresh.ctx, KeyPack(fresh.ctx)).left_rotate(fresh.ct(A), 16, out)


def test_products_without_rescale_and_the_level_bookkeeping(env):
    a, b, out = env.ct(A), env.ct(B), Ciphertext(env.ctx)
    env.ev.mult_without_rescale(a, b, out)
    assert (out.level, out.rescale_counter) == (12, 1)
    env.ev.rescale(out)
    assert (out.level, out.rescale_counter) == (11, 0)
    env.ev.inverse_rescale(op=out)
    assert (out.level, out.rescale_counter) == (12, 1)
    env.ev.tensor(a, b, out)
    with pytest.raises(RuntimeError, match=r"^Size > 2 is not supported yet$"):
        env.ev.mult(out, a, Ciphertext(env.ctx))
    relinearized = Ciphertext(env.ctx)
    env.ev.relinearize(out, relinearized)
    env.ev.kill_imag(a, relinearized)
    assert close(relinearized.data[:], [complex(x.real, 0) for x in A]) and relinearized.level == 11
    assert env.ctx.get_history() == {"ctxt * ctxt W/R": 1, "Rescale": 2, "Inverse rescale": 1, "Tensor": 1,
                                     "Relinearize": 1, "Conjugate": 1, "ctxt * cnst W/R": 1}


@pytest.mark.parametrize("call", [
    lambda ev, a, b, o: ev.add(op1=a, op2=b, res=o),
    lambda ev, a, b, o: ev.add(a, res=o, op2=b),
    lambda ev, a, b, o: ev.mult(op1=a, cnst=1, res=o) or ev.add(o, b, o),
    lambda ev, a, b, o: ev.rot_sum(op=[a], rot_idx=[0], res=o) or ev.add(o, b, o),
    lambda ev, a, b, o: ev.left_rotate_reduce(op=a, idx_interval=0, num_summation=1, ctxt_out=o) or ev.add(o, b, o),
])
def test_keyword_calls(env, call):
    a, b, out = env.ct(A), env.ct(B), Ciphertext(env.ctx)
    call(env.ev, a, b, out)
    assert close(out.data[:], [x + y for x, y in zip(A, B)])


def test_rot_sum(env):
    c1, c2, c3, out = env.ct(A), env.ct(B), env.ct(A), Ciphertext(env.ctx)
    env.ev.rot_sum((c1, c2), (1, 2), out)
    assert close(out.data[:], [x + y for x, y in zip(rotated(A, 1), rotated(B, 2))])
    c3.rescale_counter = 5
    env.ev.rot_sum([c1, c2, c3], [1, 2], out)
    assert env.ctx.get_history() == {"Rotate": 4, "ctxt + ctxt": 2}
    for bad in ("ab", [c1, "x"], 3):
        with pytest.raises(TypeError):
            env.ev.rot_sum(bad, [1], out)
    with pytest.raises(TypeError):
        env.ev.rot_sum([c1], [-1], out)
    with pytest.raises(RuntimeError, match=r"^\[rotSum\] no rotation index given$"):
        env.ev.rot_sum([c1], [], out)
    with pytest.raises(RuntimeError, match=r"^\[rotSum\] fewer ciphertexts than rotation indices$"):
        env.ev.rot_sum([], [1], out)


@pytest.mark.parametrize("count", [0, 1, 3, 5])
@pytest.mark.parametrize("direction", [1, -1])
def test_rotate_and_sum(env, count, direction):
    a, out = env.ct(A), Ciphertext(env.ctx)
    reduce = env.ev.left_rotate_reduce if direction == 1 else env.ev.right_rotate_reduce
    reduce(a, 2, count, out)
    expected = [sum(rotated(A, direction * 2 * k)[i] for k in range(max(count, 1))) for i in range(N)]
    assert close(out.data[:], expected)
    msg_out = Message()
    reduce(Message(A), 2, count, msg_out)
    assert close(msg_out[:], expected)


def test_one_object_as_operand_and_output(env):
    a = env.ct(A)
    env.ev.negate(a, a)
    env.ev.add(a, a, a)
    assert a.data[:] == [-2 * x for x in A]


@pytest.mark.parametrize("call, slots", [
    (lambda ev, m, o: ev.add(m, 1, o), [x + 1 for x in A[:4]]),
    (lambda ev, m, o: ev.mult(m, Message(A[:4]), o), [x * x for x in A[:4]]),
    (lambda ev, m, o: ev.square(m, o), [x * x for x in A[:4]]),
    (lambda ev, m, o: ev.conjugate(m, o), [x.conjugate() for x in A[:4]]),
    (lambda ev, m, o: ev.left_rotate(m, 5, o), rotated(A[:4], 1)),
    (lambda ev, m, o: ev.right_rotate_reduce(m, 1, 4, o), [sum(A[:4])] * 4),
])
def test_message_outputs_and_their_exported_views(env, call, slots):
    np = pytest.importorskip("numpy")
    msg = Message(A[:4])
    same = Message([9] * 4)
    view = np.asarray(same)
    call(env.ev, msg, same)
    assert close(view.tolist(), slots)
    other = Message([9] * 8)
    other_view = np.asarray(other)
    with pytest.raises(BufferError, match=RESIZE_REFUSED):
        call(env.ev, msg, other)
    assert other[:] == [9 + 0j] * 8
    del other_view
    call(env.ev, msg, other)
    assert close(other[:], slots)
    assert env.ctx.get_history() == {}


@pytest.mark.parametrize("call, slots", [
    (lambda ev, p, o: ev.add(p, 2, o), [x + 2 for x in A]),
    (lambda ev, p, o: ev.mult(p, p, o), [x * x for x in A]),
    (lambda ev, p, o: ev.integer_mult(p, 2, o), [2 * x for x in A]),
    (lambda ev, p, o: ev.left_rotate(p, 1, o), rotated(A, 1)),
    (lambda ev, p, o: ev.relevel(p, 3, o), A),
])
def test_plaintext_operations_count_nothing(env, call, slots):
    out = Plaintext(env.ctx)
    call(env.ev, env.pt(A), out)
    assert close(out.data[:], slots)
    assert env.ctx.get_history() == {}


@pytest.mark.parametrize("call, text", [
    (lambda e: HomEvaluator(e.ctx, KeyPack(e.ctx)).mult(e.ct(A), e.ct(B), Ciphertext(e.ctx)),
     "[mult] no multiplication key"),
    (lambda e: e.ev.mult(e.ct(A, 0), 0.5, Ciphertext(e.ctx)), "The level of the operand is zero"),
    (lambda e: e.ev.add(e.ct(A), e.ct(A[:4]), Ciphertext(e.ctx)), "Two operands have different logSlots"),
    (lambda e: e.ev.level_down(e.ct(A), 13, Ciphertext(e.ctx)),
     "[level down] target level is greater than level of Ciphertext"),
    (lambda e: e.ev.add(e.pt(A), e.pt(A, 3), Plaintext(e.ctx)),
     "Operands have different levels."),
    (lambda e: e.ev.rescale(e.ct(A)), "[rescale] Rescale Counter of the Ciphertext is zero or less"),
])
def test_library_refusals(env, call, text):
    with pytest.raises(RuntimeError) as caught:
        call(env)
    assert str(caught.value) == text


@pytest.mark.parametrize("call", [
    lambda e, a, o: e.ev.left_rotate(a, -1, o),
    lambda e, a, o: e.ev.left_rotate(a, 1.0, o),
    lambda e, a, o: e.ev.integer_mult(a, -2, o),
    lambda e, a, o: e.ev.add(a, None, o),
    lambda e, a, o: e.ev.add(a, "1", o),
    lambda e, a, o: e.ev.negate(a, Plaintext(e.ctx)),
    lambda e, a, o: e.ev.tensor(a, 2, o),
    lambda e, a, o: e.ev.level_down(a, o),
    lambda e, a, o: HomEvaluator(),
    lambda e, a, o: HomEvaluator(e.ctx),
])
def test_arguments_that_match_no_overload(env, call):
    a, out = env.ct(A), Ciphertext(env.ctx)
    with pytest.raises(TypeError):
        call(env, a, out)
    assert out.data[:] == [0j] * N and env.ctx.get_history() == {}


class Derived(Ciphertext):
    pass


def test_objects_of_a_subclass_convert_and_objects_without_init_do_not(env):
    # An object of the class itself and one of a Python subclass take different ways through the argument caster.
    a, out = env.ct(A), Derived(env.ctx)
    env.ev.add(Derived(a), a, out)
    env.ev.negate(out, out)
    assert out.data[:] == [-2 * x for x in A]
    for bare in (Ciphertext.__new__(Ciphertext), Derived.__new__(Derived)):
        for call in (lambda: env.ev.add(a, a, bare), lambda: env.ev.negate(bare, out), lambda: env.ev.rescale(bare)):
            with pytest.raises(TypeError):
                call()
    assert out.data[:] == [-2 * x for x in A] and env.ctx.get_history() == {"ctxt + ctxt": 1, "Negate ctxt": 1}


def test_context_is_a_new_object_sharing_the_evaluators_context(env):
    first, second = env.ev.context, env.ev.context
    assert first is not second and first != second
    env.ev.negate(env.ct(A), Ciphertext(env.ctx))
    assert first.get_history() == second.get_history() == env.ctx.get_history() == {"Negate ctxt": 1}
    second.clear_history()
    assert env.ctx.get_history() == {}
    assert pm.get_log_full_slots(first) == 5


def test_constructors_and_their_counts(env, tmp_path):
    env.generator.save(str(tmp_path))
    ctx = pm.make_context(ParameterPreset.FX)
    HomEvaluator(context=ctx, key_dir_path=str(tmp_path))
    assert ctx.get_history() == {"Generate homevaluator": 2, "Load multiplication key": 1}
    ctx.clear_history()
    from_pack = HomEvaluator(ctx, pack=KeyPack(ctx, os.fsencode(tmp_path)))
    assert ctx.get_history() == {"Generate homevaluator": 1, "Load multiplication key": 1}
    # Keys come from the directory when an operation first needs them.
    out = Ciphertext(ctx)
    from_pack.left_rotate(Ciphertext(ctx), 1, out)
    assert ctx.get_history()["Load rotation key"] == 1


def loaded_foreign(env, tmp_path, preset, log_slots=None):
    """A ciphertext of env's context loaded from a file of another preset's ciphertext, holding its slot count."""
    other = pm.make_context(preset)
    source = Ciphertext(other)
    if log_slots is not None:
        source.log_slots = log_slots
    path = str(tmp_path / "foreign.bin")
    source.save(path)
    foreign = Ciphertext(env.ctx)
    foreign.load(path)
    env.ctx.clear_history()
    return foreign


@pytest.mark.parametrize("call", [
    lambda e, f, o: e.ev.add(e.ct(A), f, o),
    lambda e, f, o: e.ev.sub(f, e.ct(A), o),
    lambda e, f, o: e.ev.mult(e.ct(A), f, o),
    lambda e, f, o: e.ev.mult_without_rescale(f, e.ct(A, 15), o),
    lambda e, f, o: e.ev.tensor(e.ct(A, 15), f, o),
    lambda e, f, o: e.ev.add(f, e.pt(A), o),
    lambda e, f, o: e.ev.mult(f, e.pt(A), o),
    lambda e, f, o: e.ev.add(f, Message(A), o),
    lambda e, f, o: e.ev.mult(f, Message(A), o),
    lambda e, f, o: e.ev.rot_sum([e.ct(A), f], [1, 2], o),
    lambda e, f, o: e.ev.rot_sum([f, e.ct(A)], [0, 1], o),
    lambda e, f, o: pm.Bootstrapper(e.ev).bootstrap(f, o),
    lambda e, f, o: pm.Bootstrapper(e.ev).bootstrap_extended(f, o, True),
    lambda e, f, o: pm.Bootstrapper(e.ev).bootstrap(f, o, Ciphertext(e.ctx)),
    lambda e, f, o: pm.Bootstrapper(e.ev).bootstrap(e.ev, e.ct(A), f, o, Ciphertext(e.ctx)),
])
def test_objects_of_another_slot_count_are_refused_before_any_write(env, tmp_path, call):
    # FTb holds 16384 slots at level 15; with the log slots of FX only the slot count tells the ciphertexts apart.
    foreign = loaded_foreign(env, tmp_path, ParameterPreset.FTb, log_slots=5)
    assert (foreign.level, foreign.log_slots, foreign.rescale_counter) == (15, 5, 0)
    env.generator.gen_rot_keys_for_bootstrap(5)
    out = Ciphertext(env.ctx)
    out.data = Message(A)
    with pytest.raises(RuntimeError, match=r"^Operands have different numbers of slots\.$"):
        call(env, foreign, out)
    assert out.data[:] == A and out.level == 24


def test_presets_of_equal_slot_count_mix(tmp_path):
    # FGa and FGb both hold 32768 slots: their objects combine as any two of one context.
    fgb = Env(ParameterPreset.FGb)
    fga = pm.make_context(ParameterPreset.FGa)
    other = Ciphertext(fga)
    other.log_slots = 2
    other.data = Message([1] * 4)
    out = Ciphertext(fgb.ctx)
    fgb.ev.add(fgb.ct([2j] * 4), other, out)
    assert out.data[:4] == [1 + 2j] * 4
    assert fgb.ctx.get_history() == {"ctxt + ctxt": 1} and fga.get_history() == {}


def test_results_stay_on_the_operands_device(env):
    a, b, out = env.ct(A), env.ct(B), Ciphertext(env.ctx)
    a.to_device()
    b.to(Device(DeviceType.GPU, 0))
    env.ctx.clear_history()
    env.ev.add(a, b, out)
    assert out.device_type == DeviceType.GPU
    b.to_host()
    with pytest.raises(RuntimeError, match=r"^Operands have different devices\.$"):
        env.ev.add(a, b, out)
    assert env.ctx.get_history() == {"ctxt + ctxt (GPU)": 1, "To Host (ctxt)": 1}
