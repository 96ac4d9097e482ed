"""Timings of the Python module beside their references, measured in one run and printed as ratios.

Run after a build: PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py
The per-call references are a bare pybind11 module built with the benchmarks (-DMORVANE_BUILD_BENCHMARKS=ON) into
build/bench/python, found beside build/python.
"""
import os
import re
import statistics
import subprocess
import sys
import threading
import timeit

import numpy as np

import pymorvane as pm
from pymorvane import (Ciphertext, DeviceType, HomEvaluator, KeyGenerator, Message, ParameterPreset, Plaintext,
                       SecretKey)

sys.path.append(os.path.join(os.path.dirname(pm.__file__), "..", "bench", "python"))
try:
    import pybind_reference
except ImportError:
    pybind_reference = None

SLOTS = 65536
REPEATS = 7


def best(statement, number):
    """Seconds per call: the fastest of REPEATS rounds of `number` calls."""
    return min(timeit.repeat(statement, repeat=REPEATS, number=number)) / number


def import_ms(runs=11):
    """Median cumulative import time of pymorvane in fresh interpreters (python -X importtime)."""
    times = []
    for _ in range(runs):
        result = subprocess.run([sys.executable, "-X", "importtime", "-c", "import pymorvane"], env=os.environ,
                                capture_output=True, text=True, check=True)
        line = [entry for entry in result.stderr.splitlines() if entry.rstrip().endswith("| pymorvane")][-1]
        times.append(int(re.split(r"\|", line)[1]) / 1000.0)
    return statistics.median(times)


def report(name, ours, reference, limit=None):
    ratio = ours / reference
    verdict = "" if limit is None else f"  (limit {limit:g}) {'ok' if ratio <= limit else 'OVER'}"
    print(f"{name:<44} {ours * 1e6:10.3f} us  reference {reference * 1e6:10.3f} us  ratio {ratio:5.2f}{verdict}")


def evaluator(preset, rotations=()):
    """A context of `preset`, an evaluator with its multiplication key and the given left rotation keys."""
    context = pm.make_context(preset)
    generator = KeyGenerator(context, SecretKey(context))
    generator.gen_mult_key()
    for index in rotations:
        generator.gen_left_rot_key(index)
    return context, HomEvaluator(context, generator.keypack)


def ciphertexts(context, arrays):
    result = []
    for array in arrays:
        ctxt = Ciphertext(context)
        ctxt.data = Message(array.tolist())
        result.append(ctxt)
    return result


def slot_arithmetic():
    """Evaluator operations on 65536 slots beside numpy doing the same slot arithmetic into a preallocated array."""
    context, ev = evaluator(ParameterPreset.FVa, rotations=[1])
    rng = np.random.default_rng(1)
    x, y = (rng.random(SLOTS) + 1j * rng.random(SLOTS) for _ in range(2))
    z = np.empty_like(x)
    a, b, out = ciphertexts(context, [x, y, z])
    constant = 0.75 - 1.25j
    print(f"HomEvaluator on {SLOTS} slots (FVa) beside numpy writing into a preallocated array:")
    for name, ours, reference in [
        ("  add(a, b, out) / np.add(x, y, out=z)", lambda: ev.add(a, b, out), lambda: np.add(x, y, out=z)),
        ("  mult(a, b, out) / np.multiply(x, y, out=z)", lambda: ev.mult(a, b, out),
         lambda: np.multiply(x, y, out=z)),
        ("  mult(a, c, out) / np.multiply(x, c, out=z)", lambda: ev.mult(a, constant, out),
         lambda: np.multiply(x, constant, out=z)),
        ("  left_rotate(a, 1, out) / np.roll(x, -1)", lambda: ev.left_rotate(a, 1, out), lambda: np.roll(x, -1)),
    ]:
        report(name, best(ours, 200), best(reference, 200), 1.5)


def call_overhead():
    """Evaluator calls on 32 slots beside a bare pybind11 method call with as many arguments."""
    if pybind_reference is None:
        print("per-call overhead: no pybind_reference module (configure with -DMORVANE_BUILD_BENCHMARKS=ON)")
        return
    context, ev = evaluator(ParameterPreset.FX, rotations=[1])
    a, b, out = ciphertexts(context, [np.full(32, 0.5 + 0.5j)] * 3)
    msg = Message(np.full(32, 0.25).tolist())
    ptxt = Plaintext(context)
    ptxt.data = msg
    callee = pybind_reference.Callee()
    o1, o2, o3 = (pybind_reference.Operand() for _ in range(3))
    two = best(lambda: callee.call2(o1, o3), 100000)
    three = best(lambda: callee.call3(o1, o2, o3), 100000)
    # pybind11 tries the overloads of a name in the interface's order, each tried one at a cost of its own; the
    # position of the one that matches is shown.
    print("HomEvaluator on 32 slots (FX) beside a bare pybind11 method with as many arguments:")
    for name, call, reference in [
        ("  level_down_one(a, out), overload 1 of 1", lambda: ev.level_down_one(a, out), two),
        ("  negate(a, out), overload 3 of 3", lambda: ev.negate(a, out), two),
        ("  left_rotate(a, 1, out), overload 3 of 3", lambda: ev.left_rotate(a, 1, out), three),
        ("  level_down(a, 3, out), overload 1 of 1", lambda: ev.level_down(a, 3, out), three),
        ("  add(a, 2j, out), overload 5 of 8", lambda: ev.add(a, 2j, out), three),
        ("  mult(a, 2, out), overload 5 of 8 (pass 2)", lambda: ev.mult(a, 2, out), three),
        ("  add(a, msg, out), overload 6 of 8", lambda: ev.add(a, msg, out), three),
        ("  sub(a, ptxt, out), overload 7 of 8", lambda: ev.sub(a, ptxt, out), three),
        ("  add(a, b, out), overload 8 of 8", lambda: ev.add(a, b, out), three),
        ("  mult(a, b, out), overload 8 of 8", lambda: ev.mult(a, b, out), three),
    ]:
        report(name, best(call, 100000), reference, 3)


def threads(count=4, operations=2000, shared=False):
    """`count` threads each doing `operations` evaluator operations on their own ciphertexts of one context (or, if
    `shared`, on one pair of input ciphertexts that all of them read, each writing its own output), beside one
    thread doing all of that work; the history counts must come out exact."""
    context, ev = evaluator(ParameterPreset.FVa)
    sets = [ciphertexts(context, [np.full(SLOTS, 0.5 + 0.5j)] * 3) for _ in range(count)]
    if shared:
        sets = [[sets[0][0], sets[0][1], own[2]] for own in sets]

    def work(index):
        a, b, out = sets[index]
        for _ in range(operations // 2):
            ev.add(a, b, out)
            ev.mult(a, b, out)

    def timed(run):
        context.clear_history()
        start = timeit.default_timer()
        run()
        elapsed = timeit.default_timer() - start
        history = context.get_history()
        exact = history == {"ctxt + ctxt": count * operations // 2, "ctxt * ctxt": count * operations // 2}
        return elapsed, exact

    def parallel():
        workers = [threading.Thread(target=work, args=(i,)) for i in range(count)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    one, one_exact = min(timed(lambda: [work(i) for i in range(count)]) for _ in range(3))
    many, many_exact = min(timed(parallel) for _ in range(3))
    name = f"{count} threads x {operations} ops / one" + (", shared inputs" if shared else " thread, FVa")
    print(f"{name:<44} {many * 1e3:10.1f} ms  "
          f"reference {one * 1e3:10.1f} ms  ratio {many / one:5.2f}  (limit 0.5) "
          f"{'ok' if many / one <= 0.5 else 'OVER'}; counts {'exact' if one_exact and many_exact else 'WRONG'}")


def main():
    median = import_ms()
    print(f"{'import pymorvane (median of 11)':<44} {median:10.1f} ms  (limit 100 ms) "
          f"{'ok' if median < 100 else 'OVER'}")

    values = [complex(i, -i) for i in range(SLOTS)]
    array = np.array(values)
    msg = Message(values)
    report(f"Message(list of {SLOTS} complex)", best(lambda: Message(values), 20),
           best(lambda: np.array(values), 20), 3)
    report("Message[:] to a list", best(lambda: msg[:], 20), best(array.tolist, 20), 3)
    # Iteration steps through pybind11's iterator, one call per slot; slicing is the bulk read.
    report("list(Message) by iteration", best(lambda: list(msg), 5), best(array.tolist, 20))

    # Zero-copy: the array is the message's storage, so making it costs the same for any slot count.
    small = Message(2)
    report(f"numpy.asarray(Message), {SLOTS} vs 4 slots", best(lambda: np.asarray(msg), 20000),
           best(lambda: np.asarray(small), 20000), 2)
    view = np.asarray(msg)
    view[:] = 1j
    print(f"{'writes through numpy.asarray reach the slots':<44} {msg[:] == [1j] * SLOTS}")
    del view

    member = DeviceType.GPU
    report("Message.__len__ vs pybind11 enum __int__", best(msg.__len__, 200000), best(member.__int__, 200000), 2)
    report("len(Message) vs int(pybind11 enum)", best(lambda: len(msg), 200000), best(lambda: int(member), 200000),
           2)

    slot_arithmetic()
    call_overhead()
    threads()
    # Calls that only read an object share it: threads reading the same inputs run side by side.
    threads(shared=True)
    pm.simulate_alert(True)


if __name__ == "__main__":
    main()
