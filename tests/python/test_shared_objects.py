# Python threads sharing one Message, Plaintext or Ciphertext: a call that replaces an object's slots and a call
# that uses them never overlap, so racing threads get sound results or clear exceptions instead of a crash.
import os
import subprocess
import sys

import pymorvane as pm

HERE = os.path.dirname(os.path.abspath(__file__))
RUNS = 3


def child_environment():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.path.dirname(pm.__file__), env.get("PYTHONPATH")] if p)
    return env


def test_racing_threads_survive_with_sound_results():
    # A crash (use of freed slots, a corrupted heap) is likely in any one run but not certain: several runs at once.
    script = os.path.join(HERE, "shared_object_races.py")
    children = [subprocess.Popen([sys.executable, script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 env=child_environment()) for _ in range(RUNS)]
    for child in children:
        out, err = child.communicate(timeout=300)
        assert (child.returncode, out.splitlines()[-1:]) == (0, ["survived"]), out + err
