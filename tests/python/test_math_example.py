# The approximation-function section of examples/example.py: what it runs, checked through its report and stopwatch
# line (the printed values carry simulated bootstrapping error and are not compared).
import os
import subprocess
import sys

import pytest

from pymorvane import ParameterPreset

from math_support import cold_cost

pytest.importorskip("numpy")

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "example.py")

# Seven encryptions and six decryptions around a sort of blocks of 8, a comparison, and an inverse, a square root,
# a natural logarithm and a sigmoid with the bindings' defaults.
REPORT = """================ Operation Usage =================
| operation                              | count |
|----------------------------------------|-------|
| Encode                                 |     7 |
| Decode                                 |     6 |
| Encrypt from ptxt by pk                |     7 |
| Decrypt to ptxt                        |     6 |
| Negate ctxt                            |    41 |
| ctxt + cnst                            |   285 |
| ctxt + ctxt                            |   101 |
| ctxt * imag                            |     4 |
| ctxt * int                             |    17 |
| ctxt * cnst                            |   127 |
| ctxt * msg                             |    22 |
| ctxt * ctxt                            |   469 |
| Rotate                                 |    18 |
| Bootstrap                              |    39 |
|----------------------------------------|-------|
"""


def test_example_runs_the_approximation_functions():
    result = subprocess.run([sys.executable, EXAMPLE], capture_output=True, text=True, check=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    section = result.stdout[result.stdout.index("== approximation functions ==\n"):]
    names = [line.split(":")[0].strip() for line in section.splitlines()[1:13]]
    assert names == [name for row in ["sort x", "x > y", "1/x", "sqrt x", "ln x", "sigmoid"]
                     for name in (row, "numpy")]
    # 21 bootstraps of the sort, 3 of the comparison, 2 of the inverse, 9 of the logarithm; the square root
    # bootstraps its pair of values 4 times as one complex ciphertext.
    cost = cold_cost(ParameterPreset.FGb, (35, 4, 0, 0))
    assert section.endswith(REPORT + f"\nthe approximation functions would take {cost} ms on the real library\n")
