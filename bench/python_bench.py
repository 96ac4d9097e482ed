"""Timings of the Python module beside their references, measured in one run and printed as ratios.

Run after a build: PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py
"""
import os
import re
import statistics
import subprocess
import sys
import timeit

import numpy as np

import pymorvane as pm
from pymorvane import DeviceType, Message

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
    pm.simulate_alert(True)


if __name__ == "__main__":
    main()
