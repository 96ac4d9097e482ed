# Ctrl-C during long library calls: the interrupt check the module installs lets the main thread handle pending
# signals between the iterations of a loop whose length the caller chose, so the call ends with KeyboardInterrupt
# (or whatever the signal handler raised). Each case runs in a child process whose main thread gets the signal.
import subprocess
import sys
import textwrap

import pytest

from test_shared_objects import child_environment

SETUP = """
import _thread, os, signal, sys, threading, time
import pymorvane as pm
from pymorvane import HomEvaluator, KeyGenerator, Message, ParameterPreset, SecretKey
ctx = pm.make_context(ParameterPreset.FX)
ev = HomEvaluator(ctx, KeyGenerator(ctx, SecretKey(ctx)).keypack)
msg = Message([1j] * 32)
out = Message()
FOREVER = 2**64 - 1
"""
INTERRUPTED = """
start = time.monotonic()
try:
    {call}
except BaseException as error:
    print(f"{{type(error).__name__}}: {{error}}")
    print(time.monotonic() - start, flush=True)
"""
NESTED_WAIT = "the object is in use, and a call made inside another call of the same thread cannot wait for it"


def run_child(code):
    result = subprocess.run([sys.executable, "-c", SETUP + textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=60, env=child_environment())
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()


def ended(lines):
    """The exception that ended the call, as printed, and whether it came within a few seconds."""
    return lines[-2], float(lines[-1]) < 5


# The keys of the math functions, with error simulation off.
MATH = """
import pymorvane.math.approx as approx
pack = pm.KeyPack(ctx)
keygen = KeyGenerator(ctx, SecretKey(ctx), pack)
keygen.gen_mult_key()
keygen.gen_conj_key()
keygen.gen_rot_keys_for_bootstrap(pm.get_log_full_slots(ctx))
ev = HomEvaluator(ctx, pack)
btp = pm.Bootstrapper(ev)
pm.simulate_error(ctx, False)
ct, ct2, res = pm.Ciphertext(ctx), pm.Ciphertext(ctx), pm.Ciphertext(ctx)
ct.data = Message([0.25] * 32)
ct2.data = Message([-0.25] * 32)
"""

# Calls that would run for ages, one row per loop that polls: the setup a call needs beyond SETUP, and the call.
LONG_CALLS = [
    pytest.param("", "ev.left_rotate_reduce(msg, 1, FOREVER, out)", id="message left_rotate_reduce"),
    pytest.param("", "ev.right_rotate_reduce(msg, 3, FOREVER, out)", id="message right_rotate_reduce"),
    pytest.param(MATH, "approx.sign(ev, btp, ct, res, numiter_g=FOREVER)", id="approx.sign numiter_g"),
    pytest.param(MATH, "approx.compare(ev, btp, ct, ct2, res, numiter_g=FOREVER)", id="approx.compare numiter_g"),
    pytest.param(MATH, "approx.sqrt(ev, btp, ct, res, num_iter=FOREVER)", id="approx.sqrt num_iter"),
]


@pytest.mark.parametrize("setup, call", LONG_CALLS)
def test_ctrl_c_ends_a_long_call(setup, call):
    timer = "\nthreading.Timer(0.2, _thread.interrupt_main).start()\n"
    lines = run_child(setup + timer + INTERRUPTED.format(call=call))
    assert ended(lines) == ("KeyboardInterrupt: ", True)


@pytest.mark.parametrize("handler, printed, error", [
    # Reading what the interrupted call reads goes ahead.
    ("print(len(msg), msg[0], repr(msg)[:26]); raise KeyboardInterrupt", ["32 1j <pymorvane.Message object>"],
     "KeyboardInterrupt: "),
    # An object the call does not hold is the handler's to use.
    ("spare.set_data([3]); print(spare[:]); raise KeyboardInterrupt", ["[(3+0j)]"], "KeyboardInterrupt: "),
    # Writing what it reads, or reading what it writes, would wait for the call the handler runs in: refused.
    ("msg.set_data([1, 2])", [], "RuntimeError: " + NESTED_WAIT),
    ("out[0]", [], "RuntimeError: " + NESTED_WAIT),
])
def test_a_signal_handler_inside_a_long_call(handler, printed, error):
    # Afterwards the call's objects are free again.
    lines = run_child(f"""
spare = Message()
def handler(signum, frame):
    {handler}
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.2)
""" + INTERRUPTED.format(call="ev.left_rotate_reduce(msg, 1, FOREVER, out)") + """
msg.set_data([5, 6])
out.set_data([7])
print(msg[:], out[:])
""")
    assert (lines[:-3], ended(lines[:-1]), lines[-1]) == (printed, (error, True), "[(5+0j), (6+0j)] [(7+0j)]")


# Returns once another thread's call holds `out`. A read of out waits while such a call holds it, and the signal
# handler the wait runs, a call inside a call, is refused instead: the refusal shows the hold. The probe reads
# out every 10 ms until then.
WAIT_UNTIL_OUT_IS_HELD = """
class Held(Exception):
    pass
def probe(signum, frame):
    signal.setitimer(signal.ITIMER_REAL, 0.01)
    try:
        len(out)
    except RuntimeError:
        signal.signal(signal.SIGALRM, signal.SIG_IGN)
        raise Held from None
signal.signal(signal.SIGALRM, probe)
try:
    signal.setitimer(signal.ITIMER_REAL, 0.01)
    while True:
        time.sleep(1)
except Held:
    pass
"""


def test_ctrl_c_ends_a_wait_for_an_object():
    # Another thread's endless call holds msg and out; the main thread's write of out waits for it, until Ctrl-C.
    lines = run_child("""
threading.Thread(target=ev.left_rotate_reduce, args=(msg, 1, FOREVER, out), daemon=True).start()
""" + WAIT_UNTIL_OUT_IS_HELD + """
threading.Timer(0.2, _thread.interrupt_main).start()
""" + INTERRUPTED.format(call="out.set_data([1, 2])") + """
os._exit(0)
""")
    assert ended(lines) == ("KeyboardInterrupt: ", True)


@pytest.mark.parametrize("call", [
    "ev.left_rotate_reduce(a, 1, FOREVER, a)",
    "ev.right_rotate_reduce(a, 3, FOREVER, a)",
    "ev.left_rotate_reduce(a, 1, FOREVER, out)",
])
def test_ctrl_c_leaves_the_objects_of_a_sum_as_they_were(call):
    lines = run_child("""
a = Message([1, 2, 3, 4])
out = Message([5j] * 8)
threading.Timer(0.2, _thread.interrupt_main).start()
""" + INTERRUPTED.format(call=call) + """
print(a[:], len(out), out[0])
""")
    assert ended(lines[:-1]) == ("KeyboardInterrupt: ", True)
    assert lines[-1] == "[(1+0j), (2+0j), (3+0j), (4+0j)] 8 5j"


def test_ctrl_c_leaves_a_square_root_in_place_as_it_was():
    # The rounds run apart from the operand, which is written once they are complete.
    lines = run_child(MATH + """
ct.data = Message([0.25, 1.5, 2.0, 0.5] * 8)
threading.Timer(0.2, _thread.interrupt_main).start()
""" + INTERRUPTED.format(call="approx.sqrt(ev, btp, ct, ct, num_iter=FOREVER)") + """
print(ct.level, ct.rescale_counter, ct.data[:4])
""")
    assert ended(lines[:-1]) == ("KeyboardInterrupt: ", True)
    assert lines[-1] == "24 0 [(0.25+0j), (1.5+0j), (2+0j), (0.5+0j)]"


def test_a_sum_in_place_inside_a_sum_in_place_works_on_its_own_storage():
    # The handler's in-place sum runs inside the outer one's poll, on the same thread: it must neither reuse nor
    # free the storage that keeps the outer operand.
    lines = run_child("""
a = Message([1, 2, 3, 4])
inner = []
def handler(signum, frame):
    b = Message([1000.0] * 4096)
    ev.left_rotate_reduce(b, 1, 3, b)
    inner.append(b[0])
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.05)
ev.left_rotate_reduce(a, 1, 40_000_000, a)
print(inner, a[:])
""")
    assert lines == ["[(3000+0j)] [(100000000+0j), (100000000+0j), (100000000+0j), (100000000+0j)]"]
