# Threads that are inside the library when the process ends or forks: a program's exit never aborts or hangs, and a
# forked child can use every object, whatever other threads of its parent were doing with it. Each case runs in a
# child process.
import subprocess
import sys
import textwrap

import pytest

from test_shared_objects import child_environment

SETUP = """
import _thread, multiprocessing, os, signal, sys, threading, time
import pymorvane as pm
from pymorvane import HomEvaluator, KeyGenerator, Message, ParameterPreset, SecretKey
ctx = pm.make_context(ParameterPreset.FX)
ev = HomEvaluator(ctx, KeyGenerator(ctx, SecretKey(ctx)).keypack)
msg, out = Message([1j] * 32), Message()
FOREVER = 2**64 - 1

def daemon(target, *args):
    threading.Thread(target=target, args=args, daemon=True).start()

def forever(call, *args):
    while True:
        call(*args)

# Starts a daemon thread and returns once that thread has first released the interpreter lock. With a switch
# interval longer than any run, the lock changes hands only where its holder releases it, so the main thread, which
# waits in start() meanwhile, has it back only then: a thread started on an endless call, or on one that waits for an
# object such a call holds, holds or waits for its objects without the lock from then on.
def started(target, *args):
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        daemon(target, *args)
    finally:
        sys.setswitchinterval(interval)

# The exit code of the forked child pid, or "hangs" (the child killed) when it has not ended in 20 s.
def exit_code(pid):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        ended, status = os.waitpid(pid, os.WNOHANG)
        if ended:
            return os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hangs"
"""
RUNS = 3


def run_children(code, runs=1):
    """Runs `code` after SETUP in `runs` children at once; their exit statuses, standard outputs and errors."""
    # Newer interpreters warn of a fork while threads run; that is what these cases do.
    command = [sys.executable, "-W", "ignore::DeprecationWarning", "-c", SETUP + textwrap.dedent(code)]
    children = [subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 env=child_environment()) for _ in range(runs)]
    results = []
    try:
        for child in children:
            out, err = child.communicate(timeout=120)
            results.append((child.returncode, out.splitlines(), err))
    finally:
        for child in children:
            child.kill()
            child.wait()
    return results


# What daemon threads are doing when the main thread returns.
AT_EXIT = [
    # One holds msg and out in an endless call, another waits for out.
    pytest.param("""
started(ev.left_rotate_reduce, msg, 1, FOREVER, out)
started(out.set_data, [1, 2])
""", id="a thread waits for an object"),
    # Calls that release the interpreter lock keep ending while the interpreter finalizes.
    pytest.param("""
for _ in range(4):
    daemon(forever, Message([1j] * 2**20).fill, 2)
""", id="calls end during finalization"),
    # Evaluator calls, and a decryption, that keep ending while the interpreter finalizes.
    pytest.param("""
big, big_out = Message([1j] * 2**20), Message()
daemon(forever, ev.negate, big, big_out)
daemon(forever, ev.left_rotate_reduce, msg, 1, 2**16, Message())
sk = SecretKey(ctx)
ctxt = pm.Ciphertext(ctx)
pm.Encryptor(ctx).encrypt(msg, sk, ctxt)
daemon(forever, pm.Decryptor(ctx).decrypt, ctxt, sk, Message())
""", id="evaluator calls end during finalization"),
    # Two threads take turns writing one message: one waits whenever the other writes.
    pytest.param("""
shared = Message([1j] * 2**20)
daemon(forever, shared.fill, 2)
daemon(forever, shared.fill, 3)
""", id="threads take turns on an object"),
]


@pytest.mark.parametrize("threads", AT_EXIT)
def test_a_program_ends_while_daemon_threads_are_in_the_library(threads):
    code = threads + "\ntime.sleep(0.2)\nprint('returned', flush=True)\n"
    assert run_children(code, RUNS) == [(0, ["returned"], "")] * RUNS


# Calls of the module into Python code, which the daemon threads loop on while the program ends: `call`.
INTO_PYTHON = [
    pytest.param("""
def call():
    ctx.repr_history(True)
""", id="the history report printed"),
    pytest.param("""
class Bound:
    def __index__(self):
        busy()
        return 1
def call():
    msg[Bound():]
""", id="slice bounds"),
    pytest.param("""
class Devices(set):
    def __iter__(self):
        busy(10)
        return super().__iter__()
def call():
    pm.make_context(ParameterPreset.FX, Devices())
""", id="a set of device ids"),
    pytest.param("""
class Ciphertexts:
    def __len__(self):
        return 8
    def __getitem__(self, index):
        busy()
        return ciphertext
ciphertext = pm.Ciphertext(ctx)
def call():
    try:
        ev.rot_sum(Ciphertexts(), [0], pm.Ciphertext(ctx))
    except RuntimeError:
        pass  # No rotation key: refused once the arguments are converted.
""", id="a sequence of ciphertexts"),
]


@pytest.mark.parametrize("call", INTO_PYTHON)
def test_a_program_ends_while_daemon_threads_run_python_code_for_the_module(call):
    # The interpreter ends a thread that takes its lock back once it finalizes; Python code hands the lock to other
    # threads, so the daemon threads are often inside it then, with the module's frames below. sys.stdout is Python
    # code too, whose flush, called as the interpreter begins to finalize, sleeps: the daemon threads take the lock
    # meanwhile and are ended. The main thread's line waits in the buffer of the real stdout. Each run is likely, not
    # certain, to end a thread inside the module: several runs at once.
    runs = 30
    code = """
def busy(rounds=1):
    for _ in range(1000 * rounds):
        pass
class Stdout:
    def write(self, text):
        busy()
    def flush(self):
        time.sleep(0.05)
sys.stdout = Stdout()
""" + call + """
for _ in range(2):
    daemon(forever, call)
time.sleep(0.05)
print("returned", file=sys.__stdout__)
"""
    assert run_children(code, runs) == [(0, ["returned"], "")] * runs


USE_BOTH = """
def use_both():
    msg.set_data([1, 2])
    out.set_data([3, 4, 5, 6])
    ev.add(msg, msg, out)
    print(out[:], flush=True)
"""


@pytest.mark.parametrize("fork", [
    pytest.param("""
pid = os.fork()
if pid == 0:
    use_both()
    os._exit(0)
print(exit_code(pid))
""", id="os.fork"),
    pytest.param("""
child = multiprocessing.get_context("fork").Process(target=use_both)
child.start()
child.join(20)
print(child.exitcode if child.exitcode is not None else "hangs")
child.kill()
""", id="multiprocessing"),
    # ctypes releases the interpreter lock around the fork, from the main thread or from another.
    pytest.param("""
import ctypes
pid = ctypes.CDLL(None).fork()
if pid == 0:
    use_both()
    os._exit(0)
print(exit_code(pid))
""", id="fork without the interpreter lock"),
    pytest.param("""
import ctypes
def fork_and_wait():
    # The main thread reads a pipe, without the interpreter lock, and takes the lock again only once this thread has
    # written to it. Seen blocked in that read (the system call /proc shows of it), it holds no lock at the fork, nor
    # does any other thread: the child can take it.
    deadline = time.monotonic() + 20
    while open(f"/proc/self/task/{main_thread}/syscall").read().split()[1:2] != [hex(readable)]:
        if time.monotonic() > deadline:
            print("the main thread was never seen reading")
            os.write(writable, b"-")
            return
        time.sleep(0.001)
    pid = ctypes.CDLL(None).fork()
    if pid == 0:
        use_both()
        os._exit(0)
    os.write(writable, b"-")
    print(exit_code(pid))
readable, writable = os.pipe()
main_thread = threading.get_native_id()
thread = threading.Thread(target=fork_and_wait)
thread.start()
os.read(readable, 1)
thread.join()
""", id="fork by another thread without the interpreter lock"),
])
def test_a_forked_child_uses_objects_that_threads_held_at_the_fork(fork):
    # One thread's endless call holds msg and out; another waits for out.
    code = """
started(ev.left_rotate_reduce, msg, 1, FOREVER, out)
started(out.set_data, [7])
""" + USE_BOTH + fork + "os._exit(0)\n"
    assert run_children(code) == [(0, ["[(2+0j), (4+0j)]", "0"], "")]


def test_a_child_forked_inside_a_call_keeps_that_call_s_objects():
    # The main thread forks from a signal handler inside its own endless call on msg and out, while another
    # thread's call holds spare: in the child, spare is free and the main thread's call still holds its objects.
    lines = run_children("""
spare, spare_out = Message([1j] * 32), Message()
started(ev.left_rotate_reduce, spare, 1, FOREVER, spare_out)
def handler(signum, frame):
    pid = os.fork()
    if pid == 0:
        spare_out.set_data([7, 7])
        print(spare_out[:], len(msg), flush=True)
        try:
            out.set_data([1, 2])
        except RuntimeError as error:
            print(error, flush=True)
        os._exit(0)
    print(exit_code(pid))
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.1)
try:
    ev.left_rotate_reduce(msg, 1, FOREVER, out)
except KeyboardInterrupt:
    print("interrupted")
os._exit(0)
""")
    nested_wait = "the object is in use, and a call made inside another call of the same thread cannot wait for it"
    assert lines == [(0, ["[(7+0j), (7+0j)] 32", nested_wait, "0", "interrupted"], "")]


def test_a_child_forked_by_another_thread_handles_signals_in_long_calls():
    # The forking thread is the child's main thread: Ctrl-C ends its long call there.
    lines = run_children("""
def fork_and_wait():
    pid = os.fork()
    if pid == 0:
        threading.Timer(0.2, _thread.interrupt_main).start()
        try:
            ev.left_rotate_reduce(msg, 1, FOREVER, out)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        os._exit(0)
    print(exit_code(pid))
thread = threading.Thread(target=fork_and_wait)
thread.start()
thread.join()
""")
    assert lines == [(0, ["interrupted", "0"], "")]


def test_a_finalizer_run_at_exit_is_refused_an_object_a_daemon_thread_holds():
    # The daemon thread's endless call writes out; the finalizer runs while the interpreter finalizes, when that
    # call never gives out back. Each use of out is refused at once; spare, which nothing holds, is used.
    lines = run_children("""
spare = Message([1j] * 4)
class Finalized:
    uses = [lambda o=out: len(o), lambda o=out: o[0], lambda o=out: o.set_data([1]),
            lambda e=ev, o=out, s=spare: e.negate(o, s), lambda s=spare: (s.set_data([5]), s[0])[1]]
    def __del__(self, write=os.write):
        for use in self.uses:
            try:
                write(1, f"{use()}\\n".encode())
            except RuntimeError as error:
                write(1, f"{error}\\n".encode())
finalized = Finalized()
started(ev.left_rotate_reduce, msg, 1, FOREVER, out)
print("returned", flush=True)
""", RUNS)
    refused = "the object is in use, and a call made while the interpreter finalizes cannot wait for it"
    assert lines == [(0, ["returned"] + [refused] * 4 + ["(5+0j)"], "")] * RUNS
