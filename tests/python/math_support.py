# Shared by the tests of math.approx and math.sort: a keyed, bootstrappable context, inputs at a chosen level, and
# what one call leaves behind in the context's history and stopwatch.
import sys
import threading

import pymorvane as pm
from pymorvane import Ciphertext, Message, ParameterPreset

# Modelled bootstrap costs in ms, by kind, and the warm-up the first bootstrap of a context adds.
BOOTSTRAP_COSTS = {
    ParameterPreset.FX: {"real": 18, "complex": 35, "real_extended": 48, "complex_extended": 58, "warmup": 4},
    ParameterPreset.FGb: {"real": 168, "complex": 222, "real_extended": 371, "complex_extended": 431,
                          "warmup": 9436},
    ParameterPreset.FVa: {"real": 376, "complex": 506, "real_extended": 888, "complex_extended": 1023,
                          "warmup": 34540},
}

BOOT_KINDS = ("real", "complex", "real_extended", "complex_extended")


def cold_cost(preset, boots):
    """Stopwatch advance of `boots` (counts in the order of BOOT_KINDS) on a context that has not bootstrapped."""
    costs = BOOTSTRAP_COSTS[preset]
    total = sum(count * costs[kind] for kind, count in zip(BOOT_KINDS, boots))
    return total + (costs["warmup"] if any(boots) else 0)


class MathSetup:
    """A context with the multiplication, conjugation, bootstrap rotation and power-of-two rotation keys; error
    simulation off unless asked for, so values are the algorithms' own."""

    def __init__(self, preset=ParameterPreset.FX, simulate_error=False):
        self.preset = preset
        self.ctx = pm.make_context(preset)
        pack = pm.KeyPack(self.ctx)
        keygen = pm.KeyGenerator(self.ctx, pm.SecretKey(self.ctx), pack)
        keygen.gen_mult_key()
        keygen.gen_conj_key()
        keygen.gen_rot_keys_for_bootstrap(pm.get_log_full_slots(self.ctx))
        keygen.gen_rot_key_bundle()
        self.eval = pm.HomEvaluator(self.ctx, pack)
        self.btp = pm.Bootstrapper(self.eval)
        pm.simulate_error(self.ctx, simulate_error)
        self.full_slots = 2 ** pm.get_log_full_slots(self.ctx)

    def input(self, values, level):
        """A full-slot ciphertext at `level` whose slot i is values[i % len(values)]."""
        ctxt = Ciphertext(self.ctx)
        ctxt.data = Message([complex(values[i % len(values)]) for i in range(self.full_slots)])
        if ctxt.level != level:
            self.eval.level_down(ctxt, level, ctxt)
        return ctxt

    def output(self):
        return Ciphertext(self.ctx)

    def measure(self, call):
        """Runs `call` on a cleared history and a started stopwatch: (history, stopwatch advance)."""
        self.ctx.clear_history()
        pm.start_stopwatch(self.ctx)
        call()
        return self.ctx.get_history(), pm.get_duration(self.ctx)


def slots(ctxt, count=None):
    data = ctxt.data[:]
    return data if count is None else data[:count]


def effect(setup, call, outputs):
    """History, stopwatch advance, and level and slots of every output, of one call."""
    history, duration = setup.measure(call)
    return history, duration, [(out.level, slots(out)) for out in outputs]


def gil_is_free_during(call, attempts=20):
    """True when another Python thread ran while `call` was inside the library.

    With a switch interval far longer than the test, the interpreter never takes the lock from a running thread,
    so a watcher thread gets to run Python code only where the caller gives the lock up itself: between setting
    and clearing `inside`, that is the library call alone."""
    inside = threading.Event()
    seen = threading.Event()
    finished = threading.Event()

    def watcher():
        while not finished.is_set():
            if inside.is_set():
                seen.set()
                return
            finished.wait(0.0001)  # blocks without the lock, so the caller runs on

    def caller():
        for _ in range(attempts):
            inside.set()
            call()
            inside.clear()
            if seen.is_set():
                break
        finished.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        threads = [threading.Thread(target=watcher), threading.Thread(target=caller)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    return seen.is_set()
