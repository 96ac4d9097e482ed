# Several Python threads inside the library at once: which members let other threads run, and evaluator work of
# several threads on one context with exact results and counts.
import sys
import threading

import pytest

import pymorvane as pm
from pymorvane import (Bootstrapper, Ciphertext, Decryptor, EnDecoder, Encryptor, HomEvaluator, KeyGenerator, KeyPack,
                       Message, ParameterPreset, Plaintext, SecretKey)

THREADS = 4


def others_run_during(call, attempts=2000):
    """Whether another Python thread gets to run while `call` is inside the library.

    With a switch interval longer than the test, the interpreter never takes the lock from this thread: the
    probe thread runs only while a call has released it, or once this thread waits for it at the end."""
    switch = sys.getswitchinterval()
    go = threading.Event()
    inside = [True]
    seen = []

    def probe():
        go.wait()
        seen.append(inside[0])

    thread = threading.Thread(target=probe)
    sys.setswitchinterval(1000)
    try:
        thread.start()
        go.set()
        for _ in range(attempts):
            call()
            if seen:
                break
        inside[0] = False
    finally:
        thread.join()
        sys.setswitchinterval(switch)
    return seen == [True]


class Big:
    """Objects of a context with 32768 slots, so that each library call lasts long enough to be overtaken: a
    released lock that is taken back within microseconds rarely lets the waiting thread in."""

    def __init__(self, tmp_path):
        self.ctx = pm.make_context(ParameterPreset.FGb)
        self.sk = SecretKey(self.ctx)
        self.generator = KeyGenerator(self.ctx, self.sk)
        self.generator.gen_common_keys()
        self.generator.gen_rot_keys_for_bootstrap(15)
        self.ev = HomEvaluator(self.ctx, self.generator.keypack)
        self.btp = Bootstrapper(self.ev)
        self.msg = Message(15, 0.25)
        self.ct = Ciphertext(self.ctx)
        Encryptor(self.ctx).encrypt(self.msg, self.sk, self.ct)
        self.out = Ciphertext(self.ctx)
        self.pt = Plaintext(self.ctx)
        self.path = str(tmp_path / "object.bin")
        self.ct.save(self.path)
        self.key_dir = str(tmp_path / "keys")


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    return Big(tmp_path_factory.mktemp("big"))


@pytest.mark.parametrize("call", [
    lambda b: b.ev.mult(b.ct, b.ct, b.out),
    lambda b: b.ev.left_rotate(b.ct, 5, b.out),
    lambda b: b.ev.add(b.msg, b.msg, Message(15)),
    lambda b: b.ev.rot_sum([b.ct, b.ct], [1, 2], b.out),
    lambda b: b.ev.level_down(b.ct, 3, b.out),
    lambda b: b.btp.bootstrap(b.ct, b.out),
    lambda b: b.btp.bootstrap(b.ev, b.ct, b.ct, b.out, Ciphertext(b.ctx)),
    lambda b: Encryptor(b.ctx).encrypt(b.msg, b.sk, b.out),
    lambda b: Decryptor(b.ctx).decrypt(b.ct, b.sk, Message()),
    lambda b: EnDecoder(b.ctx).decode(EnDecoder(b.ctx).encode(b.msg)),
    lambda b: b.out.load(b.path),
    lambda b: Ciphertext(b.ct),
    lambda b: SecretKey(b.ctx),
    lambda b: b.generator.save(b.key_dir),
])
def test_library_work_lets_other_threads_run(big, call):
    assert others_run_during(lambda: call(big))


@pytest.mark.parametrize("call", [
    lambda b: len(b.ct),
    lambda b: b.ct.data,
    lambda b: repr(b.pt),
    lambda b: b.ct.is_mod_up(),
    lambda b: b.generator.keypack,
    lambda b: b.generator.keypack.is_left_rot_key_loaded(1),
    lambda b: b.ev.context,
    lambda b: b.btp.is_bootstrap_ready(15),
    lambda b: b.btp.get_level_after_full_slot_bootstrap(),
])
def test_queries_keep_the_lock(big, call):
    assert not others_run_during(lambda: call(big))


def run_together(work):
    errors = []
    start = threading.Barrier(THREADS)

    def body(index):
        start.wait()
        try:
            work(index)
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def test_threads_on_their_own_ciphertexts_of_one_context(tmp_path):
    ctx = pm.make_context(ParameterPreset.FX)
    sk = SecretKey(ctx)
    generator = KeyGenerator(ctx, sk)
    generator.gen_common_keys()
    generator.save(str(tmp_path))
    ctx.clear_history()
    # The evaluator loads its rotation keys lazily from the directory while the threads race for them.
    ev = HomEvaluator(ctx, str(tmp_path))
    rounds = 500
    results = [None] * THREADS

    def work(index):
        a, b, out = Ciphertext(ctx), Ciphertext(ctx), Ciphertext(ctx)
        Encryptor(ctx).encrypt(Message([complex(index, k) for k in range(32)]), sk, a)
        Encryptor(ctx).encrypt(Message(5, 1), sk, b)
        for _ in range(rounds):
            ev.add(a, b, out)
            ev.mult(out, 1, a)
            ev.left_rotate(a, 1, out)
            ev.right_rotate(out, 1, a)
        msg = Message()
        Decryptor(ctx).decrypt(a, sk, msg)
        results[index] = msg[:]

    run_together(work)
    assert results == [[complex(index + rounds, k) for k in range(32)] for index in range(THREADS)]
    history = ctx.get_history()
    total = THREADS * rounds
    assert {label: history[label] for label in ("ctxt + ctxt", "ctxt * int", "Rotate", "Load rotation key")} == {
        "ctxt + ctxt": total, "ctxt * int": total, "Rotate": 2 * total, "Load rotation key": 2}
