# Shared fixtures of the Python tests. The module comes from PYTHONPATH (set by scripts/test.sh); without it,
# from the default build directory of the repository.
import os
import sys

try:
    import pymorvane  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "build", "python"))
    import pymorvane  # noqa: F401

import pytest


@pytest.fixture(autouse=True)
def alerts_on():
    # The alert switch is process-wide: every test starts and ends with it on.
    pymorvane.simulate_alert(True)
    yield
    pymorvane.simulate_alert(True)


@pytest.fixture
def ctx():
    return pymorvane.make_context(pymorvane.ParameterPreset.FGb)
